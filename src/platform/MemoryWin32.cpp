#include <windows.h>

#include "platform/Memory.h"

void* AllocatePages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

void* AllocateBulk(std::size_t bytes) { return ::operator new(bytes); }

void FreeBulk(void* block, std::size_t) noexcept { ::operator delete(block); }
