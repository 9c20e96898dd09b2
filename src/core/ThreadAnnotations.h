// Lock annotations checked by clang's -Wthread-safety; empty under GCC.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define QX_CAPABILITY(x) QX_THREAD_ANNOTATION(capability(x))
#define QX_SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define QX_GUARDED_BY(x) QX_THREAD_ANNOTATION(guarded_by(x))
#define QX_PT_GUARDED_BY(x) QX_THREAD_ANNOTATION(pt_guarded_by(x))
#define QX_ACQUIRED_BEFORE(...) QX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QX_REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QX_EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QX_ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QX_RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace quavox {

// std::mutex with the annotations clang needs to check which members it guards.
class QX_CAPABILITY("mutex") TMutex {
 public:
  void lock() QX_ACQUIRE() { FMutex.lock(); }
  void unlock() QX_RELEASE() { FMutex.unlock(); }
  std::mutex& Native() { return FMutex; }

 private:
  std::mutex FMutex;
};

class QX_SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(TMutex& AMutex) QX_ACQUIRE(AMutex) : FMutex(AMutex) { FMutex.lock(); }
  ~TLockGuard() QX_RELEASE() { FMutex.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TMutex& FMutex;
};

// A scoped lock that a condition variable can wait on.
class QX_SCOPED_CAPABILITY TUniqueLock {
 public:
  explicit TUniqueLock(TMutex& AMutex) QX_ACQUIRE(AMutex) : FLock(AMutex.Native()) {}
  ~TUniqueLock() QX_RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;
  std::unique_lock<std::mutex>& Native() { return FLock; }

 private:
  std::unique_lock<std::mutex> FLock;
};

}  // namespace quavox
