// A mutex and its scoped holder that clang's thread-safety analysis can
// follow: shared state names the lock that guards it, and a missing lock is
// a compile error with clang.
#pragma once

#include <mutex>

#if defined(__clang__)
#define FN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) FN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY FN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) FN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) FN_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) FN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) FN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) FN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace ferrynet {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  // For condition variables that need the standard type.
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

}  // namespace ferrynet
