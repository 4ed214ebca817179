// The file handle pool of a connection: up to 200 open handles over at most 20 descriptors.
#pragma once

#include <cstdint>

inline constexpr int CACHED_DESCRIPTORS = 20;

struct fhandler;

struct fhandler_pool {
    fhandler *head; // most recently used first
    int32_t count;
    int32_t descriptors[CACHED_DESCRIPTORS]; // of the handles at list positions 0..19; -1: none
};
