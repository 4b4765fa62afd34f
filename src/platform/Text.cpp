#include "platform/Text.h"

namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

}  // namespace

void AppendUtf8FromUtf16(std::string& out, const char16_t* text, size_t units) {
  // Written through a pointer into room for the longest form (3 bytes a
  // unit; a surrogate pair takes 4 for its 2), then cut to what was used.
  const size_t at = out.size();
  out.resize(at + 3 * units);
  char* next = &out[at];
  for (size_t i = 0; i < units; ++i) {
    char32_t c = text[i];
    if (c < 0x80) {
      *next++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = Replacement;
    }
    if (c < 0x800) {
      *next++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *next++ = static_cast<char>(0xE0 | (c >> 12));
      *next++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      *next++ = static_cast<char>(0xF0 | (c >> 18));
      *next++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *next++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *next++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  out.resize(static_cast<size_t>(next - out.data()));
}

std::string Utf8FromUtf16(const char16_t* text, size_t units) {
  std::string out;
  AppendUtf8FromUtf16(out, text, units);
  return out;
}

std::string Utf8FromUtf16(const std::u16string& text) {
  return Utf8FromUtf16(text.data(), text.size());
}

std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80            ? 0
                      : (lead >> 5) == 0x06  ? 1
                      : (lead >> 4) == 0x0E  ? 2
                      : (lead >> 3) == 0x1E  ? 3
                                             : -1;
    if (extra < 0 || static_cast<size_t>(extra) >= n - i) {  // bad lead or cut short
      AppendUtf16(out, Replacement);
      ++i;
      continue;
    }
    char32_t c = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || c < minimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      AppendUtf16(out, Replacement);
      ++i;
      continue;
    }
    AppendUtf16(out, c);
    i += 1 + extra;
  }
  return out;
}

#ifdef _WIN32
std::string Utf8FromWide(const std::wstring& text) {
  return Utf8FromUtf16(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

std::wstring WideFromUtf8(const std::string& text) { return WideFromUtf16(Utf16FromUtf8(text)); }

std::wstring WideFromUtf16(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::u16string Utf16FromWide(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
#endif
