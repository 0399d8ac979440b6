// qelidwrt: serialization of DOM nodes as XML text into a caller's byte
// stream, in any code page the converter knows.
#pragma once

#include <memory>
#include <string>
#include <xercesc/dom/DOM.hpp>

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
class Staging;
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
  const QelNls& getConverter() const;

 private:
  std::unique_ptr<qel_detail::Staging> m_staging;
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
  // Commits once more, which writes nothing after the constructor.
  ~QelDomWriter() noexcept(false);
  QelDomWriter(const QelDomWriter&) = delete;
  QelDomWriter& operator=(const QelDomWriter&) = delete;

  // The resolved encoding name: "UTF-8" for null, "" and "NATIVE", otherwise
  // the caller's name.
  const std::u16string& getEncoding() const { return m_encoding; }

 private:
  std::u16string m_encoding;
  std::unique_ptr<qel_detail::Staging> m_output;
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
