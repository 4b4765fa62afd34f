#include "cli/Output.h"

#include <algorithm>
#include <cstdio>

namespace {

// East Asian wide characters take two terminal columns.
bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
         (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
         (c >= 0x20000 && c <= 0x3FFFD);
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

void QuoteCsvField(std::string& out, std::size_t from) {
  if (std::none_of(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                   [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; })) {
    return;
  }
  std::string field = "\"";
  for (std::size_t i = from; i < out.size(); ++i) {
    if (out[i] == '"') field += '"';
    field += out[i];
  }
  field += '"';
  out.resize(from);
  out += field;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

std::size_t TerminalColumns(const std::string& utf8) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    columns += IsWide(c) ? 2 : 1;
    i += 1 + extra;
  }
  return columns;
}

bool GlobMatch(const std::u16string& pattern, const std::u16string& name) {
  std::size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

namespace {

// The code point of the UTF-8 sequence at `i` and its length, or false for
// a byte that does not start a well-formed sequence (overlong forms,
// surrogates and values past U+10FFFF included).
bool DecodeUtf8(const std::string& text, std::size_t i, char32_t* c, std::size_t* length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x06 ? 1 : (lead >> 4) == 0x0E ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
  if (extra < 0 || static_cast<std::size_t>(extra) >= text.size() - i) return false;
  char32_t value = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
  for (int k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
  if (value < minimum[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *c = value;
  *length = 1 + static_cast<std::size_t>(extra);
  return true;
}

bool NeedsEscape(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

constexpr std::size_t OutputPiece = 64 * 1024;  // bytes held before they are written

}  // namespace

std::string TerminalSafe(const std::string& text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t length = 1;
    char escaped[12];
    if (!DecodeUtf8(text, i, &c, &length)) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i]));
      safe += escaped;
    } else if (NeedsEscape(c)) {
      std::snprintf(escaped, sizeof escaped, c < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
      safe += escaped;
    } else {
      safe.append(text, i, length);
    }
    i += length;
  }
  return safe;
}

Terminal::Terminal(std::FILE* out, std::FILE* err, bool showProgress)
    : out(out), err(err), showProgress(showProgress) {}

Terminal::~Terminal() {
  Flush();
  ClearProgress();
}

void Terminal::Out(const std::string& text) {
  if (pending.empty() && text.size() >= OutputPiece) {
    Write(text);  // large enough to go out as it is
    return;
  }
  pending += text;
  if (pending.size() >= OutputPiece) Flush();
}

void Terminal::Err(const std::string& text) {
  Flush();
  ClearProgress();
  std::fwrite(text.data(), 1, text.size(), err);
  std::fflush(err);
}

void Terminal::Progress(const std::string& text) {
  if (!showProgress) return;
  Flush();
  std::fprintf(err, "\r%-60s", text.c_str());
  std::fflush(err);
  progressShown = true;
}

void Terminal::ClearProgress() {
  if (!progressShown) return;
  std::fprintf(err, "\r%-60s\r", "");
  std::fflush(err);
  progressShown = false;
}

void Terminal::Flush() {
  if (pending.empty()) return;
  Write(pending);
  pending.clear();
}

void Terminal::Write(const std::string& text) {
  ClearProgress();
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}
