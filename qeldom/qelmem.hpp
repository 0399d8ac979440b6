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
// instead of faulting in fresh pages (a third of a parse's time otherwise).
// The system may take their pages back when it runs short of memory. The
// manager is never destroyed: a caller may release documents from static
// destructors that run after the library's.
XERCES_CPP_NAMESPACE::MemoryManager& xercesMemory();

// At most this many bytes of released blocks are kept: the heap of a
// document of about 30 MB of record-like XML.
constexpr std::size_t s_blockCacheLimit = std::size_t(512) << 20;

// Gives the kept blocks back to the relay (qelDomCleanup does).
void emptyBlockCache();

}  // namespace qel_detail
