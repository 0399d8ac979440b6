/// \file
/// Once-only slots and the list of clean-up functions they link into.
#pragma once

#include <atomic>
#include <mutex>

#include "qelrtdefs.hpp"

class QelError;

/// The return code of a clean-up list that has no room left.
constexpr long QELRT_POOL_LIST_FULL = 21031;

/// The function that fills a once-only slot; it calls the slot's initOk or
/// initError.
typedef void (*QelPoolInitFn)();
/// The function that empties a once-only slot (with its release) and frees
/// the object.
typedef void (*QelPoolCleanupFn)();

/// The list of clean-up functions of one library.
///
/// cleanup() runs them in the reverse order of their linking. The list's
/// destructor does not run them: a library's owner calls cleanup() once, at
/// the very end (qeldom's qelDomCleanup does).
class QELRT_API QelPoolCtrlList {
 public:
  /// An empty list.
  QelPoolCtrlList() = default;
  QelPoolCtrlList(const QelPoolCtrlList&) = delete;             ///< Not copyable.
  QelPoolCtrlList& operator=(const QelPoolCtrlList&) = delete;  ///< Not copyable.
  /// Links `fn` unless it is linked already. The list holds eight functions:
  /// a ninth raises a QelError with QELRT_POOL_LIST_FULL and links nothing.
  void link(QelPoolCleanupFn fn);
  /// Runs the linked functions, the last linked first, and empties the list.
  void cleanup();

 private:
  static constexpr int s_capacity = 8;
  std::mutex m_lock;
  QelPoolCleanupFn m_fns[s_capacity] = {};
  int m_count = 0;
};

/// A once-only slot: an object made on first use, under a lock, by one
/// thread, and read without the lock once it is there.
///
/// The state byte is 0 at load, 1 once initialised and 2 after a recorded
/// failure; the object is valid when the state is 1. Both are read without a
/// lock on the fast path (acquire and release atomics).
class QELRT_API QelPoolCtrl {
 public:
  /// An empty slot (state 0), made at load without running code.
  constexpr QelPoolCtrl() = default;
  QelPoolCtrl(const QelPoolCtrl&) = delete;             ///< Not copyable.
  QelPoolCtrl& operator=(const QelPoolCtrl&) = delete;  ///< Not copyable.

  /// The state byte: 0 empty, 1 initialised, 2 failed.
  unsigned char state() const { return m_state.load(std::memory_order_acquire); }
  /// The object; valid when the state is 1.
  void* object() const { return m_object.load(std::memory_order_acquire); }

  /// Runs `initFn` under `lock` unless the slot is initialised, then returns
  /// the object. Raises again (as QelError) the error that `initFn` recorded,
  /// to this and every later caller; returns null when `initFn` neither
  /// stored an object nor recorded an error. What `initFn` throws passes
  /// through.
  void* init(std::mutex& lock, QelPoolInitFn initFn);
  /// The object without taking the lock when the slot is initialised, else
  /// init().
  void* get(std::mutex& lock, QelPoolInitFn initFn) {
    if (state() == 1) return object();
    return init(lock, initFn);
  }
  /// Inside `initFn`: links `cleanupFn` into `list`, stores `object` and sets
  /// the state to 1. When the clean-up cannot be linked, raises that error and
  /// stores nothing: the object stays the caller's. `reserved` is not used.
  void initOk(void* object, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  /// Inside `initFn`: links `cleanupFn` into `list` and records a copy of
  /// `error` (state 2), which every later init() raises again; the clean-up
  /// function's release() forgets it. `reserved` is not used.
  void initError(const QelError& error, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  /// In the clean-up function: takes the object back (null when there is
  /// none), forgets a recorded error and resets the state to 0.
  void* release();

 private:
  std::atomic<unsigned char> m_state{0};
  std::atomic<void*> m_object{nullptr};
  QelError* m_error = nullptr;  // owned; written under the slot's lock
};
