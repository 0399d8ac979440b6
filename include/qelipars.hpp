// qelipars: parsing XML from a file, from memory or from standard input into a
// new document or under a node of an existing document, with a whitespace rule
// that honours xml:space and the library's own resolution of external
// entities.
#pragma once

#include <memory>
#include <string>
#include <vector>
#include <xercesc/framework/XMLErrorReporter.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/InputSource.hpp>

#include "qeldom.hpp"
#include "qeldstr.hpp"
#include "qelinput.hpp"

// --- parse options ---------------------------------------------------------------

constexpr unsigned long QEL_PARSE_VALIDATE = 0x01;  // validate against the DTD; any validity error ends the parse
constexpr unsigned long QEL_PARSE_TRIM = 0x02;      // trim character data outside xml:space="preserve"
constexpr unsigned long QEL_PARSE_XERCES_EXCEPTIONS = 0x04;  // pass Xerces-C exceptions on instead of a QelError
constexpr unsigned long QEL_PARSE_EMPTY_IF_MISSING = 0x08;   // read a missing local external entity as empty
constexpr unsigned long QEL_PARSE_NAMESPACES = 0x10;         // namespace processing
constexpr unsigned long QEL_PARSE_NO_NETWORK = 0x20;         // a URL other than file: reads as a missing entity
constexpr unsigned long QEL_PARSE_NO_EXTERNAL = 0x40;        // refuse every external entity and DTD (a QelError)

// The bounds every parser starts with, for the entry points as for parsers
// built by the caller: at most `expansions` entity expansions per parse and
// `textUnits` UTF-16 units of text brought in by entities (0 removes a
// bound). Process-wide; a parser already built keeps what it took. The
// defaults are QelXmlParser::s_defaultEntityExpansionLimit and
// s_defaultEntityTextLimit.
QELDOM_API void qelSetParseLimits(XMLSize_t expansions, XMLSize_t textUnits);
QELDOM_API void qelGetParseLimits(XMLSize_t& expansions, XMLSize_t& textUnits);

// --- entry points ------------------------------------------------------------------
// Each returns a document and never null. Without a parent the document is new
// and belongs to the caller; under a parent it is the parent's own document,
// the new nodes appended to the parent. A malformed input raises a QelError
// with QELRC_DOM_INVALID_XML_DOCUMENT whose message carries the Xerces-C text,
// line and column (or, with QEL_PARSE_XERCES_EXCEPTIONS, the Xerces-C
// exception itself). Entity expansion is bounded (see QelXmlParser).
// A parent must be able to take the input's nodes: an element, a document
// fragment or a document without a document element, none of them inside an
// entity reference; any other parent raises a QelError (QELRC_DOM_API_ERROR)
// and the tree stays as it was.

// The file is opened once, its name taken as bytes; FIFOs and process
// substitutions work. A file that does not open raises "Cannot open input
// file "NAME"" (the system's reason is the error's cause), whatever
// QEL_PARSE_XERCES_EXCEPTIONS says.

QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDocFromFile(const char* file, unsigned long opt, const char* enc);
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size,
                                                          XERCES_CPP_NAMESPACE::DOMNode* parent, unsigned long opt,
                                                          const char* enc);
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size, unsigned long opt,
                                                          const char* enc);
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size,
                                                          XERCES_CPP_NAMESPACE::DOMNode* parent, unsigned long opt);
// Parses standard input into a new document. Input is read as the parse
// needs it: a document is read to its end, a malformed input only up to the
// parser's first error (the rest stays unread). A read error (standard input
// closed, or a directory) raises "Cannot read standard input: REASON".
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(unsigned long opt, const char* enc);
// The core the entry points share: any input source.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseXml(XERCES_CPP_NAMESPACE::InputSource& src, unsigned long opt,
                                                          const char* enc, XERCES_CPP_NAMESPACE::DOMNode* parent);

// The input source of an external entity: a URL, or a local file taken
// relative to the external entity being read (the document itself or the
// entity that holds the reference), with its encoding recognized. A missing
// local file reads as empty when emptyIfMissing is set. The caller owns the
// result. The public id plays no part. Files are read once; http, https and
// ftp URLs are fetched with a time-out of 30 s (a failure raises a
// SAXParseException "Cannot fetch ...").
QELDOM_API XERCES_CPP_NAMESPACE::InputSource* qelResolveEntity(XERCES_CPP_NAMESPACE::XMLScanner* scanner,
                                                               const XMLCh* const publicId, const XMLCh* const systemId,
                                                               bool emptyIfMissing);

// --- the parser ------------------------------------------------------------------------

// An open xml:space scope: the element that opened it and whether its value
// was exactly "preserve". `name` refers to the element declaration's text.
struct QELDOM_API QelXmlSpace {
  QelXmlSpace() : name(), preserve(false), depth(0) {}
  QelXmlSpace(const XMLCh* elementName, bool preserveSpace, unsigned long elementDepth = 0)
      : name(elementName), preserve(preserveSpace), depth(elementDepth) {}

  QelDomStr name;
  bool preserve;
  unsigned long depth;  // element depth of the opening element (root = 1)
};

namespace qel_detail {
class ParserState;
// What a parser keeps beyond the members its interface names, behind one
// pointer, so that the layout of QelXmlParser does not change with it. It is
// the first base: it holds the memory manager of the parser's scanner, which
// must outlive the Xerces-C bases.
class ParserStateOwner {
 protected:
  ParserStateOwner();
  ~ParserStateOwner();
  ParserStateOwner(const ParserStateOwner&) = delete;
  ParserStateOwner& operator=(const ParserStateOwner&) = delete;
  std::unique_ptr<ParserState> m_state;
};
}  // namespace qel_detail

// The DOM builder behind the entry points; one parser serves one parse.
// A caller that needs other settings than the entry points' builds the
// parser itself:
//   QelXmlParser parser(opt, enc, source);
//   parser.setEntityExpansionLimit(1000000);
//   parser.setEntityTextLimit(1 << 30);
//   parser.setNetworkTimeout(5000);
//   parser.parse(source);
//   DOMDocument* doc = parser.detachDocument();
class QELDOM_API QelXmlParser : private qel_detail::ParserStateOwner,
                                public XERCES_CPP_NAMESPACE::XercesDOMParser,
                                public XERCES_CPP_NAMESPACE::HandlerBase {
 public:
  // At most this many entity expansions per parse unless changed (Xerces-C's
  // own default for its SecurityManager). Every expansion counts: general
  // and parameter entities, internal and external, wherever they stand. A
  // billion-laughs document fails after that many (in well under a second).
  static constexpr XMLSize_t s_defaultEntityExpansionLimit = 50000;
  // At most this many characters of entity text per parse unless changed
  // (16 Mi UTF-16 units, 32 MiB): the value of every internal entity each
  // time it is expanded, and every byte read from an external entity or DTD.
  // The expansion count alone lets one large entity referenced many times
  // grow a small document a hundred-thousandfold.
  static constexpr XMLSize_t s_defaultEntityTextLimit = XMLSize_t(16) << 20;
  // A URL is fetched, connecting and reading, within this many milliseconds.
  static constexpr unsigned long s_defaultNetworkTimeout = 30000;

  QelXmlParser(unsigned long opt, XERCES_CPP_NAMESPACE::DOMNode* parent, const char* enc,
               XERCES_CPP_NAMESPACE::InputSource& src);
  QelXmlParser(unsigned long opt, const char* enc, XERCES_CPP_NAMESPACE::InputSource& src);
  QelXmlParser(unsigned long opt, const char* enc);
  ~QelXmlParser() override;
  QelXmlParser(const QelXmlParser&) = delete;
  QelXmlParser& operator=(const QelXmlParser&) = delete;

  // Recognizes the encoding of a source that names none, then parses it.
  void parse(const XERCES_CPP_NAMESPACE::InputSource& src);
  // The document; the caller owns it from now on.
  XERCES_CPP_NAMESPACE::DOMDocument* detachDocument() { return adoptDocument(); }
  unsigned long getOpt() const { return m_opt; }
  const std::u16string& getEnc() const { return m_enc; }

  // The bounds start as qelSetParseLimits set them. Going beyond one ends
  // the parse with a SAXParseException that names it; 0 removes the bound
  // (only for trusted input).
  void setEntityExpansionLimit(XMLSize_t limit);
  void setEntityTextLimit(XMLSize_t limit);
  // The option bits QEL_PARSE_NO_NETWORK and QEL_PARSE_NO_EXTERNAL.
  void setNoNetwork(bool refuse);
  void setNoExternal(bool refuse);
  void setNetworkTimeout(unsigned long milliseconds);
  // Whether the parse links the nodes of the new document itself instead of
  // through Xerces-C's DOM builder (two to four times faster, the same DOM). It
  // does for Xerces-C 3.2 unless the parse validates or builds under a parent.
  bool buildsDirectly() const;
  // The code of the first failure Xerces-C reported in its exception domain
  // (an input that cannot be opened, for example), 0 if none.
  unsigned getExceptCode() const;

  // --- document events ---
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
  void docComment(const XMLCh* const comment) override;
  void docPI(const XMLCh* const target, const XMLCh* const data) override;
  void endElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                  const XMLCh* const elemPrefix) override;
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
  void resetDocument() override;
  void startDocument() override;
  void startElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int urlId,
                    const XMLCh* const elemPrefix,
                    const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                    const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
  void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
               const XMLCh* const actualEncStr) override;
  void doctypeDecl(const XERCES_CPP_NAMESPACE::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                   const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset) override;

  // --- entities and errors ---
  XERCES_CPP_NAMESPACE::InputSource* resolveEntity(XERCES_CPP_NAMESPACE::XMLResourceIdentifier* resource) override;
  void error(const XERCES_CPP_NAMESPACE::SAXParseException& exc) override;
  void fatalError(const XERCES_CPP_NAMESPACE::SAXParseException& exc) override;
  void error(const unsigned int errCode, const XMLCh* const errDomain,
             const XERCES_CPP_NAMESPACE::XMLErrorReporter::ErrTypes type, const XMLCh* const errorText,
             const XMLCh* const systemId, const XMLCh* const publicId, const XMLFileLoc lineNum,
             const XMLFileLoc colNum) override;

 protected:
  void init(unsigned long opt, XERCES_CPP_NAMESPACE::DOMNode* parent, const char* enc,
            XERCES_CPP_NAMESPACE::InputSource* src);
  void flushDocCharacters();

 private:
  using XercesDOMParser::parse;
  void checkDeclaredEncoding(const XMLCh* declared) const;

  unsigned long m_opt = 0;
  std::u16string m_chars;
  bool m_pending = false;
  bool m_cdata = false;
  bool m_underParent = false;
  std::vector<QelXmlSpace> m_spaces;
  std::u16string m_enc;
};
