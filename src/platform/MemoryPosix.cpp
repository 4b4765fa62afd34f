#include <sys/mman.h>

#include "platform/Memory.h"

void* AllocatePages(std::size_t bytes) {
  // Pages are taken lazily: a value whose runs are mostly sparse costs only
  // the pages that are written.
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) { munmap(pages, bytes); }
