// qelParseDoc on arbitrary bytes. A hash of the input chooses the option word
// (every combination of the five bits) and where the nodes go: a new
// document, or under the root element, an inner element or the document node
// of an existing document. Only the documented exceptions may escape: a
// QelError for a malformed input, or with QEL_PARSE_XERCES_EXCEPTIONS the
// Xerces-C exception itself; under the document node, which has a document
// element already, the parse is refused (QELRC_DOM_API_ERROR). The existing document stays well-formed whether
// the parse succeeds or not: written out it parses again.
#include <cstdint>
#include <new>
#include <string>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include "fuzz_common.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

const char s_existing[] = "<root a=\"1\"><inner>text<![CDATA[<x>]]></inner><!--note--><?pi data?></root>";

uint32_t hash(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

// Parses, and tells whether the exception that ended it (if any) is one the
// options allow.
DOMDocument* parse(const uint8_t* data, size_t size, DOMNode* parent, unsigned long opt) {
  const bool passOn = opt & QEL_PARSE_XERCES_EXCEPTIONS;
  try {
    DOMDocument* doc = parent ? qelParseDoc(data, size, parent, opt) : qelParseDoc(data, size, opt, nullptr);
    FUZZ_CHECK(doc != nullptr, "null document");
    return doc;
  } catch (const QelError& e) {
    const long expected = parent && parent->getNodeType() == DOMNode::DOCUMENT_NODE ? QELRC_DOM_API_ERROR
                                                                                    : QELRC_DOM_INVALID_XML_DOCUMENT;
    FUZZ_CHECK(e.getRc() == expected, "error %ld (%s): %s", e.getRc(), e.getRcName().c_str(), e.getMessage());
  } catch (const SAXParseException& e) {
    FUZZ_CHECK(passOn, "SAXParseException without QEL_PARSE_XERCES_EXCEPTIONS: %s", fuzz::show(e.getMessage()).c_str());
  } catch (const XMLException& e) {
    FUZZ_CHECK(passOn, "XMLException without QEL_PARSE_XERCES_EXCEPTIONS: %s", fuzz::show(e.getMessage()).c_str());
  } catch (const DOMException& e) {
    FUZZ_CHECK(passOn, "DOMException %d without QEL_PARSE_XERCES_EXCEPTIONS: %s", static_cast<int>(e.code),
               fuzz::show(e.getMessage()).c_str());
  } catch (const std::bad_alloc&) {
    // out of memory is documented for every call
  }
  return nullptr;
}

void checkWellFormed(const DOMDocument* doc, const char* where) {
  std::string bytes;
  try {
    bytes = fuzz::write(doc, 0, "UTF-8");
  } catch (const QelError& e) {
    FUZZ_CHECK(false, "the existing document (%s) cannot be written: %s", where, e.getMessage());
  }
  try {
    DOMDocument* again = qelParseDoc(bytes.data(), bytes.size(), 0, "UTF-8");
    again->release();
  } catch (const QelError& e) {
    FUZZ_CHECK(false, "the existing document (%s) is no longer well-formed: %s\n%s", where, e.getMessage(),
               bytes.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzz::mayReachOutside(data, size)) return 0;
  fuzz::init();
  const uint32_t h = hash(data, size);
  const unsigned long opt = h & 0x1F;

  if (DOMDocument* doc = parse(data, size, nullptr, opt)) {
    FUZZ_CHECK(doc->getDocumentElement() != nullptr, "a new document without a root element");
    doc->release();
  }

  DOMDocument* existing = qelParseDoc(s_existing, sizeof s_existing - 1, 0, nullptr);
  DOMElement* root = existing->getDocumentElement();
  static const char* const s_places[] = {"root element", "inner element", "document node"};
  const unsigned place = (h >> 5) % 3;
  DOMNode* parent = place == 0 ? static_cast<DOMNode*>(root) : place == 1 ? root->getFirstChild() : existing;
  if (DOMDocument* doc = parse(data, size, parent, opt)) {
    FUZZ_CHECK(doc == existing, "a parse under a parent returned another document");
  }
  checkWellFormed(existing, s_places[place]);
  existing->release();
  return 0;
}
