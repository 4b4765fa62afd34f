#include <sys/mman.h>

#include <cstdint>

#include "platform/Memory.h"

void* AllocatePages(std::size_t bytes) {
  // Pages are taken lazily: a value whose runs are mostly sparse costs only
  // the pages that are written.
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) { munmap(pages, bytes); }

namespace {
constexpr std::size_t BulkThreshold = std::size_t{4} << 20;
constexpr std::size_t HugePage = std::size_t{2} << 20;
constexpr std::size_t SmallPage = 4096;

std::size_t MappedSize(std::size_t bytes) { return (bytes + SmallPage - 1) & ~(SmallPage - 1); }
}  // namespace

void* AllocateBulk(std::size_t bytes) {
  if (bytes < BulkThreshold) return ::operator new(bytes);
  // Mapped with a huge page to spare, then trimmed to start on a huge-page
  // boundary, so that the whole block can be huge pages.
  const std::size_t size = MappedSize(bytes);
  void* base = mmap(nullptr, size + HugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t aligned = (start + HugePage - 1) & ~static_cast<std::uintptr_t>(HugePage - 1);
  if (aligned > start) munmap(base, aligned - start);
  const std::uintptr_t end = start + size + HugePage;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint: without it, small pages
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreeBulk(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < BulkThreshold) {
    ::operator delete(block);
  } else {
    munmap(block, MappedSize(bytes));
  }
}
