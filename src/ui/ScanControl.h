// CScanControl: the life of a window's scan worker. It starts the worker,
// passes on a stop request, and joins it while still serving the messages the
// worker sends to the window's thread, so that a worker blocked in
// SendMessage can always finish.
#pragma once

#include <windows.h>

#include <atomic>

class CScanControl {
 public:
  CScanControl() = default;
  // Stops and joins a worker still running.
  ~CScanControl();
  CScanControl(const CScanControl&) = delete;
  CScanControl& operator=(const CScanControl&) = delete;

  // Joins the last worker, then runs `work(context)` on a new thread with the
  // stop flag cleared. Returns 0, or CreateThread's error code.
  DWORD Start(LPTHREAD_START_ROUTINE work, void* context);
  // The worker sees this before its next record.
  void RequestStop() { stopRequested = true; }
  // Asks the worker to stop and waits for its thread to end. Call on the
  // thread the worker sends its messages to; message boxes the worker shows
  // are closed when it does not end.
  void StopAndJoin();
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
