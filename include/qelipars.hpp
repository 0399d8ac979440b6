/// \file
/// qelipars: parsing XML from a file, from memory or from standard input into
/// a new document or under a node of an existing document, with a whitespace
/// rule that honours xml:space and the library's own resolution of external
/// entities.
///
/// Each entry point returns a document and never null. Without a parent the
/// document is new and belongs to the caller; under a parent it is the
/// parent's own document, the new nodes appended to the parent. A malformed
/// input raises a QelError with QELRC_DOM_INVALID_XML_DOCUMENT whose message
/// carries the Xerces-C text, line and column (or, with
/// QEL_PARSE_XERCES_EXCEPTIONS, the Xerces-C exception itself). Entity
/// expansion is bounded (see QelXmlParser). A parent must be able to take the
/// input's nodes: an element, a document fragment or a document without a
/// document element, none of them inside an entity reference; any other
/// parent raises a QelError (QELRC_DOM_API_ERROR) and the tree stays as it
/// was. When a parse under a parent fails, the nodes built before the failure
/// stay under the parent.
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

/// Option bit: validate against the DTD; any validity error ends the parse.
constexpr unsigned long QEL_PARSE_VALIDATE = 0x01;
/// Option bit: outside xml:space="preserve", trim character data, drop
/// character data that is all white space, and drop ignorable white space.
constexpr unsigned long QEL_PARSE_TRIM = 0x02;
/// Option bit: pass Xerces-C exceptions on instead of a QelError.
constexpr unsigned long QEL_PARSE_XERCES_EXCEPTIONS = 0x04;
/// Option bit: read a local external entity that cannot be opened as empty.
constexpr unsigned long QEL_PARSE_EMPTY_IF_MISSING = 0x08;
/// Option bit: namespace processing.
constexpr unsigned long QEL_PARSE_NAMESPACES = 0x10;
/// Option bit: a URL other than file: reads as a missing entity.
constexpr unsigned long QEL_PARSE_NO_NETWORK = 0x20;
/// Option bit: refuse every external entity and DTD, local or not (a QelError).
constexpr unsigned long QEL_PARSE_NO_EXTERNAL = 0x40;

/// Sets the bounds every parser starts with, for the entry points as for
/// parsers built by the caller: at most `expansions` entity expansions per
/// parse and `textUnits` UTF-16 units of text brought in by entities (0
/// removes a bound). Process-wide; a parser already built keeps what it took.
/// The defaults are QelXmlParser::s_defaultEntityExpansionLimit and
/// QelXmlParser::s_defaultEntityTextLimit.
QELDOM_API void qelSetParseLimits(XMLSize_t expansions, XMLSize_t textUnits);
/// The bounds new parsers start with (see qelSetParseLimits).
QELDOM_API void qelGetParseLimits(XMLSize_t& expansions, XMLSize_t& textUnits);

// --- entry points ------------------------------------------------------------------

/// Parses the file `file` into a new document, with the QEL_PARSE_* bits of
/// `opt`; `enc` names the input's encoding when neither a byte order mark nor
/// a declaration does (null for none). The file is opened once, its name
/// taken as bytes; FIFOs and process substitutions work.
/// \throws QelError QELRC_DOM_INVALID_XML_DOCUMENT "Cannot open input file
///   "NAME"" for a file that does not open (the system's reason is the error's
///   cause), whatever QEL_PARSE_XERCES_EXCEPTIONS says; the same code for a
///   malformed input (see the file description).
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDocFromFile(const char* file, unsigned long opt, const char* enc);
/// Parses `size` bytes at `buf` into a new document, or under `parent` when
/// it is not null. The bytes stay the caller's and must stay valid for the
/// call; messages name the input "qelParseDoc".
/// \throws QelError QELRC_DOM_API_ERROR for a null `buf` with a size, or a
///   parent that cannot take the input's nodes; QELRC_DOM_INVALID_XML_DOCUMENT
///   for a malformed input.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size,
                                                          XERCES_CPP_NAMESPACE::DOMNode* parent, unsigned long opt,
                                                          const char* enc);
/// The same into a new document.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size, unsigned long opt,
                                                          const char* enc);
/// The same without an encoding name.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(const void* buf, unsigned long size,
                                                          XERCES_CPP_NAMESPACE::DOMNode* parent, unsigned long opt);
/// Parses standard input into a new document. Input is read as the parse
/// needs it: a document is read to its end, a malformed input only up to the
/// parser's first error (the rest stays unread).
/// \throws QelError "Cannot read standard input: REASON" for a read error
///   (standard input closed, or a directory); QELRC_DOM_INVALID_XML_DOCUMENT
///   for a malformed input.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseDoc(unsigned long opt, const char* enc);
/// The core the entry points share: parses any input source, into a new
/// document or under `parent`. Throws as the entry points do.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelParseXml(XERCES_CPP_NAMESPACE::InputSource& src, unsigned long opt,
                                                          const char* enc, XERCES_CPP_NAMESPACE::DOMNode* parent);

/// The input source of an external entity: a URL, or a local file taken
/// relative to the external entity being read by `scanner` (the document
/// itself or the entity that holds the reference), with its encoding
/// recognized. A missing local file reads as empty when `emptyIfMissing` is
/// set. The caller owns the result. `publicId` plays no part. Files are read
/// once; http, https and ftp URLs are fetched with a time-out of 30 s.
/// \throws SAXParseException "Cannot fetch ..." for a URL that cannot be
///   fetched.
QELDOM_API XERCES_CPP_NAMESPACE::InputSource* qelResolveEntity(XERCES_CPP_NAMESPACE::XMLScanner* scanner,
                                                               const XMLCh* const publicId, const XMLCh* const systemId,
                                                               bool emptyIfMissing);

// --- the parser ------------------------------------------------------------------------

/// An open xml:space scope: the element that opened it and whether its value
/// was exactly "preserve".
struct QELDOM_API QelXmlSpace {
  /// No element, not preserving.
  QelXmlSpace() : name(), preserve(false), depth(0) {}
  /// The scope of the element `elementName` at `elementDepth`.
  QelXmlSpace(const XMLCh* elementName, bool preserveSpace, unsigned long elementDepth = 0)
      : name(elementName), preserve(preserveSpace), depth(elementDepth) {}

  QelDomStr name;       ///< The element's base name; refers to the element declaration's text.
  bool preserve;        ///< The value was exactly "preserve".
  unsigned long depth;  ///< Element depth of the opening element (root = 1).
};

/// \cond
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
/// \endcond

/// The DOM builder behind the entry points; one parser serves one parse, on
/// one thread. A caller that needs other settings than the entry points'
/// builds the parser itself:
/// \code
///   QelXmlParser parser(opt, enc, source);
///   parser.setEntityExpansionLimit(1000000);
///   parser.setEntityTextLimit(1 << 30);
///   parser.setNetworkTimeout(5000);
///   parser.parse(source);
///   DOMDocument* doc = parser.detachDocument();
/// \endcode
/// The parser is its own error handler and entity resolver: any error that
/// Xerces-C reports, other than a warning, ends the parse with a
/// SAXParseException, and external entities come through qelResolveEntity's
/// rules.
class QELDOM_API QelXmlParser : private qel_detail::ParserStateOwner,
                                public XERCES_CPP_NAMESPACE::XercesDOMParser,
                                public XERCES_CPP_NAMESPACE::HandlerBase {
 public:
  /// At most this many entity expansions per parse unless changed (Xerces-C's
  /// own default for its SecurityManager). Every expansion counts: general
  /// and parameter entities, internal and external, wherever they stand. A
  /// billion-laughs document fails after that many (in well under a second).
  static constexpr XMLSize_t s_defaultEntityExpansionLimit = 50000;
  /// At most this many characters of entity text per parse unless changed
  /// (16 Mi UTF-16 units, 32 MiB): the value of every internal entity each
  /// time it is expanded, and every byte read from an external entity or DTD.
  /// The expansion count alone lets one large entity referenced many times
  /// grow a small document a hundred-thousandfold.
  static constexpr XMLSize_t s_defaultEntityTextLimit = XMLSize_t(16) << 20;
  /// A URL is fetched, connecting and reading, within this many milliseconds.
  static constexpr unsigned long s_defaultNetworkTimeout = 30000;

  /// A parser with the QEL_PARSE_* bits of `opt` that builds under `parent`
  /// when it is not null, a new document otherwise. `enc` names the input's
  /// encoding when neither a byte order mark nor a declaration does (null for
  /// none); `src` is not read here.
  /// \throws QelError QELRC_DOM_API_ERROR for a parent that cannot take the
  ///   input's nodes.
  QelXmlParser(unsigned long opt, XERCES_CPP_NAMESPACE::DOMNode* parent, const char* enc,
               XERCES_CPP_NAMESPACE::InputSource& src);
  /// A parser that builds a new document.
  QelXmlParser(unsigned long opt, const char* enc, XERCES_CPP_NAMESPACE::InputSource& src);
  /// A parser that builds a new document.
  QelXmlParser(unsigned long opt, const char* enc);
  /// Under a parent, gives the parent's document back to the caller, whether
  /// or not the parse succeeded; a new document that was not detached goes
  /// with the parser.
  ~QelXmlParser() override;
  QelXmlParser(const QelXmlParser&) = delete;             ///< Not copyable.
  QelXmlParser& operator=(const QelXmlParser&) = delete;  ///< Not copyable.

  /// Recognizes the encoding of a source that names none (storing it on the
  /// source), then parses it.
  /// \throws SAXParseException for an error in the input, a declared
  ///   encoding that contradicts the one the input is read in, or a bound
  ///   exceeded; XMLException or DOMException for other failures of Xerces-C;
  ///   QelError when the encoding cannot be recognized.
  void parse(const XERCES_CPP_NAMESPACE::InputSource& src);
  /// The document; the caller owns it from now on.
  XERCES_CPP_NAMESPACE::DOMDocument* detachDocument() { return adoptDocument(); }
  /// The option word the parser was made with.
  unsigned long getOpt() const { return m_opt; }
  /// The encoding name: the constructor's, and after parse() the one the
  /// input was read in.
  const std::u16string& getEnc() const { return m_enc; }

  /// Bounds the entity expansions of the parse. The bounds start as
  /// qelSetParseLimits set them. Going beyond one ends the parse with a
  /// SAXParseException that names it; 0 removes the bound (only for trusted
  /// input).
  void setEntityExpansionLimit(XMLSize_t limit);
  /// Bounds the UTF-16 units of text entities bring in, as
  /// setEntityExpansionLimit does the expansions.
  void setEntityTextLimit(XMLSize_t limit);
  /// Sets or clears the option bit QEL_PARSE_NO_NETWORK.
  void setNoNetwork(bool refuse);
  /// Sets or clears the option bit QEL_PARSE_NO_EXTERNAL.
  void setNoExternal(bool refuse);
  /// The time a URL may take to fetch, connecting and reading
  /// (s_defaultNetworkTimeout unless changed).
  void setNetworkTimeout(unsigned long milliseconds);
  /// Whether the parse links the nodes of the new document itself instead of
  /// through Xerces-C's DOM builder (two to four times faster, the same DOM).
  /// It does for Xerces-C 3.2 unless the parse validates or builds under a
  /// parent.
  bool buildsDirectly() const;
  /// The code of the first failure Xerces-C reported in its exception domain
  /// (an input that cannot be opened, for example), 0 if none.
  unsigned getExceptCode() const;

  /// \name Document events
  /// Xerces-C's scanner calls these; a caller of the parser does not.
  ///@{

  /// Collects character data; one run of it reaches the builder as one piece.
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
  /// Flushes the collected character data, then builds the comment.
  void docComment(const XMLCh* const comment) override;
  /// Flushes the collected character data, then builds the instruction.
  void docPI(const XMLCh* const target, const XMLCh* const data) override;
  /// Flushes, closes the xml:space scope the element opened, ends the element.
  void endElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                  const XMLCh* const elemPrefix) override;
  /// Dropped with QEL_PARSE_TRIM, built as text otherwise.
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
  /// Does nothing: what the constructor set up stays for the scan.
  void resetDocument() override;
  /// Makes the new document, or under a parent switches its error checking
  /// off for the parse.
  void startDocument() override;
  /// Flushes, opens an xml:space scope for an xml:space attribute, builds the
  /// element.
  void startElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, const unsigned int urlId,
                    const XMLCh* const elemPrefix,
                    const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                    const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
  /// Records the encoding the parse used in the document, in place of the
  /// declared text; a declared encoding that contradicts it ends the parse.
  void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
               const XMLCh* const actualEncStr) override;
  /// Builds the document type; under a parent whose document has one
  /// already, the input's stays out of the tree.
  void doctypeDecl(const XERCES_CPP_NAMESPACE::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                   const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset) override;

  ///@}

  /// \name Entities and errors
  /// Xerces-C calls these: external entities open as qelResolveEntity opens
  /// them (with the parser's own settings and bounds), and an error that is
  /// not a warning ends the parse with a SAXParseException.
  ///@{

  /// The source of an external entity, opened with the parser's settings.
  XERCES_CPP_NAMESPACE::InputSource* resolveEntity(XERCES_CPP_NAMESPACE::XMLResourceIdentifier* resource) override;
  /// Ends the parse: throws a copy of `exc`.
  void error(const XERCES_CPP_NAMESPACE::SAXParseException& exc) override;
  /// Ends the parse: throws a copy of `exc`.
  void fatalError(const XERCES_CPP_NAMESPACE::SAXParseException& exc) override;
  /// Notes the first code of Xerces-C's exception domain (getExceptCode),
  /// then reports as Xerces-C does.
  void error(const unsigned int errCode, const XMLCh* const errDomain,
             const XERCES_CPP_NAMESPACE::XMLErrorReporter::ErrTypes type, const XMLCh* const errorText,
             const XMLCh* const systemId, const XMLCh* const publicId, const XMLFileLoc lineNum,
             const XMLFileLoc colNum) override;
  ///@}

 protected:
  /// The set-up the constructors share; `src` is not used.
  void init(unsigned long opt, XERCES_CPP_NAMESPACE::DOMNode* parent, const char* enc,
            XERCES_CPP_NAMESPACE::InputSource* src);
  /// Hands the character data collected since the last call to the DOM
  /// builder, trimmed as QEL_PARSE_TRIM and the open xml:space scope say.
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
