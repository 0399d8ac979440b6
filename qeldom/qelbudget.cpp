// The bounds of a parse, counted as the scanner allocates (see qelbudget.hpp),
// and the process-wide setting that every new parser starts from.
#include "qelbudget.hpp"

#include <atomic>
#include <cstring>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/BinMemInputStream.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "qelframe.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

// The process-wide bounds that new parsers take (qelSetParseLimits).
std::atomic<XMLSize_t> s_expansionLimit{QelXmlParser::s_defaultEntityExpansionLimit};
std::atomic<XMLSize_t> s_textLimit{QelXmlParser::s_defaultEntityTextLimit};

// What Xerces-C's placement new asks of a memory manager for an object: a
// header that points back to the manager, then the object.
XMLSize_t headerSize() { return XMLPlatformUtils::alignPointerForNewBlockAllocation(sizeof(MemoryManager*)); }

// ReaderMgr::createIntEntReader, the one maker of readers over an internal
// entity's value, allocates a BinMemInputStream over the value and, as its
// very next allocation, the XMLReader.
XMLSize_t streamBlock() { return headerSize() + sizeof(BinMemInputStream); }
XMLSize_t readerBlock() { return headerSize() + sizeof(XMLReader); }

const BinMemInputStream* streamIn(const void* block) {
  return reinterpret_cast<const BinMemInputStream*>(static_cast<const char*>(block) + headerSize());
}

// The first word of a BinMemInputStream (its virtual table).
const void* streamVtable() {
  BinMemInputStream probe(nullptr, 0, BinMemInputStream::BufOpt_Reference);
  const void* word;
  std::memcpy(&word, static_cast<const void*>(&probe), sizeof word);
  return word;
}

}  // namespace

void qelSetParseLimits(XMLSize_t expansions, XMLSize_t textUnits) {
  s_expansionLimit.store(expansions, std::memory_order_relaxed);
  s_textLimit.store(textUnits, std::memory_order_relaxed);
}

void qelGetParseLimits(XMLSize_t& expansions, XMLSize_t& textUnits) {
  expansions = s_expansionLimit.load(std::memory_order_relaxed);
  textUnits = s_textLimit.load(std::memory_order_relaxed);
}

namespace qel_detail {

ScanBudget::ScanBudget()
    : m_expansionLimit(s_expansionLimit.load(std::memory_order_relaxed)),
      m_textLimit(s_textLimit.load(std::memory_order_relaxed)) {}

void ScanBudget::start(const XMLScanner* scanner) {
  m_scanner = scanner;
  m_expansions = 0;
  m_text = 0;
  m_exceeded = Exceeded::None;
  m_last = nullptr;
  m_lastSize = 0;
}

// A block of a stream's size just before a reader's could be anything of the
// same size: it is taken for the entity's stream only when it starts with the
// stream class's virtual table.
bool ScanBudget::isEntityStream(const void* block) const {
  static const void* const s_vtable = streamVtable();
  const void* word;
  std::memcpy(&word, static_cast<const void*>(streamIn(block)), sizeof word);
  return word == s_vtable;
}

void ScanBudget::exceed(Exceeded bound) {
  if (m_exceeded != Exceeded::None) return;
  m_exceeded = bound;
  const ReaderMgr& readers = *m_scanner->getReaderMgr();
  if (!readers.getCurrentReader()) return;
  m_systemId = readers.getSystemId() ? readers.getSystemId() : u"";
  m_line = readers.getLineNumber();
  m_column = readers.getColumnNumber();
}

void ScanBudget::countExpansion(XMLSize_t units) {
  ++m_expansions;
  m_text += units;
  if (m_expansionLimit && m_expansions > m_expansionLimit)
    exceed(Exceeded::Expansions);
  else if (m_textLimit && m_text > m_textLimit)
    exceed(Exceeded::Text);
  else if (m_scanner->getReaderMgr()->getReaderDepth() >= s_maxEntityDepth)
    exceed(Exceeded::Depth);
}

void ScanBudget::countExternal() {
  if (!m_scanner) return;
  countExpansion(0);
  check();
}

void ScanBudget::countExternalBytes(XMLSize_t bytes) {
  if (!m_scanner) return;
  m_text += bytes;
  if (m_textLimit && m_text > m_textLimit) exceed(Exceeded::Text);
}

void ScanBudget::check() {
  if (m_exceeded == Exceeded::None || !m_scanner) return;
  const Exceeded exceeded = m_exceeded;
  m_exceeded = Exceeded::None;
  std::string text;
  switch (exceeded) {
    case Exceeded::Expansions:
      text = QelInsert::subst("The document exceeds the limit of %s entity expansions",
                              ValueInsert<XMLSize_t>(m_expansionLimit));
      break;
    case Exceeded::Text:
      text = QelInsert::subst("The entity text of the document exceeds the limit of %s characters",
                              ValueInsert<XMLSize_t>(m_textLimit));
      break;
    default:
      text = QelInsert::subst("The entity references of the document nest deeper than %s levels",
                              ValueInsert<XMLSize_t>(s_maxEntityDepth));
      break;
  }
  const std::u16string message = qelToUnicode(text.c_str(), QEL_WHOLE, false);
  throw SAXParseException(message.c_str(), nullptr, m_systemId.c_str(), m_line, m_column);
}

// A bound exceeded by the last expansion is raised when the next one begins:
// the allocation of its stream is the first thing it does, so nothing is
// half made when the exception leaves.
void* ScanBudget::allocate(XMLSize_t size) {
  if (m_scanner && size == streamBlock()) check();
  void* block = XMLPlatformUtils::fgMemoryManager->allocate(size);
  if (m_scanner) {
    if (size == readerBlock() && m_lastSize == streamBlock() && isEntityStream(m_last))
      countExpansion(static_cast<XMLSize_t>(streamIn(m_last)->getSize()) / sizeof(XMLCh));
    m_last = block;
    m_lastSize = size;
  }
  return block;
}

void ScanBudget::deallocate(void* p) {
  if (p == m_last) m_last = nullptr, m_lastSize = 0;
  XMLPlatformUtils::fgMemoryManager->deallocate(p);
}

MemoryManager* ScanBudget::getExceptionMemoryManager() {
  return XMLPlatformUtils::fgMemoryManager->getExceptionMemoryManager();
}

}  // namespace qel_detail
