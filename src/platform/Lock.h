// A plain mutual-exclusion lock. Win32: a slim reader/writer lock (no
// winpthreads in the Windows build); elsewhere std::mutex.
#pragma once

#ifndef _WIN32
#include <mutex>
#endif

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Acquire();
  void Release();

 private:
#ifdef _WIN32
  void* srwLock = nullptr;  // SRWLOCK_INIT
#else
  std::mutex mutex;
#endif
};

class LockHolder {
 public:
  explicit LockHolder(Lock& held) : lock(held) { lock.Acquire(); }
  ~LockHolder() { lock.Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  Lock& lock;
};
