// A stand-in for the main window, built on the project's scanning core: same
// control ids, captions, menus and message boxes, so the driver and the rig
// can be exercised before (or without) the real dialog program.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Volumes.h"
#include "scan/PartitionWalk.h"
#include "scan/Scanner.h"
#include "view/RowCells.h"

namespace {

enum : UINT { WmRows = WM_APP + 1, WmDone };
enum : int { Tree = 1000, List = 1001, ScanButton = 1002, ToolBar = 59392, StatusBar = 59393 };
enum : int { CmdFind = 32772, CmdFindNext = 32778, CmdScan = 32774, CmdExit = 32775, CmdRecover = 32780,
             CmdStop = 32781, CmdPreview = 32792 };

struct Part {
  FoundPartition found;
};

HWND dialog;
std::vector<Part> parts;
HANDLE worker;
std::atomic<bool> stopRequested{false};
bool closing = false;
ScanTotals lastTotals;
bool scanned = false;

struct ShownRow {
  std::u16string cells[ColumnCount];
};

// Each row is handed to the window's thread and shown before the scan goes
// on, so the scan keeps pace with the list.
class WindowSink : public RowSink {
 public:
  void RowAdded(const RowTable& table, std::size_t row) override {
    ShownRow shown;
    for (int c = 0; c < ColumnCount; ++c) shown.cells[c] = CellText(table, row, static_cast<Column>(c));
    SendMessageW(dialog, WmRows, 0, reinterpret_cast<LPARAM>(&shown));
  }
};

struct Job {
  FoundPartition part;
};

DWORD WINAPI ScanThread(void* parameter) {
  std::unique_ptr<Job> job(static_cast<Job*>(parameter));
  auto* totals = new ScanTotals;
  std::unique_ptr<DiskDevice> disk;
  DWORD result = DiskDevice::OpenNumber(job->part.item.diskNumber, &disk);
  if (result == 0) {
    CNTFSDrive drive;
    drive.AttachDisk(disk.get());
    drive.SetPartitionStart(job->part.item.startSector);
    result = drive.Initialize();
    if (result == 0) {
      WindowSink sink;
      result = ScanRecords(drive, job->part.text, stopRequested, sink, totals);
    }
  }
  PostMessageW(dialog, WmDone, result, reinterpret_cast<LPARAM>(totals));
  return 0;
}

void SetPane(int pane, const wchar_t* format, unsigned value) {
  wchar_t text[64];
  wsprintfW(text, format, value);
  SendDlgItemMessageW(dialog, StatusBar, SB_SETTEXTW, pane, reinterpret_cast<LPARAM>(text));
}

void AddRow(const ShownRow& row) {
  HWND list = GetDlgItem(dialog, List);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  item.pszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(row.cells[0].c_str()));
  const int index = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  for (int c = 1; c < ColumnState; ++c) {
    LVITEMW cell{};
    cell.iSubItem = c;
    cell.pszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(row.cells[c].c_str()));
    SendMessageW(list, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&cell));
  }
}

void StartScan() {
  HWND tree = GetDlgItem(dialog, Tree);
  HTREEITEM selected = TreeView_GetSelection(tree);
  TVITEMW item{};
  item.mask = TVIF_PARAM;
  item.hItem = selected;
  if (selected == nullptr || !TreeView_GetItem(tree, &item) || item.lParam == 0) {
    SetPane(1, L"Deleted files: %i", 0);
    SetPane(2, L"Total files: %i", 0);
    MessageBoxW(dialog, L"Select logical drive and press Scan button", L"Select logical drive", MB_OK);
    return;
  }
  const Part& part = parts[item.lParam - 1];
  if (part.found.type != 0x07) {
    MessageBoxW(dialog, L"The selected partition is not NTFS", L"Check up the type of file system", MB_OK);
    return;
  }
  ListView_DeleteAllItems(GetDlgItem(dialog, List));
  stopRequested = false;
  SetDlgItemTextW(dialog, ScanButton, L"Stop Scanning");
  worker = CreateThread(nullptr, 0, ScanThread, new Job{part.found}, 0, nullptr);
}

void OnScanButton() {
  if (worker == nullptr) {
    StartScan();
  } else if (!stopRequested) {
    stopRequested = true;
    SetDlgItemTextW(dialog, ScanButton, L"Stopping...");
  }
}

void OnDone(WPARAM result, LPARAM totalsParam) {
  std::unique_ptr<ScanTotals> totals(reinterpret_cast<ScanTotals*>(totalsParam));
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  worker = nullptr;
  lastTotals = *totals;
  scanned = true;
  SetPane(1, L"Deleted files: %i", totals->rows);
  SetPane(2, L"Total files: %i", totals->examined);
  SetDlgItemTextW(dialog, ScanButton, L"Scan");
  if (closing) {
    EndDialog(dialog, 0);
  } else if (result != 0) {
    MessageBoxW(dialog, L"The scan ended with an error", L"Error in scan", MB_OK);
  }
}

void InitPopup(HMENU popup) {
  const bool running = worker != nullptr;
  auto state = [&](UINT id, bool on) { EnableMenuItem(popup, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED)); };
  state(CmdScan, !running);
  state(CmdStop, running);
  state(CmdRecover, !running && scanned);
  state(CmdPreview, !running && scanned);
  state(CmdFind, running || scanned);
  state(CmdFindNext, true);
}

void Populate() {
  HWND tree = GetDlgItem(dialog, Tree);
  TVINSERTSTRUCTW insert{};
  insert.hParent = TVI_ROOT;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM;
  insert.item.pszText = const_cast<wchar_t*>(L"My computer");
  HTREEITEM root = TreeView_InsertItem(tree, &insert);
  SystemVolumes volumes;
  std::vector<HTREEITEM> items;
  const DWORD result = WalkAllDisks(
      [](unsigned number, std::unique_ptr<DiskReader>* disk) {
        std::unique_ptr<DiskDevice> device;
        const DWORD opened = DiskDevice::OpenNumber(number, &device);
        if (opened == 0) *disk = std::move(device);
        return opened;
      },
      volumes, [&](const FoundPartition& found) {
        parts.push_back(Part{found});
        TVINSERTSTRUCTW child{};
        child.hParent = root;
        child.hInsertAfter = TVI_LAST;
        child.item.mask = TVIF_TEXT | TVIF_PARAM;
        child.item.pszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(parts.back().found.text.c_str()));
        child.item.lParam = static_cast<LPARAM>(parts.size());
        items.push_back(TreeView_InsertItem(tree, &child));
      });
  SendMessageW(tree, TVM_SORTCHILDREN, FALSE, reinterpret_cast<LPARAM>(root));
  TreeView_Expand(tree, root, TVE_EXPAND);
  TreeView_SelectItem(tree, items.empty() ? root : items.front());
  if (result != 0) MessageBoxW(dialog, L"Cannot read the physical disks", L"Error in ScanLogicalDrives", MB_OK);
}

void InitDialog(HWND window) {
  dialog = window;
  HWND toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT, 0, 0, 0, 0,
                                 window, reinterpret_cast<HMENU>(ToolBar), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  HWND status = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                                reinterpret_cast<HMENU>(StatusBar), GetModuleHandleW(nullptr), nullptr);
  int edges[3] = {200, 400, -1};
  SendMessageW(status, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(edges));
  SendMessageW(status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"Ready"));
  SetPane(1, L"Deleted files: %i", 0);
  SetPane(2, L"Total files: %i", 0);
  HWND list = GetDlgItem(window, List);
  static const wchar_t* const names[] = {L"Name", L"Path", L"Size", L"Created", L"Modified", L"#"};
  for (int c = 0; c < 6; ++c) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = c == 1 ? 200 : 100;
    column.pszText = const_cast<wchar_t*>(names[c]);
    SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
  }
  Populate();
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(window);
      return TRUE;
    case WM_INITMENUPOPUP:
      InitPopup(reinterpret_cast<HMENU>(wParam));
      return TRUE;
    case WmRows:
      AddRow(*reinterpret_cast<const ShownRow*>(lParam));
      return TRUE;
    case WmDone:
      OnDone(wParam, lParam);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ScanButton:
        case CmdScan:
          if (LOWORD(wParam) == ScanButton || worker == nullptr) OnScanButton();
          return TRUE;
        case CmdStop:
          if (worker != nullptr) OnScanButton();
          return TRUE;
        case CmdExit:
        case IDCANCEL:
          PostMessageW(window, WM_CLOSE, 0, 0);
          return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      if (worker != nullptr) {
        // Closing mid-scan: the worker sees the flag at its next record and
        // its end closes the window (waiting here would block its rows).
        stopRequested = true;
        closing = true;
        return TRUE;
      }
      EndDialog(window, 0);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  return static_cast<int>(DialogBoxParamW(instance, MAKEINTRESOURCEW(102), nullptr, DialogProc, 0));
}
