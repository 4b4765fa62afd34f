// Large zero-filled buffers straight from the system (mmap / VirtualAlloc):
// the pages arrive zeroed and are given back whole when freed.
#pragma once

#include <cstddef>

// Returns null when the memory cannot be had.
void* AllocatePages(std::size_t bytes);
void FreePages(void* pages, std::size_t bytes);
