#include "ui/UndeleteDlg.h"

#include <windowsx.h>

#include <cstdio>
#include <new>

#include "platform/Text.h"
#include "recover/Recovery.h"
#include "ui/AboutDlg.h"
#include "ui/FindDlg.h"
#include "ui/FolderBrowser.h"

#include "platform/Volumes.h"
#include "ui/WebPage.h"
#include "ui/resource.h"

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

// Rows reach the window at most this often, and at the end.
constexpr DWORD RowBatchMs = 100;

const wchar_t* const NotNtfsText =
    L"Check up the type of file system.\n"
    L"Pelmora support logical disks with the file system NTFS.\n"
    L"The program does not support logical disks with the file system FAT.\n"
    L"We plan to realize support FAT file system in the next 1.3 versions of the program. ";

const UINT ToolbarCommands[] = {IDM_SCAN, IDM_RECOVER, IDM_FIND, IDM_ABOUT};

// The destination of the last Recover command, offered by the next one.
std::wstring RecoverFolder;

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
  WindowRowSink(HWND window, CScanControl& control) : window(window), control(control), last(GetTickCount()) {}
  void RowAdded(const RowTable& table, std::size_t) override {
    if (GetTickCount() - last >= RowBatchMs) HandOver(table);
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
  CScanControl& control;
  DWORD last;  // tick of the last hand-over
  std::size_t handed = 0;
  DWORD failure = ERROR_SUCCESS;
};

}  // namespace

CUndeleteDlg::CUndeleteDlg(HWND owner)
    : CNewDialog(IDD_PELMORA_DIALOG, owner),
      appIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      previewDialog(nullptr) {}

CUndeleteDlg::~CUndeleteDlg() {
  scanControl.StopAndJoin();
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
    toolBarImages = ImageList_Create(32, 32, ILC_COLOR24 | ILC_MASK, 4, 0);
    HBITMAP strip = LoadBitmapW(instance, MAKEINTRESOURCEW(IDR_TOOLBAR));
    ImageList_AddMasked(toolBarImages, strip, RGB(255, 0, 255));
    DeleteObject(strip);
    SendMessageW(toolBar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolBarImages));
    TBBUTTON buttons[4] = {};
    for (int i = 0; i < 4; ++i) {
      buttons[i].iBitmap = i;
      buttons[i].idCommand = static_cast<int>(ToolbarCommands[i]);
      buttons[i].fsState = TBSTATE_ENABLED;
      buttons[i].fsStyle = BTNS_BUTTON;
    }
    SendMessageW(toolBar, TB_ADDBUTTONSW, 4, reinterpret_cast<LPARAM>(buttons));
  }

  flags = FlagsBeforeScan();

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
  // Wide enough for the longest state in the list's own font, with the
  // margins the list keeps around a cell's text.
  const int stateWidth = ListView_GetStringWidth(fileList.Handle(), L"Partly overwritten (99%)");
  fileList.InsertColumn(ColumnState, L"State", LVCFMT_LEFT, (stateWidth > 0 ? stateWidth : 140) + 16);
  ListView_SetExtendedListViewStyle(fileList.Handle(), LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP);

  rootItem = driveTree.InsertItem(L"My computer", TVI_ROOT, 0);
  const DWORD result = ScanLogicalDrives();
  if (result != ERROR_SUCCESS) ShowErrorBox(hwnd, result, L"Error in ScanLogicalDrives");

  menuBar = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAINMENU));
  LoadMenuPictures(instance, IDR_TOOLBAR, ToolbarCommands, 4);
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
  const DWORD result = WalkAllDisks(open, volumes, [&](const FoundPartition& found) {
    AddPartitionItem(std::wstring(found.text.begin(), found.text.end()), found.item);
    if (first) TreeView_SelectItem(driveTree.Handle(), lastPartitionItem);
    first = false;
  });
  if (result != ERROR_SUCCESS) return result;
  TreeView_SortChildren(driveTree.Handle(), rootItem, FALSE);
  TreeView_Expand(driveTree.Handle(), rootItem, TVE_EXPAND);
  return ERROR_SUCCESS;
}

void CUndeleteDlg::AddPartitionItem(const std::wstring& text, const PartitionItem& item) {
  partitionItems.push_back(std::make_unique<PartitionItem>(item));
  lastPartitionItem = driveTree.InsertItem(text.c_str(), rootItem, reinterpret_cast<LPARAM>(partitionItems.back().get()));
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
  rows.FormatCell(RowAt(item.iItem), static_cast<Column>(item.iSubItem), reinterpret_cast<char16_t*>(item.pszText),
                  static_cast<std::size_t>(item.cchTextMax));
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
  SortRows(rows, static_cast<Column>(column), sortAscending, &order);
  std::vector<int> position(rows.Rows(), -1);
  for (std::size_t at = 0; at < order.size(); ++at) position[order[at]] = static_cast<int>(at);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  for (std::uint32_t row : selected) ListView_SetItemState(list, position[row], LVIS_SELECTED, LVIS_SELECTED);
  if (focused != UINT32_MAX) ListView_SetItemState(list, position[focused], LVIS_FOCUSED, LVIS_FOCUSED);
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
  const bool match = NameMatches(rows.Cell(RowAt(row), ColumnName), &text);
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
  int row = ListView_GetNextItem(fileList.Handle(), -1, LVNI_SELECTED);
  if (row < 0) return;
  if (RecoverFolder.empty()) {
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    RecoverFolder = here;
  }
  wchar_t chosen[MAX_PATH] = {};
  BrowseForFolder(hwnd, RecoverFolder.c_str(), chosen);
  RecoverFolder = chosen;
  if (RecoverFolder.empty()) return;
  if (IsScannedDrive(Utf16FromWide(RecoverFolder), Utf16FromWide(scannedDriveText)) &&
      MessageBoxW(hwnd, L"Do you want to restore to the same drive? This reduce the chance of a successful recovery.",
                  L"Click Cancel to abort or continie at your risk",
                  MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDCANCEL) {
    return;
  }
  const HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  DWORD result = ERROR_SUCCESS;
  RecoveredFile file;
  try {
    // One batch for the whole selection: a file that was there before is
    // replaced, as the user chose this folder, but two selected files with
    // one name both arrive (the second as "name (record N).ext").
    RecoveryBatch batch(NativeFromUtf16(Utf16FromWide(RecoverFolder)), true);
    for (; row >= 0 && result == ERROR_SUCCESS; row = ListView_GetNextItem(fileList.Handle(), row, LVNI_SELECTED)) {
      // The table has the absolute record and the whole folder path (a cell
      // holds 254 characters, and records 16 to 29 have a negative "#").
      const std::uint32_t tableRow = RowAt(row);
      file = RecoveredFile{};
      result = batch.Recover(drive, rows.At(tableRow).record, rows.Path(tableRow), &file);
    }
  } catch (const std::bad_alloc&) {
    result = ERROR_NOT_ENOUGH_MEMORY;
  }
  SetCursor(previous);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, file.step == RecoveryStep::CreatingFile ? L"Error in CreateFile" : L"GetLastError");
  }
}

void CUndeleteDlg::OnImagePreview() {
  if (previewData) {
    previewDialog.Destroy();
    previewData.reset();
    previewSize = 0;
  }
  const int row = ListView_GetNextItem(fileList.Handle(), -1, LVNI_SELECTED);
  if (row < 0) return;
  const std::uint32_t record = rows.At(RowAt(row)).record;
  DWORD result = drive.ReadRecordData(record, &previewData, &previewSize);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  MFTFileInfo info;
  result = drive.ReadRecordSummary(record, false, &info);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  if (!previewData || previewSize == 0) return;
  previewDialog.Destroy();
  previewDialog.imageData = previewData.get();
  previewDialog.imageSize = previewSize;
  previewDialog.fileName.assign(info.name, info.name + std::char_traits<char16_t>::length(info.name));
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
    case WM_DESTROY:
      scanControl.StopAndJoin();
      previewDialog.Destroy();
      previewData.reset();  // the preview's bytes go with the window
      drive.AttachDisk(nullptr);
      diskHandle.reset();
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

void CUndeleteDlg::OnOK() {
  scanControl.StopAndJoin();
  CNewDialog::OnOK();
}

void CUndeleteDlg::OnCancel() {
  scanControl.StopAndJoin();
  CNewDialog::OnCancel();
}

void CUndeleteDlg::SetScanPhase(ScanPhase phase) {
  scanPhase = phase;
  const ScanButton button = ScanButtonFor(phase);
  EnableWindow(scanButton, button.enabled ? TRUE : FALSE);
  // The caption last: "Scan" tells a watcher that the flags and totals are set.
  SetWindowTextW(scanButton, reinterpret_cast<const wchar_t*>(button.caption));
}

void CUndeleteDlg::ToggleScan() {
  switch (ScanClickAction(scanPhase)) {
    case ScanClick::Start: {
      for (int pane = 0; pane < 3; ++pane) statusBar.SetText(pane, L"");
      const HTREEITEM selected = driveTree.Selection();
      scanDriveText = selected != nullptr ? driveTree.Text(selected) : L"";
      scanItem = selected != nullptr ? reinterpret_cast<const PartitionItem*>(driveTree.Data(selected)) : nullptr;
      scannedDriveText = scanDriveText;
      flags = FlagsAtScanStart();
      const DWORD result = scanControl.Start(ScanThread, this);
      if (result != ERROR_SUCCESS) {
        flags = FlagsAtScanEnd(flags);
        ShowErrorBox(hwnd, result, L"GetLastError");
        return;
      }
      SetScanPhase(ScanPhase::Running);
      return;
    }
    case ScanClick::Stop:
      scanControl.RequestStop();
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
  if (scanDriveText == L"My computer") {
    MessageBoxW(hwnd, L"Select logical drive and press Scan button", L"Select logical drive", MB_OK);
    return {};
  }
  if (scanItem == nullptr) return {};
  SendMessageW(hwnd, WM_SCAN_BEGIN_ROWS, 0, 0);

  // Detaching waits for any read of the old disk (a recovery) to finish.
  drive.AttachDisk(nullptr);
  diskHandle.reset();
  DWORD result = DiskDevice::OpenNumber(scanItem->diskNumber, &diskHandle);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"Error in CreateFile (scan)");
    return {};
  }
  drive.AttachDisk(diskHandle.get());
  drive.SetPartitionStart(scanItem->startSector, scanItem->sectorSize);
  result = drive.Initialize();
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_INVALID_DRIVE) {
      MessageBoxW(hwnd, NotNtfsText, L"Check up the type of file system", MB_ICONERROR);
    } else {
      ShowErrorBox(hwnd, result, L"Error in Initialize");
    }
    drive.AttachDisk(nullptr);
    diskHandle.reset();
    return {};
  }

  // The worker's own table: the window copies from it while the worker waits.
  RowTable table;
  WindowRowSink sink(hwnd, scanControl);
  ScanTotals totals;
  result = ScanRecords(drive, Utf16FromWide(scanDriveText), scanControl.StopFlag(), sink, &totals, &table);
  if (sink.Failure() != ERROR_SUCCESS) result = sink.Failure();
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    drive.AttachDisk(nullptr);
    diskHandle.reset();
  }
  return totals;
}

void CUndeleteDlg::BeginRows() {
  const HWND list = fileList.Handle();
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemCountEx(list, 0, 0);
  rows.Clear();
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
  statusBar.SetText(1, text);
  flags = FlagsAtScanEnd(flags);
  SetScanPhase(ScanPhase::Idle);
}
