#include <gtest/gtest.h>

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

}  // namespace
