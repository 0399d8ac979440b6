// The allocation relay.
#include "qelnewrl.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<unsigned long> s_count{0};
std::atomic<long> s_failAt{0};  // 0: never fail; else the count at which failures begin
}  // namespace

bool QelNewRelay::admit() noexcept {
  unsigned long n = s_count.fetch_add(1, std::memory_order_relaxed) + 1;
  long failAt = s_failAt.load(std::memory_order_relaxed);
  return failAt <= 0 || n < static_cast<unsigned long>(failAt);
}

void* QelNewRelay::newOperNoThrow(size_t size) noexcept {
  if (!admit()) return nullptr;
  return ::operator new(size ? size : 1, std::nothrow);
}

void QelNewRelay::deleteOper(void* p) noexcept { ::operator delete(p); }

void* QelNewRelay::newOper(size_t size) {
  void* p = newOperNoThrow(size);
  if (!p) throw std::bad_alloc();
  return p;
}

void QelNewRelay::failAfter(long n) {
  s_failAt.store(n > 0 ? static_cast<long>(s_count.load() + n) : 0, std::memory_order_relaxed);
}

unsigned long QelNewRelay::count() { return s_count.load(std::memory_order_relaxed); }
