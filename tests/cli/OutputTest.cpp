#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "cli/ListOutput.h"
#include "cli/Output.h"
#include "support/OutputFields.h"
#include "support/TestVolumes.h"
#include "view/RowCells.h"

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

TEST(CliOutput, TerminalColumnsCountWideCharactersTwice) {
  EXPECT_EQ(TerminalColumns("abcde"), 5u);
  EXPECT_EQ(TerminalColumns("\xE6\x97\xA5\xE6\x9C\xAC"), 4u);        // two CJK characters
  EXPECT_EQ(TerminalColumns("\xC3\xA9t\xC3\xA9"), 3u);                 // accented letters are narrow
  EXPECT_EQ(TerminalColumns("\xF0\x9F\x98\x80!"), 3u);                 // an emoji outside the BMP
  EXPECT_EQ(TerminalColumns(""), 0u);
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
  EXPECT_EQ(TerminalColumns(TerminalSafe("\x1b")), 4u);
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

// What 'list' prints, into a file: the table for people cuts names and paths
// as the window's cells do; CSV and JSON, for programs, carry them whole.
class ListOutputTest : public ::testing::Test {
 protected:
  std::string Printed(void (*print)(const RowTable&, const ChosenList&, Terminal&)) {
    return PrintedBy([&](const ChosenList& chosen, Terminal& terminal) { print(rows, chosen, terminal); });
  }
  template <typename Print>
  std::string PrintedBy(Print print) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    {
      Terminal terminal(file, file, false);
      ChosenList chosen;
      for (std::size_t row = 0; row < rows.Rows(); ++row) chosen.push_back(row);
      print(chosen, terminal);
    }
    std::rewind(file);
    std::string written;
    for (int c; (c = std::fgetc(file)) != EOF;) written += static_cast<char>(c);
    std::fclose(file);
    return written;
  }
  RowTable rows;
};

TEST_F(ListOutputTest, MachineOutputCarriesWholeNamesAndPathsTheTableCutsThem) {
  const std::string name(255, 'n'), folder(100, 'f');
  const std::string path = "C:\\" + folder + "\\" + folder + "\\" + folder + "\\";  // 305 characters
  std::uint32_t id = 0;
  ASSERT_TRUE(rows.AddPath(std::u16string(path.begin(), path.end()), &id));
  ASSERT_TRUE(rows.AddRow(40, id, std::u16string(name.begin(), name.end()), 1, FileTimeUtc(2008, 4, 7, 14, 24, 36), 0));
  ASSERT_TRUE(rows.AddRow(41, id, u"a,b.txt", 2048, 0, 0));
  ASSERT_TRUE(rows.SetState(0, {Recoverability::Intact, 0}, {}));
  ASSERT_TRUE(rows.SetState(1, {Recoverability::Partial, 37}, {40}));

  EXPECT_EQ(Printed(PrintCsv), "Name,Path,Size,Created,Modified,#,State\r\n" + name + "," + path +
                                   ",1 KB,07.04.2008 14:24,,40,Intact\r\n\"a,b.txt\"," + path +
                                   ",2 KB,,,41,Partly overwritten (37%)\r\n");
  const std::string json = Printed(PrintJson);
  EXPECT_NE(json.find("{\"Name\": " + JsonString(name) + ", \"Path\": " + JsonString(path) + ", \"Size\": \"1 KB\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"record\": 41, \"bytes\": 2048, \"state\": \"Partly overwritten\", "
                      "\"overwritten_percent\": 37, \"overwritten_by\": [40]}"),
            std::string::npos)
      << json;
  const std::string table = Printed(PrintTable);
  EXPECT_EQ(table.find(name), std::string::npos);
  EXPECT_NE(table.find(name.substr(0, MaxCellText) + "  "), std::string::npos);
  EXPECT_EQ(table.find(path), std::string::npos);
  EXPECT_NE(table.find(path.substr(0, MaxCellText) + "  "), std::string::npos);
}

// Carved rows follow the scan's in every format: "#" empty, dates from the
// file, their own state; with no record rows JSON still opens one array.
TEST_F(ListOutputTest, CarvedRowsFollowTheScansRows) {
  const CarvedRows carved = {
      {u"f1234.jpg", u"Carved\\JPEG\\", 5000, FileTimeUtc(2021, 3, 4, 5, 6, 7), FileTimeUtc(2022, 1, 2, 3, 4, 5), 1234,
       false},
      {u"f99.zip", u"Carved\\ZIP\\", 10, 0, 0, 99, true},
  };
  const std::string jsonAlone =
      PrintedBy([&](const ChosenList& chosen, Terminal& t) { PrintJson(rows, chosen, t, carved); });
  EXPECT_EQ(jsonAlone.rfind("[\n  {\"Name\": \"f1234.jpg\", \"Path\": \"Carved\\\\JPEG\\\\\", \"Size\": \"4 KB\", "
                            "\"Created\": \"04.03.2021 05:06\", \"Modified\": \"02.01.2022 03:04\", \"#\": \"\", "
                            "\"deleted\": true, \"record\": null, \"bytes\": 5000, \"state\": \"Carved\"",
                            0),
            0u)
      << jsonAlone;
  EXPECT_NE(jsonAlone.find("\"bytes\": 10, \"state\": \"Carved, damaged\", \"overwritten_percent\": 0, "
                           "\"overwritten_by\": [], \"first_cluster\": 99}\n]\n"),
            std::string::npos)
      << jsonAlone;

  std::uint32_t id = 0;
  ASSERT_TRUE(rows.AddPath(u"C:\\", &id));
  ASSERT_TRUE(rows.AddRow(40, id, u"kept.txt", 1, 0, 0));
  ASSERT_TRUE(rows.SetState(0, {Recoverability::Intact, 0}, {}));
  EXPECT_EQ(PrintedBy([&](const ChosenList& chosen, Terminal& t) {
              PrintCsv(rows, chosen, t, DeletedColumn::Shown, carved);
            }),
            "Name,Path,Size,Created,Modified,#,State,Deleted\r\n"
            "kept.txt,C:\\,1 KB,,,40,Intact,Yes\r\n"
            "f1234.jpg,Carved\\JPEG\\,4 KB,04.03.2021 05:06,02.01.2022 03:04,,Carved,Yes\r\n"
            "f99.zip,Carved\\ZIP\\,1 KB,,,,\"Carved, damaged\",Yes\r\n");
  const std::string json =
      PrintedBy([&](const ChosenList& chosen, Terminal& t) { PrintJson(rows, chosen, t, carved); });
  EXPECT_NE(json.find("\"overwritten_by\": []},\n  {\"Name\": \"f1234.jpg\""), std::string::npos) << json;
  const std::string table = PrintedBy([&](const ChosenList& chosen, Terminal& t) {
    PrintTable(rows, chosen, t, DeletedColumn::Hidden, carved);
  });
  EXPECT_NE(table.find("\nf99.zip    Carved\\ZIP\\   1 KB"), std::string::npos) << table;
  EXPECT_NE(table.find("Carved, damaged\n"), std::string::npos) << table;
}

}  // namespace
