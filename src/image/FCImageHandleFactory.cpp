#include "image/FCImageHandleFactory.h"

#include <cstring>
#include <new>

#include "image/FCImageHandle_Bmp.h"
#include "image/FCImageHandle_Tga.h"

namespace {

struct Extension {
  const char* text;
  int type;
};

constexpr Extension Extensions[] = {
    {"bmp", imagetype::Bmp}, {"pcx", imagetype::Pcx},   {"jpg", imagetype::Jpeg}, {"jpeg", imagetype::Jpeg},
    {"gif", imagetype::Gif}, {"tga", imagetype::Tga},   {"tif", imagetype::Tiff}, {"tiff", imagetype::Tiff},
    {"png", imagetype::Png}, {"psd", imagetype::Psd},   {"ico", imagetype::Icon}, {"xpm", imagetype::Xpm},
    {"oxo", imagetype::Oxo},
};

// Longer than any extension in the table: such a name cannot match.
constexpr std::size_t MaxExtension = 8;

}  // namespace

int FCImageHandleFactory::ImageTypeFromName(const char* name) const {
  if (!name) return imagetype::Unknown;
  const char* dot = std::strrchr(name, '.');
  const char* extension = dot ? dot + 1 : "";
  char lower[MaxExtension + 1];
  std::size_t length = 0;
  for (; extension[length] != '\0'; ++length) {
    if (length == MaxExtension) return imagetype::Unknown;
    const char c = extension[length];
    lower[length] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  lower[length] = '\0';
  for (const Extension& entry : Extensions)
    if (std::strcmp(entry.text, lower) == 0) return entry.type;
  return imagetype::Unknown;
}

FCImageHandleBase* FCImageHandleFactory::CreateOwnHandler(int imageType) {
  switch (imageType) {
    case imagetype::Bmp:
      return new (std::nothrow) FCImageHandle_Bmp;
    case imagetype::Tga:
      return new (std::nothrow) FCImageHandle_Tga;
    default:
      return nullptr;
  }
}
