// The library frame: its allocation relay, the once-only start of Xerces-C,
// DOM editing in one call, text extraction and node removal, and the
// diagnostics that turn nodes and exceptions into text.
#include "qeldom.hpp"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PanicHandler.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

#include "qelframe.hpp"
#include "qelmem.hpp"
#include "qelnewrl.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qeldom", "$Revision: 1.12 $");

// --- the library's operator new ---------------------------------------------------
// Every allocation the library makes with new goes through the allocation
// relay. These definitions are kept out of the library's dynamic symbol table
// (qeldom.map), so the caller's program keeps its own operator new.

void* operator new(std::size_t size) { return QelNewRelay::newOper(size); }
void* operator new[](std::size_t size) { return QelNewRelay::newOper(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return QelNewRelay::newOperNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return QelNewRelay::newOperNoThrow(size); }
void operator delete(void* p) noexcept { QelNewRelay::deleteOper(p); }
void operator delete[](void* p) noexcept { QelNewRelay::deleteOper(p); }
void operator delete(void* p, std::size_t) noexcept { QelNewRelay::deleteOper(p); }
void operator delete[](void* p, std::size_t) noexcept { QelNewRelay::deleteOper(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { QelNewRelay::deleteOper(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { QelNewRelay::deleteOper(p); }

// --- platform start-up ---------------------------------------------------------------

namespace {

// Xerces-C reports its hard start-up failures to a panic handler whose default
// ends the process. This one throws, so that the failure becomes the
// library's "XERCES initialization error".
struct Panic {
  PanicHandler::PanicReasons reason;
};
class ThrowingPanicHandler : public PanicHandler {
 public:
  void panic(const PanicReasons reason) override { throw Panic{reason}; }
};
ThrowingPanicHandler s_panicHandler;

// Its construction starts Xerces-C, its destruction terminates it.
class QelDomPlatform {
 public:
  QelDomPlatform();
  ~QelDomPlatform();
};

// The full message is kept, whatever its length (no fixed text buffer).
std::string xercesMessage(const char* format, const std::string& detail) {
  std::string text = format;
  return text.replace(text.find("%s"), 2, detail);
}

QelDomPlatform::QelDomPlatform() {
  QEL_TRACE_ENTER("tavDomInit");
  QEL_TRACE_ARGS("");
  bool failed = false;
  std::string failure;
  try {
    XMLPlatformUtils::Initialize(XMLUni::fgXercescDefaultLocale, nullptr, &s_panicHandler, &qel_detail::xercesMemory());
  } catch (const XMLException& e) {
    failed = true;
    failure = qelToMbcs(e.getMessage());
  } catch (const Panic& p) {
    failed = true;
    failure = PanicHandler::getPanicReasonString(p.reason);
  } catch (const OutOfMemoryException&) {
    // Not an XMLException in Xerces-C 3.2. Xerces-C counts itself started
    // from its first step on, so it must never be asked again: recorded in
    // the slot like any other start failure.
    failed = true;
    failure = "out of memory";
  }
  if (failed) {
    QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavDomInit", xercesMessage("XERCES initialization error: %s", failure));
  }
  QEL_TRACE_FLOW("XERCES has been initialized successfully.");
  QEL_TRACE_EXIT();
}

QelDomPlatform::~QelDomPlatform() {
  QEL_TRACE_ENTER("tavDomTerminate");
  QEL_TRACE_ARGS("");
  try {
    XMLPlatformUtils::Terminate();
    QEL_TRACE_FLOW("XERCES has been terminated successfully.");
  } catch (const XMLException& e) {
    QEL_TRACE_ERROR(xercesMessage("XERCES termination error: %s", qelToMbcs(e.getMessage())));
  } catch (const QelError& e) {
    QEL_TRACE_ERROR(xercesMessage("XERCES termination error: %s", e.getMessage()));
  }
  QEL_TRACE_EXIT();
}

using Platform = qel_detail::OnceOnly<QelDomPlatform>;

}  // namespace

void tavDomInit() { Platform::get(); }

void qelDomCleanup() {
  qel_detail::poolList().cleanup();
  qel_detail::emptyBlockCache();
}

namespace {
// The library's own calls test the slot's state byte in place, without the
// call to the exported (and so interposable) tavDomInit.
inline void domInit() {
  if (!Platform::ready()) tavDomInit();
}
}  // namespace

// --- editing ---------------------------------------------------------------------------

namespace {

// The adding functions need a document to create the node with: a null
// parent has none, nor has a node created without one (a document type made
// by the DOM implementation and not attached).
DOMDocument* requireDoc(qel_detail::Trace& trc_, DOMNode* parent, const char* function) {
  DOMDocument* doc = tavGetDoc(parent);
  if (!doc)
    QEL_RAISE(
        QELRC_DOM_API_ERROR, 0, function,
        std::string(function) + (parent ? ": the parent node has no owner document" : ": the parent node is NULL"));
  return doc;
}

}  // namespace

DOMDocument* qelCreateDoc() {
  QEL_TRACE_ENTER("qelCreateDoc");
  QEL_TRACE_ARGS("");
  domInit();
  DOMDocument* doc = DOMImplementation::getImplementation()->createDocument();
  QEL_TRACE_EXIT();
  return doc;
}

DOMDocument* tavCreateDoc(const XMLCh* rootName) {
  QEL_TRACE_ENTER("tavCreateDoc");
  QEL_TRACE_ARGS("(" << qel_detail::u16(rootName) << ")");
  domInit();
  DOMDocument* doc = qelCreateDoc();
  try {
    tavAddElem(doc, rootName);
  } catch (...) {
    doc->release();  // the caller never sees this document
    throw;
  }
  QEL_TRACE_EXIT();
  return doc;
}

namespace {

// The shared body of the adding functions: after the entry line, find the
// parent's document, create the node with `make` and append it.
template <typename Node, typename Make>
Node* addChild(qel_detail::Trace& trc_, DOMNode* parent, const char* function, Make make) {
  domInit();
  Node* node = make(requireDoc(trc_, parent, function));
  parent->appendChild(node);
  QEL_TRACE_EXIT();
  return node;
}

}  // namespace

DOMElement* tavAddElem(DOMNode* parent, const XMLCh* name) {
  QEL_TRACE_ENTER("tavAddElem");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(name) << ")");
  return addChild<DOMElement>(trc_, parent, "tavAddElem", [&](DOMDocument* d) { return d->createElement(name); });
}

DOMText* tavAddText(DOMNode* parent, const XMLCh* text) {
  QEL_TRACE_ENTER("tavAddText");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(text) << ")");
  return addChild<DOMText>(trc_, parent, "tavAddText", [&](DOMDocument* d) { return d->createTextNode(text); });
}

DOMComment* tavAddComment(DOMNode* parent, const XMLCh* text) {
  QEL_TRACE_ENTER("tavAddComment");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(text) << ")");
  return addChild<DOMComment>(trc_, parent, "tavAddComment", [&](DOMDocument* d) { return d->createComment(text); });
}

DOMCDATASection* tavAddCDATA(DOMNode* parent, const XMLCh* text) {
  QEL_TRACE_ENTER("tavAddCDATA");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(text) << ")");
  return addChild<DOMCDATASection>(trc_, parent, "tavAddCDATA",
                                   [&](DOMDocument* d) { return d->createCDATASection(text); });
}

DOMEntityReference* tavAddEntRef(DOMNode* parent, const XMLCh* name) {
  QEL_TRACE_ENTER("tavAddEntRef");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(name) << ")");
  return addChild<DOMEntityReference>(trc_, parent, "tavAddEntRef",
                                      [&](DOMDocument* d) { return d->createEntityReference(name); });
}

DOMProcessingInstruction* tavAddPi(DOMNode* parent, const XMLCh* target, const XMLCh* data) {
  QEL_TRACE_ENTER("tavAddPi");
  QEL_TRACE_ARGS("(" << parent << ")(" << qel_detail::u16(target) << ")(" << qel_detail::u16(data) << ")");
  return addChild<DOMProcessingInstruction>(
      trc_, parent, "tavAddPi", [&](DOMDocument* d) { return d->createProcessingInstruction(target, data); });
}

DOMText* tavSetText(DOMNode* node, const XMLCh* text) {
  QEL_TRACE_ENTER("tavSetText");
  QEL_TRACE_ARGS("(" << node << ")(" << qel_detail::u16(text) << ")");
  domInit();
  if (!node) QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavSetText", "tavSetText: the node is NULL");
  DOMDocument* doc =
      node->getNodeType() == DOMNode::DOCUMENT_NODE ? static_cast<DOMDocument*>(node) : node->getOwnerDocument();
  if (!doc) QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavSetText", "tavSetText: the node has no owner document");
  DOMText* textNode = doc->createTextNode(text);
  node->appendChild(textNode);  // append first: a failure leaves the old children
  while (node->getFirstChild() != textNode) node->removeChild(node->getFirstChild());
  QEL_TRACE_EXIT();
  return textNode;
}

DOMDocument* tavGetDoc(DOMNode* node) {
  QEL_TRACE_ENTER("tavGetDoc");
  QEL_TRACE_ARGS("(" << node << ")");
  domInit();
  if (!node) {
    QEL_TRACE_FLOW("The passed node is NULL");
    QEL_TRACE_EXIT();
    return nullptr;
  }
  if (node->getNodeType() == DOMNode::DOCUMENT_NODE) {
    QEL_TRACE_FLOW("The passed node is Document itself");
    QEL_TRACE_EXIT();
    return static_cast<DOMDocument*>(node);
  }
  QEL_TRACE_FLOW("The passed node has owner Document");
  QEL_TRACE_EXIT();
  return node->getOwnerDocument();
}

// --- text extraction and node removal ---------------------------------------------------

namespace {

// Walks the subtree below `node` in document order without recursion and hands
// the value of every text and CDATA node to `add`. Elements and entity
// references are entered; every other kind is skipped with its subtree.
template <typename Add>
void collectText(const DOMNode* node, Add add) {
  const DOMNode* cur = node->getFirstChild();
  while (cur) {
    short type = cur->getNodeType();
    if (type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE) {
      add(cur->getNodeValue());
    } else if ((type == DOMNode::ELEMENT_NODE || type == DOMNode::ENTITY_REFERENCE_NODE) && cur->getFirstChild()) {
      cur = cur->getFirstChild();
      continue;
    }
    while (cur != node) {
      if (const DOMNode* next = cur->getNextSibling()) {
        cur = next;
        break;
      }
      cur = cur->getParentNode();
    }
    if (cur == node) break;
  }
}

}  // namespace

const XMLCh* tavGetText(const DOMNode* node, XMLBuffer& buffer) {
  QEL_TRACE_ENTER("tavGetText");
  QEL_TRACE_ARGS("(" << node << ")");
  domInit();
  if (!node) QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavGetText", "tavGetText: the node is NULL");
  if (!node->getFirstChild()) {
    QEL_TRACE_EXIT();
    return nullptr;
  }
  collectText(node, [&](const XMLCh* value) { buffer.append(value, 0); });
  const XMLCh* result = buffer.getRawBuffer();
  QEL_TRACE_EXIT();
  return result;
}

const XMLCh* tavGetText(const DOMNode* node, QelUniString& text) {
  QEL_TRACE_ENTER("tavGetText");
  QEL_TRACE_ARGS("(" << node << ")");
  domInit();
  if (!node) QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavGetText", "tavGetText: the node is NULL");
  if (!node->getFirstChild()) {
    QEL_TRACE_EXIT();
    return nullptr;
  }
  bool first = true;
  collectText(node, [&](const XMLCh* value) {
    size_t n = qelStrlen(value);
    if (!first && text.capacity() < text.length() + n) text.reserve(2 * (text.length() + n));
    first = false;
    if (n) text.append(value, n);
  });
  QEL_TRACE_EXIT();
  return text.c_str();
}

bool tavRemoveNode(DOMNode* node) {
  QEL_TRACE_ENTER("tavRemoveNode");
  QEL_TRACE_ARGS("(" << node << ")");
  domInit();
  if (!node) {
    QEL_TRACE_FLOW("The passed node is NULL");
    QEL_TRACE_EXIT_VALUE(1);
    return true;
  }
  DOMNode* parent = node->getParentNode();
  if (!parent) {
    QEL_TRACE_FLOW("The passed node has no parent");
    QEL_TRACE_EXIT_VALUE(0);
    return false;
  }
  QEL_TRACE_FLOW("Parent removes passed node");
  parent->removeChild(node);
  QEL_TRACE_EXIT_VALUE(1);
  return true;
}

void tavCleanNode(DOMNode* node, bool removeAttributes) {
  QEL_TRACE_ENTER("tavCleanNode");
  QEL_TRACE_ARGS("(" << node << ")");
  domInit();
  if (!node) QEL_RAISE(QELRC_DOM_API_ERROR, 0, "tavCleanNode", "tavCleanNode: the node is NULL");
  if (removeAttributes && node->getNodeType() == DOMNode::ELEMENT_NODE) {
    QEL_TRACE_FLOW("Passed node(element) removes all attributes");
    DOMElement* element = static_cast<DOMElement*>(node);
    DOMNamedNodeMap* attributes = node->getAttributes();
    for (XMLSize_t i = attributes->getLength(); i-- > 0;)
      element->removeAttributeNode(static_cast<DOMAttr*>(attributes->item(i)));
  }
  if (node->hasChildNodes()) {
    QEL_TRACE_FLOW("removes all child nodes");
    DOMNodeList* children = node->getChildNodes();
    for (XMLSize_t i = children->getLength(); i-- > 0;) node->removeChild(children->item(i));
  }
  QEL_TRACE_EXIT();
}

// --- diagnostics ---------------------------------------------------------------------------

std::string qelGetNodeTypeStr(const DOMNode* node) {
  static const char* const s_names[] = {"Unknown",      "Element",         "Attribute",    "Text",
                                        "CDATASection", "EntityReference", "Entity",       "ProcessingInstruction",
                                        "Comment",      "Document",        "DocumentType", "DocumentFragment",
                                        "Notation"};
  // A null node has no type: a clear error, as for the other functions that need a node.
  if (!node)
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "qelGetNodeTypeStr", s_revision,
                      s_sourcePath, "qelGetNodeTypeStr: the node is NULL");
  int type = node->getNodeType();
  return s_names[(type >= 1 && type <= 12) ? type : 0];
}

namespace {

// A count as decimal text, whatever base, sign or grouping the caller's
// stream is set to.
std::string decimal(XMLSize_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "%zu", static_cast<size_t>(n));
  return text;
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const DOMNode* node) {
  if (!node) return os << "Node( NULL )";
  os << "Node("
     << " type(" << qelGetNodeTypeStr(node) << ")"
     << " name(" << qelTraceStr(node->getNodeName()) << ")"
     << " value(" << qelTraceStr(node->getNodeValue()) << ")"
     << " numOfChilds(" << decimal(node->getChildNodes()->getLength()) << ")";
  if (const DOMNamedNodeMap* attributes = node->getAttributes()) {
    for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
      const DOMNode* attr = attributes->item(i);
      os << " Attr" << decimal(i) << "( (" << qelTraceStr(attr->getNodeName()) << ") ("
         << qelTraceStr(attr->getNodeValue()) << ") )";
    }
  }
  return os << " )";
}

std::string qelGetErrorMsg(const DOMException& e) {
  static const char* const s_texts[] = {
      nullptr,
      "Index or size is negative, or greater than the allowed value.",
      "The specified range of text does not fit into a DOMString.",
      "A node is inserted somewhere it doesn't belong.",
      "A node is used in a different document than the one that created it (that doesn't support it).",
      "An invalid or illegal character is specified, such as in a name.",
      "The data is specified for a node which does not support data.",
      "An attempt is made to modify an object where modifications are not allowed.",
      "An attempt is made to reference a node in a context where it does not exist.",
      "The implementation does not support the type of object requested.",
      "An attempt is made to add an attribute that is already in use elsewhere.",
      "An attempt is made to use an object that is not, or is no longer, usable.",
      "An invalid or illegal string is specified.",
      "An attempt is made to modify the type of the underlying object.",
      "An attempt is made to create or change an object in a way which is incorrect with regard to namespaces.",
      "A parameter or an operation is not supported by the underlying object."};
  QEL_TRACE_ENTER("qelGetErrorMsg");
  QEL_TRACE_ARGS("");
  int code = e.code;
  const char* text = nullptr;
  if (code >= 1 && code <= 15)
    text = s_texts[code];
  else
    qelCheck(s_sourcePath, __LINE__, "Internal error: 0", QELRC_INTERNAL_ERROR, "QELRC_INTERNAL_ERROR");
  QEL_TRACE_EXIT();
  return QelInsert::subst("DOMException(%s): %s", qel_detail::ValueInsert<int>(code),
                          qel_detail::ValueInsert<const char*>(text));
}

// Xerces-C 3.2 reports exhausted memory as OutOfMemoryException (not an
// XMLException); an XMLException carrying the out-of-memory code is still
// turned into the out-of-memory error here.
std::string qelGetErrorMsg(const XMLException& e) {
  if (e.getCode() == XMLExcepts::Out_Of_Memory) QelErrorFull::throwBadAlloc();
  std::string message = qelToMbcs(e.getMessage());
  unsigned int line = static_cast<unsigned int>(e.getSrcLine());
  return QelInsert::subst("%s ( line %s )", qel_detail::ValueInsert<std::string>(message),
                          qel_detail::ValueInsert<unsigned int>(line));
}

std::string qelGetErrorMsg(const SAXParseException& e) {
  static const XMLCh s_outOfMemory[] = u"operator new fails";
  const XMLCh* text = e.getMessage();
  if (text && XMLString::patternMatch(text, s_outOfMemory) >= 0) QelErrorFull::throwBadAlloc();
  std::string message = qelToMbcs(text);
  long line = static_cast<long>(e.getLineNumber());
  long column = static_cast<long>(e.getColumnNumber());
  return QelInsert::subst("%s ( line %s, char %s )", qel_detail::ValueInsert<std::string>(message),
                          qel_detail::ValueInsert<long>(line), qel_detail::ValueInsert<long>(column));
}

std::u16string& qelStrCopy(std::u16string& target, const XMLBuffer& buffer) {
  const XMLCh* text = buffer.getRawBuffer();
  if (!text || text[0] == 0) return target;
  target.assign(text, buffer.getLen());
  return target;
}

std::u16string& qelStrCopy(std::u16string& target, const XMLCh* text) {
  if (!text || text[0] == 0) return target;
  target.assign(text);
  return target;
}
