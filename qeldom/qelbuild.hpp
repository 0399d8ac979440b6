// Internal to the library: the parser's DOM builder that links the nodes it
// creates itself, through the implementation classes of Xerces-C 3.2, where
// Xerces-C's own builder finds every parent and sibling through a
// dynamic_cast (DOMCasts.hpp) and faults in a fresh heap for each document.
//
// It keeps every invariant of DOMParentNode::appendChildFast: a child's owner
// node is its parent, its OWNED flag is set, the first child has the
// FIRSTCHILD flag, and the first child's previous sibling is the last child.
// It moves the parser's builder state (current parent, current node, within
// element) exactly as AbstractDOMParser's events do, so that an event the
// builder leaves to Xerces-C (an element with declared attributes, a comment
// or processing instruction outside the document element) finds that state
// as Xerces-C would have left it.
#pragma once

#include <memory>
#include <string>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/parsers/AbstractDOMParser.hpp>
#include <xercesc/util/RefVectorOf.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class DOMAttrImpl;
class DOMChildNode;
class DOMElementImpl;
class DOMNodeImpl;
XERCES_CPP_NAMESPACE_END

namespace qel_detail {

// The state of AbstractDOMParser that its document events move (protected
// members of the parser, handed over by the parser that owns them).
struct BuildState {
  XERCES_CPP_NAMESPACE::DOMNode*& currentParent;
  XERCES_CPP_NAMESPACE::DOMNode*& currentNode;
  bool& withinElement;
  XERCES_CPP_NAMESPACE::DOMDocumentImpl*& document;
  XERCES_CPP_NAMESPACE::XMLScanner& scanner;
};

class DomBuilder {
 public:
  // A builder for the parse that `parser` starts (called from its
  // startDocument, after Xerces-C's has made the new document), or null when
  // the parse must take Xerces-C's own builder: a build under an existing
  // node, validation (ignorable whitespace, DTD default attributes),
  // schema type information, XInclude, entity reference nodes, a parser that
  // drops comments, a Xerces-C other than the 3.2 this library was built
  // for, or a failed start-up self-test of the direct links.
  static std::unique_ptr<DomBuilder> make(const XERCES_CPP_NAMESPACE::AbstractDOMParser& parser, bool underParent,
                                          const BuildState& state);

  explicit DomBuilder(const BuildState& state);

  // An element and its attributes, appended to the current parent and made
  // the current parent. False (nothing done) for an element whose type
  // declares attributes: Xerces-C's own builder then adds the defaults and
  // registers ID attributes. The caller ends an empty element itself.
  bool startElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, unsigned urlId, const XMLCh* elemPrefix,
                    const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                    XMLSize_t attrCount);
  // The current parent (any element, whoever built it) ends.
  void endElement();
  // The parser joins the pieces of character data the scanner delivers into
  // runs. The first piece of a run is where Xerces-C's builder would have
  // made the text node, and sized its buffer, before appending the rest.
  void runStarts(XMLSize_t firstPiece) { m_firstPiece = firstPiece; }
  // A run, `trimmed` units after its start: text joins the text node it
  // follows, CDATA makes a section of its own. Outside the document element
  // character data is dropped.
  void characters(const XMLCh* chars, XMLSize_t length, bool cdataSection, XMLSize_t trimmed);
  // False (nothing done) outside the document element: the document's own
  // children are left to Xerces-C.
  bool comment(const XMLCh* text);
  bool processingInstruction(const XMLCh* target, const XMLCh* data);

 private:
  XERCES_CPP_NAMESPACE::DOMElementImpl* createElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl,
                                                      unsigned urlId, const XMLCh* elemPrefix);
  XERCES_CPP_NAMESPACE::DOMAttrImpl* createAttribute(const XERCES_CPP_NAMESPACE::XMLAttr& attr);
  void addAttributes(XERCES_CPP_NAMESPACE::DOMElementImpl& element,
                     const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                     XMLSize_t attrCount);
  void append(XERCES_CPP_NAMESPACE::DOMNode* child, XERCES_CPP_NAMESPACE::DOMNodeImpl& node,
              XERCES_CPP_NAMESPACE::DOMChildNode& links);

  BuildState m_state;
  bool m_namespaces;
  std::u16string m_qname;  // prefix:local of the element being made
  XMLSize_t m_firstPiece = 0;
};

}  // namespace qel_detail
