// CWorkerThread: the life of one of a window's workers (the scan, a
// recovery, a preview's read). It starts the worker, passes on a stop
// request, and joins it while still serving the messages the worker sends
// to the window's thread, so that a worker blocked in SendMessage can always
// finish.
#pragma once

#include <windows.h>

#include <atomic>

class CWorkerThread {
 public:
  CWorkerThread() = default;
  // Stops and joins a worker still running.
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Joins the last worker, then runs `work(context)` on a new thread with the
  // stop flag cleared, at `priority` (THREAD_PRIORITY_...). Returns 0, or
  // CreateThread's error code.
  DWORD Start(LPTHREAD_START_ROUTINE work, void* context, int priority = THREAD_PRIORITY_NORMAL);
  // The worker sees this at its next check (a record, a chunk).
  void RequestStop() { stopRequested = true; }
  // Asks the worker to stop and waits for its thread to end. Call on the
  // thread the worker sends its messages to; message boxes the worker shows
  // are closed when it does not end.
  void StopAndJoin();
  // True from Start until the worker has been joined.
  bool Started() const { return thread.Get() != nullptr; }
  const std::atomic<bool>& StopFlag() const { return stopRequested; }

 private:
  // A thread handle, closed with its owner.
  class ScopedHandle {
   public:
    ScopedHandle() = default;
    ~ScopedHandle() { Reset(nullptr); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE Get() const { return handle; }
    void Reset(HANDLE value) {
      if (handle != nullptr) CloseHandle(handle);
      handle = value;
    }

   private:
    HANDLE handle = nullptr;
  };

  ScopedHandle thread;
  DWORD threadId = 0;
  std::atomic<bool> stopRequested{true};
};
