// UTF-8 <-> UTF-16 conversion. Unpaired surrogates and malformed UTF-8
// become U+FFFD, so names read from a disk always convert.
#pragma once

#include <string>

std::string Utf8FromUtf16(const char16_t* text, size_t units);
// The same, appended to `out`: no string of its own for each piece.
void AppendUtf8FromUtf16(std::string& out, const char16_t* text, size_t units);
std::string Utf8FromUtf16(const std::u16string& text);
std::u16string Utf16FromUtf8(const std::string& text);

#ifdef _WIN32
// wchar_t is a UTF-16 unit on Windows: these only change the unit type.
std::string Utf8FromWide(const std::wstring& text);
std::wstring WideFromUtf8(const std::string& text);
std::wstring WideFromUtf16(const std::u16string& text);
std::u16string Utf16FromWide(const std::wstring& text);
#endif
