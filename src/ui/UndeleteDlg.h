// CUndeleteDlg: the main window. The drive tree, the list of deleted files,
// the Scan button, toolbar, menus and status bar; the scan worker.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "scan/PartitionWalk.h"
#include "scan/Scanner.h"
#include "ui/Framework.h"
#include "ui/ImageDlg.h"

class CUndeleteDlg : public CNewDialog {
 public:
  explicit CUndeleteDlg(HWND owner = nullptr);
  ~CUndeleteDlg() override;

  // The scan worker; `parameter` is the window. Always returns 0.
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
  // The item data of a row: 24 bytes, as the list keeps it.
  struct RowEntry {
    std::uint32_t size;
    std::uint32_t unused;
    std::uint64_t created;
    std::uint64_t modified;
  };
  static_assert(sizeof(RowEntry) == 24, "a row entry is 24 bytes");

  DWORD ScanLogicalDrives();
  void AddPartitionItem(const std::wstring& text, const PartitionItem& item);
  void LayoutControls(int width, int height);
  void ToggleScan();
  void RunScan();
  void EndScan(std::uint32_t examined, std::uint32_t rows);
  void AddRow(const ScanRow& row);
  // Asks a running scan to stop and waits for it, still serving the calls it
  // makes to this window, so that nothing it uses goes away under it.
  void StopScanAndWait();
  void PaintMinimised();

  // The file list's behaviours.
  void SortByColumn(int column);
  void ShowSelectionCount();
  void ShowListMenu();
  void Find();
  void FindNext();
  void ShowFoundRow(int row);
  bool RowMatches(int row);
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
  HANDLE scanThreadHandle = nullptr;
  std::atomic<bool> stopRequested{true};
  CListCtrl fileList;
  CTreeCtrl driveTree;
  HWND scanButton = nullptr;
  HMENU menuBar = nullptr;
  std::atomic<bool> canRecover{false}, canPreview{false}, canStop{false}, canScan{true}, canFind{false},
      canFindNext{false};
  HWND toolBar = nullptr;
  HIMAGELIST toolBarImages = nullptr;
  CStatusBar statusBar;

  std::vector<std::unique_ptr<PartitionItem>> partitionItems;  // owned by the tree's items
  std::wstring scannedDriveText;
  std::vector<RowEntry> rowEntries;  // the rows' item data; lives as long as the rows
  std::size_t rowCount = 0;
  // Whole folder paths by record index: a "Path" cell holds 254 characters.
  std::unordered_map<std::uint32_t, std::u16string> rowPaths;
  int sortColumn = 0;
  bool sortAscending = false;
};
