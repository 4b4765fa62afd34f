#include "ui/LinkRules.h"

#include <gtest/gtest.h>

namespace {

const std::u16string Site = u"https://www.example.org/pelmora/";

TEST(BrowserCommand, IsCutAtItsPlaceholderAndGetsTheTarget) {
  struct Case {
    std::u16string registered, line;
  };
  const Case cases[] = {
      // The quoted placeholder and all after it go; the blank before it stays.
      {u"\"C:\\Program Files\\Browser\\browser.exe\" -osint -url \"%1\" --new",
       u"\"C:\\Program Files\\Browser\\browser.exe\" -osint -url  " + Site},
      {u"C:\\browser.exe %1 --flag", u"C:\\browser.exe  " + Site},
      // The quoted form wins even when a bare one comes first.
      {u"browser.exe %1 \"%1\"", u"browser.exe %1  " + Site},
      // No placeholder: the whole command, a blank, the target.
      {u"C:\\browser.exe -open", u"C:\\browser.exe -open " + Site},
      {u"", u" " + Site},
  };
  for (const Case& c : cases) {
    std::u16string line = u"unchanged";
    EXPECT_TRUE(BrowserCommandFor(c.registered, Site, &line));
    EXPECT_EQ(line, c.line);
  }
}

TEST(BrowserCommand, ThatWouldPassTheBufferIsRefusedNotCut) {
  // "b.exe " + blank + target: 519 characters fit with the terminator, 520 do not.
  const std::u16string command = u"b.exe \"%1\"";
  std::u16string line;
  ASSERT_TRUE(BrowserCommandFor(command, std::u16string(519 - 7, u'x'), &line));
  EXPECT_EQ(line.size(), 519u);
  line = u"unchanged";
  EXPECT_FALSE(BrowserCommandFor(command, std::u16string(520 - 7, u'x'), &line));
  EXPECT_EQ(line, u"unchanged");
  EXPECT_FALSE(BrowserCommandFor(std::u16string(600, u'c'), Site, &line));
}

TEST(ShellTarget, OnlyTheExactSupportAddressBecomesMailto) {
  EXPECT_EQ(ShellTargetFor(SupportEmail), u"mailto:" + std::u16string(SupportEmail));
  for (const std::u16string other : {u"Support@example.org", u" support@example.org", u"support@example.org ",
                                     u"mailto:support@example.org", u"support@example.org.", u""}) {
    EXPECT_EQ(ShellTargetFor(other), other);
  }
  EXPECT_EQ(ShellTargetFor(MakerWebSite), MakerWebSite);
}

TEST(LinkFit, FollowsTheTextAndKeepsTheChosenEdgeOrCentre) {
  // A borderless control at (100, 50), 80 x 12.
  const LinkRect plain{100, 50, 180, 62};
  // Empty text: nothing to show, no width.
  LinkRect r = FitLinkToText(plain, 80, 12, 0, 0, false, false, false);
  EXPECT_EQ(r.right - r.left, 0);
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.top, 50);
  // A 2-pixel border on each side is kept around a 41 x 13 text.
  const LinkRect bordered{100, 50, 184, 66};
  r = FitLinkToText(bordered, 80, 12, 41, 13, false, false, false);
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.right, 145);
  EXPECT_EQ(r.top, 50);
  EXPECT_EQ(r.bottom, 67);
  r = FitLinkToText(bordered, 80, 12, 41, 13, false, false, true);
  EXPECT_EQ(r.right, 184);
  EXPECT_EQ(r.left, 139);
  // Centred: half the difference at each side, toward zero (-39 / 2 = -19).
  r = FitLinkToText(bordered, 80, 12, 41, 13, true, true, false);
  EXPECT_EQ(r.left, 119);
  EXPECT_EQ(r.right, 165);
  EXPECT_EQ(r.top, 50);  // +1 / 2 = 0
  EXPECT_EQ(r.bottom, 66);
  // Growing: +20 / 2 = 10 at each side.
  r = FitLinkToText(plain, 80, 12, 100, 12, false, true, false);
  EXPECT_EQ(r.left, 90);
  EXPECT_EQ(r.right, 190);
}

}  // namespace
