#pragma once

#include <cstdio>
#include <string>

// The benchmark programs take fixed arguments. "-h" or "--help" anywhere
// prints the usage and ends the program with 0; any other argument count
// than `arguments` prints it to standard error and ends with 1. Returns -1
// when the program should run.
inline int checkBenchArguments(int argc, char** argv, int arguments, const char* usage)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::printf("%s", usage);
            return 0;
        }
    }
    if (argc - 1 == arguments)
        return -1;
    std::fprintf(stderr, "%s", usage);
    return 1;
}
