// Once-only slots and the list of clean-up functions they link into.
#pragma once

#include <atomic>
#include <mutex>

#include "qelrtdefs.hpp"

class QelError;

// The return code of a clean-up list that has no room left.
constexpr long QELRT_POOL_LIST_FULL = 21031;

// Once-only slots. A slot's state byte is 0 at load, 1 once initialised and 2
// after a recorded failure; the object pointer is valid when the state is 1.
// Both are read without a lock on the fast path (acquire/release atomics).
class QelPoolCtrl;
typedef void (*QelPoolInitFn)();
typedef void (*QelPoolCleanupFn)();

// The list of clean-up functions of one library. cleanup() runs them in the
// reverse order of their linking; the list's destructor does not run them
// (see qelpool.cpp for why).
class QELRT_API QelPoolCtrlList {
 public:
  QelPoolCtrlList() = default;
  QelPoolCtrlList(const QelPoolCtrlList&) = delete;
  QelPoolCtrlList& operator=(const QelPoolCtrlList&) = delete;
  // Links the function unless it is linked already. The list holds eight: a
  // ninth raises a QelError with QELRT_POOL_LIST_FULL and links nothing.
  void link(QelPoolCleanupFn fn);
  void cleanup();

 private:
  static constexpr int s_capacity = 8;
  std::mutex m_lock;
  QelPoolCleanupFn m_fns[s_capacity] = {};
  int m_count = 0;
};

class QELRT_API QelPoolCtrl {
 public:
  constexpr QelPoolCtrl() = default;
  QelPoolCtrl(const QelPoolCtrl&) = delete;
  QelPoolCtrl& operator=(const QelPoolCtrl&) = delete;

  unsigned char state() const { return m_state.load(std::memory_order_acquire); }
  void* object() const { return m_object.load(std::memory_order_acquire); }

  // Runs initFn under the lock unless the slot is initialised, then returns the
  // object, or raises again the error that initFn recorded.
  void* init(std::mutex& lock, QelPoolInitFn initFn);
  // Fast path without the lock when initialised, else init().
  void* get(std::mutex& lock, QelPoolInitFn initFn) {
    if (state() == 1) return object();
    return init(lock, initFn);
  }
  // Inside initFn: store the object, set the state to 1 and link the clean-up.
  // When the clean-up cannot be linked, raises that error and stores nothing:
  // the object stays the caller's.
  void initOk(void* object, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  // Inside initFn: record the error; every later init() raises it again.
  void initError(const QelError& error, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  // In the clean-up function: take the object back (or null) and reset the slot.
  void* release();

 private:
  std::atomic<unsigned char> m_state{0};
  std::atomic<void*> m_object{nullptr};
  QelError* m_error = nullptr;  // owned; written under the slot's lock
};
