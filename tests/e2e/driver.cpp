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

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int TreeId = 1000, ListId = 1001, ButtonId = 1002, StatusId = 59393;
const DWORD MessageTimeout = 10000;  // a window that takes longer is hung

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

// A block of memory in the target process, freed on scope exit.
class Remote {
 public:
  Remote(HWND window, size_t size) : size(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process == nullptr) throw Failure{"OpenProcess failed: " + std::to_string(GetLastError())};
    base = (char*)VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    if (base == nullptr) {
      CloseHandle(process);
      throw Failure{"VirtualAllocEx failed"};
    }
  }
  ~Remote() {
    VirtualFreeEx(process, base, 0, MEM_RELEASE);
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
  size_t size;
};

const size_t TextOffset = 1024, TextChars = 4096;

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

void CmdWaitCaption(const std::wstring& caption, DWORD timeoutMs) {
  HWND button = Control(ButtonId);
  std::wstring last;
  if (!WaitFor(timeoutMs, [&] { return (last = WindowText(button)) == caption; })) {
    throw Failure{"caption is still " + Utf8(last)};
  }
}

void CmdRows() {
  HWND list = Control(ListId);
  const int count = (int)Send(list, LVM_GETITEMCOUNT, 0, 0);
  Remote remote(list, TextOffset + TextChars * 2 + 16);
  for (int row = 0; row < count; ++row) {
    std::vector<std::string> cells;
    for (int column = 0; column < 6; ++column) {
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

// Wine keeps menus local to their process, so menuprobe.dll (beside this
// program) is loaded into the target and its ReadMenus runs there on a remote
// thread. It opens each popup first: states are set only when a popup opens.
void CmdMenu() {
  HWND window = Main();
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path);
  dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"menuprobe.dll";
  HMODULE local = LoadLibraryW(dll.c_str());
  if (local == nullptr) throw Failure{"cannot load " + Utf8(dll)};
  const size_t entryOffset = (char*)GetProcAddress(local, "ReadMenus") - (char*)local;

  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (process == nullptr) throw Failure{"OpenProcess failed"};
  auto runRemote = [&](void* start, void* parameter) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, (LPTHREAD_START_ROUTINE)start, parameter, 0, nullptr);
    if (thread == nullptr) throw Failure{"CreateRemoteThread failed: " + std::to_string(GetLastError())};
    if (WaitForSingleObject(thread, MessageTimeout) != WAIT_OBJECT_0) throw Failure{"remote thread hangs"};
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
  };
  const size_t blockSize = sizeof(HWND) + 32768 * sizeof(wchar_t);
  char* block = (char*)VirtualAllocEx(process, nullptr, blockSize, MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) throw Failure{"VirtualAllocEx failed"};
  WriteProcessMemory(process, block, dll.c_str(), (dll.size() + 1) * sizeof(wchar_t), nullptr);
  // kernel32 is at the same address in every process of a prefix.
  void* loadLibrary = (void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
  const DWORD remoteBase = runRemote(loadLibrary, block);
  if (remoteBase == 0) throw Failure{"LoadLibraryW failed in the target"};
  WriteProcessMemory(process, block, &window, sizeof window, nullptr);
  const DWORD result = runRemote((char*)(size_t)remoteBase + entryOffset, block);
  std::vector<wchar_t> out(32768 + 1, L'\0');
  ReadProcessMemory(process, block + sizeof(HWND), out.data(), 32768 * sizeof(wchar_t), nullptr);
  VirtualFreeEx(process, block, 0, MEM_RELEASE);
  CloseHandle(process);
  if (result != 0) throw Failure{"ReadMenus failed: " + std::to_string(result)};
  std::wstring text(out.data());
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

void CmdCommand(DWORD id) {
  if (!PostMessageW(Main(), WM_COMMAND, MAKEWPARAM(id, 0), 0)) throw Failure{"PostMessage failed"};
}

struct BoxSearch {
  HWND owner;
  HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto* search = (BoxSearch*)parameter;
  if (window != search->owner && GetWindow(window, GW_OWNER) == search->owner && ClassOf(window) == L"#32770" &&
      IsWindowVisible(window)) {
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
    CmdRows();
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
  } else if (c == "rect") {
    CmdRect();
  } else if (c == "close") {
    CmdClose(Number(args, 1, 10000));
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
