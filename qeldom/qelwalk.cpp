// The DOM writer's walk: a node with everything below it, in document order,
// in the layout the options choose.
//
// A document is its XML declaration, its document type and its children. An
// element is its start tag with the attributes, its children two blanks
// deeper, and its end tag; an element whose only child is text or a CDATA
// section stands on one line. With margins each piece of markup and each
// text among other children stands on a line of its own, indented by its
// level. Character data goes through the escaper.
#include "qelwalk.hpp"

#include <strings.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "qeldstr.hpp"
#include "qelescape.hpp"
#include "qelframe.hpp"
#include "qelidwrt.hpp"
#include "qelsubset.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qel_detail {

namespace {

// This file writes no trace; its errors name it.
constexpr const char* s_sourcePath = "qeldom/qelwalk";
constexpr const char* s_revision = "$Revision: 1.1 $";

class Walk {
 public:
  Walk(Pieces out, unsigned long options, const DOMDocumentType* docType, bool xml11);
  void write(const DOMNode* top);

 private:
  // A parent whose children are being written, and what follows them.
  struct Frame {
    const DOMNode* first;  // the first child
    const DOMNode* next;   // the next child to write
    int level;             // the children's level
    const XMLCh* name;     // of the element whose end tag follows the children; null for other parents
    size_t nameLength;     // its length
    int elementLevel;      // that element's level
  };
  // A name met before, by address.
  struct KnownName {
    const XMLCh* name;
    size_t length;
  };

  void visit(const DOMNode* node, int level, bool onlyChild);
  void pushChildNodes(const DOMNode* first, int level, const XMLCh* endTagName = nullptr, size_t nameLength = 0,
                      int elementLevel = 0);
  void writeDoc(const DOMNode* node);
  void writeDocType(const DOMNode* node);
  void writeIdentifiers(const XMLCh* publicId, const XMLCh* systemId, const DOMNode* node);
  void writeElement(const DOMNode* node, int level);
  void writeElementEnd(const XMLCh* name, size_t nameLength, int level, bool isInline);
  size_t nameLength(const XMLCh* name, const DOMNode* node, const char* what);
  void writeText(const DOMNode* node, int level, bool onlyChild);
  void writeCData(const DOMNode* node, int level, bool onlyChild);
  void writeComment(const DOMNode* node, int level);
  void writePi(const DOMNode* node, int level);
  void writeEntity(const DOMNode* node, int level);
  void writeTag(int level, Units before, Units name, Units after, bool endl);
  void writeOffset(int level);
  void writeEndl();
  bool isMarginsOn() const { return m_options & (QEL_WRITE_MARGINS | QEL_WRITE_SPACED_MARGINS); }
  size_t indent(int level) const { return isMarginsOn() && level > 0 ? static_cast<size_t>(level) : 0; }
  bool lineEnds() const { return isMarginsOn() && !(m_options & QEL_WRITE_CANONICAL); }

  Pieces m_out;
  Escaper m_escaper;
  unsigned long m_options;  // QEL_WRITE_CONTENT_ONLY is cleared at its first use
  const DOMDocumentType* m_docType;
  const QelDomReplaceTable* m_textTable;  // the escaping the options choose
  const QelDomReplaceTable* m_attrTable;
  std::vector<Frame> m_stack;
  // The DOM keeps one copy of each name, so most names are measured and
  // checked once per run.
  KnownName m_names[64] = {};
};

Walk::Walk(Pieces out, unsigned long options, const DOMDocumentType* docType, bool xml11)
    : m_out(out), m_escaper(out, xml11, options & QEL_WRITE_CHAR_REFS), m_options(options), m_docType(docType) {
  const ReplaceTables& tables = m_escaper.tables();
  m_textTable = &tables.text;
  m_attrTable = &tables.attr;
  if (m_options & QEL_WRITE_CANONICAL) {
    m_textTable = &tables.canonicalText;
    m_attrTable = &tables.canonicalAttr;
  } else if (m_options & QEL_WRITE_CHAR_REFS) {
    m_textTable = &tables.lineText;
    m_attrTable = &tables.lineAttr;
  }
}

// The walk keeps its own stack of the parents whose children are being
// written, so the depth of a tree never reaches the call stack. A document
// type given for another node than a document comes first.
void Walk::write(const DOMNode* top) {
  if (m_docType && top->getNodeType() != DOMNode::DOCUMENT_NODE) writeDocType(m_docType);
  const DOMNode* parent = top->getParentNode();
  visit(top, 0, parent && parent->getFirstChild() == top && !top->getNextSibling());
  while (!m_stack.empty()) {
    Frame& frame = m_stack.back();
    m_out.commitIfFull();
    if (const DOMNode* child = frame.next) {
      frame.next = child->getNextSibling();
      visit(child, frame.level, child == frame.first && !frame.next);  // may grow the stack: `frame` is not used again
      continue;
    }
    const Frame done = frame;
    m_stack.pop_back();
    if (done.name) writeElementEnd(done.name, done.nameLength, done.elementLevel, false);
  }
}

// Writes what comes before a node's children and schedules the children.
void Walk::visit(const DOMNode* node, int level, bool onlyChild) {
  if (m_options & QEL_WRITE_CONTENT_ONLY) {
    m_options &= ~QEL_WRITE_CONTENT_ONLY;
    pushChildNodes(node->getFirstChild(), level);
    return;
  }
  switch (node->getNodeType()) {
    case DOMNode::ELEMENT_NODE:
      writeElement(node, level);
      break;
    case DOMNode::TEXT_NODE:
      writeText(node, level, onlyChild);
      break;
    case DOMNode::CDATA_SECTION_NODE:
      writeCData(node, level, onlyChild);
      break;
    case DOMNode::ENTITY_REFERENCE_NODE:
      pushChildNodes(node->getFirstChild(), level);
      break;  // by its children
    case DOMNode::ENTITY_NODE:
      writeEntity(node, level);
      break;
    case DOMNode::PROCESSING_INSTRUCTION_NODE:
      writePi(node, level);
      break;
    case DOMNode::COMMENT_NODE:
      writeComment(node, level);
      break;
    case DOMNode::DOCUMENT_NODE:
      writeDoc(node);
      break;
    case DOMNode::DOCUMENT_TYPE_NODE:
      writeDocType(node);
      break;
    default:
      break;  // attributes, fragments, notations
  }
}

// With `endTagName` the children are an element's, whose end tag follows them.
void Walk::pushChildNodes(const DOMNode* first, int level, const XMLCh* endTagName, size_t nameLength,
                          int elementLevel) {
  m_stack.push_back(Frame{first, first, level, endTagName, nameLength, elementLevel});
}

// --- documents ---------------------------------------------------------------------------------

// The declaration names the converter's form of the encoding, "UTF-16" for
// either byte order (the output then begins with a byte order mark), and no
// encoding for UTF-8. An XML 1.1 document always begins with its
// declaration: without one a parser reads it as XML 1.0, a different
// document or none at all.
void Walk::writeDoc(const DOMNode* node) {
  if ((m_options & QEL_WRITE_XML_DECL) || m_escaper.isXml11()) {
    static const XMLCh s_version11[] = u"<?xml version=\"1.1\"";
    m_out.text(m_escaper.isXml11() ? s_version11 : QelUni::s_xmlDeclVersion, qelStrlen(QelUni::s_xmlDeclVersion));
    const QelNls& converter = m_out.converter();
    if (converter.getCodePageId() != QEL_CODEPAGE_UTF8) {
      m_out.text(QelUni::s_xmlDeclEncoding);
      const XMLCh* name = converter.getCodePage();
      const std::string name8 = qelToMbcs(name);
      const bool utf16 = strcasecmp(name8.c_str(), "UTF-16LE") == 0 || strcasecmp(name8.c_str(), "UTF-16BE") == 0;
      m_out.text(name, utf16 ? 6 : qelStrlen(name));
      m_out.unit(u'"');
    }
    m_out.text(QelUni::s_xmlDeclEnd);
    writeEndl();
  }
  if (!static_cast<const DOMDocument*>(node)->getDoctype() && m_docType) writeDocType(m_docType);
  pushChildNodes(node->getFirstChild(), 0);
}

// The declaration as the document type holds it, except for the internal
// subset, which Xerces-C rebuilds in a form that does not parse back to the
// same declarations: it is read and written declaration by declaration.
// Never indented.
void Walk::writeDocType(const DOMNode* node) {
  if (!(m_options & QEL_WRITE_DOCTYPE)) return;
  const DOMDocumentType* docType = m_docType ? m_docType : static_cast<const DOMDocumentType*>(node);
  const std::vector<SubsetPiece> subset = readInternalSubset(docType);
  m_out.text(XMLUni::fgDocTypeString);
  m_out.text(u" ");
  m_escaper.markup(docType->getNodeName(), docType, "document type name");
  writeIdentifiers(docType->getPublicId(), docType->getSystemId(), docType);
  if (!subset.empty()) {
    const ReplaceTables& tables = m_escaper.tables();
    m_out.text(u" [");
    for (const SubsetPiece& piece : subset) {
      if (piece.kind == SubsetPiece::markup)
        m_escaper.markup(piece.text.c_str(), docType, piece.what, piece.offset);
      else  // an attribute default keeps its white space only as references
        m_escaper.text(piece.text.c_str(),
                       piece.kind == SubsetPiece::entityValue ? tables.entityValue : tables.canonicalAttr, docType,
                       piece.what, piece.offset);
    }
    m_out.text(u"]");
  }
  m_out.text(u">");
  writeEndl();
}

// " PUBLIC \"p\" \"s\"", " PUBLIC \"p\"" or " SYSTEM \"s\"": each
// identifier quoted so that it holds no quotation mark of its own literal.
void Walk::writeIdentifiers(const XMLCh* publicId, const XMLCh* systemId, const DOMNode* node) {
  auto writeQuoted = [&](const XMLCh* id, const char* what) {
    m_out.text(u" ");
    m_escaper.checkMarkup(id, qelStrlen(id), node, what);
    m_out.text(quotedIdentifier(id, node));
  };
  const bool hasSystem = !QelDomStr::empty(systemId);
  if (!QelDomStr::empty(publicId)) {
    m_out.text(u" ");
    m_out.text(XMLUni::fgPubIDString);
    writeQuoted(publicId, "public identifier");
  } else if (hasSystem) {
    m_out.text(u" ");
    m_out.text(XMLUni::fgSysIDString);
  }
  if (hasSystem) writeQuoted(systemId, "system identifier");
}

// --- elements ----------------------------------------------------------------------------------

// An attribute's value. Xerces-C keeps it as the attribute's children and
// assembles it with casts on each request; the common case of one text child
// is read straight from that child (the same text getNodeValue returns).
const XMLCh* attributeValue(const DOMNode* attr) {
  const DOMNode* child = attr->getFirstChild();
  if (child && child->getNodeType() == DOMNode::TEXT_NODE && !child->getNextSibling()) return child->getNodeValue();
  return attr->getNodeValue();
}

void Walk::writeElement(const DOMNode* node, int level) {
  if ((m_options & QEL_WRITE_SPACED_MARGINS) && level == 2) writeEndl();
  const XMLCh* name = node->getNodeName();
  const size_t length = nameLength(name, node, "element name");
  writeTag(level, u"<", {name, length}, {}, false);

  const DOMNamedNodeMap* attributes = node->getAttributes();
  const XMLSize_t count = attributes ? attributes->getLength() : 0;  // the tree stays unchanged while it is written
  for (XMLSize_t i = 0; i < count; ++i) {
    const DOMAttr* attr = static_cast<const DOMAttr*>(attributes->item(i));
    if ((m_options & QEL_WRITE_SPECIFIED_ONLY) && !attr->getSpecified()) continue;
    const XMLCh* attrName = attr->getNodeName();
    writeTag(0, u" ", {attrName, nameLength(attrName, node, "attribute name")}, u"=\"", false);
    m_escaper.text(attributeValue(attr), *m_attrTable, attr, "attribute value");
    m_out.unit(u'"');
    m_out.commitIfFull();  // an element with very many attributes stays within the buffer too
  }

  const DOMNode* first = node->getFirstChild();
  if (!first) {
    if (m_options & QEL_WRITE_CANONICAL)
      writeTag(0, u"></", {name, length}, u">", true);
    else
      writeTag(0, u"/>", {}, {}, true);
    return;
  }
  const short firstType = first->getNodeType();
  const bool isInline =
      !first->getNextSibling() && (firstType == DOMNode::TEXT_NODE || firstType == DOMNode::CDATA_SECTION_NODE);
  writeTag(0, u">", {}, {}, !isInline);
  if (!isInline) {
    pushChildNodes(first, level + 2, name ? name : u"", length, level);  // a null name would mean no end tag
    return;
  }
  // The one text or CDATA child is written at once: no frame for it.
  if (firstType == DOMNode::TEXT_NODE)
    writeText(first, level + 2, true);
  else
    writeCData(first, level + 2, true);
  writeElementEnd(name, length, level, true);
}

// The name's length is known from the start tag.
void Walk::writeElementEnd(const XMLCh* name, size_t nameLength, int level, bool isInline) {
  if (!isInline && (m_options & QEL_WRITE_SPACED_MARGINS) && level == 0) writeEndl();
  writeTag(isInline ? 0 : level, u"</", {name, nameLength}, u">", true);
}

// Names are written as the DOM holds them; where the code page cannot hold
// one of their characters the writer raises instead. A name is measured and
// checked the first time its address comes by.
inline size_t Walk::nameLength(const XMLCh* name, const DOMNode* node, const char* what) {
  if (!name) return 0;
  const uintptr_t address = reinterpret_cast<uintptr_t>(name);
  KnownName& known = m_names[((address >> 3) ^ (address >> 10)) % (sizeof m_names / sizeof m_names[0])];
  if (known.name == name) return known.length;
  const XMLCh* end = name;
  bool ascii = true;
  for (; *end; ++end) ascii &= *end < 0x80;
  const size_t length = static_cast<size_t>(end - name);
  if (!ascii && m_escaper.lacksCharacters()) m_escaper.checkMarkup(name, length, node, what);
  known = KnownName{name, length};
  return length;
}

// --- character data and the other nodes ------------------------------------------------------

// A text node among other children stands on a line of its own; an only
// child stays inline. A text node without a parent counts as not an only
// child. The walk knows the parent, so it tells.
void Walk::writeText(const DOMNode* node, int level, bool onlyChild) {
  if (!onlyChild) writeOffset(level);
  m_escaper.text(node->getNodeValue(), *m_textTable, node, "text");
  if (!onlyChild) writeEndl();
}

// In canonical form a section is written as text.
void Walk::writeCData(const DOMNode* node, int level, bool onlyChild) {
  if (m_options & QEL_WRITE_CANONICAL) {
    writeText(node, level, onlyChild);
    return;
  }
  if (!onlyChild) writeOffset(level);
  m_out.text(QelUni::s_startCData);
  m_escaper.cdataContent(node);
  m_out.text(QelUni::s_endCData);
  if (!onlyChild) writeEndl();
}

// Every "--" becomes "- ", and a hyphen at the end gets a blank after it, so
// that the comment never holds "--" nor ends in "--->". Canonical form has
// no comments.
void Walk::writeComment(const DOMNode* node, int level) {
  if (m_options & QEL_WRITE_CANONICAL) return;
  const XMLCh* raw = node->getNodeValue();
  const std::u16string_view value(raw ? raw : u"");
  m_escaper.checkMarkup(value.data(), value.size(), node, "comment");
  std::u16string text;
  text.reserve(value.size());
  size_t pos = 0;
  for (size_t at; (at = value.find(u"--", pos)) != std::u16string_view::npos; pos = at + 2)
    text.append(value, pos, at - pos).append(u"- ");
  text.append(value, pos);
  if (!text.empty() && text.back() == u'-') text.push_back(u' ');
  writeOffset(level);
  m_out.text(XMLUni::fgCommentString);
  m_out.text(text);
  m_out.text(QelUni::s_closeComment);
  writeEndl();
}

[[noreturn]] void refuse(const char* function, const std::string& message, const DOMNode* node) {
  raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, function, s_revision, s_sourcePath,
        message + ": " + nodeText(node));
}

// Data holding "?>" would end the instruction early, and the target "xml"
// (in any letter case) is the XML declaration's: neither can be written.
void Walk::writePi(const DOMNode* node, int level) {
  const XMLCh* target = node->getNodeName();
  const XMLCh* data = node->getNodeValue();
  const size_t targetLength = qelStrlen(target);
  const size_t dataLength = qelStrlen(data);
  if (data && std::u16string_view(data, dataLength).find(u"?>") != std::u16string_view::npos)
    refuse("QelDomWriter::writePi", "The data of a processing instruction cannot hold \"?>\"", node);
  if (targetLength == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' && (target[2] | 0x20) == u'l')
    refuse("QelDomWriter::writePi", "The target of a processing instruction cannot be \"xml\" in any letter case",
           node);
  m_escaper.checkMarkup(target, targetLength, node, "processing instruction target name");
  m_escaper.checkMarkup(data, dataLength, node, "processing instruction");
  writeOffset(level);
  m_out.text(XMLUni::fgPIString);
  m_out.text(target, targetLength);
  m_out.unit(u' ');
  m_out.text(data, dataLength);
  m_out.text(u"?>");
  writeEndl();
}

// The replacement text of an entity from its children, written in canonical
// form (no comments, CDATA as escaped text) into a buffer that keeps it: the
// text that, read as content, gives the children again.
std::u16string textOfChildren(const DOMNode* entity) {
  Staging text;
  writeTree(Pieces(text, false), entity, QEL_WRITE_CANONICAL | QEL_WRITE_CONTENT_ONLY, nullptr);
  return std::u16string(text.text());
}

// An internal entity's value comes from its declaration in the internal
// subset, where there is one: an entity that is never referenced has no
// children. Otherwise it is made from the children; an entity with neither
// cannot be written without losing its value. An external entity whose
// identifiers are empty is declared with an empty system identifier.
void Walk::writeEntity(const DOMNode* node, int level) {
  const DOMEntity* entity = static_cast<const DOMEntity*>(node);
  const XMLCh* publicId = entity->getPublicId();
  const XMLCh* systemId = entity->getSystemId();
  bool external = !QelDomStr::empty(publicId) || !QelDomStr::empty(systemId);
  std::u16string value;
  if (!external) {
    const DOMDocument* document = node->getOwnerDocument();
    const DeclaredEntity declared = declaredEntity(document ? document->getDoctype() : nullptr, node->getNodeName());
    external = declared.declared && declared.external;
    if (declared.declared)
      value = declared.value;
    else if (node->hasChildNodes())
      value = textOfChildren(node);
    else
      refuse("QelDomWriter::writeEntity",
             "The value of the entity is not known: the internal subset does not declare it and it has no children",
             node);
  }
  writeOffset(level);
  m_out.text(QelUni::s_startEntity);
  m_escaper.markup(node->getNodeName(), node, "entity name");
  if (external && QelDomStr::empty(publicId) && QelDomStr::empty(systemId)) {
    m_out.text(u" SYSTEM \"\"");
  } else if (external) {
    writeIdentifiers(publicId, systemId, node);
  } else {
    m_out.text(u" \"");
    m_escaper.text(value.c_str(), m_escaper.tables().entityValue, node, "entity value");
    m_out.unit(u'"');
  }
  if (!QelDomStr::empty(entity->getNotationName())) {
    m_out.text(u" ");
    m_out.text(XMLUni::fgNDATAString);
    m_out.text(u" ");
    m_escaper.markup(entity->getNotationName(), node, "notation name");
  }
  m_out.unit(u'>');
  writeEndl();
}

// --- layout ------------------------------------------------------------------------------------

// Markup around a name at the indentation of `level`, and a line end where
// `endl` asks for one, as one append. Inlined at each call, where the markup
// and its lengths are constants.
QEL_INLINE inline void Walk::writeTag(int level, Units before, Units name, Units after, bool endl) {
  m_out.tag(Tag{indent(level), before, name, after, endl && lineEnds()});
}

void Walk::writeOffset(int level) {
  if (const size_t blanks = indent(level)) m_out.spaces(blanks);
}

void Walk::writeEndl() {
  if (lineEnds()) m_out.unit(u'\n');
}

// The node's document decides what XML can hold; a node without one (a
// document type made on its own) is written as XML 1.0.
bool isXml11(const DOMNode* node) {
  const DOMDocument* document =
      node->getNodeType() == DOMNode::DOCUMENT_NODE ? static_cast<const DOMDocument*>(node) : node->getOwnerDocument();
  return document && XMLString::equals(document->getXmlVersion(), XMLUni::fgVersion1_1);
}

}  // namespace

void writeTree(Pieces out, const DOMNode* node, unsigned long options, const DOMDocumentType* docType) {
  Walk(out, options, docType, isXml11(node)).write(node);
}

}  // namespace qel_detail
