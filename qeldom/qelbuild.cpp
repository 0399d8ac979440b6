// The parser's DOM builder: nodes linked through Xerces-C 3.2's
// implementation classes.
#include "qelbuild.hpp"

#include <xercesc/util/XercesVersion.hpp>

// The build defines QELDOM_DIRECT_DOM when it found Xerces-C 3.2 with its
// implementation headers; the version test here keeps any other headers out.
#if defined(QELDOM_DIRECT_DOM) && XERCES_VERSION_MAJOR == 3 && XERCES_VERSION_MINOR == 2
#define QEL_DIRECT 1
#else
#define QEL_DIRECT 0
#endif

#if QEL_DIRECT
#include <xercesc/dom/impl/DOMAttrImpl.hpp>
#include <xercesc/dom/impl/DOMAttrMapImpl.hpp>
#include <xercesc/dom/impl/DOMAttrNSImpl.hpp>
#include <xercesc/dom/impl/DOMCDATASectionImpl.hpp>
#include <xercesc/dom/impl/DOMCasts.hpp>
#include <xercesc/dom/impl/DOMCommentImpl.hpp>
#include <xercesc/dom/impl/DOMDocumentImpl.hpp>
#include <xercesc/dom/impl/DOMElementImpl.hpp>
#include <xercesc/dom/impl/DOMElementNSImpl.hpp>
#include <xercesc/dom/impl/DOMNodeIDMap.hpp>
#include <xercesc/dom/impl/DOMNodeVector.hpp>
#include <xercesc/dom/impl/DOMProcessingInstructionImpl.hpp>
#include <xercesc/dom/impl/DOMTextImpl.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>
#endif

XERCES_CPP_NAMESPACE_USE

namespace qel_detail {

#if QEL_DIRECT

namespace {

// The attribute vector of an attribute map (a protected member, reached
// through a pointer to member that a derived class may form).
struct AttrMapAccess : DOMAttrMapImpl {
  static constexpr DOMNodeVector* DOMAttrMapImpl::*s_nodes = &AttrMapAccess::fNodes;
};

// The sibling links of a child node this builder's document made.
DOMChildNode& linksOf(DOMNode* node) {
  switch (node->getNodeType()) {
    case DOMNode::ELEMENT_NODE:
      return static_cast<DOMElementImpl*>(node)->fChild;
    case DOMNode::TEXT_NODE:
      return static_cast<DOMTextImpl*>(node)->fChild;
    case DOMNode::COMMENT_NODE:
      return static_cast<DOMCommentImpl*>(node)->fChild;
    case DOMNode::CDATA_SECTION_NODE:  // its links are protected
      return *static_cast<DOMCDATASectionImpl*>(node)->getChildNodeImpl();
    case DOMNode::PROCESSING_INSTRUCTION_NODE:
      return *static_cast<DOMProcessingInstructionImpl*>(node)->getChildNodeImpl();
    default:  // what Xerces-C's builder appends (an entity reference): its own cast
      return *castToChildImpl(node);
  }
}

const XMLCh* nameOf(DOMNode* attr) { return static_cast<DOMAttrImpl*>(attr)->fName; }

// Where Xerces-C would put an attribute of this name in the vector (sorted by
// name, DOMAttrMapImpl::findNamePoint): the index of the attribute of the
// same name, or -1 - the index to insert at.
long findNamePoint(DOMNodeVector& nodes, const XMLCh* name) {
  long first = 0, last = static_cast<long>(nodes.size()) - 1;
  // Attributes mostly come in order: the end is tried first.
  if (last < 0 || XMLString::compareString(name, nameOf(nodes.elementAt(last))) > 0) return -1 - (last + 1);
  while (first <= last) {
    const long i = (first + last) / 2;
    const int test = XMLString::compareString(name, nameOf(nodes.elementAt(i)));
    if (test == 0) return i;
    if (test < 0)
      last = i - 1;
    else
      first = i + 1;
  }
  return -1 - first;
}

// DOMAttrMapImpl::findNamePoint by namespace URI and local name: a linear
// search, with the node name standing in for a missing local name.
long findNamePointNS(DOMNodeVector& nodes, const XMLCh* uri, const XMLCh* localName) {
  for (XMLSize_t i = 0; i < nodes.size(); ++i) {
    DOMNode* node = nodes.elementAt(i);
    if (!XMLString::equals(node->getNamespaceURI(), uri)) continue;
    const XMLCh* nodeLocal = node->getLocalName();
    if (XMLString::equals(localName, nodeLocal) || (!nodeLocal && XMLString::equals(localName, node->getNodeName())))
      return static_cast<long>(i);
  }
  return -1;
}

// --- start-up self-test --------------------------------------------------------------------------

// Builds through a DomBuilder, dispatching as the library's parser does.
class ProbeParser : public XercesDOMParser {
 public:
  explicit ProbeParser(bool namespaces) {
    setDoNamespaces(namespaces);
    setCreateEntityReferenceNodes(false);
  }
  void startDocument() override {
    XercesDOMParser::startDocument();
    m_builder = std::make_unique<DomBuilder>(
        BuildState{fCurrentParent, fCurrentNode, fWithinElement, fDocument, *getScanner()});
  }
  void startElement(const XMLElementDecl& decl, const unsigned int urlId, const XMLCh* const prefix,
                    const RefVectorOf<XMLAttr>& attrs, const XMLSize_t count, const bool isEmpty,
                    const bool isRoot) override {
    if (!m_builder->startElement(decl, urlId, prefix, attrs, count))
      XercesDOMParser::startElement(decl, urlId, prefix, attrs, count, isEmpty, isRoot);
    else if (isEmpty)
      endElement(decl, urlId, isRoot, prefix);
  }
  void endElement(const XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) override {
    m_builder->endElement();
  }
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdata) override {
    m_builder->runStarts(length);
    m_builder->characters(chars, length, cdata, 0);
  }
  void docComment(const XMLCh* const text) override {
    if (!m_builder->comment(text)) XercesDOMParser::docComment(text);
  }
  void docPI(const XMLCh* const target, const XMLCh* const data) override {
    if (!m_builder->processingInstruction(target, data)) XercesDOMParser::docPI(target, data);
  }

 private:
  std::unique_ptr<DomBuilder> m_builder;
};

// Every child's parent, siblings and document are where a reader looks for
// them, and every attribute belongs to its element.
bool linksHold(const DOMNode* node, const DOMDocument* doc) {
  const DOMNode* previous = nullptr;
  for (const DOMNode* c = node->getFirstChild(); c; previous = c, c = c->getNextSibling())
    if (c->getParentNode() != node || c->getPreviousSibling() != previous || c->getOwnerDocument() != doc ||
        !linksHold(c, doc))
      return false;
  const DOMNamedNodeMap* attrs = node->getAttributes();
  for (XMLSize_t i = 0; attrs && i < attrs->getLength(); ++i)
    if (static_cast<const DOMAttr*>(attrs->item(i))->getOwnerElement() != node || !linksHold(attrs->item(i), doc))
      return false;
  return node->getLastChild() == previous;
}

// The direct links give the DOM Xerces-C's own builder gives, for every kind
// of node and attribute the builder makes, with namespaces off and on.
bool directLinksWork() {
  static const char s_xml[] =
      "<!DOCTYPE r [<!ELEMENT d ANY><!ATTLIST d i ID #IMPLIED k CDATA 'v'>]><!--c--><?p d?>"
      "<r xmlns:p='urn:p' z='1' a='2' p:m='3' xmlns='urn:d'>t&amp;u<![CDATA[c]]><!--k--><?pi d?>"
      "<p:e/><f b='x' a=''>g<d i='n'>h</d></f>v</r><!--after-->";
  for (bool namespaces : {false, true}) {
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(s_xml), sizeof s_xml - 1, "qeldom-probe");
    ProbeParser direct(namespaces);
    XercesDOMParser reference;
    reference.setDoNamespaces(namespaces);
    reference.setCreateEntityReferenceNodes(false);
    direct.parse(source);
    reference.parse(source);
    const DOMDocument* built = direct.getDocument();
    if (direct.getErrorCount() || !built || !built->isEqualNode(reference.getDocument()) || !linksHold(built, built) ||
        built->getElementById(u"n") != built->getElementsByTagName(u"d")->item(0))
      return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<DomBuilder> DomBuilder::make(const AbstractDOMParser& parser, bool underParent,
                                             const BuildState& state) {
  if (underParent || parser.getValidationScheme() != AbstractDOMParser::Val_Never || parser.getDoSchema() ||
      parser.getCreateSchemaInfo() || parser.getDoXInclude() || parser.getCreateEntityReferenceNodes() ||
      !parser.getCreateCommentNodes())
    return nullptr;
  // Once per process, at the first parse that could take the direct links.
  static const bool s_works = directLinksWork();
  return s_works ? std::make_unique<DomBuilder>(state) : nullptr;
}

DomBuilder::DomBuilder(const BuildState& state) : m_state(state), m_namespaces(state.scanner.getDoNamespaces()) {}

// DOMParentNode::appendChildFast under the current parent, an element.
void DomBuilder::append(DOMNode* child, DOMNodeImpl& node, DOMChildNode& links) {
  DOMParentNode& parent = static_cast<DOMElementImpl*>(m_state.currentParent)->fParent;
  node.fOwnerNode = parent.fContainingNode;
  node.isOwned(true);
  if (DOMNode* first = parent.fFirstChild) {
    DOMChildNode& firstLinks = linksOf(first);
    DOMNode* last = firstLinks.previousSibling;
    linksOf(last).nextSibling = child;
    links.previousSibling = last;
    firstLinks.previousSibling = child;
  } else {
    parent.fFirstChild = child;
    node.isFirstChild(true);
    links.previousSibling = child;
  }
}

// AbstractDOMParser::startElement without its default attributes.
bool DomBuilder::startElement(const XMLElementDecl& elemDecl, unsigned urlId, const XMLCh* elemPrefix,
                              const RefVectorOf<XMLAttr>& attrList, XMLSize_t attrCount) {
  if (elemDecl.hasAttDefs()) return false;
  DOMElementImpl* element = createElement(elemDecl, urlId, elemPrefix);
  if (attrCount) addAttributes(*element, attrList, attrCount);
  if (m_state.currentParent == m_state.document)
    m_state.document->appendChild(element);  // the document element, checked as Xerces-C does
  else
    append(element, element->fNode, element->fChild);
  m_state.currentParent = element;
  m_state.currentNode = element;
  m_state.withinElement = true;
  return true;
}

DOMElementImpl* DomBuilder::createElement(const XMLElementDecl& elemDecl, unsigned urlId, const XMLCh* elemPrefix) {
  DOMDocumentImpl* doc = m_state.document;
  if (!m_namespaces) return new (doc, DOMMemoryManager::ELEMENT_OBJECT) DOMElementImpl(doc, elemDecl.getFullName());
  const XMLCh* localName = elemDecl.getBaseName();
  const XMLCh* uri = nullptr;
  const XMLCh* prefix = nullptr;
  const XMLCh* qname = localName;
  if (urlId != m_state.scanner.getEmptyNamespaceId()) {
    uri = m_state.scanner.getURIText(urlId);
    if (elemPrefix && *elemPrefix) {
      m_qname.assign(elemPrefix).append(1, u':').append(localName);
      prefix = elemPrefix;
      qname = m_qname.c_str();
    }
  }
  return new (doc, DOMMemoryManager::ELEMENT_NS_OBJECT) DOMElementNSImpl(doc, uri, prefix, localName, qname);
}

DOMAttrImpl* DomBuilder::createAttribute(const XMLAttr& attr) {
  DOMDocumentImpl* doc = m_state.document;
  if (!m_namespaces) return new (doc, DOMMemoryManager::ATTR_OBJECT) DOMAttrImpl(doc, attr.getName());
  XMLScanner& scanner = m_state.scanner;
  unsigned uriId = attr.getURIId();
  const XMLCh* localName = attr.getName();
  const XMLCh* prefix = attr.getPrefix();
  if ((!prefix || !*prefix) && XMLString::equals(localName, XMLUni::fgXMLNSString))
    uriId = scanner.getXMLNSNamespaceId();  // xmlns="..." belongs to the xmlns namespace in the DOM
  const XMLCh* uri = uriId != scanner.getEmptyNamespaceId() ? scanner.getURIText(uriId) : nullptr;
  return new (doc, DOMMemoryManager::ATTR_NS_OBJECT) DOMAttrNSImpl(doc, uri, prefix, localName, attr.getQName());
}

// Each attribute with its value as a text child, into the element's map in
// the order DOMAttrMapImpl::setNamedItemFast (setNamedItemNSFast) keeps.
void DomBuilder::addAttributes(DOMElementImpl& element, const RefVectorOf<XMLAttr>& attrList, XMLSize_t attrCount) {
  DOMDocumentImpl* doc = m_state.document;
  DOMAttrMapImpl* map = element.fAttributes;
  map->reserve(attrCount);
  DOMNodeVector& nodes = *(map->*AttrMapAccess::s_nodes);
  for (XMLSize_t index = 0; index < attrCount; ++index) {
    const XMLAttr& source = *attrList.elementAt(index);
    DOMAttrImpl* attr = createAttribute(source);
    attr->fNode.fOwnerNode = &element;
    attr->fNode.isOwned(true);
    const long same = m_namespaces ? findNamePointNS(nodes, attr->getNamespaceURI(), attr->getLocalName())
                                   : findNamePoint(nodes, attr->fName);
    if (same >= 0) {
      nodes.setElementAt(attr, same);
    } else {
      // By namespace the place is found by name, an equal name included.
      const long at = m_namespaces ? findNamePoint(nodes, attr->fName) : same;
      nodes.insertElementAt(attr, at < 0 ? -1 - at : at);
    }

    if (const XMLCh* value = source.getValue()) {  // DOMAttrImpl::setValueFast
      auto* text = new (doc, DOMMemoryManager::TEXT_OBJECT) DOMTextImpl(doc, value);
      text->fNode.fOwnerNode = attr;
      text->fNode.isOwned(true);
      text->fNode.isFirstChild(true);
      text->fChild.previousSibling = text;
      attr->fParent.fFirstChild = text;
    }
    if (source.getType() == XMLAttDef::ID) {
      if (!doc->fNodeIDMap) doc->fNodeIDMap = new (doc) DOMNodeIDMap(500, doc);
      doc->fNodeIDMap->add(attr);
      attr->fNode.isIdAttr(true);
    }
    attr->fNode.isSpecified(source.getSpecified());
  }
}

// AbstractDOMParser::endElement: the parent of an element is its owner node.
void DomBuilder::endElement() {
  auto* element = static_cast<DOMElementImpl*>(m_state.currentParent);
  m_state.currentNode = element;
  m_state.currentParent = element->fNode.fOwnerNode;
  if (m_state.currentParent == m_state.document) m_state.withinElement = false;
}

void DomBuilder::characters(const XMLCh* chars, XMLSize_t length, bool cdataSection, XMLSize_t trimmed) {
  if (!m_state.withinElement) return;
  DOMDocumentImpl* doc = m_state.document;
  if (cdataSection) {
    auto* section = new (doc, DOMMemoryManager::CDATA_SECTION_OBJECT) DOMCDATASectionImpl(doc, chars, length);
    append(section, *section->getNodeImpl(), *section->getChildNodeImpl());
    m_state.currentNode = section;
  } else if (m_state.currentNode->getNodeType() == DOMNode::TEXT_NODE) {
    static_cast<DOMTextImpl*>(m_state.currentNode)->appendDataFast(chars, length);
  } else {
    // Made from the run's first piece and extended by the rest, the node's
    // buffer takes no more of the document's heap than Xerces-C's would.
    const XMLSize_t first = m_firstPiece > trimmed && m_firstPiece - trimmed < length ? m_firstPiece - trimmed : length;
    auto* text = new (doc, DOMMemoryManager::TEXT_OBJECT) DOMTextImpl(doc, chars, first);
    if (first < length) text->appendDataFast(chars + first, length - first);
    append(text, text->fNode, text->fChild);
    m_state.currentNode = text;
  }
}

bool DomBuilder::comment(const XMLCh* text) {
  if (m_state.currentParent == m_state.document) return false;
  DOMDocumentImpl* doc = m_state.document;
  auto* node = new (doc, DOMMemoryManager::COMMENT_OBJECT) DOMCommentImpl(doc, text);
  append(node, node->fNode, node->fChild);
  m_state.currentNode = node;
  return true;
}

bool DomBuilder::processingInstruction(const XMLCh* target, const XMLCh* data) {
  if (m_state.currentParent == m_state.document) return false;
  // The document's factory checks the target as Xerces-C's builder has it do.
  auto* node = static_cast<DOMProcessingInstructionImpl*>(m_state.document->createProcessingInstruction(target, data));
  append(node, *node->getNodeImpl(), *node->getChildNodeImpl());
  m_state.currentNode = node;
  return true;
}

#else  // another Xerces-C: every parse takes Xerces-C's own builder

std::unique_ptr<DomBuilder> DomBuilder::make(const AbstractDOMParser&, bool, const BuildState&) { return nullptr; }
DomBuilder::DomBuilder(const BuildState& state) : m_state(state), m_namespaces(false) {}
bool DomBuilder::startElement(const XMLElementDecl&, unsigned, const XMLCh*, const RefVectorOf<XMLAttr>&, XMLSize_t) {
  return false;
}
void DomBuilder::endElement() {}
void DomBuilder::characters(const XMLCh*, XMLSize_t, bool, XMLSize_t) {}
bool DomBuilder::comment(const XMLCh*) { return false; }
bool DomBuilder::processingInstruction(const XMLCh*, const XMLCh*) { return false; }

#endif

}  // namespace qel_detail
