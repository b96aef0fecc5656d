#pragma once

// Whole runs of pelorum and of the I/O floor as child processes, the table
// the whole-run benchmarks print them in, and the scratch directory their
// files go to.
#include <string>
#include <vector>

struct RunFigures {
    double milliseconds = 0.0;
    long peakKilobytes = 0;
};

// Starts a program with its standard output discarded; its process id.
// Throws std::runtime_error naming the program when it cannot start.
int startProgram(const std::vector<std::string>& command);

// Runs a program to completion with its standard output discarded. Throws
// std::runtime_error naming the program when it cannot start or fails.
RunFigures runProgram(const std::vector<std::string>& command);

std::string fixed(double value, int decimals);

// "| measure | value | reference | ratio |" and its rule.
void printTableHead();
void printRow(const std::string& what, const std::string& value, const std::string& reference,
              const std::string& ratio);

struct PelorumPrograms {
    std::string pelorum;
    std::string ioFloor;
};

// Adds frames[0] to a new FITS state in dir, then times each later frame
// added to it with `pelorum -o dir/out.jpg -e dir/state.fits OPTIONS FRAME`:
// the median time and the largest peak memory of those runs.
RunFigures pelorumLatency(const PelorumPrograms& programs, const std::string& dir,
                          const std::vector<std::string>& frames, const std::vector<std::string>& options = {});

// The I/O floor run on each of frames[1..] with the state pelorumLatency()
// left: the median time and the largest peak memory.
RunFigures ioFloorLatency(const PelorumPrograms& programs, const std::string& dir,
                          const std::vector<std::string>& frames);

// A directory of its own under the system's temporary one, removed with
// everything in it when the object goes.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};
