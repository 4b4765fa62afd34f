// CUndeleteDlg: the main window. The drive tree, the list of deleted files
// (a virtual list over the window's own row table), the Scan button, toolbar,
// menus and status bar; the scan worker.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "scan/PartitionWalk.h"
#include "scan/Scanner.h"
#include "ui/Framework.h"
#include "ui/ImageDlg.h"
#include "ui/ScanControl.h"
#include "ui/WindowRules.h"

class CUndeleteDlg : public CNewDialog {
 public:
  explicit CUndeleteDlg(HWND owner = nullptr);
  ~CUndeleteDlg() override;

  // The scan worker; `parameter` is the window. Always returns 0. Its last
  // act is WM_SCAN_ENDED, whatever happened.
  static DWORD WINAPI ScanThread(void* parameter);

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(NMHDR* header, LRESULT* result) override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) override;
  void OnOK() override;
  void OnCancel() override;
  bool CommandRule(UINT command, bool* enabled) const override;
  bool HandlesCommand(UINT command) const override;

 private:
  DWORD ScanLogicalDrives();
  void AddPartitionItem(const std::wstring& text, const PartitionItem& item);
  void LayoutControls(int width, int height);
  void ToggleScan();
  // The worker's part: the boxes it shows and the scan. Returns the totals.
  ScanTotals RunScan();
  void SetScanPhase(ScanPhase phase);
  // The window's side of the worker's messages; each returns 0 or 8 when
  // the rows cannot be held.
  void BeginRows();
  DWORD TakeRows(const RowTable& source);
  DWORD TakeStates(const RowTable& source);
  void EndScan(const ScanTotals& totals);
  void PaintMinimised();

  // The file list's behaviours.
  void SortByColumn(int column);
  void ShowSelectionCount();
  void ShowListMenu();
  void Find();
  void FindNext();
  void ShowFoundRow(int row);
  bool RowMatches(int row);
  // The row of the table at a list position (the list shows `order`).
  std::uint32_t RowAt(int position) const { return order[static_cast<std::size_t>(position)]; }
  void ShowCell(NMLVDISPINFOW* info) const;
  void OnRecover();
  void OnImagePreview();
  void OnItemActivate();
  void ShowAbout();
  void VisitWebSite();

  HICON appIcon;
  HTREEITEM rootItem = nullptr;
  HTREEITEM lastPartitionItem = nullptr;
  CNTFSDrive drive;
  std::unique_ptr<DiskDevice> diskHandle;  // null: no disk open
  CImageDlg previewDialog;
  ByteBuffer previewData;  // the previewed file's bytes; the preview paints from them
  std::uint32_t previewSize = 0;
  std::wstring findText;
  int findPosition = 0;
  ScanPhase scanPhase = ScanPhase::Idle;
  // What the click chose, read by the worker it starts.
  std::wstring scanDriveText;
  const PartitionItem* scanItem = nullptr;
  CListCtrl fileList;
  CTreeCtrl driveTree;
  HWND scanButton = nullptr;
  HMENU menuBar = nullptr;
  CommandFlags flags = FlagsBeforeScan();
  HWND toolBar = nullptr;
  HIMAGELIST toolBarImages = nullptr;
  CStatusBar statusBar;

  std::vector<std::unique_ptr<PartitionItem>> partitionItems;  // owned by the tree's items
  std::wstring scannedDriveText;
  RowTable rows;                     // the scan's rows, handed over by the worker
  std::vector<std::uint32_t> order;  // rows in the list's order: a sort permutes it
  int sortColumn = 0;
  bool sortAscending = false;
  // Last, so that it is the first to go: a worker still running is joined
  // before anything it uses.
  CScanControl scanControl;
};
