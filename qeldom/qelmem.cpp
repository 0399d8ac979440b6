// The memory manager the library gives Xerces-C: the allocation relay, and a
// bounded cache of the blocks that document heaps are made of.
#include "qelmem.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "qelnewrl.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

// Each block carries its size in front of it: deallocate is not told the size,
// and the cache keeps blocks by size. The header keeps the block aligned for
// any type.
constexpr std::size_t s_header = alignof(std::max_align_t);

// A Xerces-C document takes its heap in blocks of 16 KiB, doubling up to
// 512 KiB (DOMDocumentImpl::allocate). Blocks whose size is a power of two
// from 16 KiB to 1 MiB are kept, one free list per size.
constexpr unsigned s_minShift = 14;
constexpr unsigned s_maxShift = 20;
constexpr int s_classes = s_maxShift - s_minShift + 1;

// The free list of a block size, or -1 for a size that is not kept.
int sizeClass(std::size_t size) {
  if (size < (std::size_t(1) << s_minShift) || size > (std::size_t(1) << s_maxShift) || (size & (size - 1))) return -1;
  return __builtin_ctzll(size) - s_minShift;
}

class CachingMemoryManager : public MemoryManager {
 public:
  MemoryManager* getExceptionMemoryManager() override { return this; }

  void* allocate(XMLSize_t size) override {
    const int cls = sizeClass(size);
    if (cls >= 0) {
      if (void* block = take(cls, size)) return block;
    }
    auto* raw = static_cast<unsigned char*>(QelNewRelay::newOperNoThrow(size + s_header));
    if (!raw) throw OutOfMemoryException();
    *reinterpret_cast<std::size_t*>(raw) = size;
    return raw + s_header;
  }

  void deallocate(void* p) override {
    if (!p) return;
    auto* raw = static_cast<unsigned char*>(p) - s_header;
    const std::size_t size = *reinterpret_cast<std::size_t*>(raw);
    const int cls = sizeClass(size);
    FreeBlock* evicted = nullptr;
    if (cls >= 0) lazyFree(p, size);  // before another thread can take it from the cache
    if (cls < 0 || !keep(cls, size, static_cast<FreeBlock*>(p), evicted)) QelNewRelay::deleteOper(raw);
    release(evicted);
  }

  void empty() {
    FreeBlock* all = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (FreeBlock*& list : m_free) {
        while (FreeBlock* block = list) {
          list = block->next;
          block->next = all;
          all = block;
        }
      }
      m_bytes = 0;
    }
    release(all);
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };

  // The pages of a released block (but the first, which holds its size and
  // free list link) become the system's to take back when it runs short of
  // memory; until then the block is reused without a page fault.
  static void lazyFree(void* p, std::size_t size) {
#ifdef MADV_FREE
    const std::uintptr_t page = 4096, at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t start = (at + sizeof(FreeBlock) + page - 1) & ~(page - 1), end = (at + size) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_FREE);
#endif
  }

  static bool above(const FreeBlock* a, const FreeBlock* b) {
    return reinterpret_cast<std::uintptr_t>(a) > reinterpret_cast<std::uintptr_t>(b);
  }

  static std::size_t sizeOf(int cls) { return std::size_t(1) << (cls + s_minShift); }

  static void release(FreeBlock* list) {
    while (list) {
      FreeBlock* next = list->next;
      QelNewRelay::deleteOper(reinterpret_cast<unsigned char*>(list) - s_header);
      list = next;
    }
  }

  // A kept block of the size, or null. A block from the cache is still an
  // allocation to the relay's fault injection.
  void* take(int cls, std::size_t size) {
    std::lock_guard<std::mutex> guard(m_lock);
    FreeBlock* block = m_free[cls];
    if (!block) return nullptr;
    if (!QelNewRelay::admit()) throw OutOfMemoryException();
    m_free[cls] = block->next;
    m_bytes -= size;
    return block;
  }

  // Of the released blocks the cache keeps those lowest in memory, within
  // its limit: a heap that grows upwards (glibc's) gives the memory above its
  // highest block in use back to the system, and a kept block near the top
  // would hold the whole heap below it resident. Each free list runs from
  // the highest block down. Blocks pushed out are added to `evicted`.
  bool keep(int cls, std::size_t size, FreeBlock* block, FreeBlock*& evicted) {
    std::lock_guard<std::mutex> guard(m_lock);
    while (m_bytes + size > qel_detail::s_blockCacheLimit) {
      int highest = -1;
      for (int c = 0; c < s_classes; ++c)
        if (m_free[c] && (highest < 0 || above(m_free[c], m_free[highest]))) highest = c;
      if (highest < 0 || above(block, m_free[highest])) return false;
      FreeBlock* victim = m_free[highest];
      m_free[highest] = victim->next;
      m_bytes -= sizeOf(highest);
      victim->next = evicted;
      evicted = victim;
    }
    FreeBlock** at = &m_free[cls];
    while (*at && above(*at, block)) at = &(*at)->next;
    block->next = *at;
    *at = block;
    m_bytes += size;
    return true;
  }

  std::mutex m_lock;
  FreeBlock* m_free[s_classes] = {};
  std::size_t m_bytes = 0;
};

union ImmortalMemoryManager {
  ImmortalMemoryManager() : manager() {}
  ~ImmortalMemoryManager() {}
  CachingMemoryManager manager;
};
ImmortalMemoryManager s_xercesMemory;

}  // namespace

MemoryManager& qel_detail::xercesMemory() { return s_xercesMemory.manager; }

void qel_detail::emptyBlockCache() { s_xercesMemory.manager.empty(); }
