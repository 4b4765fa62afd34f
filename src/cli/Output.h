// Text output of the command-line tool: CSV fields, JSON strings, terminal
// widths, globs, terminal-safe text and the one buffer for standard output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Makes out[from, end) one CSV field (RFC 4180): quoted, its quotes doubled,
// when it holds a comma, a quote or a line break.
void QuoteCsvField(std::string& out, std::size_t from);
// Appends `text` as a JSON string literal, quotes included: quotes and
// backslashes escaped, controls as \u00XX, everything else as it is.
void AppendJsonString(std::string& out, std::string_view text);
// Terminal columns of a UTF-8 text: East Asian wide characters count two.
std::size_t TerminalColumns(const std::string& utf8);
// `*` and `?` glob over a whole name; A to Z match a to z.
bool GlobMatch(const std::u16string& pattern, const std::u16string& name);

// Text for a terminal: control characters (below 0x20, 0x7F, U+0080 to
// U+009F) and the bidirectional overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069) become visible escapes, "\x1b" for single bytes and
// "\u202e" for the others, as do bytes that are not UTF-8 ("\xff"). All
// else stays as it is; escapes are plain ASCII, so widths stay countable.
std::string TerminalSafe(const std::string& text);

// Standard output through one buffer, and standard error lines that never
// interleave wrongly with it: what is buffered is written before any error
// or progress line, and a progress line is cleared before anything else is
// written. (Windows writes to a console or other character device without
// a buffer of its own, one system call per piece.) Flushed at the end.
class Terminal {
 public:
  Terminal(std::FILE* out, std::FILE* err, bool showProgress);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void Out(const std::string& text);
  // Text for standard error, as it is (callers make it terminal-safe).
  void Err(const std::string& text);
  // One progress line on standard error, shown only when asked for.
  void Progress(const std::string& text);
  void ClearProgress();
  void Flush();

 private:
  void Write(const std::string& text);

  std::FILE* out;
  std::FILE* err;
  bool showProgress;
  bool progressShown = false;
  std::string pending;
};
