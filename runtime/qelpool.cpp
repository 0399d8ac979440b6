// Once-only slots and their clean-up list.
//
// The clean-up list is run only when its owner asks for it (cleanup()). A
// library's list is never run from a static destructor: at process exit other
// static objects of the caller may still hold documents, and terminating
// Xerces-C under them would free their memory manager.
#include "qelpool.hpp"

#include "qelerror.hpp"

void QelPoolCtrlList::link(QelPoolCleanupFn fn) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (int i = 0; i < m_count; ++i)
    if (m_fns[i] == fn) return;
  if (m_count < static_cast<int>(sizeof m_fns / sizeof m_fns[0])) m_fns[m_count++] = fn;
}

void QelPoolCtrlList::cleanup() {
  QelPoolCleanupFn fns[sizeof m_fns / sizeof m_fns[0]];
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
