// qelnewrl: the allocation relay. Every allocation made through the
// operator new of a library that uses the relay lands here; the memory is
// released with free.
#pragma once

#include <cstddef>

#include "qelutil.hpp"

class QELRT_API QelNewRelay {
 public:
  // Memory for `size` bytes; throws std::bad_alloc when there is none.
  static void* newOper(size_t size);
  // Memory for `size` bytes, or null when there is none.
  static void* newOperNoThrow(size_t size) noexcept;
  // Fault injection for tests: the n-th allocation from now on (1 = the next
  // one) fails, and every one after it until the counter is set again; 0
  // switches failures off.
  static void failAfter(long n);
  // Number of allocations served since the process started.
  static unsigned long count();
};
