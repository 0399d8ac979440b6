// The memory manager the library gives Xerces-C: the allocation relay, and a
// bounded cache of the blocks that document heaps are made of.
#include "qelmem.hpp"

#include <mutex>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "qelnewrl.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

// Each block carries its size in front of it: deallocate is not told the size,
// and the cache keeps blocks by size. The header keeps the block aligned for
// any type.
constexpr std::size_t kHeader = alignof(std::max_align_t);

// A Xerces-C document takes its heap in blocks of 16 KiB, doubling up to
// 512 KiB (DOMDocumentImpl::allocate). Blocks whose size is a power of two
// from 16 KiB to 1 MiB are kept, one free list per size.
constexpr unsigned kMinShift = 14;
constexpr unsigned kMaxShift = 20;
constexpr int kClasses = kMaxShift - kMinShift + 1;

// The free list of a block size, or -1 for a size that is not kept.
int sizeClass(std::size_t size) {
  if (size < (std::size_t(1) << kMinShift) || size > (std::size_t(1) << kMaxShift) || (size & (size - 1))) return -1;
  return __builtin_ctzll(size) - kMinShift;
}

class CachingMemoryManager : public MemoryManager {
 public:
  MemoryManager* getExceptionMemoryManager() override { return this; }

  void* allocate(XMLSize_t size) override {
    const int cls = sizeClass(size);
    if (cls >= 0) {
      if (void* block = take(cls, size)) return block;
    }
    auto* raw = static_cast<unsigned char*>(QelNewRelay::newOperNoThrow(size + kHeader));
    if (!raw) throw OutOfMemoryException();
    *reinterpret_cast<std::size_t*>(raw) = size;
    return raw + kHeader;
  }

  void deallocate(void* p) override {
    if (!p) return;
    auto* raw = static_cast<unsigned char*>(p) - kHeader;
    const std::size_t size = *reinterpret_cast<std::size_t*>(raw);
    const int cls = sizeClass(size);
    if (cls >= 0 && keep(cls, size, p)) return;
    QelNewRelay::deleteOper(raw);
  }

  void empty() {
    FreeBlock* lists[kClasses];
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (int cls = 0; cls < kClasses; ++cls) lists[cls] = m_free[cls], m_free[cls] = nullptr;
      m_bytes = 0;
    }
    for (FreeBlock* list : lists) {
      while (list) {
        FreeBlock* next = list->next;
        QelNewRelay::deleteOper(reinterpret_cast<unsigned char*>(list) - kHeader);
        list = next;
      }
    }
  }

  std::size_t size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bytes;
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };

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

  bool keep(int cls, std::size_t size, void* p) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bytes + size > qel_detail::s_blockCacheLimit) return false;
    auto* block = static_cast<FreeBlock*>(p);
    block->next = m_free[cls];
    m_free[cls] = block;
    m_bytes += size;
    return true;
  }

  std::mutex m_lock;
  FreeBlock* m_free[kClasses] = {};
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

std::size_t qel_detail::blockCacheSize() { return s_xercesMemory.manager.size(); }
