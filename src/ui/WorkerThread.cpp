#include "ui/WorkerThread.h"

namespace {

// Ends a message box the worker waits in, so that it can see the stop.
BOOL CALLBACK CloseWorkerBox(HWND window, LPARAM) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

CWorkerThread::~CWorkerThread() { StopAndJoin(); }

DWORD CWorkerThread::Start(LPTHREAD_START_ROUTINE work, void* context, int priority) {
  // Never close the handle of a worker that is still on its way out.
  StopAndJoin();
  stopRequested = false;
  HANDLE created = CreateThread(nullptr, 0, work, context, CREATE_SUSPENDED, &threadId);
  if (created == nullptr) {
    stopRequested = true;
    return GetLastError();
  }
  // A priority the system refuses leaves the worker at normal: no failure.
  if (priority != THREAD_PRIORITY_NORMAL) SetThreadPriority(created, priority);
  ResumeThread(created);
  thread.Reset(created);
  return ERROR_SUCCESS;
}

void CWorkerThread::StopAndJoin() {
  if (thread.Get() == nullptr) return;
  stopRequested = true;
  const HANDLE worker = thread.Get();
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &worker, FALSE, 200, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG message;
      PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // serves the worker's calls
    } else {
      EnumThreadWindows(threadId, CloseWorkerBox, 0);
    }
  }
  thread.Reset(nullptr);
  threadId = 0;
}
