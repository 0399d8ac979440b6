/// \file
/// qelnewrl: the allocation relay.
///
/// Every allocation made through the operator new of a library that uses the
/// relay lands here, and every release through its operator delete. The relay
/// takes the memory from the process's own operator new and gives it back to
/// its operator delete: memory the library allocates and the caller releases
/// (a returned std::string, say), or the other way round, always meets the
/// same allocator, whatever the caller's program uses.
#pragma once

#include <cstddef>

#include "qelrtdefs.hpp"

/// The allocation relay: static functions only.
class QELRT_API QelNewRelay {
 public:
  /// Memory for `size` bytes (at least one); throws std::bad_alloc when there
  /// is none.
  static void* newOper(size_t size);
  /// Memory for `size` bytes (at least one), or null when there is none.
  static void* newOperNoThrow(size_t size) noexcept;
  /// Releases memory of newOper or newOperNoThrow; null is allowed.
  static void deleteOper(void* p) noexcept;
  /// Counts a request that the caller serves from memory it already holds (a
  /// cache of its own) as an allocation; false when fault injection fails it.
  static bool admit() noexcept;
  /// Fault injection for tests: the `n`-th allocation from now on (1 = the
  /// next one) fails, and every one after it until the counter is set again;
  /// 0 switches failures off.
  static void failAfter(long n);
  /// The number of allocations served since the process started.
  static unsigned long count();
};
