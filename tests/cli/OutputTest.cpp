#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "cli/Output.h"

namespace {

TEST(CliOutput, CsvQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvField("plain name.txt"), "plain name.txt");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("C:\\Docs\\"), "C:\\Docs\\");
}

TEST(CliOutput, JsonEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("C:\\Docs\\"), "\"C:\\\\Docs\\\\\"");
  EXPECT_EQ(JsonString("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(JsonString("t\tn\n\x01"), "\"t\\u0009n\\u000a\\u0001\"");
  EXPECT_EQ(JsonString("\xE6\x97\xA5"), "\"\xE6\x97\xA5\"");
}

TEST(CliOutput, TablesAlignByTerminalColumns) {
  const std::string table = AlignedTable({{"Name", "Size"}, {"\xE6\x97\xA5\xE6\x9C\xAC", "1 KB"}, {"abcde", "2 KB"}});
  EXPECT_EQ(table, "Name   Size\n\xE6\x97\xA5\xE6\x9C\xAC   1 KB\nabcde  2 KB\n");
}

TEST(CliOutput, GlobsMatchWholeNamesFoldingAsciiCase) {
  const std::tuple<const char16_t*, const char16_t*, bool> cases[] = {
      {u"*.bmp", u"holiday 1.BMP", true},   {u"*.bmp", u"holiday.bmp.txt", false},
      {u"h?liday*", u"holiday 2.bmp", true}, {u"*", u"", true},
      {u"a*b*c", u"aXXbYYc", true},           {u"a*b*c", u"aXXbYY", false},
      {u"\u00C9*", u"\u00E9t\u00E9", false},  {u"??", u"abc", false},
  };
  for (const auto& [pattern, name, match] : cases) EXPECT_EQ(GlobMatch(pattern, name), match);
}

TEST(CliOutput, TerminalTextShowsControlCharactersAsEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xE6\x97\xA5 name.txt", "plain \xE6\x97\xA5 name.txt"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {"a\tb\r\n\x7f", "a\\x09b\\x0d\\x0a\\x7f"},
      {"\xC2\x85\xC2\x9B\xC2\xA0", "\\u0085\\u009b\xC2\xA0"},          // C1 escaped, no-break space kept
      {"\xE2\x80\xAEtxt.exe", "\\u202etxt.exe"},                   // right-to-left override
      {"\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8F", "\\u202a\\u2066\\u2069\xE2\x80\x8F"},
      {"\xff\xC0\x9B\xED\xA0\x80", "\\xff\\xc0\\x9b\\xed\\xa0\\x80"},  // not UTF-8: each byte
  };
  for (const auto& [text, safe] : cases) EXPECT_EQ(TerminalSafe(text), safe) << safe;
  // Escapes count their own width in a table.
  EXPECT_EQ(AlignedTable({{TerminalSafe("\x1b"), "x"}, {"ab", "y"}}), "\\x1b  x\nab    y\n");
}

// Everything for standard output goes through one buffer, written before
// any error or progress line, with a progress line cleared first; line ends
// pass as they are.
TEST(CliOutput, StandardOutputIsWrittenBeforeErrorAndProgressLines) {
  std::FILE* both = std::tmpfile();
  ASSERT_NE(both, nullptr);
  {
    Terminal terminal(both, both, true);
    terminal.Out("row 1\n");
    terminal.Progress("Scanning");
    terminal.Out("row 2\n");
    terminal.Err("failed: x\n");
    terminal.Out("a,b\r\n");
  }
  std::rewind(both);
  std::string written;
  for (int c; (c = std::fgetc(both)) != EOF;) written += static_cast<char>(c);
  std::fclose(both);
  EXPECT_EQ(written, "row 1\n\rScanning" + std::string(52, ' ') + "\r" + std::string(60, ' ') +
                         "\rrow 2\nfailed: x\na,b\r\n");
}

}  // namespace
