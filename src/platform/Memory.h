// Large zero-filled buffers straight from the system (mmap / VirtualAlloc):
// the pages arrive zeroed and are given back whole when freed.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

// Returns null when the memory cannot be had.
void* AllocatePages(std::size_t bytes);
void FreePages(void* pages, std::size_t bytes);

// Storage for the scan's big tables, which are filled once, front to back.
// On Linux a block of 4 MiB or more is mapped on its own and asks for
// transparent huge pages: a fault for every 4 KiB page costs a million-file
// scan a quarter of its time. Elsewhere the usual heap. Throws
// std::bad_alloc.
void* AllocateBulk(std::size_t bytes);
void FreeBulk(void* block, std::size_t bytes) noexcept;

template <typename T>
struct BulkAllocator {
  using value_type = T;
  BulkAllocator() = default;
  template <typename U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}
  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocateBulk(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept { FreeBulk(block, count * sizeof(T)); }
};

template <typename T, typename U>
bool operator==(const BulkAllocator<T>&, const BulkAllocator<U>&) noexcept {
  return true;
}
template <typename T, typename U>
bool operator!=(const BulkAllocator<T>&, const BulkAllocator<U>&) noexcept {
  return false;
}

template <typename T>
using BulkVector = std::vector<T, BulkAllocator<T>>;
