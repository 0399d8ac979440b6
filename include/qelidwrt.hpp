// qelidwrt: serialization of DOM nodes as XML text into a caller's byte
// stream, in any code page the converter knows.
#pragma once

#include <string>
#include <vector>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLBuffer.hpp>

#include "nyl.hpp"
#include "qeldom.hpp"
#include "qeldstr.hpp"
#include "qeloutstream.hpp"

// Writer options (bits of the options word).
constexpr unsigned long QEL_WRITE_XML_DECL = 0x001;        // a document begins with the XML declaration
constexpr unsigned long QEL_WRITE_MARGINS = 0x002;         // line ends after markup, two blanks per depth
constexpr unsigned long QEL_WRITE_DOCTYPE = 0x004;         // document type declarations are written
constexpr unsigned long QEL_WRITE_CHAR_REFS = 0x008;       // CR, LF and non-ASCII as character references
constexpr unsigned long QEL_WRITE_CONTENT_ONLY = 0x010;    // the top node's children only
constexpr unsigned long QEL_WRITE_SPECIFIED_ONLY = 0x040;  // attributes defaulted from a DTD are left out
constexpr unsigned long QEL_WRITE_CANONICAL = 0x080;       // canonical escaping, no comments, no empty tags
constexpr unsigned long QEL_WRITE_SPACED_MARGINS = 0x100;  // margins plus blank lines around level-2 elements

namespace qel_detail {
struct QelDomReplaceTable;
}

// Turns UTF-16 text into bytes of one encoding and hands them to the stream.
// Text is collected in a buffer and converted every 4096 code units, at
// commit() and at destruction. Not copyable: it owns its buffer and converter.
class QELDOM_API QelCnvWriter {
 public:
  // `encoding`: null, "" and "NATIVE" (any case) mean UTF-8. With `withPrefix`
  // a UTF-16 output begins with a byte order mark. An unknown encoding raises
  // a QelError (QELRC_DOM_API_ERROR).
  QelCnvWriter(QelOutputStream& stream, const char* encoding, bool withPrefix);
  // Commits what is still buffered. A stream failure there is thrown, unless
  // the writer is destroyed by another exception already on its way.
  ~QelCnvWriter() noexcept(false);
  QelCnvWriter(const QelCnvWriter&) = delete;
  QelCnvWriter& operator=(const QelCnvWriter&) = delete;

  // `count` units; 0 means up to the terminating zero.
  void write(const XMLCh* chars, int count);
  void write(XMLCh unit);
  void write(const std::u16string& text);
  // Converts everything buffered and hands the bytes to the stream; a trailing
  // high surrogate waits for its low surrogate (or for the destructor).
  void commit();
  const QelNls& getConverter() const { return m_converter; }

 private:
  friend class QelDomWriter;
  // The DOM writer's pieces. Traced, each is a write of its own; otherwise a
  // piece is a plain append and the DOM writer calls commitIfFull() between
  // nodes, so the converter still runs once per 4096 units or more.
  inline void put(const XMLCh* chars, XMLSize_t count);
  inline void put(XMLCh unit);
  inline XMLCh* room(XMLSize_t count);  // space for `count` more units at the end
  void commitIfFull() {
    if (m_length >= s_capacity) commitBuffer(true);
  }
  void tracedPut(const XMLCh* chars, XMLSize_t count);
  void grow(XMLSize_t count);
  void commitBuffer(bool keepHighSurrogate);

  static constexpr XMLSize_t s_capacity = 4096;

  QelOutputStream& m_stream;
  QelNls m_converter;
  std::vector<XMLCh> m_buffer;  // the staged text: m_length units in use
  XMLSize_t m_length;
  std::vector<char> m_bytes;  // the converted bytes of a commit, reused
  bool m_isUtf16;
  bool m_isPrefixed;
  bool m_withPrefix;
  XMLCh m_prefix;
  int m_uncaughtAtStart;  // exceptions in flight when the writer was made
  bool m_tracePieces;     // the DOM writer's pieces go through the traced writes
};

// Writes one DOM node with everything below it; the constructor does the
// whole job and commits. Not copyable. The output parses back to what the DOM
// holds: an XML 1.1 document declares its version and writes the characters
// XML 1.1 allows only as references as references; the internal subset is
// written declaration by declaration. A character that can never be XML, or
// one the code page lacks where XML has no references (names, comments,
// processing instructions), raises a QelError naming the node and the
// character's position; what was buffered before it reaches the stream.
class QELDOM_API QelDomWriter {
 public:
  QelDomWriter(const XERCES_CPP_NAMESPACE::DOMNode* node, QelOutputStream& stream, unsigned long options,
               const char* encoding, const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);
  QelDomWriter(const QelDomWriter&) = delete;
  QelDomWriter& operator=(const QelDomWriter&) = delete;

  // The resolved encoding name: "UTF-8" for null, "" and "NATIVE", otherwise
  // the caller's name.
  const std::u16string& getEncoding() const { return m_encoding; }

 private:
  using Node = XERCES_CPP_NAMESPACE::DOMNode;
  // A parent whose children are being written, and what follows them.
  struct Frame {
    const Node* first;     // the first child
    const Node* next;      // the next child to write
    int level;             // the children's level
    const XMLCh* name;     // of the element whose end tag follows the children; null for other parents
    XMLSize_t nameLength;  // its length
    int elementLevel;
  };

  void writeNode(const Node* node, int level);
  void visit(const Node* node, int level, bool onlyChild);
  void pushChildNodes(const Node* first, int level, const XMLCh* endTagName = nullptr, XMLSize_t nameLength = 0,
                      int elementLevel = 0);
  void writeDoc(const Node* node, int level);
  void writeDocType(const Node* node, int level);
  void writeIdentifiers(const XMLCh* publicId, const XMLCh* systemId, const Node* node);
  void writeMarkup(const XMLCh* text, const Node* node, const char* what, size_t base = 0);
  void writeElement(const Node* node, int level);
  void writeElementEnd(const XMLCh* name, XMLSize_t nameLength, int level, bool isInline);
  void writeText(const Node* node, int level, bool onlyChild);
  void writeCData(const Node* node, int level, bool onlyChild);
  void writeCDataContent(const Node* node);
  void writeComment(const Node* node, int level);
  void writePi(const Node* node, int level);
  void writeEntity(const Node* node, int level);
  // `text` zero-terminated, may be null; returns a character that can never
  // be XML, where it stopped, or null.
  const XMLCh* replaceAndWrite(const XMLCh* text, const qel_detail::QelDomReplaceTable& table);
  inline void writeEscaped(const XMLCh* text, const qel_detail::QelDomReplaceTable& table, const Node* node,
                           const char* what, size_t base = 0);
  static std::u16string replace(const std::u16string& text, const XMLCh* from, const XMLCh* to);
  void writeCharRef(char32_t codePoint);
  inline bool canEncode(const XMLCh* unit, int count);
  bool convertsWithoutReference(const XMLCh* unit, int count);
  enum class Refusal : unsigned char;
  [[noreturn]] void refuseCharacter(const Node* node, const char* what, const XMLCh* text, const XMLCh* at, size_t base,
                                    Refusal why);
  void checkCharacters(const XMLCh* text, size_t count, const Node* node, const char* what, bool literal,
                       size_t base = 0);
  void checkLiteral(const XMLCh* text, size_t count, const Node* node, const char* what, size_t base = 0) {
    checkCharacters(text, count, node, what, true, base);
  }
  inline XMLSize_t nameLength(const XMLCh* name, const Node* node, const char* what);
  inline void writeAround(int level, const XMLCh* before, XMLSize_t beforeLength, const XMLCh* name, XMLSize_t length,
                          const XMLCh* after, XMLSize_t afterLength, bool endl);
  void writeAroundTraced(int level, const XMLCh* before, XMLSize_t beforeLength, const XMLCh* name, XMLSize_t length,
                         const XMLCh* after, XMLSize_t afterLength, bool endl);
  inline void writeEndl();
  inline void writeOffset(int level);
  bool isMarginsOn() const { return m_options & (QEL_WRITE_MARGINS | QEL_WRITE_SPACED_MARGINS); }

  std::u16string m_encoding;
  unsigned long m_options;
  const XERCES_CPP_NAMESPACE::DOMDocumentType* m_docType;
  QelCnvWriter m_writer;
  std::vector<Frame> m_stack;
  std::vector<unsigned char> m_encodable;             // per BMP unit: 0 unknown, 1 encodable, 2 not (non-UTF outputs)
  std::string m_refBytes;                             // "&#x" in the output encoding
  const qel_detail::QelDomReplaceTable* m_textTable;  // the escaping the options choose
  const qel_detail::QelDomReplaceTable* m_attrTable;
  unsigned char m_scanKind;  // the units above ASCII that need a look: 0 from U+0080, 1 from U+0100, 2 from U+D800
  bool m_xml11;              // the node's document is an XML 1.1 document
  // Names met before, by address: the DOM keeps one copy of each name, so
  // most names are measured and checked once per run.
  struct KnownName {
    const XMLCh* name;
    XMLSize_t length;
  };
  KnownName m_names[64];
};

// The document type declaration text, or an empty string for null, with the
// internal subset as the DOM holds it: Xerces-C rebuilds that text in a form
// that does not always parse back to the same declarations. The writer
// writes the subset declaration by declaration in a form that does.
QELDOM_API std::u16string qelMakeDocTypeDecl(const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);

// Writes the node as QelDomWriter does; returns the resolved encoding name.
QELDOM_API std::u16string qelWriteNode(const XERCES_CPP_NAMESPACE::DOMNode* node, QelOutputStream& stream,
                                       unsigned long options, const char* encoding,
                                       const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);
