// CUndeleteDlg: the main window. The drive tree (physical disks and opened
// disk images), the list of deleted files (a virtual list over the window's
// own row table), the Scan button, toolbar, menus and status bar; the
// workers that open images, scan, recover and read previews. Each job has
// a file of its own: UndeleteOpenImage, UndeleteRecover, UndeletePreview,
// UndeleteDeepScan and UndeleteCarve.cpp.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "carve/FreeSpace.h"
#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Lock.h"
#include "platform/Volumes.h"
#include "recover/Recovery.h"
#include "scan/DeepScan.h"
#include "scan/FoundVolumes.h"
#include "scan/PartitionWalk.h"
#include "scan/Scanner.h"
#include "ui/DiskSources.h"
#include "ui/Framework.h"
#include "ui/ImageDlg.h"
#include "ui/PreviewRules.h"
#include "ui/RecoverProgressDlg.h"
#include "ui/WindowRules.h"
#include "ui/WorkerThread.h"

class CUndeleteDlg : public CNewDialog {
 public:
  explicit CUndeleteDlg(HWND owner = nullptr);
  ~CUndeleteDlg() override;

  // The scan worker; `parameter` is the window. Always returns 0. Its last
  // act is WM_SCAN_ENDED, whatever happened.
  static DWORD WINAPI ScanThread(void* parameter);
  // The recovery worker: its last act is to post WM_RECOVER_ENDED.
  static DWORD WINAPI RecoveryThread(void* parameter);
  // The preview's reader: its last act is to post WM_PREVIEW_READY.
  static DWORD WINAPI PreviewThread(void* parameter);
  // Opens a disk image and walks its partitions: its last act is to post
  // WM_IMAGE_OPENED.
  static DWORD WINAPI OpenThread(void* parameter);
  // The deep scan of a disk or partition, on the scan's worker: its last
  // act is to post WM_DEEP_ENDED.
  static DWORD WINAPI DeepScanThread(void* parameter);
  // The carving of the scanned volume's free space, on the scan's worker:
  // its last act is to post WM_CARVE_ENDED.
  static DWORD WINAPI CarveThread(void* parameter);

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
  HTREEITEM AddDriveItem(const std::u16string& text, const DriveItem& item, HTREEITEM parent);
  // Open disk image: the file dialog, then the worker.
  void OnOpenImage();
  // The worker's part: the image opened and its partitions found. Never throws.
  void RunOpen();
  // The image's items in the tree, or the box saying why it did not open.
  void EndOpen();
  // An error box for `code`, with the image's words for it when the read
  // that failed was an image's.
  void ShowReadFailure(DWORD code, const DiskSource& source, const wchar_t* caption);
  // Deep scan: the job for the selected item, the worker's part (never
  // throws), its progress in the status bar, and the found volumes' items.
  void OnDeepScan();
  void RunDeepScan();
  void ShowDeepProgress();
  void EndDeepScan();
  // Carve free space: the job for the volume last scanned, the worker's
  // part (never throws), its progress, the carved rows it hands over (0 or
  // 8 when they cannot be held) and its end.
  void OnCarve();
  void RunCarve();
  void ShowCarveProgress();
  DWORD TakeCarved(const CarvedTable& source);
  void EndCarve();
  const DriveItem* SelectedItem() const;
  // The State column's width: its widest text, and with the in-use prefix
  // for a found volume's rows.
  int StateColumnWidth(bool inUseRows) const;
  void ShowTreeMenu();
  void LayoutControls(int width, int height);
  void ToggleScan();
  // The worker's part: the boxes it shows and the scan. Returns the totals.
  ScanTotals RunScan();
  void SetScanPhase(ScanPhase phase);
  // Starts `thread` (a deep scan or a carving) on the scan's worker, with its
  // progress timer; the error when it could not start.
  DWORD StartScanJob(LPTHREAD_START_ROUTINE thread, UINT_PTR timer);
  // The Scan button and the toolbar as the scan phase and a recovery allow.
  void ShowJobState();
  // Asks every worker to stop, then joins each.
  void StopWorkers();
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
  // The worker's part: the files one after another; failures are kept, not
  // ends. Never throws.
  void RunRecovery();
  void ShowRecoveryProgress();
  void EndRecovery();
  void OnImagePreview();
  void StartPreview();
  // The worker's part: the first bytes, the decision, then what the picture takes.
  void ReadPreview();
  void ShowPreview(WPARAM generation);
  void OnItemActivate();
  void ShowAbout();
  void VisitWebSite();

  HICON appIcon;
  HTREEITEM rootItem = nullptr;
  // The images opened, kept until the window closes: the tree's items, the
  // drive and the workers read them.
  struct OpenImage {
    std::wstring path;
    std::unique_ptr<SharedImage> disk;
    HTREEITEM item;  // the image's own item
  };
  std::vector<OpenImage> images;
  // The image being opened: the request, then the worker's results, read by
  // the window once the worker is joined.
  struct OpenJob {
    std::wstring path;
    std::uint32_t number = 0;  // the image's number in the tree's texts
    DWORD result = ERROR_SUCCESS;
    std::string problem;  // the container's words for a failed open
    std::unique_ptr<SharedImage> disk;
    std::vector<FoundDrive> partitions;
    DWORD walkResult = ERROR_SUCCESS;  // partitions found before a failure stay
  };
  OpenJob opening;
  // What deep scans found, kept until the window closes: the found volumes'
  // items and the drive read through them (and the disk each was read from).
  struct DeepResult {
    std::unique_ptr<DiskDevice> device;  // a physical disk's own handle; null for an image
    CFoundVolumes volumes;
  };
  std::vector<std::unique_ptr<DeepResult>> deepResults;
  // The deep scan running: the request, the progress its worker writes and
  // the window reads on a timer, then the results, read once it is joined.
  struct DeepJob {
    DriveItem item;
    HTREEITEM parent = nullptr;  // where its found volumes go in the tree
    DiskRange range;             // bytes 0: to the disk's end
    std::vector<KnownVolume> known;
    std::uint32_t sectorSize = 512;
    ULONGLONG started = 0;
    std::atomic<std::uint64_t> doneBytes{0};
    std::atomic<std::uint64_t> totalBytes{0};
    DWORD result = ERROR_SUCCESS;
    std::unique_ptr<DeepResult> found;
  };
  std::unique_ptr<DeepJob> deep;  // null: no deep scan runs
  CommandFlags flagsBeforeDeep = FlagsBeforeScan();
  // Where carved files are read, for the carving, their preview and their
  // recovery, which may run at once: one read at a time, on a handle of its
  // own for a physical disk (the scan's drive reads its own).
  class CarvedDisk : public DiskReader {
   public:
    DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
      LockHolder holder(lock);
      return disk->ReadAt(offset, destination, count, delivered);
    }
    std::unique_ptr<DiskDevice> device;  // a physical disk's own handle; null for an image
    DiskReader* disk = nullptr;
    carve::VolumeSpan span;  // its disk is this object

   private:
    Lock lock;
  };
  std::unique_ptr<CarvedDisk> carvedDisk;  // null: nothing carved since the last scan
  // The carving running: its progress (read on a timer) and results.
  struct CarveJob {
    ULONGLONG started = 0;
    std::atomic<std::uint64_t> doneBytes{0};
    std::atomic<std::uint64_t> totalBytes{0};
    DWORD result = ERROR_SUCCESS;
    carve::CarveTotals totals;
    std::uint64_t unknownClusters = 0;
  };
  std::unique_ptr<CarveJob> carving;  // null: no carving runs
  CommandFlags flagsBeforeCarve = FlagsBeforeScan();
  // The last scan opened its volume: Carve free space may read it.
  std::atomic<bool> volumeScanned{false};  // set by the scan's worker
  CNTFSDrive drive;
  std::unique_ptr<DiskDevice> diskHandle;  // null: no disk open
  CImageDlg previewDialog;
  ByteBuffer previewData;  // the previewed file's bytes; the preview paints from them
  std::uint32_t previewSize = 0;
  // The preview being read: the request, then the worker's results, read
  // by the window once the worker is joined.
  struct PreviewJob {
    RecordIdentity identity;  // the row's: a record used since the scan is refused
    bool isCarved = false;  // else the carved file, read from carvedDisk
    carve::CarvedFile carvedFile;
    DWORD result = ERROR_SUCCESS;
    PreviewDecision decision{PreviewVerdict::NotImage, 0, 0};
    ByteBuffer data;
    std::uint32_t size = 0;
  };
  PreviewJob preview;
  // A preview asked for while another was read: started when that one ends.
  bool previewWanted = false;
  RecordIdentity wantedRecord;
  std::uint32_t wantedCarved = UINT32_MAX;
  WPARAM previewGeneration = 0;  // tells a stale WM_PREVIEW_READY from the current one
  std::wstring findText;
  int findPosition = 0;
  ScanPhase scanPhase = ScanPhase::Idle;
  // What the click chose, read by the worker it starts.
  std::wstring scanDriveText;
  const DriveItem* scanItem = nullptr;
  CListCtrl fileList;
  CTreeCtrl driveTree;
  HWND scanButton = nullptr;
  HMENU menuBar = nullptr;
  CommandFlags flags = FlagsBeforeScan();
  HWND toolBar = nullptr;
  HIMAGELIST toolBarImages = nullptr;
  CStatusBar statusBar;

  std::vector<std::unique_ptr<DriveItem>> driveItems;  // the tree's items point to them
  // The partition of the last scan; set by its worker before any row.
  ScannedPartition scannedPartition;
  RowTable rows;                     // the scan's rows, handed over by the worker
  CarvedTable carved;                // the carved files, listed after the rows
  std::vector<std::uint32_t> order;  // rows in the list's order: a sort permutes it
  int sortColumn = 0;
  bool sortAscending = false;

  // One file of a recovery, copied from its row when the recovery starts:
  // the worker never reads the row table, which a sort reorders.
  struct RecoveryItem {
    RecordIdentity identity;  // the row's record as the scan saw it: a record used since is refused
    std::u16string path;  // the row's whole folder path
    std::u16string shown;  // path and name, for the progress and the summary
    std::uint64_t size;
    std::uint32_t carved;  // UINT32_MAX, else a carved file of `carved` (appended only, never while recovering)
  };
  struct RecoveryFailure {
    std::uint32_t item;
    RecoveryFailureFacts facts;
  };
  // A recovery: its files, set before the worker starts; the progress, which
  // the worker writes and the window reads while it runs; the results, read
  // once the worker is joined.
  struct RecoveryJob {
    std::wstring destination;
    std::vector<RecoveryItem> items;
    std::uint64_t totalBytes = 0;
    ULONGLONG started = 0;  // GetTickCount64
    std::atomic<std::uint32_t> current{0};
    std::atomic<std::uint64_t> doneBytes{0};
    std::vector<RecoveryFailure> failures;  // room for every file is made before the start
    std::uint32_t recovered = 0;
    bool cancelled = false;
    DWORD stoppedBy = ERROR_SUCCESS;  // a failure that ended the whole recovery (memory)
  };
  std::unique_ptr<RecoveryJob> recovery;  // null: no recovery runs
  CRecoverProgressDlg progressDialog;

  // Last, so that they are the first to go: a worker still running is
  // joined before anything it uses.
  CWorkerThread scanWorker;
  CWorkerThread recoveryWorker;
  CWorkerThread previewWorker;
  CWorkerThread openWorker;
};
