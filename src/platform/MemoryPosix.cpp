#include <sys/mman.h>

#include "platform/Memory.h"

void* AllocatePages(std::size_t bytes) {
  // Populated at once: the buffer is about to be filled whole, and one
  // mapping call is cheaper than a fault per page. (Huge pages were tried:
  // compaction made the time swing from half to twice.)
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) { munmap(pages, bytes); }
