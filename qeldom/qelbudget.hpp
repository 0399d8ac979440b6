// The bounds of one parse: how many entity expansions it makes, how much text
// they bring in and how deep they nest. Counted while Xerces-C's scanner runs,
// so that a runaway expansion stops before it has grown, wherever it happens:
// in element content, in an attribute value or in an entity value inside the
// document type definition.
#pragma once

#include <string>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/internal/XMLScanner.hpp>

namespace qel_detail {

// The memory manager of a parser's scanner. Xerces-C offers no event for an
// internal entity being expanded (none at all for parameter entities), but
// every expansion creates a reader over the entity's value, and the scanner
// allocates that reader through its memory manager: this manager recognises
// the allocations, counts the expansion and the length of the value, and
// raises a bound that has been exceeded at the next expansion, before its
// reader exists. External entities are counted by the entity resolver and by
// the streams that read them (countExternal, countExternalBytes).
//
// Everything is forwarded to Xerces-C's own memory manager. The document
// tree is not allocated here (see QelXmlParser::startDocument).
class ScanBudget : public XERCES_CPP_NAMESPACE::MemoryManager {
 public:
  ScanBudget();  // the limits of the process-wide setting

  // 0 removes a bound.
  void setExpansionLimit(XMLSize_t limit) { m_expansionLimit = limit; }
  void setTextLimit(XMLSize_t limit) { m_textLimit = limit; }
  XMLSize_t textLimit() const { return m_textLimit; }

  // Counting runs from start to stop, the scan of one document.
  void start(const XERCES_CPP_NAMESPACE::XMLScanner* scanner);
  void stop() { m_scanner = nullptr; }

  // An external entity or DTD is being opened.
  void countExternal();
  // Bytes read from an external entity (they count as characters).
  void countExternalBytes(XMLSize_t bytes);
  // Raises the bound exceeded since the last check (a SAXParseException at
  // the scanner's position), if any.
  void check();

  void* allocate(XMLSize_t size) override;
  void deallocate(void* p) override;
  XERCES_CPP_NAMESPACE::MemoryManager* getExceptionMemoryManager() override;

 private:
  enum class Exceeded { None, Expansions, Text, Depth };
  void exceed(Exceeded bound);
  void countExpansion(XMLSize_t units);
  bool isEntityStream(const void* block) const;

  XMLSize_t m_expansionLimit;
  XMLSize_t m_textLimit;
  const XERCES_CPP_NAMESPACE::XMLScanner* m_scanner = nullptr;
  XMLSize_t m_expansions = 0;
  XMLSize_t m_text = 0;
  Exceeded m_exceeded = Exceeded::None;
  // Where the scanner stood when the bound was exceeded: the check may come
  // when the scan is over.
  std::u16string m_systemId;
  XMLFileLoc m_line = 0;
  XMLFileLoc m_column = 0;
  // The block the scanner asked for last, and its size.
  const void* m_last = nullptr;
  XMLSize_t m_lastSize = 0;
};

// Entity references nest at most this deep in one parse: each level holds a
// reader of 160 KB, and Xerces-C checks a new level against all the open ones.
constexpr XMLSize_t s_maxEntityDepth = 64;

}  // namespace qel_detail
