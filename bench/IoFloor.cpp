// The least a per-frame run can do: start, decode the frame, encode the
// output at JPEG quality 95, read and write the state. The pipeline
// benchmark compares whole pelorum runs with this.
#include <iostream>

#include "image/ImageFile.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: pelorum_io_floor FRAME OUTPUT STATE\n";
        return 1;
    }
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
