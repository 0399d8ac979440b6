// Serialization: the converting writer, the DOM writer with its layout,
// escaping and CDATA splitting, and the one-call entry point.
#include "qelidwrt.hpp"

#include <strings.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <string_view>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

#include "qelframe.hpp"
#include "qelreplace.hpp"
#include "qelsubset.hpp"
#include "qelunits.hpp"
#include "qelxmlchars.hpp"

XERCES_CPP_NAMESPACE_USE
using qel_detail::appendCharRef;
using qel_detail::codePointAt;
using qel_detail::copyUnits;
using qel_detail::fillSpaces;
using qel_detail::isHighSurrogate;
using qel_detail::QelDomReplaceTable;
using qel_detail::ReplaceTables;
using qel_detail::s_spaces;

QEL_TRACE_FILE("qeldom/qelidwrt", "$Revision: 1.1 $");

// A function record at namespace scope, for traced functions whose callers
// test the level before they call (the writer's hot path).
#define QEL_TRACE_RECORD(var, name) \
  TRC1_EPB var = {&s_trcFile, name, sizeof(name) - 1, __LINE__, &s_trcSync, 0x800, {0}, {0}, {0, 0}}

namespace {

QEL_TRACE_RECORD(s_writeChars, "QelCnvWriter::write");
QEL_TRACE_RECORD(s_writeUnit, "QelCnvWriter::write");

// Code page ids of the converter that hold every character.
bool holdsEverything(long codePageId) {
  return codePageId == QEL_CODEPAGE_UTF8 || codePageId == QEL_CODEPAGE_UTF16LE || codePageId == QEL_CODEPAGE_UTF16BE;
}

size_t length(const XMLCh* text) { return qelStrlen(text); }

// The encoding name in UTF-16: null, "" and "NATIVE" (any case) are UTF-8.
std::u16string resolveEncodingName(const char* encoding) {
  if (!encoding || !*encoding) return QelUni::s_utf8;
  QelAutoBuffer<XMLCh> converted = qelNlsToUnicode(encoding, -1, LCL1_PrivateFunction_GetProcessLocale());
  std::u16string name = converted ? std::u16string(converted.get(), converted.size()) : std::u16string();
  if (qelToUpper(name) == QelUni::s_native) return QelUni::s_utf8;
  return name;
}

}  // namespace

// --- QelCnvWriter ------------------------------------------------------------------------

// tavDomInit comes first: the buffer needs the Xerces-C memory manager, and a
// caller may build a converting writer before any other call of the library.
QelCnvWriter::QelCnvWriter(QelOutputStream& stream, const char* encoding, bool withPrefix)
    : m_stream(stream),
      m_converter((tavDomInit(), resolveEncodingName(encoding).c_str())),
      m_buffer(2 * s_capacity),
      m_length(0),
      m_isUtf16(false),
      m_isPrefixed(true),
      m_withPrefix(withPrefix),
      m_prefix(0),
      m_uncaughtAtStart(std::uncaught_exceptions()),
      m_tracePieces(true) {
  QEL_TRACE_ENTER("QelCnvWriter::QelCnvWriter");
  QEL_TRACE_ARGS("(" << qel_detail::orNull(encoding) << ")");
  if (long number = LcGetError(m_converter.m_locale)) {
    std::string message = QelNls::getErrorMsg(number);
    if (number == QEL_NLS_UNKNOWN_CODEPAGE && encoding) message += std::string(" (") + encoding + ")";
    qel_detail::raise(&trc_, 127, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelCnvWriter::QelCnvWriter",
                      s_revision, s_sourcePath, message);
  }
  long id = m_converter.getCodePageId();
  if (id == QEL_CODEPAGE_UTF16BE || id == QEL_CODEPAGE_UTF16LE) {
    m_prefix = 0xFEFF;
    m_isUtf16 = true;
    m_isPrefixed = !withPrefix;
  }
  QEL_TRACE_EXIT();
}

// The final commit converts even a trailing high surrogate (the converter
// writes a reference for the lone unit). While another exception is on its way
// a stream failure here is dropped: that exception already tells the caller.
QelCnvWriter::~QelCnvWriter() noexcept(false) {
  if (std::uncaught_exceptions() > m_uncaughtAtStart) {
    try {
      commitBuffer(false);
    } catch (...) {
    }
    return;
  }
  commitBuffer(false);
}

void QelCnvWriter::write(const XMLCh* chars, int count) {
  qel_detail::Trace trc_(s_writeChars, __LINE__);
  QEL_TRACE_ARGS("(" << qel_detail::u16(chars, count > 0 ? static_cast<unsigned>(count) : 0u) << ")");
  if (chars) {
    XMLSize_t n = count > 0 ? static_cast<XMLSize_t>(count) : length(chars);
    copyUnits(room(n), chars, n);
    m_length += n;
  }
  if (m_length >= s_capacity) commitBuffer(true);
  QEL_TRACE_EXIT();
}

void QelCnvWriter::write(XMLCh unit) {
  qel_detail::Trace trc_(s_writeUnit, __LINE__);
  QEL_TRACE_ARGS("(" << static_cast<unsigned>(unit) << ")");
  write(&unit, 1);
  QEL_TRACE_EXIT();
}

void QelCnvWriter::write(const std::u16string& text) {
  QEL_TRACE_ENTER("QelCnvWriter::write");
  QEL_TRACE_ARGS("(" << qel_detail::u16(text.data(), static_cast<unsigned>(text.length())) << ")");
  tracedPut(text.data(), text.length());
  QEL_TRACE_EXIT();
}

// The staging buffer holds twice the commit size, so that a piece rarely
// needs it to grow: a commit empties it once 4096 units are reached.
inline XMLCh* QelCnvWriter::room(XMLSize_t count) {
  if (count > m_buffer.size() - m_length) grow(count);
  return m_buffer.data() + m_length;
}

void QelCnvWriter::grow(XMLSize_t count) { m_buffer.resize(std::max(2 * m_buffer.size(), m_length + count)); }

inline void QelCnvWriter::put(const XMLCh* chars, XMLSize_t count) {
  if (m_tracePieces) {
    tracedPut(chars, count);
    return;
  }
  copyUnits(room(count), chars, count);
  m_length += count;
}

inline void QelCnvWriter::put(XMLCh unit) {
  if (m_tracePieces) {
    write(unit);
    return;
  }
  *room(1) = unit;
  ++m_length;
}

// Pieces as writes of their own, each with its trace and its commit check.
void QelCnvWriter::tracedPut(const XMLCh* chars, XMLSize_t count) {
  for (; count > INT_MAX; count -= INT_MAX, chars += INT_MAX) write(chars, INT_MAX);
  if (count) write(chars, static_cast<int>(count));
}

void QelCnvWriter::commit() { commitBuffer(true); }

// Each conversion is complete in itself, so a surrogate pair must never be
// split between two of them: a trailing high surrogate stays in the buffer
// until its low surrogate arrives, unless this is the final commit. The buffer
// is emptied before the stream is called, so a stream that throws never gets
// the same text twice.
void QelCnvWriter::commitBuffer(bool keepHighSurrogate) {
  QEL_TRACE_ENTER("QelCnvWriter::commit");
  QEL_TRACE_ARGS("this(" << static_cast<const void*>(this) << ") m_buffer.getLen()(" << m_length << ") m_prefix("
                         << static_cast<unsigned>(m_prefix) << ") m_isUtf16(" << m_isUtf16 << ") m_isPrefixed("
                         << m_isPrefixed << ") ");
  XMLSize_t count = m_length;
  const XMLCh* text = m_buffer.data();
  XMLCh held = 0;
  if (keepHighSurrogate && count > 0 && isHighSurrogate(text[count - 1])) held = text[--count];
  if (count == 0) {
    QEL_TRACE_EXIT();
    return;
  }
  if (!m_isPrefixed) {
    QelAutoBuffer<char> mark = m_converter.fromUnicode(&m_prefix, 1);
    m_isPrefixed = true;
    m_stream.write(mark.get(), static_cast<long>(mark.size()));
  }
  // UTF-16 in the machine's byte order comes back as the staged text itself,
  // so a held-back surrogate returns to the front of the buffer only once the
  // stream has the bytes (or has thrown).
  size_t size = 0;
  const char* bytes = m_converter.fromUnicode(text, count, m_bytes, size);
  m_length = 0;
  struct HoldBack {
    QelCnvWriter& writer;
    XMLCh unit;
    ~HoldBack() {
      if (unit) writer.m_buffer[writer.m_length++] = unit;
    }
  } holdBack{*this, held};
  m_stream.write(bytes, static_cast<long>(size));
  QEL_TRACE_FLOW("target.buffer()(" << std::string(bytes, size) << ") ");
  QEL_TRACE_EXIT();
}

// --- helpers of the DOM writer ----------------------------------------------------------------

namespace {

// Whether the code page holds every unit from U+0080 to U+00FF, one byte
// each: converted there and back they come out unchanged.
bool holdsLatin1(const QelNls& converter) {
  XMLCh units[128];
  for (int i = 0; i < 128; ++i) units[i] = static_cast<XMLCh>(0x80 + i);
  QelAutoBuffer<char> bytes = converter.fromUnicode(units, 128);
  if (bytes.size() != 128) return false;
  QelAutoBuffer<XMLCh> back = converter.toUnicode(bytes.get(), 128);
  return back.size() == 128 && std::memcmp(back.get(), units, sizeof units) == 0;
}

std::string nodeText(const DOMNode* node) {
  std::ostringstream os;
  os << node;
  return os.str();
}

// An attribute's value. Xerces-C keeps it as the attribute's children and
// assembles it with casts on each request; the common case of one text child
// is read straight from that child (the same text getNodeValue returns).
const XMLCh* attributeValue(const DOMNode* attr) {
  const DOMNode* child = attr->getFirstChild();
  if (child && child->getNodeType() == DOMNode::TEXT_NODE && !child->getNextSibling()) return child->getNodeValue();
  return attr->getNodeValue();
}

}  // namespace

// Whether the code page holds the character (one unit, or a surrogate pair).
// Answers for single units are kept; only non-UTF outputs ask.
inline bool QelDomWriter::canEncode(const XMLCh* unit, int count) {
  if (m_encodable.empty()) return true;
  if (count == 1 && m_encodable[*unit]) return m_encodable[*unit] == 1;
  return convertsWithoutReference(unit, count);
}

// Why a character cannot be written where it stands.
enum class QelDomWriter::Refusal : unsigned char { notXml, onlyAsReference, notInCodePage };

// --- QelDomWriter: construction and the walk ---------------------------------------------------

QelDomWriter::QelDomWriter(const DOMNode* node, QelOutputStream& stream, unsigned long options, const char* encoding,
                           const DOMDocumentType* docType)
    : m_encoding(resolveEncodingName(encoding)),
      m_options(options),
      m_docType(docType),
      m_writer(stream, encoding, true),
      m_textTable(nullptr),
      m_attrTable(nullptr),
      m_scanKind(2),
      m_xml11(false),
      m_names() {
  if (!node)
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::QelDomWriter",
                      s_revision, s_sourcePath, "QelDomWriter: the node to write is NULL");
  // The trace level of the pieces is read once per run: with the write trace
  // off, a piece costs an append and nothing else.
  m_writer.m_tracePieces = (TRC1_Level(&s_writeChars) | TRC1_Level(&s_writeUnit)) & 0x40;
  // The node's document decides what XML can hold; a node without one (a
  // document type made on its own) is written as XML 1.0.
  const DOMDocument* document =
      node->getNodeType() == DOMNode::DOCUMENT_NODE ? static_cast<const DOMDocument*>(node) : node->getOwnerDocument();
  m_xml11 = document && XMLString::equals(document->getXmlVersion(), XMLUni::fgVersion1_1);
  // Characters that the code page cannot hold come out of the converter as
  // character references. Where that would change the content (CDATA) or
  // break the markup (names, comments, processing instructions), the writer
  // needs to know them in advance.
  if (!holdsEverything(m_writer.getConverter().getCodePageId())) {
    m_encodable.assign(0x10000, 0);
    QelAutoBuffer<char> ref = m_writer.getConverter().fromUnicode(u"&#x", 3);
    m_refBytes.assign(ref.get(), ref.size());
  }
  const ReplaceTables& tables = qel_detail::replaceTables(m_xml11);
  m_textTable = &tables.text;
  m_attrTable = &tables.attr;
  if (m_options & QEL_WRITE_CANONICAL) {
    m_textTable = &tables.canonicalText;
    m_attrTable = &tables.canonicalAttr;
  } else if (m_options & QEL_WRITE_CHAR_REFS) {
    m_textTable = &tables.lineText;
    m_attrTable = &tables.lineAttr;
  }
  // The units the scan stops at, to look at them one by one: all from U+0080
  // up for references, in XML 1.1 (its controls U+0080 to U+009F) and where
  // the code page lacks characters; from U+0100 up where it holds all of
  // U+0080 to U+00FF. Otherwise only surrogates, U+FFFE and U+FFFF.
  if ((m_options & QEL_WRITE_CHAR_REFS) || m_xml11)
    m_scanKind = 0;
  else if (!m_encodable.empty())
    m_scanKind = holdsLatin1(m_writer.getConverter()) ? 1 : 0;
  if (m_scanKind == 1) std::fill(m_encodable.begin() + 0x80, m_encodable.begin() + 0x100, 1);
  if (docType && node->getNodeType() != DOMNode::DOCUMENT_NODE) writeDocType(nullptr, 0);
  writeNode(node, 0);
  m_writer.commitBuffer(false);
}

// The walk keeps its own stack of the parents whose children are being
// written, so the depth of a tree never reaches the call stack.
void QelDomWriter::writeNode(const DOMNode* node, int level) {
  const DOMNode* parent = node->getParentNode();
  visit(node, level, parent && parent->getFirstChild() == node && !node->getNextSibling());
  while (!m_stack.empty()) {
    Frame& top = m_stack.back();
    m_writer.commitIfFull();
    if (const DOMNode* child = top.next) {
      top.next = child->getNextSibling();
      visit(child, top.level, child == top.first && !top.next);  // may grow the stack: `top` is not used again
      continue;
    }
    Frame done = top;
    m_stack.pop_back();
    if (done.name) writeElementEnd(done.name, done.nameLength, done.elementLevel, false);
  }
}

// Writes what comes before a node's children and schedules the children.
void QelDomWriter::visit(const DOMNode* node, int level, bool onlyChild) {
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
      writeDoc(node, level);
      break;
    case DOMNode::DOCUMENT_TYPE_NODE:
      writeDocType(node, level);
      break;
    default:
      break;  // attributes, fragments, notations
  }
}

// With `endTagName` the children are an element's, whose end tag follows them.
void QelDomWriter::pushChildNodes(const DOMNode* first, int level, const XMLCh* endTagName, XMLSize_t nameLength,
                                  int elementLevel) {
  m_stack.push_back(Frame{first, first, level, endTagName, nameLength, elementLevel});
}

// An XML 1.1 document always begins with its declaration: without one a
// parser reads it as XML 1.0, a different document or none at all.
void QelDomWriter::writeDoc(const DOMNode* node, int /*level*/) {
  if ((m_options & QEL_WRITE_XML_DECL) || m_xml11) {
    static const XMLCh version11[] = u"<?xml version=\"1.1\"";
    m_writer.put(m_xml11 ? version11 : QelUni::s_xmlDeclVersion, length(QelUni::s_xmlDeclVersion));
    const QelNls& converter = m_writer.getConverter();
    if (converter.getCodePageId() != QEL_CODEPAGE_UTF8) {
      m_writer.put(QelUni::s_xmlDeclEncoding, length(QelUni::s_xmlDeclEncoding));
      const XMLCh* name = converter.getCodePage();
      std::string name8 = qelToMbcs(name);
      bool utf16 = strcasecmp(name8.c_str(), "UTF-16LE") == 0 || strcasecmp(name8.c_str(), "UTF-16BE") == 0;
      m_writer.put(name, utf16 ? 6 : length(name));
      m_writer.put(u'"');
    }
    m_writer.put(QelUni::s_xmlDeclEnd, length(QelUni::s_xmlDeclEnd));
    writeEndl();
  }
  const DOMDocument* doc = static_cast<const DOMDocument*>(node);
  if (!doc->getDoctype() && m_docType) writeDocType(m_docType, 0);
  pushChildNodes(node->getFirstChild(), 0);
}

// The declaration as the document type holds it, except for the internal
// subset, which Xerces-C rebuilds in a form that does not parse back to the
// same declarations: it is read and written declaration by declaration.
void QelDomWriter::writeDocType(const DOMNode* node, int /*level*/) {
  if (!(m_options & QEL_WRITE_DOCTYPE)) return;
  const DOMDocumentType* docType = m_docType ? m_docType : static_cast<const DOMDocumentType*>(node);
  std::vector<qel_detail::SubsetPiece> subset = qel_detail::readInternalSubset(docType);
  writeMarkup(XMLUni::fgDocTypeString, docType, "");
  writeMarkup(u" ", docType, "");
  writeMarkup(docType->getNodeName(), docType, "document type name");
  writeIdentifiers(docType->getPublicId(), docType->getSystemId(), docType);
  if (!subset.empty()) {
    const ReplaceTables& tables = qel_detail::replaceTables(m_xml11);
    writeMarkup(u" [", docType, "");
    for (const qel_detail::SubsetPiece& piece : subset) {
      if (piece.kind == qel_detail::SubsetPiece::markup)
        writeMarkup(piece.text.c_str(), docType, piece.what, piece.offset);
      else  // an attribute default keeps its white space only as references
        writeEscaped(piece.text.c_str(),
                     piece.kind == qel_detail::SubsetPiece::entityValue ? tables.entityValue : tables.canonicalAttr,
                     docType, piece.what, piece.offset);
    }
    writeMarkup(u"]", docType, "");
  }
  writeMarkup(u">", docType, "");
  writeEndl();
}

// " PUBLIC \"p\" \"s\"", " PUBLIC \"p\"" or " SYSTEM \"s\"": each
// identifier quoted so that it holds no quotation mark of its own literal.
void QelDomWriter::writeIdentifiers(const XMLCh* publicId, const XMLCh* systemId, const DOMNode* node) {
  const bool hasSystem = !QelDomStr::empty(systemId);
  if (!QelDomStr::empty(publicId)) {
    writeMarkup(u" ", node, "");
    writeMarkup(XMLUni::fgPubIDString, node, "");
    writeMarkup(u" ", node, "");
    checkLiteral(publicId, length(publicId), node, "public identifier");
    const std::u16string quoted = qel_detail::quotedIdentifier(publicId, node);
    m_writer.put(quoted.data(), quoted.size());
  } else if (hasSystem) {
    writeMarkup(u" ", node, "");
    writeMarkup(XMLUni::fgSysIDString, node, "");
  }
  if (!hasSystem) return;
  writeMarkup(u" ", node, "");
  checkLiteral(systemId, length(systemId), node, "system identifier");
  const std::u16string quoted = qel_detail::quotedIdentifier(systemId, node);
  m_writer.put(quoted.data(), quoted.size());
}

// Markup that XML gives no character references, checked and written.
void QelDomWriter::writeMarkup(const XMLCh* text, const DOMNode* node, const char* what, size_t base) {
  const size_t count = length(text);
  checkLiteral(text, count, node, what, base);
  m_writer.put(text, count);
}

void QelDomWriter::writeElement(const DOMNode* node, int level) {
  const bool canonical = m_options & QEL_WRITE_CANONICAL;
  if ((m_options & QEL_WRITE_SPACED_MARGINS) && level == 2) writeEndl();
  const XMLCh* name = node->getNodeName();
  const XMLSize_t length = nameLength(name, node, "element name");
  writeAround(level, u"<", 1, name, length, nullptr, 0, false);

  const DOMNamedNodeMap* attributes = node->getAttributes();
  const XMLSize_t count = attributes ? attributes->getLength() : 0;  // the tree stays unchanged while it is written
  for (XMLSize_t i = 0; i < count; ++i) {
    const DOMAttr* attr = static_cast<const DOMAttr*>(attributes->item(i));
    if ((m_options & QEL_WRITE_SPECIFIED_ONLY) && !attr->getSpecified()) continue;
    const XMLCh* attrName = attr->getNodeName();
    writeAround(0, u" ", 1, attrName, nameLength(attrName, node, "attribute name"), u"=\"", 2, false);
    writeEscaped(attributeValue(attr), *m_attrTable, attr, "attribute value");
    m_writer.put(u'"');
    m_writer.commitIfFull();  // an element with very many attributes stays within the buffer too
  }

  const DOMNode* first = node->getFirstChild();
  if (!first) {
    if (canonical) {
      writeAround(0, u"></", 3, name, length, u">", 1, true);
    } else {
      writeAround(0, u"/>", 2, nullptr, 0, nullptr, 0, true);
    }
    return;
  }
  short firstType = first->getNodeType();
  bool isInline =
      !first->getNextSibling() && (firstType == DOMNode::TEXT_NODE || firstType == DOMNode::CDATA_SECTION_NODE);
  writeAround(0, u">", 1, nullptr, 0, nullptr, 0, !isInline);
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
void QelDomWriter::writeElementEnd(const XMLCh* name, XMLSize_t nameLength, int level, bool isInline) {
  if (!isInline && (m_options & QEL_WRITE_SPACED_MARGINS) && level == 0) writeEndl();
  writeAround(isInline ? 0 : level, u"</", 2, name, nameLength, u">", 1, true);
}

// Names are written as the DOM holds them; where the code page cannot hold
// one of their characters the writer raises instead. A name is measured and
// checked the first time its address comes by.
inline XMLSize_t QelDomWriter::nameLength(const XMLCh* name, const DOMNode* node, const char* what) {
  if (!name) return 0;
  const uintptr_t address = reinterpret_cast<uintptr_t>(name);
  KnownName& known = m_names[((address >> 3) ^ (address >> 10)) % (sizeof m_names / sizeof m_names[0])];
  if (known.name == name) return known.length;
  const XMLCh* end = name;
  bool ascii = true;
  for (; *end; ++end) ascii &= *end < 0x80;
  const XMLSize_t length = static_cast<XMLSize_t>(end - name);
  if (!ascii && !m_encodable.empty()) checkLiteral(name, length, node, what);
  known = KnownName{name, length};
  return length;
}

// A name with the markup around it ("<a", " id=\"", "</a>"), after the
// indentation of `level` and before a line end where `endl` asks for one, as
// one append. The markup pieces are one to three units long.
// Inlined at each call, where the markup and its lengths are constants.
QEL_INLINE inline void QelDomWriter::writeAround(int level, const XMLCh* before, XMLSize_t beforeLength,
                                                 const XMLCh* name, XMLSize_t length, const XMLCh* after,
                                                 XMLSize_t afterLength, bool endl) {
  if (m_writer.m_tracePieces) {
    writeAroundTraced(level, before, beforeLength, name, length, after, afterLength, endl);
    return;
  }
  const bool margins = isMarginsOn();
  const XMLSize_t indent = margins && level > 0 ? static_cast<XMLSize_t>(level) : 0;
  const XMLSize_t lineEnd = endl && margins && !(m_options & QEL_WRITE_CANONICAL) ? 1 : 0;
  const XMLSize_t total = indent + beforeLength + length + afterLength + lineEnd;
  XMLCh* out = m_writer.room(total);
  if (indent) {
    out = fillSpaces(out, indent);
  }
  copyUnits(out, before, beforeLength);
  out += beforeLength;
  copyUnits(out, name, length);
  out += length;
  copyUnits(out, after, afterLength);
  if (lineEnd) out[afterLength] = u'\n';
  m_writer.m_length += total;
}

// The same as the writes the pieces are: the markup's single units as
// units, the name as a text.
void QelDomWriter::writeAroundTraced(int level, const XMLCh* before, XMLSize_t beforeLength, const XMLCh* name,
                                     XMLSize_t length, const XMLCh* after, XMLSize_t afterLength, bool endl) {
  writeOffset(level);
  auto markup = [this](const XMLCh* piece, XMLSize_t n) {
    if (n == 1)
      m_writer.put(*piece);
    else if (n)
      m_writer.put(piece, n);
  };
  markup(before, beforeLength);
  if (length) m_writer.put(name, length);
  markup(after, afterLength);
  if (endl) writeEndl();
}

// --- layout ---------------------------------------------------------------------------------

inline void QelDomWriter::writeEndl() {
  if (!(m_options & QEL_WRITE_CANONICAL) && isMarginsOn()) m_writer.put(u'\n');
}

inline void QelDomWriter::writeOffset(int level) {
  if (!isMarginsOn() || level <= 0) return;
  const size_t chunk = sizeof s_spaces / sizeof s_spaces[0] - 1;
  size_t n = static_cast<size_t>(level);
  for (; n > chunk; n -= chunk) m_writer.put(s_spaces, chunk);
  m_writer.put(s_spaces, n);
}

// --- character data ----------------------------------------------------------------------------

void QelDomWriter::writeCharRef(char32_t codePoint) {
  std::u16string ref;
  appendCharRef(ref, codePoint);
  m_writer.put(ref.data(), ref.length());
}

// One pass: plain runs go to the converting writer whole; a symbol of the
// table becomes its reference; a character that the document's version
// allows only as a reference, that the code page cannot hold, or (with
// QEL_WRITE_CHAR_REFS) any above U+007F becomes a hexadecimal reference, one
// for a surrogate pair's code point; a character that can never be XML is
// not written: the pass stops there and returns it (null when the whole
// text was written).
const XMLCh* QelDomWriter::replaceAndWrite(const XMLCh* text, const QelDomReplaceTable& table) {
  const XMLCh* p = text;
  if (!p) return nullptr;
  const XMLCh* run = p;
  const bool charRefs = m_options & QEL_WRITE_CHAR_REFS;
  for (;;) {
    p = table.scan[m_scanKind](p, table);
    const XMLCh c = *p;
    char32_t codePoint = c;
    int width = 1;
    if (c < 0x80) {
      const int k = table.index[c];
      if (k < 0) {  // TAB, LF or CR that the table keeps
        ++p;
        continue;
      }
      if (k == QelDomReplaceTable::s_end) break;
      if (k != QelDomReplaceTable::s_control) {
        m_writer.put(run, static_cast<XMLSize_t>(p - run));
        m_writer.put(table.refs[k], static_cast<XMLSize_t>(table.refLengths[k]));
        run = ++p;
        m_writer.commitIfFull();  // a long text full of references stays within the buffer
        continue;
      }
      if (!m_xml11) return p;
    } else {
      codePoint = codePointAt(p, p + 2, width);  // p[1] is readable: at worst the terminating zero
      if (qel_detail::isNeverXml(codePoint, m_xml11)) return p;
      if (!(m_xml11 && qel_detail::isReferenceOnly11(codePoint)) && !charRefs && canEncode(p, width)) {
        p += width;  // stays in the plain run
        continue;
      }
    }
    m_writer.put(run, static_cast<XMLSize_t>(p - run));
    writeCharRef(codePoint);
    p += width;
    run = p;
    m_writer.commitIfFull();
  }
  m_writer.put(run, static_cast<XMLSize_t>(p - run));
  return nullptr;
}

// The text escaped; `node` and `what` name it in a refusal, `base` is its
// own position there.
inline void QelDomWriter::writeEscaped(const XMLCh* text, const QelDomReplaceTable& table, const DOMNode* node,
                                       const char* what, size_t base) {
  if (const XMLCh* refused = replaceAndWrite(text, table))
    refuseCharacter(node, what, text, refused, base, Refusal::notXml);
}

// A text node among other children stands on a line of its own; an only
// child stays inline. A text node without a parent counts as not an only
// child. The walk knows the parent, so it tells.
void QelDomWriter::writeText(const DOMNode* node, int level, bool onlyChild) {
  if (!onlyChild) writeOffset(level);
  writeEscaped(node->getNodeValue(), *m_textTable, node, "text");
  if (!onlyChild) writeEndl();
}

void QelDomWriter::writeCData(const DOMNode* node, int level, bool onlyChild) {
  if (m_options & QEL_WRITE_CANONICAL) {
    writeText(node, level, onlyChild);
    return;
  }
  if (!onlyChild) writeOffset(level);
  m_writer.put(QelUni::s_startCData, length(QelUni::s_startCData));
  writeCDataContent(node);
  m_writer.put(QelUni::s_endCData, length(QelUni::s_endCData));
  if (!onlyChild) writeEndl();
}

// Splits the section around each marker inside the content, and closes it
// around every run of characters that must become references: all of them
// above U+007F with QEL_WRITE_CHAR_REFS, those the code page cannot hold
// otherwise (inside a section the converter's reference would be read back
// as text), and those XML 1.1 allows only as references.
void QelDomWriter::writeCDataContent(const DOMNode* node) {
  static const XMLCh startReplacement[] = u"]]>&lt;![CDATA[<![CDATA[";
  static const XMLCh endReplacement[] = u"]]>]]&gt;<![CDATA[";
  QEL_TRACE_ENTER("QelDomWriter::writeCDataContent");
  QEL_TRACE_ARGS("");
  const std::u16string content = QelDomStr(node->getNodeValue());
  const size_t size = content.size();
  checkCharacters(content.data(), size, node, "CDATA section", false);
  std::u16string out;
  out.reserve(size);
  size_t p = 0;
  while (p < size) {
    size_t startAt = content.find(QelUni::s_startCData, p);
    size_t endAt = content.find(QelUni::s_endCData, p);
    size_t s = (startAt == std::u16string::npos ? size : startAt) - p;
    size_t e = (endAt == std::u16string::npos ? size : endAt) - p;
    QEL_TRACE_FLOW("(" << p << ") cdataStartPos(" << s << ") cdataEndPos(" << e << ")");
    if (e > s) {
      out.append(content, p, s).append(startReplacement);
      p += s + 9;
    } else if (e < s) {
      out.append(content, p, e).append(endReplacement);
      p += e + 3;
    } else {
      out.append(content, p, std::u16string::npos);
      break;
    }
  }

  const bool charRefs = m_options & QEL_WRITE_CHAR_REFS;
  if (!charRefs && m_encodable.empty() && !m_xml11) {
    m_writer.put(out.data(), out.size());
    QEL_TRACE_EXIT();
    return;
  }
  const XMLCh* begin = out.data();
  const XMLCh* end = begin + out.size();
  auto needsRef = [&](const XMLCh* at, int& width) {
    const char32_t c = codePointAt(at, end, width);
    if (m_xml11 && qel_detail::isReferenceOnly11(c)) return true;
    return c > 0x7F && (charRefs || !canEncode(at, width));
  };
  const XMLCh* segment = begin;
  const XMLCh* at = begin;
  std::u16string refs;
  int width;
  while (at < end) {
    if (!needsRef(at, width)) {
      at += width;
      continue;
    }
    const XMLCh* runStart = at;
    refs.clear();
    while (at < end && needsRef(at, width)) {
      appendCharRef(refs, codePointAt(at, end, width));
      at += width;
    }
    m_writer.put(segment, static_cast<XMLSize_t>(runStart - segment));
    m_writer.put(QelUni::s_endCData, length(QelUni::s_endCData));
    m_writer.put(refs.data(), refs.size());
    m_writer.put(QelUni::s_startCData, length(QelUni::s_startCData));
    m_writer.commitIfFull();
    segment = at;
  }
  m_writer.put(segment, static_cast<XMLSize_t>(end - segment));
  QEL_TRACE_EXIT();
}

// Every "--" becomes "- ", and a hyphen at the end gets a blank after it, so
// that the comment never holds "--" nor ends in "--->".
void QelDomWriter::writeComment(const DOMNode* node, int level) {
  if (m_options & QEL_WRITE_CANONICAL) return;
  const XMLCh* value = node->getNodeValue();
  checkLiteral(value, length(value), node, "comment");
  std::u16string text = replace(QelDomStr(value), u"--", u"- ");
  if (!text.empty() && text.back() == u'-') text.push_back(u' ');
  writeOffset(level);
  m_writer.put(XMLUni::fgCommentString, length(XMLUni::fgCommentString));
  m_writer.put(text.data(), text.length());
  m_writer.put(QelUni::s_closeComment, length(QelUni::s_closeComment));
  writeEndl();
}

std::u16string QelDomWriter::replace(const std::u16string& text, const XMLCh* from, const XMLCh* to) {
  const size_t fromLength = length(from);
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (size_t at; fromLength && (at = text.find(from, pos, fromLength)) != std::u16string::npos; pos = at + fromLength)
    out.append(text, pos, at - pos).append(to);
  return out.append(text, pos, std::u16string::npos);
}

// Data holding "?>" would end the instruction early, and the target "xml"
// (in any letter case) is the XML declaration's: neither can be written.
void QelDomWriter::writePi(const DOMNode* node, int level) {
  const XMLCh* target = node->getNodeName();
  const XMLCh* data = node->getNodeValue();
  size_t targetLength = length(target);
  size_t dataLength = length(data);
  if (data && std::u16string_view(data, dataLength).find(u"?>") != std::u16string_view::npos)
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::writePi",
                      s_revision, s_sourcePath,
                      "The data of a processing instruction cannot hold \"?>\": " + nodeText(node));
  if (targetLength == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' && (target[2] | 0x20) == u'l')
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::writePi",
                      s_revision, s_sourcePath,
                      "The target of a processing instruction cannot be \"xml\" in any letter case: " + nodeText(node));
  checkLiteral(target, targetLength, node, "processing instruction target name");
  checkLiteral(data, dataLength, node, "processing instruction");
  writeOffset(level);
  m_writer.put(XMLUni::fgPIString, length(XMLUni::fgPIString));
  m_writer.put(target, targetLength);
  m_writer.put(u' ');
  m_writer.put(data, dataLength);
  m_writer.put(u"?>", 2);
  writeEndl();
}

namespace {

// The replacement text of an entity from its children, written in canonical
// form (no comments, CDATA as escaped text): the text that, read as content,
// gives the children again.
std::u16string replacementFromChildren(const DOMNode* entity) {
  std::string bytes;
  QelStringOutputStream stream(bytes);
  QelDomWriter(entity, stream, QEL_WRITE_CANONICAL | QEL_WRITE_CONTENT_ONLY, "UTF-16LE", nullptr);
  std::u16string value;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)  // after the byte order mark
    value.push_back(
        static_cast<XMLCh>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return value;
}

}  // namespace

// An internal entity's value comes from its declaration in the internal
// subset, where there is one: an entity that is never referenced has no
// children. Otherwise it is made from the children; an entity with neither
// cannot be written without losing its value. An external entity whose
// identifiers are empty is declared with an empty system identifier.
void QelDomWriter::writeEntity(const DOMNode* node, int level) {
  const DOMEntity* entity = static_cast<const DOMEntity*>(node);
  const XMLCh* publicId = entity->getPublicId();
  const XMLCh* systemId = entity->getSystemId();
  bool external = !QelDomStr::empty(publicId) || !QelDomStr::empty(systemId);
  std::u16string value;
  if (!external) {
    const DOMDocument* document = node->getOwnerDocument();
    qel_detail::DeclaredEntity declared =
        qel_detail::declaredEntity(document ? document->getDoctype() : nullptr, node->getNodeName());
    external = declared.declared && declared.external;
    if (declared.declared) {
      value = declared.value;
    } else if (node->hasChildNodes()) {
      value = replacementFromChildren(node);
    } else {
      qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::writeEntity",
                        s_revision, s_sourcePath,
                        "The value of the entity is not known: the internal subset does not declare it and it has "
                        "no children: " +
                            nodeText(node));
    }
  }
  writeOffset(level);
  writeMarkup(QelUni::s_startEntity, node, "");
  writeMarkup(node->getNodeName(), node, "entity name");
  if (external && QelDomStr::empty(publicId) && QelDomStr::empty(systemId)) {
    writeMarkup(u" SYSTEM \"\"", node, "");
  } else if (external) {
    writeIdentifiers(publicId, systemId, node);
  } else {
    m_writer.put(u" \"", 2);
    writeEscaped(value.c_str(), qel_detail::replaceTables(m_xml11).entityValue, node, "entity value");
    m_writer.put(u'"');
  }
  if (!QelDomStr::empty(entity->getNotationName())) {
    writeMarkup(u" ", node, "");
    writeMarkup(XMLUni::fgNDATAString, node, "");
    writeMarkup(u" ", node, "");
    writeMarkup(entity->getNotationName(), node, "notation name");
  }
  m_writer.put(u'>');
  writeEndl();
}

// --- checks ------------------------------------------------------------------------------------

// The converter's answer for a character not asked about before; a single
// unit's answer is kept.
bool QelDomWriter::convertsWithoutReference(const XMLCh* unit, int count) {
  QelAutoBuffer<char> bytes = m_writer.getConverter().fromUnicode(unit, count);
  bool ok = !(bytes.size() > m_refBytes.size() &&
              m_refBytes.compare(0, m_refBytes.size(), bytes.get(), m_refBytes.size()) == 0);
  if (count == 1) m_encodable[*unit] = ok ? 1 : 2;
  return ok;
}

// Raises the error for the character at `at` of `text`: "The <what> holds
// U+XXXX at position N, <why>: <node>". The position counts UTF-16 units
// from the start of the text, plus `base`.
void QelDomWriter::refuseCharacter(const DOMNode* node, const char* what, const XMLCh* text, const XMLCh* at,
                                   size_t base, Refusal why) {
  int width;
  const char32_t c = codePointAt(at, at + 2, width);
  char codePoint[16];
  std::snprintf(codePoint, sizeof codePoint, "U+%04X", static_cast<unsigned>(c));
  const char* version = m_xml11 ? "1.1" : "1.0";
  std::string reason = why == Refusal::notXml ? std::string("which is not a character of XML ") + version
                       : why == Refusal::onlyAsReference
                           ? "which XML 1.1 allows only as a character reference"
                           : "which the encoding " + qelToMbcs(m_writer.getConverter().getCodePage()) + " cannot hold";
  qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::QelDomWriter",
                    s_revision, s_sourcePath,
                    std::string("The ") + what + " holds " + codePoint + " at position " +
                        std::to_string(base + static_cast<size_t>(at - text)) + ", " + reason + ": " + nodeText(node));
}

// Refuses the first character that can never be XML; with `literal` also
// those XML 1.1 allows only as references and, where the text holds neither,
// the first one the code page cannot hold: text where XML has no character
// references (names, comments, processing instructions, identifiers). What
// XML cannot hold is refused alike in every code page.
void QelDomWriter::checkCharacters(const XMLCh* text, size_t count, const DOMNode* node, const char* what, bool literal,
                                   size_t base) {
  if (!text) return;
  const XMLCh* end = text + count;
  const XMLCh* missing = nullptr;  // the first character the code page lacks
  for (const XMLCh* p = text; p < end;) {
    if (*p >= 0x20 && *p < 0x7F) {
      ++p;
      continue;
    }
    int width;
    const char32_t c = codePointAt(p, end, width);
    if (qel_detail::isNeverXml(c, m_xml11)) refuseCharacter(node, what, text, p, base, Refusal::notXml);
    if (literal && m_xml11 && qel_detail::isReferenceOnly11(c))
      refuseCharacter(node, what, text, p, base, Refusal::onlyAsReference);
    if (literal && !missing && c > 0x7F && !canEncode(p, width)) missing = p;
    p += width;
  }
  if (missing) refuseCharacter(node, what, text, missing, base, Refusal::notInCodePage);
}

// --- document type declaration, entry point ----------------------------------------------------------

std::u16string qelMakeDocTypeDecl(const DOMDocumentType* docType) {
  if (!docType) return std::u16string();
  XMLBuffer buffer(1023);
  auto appendQuoted = [&](const XMLCh* id) {
    buffer.append(u' ');
    buffer.append(u'"');
    buffer.append(id, 0);
    buffer.append(u'"');
  };
  buffer.append(XMLUni::fgDocTypeString, 0);
  buffer.append(u' ');
  buffer.append(docType->getNodeName(), 0);
  const XMLCh* publicId = docType->getPublicId();
  const XMLCh* systemId = docType->getSystemId();
  if (!QelDomStr::empty(publicId)) {
    buffer.append(u' ');
    buffer.append(XMLUni::fgPubIDString, 0);
    appendQuoted(publicId);
    if (!QelDomStr::empty(systemId)) appendQuoted(systemId);
  } else if (!QelDomStr::empty(systemId)) {
    buffer.append(u' ');
    buffer.append(XMLUni::fgSysIDString, 0);
    appendQuoted(systemId);
  }
  const XMLCh* subset = docType->getInternalSubset();
  if (!QelDomStr::empty(subset)) {
    buffer.append(u" [", 2);
    buffer.append(subset, 0);
    buffer.append(u']');
  }
  buffer.append(u'>');
  return std::u16string(buffer.getRawBuffer(), buffer.getLen());
}

std::u16string qelWriteNode(const DOMNode* node, QelOutputStream& stream, unsigned long options, const char* encoding,
                            const DOMDocumentType* docType) {
  QEL_TRACE_ENTER("qelWriteNode");
  QEL_TRACE_ARGS("(" << node << ")(" << options << ")(" << qel_detail::orNull(encoding) << ")");
  QelDomWriter writer(node, stream, options, encoding, docType);
  QEL_TRACE_EXIT();
  return writer.getEncoding();
}
