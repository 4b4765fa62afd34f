#include "ui/UndeleteDlg.h"

#include <windowsx.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "ntfs/NtfsLayout.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "ui/AboutDlg.h"
#include "ui/FindDlg.h"
#include "ui/UndeleteMessages.h"
#include "ui/WebPage.h"
#include "ui/resource.h"
#include "view/RowCells.h"

namespace {

const wchar_t* const NotNtfsText =
    L"Check up the type of file system.\n"
    L"Pelmora support logical disks with the file system NTFS.\n"
    L"The program does not support logical disks with the file system FAT.\n"
    L"We plan to realize support FAT file system in the next 1.3 versions of the program. ";

// In the toolbar bitmap's order.
const UINT ToolbarCommands[] = {IDM_OPEN_IMAGE, IDM_SCAN, IDM_DEEP_SCAN, IDM_CARVE, IDM_RECOVER, IDM_FIND, IDM_ABOUT};
constexpr int ToolbarButtons = sizeof ToolbarCommands / sizeof ToolbarCommands[0];

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

}  // namespace

// The program's name as message boxes without a caption of their own show
// it: the executable's file name without its extension.
std::wstring ProgramName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  return name.substr(0, name.rfind(L'.'));
}

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

DWORD CUndeleteDlg::StartScanJob(LPTHREAD_START_ROUTINE thread, UINT_PTR timer) {
  const DWORD result = scanWorker.Start(thread, this);
  if (result != ERROR_SUCCESS) return result;
  statusBar.SetText(0, L"");
  SetTimer(hwnd, timer, ProgressMs, nullptr);
  SetScanPhase(ScanPhase::Running);
  return ERROR_SUCCESS;
}
