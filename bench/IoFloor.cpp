// The least a per-frame run can do: start, decode the frame, encode the
// output at JPEG quality 95, read and write the state. The pipeline
// benchmark compares whole pelorum runs with this.
#include <iostream>

#include "BenchUsage.h"
#include "image/ImageFile.h"

int main(int argc, char** argv)
{
    const int status = checkBenchArguments(
        argc, argv, 3,
        "Usage: pelorum_io_floor FRAME OUTPUT STATE\n"
        "Does only the file work of one pelorum run: reads FRAME and the float STATE, writes FRAME\n"
        "to OUTPUT and STATE back. The benchmarks time it as the floor of a run.\n");
    if (status >= 0)
        return status;
    try {
        const ByteImagePtr frame = loadImage(argv[1]);
        const FloatImagePtr state = loadFloatImage(argv[3]);
        saveImage(argv[2], frame);
        saveImage(argv[3], state);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
