#include "ui/WindowRules.h"

#include "ui/resource.h"

namespace {

ControlRect Rect(int x, int y, int width, int height) {
  // A negative extent is shown as empty.
  return {x, y, width < 0 ? 0 : width, height < 0 ? 0 : height};
}

}  // namespace

MainLayout LayoutFor(int width, int height) {
  return {Rect(0, height - 18, width, 18), Rect(0, 42, 98, height - 90), Rect(102, 42, width - 102, height - 60),
          Rect(5, height - 46, 93, 26)};
}

bool CommandRule(unsigned command, const CommandFlags& flags, bool* enabled) {
  switch (command) {
    case IDM_RECOVER: *enabled = flags.canRecover; return true;
    case IDM_IMAGE_PREVIEW: *enabled = flags.canPreview; return true;
    case IDM_STOP_SCAN: *enabled = flags.canStop; return true;
    case IDM_SCAN: *enabled = flags.canScan; return true;
    case IDM_FIND: *enabled = flags.canFind; return true;
    case IDM_FIND_NEXT: *enabled = flags.canFindNext; return true;
    default: return false;
  }
}

bool MainWindowHandles(unsigned command) {
  switch (command) {
    case IDM_FIND:
    case IDM_FIND_NEXT:
    case IDM_SCAN:
    case IDM_EXIT:
    case IDM_ABOUT:
    case IDM_FIND_NEXT_VIEW:
    case IDM_RECOVER:
    case IDM_STOP_SCAN:
    case IDM_VISIT_SITE:
    case IDM_IMAGE_PREVIEW: return true;
    default: return false;
  }
}
