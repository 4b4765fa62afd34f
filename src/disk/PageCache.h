// A few equal pages of a container's tables or bitmaps, kept by key, the
// least recently used given up first: memory stays the same whatever the
// image's size.
#pragma once

#include <cstdint>

#include "platform/Types.h"
#include "util/ByteBuffer.h"

class PageCache {
 public:
  static constexpr unsigned MaxPages = 8;

  // `pages` (1 to MaxPages) of `pageBytes` each, allocated when first used.
  PageCache(std::uint32_t pageBytes, unsigned pages)
      : pageBytes(pageBytes), count(pages < 1 ? 1 : pages > MaxPages ? MaxPages : pages) {}

  std::uint32_t PageBytes() const { return pageBytes; }

  // The page kept for `key`, else one filled by `load(std::uint8_t* page)`
  // (which returns 0 or an error code; a page that failed is not kept).
  // `*page` stays valid until the next call. Returns 0, code::NotEnoughMemory or load's code.
  template <typename Load>
  DWORD Get(std::uint64_t key, Load&& load, const std::uint8_t** page) {
    Slot* victim = &slots[0];
    for (unsigned i = 0; i < count; ++i) {
      Slot& slot = slots[i];
      if (slot.valid && slot.key == key) {
        slot.lastUse = ++uses;
        *page = slot.bytes.get();
        return code::Success;
      }
      if (!slot.valid || (victim->valid && slot.lastUse < victim->lastUse)) victim = &slot;
    }
    if (!victim->bytes) {
      victim->bytes = AllocateZeroed(pageBytes);
      if (!victim->bytes) return code::NotEnoughMemory;
    }
    victim->valid = false;
    const DWORD result = load(victim->bytes.get());
    if (result != code::Success) return result;
    victim->key = key;
    victim->valid = true;
    victim->lastUse = ++uses;
    *page = victim->bytes.get();
    return code::Success;
  }

  // Forgets every page.
  void Clear() {
    for (Slot& slot : slots) slot.valid = false;
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint64_t lastUse = 0;
    bool valid = false;
    ByteBuffer bytes;
  };
  std::uint32_t pageBytes;
  unsigned count;
  Slot slots[MaxPages];
  std::uint64_t uses = 0;
};
