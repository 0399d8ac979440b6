// Parsing: the entry points, the document-building parser and the resolution
// of external entities.
#include "qelipars.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/impl/DOMDocumentImpl.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>

#include "nyl.hpp"
#include "qelbudget.hpp"
#include "qelbuild.hpp"
#include "qelenrec.hpp"
#include "qelframe.hpp"
#include "qelresolve.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qelipars", "$Revision: 1.9 $");

// --- entity resolution -------------------------------------------------------------------

InputSource* qelResolveEntity(XMLScanner* scanner, const XMLCh* const /*publicId*/, const XMLCh* const systemId,
                              bool emptyIfMissing) {
  qel_detail::EntityOpener opener;
  opener.settings.emptyIfMissing = emptyIfMissing;
  return opener.open(scanner, systemId);
}

// --- the parser -------------------------------------------------------------------------------

namespace qel_detail {

// What the parser keeps beyond its interface's members.
class ParserState {
 public:
  ScanBudget m_budget;  // the scanner's memory manager
  EntityOpener m_opener{&m_budget};
  std::unique_ptr<DomBuilder> m_builder;  // set by startDocument when it applies
  unsigned long m_depth = 0;              // open elements of the input
  unsigned m_exceptCode = 0;
  bool m_encodingBeforeDeclaration = false;  // recognition settled the encoding without the declaration
  bool m_savedErrorChecking = true;          // the caller document's setting, restored at the end
};

ParserStateOwner::ParserStateOwner() : m_state(std::make_unique<ParserState>()) {}
ParserStateOwner::~ParserStateOwner() = default;

}  // namespace qel_detail

// The scanner allocates through the budget, which sees every expansion.
QelXmlParser::QelXmlParser(unsigned long opt, DOMNode* parent, const char* enc, InputSource& src)
    : XercesDOMParser(nullptr, &m_state->m_budget) {
  init(opt, parent, enc, &src);
}

QelXmlParser::QelXmlParser(unsigned long opt, const char* enc, InputSource& src)
    : XercesDOMParser(nullptr, &m_state->m_budget) {
  init(opt, nullptr, enc, &src);
}

QelXmlParser::QelXmlParser(unsigned long opt, const char* enc) : XercesDOMParser(nullptr, &m_state->m_budget) {
  init(opt, nullptr, enc, nullptr);
}

QelXmlParser::~QelXmlParser() {
  // The parent's document belongs to the caller: take it out of the base's
  // hands whatever happened, and give it back its error checking (a failed
  // parse never reaches endDocument, which would have done so).
  if (m_underParent) {
    if (DOMDocument* doc = adoptDocument()) doc->setStrictErrorChecking(m_state->m_savedErrorChecking);
  }
}

namespace {

// Why a parse cannot build under `parent`, or null when it can. The check
// comes first, so a refused parent leaves the tree as it was.
const char* unsuitableParent(const DOMNode* parent) {
  switch (parent->getNodeType()) {
    case DOMNode::ELEMENT_NODE:
    case DOMNode::DOCUMENT_FRAGMENT_NODE:
      break;
    case DOMNode::DOCUMENT_NODE:
      if (static_cast<const DOMDocument*>(parent)->getDocumentElement())
        return "the document has a document element already";
      break;
    default:
      return "a node of this type cannot hold elements";
  }
  for (const DOMNode* n = parent; n; n = n->getParentNode()) {
    if (n->getNodeType() == DOMNode::ENTITY_REFERENCE_NODE || n->getNodeType() == DOMNode::ENTITY_NODE)
      return "it is read-only, inside an entity";
  }
  return nullptr;
}

}  // namespace

void QelXmlParser::init(unsigned long opt, DOMNode* parent, const char* enc, InputSource* /*src*/) {
  if (const char* why = parent ? unsuitableParent(parent) : nullptr) {
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelXmlParser", s_revision,
                      s_sourcePath,
                      "QelXmlParser: cannot parse under a " + qelGetNodeTypeStr(parent) + " node: " + why);
  }
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
  m_state->m_opener.settings.emptyIfMissing = opt & QEL_PARSE_EMPTY_IF_MISSING;
  m_state->m_opener.settings.noNetwork = opt & QEL_PARSE_NO_NETWORK;
  m_state->m_opener.settings.noExternal = opt & QEL_PARSE_NO_EXTERNAL;
  m_state->m_opener.settings.timeoutMs = s_defaultNetworkTimeout;
  if (parent) {
    fCurrentParent = parent;
    fCurrentNode = parent;
    DOMDocument* doc = tavGetDoc(parent);
    setDocument(doc);
    m_state->m_savedErrorChecking = doc->getStrictErrorChecking();
  }
}

void QelXmlParser::setEntityExpansionLimit(XMLSize_t limit) { m_state->m_budget.setExpansionLimit(limit); }
void QelXmlParser::setEntityTextLimit(XMLSize_t limit) { m_state->m_budget.setTextLimit(limit); }
void QelXmlParser::setNoNetwork(bool refuse) { m_state->m_opener.settings.noNetwork = refuse; }
void QelXmlParser::setNoExternal(bool refuse) { m_state->m_opener.settings.noExternal = refuse; }
void QelXmlParser::setNetworkTimeout(unsigned long milliseconds) {
  m_state->m_opener.settings.timeoutMs = milliseconds;
}
bool QelXmlParser::buildsDirectly() const { return m_state->m_builder != nullptr; }
unsigned QelXmlParser::getExceptCode() const { return m_state->m_exceptCode; }

namespace {

// Counting runs while the scanner does, and stops however the scan ends.
class BudgetRun {
 public:
  BudgetRun(qel_detail::ScanBudget& budget, const XMLScanner* scanner) : m_budget(budget) { budget.start(scanner); }
  ~BudgetRun() { m_budget.stop(); }
  BudgetRun(const BudgetRun&) = delete;
  BudgetRun& operator=(const BudgetRun&) = delete;

 private:
  qel_detail::ScanBudget& m_budget;
};

}  // namespace

void QelXmlParser::parse(const InputSource& src) {
  InputSource& source = const_cast<InputSource&>(src);  // the recognizer stores its result on the source
  if (QelDomStr::empty(source.getEncoding()))
    m_state->m_encodingBeforeDeclaration = !qel_detail::recognizeForScan(source, qelToMbcs(m_enc.c_str()).c_str()) &&
                                           !QelDomStr::empty(source.getEncoding());
  if (source.getEncoding()) m_enc = source.getEncoding();
  // Recognition has read what it needs: the scanner's stream reads on.
  if (auto* once = dynamic_cast<QelFileInputSource*>(&source)) once->stopKeeping();
  BudgetRun run(m_state->m_budget, getScanner());
  XercesDOMParser::parse(source);
  m_state->m_budget.check();  // the last expansion's text
}

// Character data is collected and handed to the builder once per run, so a
// text node is built from one piece and the whitespace rule sees the run.
void QelXmlParser::docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
  if (cdataSection != m_cdata) {
    flushDocCharacters();
    m_cdata = cdataSection;
  }
  if (!m_pending && m_state->m_builder) m_state->m_builder->runStarts(length);
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
  if (m_state->m_depth > 0 && (preserved || n > 0)) {
    if (m_state->m_builder)
      m_state->m_builder->characters(piece, n, m_cdata, piece - m_chars.data());
    else
      XercesDOMParser::docCharacters(piece, n, m_cdata);
  }
  m_chars.clear();
  m_pending = false;
  m_cdata = false;
}

void QelXmlParser::docComment(const XMLCh* const comment) {
  flushDocCharacters();
  if (!m_state->m_builder || !m_state->m_builder->comment(comment)) XercesDOMParser::docComment(comment);
}

void QelXmlParser::docPI(const XMLCh* const target, const XMLCh* const data) {
  flushDocCharacters();
  if (!m_state->m_builder || !m_state->m_builder->processingInstruction(target, data))
    XercesDOMParser::docPI(target, data);
}

// xml:space is matched by its qualified name, so the whitespace rule means the
// same with namespace processing on (where Xerces-C names the attribute by its
// local part "space") and off.
void QelXmlParser::startElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                                const RefVectorOf<XMLAttr>& attrList, const XMLSize_t attrCount, const bool isEmpty,
                                const bool isRoot) {
  flushDocCharacters();
  ++m_state->m_depth;
  for (XMLSize_t i = 0; i < attrCount; ++i) {
    const XMLAttr* attr = attrList.elementAt(i);
    if (QelDomStr::equals(attr->getQName(), QelUni::s_xmlSpace)) {
      m_spaces.emplace_back(elemDecl.getBaseName(), QelDomStr::equals(attr->getValue(), QelUni::s_preserve),
                            m_state->m_depth);
      break;
    }
  }
  if (!m_state->m_builder || !m_state->m_builder->startElement(elemDecl, urlId, elemPrefix, attrList, attrCount))
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
  else if (isEmpty)
    endElement(elemDecl, urlId, isRoot, elemPrefix);  // as Xerces-C's builder ends an empty element
}

// A scope closes with the element that opened it: the name and the depth must
// both match, so a nested element of the same name leaves the scope open.
void QelXmlParser::endElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                              const XMLCh* const elemPrefix) {
  flushDocCharacters();
  if (!m_spaces.empty() && m_spaces.back().depth == m_state->m_depth &&
      m_spaces.back().name.equals(elemDecl.getBaseName()))
    m_spaces.pop_back();
  if (m_state->m_depth > 0) --m_state->m_depth;
  if (m_state->m_builder)
    m_state->m_builder->endElement();
  else
    XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
}

void QelXmlParser::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
  if (m_opt & QEL_PARSE_TRIM) return;
  flushDocCharacters();
  if (m_state->m_depth > 0) XercesDOMParser::ignorableWhitespace(chars, length, cdataSection);
}

// Nothing of what init set up is reset when the scan starts.
void QelXmlParser::resetDocument() {}

// A new document is made as Xerces-C makes it, but with Xerces-C's own
// memory manager rather than the parser's (the budget): the document
// outlives the parser.
void QelXmlParser::startDocument() {
  if (!m_underParent) {
    setDocument(DOMImplementation::getImplementation()->createDocument(XMLPlatformUtils::fgMemoryManager));
    fCurrentParent = fDocument;
    fCurrentNode = fDocument;
    fDocument->setErrorChecking(false);
    fDocument->setDocumentURI(getScanner()->getLocator()->getSystemId());
    fDocument->setInputEncoding(getScanner()->getReaderMgr()->getCurrentEncodingStr());
    m_state->m_builder = qel_detail::DomBuilder::make(
        *this, m_underParent, {fCurrentParent, fCurrentNode, fWithinElement, fDocument, *getScanner()});
    return;
  }
  getDocument()->setStrictErrorChecking(false);
}

namespace {

bool namesUtf16(const std::u16string& upperName) {
  return upperName.compare(0, 6, u"UTF-16") == 0 || upperName == u"UCS-2" || upperName == u"ISO-10646-UCS-2" ||
         upperName == u"CSUNICODE";
}

// Whether two encoding names name one encoding: the same code page, or for a
// UTF-16 input any name of UTF-16.
bool sameEncoding(const XMLCh* declared, const std::u16string& settled) {
  const std::u16string name = qelToUpper(declared), upperSettled = qelToUpper(settled);
  if (namesUtf16(upperSettled)) return namesUtf16(name);
  if (name == upperSettled) return true;
  const std::unique_ptr<QelCodePage> a = qelGetCodePage(declared), b = qelGetCodePage(settled.c_str());
  return a && b && a->name == b->name;
}

}  // namespace

// Recognition settles the encoding before Xerces-C sees the declaration, and
// Xerces-C does not compare an encoding set on the source with the declared
// one. Where the declaration did not settle it (a byte order mark did, or the
// first bytes, or the caller's name, because the recognizer reads no name
// longer than 31 bytes), a declaration that names another encoding is the
// fatal error it would be without the recognizer: read on, the input would be
// read in another encoding than it says, in silence.
void QelXmlParser::checkDeclaredEncoding(const XMLCh* declared) const {
  if (!m_state->m_encodingBeforeDeclaration || QelDomStr::empty(declared) || sameEncoding(declared, m_enc)) return;
  std::u16string message = u"The encoding declaration '";
  message += declared;
  if (qelToUpper(m_enc).compare(0, 6, u"UTF-16") == 0) {
    message += u"' contradicts the UTF-16 byte order mark of the input";
  } else {
    message += u"' contradicts the encoding ";
    message += m_enc;
    message += u" the input is read in";
    if (qelStrlen(declared) > 31) message += u" (a declared name of more than 31 bytes is not recognized)";
  }
  throw SAXParseException(message.c_str(), *getScanner()->getLocator());
}

// The document records the encoding the parse used, not the declaration's
// text. Under a parent the input's declaration is handed to the parent's
// document as well: its version, encoding and standalone become the input's,
// as they would for a document of its own.
void QelXmlParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                           const XMLCh* const standaloneStr, const XMLCh* const actualEncStr) {
  checkDeclaredEncoding(encodingStr);
  // An XML 1.1 input may hold characters (C0 controls as references) that an
  // XML 1.0 document cannot: under a parent of such a document it is refused.
  if (m_underParent && XMLString::equals(versionStr, XMLUni::fgVersion1_1) &&
      !XMLString::equals(getDocument()->getXmlVersion(), XMLUni::fgVersion1_1)) {
    throw DOMException(DOMException::NOT_SUPPORTED_ERR);
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
  return m_state->m_opener.open(getScanner(), resource->getSystemId());
}

// A recoverable error (a validity error, for example) ends the parse as a
// fatal one does; warnings are ignored. Xerces-C makes the exception with the
// parser's memory manager, which goes with the parser: the one that leaves
// is a copy made with Xerces-C's own.
void QelXmlParser::error(const SAXParseException& exc) { fatalError(exc); }

void QelXmlParser::fatalError(const SAXParseException& exc) {
  throw SAXParseException(exc.getMessage(), exc.getPublicId(), exc.getSystemId(), exc.getLineNumber(),
                          exc.getColumnNumber());
}

void QelXmlParser::error(const unsigned int errCode, const XMLCh* const errDomain,
                         const XMLErrorReporter::ErrTypes type, const XMLCh* const errorText,
                         const XMLCh* const systemId, const XMLCh* const publicId, const XMLFileLoc lineNum,
                         const XMLFileLoc colNum) {
  if (m_state->m_exceptCode == 0 && QelDomStr::equals(errDomain, XMLUni::fgExceptDomain))
    m_state->m_exceptCode = errCode;
  XercesDOMParser::error(errCode, errDomain, type, errorText, systemId, publicId, lineNum, colNum);
}

// --- entry points -----------------------------------------------------------------------------

namespace {

// The source lines that these errors have always reported; logs and callers
// that match on them keep working whatever this file looks like.
constexpr int s_invalidDocumentLine = 43;
constexpr int s_cannotOpenLine = 96;

[[noreturn]] void raiseInvalid(const std::string& message) {
  qel_detail::raise(nullptr, s_invalidDocumentLine, QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", 0,
                    "", "", s_sourcePath, message);
}

// The system's reason (strerror of `error`) is the error's cause.
[[noreturn]] void raiseCannotOpen(const char* file, int error) {
  std::string name = qel_detail::orNull(file);
  if (name.size() > 128) name.resize(128);
  const QelErrorFull cause(QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", QELOP_REPOSITORY,
                           "QELOP_REPOSITORY", error, nullptr, 1, 2, s_cannotOpenLine, "qelParseDocFromFile",
                           s_revision, s_sourcePath, __DATE__, std::strerror(error), nullptr);
  QelErrorFull(QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", QELOP_REPOSITORY, "QELOP_REPOSITORY",
               0, nullptr, 1, 2, s_cannotOpenLine, "qelParseDocFromFile", s_revision, s_sourcePath, __DATE__,
               "Cannot open input file \"" + name + "\"", &cause)
      .logRaise();
}

// Runs `parse`, the library's one translation of what Xerces-C throws: a
// SAXParseException, XMLException or DOMException becomes
// QELRC_DOM_INVALID_XML_DOCUMENT with its text, unless `opt` asks for the
// exception itself; exhausted memory, which Xerces-C 3.2 reports outside
// XMLException, is std::bad_alloc either way. Anything else passes through.
template <typename Parse>
DOMDocument* translatingErrors(unsigned long opt, Parse&& parse) {
  const bool passOn = opt & QEL_PARSE_XERCES_EXCEPTIONS;
  try {
    return parse();
  } catch (const SAXParseException& e) {
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const XMLException& e) {
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const DOMException& e) {
    if (passOn) throw;
    raiseInvalid(qelGetErrorMsg(e));
  } catch (const OutOfMemoryException&) {
    QelErrorFull::throwBadAlloc();
  }
}

// The core of every entry point.
DOMDocument* parseXml(InputSource& src, unsigned long opt, const char* enc, DOMNode* parent) {
  QEL_TRACE_ENTER("qelParseXml");
  QEL_TRACE_ARGS("(" << opt << ")(" << parent << ")");
  DOMDocument* document = translatingErrors(opt, [&] {
    QelXmlParser parser(opt, parent, enc, src);
    QEL_TRACE_FLOW("Parses the input source");
    parser.parse(src);
    return parser.detachDocument();
  });
  QEL_TRACE_EXIT();
  return document;
}

}  // namespace

DOMDocument* qelParseXml(InputSource& src, unsigned long opt, const char* enc, DOMNode* parent) {
  return parseXml(src, opt, enc, parent);
}

// The file is opened here, once: recognition and the parser read the same
// bytes, so FIFOs and process substitutions work.
DOMDocument* qelParseDocFromFile(const char* file, unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDocFromFile");
  QEL_TRACE_ARGS("(" << qel_detail::orNull(file) << ")(" << opt << ")");
  tavDomInit();
  DOMDocument* document = translatingErrors(opt, [&] {
    QelFileInputSource source(file);
    if (source.openError()) raiseCannotOpen(file, source.openError());
    return parseXml(source, opt, enc, nullptr);
  });
  QEL_TRACE_RETURN(static_cast<const DOMNode*>(document));
  QEL_TRACE_EXIT();
  return document;
}

DOMDocument* qelParseDoc(const void* buf, unsigned long size, DOMNode* parent, unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDoc");
  QEL_TRACE_ARGS("(" << size << ")(" << parent << ")(" << opt << ")");
  if (!buf && size > 0) {
    QEL_RAISE(QELRC_DOM_API_ERROR, 0, "qelParseDoc",
              "qelParseDoc: the buffer is NULL but its size is " + std::to_string(size));
  }
  tavDomInit();
  // Building the source is translated as the parse is.
  DOMDocument* document = translatingErrors(opt, [&] {
    MemBufInputSource source(static_cast<const XMLByte*>(buf), size, "qelParseDoc", false);
    source.setCopyBufToStream(false);  // the bytes stay valid for the whole call
    return parseXml(source, opt, enc, parent);
  });
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

// Standard input is read as the parse asks for it (see QelFileInputSource): a
// parse that fails stops reading there, so a stream of junk costs what the
// parser read of it, not its whole length; a document is read to its end.
DOMDocument* qelParseDoc(unsigned long opt, const char* enc) {
  QEL_TRACE_ENTER("qelParseDoc");
  QEL_TRACE_ARGS("(" << opt << ")");
  tavDomInit();
  DOMDocument* document = translatingErrors(opt, [&] {
    QelFileInputSource source(stdin, "qelParseDoc");
    return parseXml(source, opt, enc, nullptr);
  });
  QEL_TRACE_EXIT();
  return document;
}
