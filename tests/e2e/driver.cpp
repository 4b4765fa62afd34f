// Test driver for the Pelmora main window. It runs in the same Wine prefix as
// the program and works only through window messages, as another process.
// Texts of the tree, list and status bar live in the target's memory, so the
// item structures and buffers are placed there (VirtualAllocEx).
//
// Usage: driver.exe COMMAND [ARG]...    runs one command
//        driver.exe                      reads commands from stdin, one a line,
//                                        arguments separated by tabs; each answer
//                                        ends with a line "." (an error: "! why")
// Output is UTF-8; structured lines are JSON arrays.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <commdlg.h>
#include <dlgs.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int TreeId = 1000, ListId = 1001, ButtonId = 1002, ToolbarId = 59392, StatusId = 59393;
const DWORD MessageTimeout = 10000;  // a window that takes longer is hung
const DWORD ProbeTimeout = 45000;    // within the rig's 60 s grace for a command

struct Failure {
  std::string why;
};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size);
  return out;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

void Write(const std::string& line) {
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), (DWORD)text.size(), &written, nullptr);
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, MessageTimeout, &result)) {
    throw Failure{"no answer to message " + std::to_string(message) + " (hung or gone)"};
  }
  return (LRESULT)result;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = L"";
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, (LPARAM)text, SMTO_NORMAL, MessageTimeout, &length)) {
    throw Failure{"no answer to WM_GETTEXT"};
  }
  return std::wstring(text, length);
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

// Blocks of memory in target processes, kept for the process's life and lent
// out again: asking a process to allocate or free runs a call on one of its
// threads, and every such call is a chance for an emulated 32-bit program
// (qemu-i386) to die; reading and writing its memory are not.
struct Block {
  DWORD pid;
  ULONGLONG started;  // the process's creation time: pids are reused
  char* base;
  size_t size;
  bool lent;
};
std::vector<Block> blocks;

ULONGLONG StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (ULONGLONG)created.dwHighDateTime << 32 | created.dwLowDateTime;
}

// A block of memory in the target process, given back on scope exit.
class Remote {
 public:
  Remote(HWND window, size_t size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_LIMITED_INFORMATION,
                          FALSE, pid);
    if (process == nullptr) throw Failure{"OpenProcess failed: " + std::to_string(GetLastError())};
    const ULONGLONG started = StartTime(process);
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].pid == pid && blocks[i].started == started && !blocks[i].lent && blocks[i].size >= size) {
        blocks[i].lent = true;
        block = i;
        base = blocks[i].base;
        // Zeroed as fresh memory is: a message that fails leaves an empty text, not the last one.
        const std::vector<char> zeros(size, 0);
        Put(0, zeros.data(), size);
        return;
      }
    }
    // One block a program, big enough for every command, the probe's text too.
    const size_t whole = std::max(size, (size_t)131072);
    base = (char*)VirtualAllocEx(process, nullptr, whole, MEM_COMMIT, PAGE_READWRITE);
    if (base == nullptr) {
      const DWORD error = GetLastError();
      CloseHandle(process);
      throw Failure{"VirtualAllocEx failed: " + std::to_string(error)};
    }
    blocks.push_back(Block{pid, started, base, whole, true});
    block = blocks.size() - 1;
  }
  ~Remote() {
    blocks[block].lent = false;
    CloseHandle(process);
  }
  char* At(size_t offset) const { return base + offset; }
  void Put(size_t offset, const void* data, size_t count) {
    if (!WriteProcessMemory(process, base + offset, data, count, nullptr)) throw Failure{"WriteProcessMemory failed"};
  }
  void Get(size_t offset, void* data, size_t count) {
    if (!ReadProcessMemory(process, base + offset, data, count, nullptr)) throw Failure{"ReadProcessMemory failed"};
  }
  std::wstring Text(size_t offset, size_t characters) {
    std::vector<wchar_t> text(characters + 1, L'\0');
    Get(offset, text.data(), characters * sizeof(wchar_t));
    text[characters] = L'\0';
    return text.data();
  }

 private:
  HANDLE process;
  char* base;
  size_t block;
};

const size_t TextOffset = 1024, TextChars = 4096;
const wchar_t* const PreviewCaption = L"\u56fe\u50cf\u9884\u89c8";  // 图像预览
const wchar_t* const ProgressCaption = L"\u6b63\u5728\u6062\u590d";  // 正在恢复

HWND mainWindow;

BOOL CALLBACK FindMain(HWND window, LPARAM found) {
  // Not only visible ones: a box shown while the dialog initialises is owned
  // by the dialog before it is shown.
  if (ClassOf(window) == L"#32770" && GetDlgItem(window, TreeId) != nullptr) {
    wchar_t caption[64] = L"";
    GetWindowTextW(window, caption, 64);
    if (std::wstring(caption) == L"Pelmora") {
      *(HWND*)found = window;
      return FALSE;
    }
  }
  return TRUE;
}

HWND Main() {
  if (mainWindow != nullptr && IsWindow(mainWindow)) return mainWindow;
  mainWindow = nullptr;
  EnumWindows(FindMain, (LPARAM)&mainWindow);
  if (mainWindow == nullptr) throw Failure{"no Pelmora window"};
  return mainWindow;
}

HWND Control(int id) {
  HWND control = GetDlgItem(Main(), id);
  if (control == nullptr) throw Failure{"no control " + std::to_string(id)};
  return control;
}

// Waits (polling) until `done` holds or `timeoutMs` passes.
template <class Test>
bool WaitFor(DWORD timeoutMs, Test done) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

DWORD Number(const std::vector<std::string>& args, size_t index, DWORD fallback) {
  if (index >= args.size()) return fallback;
  return (DWORD)std::strtoul(args[index].c_str(), nullptr, 0);
}

// ---- tree ----

struct TreeEntry {
  HTREEITEM item;
  int depth;
  std::wstring text;
  bool selected, expanded;
};

void WalkTree(HWND tree, Remote& remote, HTREEITEM item, int depth, std::vector<TreeEntry>* out) {
  for (; item != nullptr; item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)item)) {
    TVITEMW query{};
    query.mask = TVIF_TEXT | TVIF_STATE | TVIF_HANDLE;
    query.hItem = item;
    query.stateMask = TVIS_SELECTED | TVIS_EXPANDED;
    query.pszText = (LPWSTR)remote.At(TextOffset);
    query.cchTextMax = TextChars;
    remote.Put(0, &query, sizeof query);
    if (!Send(tree, TVM_GETITEMW, 0, (LPARAM)remote.At(0))) throw Failure{"TVM_GETITEMW failed"};
    remote.Get(0, &query, sizeof query);
    out->push_back({item, depth, remote.Text(TextOffset, TextChars), (query.state & TVIS_SELECTED) != 0,
                    (query.state & TVIS_EXPANDED) != 0});
    HTREEITEM child = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)item);
    if (child != nullptr) WalkTree(tree, remote, child, depth + 1, out);
  }
}

std::vector<TreeEntry> Tree() {
  HWND tree = Control(TreeId);
  Remote remote(tree, TextOffset + TextChars * 2 + 16);
  std::vector<TreeEntry> entries;
  WalkTree(tree, remote, (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0), 0, &entries);
  return entries;
}

// ---- commands ----

void CmdTree() {
  HWND tree = Control(TreeId);
  HTREEITEM caret = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
  for (const TreeEntry& e : Tree()) {
    Write(JsonArray({std::to_string(e.depth), e.item == caret ? "true" : "false", e.expanded ? "true" : "false",
                     Json(e.text)}));
  }
}

void CmdSelect(const std::wstring& text) {
  HWND tree = Control(TreeId);
  for (const TreeEntry& e : Tree()) {
    if (e.text == text) {
      if (!Send(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)e.item)) throw Failure{"TVM_SELECTITEM failed"};
      if ((HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) != e.item) throw Failure{"selection did not move"};
      return;
    }
  }
  throw Failure{"no tree item " + Utf8(text)};
}

void CmdButton() {
  HWND button = Control(ButtonId);
  Write(JsonArray({Json(WindowText(button)), IsWindowEnabled(button) ? "true" : "false"}));
}

// Queues the click without waiting for it, since the click may open a modal
// message box. A message sent after it is handled after it.
void Click() {
  if (!SendNotifyMessageW(Control(ButtonId), BM_CLICK, 0, 0)) throw Failure{"BM_CLICK not queued"};
}

// Times from a click on the button (BN_CLICKED, as in click-caption) until
// its caption reads `caption`: [milliseconds]. Polled every 2 ms.
double ClickUntilCaption(const std::wstring& caption, DWORD timeoutMs, std::wstring* first) {
  HWND button = Control(ButtonId);
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!SendNotifyMessageW(Main(), WM_COMMAND, MAKEWPARAM(ButtonId, BN_CLICKED), (LPARAM)button))
    throw Failure{"BN_CLICKED not queued"};
  // The click is handled before this sent read: the caption has left "Scan".
  *first = WindowText(button);
  if (*first == caption) throw Failure{"the caption did not change from " + Utf8(*first)};
  for (;;) {
    QueryPerformanceCounter(&now);
    const double ms = 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
    if (WindowText(button) == caption) {
      QueryPerformanceCounter(&now);
      return 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
    }
    if (ms > timeoutMs) throw Failure{"caption not " + Utf8(caption) + " after " + std::to_string(timeoutMs) + " ms"};
    Sleep(2);
  }
}

// A scan of the selected item, timed from the click until the caption reads
// "Scan" again (the rows and totals are set by then): [ms, rows in the list].
void CmdScanTimed(DWORD timeoutMs) {
  std::wstring first;
  const double ms = ClickUntilCaption(L"Scan", timeoutMs, &first);
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", ms);
  Write(JsonArray({text, std::to_string(Send(Control(ListId), LVM_GETITEMCOUNT, 0, 0))}));
}

// Starts a scan, waits until the list has `rows` rows (the scan runs), then
// times Stop until the caption reads "Scan": [ms, rows in the list, caption
// seen when the stop was clicked].
void CmdStopTimed(DWORD rows, DWORD timeoutMs) {
  HWND button = Control(ButtonId), list = Control(ListId);
  if (!SendNotifyMessageW(Main(), WM_COMMAND, MAKEWPARAM(ButtonId, BN_CLICKED), (LPARAM)button))
    throw Failure{"BN_CLICKED not queued"};
  if (!WaitFor(timeoutMs, [&] { return (DWORD)Send(list, LVM_GETITEMCOUNT, 0, 0) >= rows || WindowText(button) == L"Scan"; }))
    throw Failure{"fewer rows than " + std::to_string(rows)};
  const std::wstring before = WindowText(button);
  if (before != L"Stop Scanning") throw Failure{"the scan ended before the stop: " + Utf8(before)};
  std::wstring first;
  const double ms = ClickUntilCaption(L"Scan", timeoutMs, &first);
  // Anything but "Stopping..." means the click found the scan ended and
  // started another.
  if (first != L"Stopping...") throw Failure{"the scan ended before the stop: the click showed " + Utf8(first)};
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", ms);
  Write(JsonArray({text, std::to_string(Send(list, LVM_GETITEMCOUNT, 0, 0)), Json(before)}));
}

void CmdWaitCaption(const std::wstring& caption, DWORD timeoutMs) {
  HWND button = Control(ButtonId);
  std::wstring last;
  if (!WaitFor(timeoutMs, [&] { return (last = WindowText(button)) == caption; })) {
    throw Failure{"caption is still " + Utf8(last)};
  }
}

// The list is virtual: LVM_GETITEMTEXTW makes it ask the window for the
// cell (LVN_GETDISPINFO), which writes into our buffer in its process.
void CmdRows(int columns, int first, int wanted) {
  HWND list = Control(ListId);
  const int count = (int)Send(list, LVM_GETITEMCOUNT, 0, 0);
  const int end = wanted >= 0 && first + wanted < count ? first + wanted : count;
  Remote remote(list, TextOffset + TextChars * 2 + 16);
  for (int row = first; row < end; ++row) {
    std::vector<std::string> cells;
    for (int column = 0; column < columns; ++column) {
      LVITEMW query{};
      query.iSubItem = column;
      query.pszText = (LPWSTR)remote.At(TextOffset);
      query.cchTextMax = TextChars;
      remote.Put(0, &query, sizeof query);
      const int length = (int)Send(list, LVM_GETITEMTEXTW, row, (LPARAM)remote.At(0));
      cells.push_back(Json(remote.Text(TextOffset, length < 0 ? 0 : length)));
    }
    Write(JsonArray(cells));
  }
}

void CmdColumns() {
  HWND list = Control(ListId);
  Remote remote(list, TextOffset + TextChars * 2 + 16);
  std::vector<std::string> names;
  for (int column = 0;; ++column) {
    LVCOLUMNW query{};
    query.mask = LVCF_TEXT;
    query.pszText = (LPWSTR)remote.At(TextOffset);
    query.cchTextMax = TextChars;
    remote.Put(0, &query, sizeof query);
    if (!Send(list, LVM_GETCOLUMNW, column, (LPARAM)remote.At(0))) break;
    names.push_back(Json(remote.Text(TextOffset, TextChars)));
  }
  Write(JsonArray(names));
}

// [column width, width of `text` in the list's font]
void CmdColumnFits(int column, const std::wstring& text) {
  HWND list = Control(ListId);
  Remote remote(list, (text.size() + 1) * sizeof(wchar_t));
  remote.Put(0, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  const LRESULT width = Send(list, LVM_GETCOLUMNWIDTH, column, 0);
  const LRESULT textWidth = Send(list, LVM_GETSTRINGWIDTHW, 0, (LPARAM)remote.At(0));
  Write(JsonArray({std::to_string(width), std::to_string(textWidth)}));
}

void CmdStatus() {
  HWND status = Control(StatusId);
  const int parts = (int)Send(status, SB_GETPARTS, 0, 0);
  Remote remote(status, TextChars * 2 + 16);
  std::vector<std::string> panes;
  for (int pane = 0; pane < parts; ++pane) {
    const int length = LOWORD(Send(status, SB_GETTEXTLENGTHW, pane, 0));
    if (length >= (int)TextChars) throw Failure{"status text too long"};
    remote.Put(0, L"", sizeof(wchar_t));
    Send(status, SB_GETTEXTW, pane, (LPARAM)remote.At(0));
    panes.push_back(Json(remote.Text(0, length)));
  }
  Write(JsonArray(panes));
}

void CmdCommand(DWORD id) {
  if (!PostMessageW(Main(), WM_COMMAND, MAKEWPARAM(id, 0), 0)) throw Failure{"PostMessage failed"};
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) throw Failure{"GetGUIThreadInfo failed"};
  return info.hwndFocus;
}

struct BoxSearch {
  HWND owner;
  HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto* search = (BoxSearch*)parameter;
  wchar_t caption[64] = L"";
  GetWindowTextW(window, caption, 64);
  if (window != search->owner && GetWindow(window, GW_OWNER) == search->owner && ClassOf(window) == L"#32770" &&
      IsWindowVisible(window) && std::wstring(caption) != PreviewCaption && std::wstring(caption) != ProgressCaption) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

HWND Box() {
  BoxSearch search{Main(), nullptr};
  EnumWindows(FindBox, (LPARAM)&search);
  return search.box;
}

void CmdBox(DWORD timeoutMs) {
  HWND box = nullptr;
  if (!WaitFor(timeoutMs, [&] { return (box = Box()) != nullptr; })) throw Failure{"no message box"};
  wchar_t caption[512] = L"";
  GetWindowTextW(box, caption, 512);
  HWND text = GetDlgItem(box, 0xFFFF);
  Write(JsonArray({Json(caption), Json(text ? WindowText(text) : L"")}));
}

// [caption, text, [visible push buttons], default button, has an icon]
void CmdBoxDetail(DWORD timeoutMs) {
  HWND box = nullptr;
  if (!WaitFor(timeoutMs, [&] { return (box = Box()) != nullptr; })) throw Failure{"no message box"};
  std::vector<std::string> buttons;
  for (int id = IDOK; id <= IDCONTINUE; ++id) {
    HWND button = GetDlgItem(box, id);
    if (button != nullptr && IsWindowVisible(button)) buttons.push_back(std::to_string(id));
  }
  // The default button: Wine's boxes mark it by style and focus, not DM_SETDEFID.
  int def = 0;
  for (int id = IDOK; id <= IDCONTINUE; ++id) {
    HWND button = GetDlgItem(box, id);
    if (button != nullptr && IsWindowVisible(button) && (GetWindowLongW(button, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON &&
        FocusOf(box) == button)
      def = id;
  }
  HWND icon = GetDlgItem(box, 0x0440);
  const bool hasIcon = icon != nullptr && IsWindowVisible(icon) && Send(icon, STM_GETICON, 0, 0) != 0;
  HWND text = GetDlgItem(box, 0xFFFF);
  Write(JsonArray({Json(WindowText(box)), Json(text ? WindowText(text) : L""), JsonArray(buttons),
                   std::to_string(def), hasIcon ? "true" : "false"}));
}

void CmdNoBox() { Write(Box() == nullptr ? "none" : "box"); }

void CmdDismiss(DWORD timeoutMs) {
  HWND box = Box();
  if (box == nullptr) throw Failure{"no message box"};
  const int id = GetDlgItem(box, IDOK) ? IDOK : IDCANCEL;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(box) || !IsWindowVisible(box); })) throw Failure{"box stays"};
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
  if (IsWindowVisible(window)) {
    wchar_t caption[256] = L"";
    GetWindowTextW(window, caption, 256);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    Write(JsonArray({Json(ClassOf(window)), Json(caption), std::to_string(pid)}));
  }
  return TRUE;
}


// ---- the file list by mouse and keyboard ----

RECT RowRect(int row) {
  HWND list = Control(ListId);
  Remote remote(list, sizeof(RECT));
  RECT rect{LVIR_LABEL, 0, 0, 0};
  remote.Put(0, &rect, sizeof rect);
  if (!Send(list, LVM_GETITEMRECT, row, (LPARAM)remote.At(0))) throw Failure{"no row " + std::to_string(row)};
  remote.Get(0, &rect, sizeof rect);
  return rect;
}

// Posts a button press and release at a point of `window`'s client area.
// The controls read the keys from wParam, so MK_CONTROL makes a ctrl-click.
void PostClick(HWND window, POINT at, UINT down, UINT up, WPARAM keys, bool twice) {
  const LPARAM where = MAKELPARAM(at.x, at.y);
  const WPARAM button = down == WM_LBUTTONDOWN ? MK_LBUTTON : MK_RBUTTON;
  PostMessageW(window, WM_MOUSEMOVE, keys, where);
  PostMessageW(window, down, keys | button, where);
  PostMessageW(window, up, keys, where);
  if (twice) {
    PostMessageW(window, WM_LBUTTONDBLCLK, keys | button, where);
    PostMessageW(window, up, keys, where);
  }
}

// Returns once the program's thread has handled every message posted to it
// before: a sent message would overtake them. The marker is the list's hover
// time, posted, read back, then restored; nothing shows it.
void Settle(DWORD timeoutMs = MessageTimeout) {
  HWND list = Control(ListId);
  const LRESULT previous = Send(list, LVM_GETHOVERTIME, 0, 0);
  const LPARAM marker = 0x5E771E + (GetTickCount() & 0xFFF);
  PostMessageW(list, LVM_SETHOVERTIME, 0, marker);
  const bool done = WaitFor(timeoutMs, [&] { return Send(list, LVM_GETHOVERTIME, 0, 0) == marker; });
  Send(list, LVM_SETHOVERTIME, 0, previous);
  if (!done) throw Failure{"the program did not reach the posted marker"};
}

// A click on a row's name cell. `how`: "", "ctrl", "shift", "double" or "right";
// a right click also moves the cursor there, as the menu opens at the cursor.
void CmdClickRow(int row, const std::string& how) {
  HWND list = Control(ListId);
  POINT at{};
  if (row >= 0) {
    const RECT rect = RowRect(row);
    at = POINT{rect.left + 4, (rect.top + rect.bottom) / 2};
  } else {  // below the rows
    RECT client{};
    GetClientRect(list, &client);
    at = POINT{client.right / 2, client.bottom - 10};
  }
  if (how == "right") {
    POINT screen = at;
    ClientToScreen(list, &screen);
    SetCursorPos(screen.x, screen.y);
    PostClick(list, at, WM_RBUTTONDOWN, WM_RBUTTONUP, 0, false);
    Write(JsonArray({std::to_string(screen.x), std::to_string(screen.y)}));
    return;
  }
  const WPARAM keys = how == "ctrl" ? MK_CONTROL : how == "shift" ? MK_SHIFT : 0;
  PostClick(list, at, WM_LBUTTONDOWN, WM_LBUTTONUP, keys, how == "double");
  Settle();
}

// A right click on the tree item that reads `text`, the real cursor on it
// (the program's menu opens where the message says the cursor was): the
// point on the screen.
void CmdRightClickTree(const std::wstring& text) {
  HWND tree = Control(TreeId);
  for (const TreeEntry& e : Tree()) {
    if (e.text != text) continue;
    Remote remote(tree, sizeof(RECT));
    RECT rect{};
    *reinterpret_cast<HTREEITEM*>(&rect) = e.item;  // TVM_GETITEMRECT takes the item in the rectangle
    remote.Put(0, &rect, sizeof rect);
    if (!Send(tree, TVM_GETITEMRECT, TRUE, (LPARAM)remote.At(0))) throw Failure{"item out of sight: " + Utf8(text)};
    remote.Get(0, &rect, sizeof rect);
    const POINT at{rect.left + 4, (rect.top + rect.bottom) / 2};
    POINT screen = at;
    ClientToScreen(tree, &screen);
    SetCursorPos(screen.x, screen.y);
    PostClick(tree, at, WM_RBUTTONDOWN, WM_RBUTTONUP, 0, false);
    Write(JsonArray({std::to_string(screen.x), std::to_string(screen.y)}));
    return;
  }
  throw Failure{"no tree item " + Utf8(text)};
}

void CmdClickHeader(int column) {
  HWND list = Control(ListId);
  HWND header = (HWND)Send(list, LVM_GETHEADER, 0, 0);
  if (header == nullptr) throw Failure{"no header"};
  Remote remote(header, sizeof(RECT));
  if (!Send(header, HDM_GETITEMRECT, column, (LPARAM)remote.At(0))) throw Failure{"no column " + std::to_string(column)};
  RECT rect{}, visible{};
  remote.Get(0, &rect, sizeof rect);
  // The header moves left as the list scrolls: compare in the list's terms.
  POINT origin{0, 0};
  MapWindowPoints(header, list, &origin, 1);
  OffsetRect(&rect, origin.x, origin.y);
  GetClientRect(list, &visible);  // a user clicks the part that is shown
  if (rect.right > visible.right) rect.right = visible.right;
  if (rect.left < visible.left) rect.left = visible.left;
  if (rect.left >= rect.right) throw Failure{"column " + std::to_string(column) + " is out of sight"};
  PostClick(header, POINT{(rect.left + rect.right) / 2 - origin.x, (rect.top + rect.bottom) / 2 - origin.y},
            WM_LBUTTONDOWN, WM_LBUTTONUP, 0, false);
  Settle();
}

void CmdSelected() {
  HWND list = Control(ListId);
  std::vector<std::string> rows;
  for (int row = -1; (row = (int)Send(list, LVM_GETNEXTITEM, row, LVNI_SELECTED)) >= 0;) rows.push_back(std::to_string(row));
  Write(JsonArray(rows));
}

// The focus moves as the dialog moves it for a Tab or a mnemonic.
void CmdFocusControl(int id) {
  Send(Main(), WM_NEXTDLGCTL, (WPARAM)Control(id), TRUE);
  if (FocusOf(Main()) != Control(id)) throw Failure{"the focus did not move"};
}

void CmdFocus() {
  HWND focus = FocusOf(Main());
  Write(JsonArray({Json(focus ? ClassOf(focus) : L""), std::to_string(focus ? GetDlgCtrlID(focus) : 0)}));
}

// A key press delivered where the keyboard would deliver it: the focus window.
void CmdKey(DWORD key) {
  HWND focus = FocusOf(Main());
  if (focus == nullptr) throw Failure{"nothing has the focus"};
  const UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
  PostMessageW(focus, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(focus, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000);
  Settle();
}

// ---- other windows of the program: dialogs, the folder browser, menus ----

struct WindowSearch {
  DWORD pid;
  std::wstring caption, className;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
  auto* search = (WindowSearch*)parameter;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
  wchar_t caption[256] = L"";
  GetWindowTextW(window, caption, 256);
  if ((search->caption.empty() || search->caption == caption) &&
      (search->className.empty() || search->className == ClassOf(window)))
    search->found.push_back(window);
  return TRUE;
}

// The program's visible top-level windows with this caption and/or class.
std::vector<HWND> ProgramWindows(const std::wstring& caption, const std::wstring& className) {
  WindowSearch search{0, caption, className, {}};
  GetWindowThreadProcessId(Main(), &search.pid);
  EnumWindows(CollectWindow, (LPARAM)&search);
  return search.found;
}

HWND WaitWindow(const std::wstring& caption, const std::wstring& className, DWORD timeoutMs) {
  HWND found = nullptr;
  if (!WaitFor(timeoutMs, [&] {
        auto all = ProgramWindows(caption, className);
        found = all.empty() ? nullptr : all[0];
        return found != nullptr;
      }))
    throw Failure{"no window " + Utf8(caption) + " " + Utf8(className)};
  return found;
}

// One line per window: [caption, class, [left, top, width, height] of its client
// area on the screen, [the same] of the whole window].
void CmdWindowsTitled(const std::wstring& caption) {
  for (HWND window : ProgramWindows(caption, L"")) {
    RECT client{}, outer{};
    GetClientRect(window, &client);
    GetWindowRect(window, &outer);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    auto box = [](int x, int y, int w, int h) {
      return JsonArray({std::to_string(x), std::to_string(y), std::to_string(w), std::to_string(h)});
    };
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);  // it may be going away: no message
    Write(JsonArray({Json(text), Json(ClassOf(window)), box(origin.x, origin.y, client.right, client.bottom),
                     box(outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top)}));
  }
}

HWND Dialog(const std::wstring& caption) {
  auto all = ProgramWindows(caption, L"#32770");
  if (all.empty()) throw Failure{"no dialog " + Utf8(caption)};
  return all[0];
}

void CmdSetItem(const std::wstring& caption, int id, const std::wstring& text) {
  HWND item = GetDlgItem(Dialog(caption), id);
  if (item == nullptr) throw Failure{"no item " + std::to_string(id)};
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(item, WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_NORMAL, MessageTimeout, &result))
    throw Failure{"WM_SETTEXT not answered"};
  if (WindowText(item) != text) throw Failure{"the text did not arrive"};
}

void CmdPress(const std::wstring& caption, int id, DWORD timeoutMs) {
  HWND dialog = Dialog(caption);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }))
    throw Failure{"the dialog stays"};
}

struct DescendantSearch {
  const wchar_t* name;
  HWND found;
};

BOOL CALLBACK MatchDescendant(HWND child, LPARAM parameter) {
  auto* search = (DescendantSearch*)parameter;
  if (ClassOf(child) != search->name) return TRUE;
  search->found = child;
  return FALSE;
}

HWND Descendant(HWND parent, const wchar_t* className) {
  DescendantSearch search{className, nullptr};
  EnumChildWindows(parent, MatchDescendant, (LPARAM)&search);
  return search.found;
}

// The shell's folder browser: the program's dialog holding a tree of folders.
HWND Browser(DWORD timeoutMs) {
  HWND found = nullptr;
  if (!WaitFor(timeoutMs, [&] {
        // A dialog is shown once WM_INITDIALOG has returned: by then the
        // browser has moved its tree to the start folder. Before, the tree
        // may be read half way there.
        for (HWND window : ProgramWindows(L"", L"#32770"))
          if (window != Main() && IsWindowVisible(window) && Descendant(window, L"SysTreeView32") != nullptr)
            found = window;
        return found != nullptr;
      }))
    throw Failure{"no folder browser"};
  return found;
}

// The text of a tree item.
std::wstring ItemText(HWND tree, Remote& remote, HTREEITEM item) {
  TVITEMW query{};
  query.mask = TVIF_TEXT | TVIF_HANDLE;
  query.hItem = item;
  query.pszText = (LPWSTR)remote.At(TextOffset);
  query.cchTextMax = TextChars;
  remote.Put(0, &query, sizeof query);
  Send(tree, TVM_GETITEMW, 0, (LPARAM)remote.At(0));
  return remote.Text(TextOffset, TextChars);
}

// The texts from the root to the browser's selected folder.
std::vector<std::wstring> BrowserChain(HWND browser) {
  HWND tree = Descendant(browser, L"SysTreeView32");
  Remote remote(tree, TextOffset + TextChars * 2 + 16);
  std::vector<std::wstring> chain;
  for (HTREEITEM item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0); item != nullptr;
       item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_PARENT, (LPARAM)item)) {
    chain.insert(chain.begin(), ItemText(tree, remote, item));
  }
  return chain;
}

// [caption, [texts from the root to the selected folder], OK enabled]
void WriteBrowser(HWND browser) {
  std::vector<std::string> chain;
  for (const std::wstring& text : BrowserChain(browser)) chain.push_back(Json(text));
  Write(JsonArray({Json(WindowText(browser)), JsonArray(chain),
                   IsWindowEnabled(GetDlgItem(browser, IDOK)) ? "true" : "false"}));
}

void CmdBrowser(DWORD timeoutMs) { WriteBrowser(Browser(timeoutMs)); }

// The child of `parent` (expanded first, as a click on its button would)
// whose text `matches`, or null.
template <class Match>
HTREEITEM ChildItem(HWND tree, Remote& remote, HTREEITEM parent, Match matches) {
  Send(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)parent);
  for (HTREEITEM item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)parent); item != nullptr;
       item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)item)) {
    if (matches(ItemText(tree, remote, item))) return item;
  }
  return nullptr;
}

// Selects PATH ("X:\folder\...") as a user would, by opening the tree's
// items by their texts: the drive "... (X:)" below the root's children, then
// each folder. BFFM_SETSELECTION is not used: Wine's browser matches a path's
// folders by their item data, which holds their modification times, so a
// parent that changed after the browser listed it stops that walk. The
// answer is the browser as it is then.
void CmdBrowserSelect(const std::wstring& path, DWORD timeoutMs) {
  HWND browser = Browser(timeoutMs);
  HWND tree = Descendant(browser, L"SysTreeView32");
  Remote remote(tree, TextOffset + TextChars * 2 + 16);
  std::vector<std::wstring> parts;
  for (size_t at = 0; at <= path.size();) {
    const size_t end = std::min(path.find(L'\\', at), path.size());
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty() || parts[0].size() != 2 || parts[0][1] != L':') throw Failure{"not a drive path: " + Utf8(path)};
  const std::wstring drive = L"(" + parts[0] + L")";
  auto isDrive = [&](const std::wstring& text) {
    return text.size() >= drive.size() && lstrcmpiW(text.c_str() + text.size() - drive.size(), drive.c_str()) == 0;
  };
  HTREEITEM item = nullptr;
  const HTREEITEM root = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
  Send(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)root);
  for (HTREEITEM child = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)root);
       child != nullptr && item == nullptr; child = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)child)) {
    item = isDrive(ItemText(tree, remote, child)) ? child : ChildItem(tree, remote, child, isDrive);
  }
  if (item == nullptr) throw Failure{"no drive " + Utf8(parts[0]) + " in the browser"};
  for (size_t i = 1; i < parts.size(); ++i) {
    HTREEITEM next =
        ChildItem(tree, remote, item, [&](const std::wstring& text) { return lstrcmpiW(text.c_str(), parts[i].c_str()) == 0; });
    if (next == nullptr) throw Failure{"no folder " + Utf8(parts[i]) + " in the browser"};
    item = next;
  }
  if (!Send(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item)) throw Failure{"TVM_SELECTITEM failed"};
  WriteBrowser(browser);
}

void CmdBrowserPress(int id, DWORD timeoutMs) {
  HWND browser = Browser(10000);
  PostMessageW(browser, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(browser, id));
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(browser) || !IsWindowVisible(browser); }))
    throw Failure{"the browser stays"};
}

// ---- the common open-file dialog ----

// The program's open-file dialog: a dialog holding the shell's view of a
// folder (the folder browser holds a tree instead). Shown once its
// WM_INITDIALOG has returned: by then it lists its start folder.
HWND FileDialog(DWORD timeoutMs) {
  HWND found = nullptr;
  if (!WaitFor(timeoutMs, [&] {
        for (HWND window : ProgramWindows(L"", L"#32770"))
          if (window != Main() && Descendant(window, L"SHELLDLL_DefView") != nullptr) found = window;
        return found != nullptr;
      }))
    throw Failure{"no file dialog"};
  return found;
}

HWND FileList(HWND dialog) {
  HWND view = Descendant(dialog, L"SHELLDLL_DefView");
  HWND list = view != nullptr ? Descendant(view, L"SysListView32") : nullptr;
  if (list == nullptr) throw Failure{"the file dialog has no list"};
  return list;
}

// A text the dialog gives through a CDM_ message (CDM_GETFOLDERPATH,
// CDM_GETSPEC), into a buffer in its process.
std::wstring DialogText(HWND dialog, UINT message) {
  Remote remote(dialog, TextChars * 2 + 16);
  remote.Put(0, L"", sizeof(wchar_t));
  const LRESULT length = Send(dialog, message, TextChars, (LPARAM)remote.At(0));
  return length > 0 ? remote.Text(0, TextChars) : L"";
}

std::vector<std::wstring> FileItems(HWND dialog) {
  HWND list = FileList(dialog);
  Remote remote(list, TextOffset + TextChars * 2 + 16);
  std::vector<std::wstring> items;
  const int count = (int)Send(list, LVM_GETITEMCOUNT, 0, 0);
  for (int row = 0; row < count; ++row) {
    LVITEMW query{};
    query.pszText = (LPWSTR)remote.At(TextOffset);
    query.cchTextMax = TextChars;
    remote.Put(0, &query, sizeof query);
    const int length = (int)Send(list, LVM_GETITEMTEXTW, row, (LPARAM)remote.At(0));
    items.push_back(remote.Text(TextOffset, length < 0 ? 0 : length));
  }
  return items;
}

// [caption, folder, file name box, chosen file type, [file types], [items listed]]
void CmdFileDialog(DWORD timeoutMs) {
  HWND dialog = FileDialog(timeoutMs);
  HWND types = GetDlgItem(dialog, cmb1);
  if (types == nullptr) throw Failure{"no file type box"};
  // Wine carries a combo box's item text across processes itself: the
  // buffer is this process's.
  std::vector<std::string> typeTexts;
  const int count = (int)Send(types, CB_GETCOUNT, 0, 0);
  for (int i = 0; i < count; ++i) {
    const LRESULT length = Send(types, CB_GETLBTEXTLEN, i, 0);
    if (length < 0 || length >= (LRESULT)TextChars) throw Failure{"a file type's text is too long"};
    std::vector<wchar_t> text(length + 1, L'\0');
    Send(types, CB_GETLBTEXT, i, (LPARAM)text.data());
    typeTexts.push_back(Json(text.data()));
  }
  std::vector<std::string> items;
  for (const std::wstring& item : FileItems(dialog)) items.push_back(Json(item));
  Write(JsonArray({Json(WindowText(dialog)), Json(DialogText(dialog, CDM_GETFOLDERPATH)),
                   Json(DialogText(dialog, CDM_GETSPEC)), std::to_string(Send(types, CB_GETCURSEL, 0, 0)),
                   JsonArray(typeTexts), JsonArray(items)}));
}

// Chooses the file type at INDEX as a click in the box's list would: the
// selection, then the notifications the box sends as its list closes.
void CmdFileDialogType(int index) {
  HWND dialog = FileDialog(10000);
  HWND types = GetDlgItem(dialog, cmb1);
  if (Send(types, CB_SETCURSEL, index, 0) != index) throw Failure{"no file type " + std::to_string(index)};
  Send(dialog, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELCHANGE), (LPARAM)types);
  Send(dialog, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELENDOK), (LPARAM)types);
}

// Selects the listed item NAME, as a click on it would: the dialog copies
// it into its file name box. The answer is that box's text.
void CmdFileDialogSelect(const std::wstring& name) {
  HWND dialog = FileDialog(10000);
  HWND list = FileList(dialog);
  const std::vector<std::wstring> items = FileItems(dialog);
  const auto at = std::find(items.begin(), items.end(), name);
  if (at == items.end()) throw Failure{"no item " + Utf8(name) + " listed"};
  Remote remote(list, sizeof(LVITEMW));
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  remote.Put(0, &state, sizeof state);
  Send(list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)remote.At(0));
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  remote.Put(0, &state, sizeof state);
  Send(list, LVM_SETITEMSTATE, at - items.begin(), (LPARAM)remote.At(0));
  Settle();
  Write(JsonArray({Json(DialogText(dialog, CDM_GETSPEC))}));
}

// Types TEXT into the file name box.
void CmdFileDialogName(const std::wstring& text) {
  HWND dialog = FileDialog(10000);
  Remote remote(dialog, (text.size() + 1) * sizeof(wchar_t));
  remote.Put(0, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  Send(dialog, CDM_SETCONTROLTEXT, edt1, (LPARAM)remote.At(0));
  Send(dialog, CDM_SETCONTROLTEXT, cmb13, (LPARAM)remote.At(0));
  if (DialogText(dialog, CDM_GETSPEC) != text) throw Failure{"the file name did not arrive"};
}

// Presses a button of the dialog and waits until the program has handled
// it: Open on a folder moves the dialog there, on a file closes it.
void CmdFileDialogPress(int id) {
  HWND dialog = FileDialog(10000);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
  Settle();
}

// Runs an export of menuprobe.dll on a thread of the program with a block
// (placed there) as its parameter, `window` in its first pointer-sized field;
// returns its result and the text it wrote after that field.
//
// Wine makes a remote thread (and a remote allocation) by a call it queues to
// the program: to a thread waiting in the server, else by a signal to a busy
// one, whose handler then runs it inside whatever that thread was doing, and
// can deadlock there. So each program gets one block (the Remote pool) and
// one load of the probe, and the rig calls this when the program is idle.
std::wstring RunProbe(const char* entry, HWND window, DWORD* resultOut) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path);
  dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"menuprobe.dll";
  HMODULE local = LoadLibraryW(dll.c_str());
  if (local == nullptr) throw Failure{"cannot load " + Utf8(dll)};
  const size_t entryOffset = (char*)GetProcAddress(local, entry) - (char*)local;
  DWORD pid = 0;
  GetWindowThreadProcessId(Main(), &pid);
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (process == nullptr) throw Failure{"OpenProcess failed"};
  struct Closer {
    HANDLE handle;
    ~Closer() { CloseHandle(handle); }
  } closer{process};
  auto runRemote = [&](void* start, void* parameter) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, (LPTHREAD_START_ROUTINE)start, parameter, 0, nullptr);
    if (thread == nullptr) throw Failure{"CreateRemoteThread failed: " + std::to_string(GetLastError())};
    // The probe runs in the program, which a scenario may be slowing fifty-fold.
    if (WaitForSingleObject(thread, ProbeTimeout) != WAIT_OBJECT_0) throw Failure{"remote thread hangs"};
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
  };
  // The thread's exit code holds only the low 32 bits of a module's base: the
  // whole base comes from the target's module list.
  auto probeBase = [&]() -> char* {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!K32EnumProcessModules(process, modules, sizeof modules, &needed)) return nullptr;
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; ++i) {
      wchar_t name[MAX_PATH] = L"";
      K32GetModuleBaseNameW(process, modules[i], name, MAX_PATH);
      if (lstrcmpiW(name, L"menuprobe.dll") == 0) return (char*)modules[i];
    }
    return nullptr;
  };
  const size_t textBytes = 32768 * sizeof(wchar_t);
  Remote block(Main(), sizeof(HWND) + textBytes);
  char* remoteBase = probeBase();
  if (remoteBase == nullptr) {
    block.Put(0, dll.c_str(), (dll.size() + 1) * sizeof(wchar_t));
    void* loadLibrary = (void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    if (runRemote(loadLibrary, block.At(0)) == 0) throw Failure{"LoadLibraryW failed in the target"};
    remoteBase = probeBase();
    if (remoteBase == nullptr) throw Failure{"menuprobe.dll is not in the target's modules"};
  }
  block.Put(0, &window, sizeof window);
  *resultOut = runRemote(remoteBase + entryOffset, block.At(0));
  std::vector<wchar_t> out(32768 + 1, L'\0');
  block.Get(sizeof(HWND), out.data(), textBytes);
  return out.data();
}

// The open popup menu (TrackPopupMenu): [left, top] of it, then [id, enabled, "text"] per item.
void CmdPopup(DWORD timeoutMs) {
  HWND popup = WaitWindow(L"", L"#32768", timeoutMs);
  RECT rect{};
  GetWindowRect(popup, &rect);
  DWORD result = 0;
  const std::wstring text = RunProbe("ReadPopup", popup, &result);
  if (result != 0) throw Failure{"ReadPopup failed: " + std::to_string(result)};
  Write(JsonArray({std::to_string(rect.left), std::to_string(rect.top)}));
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(L'\n', at);
    std::wstring line = text.substr(at, end - at);
    at = end + 1;
    size_t tab1 = line.find(L'\t'), tab2 = line.find(L'\t', tab1 + 1);
    Write(JsonArray({Utf8(line.substr(0, tab1)), line.substr(tab1 + 1, tab2 - tab1 - 1) == L"1" ? "true" : "false",
                     Json(line.substr(tab2 + 1))}));
  }
}

// Keys for the open popup menu: its loop reads the thread's queue.
void CmdPopupKeys(const std::vector<std::string>& keys, DWORD timeoutMs) {
  HWND popup = WaitWindow(L"", L"#32768", 10000);
  for (const std::string& key : keys) {
    const DWORD vk = (DWORD)std::strtoul(key.c_str(), nullptr, 0);
    PostMessageW(popup, WM_KEYDOWN, vk, 1);
    PostMessageW(popup, WM_KEYUP, vk, 0xC0000001);
  }
  if (!WaitFor(timeoutMs, [&] { return !IsWindow(popup) || !IsWindowVisible(popup); }))
    throw Failure{"the menu stays"};
}

void CmdAttrs(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw Failure{"GetFileAttributesW failed: " + std::to_string(GetLastError())};
  Write(std::to_string(attributes));
}

// ---- the About box ----

// A click at the centre of a control of the dialog `caption`.
void CmdClickItem(const std::wstring& caption, int id) {
  HWND item = GetDlgItem(Dialog(caption), id);
  if (item == nullptr) throw Failure{"no item " + std::to_string(id)};
  RECT rect{};
  GetClientRect(item, &rect);
  if (rect.right <= 0 || rect.bottom <= 0) throw Failure{"item " + std::to_string(id) + " has no size"};
  PostClick(item, POINT{rect.right / 2, rect.bottom / 2}, WM_LBUTTONDOWN, WM_LBUTTONUP, 0, false);
}

// One line per control of the dialog `caption`: [id, class, text, enabled,
// visible]; a progress bar's text is its position.
void CmdDialogItems(const std::wstring& caption) {
  HWND dialog = Dialog(caption);
  for (HWND item = GetWindow(dialog, GW_CHILD); item != nullptr; item = GetWindow(item, GW_HWNDNEXT)) {
    const std::wstring kind = ClassOf(item);
    const std::wstring text =
        kind == L"msctls_progress32" ? std::to_wstring(Send(item, PBM_GETPOS, 0, 0)) : WindowText(item);
    Write(JsonArray({std::to_string(GetDlgCtrlID(item)), Json(kind), Json(text), IsWindowEnabled(item) ? "true" : "false",
                     IsWindowVisible(item) ? "true" : "false"}));
  }
}

// Waits until the program shows no window titled `caption`.
void CmdWaitGone(const std::wstring& caption, DWORD timeoutMs) {
  if (!WaitFor(timeoutMs, [&] { return ProgramWindows(caption, L"").empty(); }))
    throw Failure{"still shown: " + Utf8(caption)};
}

// Round trips of a sent message (WM_NULL) to the main window, one every
// 10 ms, while `going()` holds (checked before each): [count, longest ms,
// median ms, 99th percentile ms, seconds in all, seconds from the start to
// the longest]. A round trip is waited for up to `timeoutMs`: a window that
// never answers is a failure.
template <class Going>
void RoundTrips(DWORD timeoutMs, Going going) {
  LARGE_INTEGER frequency, began, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&began);
  end = began;
  std::vector<double> trips;
  double longestAt = 0;
  while (going(trips.size())) {
    DWORD_PTR ignored = 0;
    QueryPerformanceCounter(&start);
    if (!SendMessageTimeoutW(Main(), WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &ignored)) throw Failure{"no answer"};
    QueryPerformanceCounter(&end);
    const double ms = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
    if (trips.empty() || ms > *std::max_element(trips.begin(), trips.end()))
      longestAt = double(start.QuadPart - began.QuadPart) / frequency.QuadPart;
    trips.push_back(ms);
    Sleep(10);
  }
  if (trips.empty()) throw Failure{"no round trip made"};
  const double seconds = double(end.QuadPart - began.QuadPart) / frequency.QuadPart;
  std::sort(trips.begin(), trips.end());
  char text[160];
  std::snprintf(text, sizeof text, "[%u, %.2f, %.2f, %.2f, %.2f, %.2f]", (unsigned)trips.size(), trips.back(),
                trips[trips.size() / 2], trips[std::min(trips.size() - 1, trips.size() * 99 / 100)], seconds,
                longestAt);
  Write(text);
}

// Round trips until the file at `path` has `size` bytes (a recovery's output
// appears whole, or grows in place): see RoundTrips.
void CmdRoundTripsUntil(const std::wstring& path, unsigned long long size, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  RoundTrips(timeoutMs, [&](size_t) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        ((unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow) == size)
      return false;
    if (GetTickCount() - start > timeoutMs) throw Failure{"the file did not reach its size"};
    return true;
  });
}

// A click on the toolbar button of `command`.
void CmdClickToolbar(DWORD command) {
  HWND toolbar = Control(ToolbarId);
  const LRESULT index = Send(toolbar, TB_COMMANDTOINDEX, command, 0);
  if (index < 0) throw Failure{"no toolbar button " + std::to_string(command)};
  Remote remote(toolbar, sizeof(RECT));
  if (!Send(toolbar, TB_GETITEMRECT, index, (LPARAM)remote.At(0))) throw Failure{"TB_GETITEMRECT failed"};
  RECT rect{};
  remote.Get(0, &rect, sizeof rect);
  PostClick(toolbar, POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}, WM_LBUTTONDOWN, WM_LBUTTONUP,
            0, false);
}

// The beeps counted since hook-beeps ([count, last type]), then one line per
// link of the dialog: [id, visited, hovering, "text", [left, top, width, height] on the screen].
void CmdLinks(const std::wstring& caption) {
  HWND dialog = Dialog(caption);
  DWORD result = 0;
  const std::wstring text = RunProbe("ReadLinks", dialog, &result);
  if (result != 0) throw Failure{"ReadLinks failed: " + std::to_string(result)};
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const size_t end = text.find(L'\n', at);
    const std::wstring line = text.substr(at, end - at);
    at = end + 1;
    std::vector<std::wstring> f;
    size_t from = 0;
    for (size_t tab; (tab = line.find(L'\t', from)) != std::wstring::npos && f.size() < 3; from = tab + 1) {
      f.push_back(line.substr(from, tab - from));
    }
    f.push_back(line.substr(from));
    if (first) {
      Write(JsonArray({Utf8(f[0]), Utf8(f[1])}));
      first = false;
      continue;
    }
    RECT rect{};
    GetWindowRect(GetDlgItem(dialog, std::stoi(f[0])), &rect);
    Write(JsonArray({Utf8(f[0]), f[1] == L"1" ? "true" : "false", f[2] == L"1" ? "true" : "false", Json(f[3]),
                     JsonArray({std::to_string(rect.left), std::to_string(rect.top),
                                std::to_string(rect.right - rect.left), std::to_string(rect.bottom - rect.top)})}));
  }
}

// Wine keeps menus local to their process, so menuprobe.dll (beside this
// program) is loaded into the target and its ReadMenus runs there on a remote
// thread. It opens each popup first: states are set only when a popup opens.
void CmdMenu() {
  DWORD result = 0;
  const std::wstring text = RunProbe("ReadMenus", Main(), &result);
  if (result != 0) throw Failure{"ReadMenus failed: " + std::to_string(result)};
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(L'\n', at);
    std::wstring line = text.substr(at, end - at);
    at = end + 1;
    std::vector<std::wstring> f;
    size_t from = 0;
    for (int i = 0; i < 3; ++i) {
      size_t tab = line.find(L'\t', from);
      f.push_back(line.substr(from, tab - from));
      from = tab + 1;
    }
    f.push_back(line.substr(from));
    Write(JsonArray({Utf8(f[0]), Utf8(f[1]), f[2] == L"1" ? "true" : "false", Json(f[3])}));
  }
}

void CmdRect() {
  RECT r{};
  GetWindowRect(Main(), &r);
  Write(JsonArray({std::to_string(r.left), std::to_string(r.top), std::to_string(r.right - r.left),
                   std::to_string(r.bottom - r.top)}));
}

// Asks the window to close and waits for its process to end.
void CmdClose(DWORD timeoutMs) {
  HWND window = Main();
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) throw Failure{"OpenProcess failed"};
  PostMessageW(window, WM_CLOSE, 0, 0);
  const DWORD waited = WaitForSingleObject(process, timeoutMs);
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  if (waited != WAIT_OBJECT_0) throw Failure{"process still running"};
  Write("exit " + std::to_string(exitCode));
}

void Run(const std::vector<std::string>& args) {
  if (args.empty()) throw Failure{"no command"};
  const std::string& c = args[0];
  auto arg = [&](size_t i) {
    if (i >= args.size()) throw Failure{c + ": argument " + std::to_string(i) + " missing"};
    return Wide(args[i]);
  };
  if (c == "wait-window") {
    // Ready when shown, or when a box stops its initialisation.
    if (!WaitFor(Number(args, 1, 30000), [] {
          try {
            return IsWindowVisible(Main()) || Box() != nullptr;
          } catch (const Failure&) {
            return false;
          }
        }))
      throw Failure{"no Pelmora window"};
    DWORD pid = 0;
    GetWindowThreadProcessId(Main(), &pid);
    Write("pid " + std::to_string(pid));
  } else if (c == "tree") {
    CmdTree();
  } else if (c == "select") {
    CmdSelect(arg(1));
  } else if (c == "button") {
    CmdButton();
  } else if (c == "click") {
    Click();
  } else if (c == "click-caption") {
    // The caption right after the click is handled: sent messages are handled
    // in order and before anything the scan thread posts. BN_CLICKED goes to
    // the dialog itself: after a queued BM_CLICK, Wine sometimes answered the
    // read with the caption from before the click.
    HWND button = Control(ButtonId);
    if (!SendNotifyMessageW(Main(), WM_COMMAND, MAKEWPARAM(ButtonId, BN_CLICKED), (LPARAM)button))
      throw Failure{"BN_CLICKED not queued"};
    Write(JsonArray({Json(WindowText(Control(ButtonId)))}));
  } else if (c == "wait-caption") {
    CmdWaitCaption(arg(1), Number(args, 2, 30000));
  } else if (c == "rows") {
    CmdRows((int)Number(args, 1, 6), (int)Number(args, 2, 0), args.size() > 3 ? (int)Number(args, 3, 0) : -1);
  } else if (c == "scroll-list") {
    // As the scroll bar would: the list's columns move left by DX pixels.
    if (!Send(Control(ListId), LVM_SCROLL, Number(args, 1, 0), 0)) throw Failure{"LVM_SCROLL failed"};
  } else if (c == "column-width") {
    // As dragging the header's divider would.
    if (!Send(Control(ListId), LVM_SETCOLUMNWIDTH, Number(args, 1, 0), Number(args, 2, 0))) {
      throw Failure{"LVM_SETCOLUMNWIDTH failed"};
    }
  } else if (c == "list-style") {
    Write(std::to_string(GetWindowLongW(Control(ListId), GWL_STYLE)));
  } else if (c == "column-fits") {
    CmdColumnFits((int)Number(args, 1, 0), args.size() > 2 ? Wide(args[2]) : L"");
  } else if (c == "scan-timed") {
    CmdScanTimed(Number(args, 1, 60000));
  } else if (c == "stop-timed") {
    CmdStopTimed(Number(args, 1, 1), Number(args, 2, 60000));
  } else if (c == "count") {
    Write(std::to_string(Send(Control(ListId), LVM_GETITEMCOUNT, 0, 0)));
  } else if (c == "columns") {
    CmdColumns();
  } else if (c == "status") {
    CmdStatus();
  } else if (c == "menu") {
    CmdMenu();
  } else if (c == "command") {
    CmdCommand(Number(args, 1, 0));
  } else if (c == "box") {
    CmdBox(Number(args, 1, 10000));
  } else if (c == "box-detail") {
    CmdBoxDetail(Number(args, 1, 10000));
  } else if (c == "no-box") {
    CmdNoBox();
  } else if (c == "dismiss") {
    CmdDismiss(Number(args, 1, 10000));
  } else if (c == "wait-rows") {
    HWND list = Control(ListId);
    const DWORD wanted = Number(args, 1, 1);
    if (!WaitFor(Number(args, 2, 30000), [&] { return (DWORD)Send(list, LVM_GETITEMCOUNT, 0, 0) >= wanted; }))
      throw Failure{"fewer rows than " + std::to_string(wanted)};
  } else if (c == "windows") {
    EnumWindows(ListWindow, 0);
  } else if (c == "click-row") {
    CmdClickRow((int)Number(args, 1, 0), args.size() > 2 ? args[2] : "");
  } else if (c == "right-click-tree") {
    CmdRightClickTree(arg(1));
  } else if (c == "click-header") {
    CmdClickHeader((int)Number(args, 1, 0));
  } else if (c == "selected") {
    CmdSelected();
  } else if (c == "focus-control") {
    CmdFocusControl((int)Number(args, 1, 0));
  } else if (c == "focus") {
    CmdFocus();
  } else if (c == "key") {
    CmdKey(Number(args, 1, 0));
  } else if (c == "wait-dialog") {
    HWND dialog = WaitWindow(arg(1), L"#32770", Number(args, 2, 10000));
    Write(JsonArray({Json(WindowText(dialog))}));
  } else if (c == "windows-titled") {
    CmdWindowsTitled(arg(1));
  } else if (c == "set-item") {
    CmdSetItem(arg(1), (int)Number(args, 2, 0), args.size() > 3 ? Wide(args[3]) : L"");
  } else if (c == "press") {
    CmdPress(arg(1), (int)Number(args, 2, IDOK), Number(args, 3, 10000));
  } else if (c == "browser") {
    CmdBrowser(Number(args, 1, 10000));
  } else if (c == "browser-select") {
    CmdBrowserSelect(arg(1), Number(args, 2, 10000));
  } else if (c == "browser-press") {
    CmdBrowserPress((int)Number(args, 1, IDOK), Number(args, 2, 10000));
  } else if (c == "file-dialog") {
    CmdFileDialog(Number(args, 1, 10000));
  } else if (c == "file-dialog-type") {
    CmdFileDialogType((int)Number(args, 1, 0));
  } else if (c == "file-dialog-select") {
    CmdFileDialogSelect(arg(1));
  } else if (c == "file-dialog-name") {
    CmdFileDialogName(arg(1));
  } else if (c == "file-dialog-press") {
    CmdFileDialogPress((int)Number(args, 1, IDOK));
  } else if (c == "popup") {
    CmdPopup(Number(args, 1, 10000));
  } else if (c == "popup-keys") {
    CmdPopupKeys(std::vector<std::string>(args.begin() + 1, args.end()), 10000);
  } else if (c == "responsive") {
    // Asked by a second driver when the first stopped answering: does the
    // program's window thread still handle sent messages?
    DWORD_PTR ignored = 0;
    Write(SendMessageTimeoutW(Main(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored) ? "yes" : "no");
  } else if (c == "settle") {
    Settle(Number(args, 1, MessageTimeout));
  } else if (c == "repaint") {
    for (HWND window : ProgramWindows(arg(1), L"")) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
  } else if (c == "attrs") {
    CmdAttrs(arg(1));
  } else if (c == "rect") {
    CmdRect();
  } else if (c == "close") {
    CmdClose(Number(args, 1, 10000));
  } else if (c == "syscommand") {
    if (!PostMessageW(Main(), WM_SYSCOMMAND, Number(args, 1, 0), 0)) throw Failure{"PostMessage failed"};
  } else if (c == "cursor") {
    // The real cursor: the program sees the moves as the user's.
    if (!SetCursorPos((int)Number(args, 1, 0), (int)Number(args, 2, 0))) throw Failure{"SetCursorPos failed"};
  } else if (c == "click-toolbar") {
    CmdClickToolbar(Number(args, 1, 0));
  } else if (c == "dialog-items") {
    CmdDialogItems(arg(1));
  } else if (c == "wait-gone") {
    CmdWaitGone(arg(1), Number(args, 2, 10000));
  } else if (c == "round-trips") {
    const DWORD count = Number(args, 1, 100);
    RoundTrips(MessageTimeout, [&](size_t made) { return made < count; });
  } else if (c == "round-trips-until") {
    CmdRoundTripsUntil(arg(1), std::strtoull(args.size() > 2 ? args[2].c_str() : "0", nullptr, 0),
                       Number(args, 3, 600000));
  } else if (c == "toolbar-state") {
    // [enabled] of the toolbar button of a command.
    Write(JsonArray({Send(Control(ToolbarId), TB_ISBUTTONENABLED, Number(args, 1, 0), 0) ? "true" : "false"}));
  } else if (c == "click-item") {
    CmdClickItem(arg(1), (int)Number(args, 2, 0));
  } else if (c == "hook-beeps") {
    DWORD result = 0;
    RunProbe("HookBeeps", Main(), &result);
    if (result != 0) throw Failure{"HookBeeps failed: " + std::to_string(result)};
  } else if (c == "reserve") {
    // The program's block, placed while the rig knows the program is idle.
    Remote block(Main(), 1);
  } else if (c == "links") {
    CmdLinks(arg(1));
  } else if (c == "sleep") {
    Sleep(Number(args, 1, 0));
  } else {
    throw Failure{"unknown command " + c};
  }
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> parts(1);
  for (char ch : line) {
    if (ch == '\t') {
      parts.emplace_back();
    } else if (ch != '\r') {
      parts.back() += ch;
    }
  }
  return parts;
}

bool ReadLine(std::string* line) {
  line->clear();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char ch;
    DWORD got = 0;
    if (!ReadFile(input, &ch, 1, &got, nullptr) || got == 0) return !line->empty();
    if (ch == '\n') return true;
    *line += ch;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
    try {
      Run(args);
      return 0;
    } catch (const Failure& failure) {
      Write("! " + failure.why);
      return 1;
    }
  }
  std::string line;
  while (ReadLine(&line)) {
    if (line.empty()) continue;
    try {
      Run(Split(line));
    } catch (const Failure& failure) {
      Write("! " + failure.why);
    }
    Write(".");
  }
  return 0;
}
