// --help and --version of the programs, answered before a program looks at anything else
// (its privileges, its other arguments), so that they work for anyone, anywhere.
#pragma once

#include <cstdio>
#include <cstring>

#ifndef TVN_VERSION
#error "TVN_VERSION is the build's version, given by the build (tvn_program_info)"
#endif

// When the first argument is "--version", prints "NAME VERSION"; when it is "--help", prints
// help. Either way on standard output, and returns true: the program then ends with status 0.
// Any other first argument leaves everything to the program.
inline bool answer_program_info(int argc, char **argv, const char *name, const char *help) {
    if (argc < 2 || argv[1] == nullptr) return false;
    if (std::strcmp(argv[1], "--version") == 0)
        std::printf("%s %s\n", name, TVN_VERSION);
    else if (std::strcmp(argv[1], "--help") == 0)
        std::fputs(help, stdout);
    else
        return false;
    std::fflush(stdout);
    return true;
}
