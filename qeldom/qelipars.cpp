// Parsing: the entry points, the document-building parser and the resolution
// of external entities.
#include "qelipars.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/URLInputSource.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLURL.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>

#include "qelbuild.hpp"
#include "qelenrec.hpp"
#include "qelframe.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qelipars", "$Revision: 1.9 $");

// --- entity resolution -------------------------------------------------------------------

InputSource* qelResolveEntity(XMLScanner* scanner, const XMLCh* const /*publicId*/, const XMLCh* const systemId,
                              bool emptyIfMissing) {
  // The base is the external entity being read where the reference stands:
  // the document itself or an external entity (not the entity that declared
  // the one referred to, which is what Xerces-C would take).
  ReaderMgr::LastExtEntityInfo last;
  scanner->getReaderMgr()->getLastExtEntityInfo(last);
  const XMLCh* base = last.systemId;

  std::unique_ptr<InputSource> result;
  try {
    XMLURL url(base, systemId);
    if (!url.isRelative()) result = std::make_unique<URLInputSource>(url);
  } catch (const MalformedURLException&) {
    // not a URL (no scheme, an unknown scheme, or a base without one): a local file
  }
  if (!result) {
    std::unique_ptr<LocalFileInputSource> local = QelDomStr::empty(base)
                                                      ? std::make_unique<LocalFileInputSource>(systemId)
                                                      : std::make_unique<LocalFileInputSource>(base, systemId);
    if (emptyIfMissing) {
      FileHandle file = XMLPlatformUtils::openFile(local->getSystemId());
      if (!file) return new MemBufInputSource(nullptr, 0, local->getSystemId(), false);
      XMLPlatformUtils::closeFile(file);
    }
    result = std::move(local);
  }
  qelRecognizeEncoding(*result, nullptr);
  return result.release();
}

// --- the parser -------------------------------------------------------------------------------

QelXmlParser::QelXmlParser(unsigned long opt, DOMNode* parent, const char* enc, InputSource& src)
    : XercesDOMParser(nullptr) {
  init(opt, parent, enc, &src);
}

QelXmlParser::QelXmlParser(unsigned long opt, const char* enc, InputSource& src) : XercesDOMParser(nullptr) {
  init(opt, nullptr, enc, &src);
}

QelXmlParser::QelXmlParser(unsigned long opt, const char* enc) : XercesDOMParser(nullptr) {
  init(opt, nullptr, enc, nullptr);
}

QelXmlParser::~QelXmlParser() {
  // The parent's document belongs to the caller: take it out of the base's
  // hands whatever happened, and give it back its error checking (a failed
  // parse never reaches endDocument, which would have done so).
  if (m_underParent) {
    if (DOMDocument* doc = adoptDocument()) doc->setStrictErrorChecking(m_savedErrorChecking);
  }
}

void QelXmlParser::init(unsigned long opt, DOMNode* parent, const char* enc, InputSource* /*src*/) {
  m_opt = opt;
  m_underParent = parent != nullptr;
  m_pending = false;
  m_cdata = false;
  setDoNamespaces(opt & QEL_PARSE_NAMESPACES);
  setValidationScheme((opt & QEL_PARSE_VALIDATE) ? Val_Always : Val_Never);
  setCreateEntityReferenceNodes(false);  // references are replaced by their content
  m_enc = qelToUnicode(enc, QEL_WHOLE, false);
  setErrorHandler(this);
  setEntityResolver(this);  // installs the parser as the scanner's entity handler: resolveEntity below
  // Entity expansion is bounded unless the caller lifts the bound: a small
  // document must not expand into gigabytes (nested or repeated references).
  setEntityExpansionLimit(s_defaultEntityExpansionLimit);
  if (parent) {
    fCurrentParent = parent;
    fCurrentNode = parent;
    DOMDocument* doc = tavGetDoc(parent);
    setDocument(doc);
    m_savedErrorChecking = doc->getStrictErrorChecking();
  }
}

void QelXmlParser::setEntityExpansionLimit(XMLSize_t limit) {
  if (limit == 0) {
    setSecurityManager(nullptr);
    return;
  }
  m_security.setEntityExpansionLimit(limit);
  setSecurityManager(&m_security);
}

void QelXmlParser::parse(const InputSource& src) {
  InputSource& source = const_cast<InputSource&>(src);  // the recognizer stores its result on the source
  if (QelDomStr::empty(source.getEncoding())) {
    QelEncOrigin origin = QelEncOrigin::Probe;
    QelUniString name = qelRecognizeEncoding(source, qelToMbcs(m_enc.c_str()).c_str(), &origin);
    m_utf16Mark = origin == QelEncOrigin::ByteOrderMark && name.str().compare(0, 6, u"UTF-16") == 0;
  }
  if (source.getEncoding()) m_enc = source.getEncoding();
  XercesDOMParser::parse(source);
}

// Character data is collected and handed to the builder once per run, so a
// text node is built from one piece and the whitespace rule sees the run.
void QelXmlParser::docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
  if (m_entityDepth > 0) countEntityText(length);
  if (cdataSection != m_cdata) {
    flushDocCharacters();
    m_cdata = cdataSection;
  }
  if (!m_pending && m_builder) m_builder->runStarts(length);
  m_pending = true;
  m_chars.append(chars, length);
}

void QelXmlParser::flushDocCharacters() {
  if (!m_pending) return;
  const XMLCh* piece = m_chars.data();
  size_t n = m_chars.size();
  bool preserved = !m_spaces.empty() && m_spaces.back().preserve;
  if (!preserved && !m_cdata && (m_opt & QEL_PARSE_TRIM) && n > 0) {
    while (n > 0 && qelIsWhiteSpace(*piece)) ++piece, --n;
    while (n > 0 && qelIsWhiteSpace(piece[n - 1])) --n;
  }
  // Text outside the input's root element is not content: under a parent the
  // builder would otherwise append it to the parent.
  if (m_depth > 0 && (preserved || n > 0)) {
    if (m_builder)
      m_builder->characters(piece, n, m_cdata, piece - m_chars.data());
    else
      XercesDOMParser::docCharacters(piece, n, m_cdata);
  }
  m_chars.clear();
  m_pending = false;
  m_cdata = false;
}

// References are counted so that the text they deliver can be bounded; the
// builder makes no nodes for them (entity reference nodes are off).
void QelXmlParser::startEntityReference(const XMLEntityDecl& entDecl) {
  ++m_entityDepth;
  XercesDOMParser::startEntityReference(entDecl);
}

void QelXmlParser::endEntityReference(const XMLEntityDecl& entDecl) {
  if (m_entityDepth > 0) --m_entityDepth;
  XercesDOMParser::endEntityReference(entDecl);
}

void QelXmlParser::countEntityText(XMLSize_t length) {
  m_entityText += length;
  if (m_entityTextLimit == 0 || m_entityText <= m_entityTextLimit) return;
  const std::string text = QelInsert::subst("The entity text of the document exceeds the limit of %s characters",
                                            qel_detail::ValueInsert<XMLSize_t>(m_entityTextLimit));
  const std::u16string message = qelToUnicode(text.c_str(), QEL_WHOLE, false);
  throw SAXParseException(message.c_str(), *getScanner()->getLocator());
}

void QelXmlParser::docComment(const XMLCh* const comment) {
  flushDocCharacters();
  if (!m_builder || !m_builder->comment(comment)) XercesDOMParser::docComment(comment);
}

void QelXmlParser::docPI(const XMLCh* const target, const XMLCh* const data) {
  flushDocCharacters();
  if (!m_builder || !m_builder->processingInstruction(target, data)) XercesDOMParser::docPI(target, data);
}

// xml:space is matched by its qualified name, so the whitespace rule means the
// same with namespace processing on (where Xerces-C names the attribute by its
// local part "space") and off.
void QelXmlParser::startElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                                const RefVectorOf<XMLAttr>& attrList, const XMLSize_t attrCount, const bool isEmpty,
                                const bool isRoot) {
  flushDocCharacters();
  ++m_depth;
  for (XMLSize_t i = 0; i < attrCount; ++i) {
    const XMLAttr* attr = attrList.elementAt(i);
    if (QelDomStr::equals(attr->getQName(), QelUni::s_xmlSpace)) {
      m_spaces.emplace_back(elemDecl.getBaseName(), QelDomStr::equals(attr->getValue(), QelUni::s_preserve), m_depth);
      break;
    }
  }
  if (!m_builder || !m_builder->startElement(elemDecl, urlId, elemPrefix, attrList, attrCount))
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
  else if (isEmpty)
    endElement(elemDecl, urlId, isRoot, elemPrefix);  // as Xerces-C's builder ends an empty element
}

// A scope closes with the element that opened it: the name and the depth must
// both match, so a nested element of the same name leaves the scope open.
void QelXmlParser::endElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                              const XMLCh* const elemPrefix) {
  flushDocCharacters();
  if (!m_spaces.empty() && m_spaces.back().depth == m_depth && m_spaces.back().name.equals(elemDecl.getBaseName()))
    m_spaces.pop_back();
  if (m_depth > 0) --m_depth;
  if (m_builder)
    m_builder->endElement();
  else
    XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
}

void QelXmlParser::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
  if (m_opt & QEL_PARSE_TRIM) return;
  flushDocCharacters();
  if (m_depth > 0) XercesDOMParser::ignorableWhitespace(chars, length, cdataSection);
}

// Nothing of what init set up is reset when the scan starts.
void QelXmlParser::resetDocument() {}

void QelXmlParser::startDocument() {
  if (!m_underParent) {
    XercesDOMParser::startDocument();
    m_builder = qel_detail::DomBuilder::make(*this, m_underParent,
                                             {fCurrentParent, fCurrentNode, fWithinElement, fDocument, *getScanner()});
    return;
  }
  getDocument()->setStrictErrorChecking(false);
}

// The document records the encoding the parse used, not the declaration's
// text. Under a parent the input's declaration is handed to the parent's
// document as well: its version, encoding and standalone become the input's,
// as they would for a document of its own.
// A UTF-16 byte order mark settles the encoding before Xerces-C sees the
// declaration, and Xerces-C does not compare an encoding set on the source with
// the declared one; a declaration that names another encoding family is the
// fatal error it would be without the recognizer.
static bool namesUtf16(const XMLCh* declared) {
  std::u16string name = qelToUpper(declared ? std::u16string(declared) : std::u16string());
  return name.compare(0, 6, u"UTF-16") == 0 || name == u"UCS-2" || name == u"ISO-10646-UCS-2" ||
         name == u"CSUNICODE";
}

void QelXmlParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                           const XMLCh* const standaloneStr, const XMLCh* const actualEncStr) {
  if (m_utf16Mark && !QelDomStr::empty(encodingStr) && !namesUtf16(encodingStr)) {
    std::u16string message = u"The encoding declaration '";
    message += encodingStr;
    message += u"' contradicts the UTF-16 byte order mark of the input";
    throw SAXParseException(message.c_str(), *getScanner()->getLocator(), getMemoryManager());
  }
  // An XML 1.1 input may hold characters (C0 controls as references) that an
  // XML 1.0 document cannot: under a parent of such a document it is refused.
  if (m_underParent && XMLString::equals(versionStr, XMLUni::fgVersion1_1) &&
      !XMLString::equals(getDocument()->getXmlVersion(), XMLUni::fgVersion1_1)) {
    throw DOMException(DOMException::NOT_SUPPORTED_ERR, 0, getMemoryManager());
  }
  XercesDOMParser::XMLDecl(versionStr, m_enc.c_str(), standaloneStr, actualEncStr);
}

// Under a parent, the input's document type joins the parent's document only
// when that document has none, and then before its document element. When it
// has one, the input's is built detached (the builder keeps adding the
// declarations to it) and never enters the tree.
void QelXmlParser::doctypeDecl(const DTDElementDecl& elemDecl, const XMLCh* const publicId, const XMLCh* const systemId,
                               const bool hasIntSubset, const bool hasExtSubset) {
  if (!m_underParent) {
    XercesDOMParser::doctypeDecl(elemDecl, publicId, systemId, hasIntSubset, hasExtSubset);
    return;
  }
  DOMDocument* doc = getDocument();
  DOMDocumentType* existing = doc->getDoctype();
  DOMNode* existingNext = existing ? existing->getNextSibling() : nullptr;
  if (existing) doc->removeChild(existing);
  XercesDOMParser::doctypeDecl(elemDecl, publicId, systemId, hasIntSubset, hasExtSubset);  // appends it last
  DOMDocumentType* built = doc->getDoctype();
  doc->removeChild(built);
  if (existing)
    doc->insertBefore(existing, existingNext);
  else
    doc->insertBefore(built, doc->getDocumentElement());
}

InputSource* QelXmlParser::resolveEntity(XMLResourceIdentifier* resource) {
  return qelResolveEntity(getScanner(), resource->getPublicId(), resource->getSystemId(),
                          m_opt & QEL_PARSE_EMPTY_IF_MISSING);
}

// A recoverable error (a validity error, for example) ends the parse as a
// fatal one does; warnings are ignored.
void QelXmlParser::error(const SAXParseException& exc) { throw exc; }

void QelXmlParser::error(const unsigned int errCode, const XMLCh* const errDomain,
                         const XMLErrorReporter::ErrTypes type, const XMLCh* const errorText,
                         const XMLCh* const systemId, const XMLCh* const publicId, const XMLFileLoc lineNum,
                         const XMLFileLoc colNum) {
  if (m_exceptCode == 0 && QelDomStr::equals(errDomain, XMLUni::fgExceptDomain)) m_exceptCode = errCode;
  XercesDOMParser::error(errCode, errDomain, type, errorText, systemId, publicId, lineNum, colNum);
}

// --- entry points -----------------------------------------------------------------------------

namespace {

// The Xerces-C 3.2 codes for an input that cannot be opened (2.2 numbered
// them 2, 41 and 74).
bool isOpenFailure(unsigned code) {
  return code == XMLExcepts::Scan_CouldNotOpenSource_Warning || code == XMLExcepts::File_CouldNotGetBasePathName ||
         code == XMLExcepts::Scan_CouldNotOpenSource;
}

[[noreturn]] void raiseInvalid(const std::string& message) {
  qel_detail::raise(nullptr, 43, QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", 0, "", "",
                    s_sourcePath, message);
}

[[noreturn]] void raiseCannotOpen(const char* file) {
  std::string name = qel_detail::orNull(file);
  if (name.size() > 128) name.resize(128);
  qel_detail::raise(nullptr, 96, QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", 1,
                    "qelParseDocFromFile", s_revision, s_sourcePath, "Cannot open input file \"" + name + "\"");
}

// The core of every entry point. `file` names the input of a file parse, for
// which an input that cannot be opened gives the "Cannot open input file"
// error whatever QEL_PARSE_XERCES_EXCEPTIONS says.
DOMDocument* parseXml(InputSource& src, unsigned long opt, const char* enc, DOMNode* parent, const char* file) {
  QEL_TRACE_ENTER("qelParseXml");
  QEL_TRACE_ARGS("(" << opt << ")(" << parent << ")");
  const bool passOn = opt & QEL_PARSE_XERCES_EXCEPTIONS;
  unsigned exceptCode = 0;
  try {
    QelXmlParser parser(opt, parent, enc, src);
    QEL_TRACE_FLOW("Parses the input source");
    try {
      parser.parse(src);
    } catch (...) {
      exceptCode = parser.getExceptCode();
      throw;
    }
    DOMDocument* document = parser.detachDocument();
    QEL_TRACE_EXIT();
    return document;
  } catch (const SAXParseException& e) {
    if (file && isOpenFailure(exceptCode)) raiseCannotOpen(file);
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const XMLException& e) {
    if (file && isOpenFailure(e.getCode())) raiseCannotOpen(file);
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const DOMException& e) {
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const OutOfMemoryException&) {
    // Xerces-C 3.2 reports exhausted memory outside XMLException.
    QelErrorFull::throwBadAlloc();
  }
}

}  // namespace

DOMDocument* qelParseXml(InputSource& src, unsigned long opt, const char* enc, DOMNode* parent) {
  return parseXml(src, opt, enc, parent, nullptr);
}

DOMDocument* qelParseDocFromFile(const char* file, unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDocFromFile");
  QEL_TRACE_ARGS("(" << qel_detail::orNull(file) << ")(" << opt << ")");
  tavDomInit();
  DOMDocument* document = nullptr;
  try {
    LocalFileInputSource source(qelToUnicode(file, QEL_WHOLE, false).c_str());
    document = parseXml(source, opt, enc, nullptr, file ? file : "NULL");
  } catch (const XMLException& e) {
    // From building the source; the core handles those of the parse.
    if (isOpenFailure(e.getCode())) raiseCannotOpen(file);
    if (opt & QEL_PARSE_XERCES_EXCEPTIONS) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const OutOfMemoryException&) {
    QelErrorFull::throwBadAlloc();
  }
  QEL_TRACE_RETURN(static_cast<const DOMNode*>(document));
  QEL_TRACE_EXIT();
  return document;
}

DOMDocument* qelParseDoc(const void* buf, unsigned long size, DOMNode* parent, unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDoc");
  QEL_TRACE_ARGS("(" << size << ")(" << parent << ")(" << opt << ")");
  tavDomInit();
  DOMDocument* document = nullptr;
  try {
    MemBufInputSource source(static_cast<const XMLByte*>(buf), size, "qelParseDoc", false);
    source.setCopyBufToStream(false);  // the bytes stay valid for the whole call
    document = parseXml(source, opt, enc, parent, nullptr);
  } catch (const OutOfMemoryException&) {
    QelErrorFull::throwBadAlloc();  // from building the source; the core converts those of the parse
  }
  QEL_TRACE_RETURN(static_cast<const DOMNode*>(document));
  QEL_TRACE_EXIT();
  return document;
}

DOMDocument* qelParseDoc(const void* buf, unsigned long size, unsigned long opt, const char* enc) {
  return qelParseDoc(buf, size, nullptr, opt, enc);
}

DOMDocument* qelParseDoc(const void* buf, unsigned long size, DOMNode* parent, unsigned long opt) {
  return qelParseDoc(buf, size, parent, opt, nullptr);
}

namespace {

// Standard input, read as the parse asks for it. Every stream made from the
// source begins at byte 0 (the encoding recognizer reads the first bytes with
// streams of its own before the parser's): the bytes read so far are kept and
// replayed, and a stream that runs past them reads on from standard input. A
// parse that fails stops reading there, so a stream of junk costs what the
// parser read of it, not its whole length; a document is read to its end.
class StdinInputSource : public InputSource {
 public:
  StdinInputSource() : InputSource("qelParseDoc") {}
  BinInputStream* makeStream() const override { return new Stream(*this); }

 private:
  class Stream : public BinInputStream {
   public:
    explicit Stream(const StdinInputSource& source) : m_source(source) {}
    XMLFilePos curPos() const override { return m_pos; }
    const XMLCh* getContentType() const override { return nullptr; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
      std::string& bytes = m_source.m_bytes;
      if (m_pos == bytes.size() && !m_source.m_atEnd) {
        char chunk[65536];
        size_t n = std::fread(chunk, 1, sizeof chunk, stdin);
        if (n < sizeof chunk) m_source.m_atEnd = true;
        bytes.append(chunk, n);
      }
      XMLSize_t n = std::min<XMLSize_t>(maxToRead, bytes.size() - m_pos);
      std::memcpy(toFill, bytes.data() + m_pos, n);
      m_pos += n;
      return n;
    }

   private:
    const StdinInputSource& m_source;
    XMLSize_t m_pos = 0;
  };

  mutable std::string m_bytes;  // everything read from standard input so far
  mutable bool m_atEnd = false;
};

}  // namespace

DOMDocument* qelParseDoc(unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDoc");
  QEL_TRACE_ARGS("(" << opt << ")");
  tavDomInit();
  DOMDocument* document = nullptr;
  try {
    StdinInputSource source;
    document = parseXml(source, opt, enc, nullptr, nullptr);
  } catch (const OutOfMemoryException&) {
    QelErrorFull::throwBadAlloc();
  }
  QEL_TRACE_EXIT();
  return document;
}
