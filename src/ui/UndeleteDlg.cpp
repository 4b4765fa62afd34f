#include "ui/UndeleteDlg.h"

#include <windowsx.h>
#include <cderr.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "carve/CarvedOutput.h"
#include "ntfs/NtfsLayout.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "ui/AboutDlg.h"
#include "ui/FindDlg.h"
#include "ui/FolderBrowser.h"
#include "ui/RecoverSummaryDlg.h"
#include "ui/WebPage.h"
#include "ui/resource.h"
#include "view/RowCells.h"

namespace {

// The scan worker's messages to the window, all sent (the worker waits):
// the list empties for a new scan (before any row),
constexpr UINT WM_SCAN_BEGIN_ROWS = WM_APP + 1;
// new rows (lParam: the worker's const RowTable*; the window copies the rows
// it does not have yet; returns 0, or 8 when it cannot hold them),
constexpr UINT WM_SCAN_ROWS = WM_APP + 2;
// every row's final state (lParam: the same table; returns 0 or 8),
constexpr UINT WM_SCAN_STATES = WM_APP + 3;
// and, last, the totals (lParam: const ScanTotals*).
constexpr UINT WM_SCAN_ENDED = WM_APP + 4;

// The recovery worker's one message, posted last: the window joins it and
// reads the results. Its progress the window reads from the job's counters
// on a timer, which never crowds out the user's input.
constexpr UINT WM_RECOVER_ENDED = WM_APP + 5;
// The preview reader's one message, posted last (wParam: the generation of
// the request it answers).
constexpr UINT WM_PREVIEW_READY = WM_APP + 6;
// The image opener's one message, posted last.
constexpr UINT WM_IMAGE_OPENED = WM_APP + 7;
// The deep scan's one message, posted last: the window joins it and reads
// what it found. Its progress the window reads on a timer.
constexpr UINT WM_DEEP_ENDED = WM_APP + 8;
// The carving's carved files, sent in batches (lParam: the worker's const
// CarvedTable*, which the window appends whole; returns 0, or 8 when it
// cannot hold them), then its one posted message, last.
constexpr UINT WM_CARVED_ROWS = WM_APP + 9;
constexpr UINT WM_CARVE_ENDED = WM_APP + 10;

constexpr UINT_PTR ProgressTimer = 1;
constexpr UINT_PTR DeepTimer = 2;
constexpr UINT_PTR CarveTimer = 3;
constexpr UINT ProgressMs = 100;

// Rows reach the window at once for the first, then at most this often, and
// at the end.
constexpr DWORD RowBatchMs = 100;

const wchar_t* const NotNtfsText =
    L"Check up the type of file system.\n"
    L"Pelmora support logical disks with the file system NTFS.\n"
    L"The program does not support logical disks with the file system FAT.\n"
    L"We plan to realize support FAT file system in the next 1.3 versions of the program. ";

// In the toolbar bitmap's order.
const UINT ToolbarCommands[] = {IDM_OPEN_IMAGE, IDM_SCAN, IDM_DEEP_SCAN, IDM_CARVE, IDM_RECOVER, IDM_FIND, IDM_ABOUT};
constexpr int ToolbarButtons = sizeof ToolbarCommands / sizeof ToolbarCommands[0];

// The destination of the last Recover command, offered by the next one.
std::wstring RecoverFolder;
// The folder of the last image opened, where the next open starts.
std::wstring ImageFolder;

// The program's name as message boxes without a caption of their own show
// it: the executable's file name without its extension.
std::wstring ProgramName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  return name.substr(0, name.rfind(L'.'));
}

// Hands the worker's new rows to the window in batches.
class WindowRowSink : public RowSink {
 public:
  WindowRowSink(HWND window, CWorkerThread& control) : window(window), control(control), last(GetTickCount()) {}
  // The first row at once, then batches.
  void RowAdded(const RowTable& table, std::size_t) override {
    if (handed == 0 || GetTickCount() - last >= RowBatchMs) HandOver(table);
  }
  void StatesReady(const RowTable& table) override {
    HandOver(table);
    if (failure == ERROR_SUCCESS) Fail(static_cast<DWORD>(SendMessageW(window, WM_SCAN_STATES, 0, reinterpret_cast<LPARAM>(&table))));
  }
  // 0, or 8 when the window could not hold the rows.
  DWORD Failure() const { return failure; }

 private:
  void HandOver(const RowTable& table) {
    if (failure == ERROR_SUCCESS && table.Rows() > handed) {
      Fail(static_cast<DWORD>(SendMessageW(window, WM_SCAN_ROWS, 0, reinterpret_cast<LPARAM>(&table))));
      handed = table.Rows();
    }
    last = GetTickCount();
  }
  void Fail(DWORD result) {
    if (result == ERROR_SUCCESS) return;
    failure = result;
    control.RequestStop();  // the rows after these could not be shown either
  }

  HWND window;
  CWorkerThread& control;
  DWORD last;  // tick of the last hand-over
  std::size_t handed = 0;
  DWORD failure = ERROR_SUCCESS;
};

// Passes the current file's progress to the job's counter; its answer is
// the worker's stop request.
class JobObserver : public RecoveryObserver {
 public:
  JobObserver(std::atomic<std::uint64_t>& done, const std::atomic<bool>& stop) : done(done), stop(stop) {}
  // A file starts after `before` bytes of the files before it.
  void StartFile(std::uint64_t before) { done = base = before; }
  bool Progress(std::uint64_t written, std::uint64_t) override {
    done = base + written;
    return !stop;
  }

 private:
  std::atomic<std::uint64_t>& done;
  const std::atomic<bool>& stop;
  std::uint64_t base = 0;
};

// Keeps a file's first bytes, decides from them, then keeps what the picture
// takes. It ends the read (ERROR_CANCELLED) once it has that, at once when
// the file is no picture, and when the worker is asked to stop.
class PreviewSink : public ContentSink {
 public:
  PreviewSink(const std::u16string& name, std::uint64_t fileSize, const std::atomic<bool>& stop)
      : name(name), fileSize(fileSize), stop(stop),
        headWanted(fileSize < PreviewHeadBytes ? static_cast<std::size_t>(fileSize) : PreviewHeadBytes) {}

  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    if (stop) {
      stopped = true;
      return ERROR_CANCELLED;
    }
    if (decided && !data) return ERROR_CANCELLED;  // no picture: nothing more is wanted
    if (!decided) {
      const std::size_t take = count < headWanted - headSize ? count : headWanted - headSize;
      std::memcpy(head + headSize, bytes, take);
      headSize += take;
      if (headSize < headWanted) return ERROR_SUCCESS;
      if (!Decide()) return ERROR_CANCELLED;
      bytes += take;
      count -= static_cast<std::uint32_t>(take);
    }
    const std::uint64_t room = decision.bytes - filled;
    const std::size_t take = count < room ? count : static_cast<std::size_t>(room);
    std::memcpy(data.get() + filled, bytes, take);
    filled += take;
    return filled == decision.bytes ? ERROR_CANCELLED : ERROR_SUCCESS;
  }

  // Decides on the bytes so far; true when the read is to go on. A picture
  // gets its buffer, starting with the head.
  bool Decide() {
    decided = true;
    decision = DecidePreview(name, head, headSize, fileSize);
    if (decision.verdict != PreviewVerdict::Show) return false;
    data = AllocateZeroed(static_cast<std::size_t>(decision.bytes));
    if (!data) {
      failure = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    filled = headSize < decision.bytes ? headSize : static_cast<std::size_t>(decision.bytes);
    std::memcpy(data.get(), head, filled);
    return filled < decision.bytes;
  }

  const std::u16string& name;
  const std::uint64_t fileSize;
  const std::atomic<bool>& stop;
  const std::size_t headWanted;
  std::uint8_t head[PreviewHeadBytes] = {};
  std::size_t headSize = 0;
  bool decided = false;
  bool stopped = false;
  DWORD failure = ERROR_SUCCESS;
  PreviewDecision decision{PreviewVerdict::NotImage, 0, 0};
  ByteBuffer data;
  std::size_t filled = 0;
};

// A row as the progress and the summary name it: its folder path and name.
std::u16string ShownName(const RowTable& rows, std::uint32_t row) {
  std::u16string shown = rows.Path(row);
  if (!shown.empty() && shown.back() != u'\\') shown += u'\\';
  shown += rows.Name(row);
  return shown;
}

}  // namespace

CUndeleteDlg::CUndeleteDlg(HWND owner)
    : CNewDialog(IDD_PELMORA_DIALOG, owner),
      appIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      previewDialog(nullptr) {}

CUndeleteDlg::~CUndeleteDlg() {
  StopWorkers();
  if (toolBarImages != nullptr) ImageList_Destroy(toolBarImages);
}

BOOL CUndeleteDlg::OnInitDialog() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  fileList.Attach(Item(IDC_FILE_LIST));
  driveTree.Attach(Item(IDC_DRIVE_TREE));
  scanButton = Item(IDC_SCAN_BUTTON);

  toolBar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                            WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_LIST | CCS_TOP | CCS_NODIVIDER, 0, 0, 0,
                            0, hwnd, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_TOOLBAR)), instance, nullptr);
  if (toolBar != nullptr) {
    SendMessageW(toolBar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    toolBarImages = ImageList_Create(32, 32, ILC_COLOR24 | ILC_MASK, ToolbarButtons, 0);
    HBITMAP strip = LoadBitmapW(instance, MAKEINTRESOURCEW(IDR_TOOLBAR));
    ImageList_AddMasked(toolBarImages, strip, RGB(255, 0, 255));
    DeleteObject(strip);
    SendMessageW(toolBar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolBarImages));
    TBBUTTON buttons[ToolbarButtons] = {};
    for (int i = 0; i < ToolbarButtons; ++i) {
      buttons[i].iBitmap = i;
      buttons[i].idCommand = static_cast<int>(ToolbarCommands[i]);
      buttons[i].fsState = TBSTATE_ENABLED;
      buttons[i].fsStyle = BTNS_BUTTON;
    }
    SendMessageW(toolBar, TB_ADDBUTTONSW, ToolbarButtons, reinterpret_cast<LPARAM>(buttons));
  }

  flags = FlagsBeforeScan();
  ShowJobState();

  HMENU systemMenu = GetSystemMenu(hwnd, FALSE);
  wchar_t about[64] = {};
  if (systemMenu != nullptr && LoadStringW(instance, IDS_ABOUTBOX, about, 64) > 0) {
    AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
  }
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon));
  diskHandle.reset();

  fileList.InsertColumn(0, L"Name", LVCFMT_LEFT, 200);
  fileList.InsertColumn(1, L"Path", LVCFMT_LEFT, 270);
  fileList.InsertColumn(2, L"Size", LVCFMT_RIGHT, 80);
  fileList.InsertColumn(3, L"Created", LVCFMT_LEFT, 105);
  fileList.InsertColumn(4, L"Modified", LVCFMT_LEFT, 105);
  fileList.InsertColumn(5, L"#", LVCFMT_CENTER, 0);
  fileList.InsertColumn(ColumnState, L"State", LVCFMT_LEFT, StateColumnWidth(false));
  ListView_SetExtendedListViewStyle(fileList.Handle(), LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP);

  rootItem = driveTree.InsertItem(L"My computer", TVI_ROOT, 0);
  const DWORD result = ScanLogicalDrives();
  if (result != ERROR_SUCCESS) ShowErrorBox(hwnd, result, L"Error in ScanLogicalDrives");

  menuBar = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAINMENU));
  LoadMenuPictures(instance, IDR_TOOLBAR, ToolbarCommands, ToolbarButtons);
  AttachPictures(menuBar);
  SetMenu(hwnd, menuBar);

  statusBar.Create(hwnd, IDC_STATUSBAR);
  if (toolBar != nullptr) SendMessageW(toolBar, TB_AUTOSIZE, 0, 0);
  RECT client{};
  GetClientRect(hwnd, &client);
  LayoutControls(client.right, client.bottom);
  return TRUE;
}

DWORD CUndeleteDlg::ScanLogicalDrives() {
  SystemVolumes volumes;
  bool first = true;
  auto open = [](unsigned number, std::unique_ptr<DiskReader>* disk) {
    std::unique_ptr<DiskDevice> device;
    const DWORD result = DiskDevice::OpenNumber(number, &device);
    if (result == ERROR_SUCCESS) *disk = std::move(device);
    return result;
  };
  // A disk whose table fails keeps what was found on it, and the disks
  // after it are listed too: the failing disk is often the one wanted.
  const DWORD result = WalkPhysicalDisks(open, volumes, [&](const FoundDrive& found) {
    const HTREEITEM item = AddDriveItem(found.text, found.item, rootItem);
    if (first) TreeView_SelectItem(driveTree.Handle(), item);
    first = false;
  });
  TreeView_SortChildren(driveTree.Handle(), rootItem, FALSE);
  TreeView_Expand(driveTree.Handle(), rootItem, TVE_EXPAND);
  return result;
}

HTREEITEM CUndeleteDlg::AddDriveItem(const std::u16string& text, const DriveItem& item, HTREEITEM parent) {
  driveItems.push_back(std::make_unique<DriveItem>(item));
  return driveTree.InsertItem(WideFromUtf16(text).c_str(), parent, reinterpret_cast<LPARAM>(driveItems.back().get()));
}

void CUndeleteDlg::OnOpenImage() {
  // One image is opened at a time; scans and recoveries go on meanwhile.
  if (openWorker.Started()) return;
  wchar_t title[64] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_OPEN_IMAGE, title, 64);
  const std::u16string filter = ImageFileFilter();
  wchar_t path[MAX_PATH] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd;
  dialog.lpstrFilter = reinterpret_cast<const wchar_t*>(filter.c_str());
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrInitialDir = ImageFolder.empty() ? nullptr : ImageFolder.c_str();
  dialog.lpstrTitle = title;
  // The current directory stays where it was: Recover's browser starts there.
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                 OFN_DONTADDTORECENT;
  if (!GetOpenFileNameW(&dialog)) {
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
      ShowErrorBox(hwnd, ERROR_FILENAME_EXCED_RANGE, L"GetOpenFileName");
    }
    return;
  }
  ImageFolder.assign(path, dialog.nFileOffset);
  // An image already open is not opened twice: its item is chosen.
  for (const OpenImage& image : images) {
    if (CompareStringOrdinal(image.path.c_str(), -1, path, -1, TRUE) == CSTR_EQUAL) {
      TreeView_SelectItem(driveTree.Handle(), image.item);
      return;
    }
  }
  opening = OpenJob{};
  opening.path = path;
  opening.number = static_cast<std::uint32_t>(images.size() + 1);
  const DWORD result = openWorker.Start(OpenThread, this);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  ShowJobState();
}

DWORD WINAPI CUndeleteDlg::OpenThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunOpen();
  PostMessageW(window->hwnd, WM_IMAGE_OPENED, 0, 0);
  return 0;
}

void CUndeleteDlg::RunOpen() {
  OpenJob& job = opening;
  try {
    std::unique_ptr<DiskImage> image;
    job.result = OpenDiskImage(Utf8FromWide(job.path), &image, &job.problem);
    if (job.result != ERROR_SUCCESS) return;
    job.disk = std::make_unique<SharedImage>(std::move(image));
    DiskSource source;
    source.image = job.disk.get();
    job.walkResult = WalkImage(*job.disk, source, job.number,
                               [&](const FoundDrive& found) { job.partitions.push_back(found); });
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
    job.partitions.clear();
    job.disk.reset();
  }
}

void CUndeleteDlg::EndOpen() {
  if (!openWorker.Started()) return;  // the window is closing: it joined the worker
  openWorker.StopAndJoin();
  OpenJob job = std::move(opening);
  opening = OpenJob{};
  ShowJobState();
  if (job.result != ERROR_SUCCESS) {
    const std::u16string text =
        ImageFailureText(Utf16FromWide(job.path), job.problem, Utf16FromWide(ErrorMessageWide(job.result)));
    MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(text.c_str()), L"Error in OpenDiskImage", MB_ICONERROR);
    return;
  }
  DriveItem disk;
  disk.source.image = job.disk.get();
  const HTREEITEM parent = AddDriveItem(ImageItemText(job.number, Utf16FromWide(job.path)), disk, TVI_ROOT);
  HTREEITEM first = nullptr;
  for (const FoundDrive& found : job.partitions) {
    const HTREEITEM item = AddDriveItem(found.text, found.item, parent);
    if (first == nullptr) first = item;
  }
  images.push_back({job.path, std::move(job.disk), parent});
  TreeView_Expand(driveTree.Handle(), parent, TVE_EXPAND);
  // Selecting scrolls it into view, but never sideways: the tree is narrow.
  TreeView_SelectItem(driveTree.Handle(), first != nullptr ? first : parent);
  if (job.walkResult != ERROR_SUCCESS) ShowReadFailure(job.walkResult, disk.source, L"Error in the partition table");
}

void CUndeleteDlg::ShowReadFailure(DWORD code, const DiskSource& source, const wchar_t* caption) {
  const std::string problem = source.image != nullptr ? source.image->ProblemFor(code) : std::string();
  if (problem.empty()) {
    ShowErrorBox(hwnd, code, caption);
    return;
  }
  const std::u16string text = ImageFailureText(u"", problem, Utf16FromWide(ErrorMessageWide(code)));
  MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(text.c_str()), caption, MB_ICONERROR);
}

void CUndeleteDlg::LayoutControls(int width, int height) {
  auto place = [](HWND control, const ControlRect& where) {
    if (control == nullptr) return;
    MoveWindow(control, where.x, where.y, where.width, where.height, TRUE);
    RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  };
  const MainLayout layout = LayoutFor(width, height);
  if (statusBar.Handle() != nullptr) {
    place(statusBar.Handle(), layout.statusBar);
    statusBar.SetPanes(width, 200, 100);
  }
  place(driveTree.Handle(), layout.driveTree);
  place(fileList.Handle(), layout.fileList);
  place(scanButton, layout.scanButton);
}

bool CUndeleteDlg::CommandRule(UINT command, bool* enabled) const {
  if (command == IDM_OPEN_IMAGE) {
    *enabled = !openWorker.Started();
    return true;
  }
  if (command == IDM_DEEP_SCAN) {
    *enabled = DeepScanEnabled(scanPhase, recovery != nullptr, SelectedItem() != nullptr);
    return true;
  }
  if (command == IDM_CARVE) {
    *enabled = CarveEnabled(scanPhase, recovery != nullptr, volumeScanned);
    return true;
  }
  return ::CommandRule(command, flags, enabled);
}

bool CUndeleteDlg::HandlesCommand(UINT command) const { return MainWindowHandles(command); }

bool CUndeleteDlg::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDC_SCAN_BUTTON:
      if (notifyCode == BN_CLICKED) ToggleScan();
      return true;
    case IDM_SCAN:
    case IDM_STOP_SCAN: ToggleScan(); return true;
    case IDM_EXIT: OnCancel(); return true;
    case IDM_OPEN_IMAGE: OnOpenImage(); return true;
    case IDM_DEEP_SCAN: OnDeepScan(); return true;
    case IDM_CARVE: OnCarve(); return true;
    case IDM_FIND: Find(); return true;
    case IDM_FIND_NEXT:
    case IDM_FIND_NEXT_VIEW: FindNext(); return true;
    case IDM_RECOVER: OnRecover(); return true;
    case IDM_IMAGE_PREVIEW: OnImagePreview(); return true;
    case IDM_ABOUT: ShowAbout(); return true;
    case IDM_VISIT_SITE: VisitWebSite(); return true;
    default: return CDialogBase::OnCommand(id, notifyCode, control);
  }
}

bool CUndeleteDlg::OnNotify(NMHDR* header, LRESULT* result) {
  if (header->idFrom == IDC_DRIVE_TREE && header->code == NM_RCLICK) {
    ShowTreeMenu();
    *result = TRUE;  // the tree's own handling would send WM_CONTEXTMENU too
    return true;
  }
  if (header->idFrom != IDC_FILE_LIST) return false;
  *result = 0;
  switch (header->code) {
    case LVN_COLUMNCLICK: SortByColumn(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem); return true;
    case NM_CLICK: ShowSelectionCount(); return true;
    case NM_RCLICK: ShowListMenu(); return true;
    case LVN_KEYDOWN:
      // F3 only here, while the list has the focus: there is no shortcut table.
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_F3) FindNext();
      return true;
    case LVN_ITEMACTIVATE: OnItemActivate(); return true;
    case LVN_GETDISPINFOW: ShowCell(reinterpret_cast<NMLVDISPINFOW*>(header)); return true;
    default: return false;
  }
}

void CUndeleteDlg::ShowCell(NMLVDISPINFOW* info) const {
  LVITEMW& item = info->item;
  if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) return;
  if (item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= order.size() || item.iSubItem < 0 ||
      item.iSubItem >= ColumnCount) {
    item.pszText[0] = L'\0';
    return;
  }
  // Straight into the list's buffer: nothing is allocated per cell drawn.
  auto* text = reinterpret_cast<char16_t*>(item.pszText);
  auto capacity = static_cast<std::size_t>(item.cchTextMax);
  const std::uint32_t row = RowAt(item.iItem);
  if (row >= CarvedRow) {
    const std::u16string cell = carved.Cell(row - CarvedRow, static_cast<Column>(item.iSubItem));
    const std::size_t length = cell.size() < capacity ? cell.size() : capacity - 1;
    std::memcpy(text, cell.data(), length * sizeof(char16_t));
    text[length] = u'\0';
    return;
  }
  if (item.iSubItem == ColumnState) {
    // A found volume lists files that were in use when it was lost.
    for (const char16_t* prefix = StateCellPrefix(rows.At(row).inUse); *prefix != u'\0' && capacity > 1; ++prefix) {
      *text++ = *prefix;
      --capacity;
    }
  }
  FormatCell(rows, row, static_cast<Column>(item.iSubItem), text, capacity);
}

void CUndeleteDlg::SortByColumn(int column) {
  sortColumn = column;
  sortAscending = !sortAscending;
  if (column < 0 || column >= ColumnCount) return;
  const HWND list = fileList.Handle();
  // The list keeps its selection by position: the selected rows move with the sort.
  std::vector<std::uint32_t> selected;
  for (int at = -1; (at = ListView_GetNextItem(list, at, LVNI_SELECTED)) >= 0;) selected.push_back(RowAt(at));
  const int focusedAt = ListView_GetNextItem(list, -1, LVNI_FOCUSED);
  const std::uint32_t focused = focusedAt >= 0 ? RowAt(focusedAt) : UINT32_MAX;
  SortRows(rows, static_cast<Column>(column), sortAscending, &order, &carved);
  // Record rows, then carved ones.
  std::vector<int> position(rows.Rows() + carved.Count(), -1);
  auto slot = [&](std::uint32_t row) { return row < CarvedRow ? row : rows.Rows() + (row - CarvedRow); };
  for (std::size_t at = 0; at < order.size(); ++at) position[slot(order[at])] = static_cast<int>(at);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  for (std::uint32_t row : selected) ListView_SetItemState(list, position[slot(row)], LVIS_SELECTED, LVIS_SELECTED);
  if (focused != UINT32_MAX) ListView_SetItemState(list, position[slot(focused)], LVIS_FOCUSED, LVIS_FOCUSED);
  InvalidateRect(list, nullptr, FALSE);
}

void CUndeleteDlg::ShowSelectionCount() {
  const std::u16string text = SelectionCountText(static_cast<int>(ListView_GetSelectedCount(fileList.Handle())));
  statusBar.SetText(0, std::wstring(text.begin(), text.end()).c_str());
}

void CUndeleteDlg::ShowListMenu() {
  const DWORD where = GetMessagePos();
  HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_LISTMENU));
  if (menu == nullptr) return;
  AttachPictures(menu);
  if (fileList.Count() > 0) flags = FlagsWithRows(flags);
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(GetSubMenu(menu, 0),
                                                       TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                                       GET_X_LPARAM(where), GET_Y_LPARAM(where), 0, hwnd, nullptr));
  DestroyMenu(menu);
  if (chosen == IDM_FIND) Find();
  if (chosen == IDM_FIND_NEXT) FindNext();
  if (chosen == IDM_RECOVER) OnRecover();
}

bool CUndeleteDlg::RowMatches(int row) {
  std::u16string text = Utf16FromWide(findText);
  const std::uint32_t tableRow = RowAt(row);
  const bool match = NameMatches(tableRow >= CarvedRow ? carved.Cell(tableRow - CarvedRow, ColumnName)
                                                       : CellText(rows, tableRow, ColumnName),
                                 &text);
  findText = WideFromUtf16(text);  // kept lowered
  return match;
}

void CUndeleteDlg::ShowFoundRow(int row) {
  ListView_EnsureVisible(fileList.Handle(), row, FALSE);
  ListView_SetItemState(fileList.Handle(), row, LVIS_SELECTED, LVIS_SELECTED | LVIS_FOCUSED | LVIS_CUT | LVIS_DROPHILITED);
}

void CUndeleteDlg::Find() {
  const int count = static_cast<int>(order.size());
  CFindDlg dialog(hwnd);
  dialog.text = findText;
  if (dialog.DoModal() != IDOK) return;
  findText = dialog.text;
  if (findText.empty()) return;
  for (int row = 0; row < count; ++row) {
    if (RowMatches(row)) {
      ShowFoundRow(row);
      findPosition = row;
      return;
    }
  }
}

void CUndeleteDlg::FindNext() {
  const auto count = static_cast<std::uint32_t>(order.size());
  if (findText.empty()) return;
  auto row = static_cast<std::uint32_t>(++findPosition);
  for (; row < count; ++row) {
    if (RowMatches(static_cast<int>(row))) {
      ShowFoundRow(static_cast<int>(row));
      findPosition = static_cast<int>(row);
      return;
    }
  }
  MessageBoxW(hwnd, L"Reached the end of list", ProgramName().c_str(), MB_OK);
  findPosition = 0;
}

void CUndeleteDlg::OnRecover() {
  const HWND list = fileList.Handle();
  if (!CanStartRecovery(scanPhase, recovery != nullptr, flags, static_cast<int>(ListView_GetSelectedCount(list)))) {
    return;
  }
  if (RecoverFolder.empty()) {
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    RecoverFolder = here;
  }
  wchar_t chosen[MAX_PATH] = {};
  BrowseForFolder(hwnd, RecoverFolder.c_str(), chosen);
  RecoverFolder = chosen;
  if (RecoverFolder.empty()) return;
  // Compared as volumes, not as texts: a folder on the scanned partition
  // by any name is on it, and a text that starts the same need not be.
  if (IsOnScannedPartition(NativeFromUtf16(Utf16FromWide(RecoverFolder)), scannedPartition) &&
      MessageBoxW(hwnd, L"Do you want to restore to the same drive? This reduce the chance of a successful recovery.",
                  L"Click Cancel to abort or continie at your risk",
                  MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDCANCEL) {
    return;
  }
  // The rows as they are now, in the list's order: the table has the
  // absolute record and the whole folder path (a cell holds 254 characters,
  // and records 16 to 29 have a negative "#").
  auto job = std::make_unique<RecoveryJob>();
  job->destination = RecoverFolder;
  for (int row = -1; (row = ListView_GetNextItem(list, row, LVNI_SELECTED)) >= 0;) {
    const std::uint32_t tableRow = RowAt(row);
    if (tableRow >= CarvedRow) {
      // Written as the CLI's carve writes it: Carved\JPEG\f123.jpg below the destination.
      const std::uint32_t file = tableRow - CarvedRow;
      const std::u16string path = carved.Cell(file, ColumnPath);
      job->items.push_back({RecordIdentity{}, path, path + carved.Cell(file, ColumnName), carved.Bytes(file), file});
      job->totalBytes += carved.Bytes(file);
      continue;
    }
    const RowTable::Row& entry = rows.At(tableRow);
    job->items.push_back(
        {rows.Identity(tableRow), rows.Path(tableRow), ShownName(rows, tableRow), entry.size, UINT32_MAX});
    job->totalBytes += entry.size;
  }
  job->failures.reserve(job->items.size());
  job->started = GetTickCount64();
  recovery = std::move(job);
  flags = FlagsAtRecoveryStart(flags);
  ShowJobState();
  progressDialog.Open(hwnd, &recoveryWorker);
  ShowRecoveryProgress();
  SetTimer(hwnd, ProgressTimer, ProgressMs, nullptr);
  // Below the window's thread: a long copy takes the processor the window
  // does not want, never the other way round.
  const DWORD result = recoveryWorker.Start(RecoveryThread, this, THREAD_PRIORITY_BELOW_NORMAL);
  if (result != ERROR_SUCCESS) {
    KillTimer(hwnd, ProgressTimer);
    progressDialog.Destroy();
    recovery.reset();
    flags = FlagsAtRecoveryEnd(flags);
    ShowJobState();
    ShowErrorBox(hwnd, result, L"GetLastError");
  }
}

DWORD WINAPI CUndeleteDlg::RecoveryThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunRecovery();
  PostMessageW(window->hwnd, WM_RECOVER_ENDED, 0, 0);
  return 0;
}

void CUndeleteDlg::RunRecovery() {
  RecoveryJob& job = *recovery;
  const std::atomic<bool>& stop = recoveryWorker.StopFlag();
  JobObserver observer(job.doneBytes, stop);
  try {
    // One batch for the whole selection: two selected files with one name
    // both arrive, and a file that was in the folder before is kept, the
    // recovered one beside it as "name (record N).ext".
    RecoveryBatch batch(NativeFromUtf16(Utf16FromWide(job.destination)), ExistingFiles::Rename);
    // Carved files as the CLI writes them; one already there is kept and named in the summary.
    carve::CarvedWriter carvedWriter(NativeFromUtf16(Utf16FromWide(job.destination)), false);
    std::uint64_t before = 0;
    for (std::uint32_t item = 0; item < job.items.size(); ++item) {
      if (stop) {
        job.cancelled = true;
        return;
      }
      job.current = item;
      observer.StartFile(before);
      RecoveredFile file;
      DWORD result = ERROR_SUCCESS;
      if (job.items[item].carved != UINT32_MAX) {
        // No carving runs while a recovery does: the table holds still.
        carve::CarvedFile carvedFile;
        if (!carved.File(job.items[item].carved, &carvedFile)) throw std::bad_alloc();
        NativePath written;
        result = carvedDisk ? carvedWriter.Write(carvedDisk->span, carvedFile, &written) : ERROR_INVALID_HANDLE;
        file.path = Utf16FromNative(written);
        file.step = result == ERROR_FILE_EXISTS ? RecoveryStep::CreatingFile : RecoveryStep::Copying;
      } else {
        result = batch.Recover(drive, job.items[item].identity, job.items[item].path, &file, &observer);
      }
      if (result == ERROR_CANCELLED) {
        job.cancelled = true;
        return;
      }
      // One failure does not stop the others; the summary names it.
      if (result == ERROR_SUCCESS) {
        ++job.recovered;
      } else {
        RecoveryFailureFacts facts;
        facts.code = result;
        facts.creatingFile = file.step == RecoveryStep::CreatingFile;
        facts.output = file.path;
        facts.missingBytes = file.missingBytes;
        facts.unreadableBytes = file.unreadableBytes;
        facts.published = file.published;
        job.failures.push_back({item, std::move(facts)});
      }
      before += job.items[item].size;
    }
    job.doneBytes = before;
  } catch (const std::bad_alloc&) {
    job.stoppedBy = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowRecoveryProgress() {
  if (!recovery) return;
  RecoveryJob& job = *recovery;
  const std::uint32_t files = static_cast<std::uint32_t>(job.items.size());
  std::uint32_t current = job.current;
  if (current >= files) current = files == 0 ? 0 : files - 1;
  std::uint64_t done = job.doneBytes;
  if (done > job.totalBytes) done = job.totalBytes;  // a file may have grown since the scan
  progressDialog.Show(ProgressFileText(current, files, files == 0 ? u"" : job.items[current].shown),
                      ProgressBytesText(done, job.totalBytes),
                      TimeLeftText(done, job.totalBytes, GetTickCount64() - job.started),
                      ProgressPosition(done, job.totalBytes));
}

void CUndeleteDlg::EndRecovery() {
  if (!recovery) return;  // the window is closing and dropped it
  recoveryWorker.StopAndJoin();  // its last act was the message that got here
  KillTimer(hwnd, ProgressTimer);
  progressDialog.Destroy();
  const std::unique_ptr<RecoveryJob> job = std::move(recovery);
  flags = FlagsAtRecoveryEnd(flags);
  ShowJobState();
  if (job->stoppedBy != ERROR_SUCCESS) ShowErrorBox(hwnd, job->stoppedBy, L"GetLastError");
  if (job->failures.empty() && !job->cancelled) return;
  std::wstring failures;
  for (const RecoveryFailure& failure : job->failures) {
    const std::u16string reason =
        RecoveryFailureText(failure.facts, Utf16FromWide(ErrorMessageWide(failure.facts.code)));
    failures += WideFromUtf16(job->items[failure.item].shown) + L": " + WideFromUtf16(reason) + L"\r\n";
  }
  const std::u16string summary =
      RecoverySummaryText(job->recovered, static_cast<std::uint32_t>(job->items.size()),
                          static_cast<std::uint32_t>(job->failures.size()), job->cancelled,
                          Utf16FromWide(job->destination));
  CRecoverSummaryDlg dialog(hwnd, WideFromUtf16(summary), failures);
  dialog.DoModal();
}

void CUndeleteDlg::OnImagePreview() {
  const int row = ListView_GetNextItem(fileList.Handle(), -1, LVNI_SELECTED);
  if (row < 0) return;
  // The new preview replaces the last one at once; its bytes go with it.
  previewDialog.Destroy();
  previewData.reset();
  previewSize = 0;
  const std::uint32_t tableRow = RowAt(row);
  wantedCarved = tableRow >= CarvedRow ? tableRow - CarvedRow : UINT32_MAX;
  if (tableRow < CarvedRow) wantedRecord = rows.Identity(tableRow);
  previewWanted = true;
  // A read still running is asked to stop; its end starts this one.
  if (previewWorker.Started()) {
    previewWorker.RequestStop();
    return;
  }
  StartPreview();
}

void CUndeleteDlg::StartPreview() {
  previewWanted = false;
  preview = PreviewJob{};
  preview.identity = wantedRecord;
  // A copy: the carving may append to the table while the preview reads.
  if (wantedCarved != UINT32_MAX && wantedCarved < carved.Count()) {
    preview.isCarved = true;
    if (!carved.File(wantedCarved, &preview.carvedFile)) {
      ShowErrorBox(hwnd, ERROR_NOT_ENOUGH_MEMORY, L"GetLastError");
      return;
    }
  }
  ++previewGeneration;
  const DWORD result = previewWorker.Start(PreviewThread, this);
  if (result != ERROR_SUCCESS) ShowErrorBox(hwnd, result, L"GetLastError");
}

DWORD WINAPI CUndeleteDlg::PreviewThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  const WPARAM generation = window->previewGeneration;
  window->ReadPreview();
  PostMessageW(window->hwnd, WM_PREVIEW_READY, generation, 0);
  return 0;
}

void CUndeleteDlg::ReadPreview() {
  PreviewJob& job = preview;
  try {
    std::u16string name;
    std::uint64_t fileSize = 0;
    MFTFileInfo info;
    if (job.isCarved) {
      name = carve::CarvedName(job.carvedFile);
      fileSize = job.carvedFile.carving.length;
      if (!carvedDisk) job.result = ERROR_INVALID_HANDLE;
    } else {
      job.result = drive.ReadRecordSummary(job.identity, &info);
      name = info.name;
      fileSize = info.dataSize;
    }
    if (job.result != ERROR_SUCCESS) return;
    PreviewSink sink(name, fileSize, previewWorker.StopFlag());
    DWORD result = ERROR_SUCCESS;
    if (sink.headWanted == 0) {
      sink.Decide();  // nothing to read
    } else {
      if (job.isCarved) {
        result = carve::ReadCarved(carvedDisk->span, job.carvedFile,
                                   [&sink](const std::uint8_t* bytes, std::uint32_t count) { return sink.Write(bytes, count); });
      } else {
        std::uint64_t size = 0;
        result = drive.ReadRecordContent(job.identity, &sink, &size);
      }
      // Shorter than its size said: decided on what there was.
      if (!sink.decided && (result == ERROR_SUCCESS || result == ERROR_CANCELLED)) sink.Decide();
    }
    // The sink's own end (enough read, or no picture) is no failure.
    if (result == ERROR_CANCELLED && !sink.stopped) result = ERROR_SUCCESS;
    if (sink.failure != ERROR_SUCCESS) result = sink.failure;
    job.result = result;
    job.decision = sink.decision;
    job.data = std::move(sink.data);
    job.size = static_cast<std::uint32_t>(sink.filled);
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowPreview(WPARAM generation) {
  // A read that a new scan ended and joined already answers too late.
  if (generation != previewGeneration || !previewWorker.Started()) return;
  previewWorker.StopAndJoin();
  if (previewWanted) {
    StartPreview();
    return;
  }
  if (preview.result != ERROR_SUCCESS) {
    const std::u16string refusal = RefusalText(preview.result);
    if (!refusal.empty()) {
      MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(refusal.c_str()), ProgramName().c_str(), MB_ICONERROR);
    } else if (preview.result != ERROR_CANCELLED) {
      ShowErrorBox(hwnd, preview.result, L"GetLastError");
    }
    return;
  }
  switch (preview.decision.verdict) {
    case PreviewVerdict::Show: break;
    case PreviewVerdict::TooLarge: {
      const std::u16string text = PreviewTooLargeText(preview.decision.bytes);
      MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(text.c_str()), ProgramName().c_str(), MB_ICONINFORMATION);
      return;
    }
    default: return;  // no picture: nothing shows, as for a picture that does not decode
  }
  previewData = std::move(preview.data);
  previewSize = preview.size;
  previewDialog.imageData = previewData.get();
  previewDialog.imageSize = previewSize;
  previewDialog.imageType = preview.decision.imageType;
  previewDialog.SetOwner(hwnd);
  previewDialog.Create();
}

void CUndeleteDlg::ShowAbout() {
  CAboutDlg about(hwnd);
  about.DoModal();
}

// Opens the maker's web site; a failure shows nothing.
void CUndeleteDlg::VisitWebSite() { OpenMakerWebSite(); }

void CUndeleteDlg::OnItemActivate() { OnImagePreview(); }

INT_PTR CUndeleteDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = true;
  switch (message) {
    case WM_SIZE:
      LayoutControls(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_PAINT:
      if (!IsIconic(hwnd)) break;
      PaintMinimised();
      return 0;
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(appIcon);
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) break;
      ShowAbout();
      return TRUE;
    case WM_SCAN_BEGIN_ROWS:
      BeginRows();
      return 0;
    // A dialog answers a sent message through DWLP_MSGRESULT, set after the
    // work (which may handle notifications that set it too).
    case WM_SCAN_ROWS:
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TakeRows(*reinterpret_cast<const RowTable*>(lParam)));
      return TRUE;
    case WM_SCAN_STATES:
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TakeStates(*reinterpret_cast<const RowTable*>(lParam)));
      return TRUE;
    case WM_SCAN_ENDED:
      EndScan(*reinterpret_cast<const ScanTotals*>(lParam));
      return 0;
    case WM_CARVED_ROWS:
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TakeCarved(*reinterpret_cast<const CarvedTable*>(lParam)));
      return TRUE;
    case WM_CARVE_ENDED:
      EndCarve();
      return 0;
    case WM_TIMER:
      if (wParam == CarveTimer) {
        ShowCarveProgress();
        return 0;
      }
      if (wParam == DeepTimer) {
        ShowDeepProgress();
        return 0;
      }
      if (wParam != ProgressTimer) break;
      ShowRecoveryProgress();
      return 0;
    case WM_RECOVER_ENDED:
      EndRecovery();
      return 0;
    case WM_PREVIEW_READY:
      ShowPreview(wParam);
      return 0;
    case WM_IMAGE_OPENED:
      EndOpen();
      return 0;
    case WM_DEEP_ENDED:
      EndDeepScan();
      return 0;
    case WM_DESTROY:
      StopWorkers();
      KillTimer(hwnd, ProgressTimer);
      progressDialog.Destroy();
      recovery.reset();
      previewDialog.Destroy();
      previewData.reset();  // the preview's bytes go with the window
      drive.AttachDisk(nullptr);
      diskHandle.reset();
      KillTimer(hwnd, DeepTimer);
      deep.reset();
      KillTimer(hwnd, CarveTimer);
      carving.reset();
      carvedDisk.reset();
      deepResults.clear();  // they read the images
      // The images close with the window; nothing reads them any more.
      opening = OpenJob{};
      images.clear();
      break;
    default: break;
  }
  *handled = false;
  return CNewDialog::OnMessage(message, wParam, lParam, handled);
}

void CUndeleteDlg::PaintMinimised() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(hwnd, &client);
  const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, appIcon);
  EndPaint(hwnd, &paint);
}

// Closing stops a recovery too: the file being copied is removed, the
// others stay.
void CUndeleteDlg::OnOK() {
  StopWorkers();
  CNewDialog::OnOK();
}

void CUndeleteDlg::OnCancel() {
  StopWorkers();
  CNewDialog::OnCancel();
}

void CUndeleteDlg::StopWorkers() {
  // All asked first: none waits for another that is not yet told. A
  // recovery's window says so while the wait lasts.
  scanWorker.RequestStop();
  // A deep scan waiting in a slow read holds up the close: the window says why.
  if (deep) {
    KillTimer(hwnd, DeepTimer);
    statusBar.SetText(0, L"Stopping the deep scan...");
  }
  if (carving) {
    KillTimer(hwnd, CarveTimer);
    statusBar.SetText(0, L"Stopping the carving...");
  }
  progressDialog.Cancel();
  recoveryWorker.RequestStop();
  previewWorker.RequestStop();
  openWorker.RequestStop();
  previewWanted = false;
  scanWorker.StopAndJoin();
  recoveryWorker.StopAndJoin();
  previewWorker.StopAndJoin();
  openWorker.StopAndJoin();
}

void CUndeleteDlg::SetScanPhase(ScanPhase phase) {
  scanPhase = phase;
  ShowJobState();
}

void CUndeleteDlg::ShowJobState() {
  const bool recovering = recovery != nullptr;
  if (toolBar != nullptr) {
    for (const UINT command : {IDM_SCAN, IDM_RECOVER}) {
      const BOOL enabled = ToolbarEnabled(command, flags, scanPhase, recovering) ? TRUE : FALSE;
      SendMessageW(toolBar, TB_ENABLEBUTTON, command, MAKELPARAM(enabled, 0));
    }
    const BOOL open = openWorker.Started() ? FALSE : TRUE;
    SendMessageW(toolBar, TB_ENABLEBUTTON, IDM_OPEN_IMAGE, MAKELPARAM(open, 0));
    // Not told of a new selection in the tree: a click on it with nothing
    // selected does nothing.
    const BOOL deepScan = DeepScanEnabled(scanPhase, recovering, true) ? TRUE : FALSE;
    SendMessageW(toolBar, TB_ENABLEBUTTON, IDM_DEEP_SCAN, MAKELPARAM(deepScan, 0));
    const BOOL carve = CarveEnabled(scanPhase, recovering, volumeScanned) ? TRUE : FALSE;
    SendMessageW(toolBar, TB_ENABLEBUTTON, IDM_CARVE, MAKELPARAM(carve, 0));
  }
  const ScanButton button = ScanButtonFor(scanPhase, recovering);
  EnableWindow(scanButton, button.enabled ? TRUE : FALSE);
  // The caption last: "Scan" tells a watcher that the flags and totals are set.
  SetWindowTextW(scanButton, reinterpret_cast<const wchar_t*>(button.caption));
}

void CUndeleteDlg::ToggleScan() {
  switch (ScanClickAction(scanPhase, recovery != nullptr)) {
    case ScanClick::Start: {
      for (int pane = 0; pane < 3; ++pane) statusBar.SetText(pane, L"");
      const HTREEITEM selected = driveTree.Selection();
      scanDriveText = selected != nullptr ? driveTree.Text(selected) : L"";
      scanItem = selected != nullptr ? reinterpret_cast<const DriveItem*>(driveTree.Data(selected)) : nullptr;
      // A found volume's rows start as pelmora-cli's --found K names them.
      if (scanItem != nullptr && scanItem->found != nullptr) {
        scanDriveText = WideFromUtf16(FoundVolumeDriveText(scanItem->foundIndex + 1));
      }
      ListView_SetColumnWidth(fileList.Handle(), ColumnState,
                              StateColumnWidth(scanItem != nullptr && scanItem->found != nullptr));
      flags = FlagsAtScanStart();
      volumeScanned = false;
      const DWORD result = scanWorker.Start(ScanThread, this);
      if (result != ERROR_SUCCESS) {
        flags = FlagsAtScanEnd(flags);
        ShowErrorBox(hwnd, result, L"GetLastError");
        return;
      }
      SetScanPhase(ScanPhase::Running);
      return;
    }
    case ScanClick::Stop:
      scanWorker.RequestStop();
      flags = FlagsAtStop(flags);
      SetScanPhase(ScanPhase::Stopping);
      return;
    case ScanClick::Nothing: return;
  }
}

DWORD WINAPI CUndeleteDlg::ScanThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  ScanTotals totals;
  try {
    totals = window->RunScan();
  } catch (const std::bad_alloc&) {
    // Nothing may leave the thread: memory ran short outside the scan itself.
    ShowErrorBox(window->hwnd, ERROR_NOT_ENOUGH_MEMORY, L"GetLastError");
  }
  SendMessageW(window->hwnd, WM_SCAN_ENDED, 0, reinterpret_cast<LPARAM>(&totals));
  return 0;
}

ScanTotals CUndeleteDlg::RunScan() {
  // The tree's root and an image's own item are disks: a partition is scanned.
  if (scanItem == nullptr || !scanItem->isPartition) {
    MessageBoxW(hwnd, L"Select logical drive and press Scan button", L"Select logical drive", MB_OK);
    return {};
  }
  SendMessageW(hwnd, WM_SCAN_BEGIN_ROWS, 0, 0);

  // Detaching waits for any read of the old disk to finish.
  drive.AttachDisk(nullptr);
  scannedPartition = ScannedPartition{};
  diskHandle.reset();
  const DiskSource& source = scanItem->source;
  DiskReader* disk = source.image;
  if (disk == nullptr) {
    const DWORD opened = DiskDevice::OpenNumber(source.diskNumber, &diskHandle);
    if (opened != ERROR_SUCCESS) {
      ShowErrorBox(hwnd, opened, L"Error in CreateFile (scan)");
      return {};
    }
    disk = diskHandle.get();
  }
  if (scanItem->found == nullptr) {
    drive.AttachDisk(disk);
    drive.SetKind(VolumeKind::Current);
    drive.SetClusterUse(nullptr);
    drive.SetPartitionStart(scanItem->startSector, scanItem->sectorSize);
    drive.SetPartitionLength(scanItem->sectorCount);
  }
  // Where the rows come from, for the same-drive question. An image's
  // partition is on no disk of this computer (NoDiskNumber): writing
  // anywhere, beside the image too, leaves its bytes as they are.
  scannedPartition = ScannedPartition{};
  scannedPartition.diskNumber = source.image != nullptr ? ScannedPartition::NoDiskNumber : source.diskNumber;
  const std::uint64_t limit = UINT64_MAX / scanItem->sectorSize;
  scannedPartition.start = scanItem->startSector <= limit ? scanItem->startSector * scanItem->sectorSize : UINT64_MAX;
  scannedPartition.length = scanItem->sectorCount <= limit ? scanItem->sectorCount * scanItem->sectorSize : 0;
  std::uint8_t serial[4] = {};
  std::uint32_t got = 0;
  if (scannedPartition.start <= UINT64_MAX - ntfs::BootSerialLow &&
      disk->ReadAt(scannedPartition.start + ntfs::BootSerialLow, serial, sizeof serial, &got) == ERROR_SUCCESS &&
      got == sizeof serial) {
    scannedPartition.serial = serial[0] | serial[1] << 8 | serial[2] << 16 | std::uint32_t{serial[3]} << 24;
  }
  // A found volume is read through what its deep scan found, on the disk
  // that scan read (a physical disk's own handle).
  DWORD result = scanItem->found != nullptr ? scanItem->found->Open(scanItem->foundIndex, &drive) : drive.Initialize();
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_INVALID_DRIVE) {
      MessageBoxW(hwnd, NotNtfsText, L"Check up the type of file system", MB_ICONERROR);
    } else {
      ShowReadFailure(result, source, L"Error in Initialize");
    }
    drive.AttachDisk(nullptr);
    diskHandle.reset();
    return {};
  }

  volumeScanned = true;
  // The worker's own table: the window copies from it while the worker waits.
  RowTable table;
  WindowRowSink sink(hwnd, scanWorker);
  ScanTotals totals;
  result = ScanRecords(drive, Utf16FromWide(scanDriveText), scanWorker.StopFlag(), sink, &totals, &table);
  if (sink.Failure() != ERROR_SUCCESS) result = sink.Failure();
  // The disk stays: the rows listed before a failure (a read error, say)
  // can still be previewed and recovered.
  if (result != ERROR_SUCCESS) ShowReadFailure(result, source, L"GetLastError");
  return totals;
}

void CUndeleteDlg::BeginRows() {
  // A preview still being read belongs to the old rows: it ends before the
  // disk changes under it.
  previewWanted = false;
  previewWorker.StopAndJoin();
  const HWND list = fileList.Handle();
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemCountEx(list, 0, 0);
  rows.Clear();
  carved.Clear();
  carvedDisk.reset();  // its readers, the preview and a recovery, are not running
  order.clear();
}

DWORD CUndeleteDlg::TakeRows(const RowTable& source) {
  const std::size_t first = rows.Rows();
  try {
    order.reserve(source.Rows());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!rows.AppendFrom(source, first)) return ERROR_NOT_ENOUGH_MEMORY;
  // Appended in the scan's order, after any sorted ones.
  for (std::size_t row = first; row < rows.Rows(); ++row) order.push_back(static_cast<std::uint32_t>(row));
  ListView_SetItemCountEx(fileList.Handle(), static_cast<int>(order.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (!order.empty()) flags = FlagsWithRows(flags);
  return ERROR_SUCCESS;
}

DWORD CUndeleteDlg::TakeStates(const RowTable& source) {
  const bool copied = rows.CopyStates(source);
  InvalidateRect(fileList.Handle(), nullptr, FALSE);
  return copied ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

void CUndeleteDlg::EndScan(const ScanTotals& totals) {
  wchar_t text[64];
  swprintf(text, 64, L"Total files: %u", totals.examined);
  statusBar.SetText(2, text);
  swprintf(text, 64, L"Deleted files: %u", totals.rows);
  if (drive.Kind() == VolumeKind::Found) {
    // A found volume lists its files in use too.
    std::uint32_t inUse = 0;
    for (std::size_t row = 0; row < rows.Rows(); ++row) inUse += rows.At(row).inUse ? 1 : 0;
    swprintf(text, 64, L"Files: %u (%u deleted, %u in use)", totals.rows, totals.rows - inUse, inUse);
  }
  statusBar.SetText(1, text);
  // The rows are complete for what could be read: a warning, not a failure.
  if (totals.unreadable != 0) statusBar.SetText(0, WideFromUtf16(UnreadableRecordsText(totals.unreadable)).c_str());
  flags = FlagsAtScanEnd(flags);
  SetScanPhase(ScanPhase::Idle);
}

int CUndeleteDlg::StateColumnWidth(bool inUseRows) const {
  // Wide enough for the longest state in the list's own font, with the
  // margins the list keeps around a cell's text.
  std::u16string widest = u"Partly overwritten (99%)";
  if (inUseRows) widest = StateCellPrefix(true) + widest;
  const int width = ListView_GetStringWidth(fileList.Handle(), reinterpret_cast<const wchar_t*>(widest.c_str()));
  return (width > 0 ? width : 180) + 16;
}

const DriveItem* CUndeleteDlg::SelectedItem() const {
  const HTREEITEM selected = driveTree.Selection();
  return selected != nullptr ? reinterpret_cast<const DriveItem*>(driveTree.Data(selected)) : nullptr;
}

void CUndeleteDlg::ShowTreeMenu() {
  const DWORD where = GetMessagePos();
  // The item under the pointer is the one the menu's commands are for.
  TVHITTESTINFO hit{};
  hit.pt = {GET_X_LPARAM(where), GET_Y_LPARAM(where)};
  ScreenToClient(driveTree.Handle(), &hit.pt);
  const HTREEITEM item = TreeView_HitTest(driveTree.Handle(), &hit);
  if (item != nullptr) TreeView_SelectItem(driveTree.Handle(), item);
  HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TREEMENU));
  if (menu == nullptr) return;
  AttachPictures(menu);
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(GetSubMenu(menu, 0),
                                                       TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                                       GET_X_LPARAM(where), GET_Y_LPARAM(where), 0, hwnd, nullptr));
  DestroyMenu(menu);
  if (chosen == IDM_SCAN) ToggleScan();
  if (chosen == IDM_DEEP_SCAN) OnDeepScan();
  if (chosen == IDM_CARVE) OnCarve();
  if (chosen == IDM_OPEN_IMAGE) OnOpenImage();
}

void CUndeleteDlg::OnDeepScan() {
  const HTREEITEM selected = driveTree.Selection();
  const DriveItem* item = SelectedItem();
  // A posted command reaches the window whatever the menu shows.
  if (item == nullptr || !DeepScanEnabled(scanPhase, recovery != nullptr, true)) return;
  auto job = std::make_unique<DeepJob>();
  job->item = *item;
  job->item.found = nullptr;
  const DiskSource& source = item->source;
  // The found volumes go under their disk: an image's own item; a physical
  // disk has none, so under the partition searched.
  job->parent = item->found != nullptr ? TreeView_GetParent(driveTree.Handle(), selected) : selected;
  for (const OpenImage& image : images) {
    if (source.image != nullptr && image.disk.get() == source.image) job->parent = image.item;
  }
  // A partition is searched alone (a quick-formatted one holds its lost
  // volume); a disk, or a volume found on it, the whole disk.
  job->sectorSize = item->sectorSize != 0 ? item->sectorSize : mbr::SectorSize;
  if (item->isPartition && item->found == nullptr) {
    const std::uint64_t limit = UINT64_MAX / job->sectorSize;
    job->range.offset = item->startSector <= limit ? item->startSector * job->sectorSize : 0;
    job->range.bytes = item->sectorCount <= limit ? item->sectorCount * job->sectorSize : 0;
  }
  // The volumes the partition table gives are known: their own records are
  // counted apart, and their bitmaps tell which clusters are in use now.
  for (const std::unique_ptr<DriveItem>& other : driveItems) {
    if (!other->isPartition || other->found != nullptr || other->source.image != source.image ||
        other->source.diskNumber != source.diskNumber || other->sectorSize == 0) {
      continue;
    }
    if (!item->isPartition) job->sectorSize = other->sectorSize;
    const std::uint64_t limit = UINT64_MAX / other->sectorSize;
    if (other->startSector > limit || other->sectorCount > limit) continue;
    job->known.push_back({other->startSector * other->sectorSize, other->sectorCount * other->sectorSize});
  }
  job->started = GetTickCount64();
  deep = std::move(job);
  flagsBeforeDeep = flags;
  flags = FlagsAtScanStart();
  flags.canFind = flags.canFindNext = false;
  const DWORD result = scanWorker.Start(DeepScanThread, this);
  if (result != ERROR_SUCCESS) {
    deep.reset();
    flags = flagsBeforeDeep;
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  statusBar.SetText(0, L"");
  SetTimer(hwnd, DeepTimer, ProgressMs, nullptr);
  SetScanPhase(ScanPhase::Running);
}

DWORD WINAPI CUndeleteDlg::DeepScanThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunDeepScan();
  PostMessageW(window->hwnd, WM_DEEP_ENDED, 0, 0);
  return 0;
}

namespace {

// Passes the pass's progress to the job's counters.
class DeepCounters : public DeepScanSink {
 public:
  DeepCounters(std::atomic<std::uint64_t>& done, std::atomic<std::uint64_t>& total) : done(done), total(total) {}
  void Progress(const DeepScanProgress& progress) override {
    total = progress.bytesTotal;
    done = progress.bytesDone;
  }

 private:
  std::atomic<std::uint64_t>& done;
  std::atomic<std::uint64_t>& total;
};

}  // namespace

void CUndeleteDlg::RunDeepScan() {
  DeepJob& job = *deep;
  try {
    auto found = std::make_unique<DeepResult>();
    DiskReader* disk = job.item.source.image;
    std::uint64_t diskBytes = 0;
    bool sized = false;
    if (disk != nullptr) {
      sized = job.item.source.image->Size(&diskBytes) == ERROR_SUCCESS;
    } else {
      job.result = DiskDevice::OpenNumber(job.item.source.diskNumber, &found->device);
      if (job.result != ERROR_SUCCESS) return;
      disk = found->device.get();
      sized = found->device->Size(&diskBytes) == ERROR_SUCCESS;
    }
    if (job.range.bytes == 0) {
      job.range.bytes = !sized ? UINT64_MAX : diskBytes > job.range.offset ? diskBytes - job.range.offset : 0;
    }
    job.totalBytes = job.range.bytes == UINT64_MAX ? 0 : job.range.bytes;
    DeepCounters counters(job.doneBytes, job.totalBytes);
    job.result = DeepScan(*disk, job.range, job.known, scanWorker.StopFlag(), counters, &found->volumes);
    job.found = std::move(found);
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
    job.found.reset();
  }
}

void CUndeleteDlg::ShowDeepProgress() {
  if (!deep) return;
  const std::u16string text =
      DeepProgressText(deep->doneBytes, deep->totalBytes, GetTickCount64() - deep->started);
  statusBar.SetText(0, WideFromUtf16(text).c_str());
}

void CUndeleteDlg::EndDeepScan() {
  if (!deep) return;  // the window is closing and dropped it
  scanWorker.StopAndJoin();
  KillTimer(hwnd, DeepTimer);
  const std::unique_ptr<DeepJob> job = std::move(deep);
  flags = flagsBeforeDeep;
  // What was found before a stop stays: the volumes of the part read.
  const bool stopped = job->result == ERROR_CANCELLED;
  if (job->found && (job->result == ERROR_SUCCESS || stopped)) {
    CFoundVolumes& volumes = job->found->volumes;
    const std::uint32_t sectorSize = job->sectorSize == 0 ? mbr::SectorSize : job->sectorSize;
    HTREEITEM first = nullptr;
    for (std::size_t k = 0; k < volumes.Count(); ++k) {
      const FoundVolume& volume = volumes.At(k);
      DriveItem item;
      item.source = job->item.source;
      item.isPartition = true;
      item.startSector = volume.offset / sectorSize;
      // A boot sector's count leaves out the backup's own sector, which the volume holds.
      item.sectorCount = volume.sizeKnown ? volume.geometry.volumeBytes / sectorSize + 1
                                          : (volume.bytes + sectorSize - 1) / sectorSize;
      item.sectorSize = sectorSize;
      item.found = &volumes;
      item.foundIndex = static_cast<std::uint32_t>(k);
      const std::uint64_t bytes =
          item.sectorCount <= UINT64_MAX / sectorSize ? item.sectorCount * sectorSize : UINT64_MAX;
      const std::u16string text = FoundVolumeText(item.startSector, bytes);
      const HTREEITEM added = AddDriveItem(text, item, job->parent);
      if (first == nullptr) first = added;
    }
    statusBar.SetText(0, WideFromUtf16(DeepEndText(volumes.Count(), stopped)).c_str());
    deepResults.push_back(std::move(job->found));
    if (first != nullptr) {
      TreeView_Expand(driveTree.Handle(), job->parent, TVE_EXPAND);
      TreeView_SelectItem(driveTree.Handle(), first);
    }
  } else {
    statusBar.SetText(0, L"");
  }
  SetScanPhase(ScanPhase::Idle);
  if (job->result != ERROR_SUCCESS && !stopped) ShowReadFailure(job->result, job->item.source, L"Error in Deep scan");
}

void CUndeleteDlg::OnCarve() {
  // A posted command reaches the window whatever the menu shows.
  if (scanItem == nullptr || !CarveEnabled(scanPhase, recovery != nullptr, volumeScanned)) return;
  // A carving again replaces the last one's rows; a preview reading them ends first.
  previewWanted = false;
  previewWorker.StopAndJoin();
  const HWND list = fileList.Handle();
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  order.erase(std::remove_if(order.begin(), order.end(), [](std::uint32_t row) { return row >= CarvedRow; }),
              order.end());
  ListView_SetItemCountEx(list, static_cast<int>(order.size()), LVSICF_NOSCROLL);
  carved.Clear();
  carvedDisk.reset();

  auto disk = std::make_unique<CarvedDisk>();
  const DiskSource& source = scanItem->source;
  if (source.image != nullptr) {
    disk->disk = source.image;
  } else {
    const DWORD opened = DiskDevice::OpenNumber(source.diskNumber, &disk->device);
    if (opened != ERROR_SUCCESS) {
      ShowErrorBox(hwnd, opened, L"Error in CreateFile (carve)");
      return;
    }
    disk->disk = disk->device.get();
  }
  carve::VolumeSpan& span = disk->span;
  span.disk = disk.get();
  span.offset = scannedPartition.start;
  // A found volume's cluster 0 need not fall on a sector of the disk.
  if (scanItem->found != nullptr && scanItem->foundIndex < scanItem->found->Count()) {
    span.offset = scanItem->found->At(scanItem->foundIndex).offset;
  }
  span.clusterSize = drive.ClusterSize();
  span.clusterCount = drive.ClusterCount();
  if (span.clusterCount == 0 && span.clusterSize != 0) span.clusterCount = scannedPartition.length / span.clusterSize;
  carvedDisk = std::move(disk);

  auto job = std::make_unique<CarveJob>();
  job->started = GetTickCount64();
  carving = std::move(job);
  flagsBeforeCarve = flags;
  flags = FlagsAtCarveStart(flags);
  const DWORD result = scanWorker.Start(CarveThread, this);
  if (result != ERROR_SUCCESS) {
    carving.reset();
    flags = flagsBeforeCarve;
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  statusBar.SetText(0, L"");
  SetTimer(hwnd, CarveTimer, ProgressMs, nullptr);
  SetScanPhase(ScanPhase::Running);
}

DWORD WINAPI CUndeleteDlg::CarveThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunCarve();
  PostMessageW(window->hwnd, WM_CARVE_ENDED, 0, 0);
  return 0;
}

namespace {

// Hands carved files to the window in batches, as the scan's rows go, and
// the carving's place to the job's counters; its answers are the worker's
// stop request. What it holds is emptied at each hand-over.
class WindowCarvedSink : public carve::CarveObserver {
 public:
  WindowCarvedSink(HWND window, CWorkerThread& control, std::atomic<std::uint64_t>& done,
                   std::atomic<std::uint64_t>& total, std::uint32_t clusterSize)
      : window(window), control(control), done(done), total(total), clusterSize(clusterSize),
        last(GetTickCount()) {}
  bool Found(const carve::CarvedFile& file) override {
    // A file found as a stop is asked for is kept all the same.
    if (!batch.Add(file)) Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (handed == 0 || GetTickCount() - last >= RowBatchMs) HandOver();
    return failure == ERROR_SUCCESS && !control.StopFlag();
  }
  bool Progress(std::uint64_t cluster, std::uint64_t clusters) override {
    const std::uint64_t limit = UINT64_MAX / clusterSize;
    total = clusters <= limit ? clusters * clusterSize : UINT64_MAX;
    done = cluster <= limit ? cluster * clusterSize : UINT64_MAX;
    return failure == ERROR_SUCCESS && !control.StopFlag();
  }
  void HandOver() {
    if (failure == ERROR_SUCCESS && batch.Count() > 0) {
      Fail(static_cast<DWORD>(SendMessageW(window, WM_CARVED_ROWS, 0, reinterpret_cast<LPARAM>(&batch))));
      handed += batch.Count();
      batch.Clear();
    }
    last = GetTickCount();
  }
  // 0, or 8 when the files could not be held.
  DWORD Failure() const { return failure; }

 private:
  void Fail(DWORD result) {
    if (result == ERROR_SUCCESS || failure != ERROR_SUCCESS) return;
    failure = result;
    control.RequestStop();
  }

  HWND window;
  CWorkerThread& control;
  std::atomic<std::uint64_t>& done;
  std::atomic<std::uint64_t>& total;
  std::uint32_t clusterSize;
  DWORD last;  // tick of the last hand-over
  CarvedTable batch;
  std::size_t handed = 0;
  DWORD failure = ERROR_SUCCESS;
};

}  // namespace

void CUndeleteDlg::RunCarve() {
  CarveJob& job = *carving;
  const carve::VolumeSpan& span = carvedDisk->span;
  if (span.clusterSize == 0) {
    job.result = ERROR_INVALID_PARAMETER;
    return;
  }
  try {
    // The scan's rows hold still: no scan runs while this does.
    std::unique_ptr<carve::BitmapFreeClusters> free;
    job.result = carve::FreeClustersOf(drive, rows, span.clusterCount, &free);
    if (job.result != ERROR_SUCCESS) return;
    WindowCarvedSink sink(hwnd, scanWorker, job.doneBytes, job.totalBytes, span.clusterSize);
    job.result = carve::CarveFreeSpace(span, *free, carve::CarveOptions(), sink, &job.totals);
    sink.HandOver();
    if (sink.Failure() != ERROR_SUCCESS) job.result = sink.Failure();
    job.unknownClusters = free->UnknownClusters();
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowCarveProgress() {
  if (!carving) return;
  const std::u16string text =
      CarveProgressText(carving->doneBytes, carving->totalBytes, GetTickCount64() - carving->started);
  statusBar.SetText(0, WideFromUtf16(text).c_str());
}

DWORD CUndeleteDlg::TakeCarved(const CarvedTable& source) {
  const std::size_t first = carved.Count();
  try {
    order.reserve(order.size() + source.Count());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!carved.AppendFrom(source, 0)) return ERROR_NOT_ENOUGH_MEMORY;
  // After the record rows, in the carving's order.
  for (std::size_t file = first; file < carved.Count(); ++file) order.push_back(CarvedRow + static_cast<std::uint32_t>(file));
  ListView_SetItemCountEx(fileList.Handle(), static_cast<int>(order.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (!order.empty()) flagsBeforeCarve = FlagsWithRows(flagsBeforeCarve);
  return ERROR_SUCCESS;
}

void CUndeleteDlg::EndCarve() {
  if (!carving) return;  // the window is closing and dropped it
  scanWorker.StopAndJoin();
  KillTimer(hwnd, CarveTimer);
  const std::unique_ptr<CarveJob> job = std::move(carving);
  // What was carved before a stop or a failure stays, and can be recovered.
  flags = flagsBeforeCarve;
  if (carved.Count() > 0) flags.canRecover = flags.canPreview = true;
  std::size_t damaged = 0;
  for (std::size_t file = 0; file < carved.Count(); ++file) damaged += carved.Damaged(file) ? 1 : 0;
  std::u16string text = CarveEndText(carved.Count(), damaged, job->totals.stopped || job->result != ERROR_SUCCESS);
  // The carving went on past what it could not read: said, not failed.
  if (job->totals.unreadableClusters != 0) {
    const std::string more = "; " + std::to_string(job->totals.unreadableClusters) + " clusters could not be read";
    text += std::u16string(more.begin(), more.end());
  }
  statusBar.SetText(0, WideFromUtf16(text).c_str());
  SetScanPhase(ScanPhase::Idle);
  if (job->result != ERROR_SUCCESS && scanItem != nullptr) {
    ShowReadFailure(job->result, scanItem->source, L"Error in Carve free space");
  }
}
