#pragma once

// Locks that remember a holder that stopped abnormally. A C++ exception leaving a critical
// section may have left the guarded value half changed, so the lock is poisoned and every
// later use raises the fatal error with the lock's fixed text instead of handing the value
// out. An allocation failure in a step known to be all or nothing changed nothing, so it
// leaves the lock usable (all_or_nothing). Callers hold the GIL throughout and run no Python
// code while a guard is alive, so waiting here never waits on another thread that needs the
// GIL, and the interpreter's forced unwind of an exiting thread never passes a guard.

#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>

#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

inline constexpr const char* BUFFER_LOCK_POISONED = "transform buffer lock was poisoned";
inline constexpr const char* FILTER_LIST_LOCK_POISONED = "filter list lock was poisoned";
inline constexpr const char* FILTER_LOCK_POISONED = "message filter lock was poisoned";

// The exclusive side of either lock: an exception leaving the critical section while it
// is held poisons the lock, unless it is an allocation failure of an all_or_nothing step.
template <class Lock>
class ExclusiveGuard {
 public:
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ~ExclusiveGuard() {
    if (lock_ != nullptr && !intact_ && !thread_ending() &&
        std::uncaught_exceptions() > exceptions_) {
      lock_->poisoned_ = true;
    }
    unlock();
  }

  // Runs `step`, which either completes or throws std::bad_alloc with the guarded value as
  // it was (the strong guarantee). Such a failure ends the critical section without
  // poisoning the lock, so the caller's wrapper turns it into MemoryError and the value
  // stays usable; let it propagate. Any other exception still poisons.
  template <class Step>
  decltype(auto) all_or_nothing(Step&& step) {
    try {
      return std::forward<Step>(step)();
    } catch (const std::bad_alloc&) {
      intact_ = true;
      throw;
    }
  }

  // False when the lock was poisoned (or busy, for a try); see the function that made it.
  explicit operator bool() const noexcept { return lock_ != nullptr; }
  auto& operator*() const noexcept { return lock_->value_; }
  auto* operator->() const noexcept { return &lock_->value_; }
  // Ends the critical section early; the guard is empty afterwards.
  void unlock() noexcept {
    if (lock_ != nullptr) {
      std::exchange(lock_, nullptr)->mutex_.unlock();
    }
  }

 private:
  friend Lock;
  explicit ExclusiveGuard(Lock* lock) noexcept : lock_(lock) {}
  Lock* lock_;
  int exceptions_ = std::uncaught_exceptions();
  bool intact_ = false;  // an all_or_nothing step failed to allocate and changed nothing
};

// Reader-writer lock around a T. Only the exclusive side poisons: readers cannot leave
// the value half changed.
template <class T>
class RwLock {
 public:
  template <class... Args>
  explicit RwLock(const char* poisoned_text, Args&&... args)
      : poisoned_text_(poisoned_text), value_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  class ReadGuard {
   public:
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() { unlock(); }

    // False when the lock was poisoned; the fatal error is then pending.
    explicit operator bool() const noexcept { return lock_ != nullptr; }
    const T& operator*() const noexcept { return lock_->value_; }
    const T* operator->() const noexcept { return &lock_->value_; }
    // Ends the critical section early; the guard is empty afterwards.
    void unlock() noexcept {
      if (lock_ != nullptr) {
        std::exchange(lock_, nullptr)->mutex_.unlock_shared();
      }
    }

   private:
    friend class RwLock;
    explicit ReadGuard(const RwLock* lock) noexcept : lock_(lock) {}
    const RwLock* lock_;
  };

  using WriteGuard = ExclusiveGuard<RwLock>;

  // The shared side, or an empty guard with the fatal error raised.
  ReadGuard read() const {
    mutex_.lock_shared();
    if (poisoned_) {
      mutex_.unlock_shared();
      raise_internal(poisoned_text_);
      return ReadGuard(nullptr);
    }
    return ReadGuard(this);
  }

  // As read(), but a poisoned lock yields an empty guard with no exception set: for a
  // caller inside another lock, which must not make the exception object until it unlocks.
  ReadGuard read_or_empty() const {
    mutex_.lock_shared();
    if (poisoned_) {
      mutex_.unlock_shared();
      return ReadGuard(nullptr);
    }
    return ReadGuard(this);
  }

  // The exclusive side, or an empty guard with the fatal error raised.
  WriteGuard write() {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      raise_internal(poisoned_text_);
      return WriteGuard(nullptr);
    }
    return WriteGuard(this);
  }

 private:
  friend WriteGuard;
  mutable std::shared_mutex mutex_;
  bool poisoned_ = false;  // written only under the exclusive side
  const char* poisoned_text_;
  T value_;
};

// Mutex around a T; any exception leaving the critical section poisons it.
template <class T>
class Mutex {
 public:
  template <class... Args>
  explicit Mutex(const char* poisoned_text, Args&&... args)
      : poisoned_text_(poisoned_text), value_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  using Guard = ExclusiveGuard<Mutex>;

  // The lock, or an empty guard with the fatal error raised.
  Guard lock() {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      raise_internal(poisoned_text_);
      return Guard(nullptr);
    }
    return Guard(this);
  }

  // The lock if it is free and not poisoned, else an empty guard; never raises. For paths
  // that must neither block nor set an exception, such as the garbage collector's slots.
  Guard try_lock() noexcept {
    if (!mutex_.try_lock()) {
      return Guard(nullptr);
    }
    if (poisoned_) {
      mutex_.unlock();
      return Guard(nullptr);
    }
    return Guard(this);
  }

 private:
  friend Guard;
  std::mutex mutex_;
  bool poisoned_ = false;  // read and written only under mutex_
  const char* poisoned_text_;
  T value_;
};

}  // namespace quilm_tf_py
