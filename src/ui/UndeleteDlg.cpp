#include "ui/UndeleteDlg.h"

#include <windowsx.h>

#include <cstdio>

#include "recover/Recovery.h"
#include "ui/AboutDlg.h"
#include "ui/FindDlg.h"
#include "ui/FolderBrowser.h"

#include "platform/Volumes.h"
#include "ui/WebPage.h"
#include "ui/WindowRules.h"
#include "ui/resource.h"

namespace {

// Sent by the scan worker with a complete row (lParam: const ScanRow*), so
// the list shows a row only once all its cells are set.
constexpr UINT WM_SCAN_ADD_ROW = WM_APP + 1;
// Sent by the worker before its first row (wParam: the records offered).
constexpr UINT WM_SCAN_BEGIN_ROWS = WM_APP + 2;
// Sent by the worker with the selected item's text (lParam: const wchar_t*),
// so that the window's copy is only ever written on its own thread.
constexpr UINT WM_SCAN_DRIVE_TEXT = WM_APP + 3;

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

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

struct SortContext {
  std::vector<std::u16string> texts;  // by the rows' positions before the sort
  bool ascending;
};

int CALLBACK CompareRows(LPARAM first, LPARAM second, LPARAM context) {
  const auto* sort = reinterpret_cast<const SortContext*>(context);
  const std::u16string& a = sort->texts[static_cast<std::size_t>(first)];
  const std::u16string& b = sort->texts[static_cast<std::size_t>(second)];
  return sort->ascending ? CompareCellText(a, b) : CompareCellText(b, a);
}

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class WindowRowSink : public RowSink {
 public:
  explicit WindowRowSink(HWND window) : window(window) {}
  void AddRow(const ScanRow& row) override {
    SendMessageW(window, WM_SCAN_ADD_ROW, 0, reinterpret_cast<LPARAM>(&row));
  }

 private:
  HWND window;
};

// Ends a message box the worker is waiting in, when the window must close.
BOOL CALLBACK CloseWorkerBox(HWND window, LPARAM) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

CUndeleteDlg::CUndeleteDlg(HWND owner)
    : CNewDialog(IDD_PELMORA_DIALOG, owner),
      appIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      previewDialog(nullptr) {}

CUndeleteDlg::~CUndeleteDlg() {
  if (toolBarImages != nullptr) ImageList_Destroy(toolBarImages);
  if (scanThreadHandle != nullptr) CloseHandle(scanThreadHandle);
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

  canScan = true;
  canRecover = canPreview = canStop = canFind = canFindNext = false;

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
  ListView_SetExtendedListViewStyle(fileList.Handle(), LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP);

  rootItem = driveTree.InsertItem(L"My computer", TVI_ROOT, 0);
  const DWORD result = ScanLogicalDrives();
  if (result != ERROR_SUCCESS) ShowErrorBox(hwnd, result, L"Error in ScanLogicalDrives");

  stopRequested = true;
  scanThreadHandle = nullptr;

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
  const CommandFlags flags{canRecover, canPreview, canStop, canScan, canFind, canFindNext};
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
    default: return false;
  }
}

void CUndeleteDlg::SortByColumn(int column) {
  sortColumn = column;
  sortAscending = !sortAscending;
  SortContext context{{}, sortAscending};
  const int count = fileList.Count();
  for (int i = 0; i < count; ++i) {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    item.lParam = i;  // nothing reads the old item data
    ListView_SetItem(fileList.Handle(), &item);
    context.texts.push_back(U16(fileList.Text(i, column)));
  }
  ListView_SortItems(fileList.Handle(), CompareRows, reinterpret_cast<LPARAM>(&context));
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
  if (fileList.Count() > 0) canRecover = canPreview = true;
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(GetSubMenu(menu, 0),
                                                       TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                                       GET_X_LPARAM(where), GET_Y_LPARAM(where), 0, hwnd, nullptr));
  DestroyMenu(menu);
  if (chosen == IDM_FIND) Find();
  if (chosen == IDM_FIND_NEXT) FindNext();
  if (chosen == IDM_RECOVER) OnRecover();
}

bool CUndeleteDlg::RowMatches(int row) {
  std::u16string text = U16(findText);
  const bool match = NameMatches(U16(fileList.Text(row, ColumnName)), &text);
  findText.assign(text.begin(), text.end());  // kept lowered
  return match;
}

void CUndeleteDlg::ShowFoundRow(int row) {
  ListView_EnsureVisible(fileList.Handle(), row, FALSE);
  ListView_SetItemState(fileList.Handle(), row, LVIS_SELECTED, LVIS_SELECTED | LVIS_FOCUSED | LVIS_CUT | LVIS_DROPHILITED);
}

void CUndeleteDlg::Find() {
  const int count = fileList.Count();
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
  const auto count = static_cast<std::uint32_t>(fileList.Count());
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
  if (IsScannedDrive(U16(RecoverFolder), U16(scannedDriveText)) &&
      MessageBoxW(hwnd, L"Do you want to restore to the same drive? This reduce the chance of a successful recovery.",
                  L"Click Cancel to abort or continie at your risk",
                  MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDCANCEL) {
    return;
  }
  const HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  for (; row >= 0; row = ListView_GetNextItem(fileList.Handle(), row, LVNI_SELECTED)) {
    const std::uint32_t record = RecordIndexFromCell(U16(fileList.Text(row, ColumnRecord)));
    auto whole = rowPaths.find(record);
    const std::u16string path = whole != rowPaths.end() ? whole->second : U16(fileList.Text(row, ColumnPath));
    RecoveredFile file;
    // An existing file is replaced, as the user chose this folder for it.
    const DWORD result = RecoverRecord(drive, record, U16(RecoverFolder), path, true, &file);
    if (result != ERROR_SUCCESS) {
      SetCursor(previous);
      ShowErrorBox(hwnd, result, file.step == RecoveryStep::CreatingFile ? L"Error in CreateFile" : L"GetLastError");
      return;
    }
  }
  SetCursor(previous);
}

void CUndeleteDlg::OnImagePreview() {
  if (previewData) {
    previewDialog.Destroy();
    previewData.reset();
    previewSize = 0;
  }
  const int row = ListView_GetNextItem(fileList.Handle(), -1, LVNI_SELECTED);
  if (row < 0) return;
  const std::uint32_t record = RecordIndexFromCell(U16(fileList.Text(row, ColumnRecord)));
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
      rowEntries.assign(static_cast<std::size_t>(wParam), RowEntry{});
      rowCount = 0;
      rowPaths.clear();
      return 0;
    case WM_SCAN_DRIVE_TEXT:
      scannedDriveText = reinterpret_cast<const wchar_t*>(lParam);
      return 0;
    case WM_SCAN_ADD_ROW:
      AddRow(*reinterpret_cast<const ScanRow*>(lParam));
      return 0;
    case WM_DESTROY:
      StopScanAndWait();
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
  StopScanAndWait();
  CNewDialog::OnOK();
}

void CUndeleteDlg::OnCancel() {
  StopScanAndWait();
  CNewDialog::OnCancel();
}

void CUndeleteDlg::StopScanAndWait() {
  if (scanThreadHandle == nullptr) return;
  stopRequested = true;
  const DWORD worker = GetThreadId(scanThreadHandle);
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &scanThreadHandle, FALSE, 200, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG message;
      PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // serves the worker's calls
    } else {
      EnumThreadWindows(worker, CloseWorkerBox, 0);
    }
  }
  CloseHandle(scanThreadHandle);
  scanThreadHandle = nullptr;
}

void CUndeleteDlg::ToggleScan() {
  if (WindowText(scanButton) == L"Scan") {
    if (scanThreadHandle != nullptr) CloseHandle(scanThreadHandle);  // the last scan's, ended by itself
    stopRequested = false;
    scanThreadHandle = CreateThread(nullptr, 0, ScanThread, this, 0, nullptr);
    SetWindowTextW(scanButton, L"Stop Scanning");
    return;
  }
  canScan = true;
  stopRequested = true;
  canStop = false;
  DWORD exitCode = 0;
  if (GetExitCodeThread(scanThreadHandle, &exitCode) && exitCode == STILL_ACTIVE) {
    SetWindowTextW(scanButton, L"Stopping...");
    EnableWindow(scanButton, FALSE);
  } else {
    SetWindowTextW(scanButton, L"Scan");
    if (scanThreadHandle != nullptr) CloseHandle(scanThreadHandle);
    scanThreadHandle = nullptr;
  }
}

DWORD WINAPI CUndeleteDlg::ScanThread(void* parameter) {
  static_cast<CUndeleteDlg*>(parameter)->RunScan();
  return 0;
}

void CUndeleteDlg::RunScan() {
  for (int pane = 0; pane < 3; ++pane) statusBar.SetText(pane, L"");
  canRecover = canPreview = false;
  canStop = true;
  canScan = false;
  canFind = canFindNext = true;

  const HTREEITEM selected = driveTree.Selection();
  const std::wstring selectedText = selected != nullptr ? driveTree.Text(selected) : L"";
  SendMessageW(hwnd, WM_SCAN_DRIVE_TEXT, 0, reinterpret_cast<LPARAM>(selectedText.c_str()));
  if (selectedText == L"My computer") {
    MessageBoxW(hwnd, L"Select logical drive and press Scan button", L"Select logical drive", MB_OK);
    EndScan(0, 0);
    return;
  }
  const auto* item = selected != nullptr ? reinterpret_cast<const PartitionItem*>(driveTree.Data(selected)) : nullptr;
  if (item == nullptr) {
    EndScan(0, 0);
    return;
  }
  ListView_DeleteAllItems(fileList.Handle());

  // Detaching waits for any read of the old disk (a recovery) to finish.
  drive.AttachDisk(nullptr);
  diskHandle.reset();
  DWORD result = DiskDevice::OpenNumber(item->diskNumber, &diskHandle);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"Error in CreateFile (scan)");
    EndScan(0, 0);
    return;
  }
  drive.AttachDisk(diskHandle.get());
  drive.SetPartitionStart(item->startSector);
  result = drive.Initialize();
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_INVALID_DRIVE) {
      MessageBoxW(hwnd, NotNtfsText, L"Check up the type of file system", MB_ICONERROR);
    } else {
      ShowErrorBox(hwnd, result, L"Error in Initialize");
    }
    drive.AttachDisk(nullptr);
    diskHandle.reset();
    EndScan(0, 0);
    return;
  }

  SendMessageW(hwnd, WM_SCAN_BEGIN_ROWS, drive.RecordCount(), 0);
  const std::u16string driveText(selectedText.begin(), selectedText.end());
  WindowRowSink sink(hwnd);
  ScanTotals totals;
  result = ScanRecords(drive, driveText, stopRequested, sink, &totals);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    drive.AttachDisk(nullptr);
    diskHandle.reset();
  }
  EndScan(totals.examined, totals.rows);
}

void CUndeleteDlg::AddRow(const ScanRow& row) {
  const int position = fileList.Count();
  RowEntry* entry = rowCount < rowEntries.size() ? &rowEntries[rowCount] : nullptr;
  ++rowCount;
  if (entry != nullptr) {
    entry->size = row.size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(row.size);
    entry->created = row.creationTime;
    entry->modified = row.modificationTime;
  }
  const int index = fileList.InsertItem(position, Wide(row.cells[ColumnName]), reinterpret_cast<LPARAM>(entry));
  if (index < 0) return;
  rowPaths[row.recordIndex] = row.path;
  canRecover = canPreview = true;
  for (int column : {ColumnRecord, ColumnPath, ColumnCreated, ColumnModified, ColumnSize}) {
    fileList.SetText(index, column, Wide(row.cells[column]));
  }
}

void CUndeleteDlg::EndScan(std::uint32_t examined, std::uint32_t rows) {
  SetWindowTextW(scanButton, L"Scan");
  wchar_t text[64];
  swprintf(text, 64, L"Total files: %u", examined);
  statusBar.SetText(2, text);
  swprintf(text, 64, L"Deleted files: %u", rows);
  statusBar.SetText(1, text);
  EnableWindow(scanButton, TRUE);
  canRecover = canPreview = true;
  canStop = false;
  canScan = true;
}
