// Once-only slots and their clean-up list.
//
// The clean-up list is run only when its owner asks for it (cleanup()). A
// library's list is never run from a static destructor: at process exit other
// static objects of the caller may still hold documents, and terminating
// Xerces-C under them would free their memory manager.
#include "qelpool.hpp"

#include <string>

#include "qelerror.hpp"

// A library links one clean-up function per once-only slot, so a full list
// means functions are being made anew (one per call, say). Dropping the ninth
// would leave its object unreleased without a word, and growing would hide the
// fault: the caller's initialisation fails instead, at once and every time.
void QelPoolCtrlList::link(QelPoolCleanupFn fn) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (int i = 0; i < m_count; ++i)
      if (m_fns[i] == fn) return;
    if (m_count < s_capacity) {
      m_fns[m_count++] = fn;
      return;
    }
  }
  QelErrorFull(QELRT_POOL_LIST_FULL, "QELRC_POOL_LIST_FULL", 101, "QELOP_REPOSITORY", 0, nullptr, 0, 2, __LINE__,
               "QelPoolCtrlList::link", "$Revision: 1.1 $", "runtime/qelpool", __DATE__,
               "The clean-up list is full: it holds " + std::to_string(s_capacity) + " functions", nullptr)
      .logRaise();
}

void QelPoolCtrlList::cleanup() {
  QelPoolCleanupFn fns[s_capacity];
  int count;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    count = m_count;
    for (int i = 0; i < count; ++i) fns[i] = m_fns[i];
    m_count = 0;
  }
  for (int i = count - 1; i >= 0; --i) fns[i]();
}

void* QelPoolCtrl::init(std::mutex& lock, QelPoolInitFn initFn) {
  std::lock_guard<std::mutex> guard(lock);
  if (state() != 1) initFn();
  if (state() == 1) return object();
  if (m_error) throw QelError(*m_error);
  return nullptr;
}

void QelPoolCtrl::initOk(void* object, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int) {
  list.link(cleanupFn);
  m_object.store(object, std::memory_order_release);
  m_state.store(1, std::memory_order_release);
}

void QelPoolCtrl::initError(const QelError& error, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int) {
  list.link(cleanupFn);
  delete m_error;
  m_error = new QelError(error);
  m_state.store(2, std::memory_order_release);
}

void* QelPoolCtrl::release() {
  void* object = m_object.exchange(nullptr, std::memory_order_acq_rel);
  m_state.store(0, std::memory_order_release);
  delete m_error;
  m_error = nullptr;
  return object;
}
