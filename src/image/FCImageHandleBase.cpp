#include "image/FCImageHandleBase.h"

#include <cstring>
#include <new>

bool FCFrameList::Append(FCObjImage* frame) {
  std::unique_ptr<FCObjImage> owned(frame);
  if (!owned) return false;
  try {
    frames.push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool FCPropertyBag::Add(std::uint32_t key, std::uint16_t type, const std::uint8_t* value, std::size_t length) {
  try {
    FCProperty item{key, type, std::vector<std::uint8_t>(value, value + length)};
    items.push_back(std::move(item));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool FCPropertyBag::AddText(std::uint32_t key, const char* text) {
  return Add(key, property::TypeAscii, reinterpret_cast<const std::uint8_t*>(text), std::strlen(text) + 1);
}

const FCProperty* FCPropertyBag::Find(std::uint32_t key) const {
  for (const FCProperty& item : items)
    if (item.key == key) return &item;
  return nullptr;
}

bool FCImageHandleBase::LoadImageFile(const char*, FCFrameList&, FCPropertyBag&) { return false; }

bool FCImageHandleBase::LoadImageMemory(const std::uint8_t*, std::uint32_t, FCFrameList&, FCPropertyBag&) {
  return false;
}

bool FCImageHandleBase::SaveImageFile(const char*, const FCFrameList&, const FCPropertyBag&) { return false; }
