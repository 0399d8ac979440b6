// Internal to the library: the memory manager it gives Xerces-C.
#pragma once

#include <cstddef>
#include <xercesc/framework/MemoryManager.hpp>

namespace qel_detail {

// Every request of Xerces-C goes to the allocation relay, so Xerces-C's
// memory is the library's memory; a failure is Xerces-C's
// OutOfMemoryException, as with its own manager. The large blocks a released
// document gives back are kept, up to s_blockCacheLimit bytes, for the next
// document's heap: a parse then writes into memory the process already has
// instead of faulting in fresh pages. The manager is never destroyed: a
// caller may release documents from static destructors that run after the
// library's.
XERCES_CPP_NAMESPACE::MemoryManager& xercesMemory();

// At most this many bytes of released blocks are kept.
constexpr std::size_t s_blockCacheLimit = std::size_t(64) << 20;

// Gives the kept blocks back to the relay (qelDomCleanup does).
void emptyBlockCache();

// Bytes kept at the moment.
std::size_t blockCacheSize();

}  // namespace qel_detail
