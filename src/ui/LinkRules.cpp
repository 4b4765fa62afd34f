#include "ui/LinkRules.h"

const char16_t* const MakerWebSite = u"https://example.org/pelmora";
const char16_t* const SupportEmail = u"support@example.org";

std::u16string ShellTargetFor(const std::u16string& target) {
  return target == SupportEmail ? u"mailto:" + target : target;
}

bool BrowserCommandFor(const std::u16string& openCommand, const std::u16string& target, std::u16string* line) {
  std::size_t cut = openCommand.find(u"\"%1\"");
  if (cut == std::u16string::npos) cut = openCommand.find(u"%1");
  std::u16string assembled = openCommand.substr(0, cut);
  assembled += u' ';
  assembled += target;
  if (assembled.size() >= OpenCommandBuffer) return false;
  *line = assembled;
  return true;
}

namespace {

// New [low, high) for a span of `size`, keeping its centre or one edge.
void Place(int* low, int* high, int size, bool keepCentre, bool keepHigh) {
  if (keepCentre) {
    const int half = (size - (*high - *low)) / 2;
    *low -= half;
    *high += half;
  } else if (keepHigh) {
    *low = *high - size;
  } else {
    *high = *low + size;
  }
}

}  // namespace

LinkRect FitLinkToText(const LinkRect& window, int clientWidth, int clientHeight, int textWidth, int textHeight,
                       bool keepVerticalCentre, bool keepHorizontalCentre, bool keepRight) {
  LinkRect fitted = window;
  const int width = textWidth + (window.right - window.left - clientWidth);
  const int height = textHeight + (window.bottom - window.top - clientHeight);
  Place(&fitted.top, &fitted.bottom, height, keepVerticalCentre, false);
  Place(&fitted.left, &fitted.right, width, keepHorizontalCentre, keepRight);
  return fitted;
}
