// The web links' decisions as plain functions: the addresses, the shell
// target of a link, the browser command of the registry fallback, and a
// link control's size after its text. Tested natively.
#pragma once

#include <string>

// The maker's web site (Visit web site, the About box's first link) and the
// support address (the second link, opened as a "mailto:" address).
extern const char16_t* const MakerWebSite;
extern const char16_t* const SupportEmail;

// Characters of the assembled open command, its terminating zero included.
constexpr std::size_t OpenCommandBuffer = 520;

// What the shell is asked to open for a link target: "mailto:" and the
// address when the target is exactly the support address, else the target.
std::u16string ShellTargetFor(const std::u16string& target);

// The browser's command line for `target`: the registered open command cut
// at its "%1" placeholder (the quoted form first), a blank and the target.
// False when the line would not fit the 520-character buffer; it is never
// cut.
bool BrowserCommandFor(const std::u16string& openCommand, const std::u16string& target, std::u16string* line);

struct LinkRect {
  int left, top, right, bottom;
};

// A link control fitted to its text: the border (window minus client size)
// kept around the text's extent. With `keepVerticalCentre` the control
// grows or shrinks by half the difference at top and bottom (integer
// division toward zero), else from its top; horizontally likewise with
// `keepHorizontalCentre`, from the right edge with `keepRight`, else from
// the left edge.
LinkRect FitLinkToText(const LinkRect& window, int clientWidth, int clientHeight, int textWidth, int textHeight,
                       bool keepVerticalCentre, bool keepHorizontalCentre, bool keepRight);
