/// \file
/// qelidwrt: serialization of DOM nodes as XML text into a caller's byte
/// stream, in any code page the converter knows (QelNls, nyl.hpp).
///
/// The output parses back to what the DOM holds. An XML 1.1 document declares
/// its version and writes the characters XML 1.1 allows only as references as
/// references; the internal subset is written declaration by declaration.
/// Characters the code page cannot hold are written as character references
/// where XML has them. A character that can never be XML, or one the code
/// page lacks where XML has no references (names, comments, processing
/// instructions, identifiers), raises a QelError (QELRC_DOM_API_ERROR) that
/// names the node and the character's position.
///
/// A writer belongs to one thread at a time and reads the DOM without locks:
/// keep the tree unchanged while it is written.
#pragma once

#include <memory>
#include <string>
#include <xercesc/dom/DOM.hpp>

#include "nyl.hpp"
#include "qeldom.hpp"
#include "qeldstr.hpp"
#include "qeloutstream.hpp"

// --- options -------------------------------------------------------------------------

/// Option bit: a document node begins with the XML declaration (an XML 1.1
/// document always does).
constexpr unsigned long QEL_WRITE_XML_DECL = 0x001;
/// Option bit: margins: a line end after each piece of markup and after each
/// text among other children, and two blanks of indentation per depth.
constexpr unsigned long QEL_WRITE_MARGINS = 0x002;
/// Option bit: document type declarations are written; otherwise they are
/// left out.
constexpr unsigned long QEL_WRITE_DOCTYPE = 0x004;
/// Option bit: CR and LF in text and attribute values, and every character
/// above U+007F in text, attribute values and CDATA sections, as character
/// references.
constexpr unsigned long QEL_WRITE_CHAR_REFS = 0x008;
/// Option bit: the top node's children only, at level 0, without the node's
/// own markup.
constexpr unsigned long QEL_WRITE_CONTENT_ONLY = 0x010;
/// Option bit: attributes defaulted from a DTD (getSpecified() false) are
/// left out.
constexpr unsigned long QEL_WRITE_SPECIFIED_ONLY = 0x040;
/// Option bit: canonical form: quotation marks, CR, LF and TAB as references,
/// no comments, CDATA sections as escaped text, no empty-element tags, no
/// line ends.
constexpr unsigned long QEL_WRITE_CANONICAL = 0x080;
/// Option bit: margins as QEL_WRITE_MARGINS, and a blank line before each
/// element at level 2 and before the end tag of the element at level 0.
constexpr unsigned long QEL_WRITE_SPACED_MARGINS = 0x100;

/// \cond
namespace qel_detail {
class Staging;
}
/// \endcond

// --- writers -------------------------------------------------------------------------

/// Turns UTF-16 text into bytes of one encoding and hands them to a stream.
///
/// Text is collected in a buffer and converted and handed to the stream in one
/// write once 4096 code units or more have gathered, at commit() and at
/// destruction; one write is never split. A surrogate pair is never split
/// between two conversions. Not copyable: it owns its buffer and converter.
class QELDOM_API QelCnvWriter {
 public:
  /// A writer into `stream`, which must outlive it, in the encoding of that
  /// name: any name the converter knows; null, "" and "NATIVE" (in any letter
  /// case) mean UTF-8. With `withPrefix` a UTF-16 output begins with a byte
  /// order mark, written with the first text. Starts the XML platform.
  /// Throws a QelError (QELRC_DOM_API_ERROR) for a name the converter does
  /// not know: "The code page is not known (name)".
  QelCnvWriter(QelOutputStream& stream, const char* encoding, bool withPrefix);
  /// Commits what is still buffered, a lone high surrogate at the end too
  /// (as a character reference). A stream failure there is thrown, unless the
  /// writer is destroyed by another exception already on its way.
  ~QelCnvWriter() noexcept(false);
  QelCnvWriter(const QelCnvWriter&) = delete;             ///< Not copyable.
  QelCnvWriter& operator=(const QelCnvWriter&) = delete;  ///< Not copyable.

  ///@{
  /// Appends `count` units of `chars` (0: up to the terminating zero; a null
  /// text writes nothing), one `unit`, or the `text`. Commits once 4096 units
  /// or more are buffered; an exception of the stream passes, and the text
  /// it was given is not written again.
  void write(const XMLCh* chars, int count);
  void write(XMLCh unit);
  void write(const std::u16string& text);
  ///@}
  /// Converts everything buffered and hands the bytes to the stream; a
  /// trailing high surrogate waits for its low surrogate (or for the
  /// destructor). An exception of the stream passes.
  void commit();
  /// The converter: its code page's name and number.
  const QelNls& getConverter() const;

 private:
  std::unique_ptr<qel_detail::Staging> m_staging;
};

/// Writes one DOM node with everything below it; the constructor does the
/// whole job and commits. Not copyable.
class QELDOM_API QelDomWriter {
 public:
  /// Writes `node` with everything below it into `stream` in the encoding of
  /// that name (as QelCnvWriter takes it; UTF-16 begins with a byte order
  /// mark), in the layout the QEL_WRITE_* bits of `options` choose. A
  /// `docType` that is not null is written (with QEL_WRITE_DOCTYPE) in place
  /// of the document's own document type, and ahead of a node that is not a
  /// document. Throws a QelError (QELRC_DOM_API_ERROR) for an unknown
  /// encoding (nothing is written), a null node, and what cannot be written
  /// (see the header's description); DOM exceptions and those of the stream
  /// pass. What was buffered before any of them reaches the stream.
  QelDomWriter(const XERCES_CPP_NAMESPACE::DOMNode* node, QelOutputStream& stream, unsigned long options,
               const char* encoding, const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);
  /// Commits once more, which writes nothing after the constructor.
  ~QelDomWriter() noexcept(false);
  QelDomWriter(const QelDomWriter&) = delete;             ///< Not copyable.
  QelDomWriter& operator=(const QelDomWriter&) = delete;  ///< Not copyable.

  /// The resolved encoding name: "UTF-8" for null, "" and "NATIVE", otherwise
  /// the caller's name in its own letter case.
  const std::u16string& getEncoding() const { return m_encoding; }

 private:
  std::u16string m_encoding;
  std::unique_ptr<qel_detail::Staging> m_output;
};

// --- one-call functions --------------------------------------------------------------

/// The document type declaration of `docType` as the DOM holds it:
/// "<!DOCTYPE", the name, the identifiers and the internal subset in
/// brackets; an empty string for null. Xerces-C rebuilds the subset in a
/// form that does not always parse back to the same declarations; the
/// writers write it declaration by declaration in a form that does.
QELDOM_API std::u16string qelMakeDocTypeDecl(const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);

/// Writes `node` as QelDomWriter does with the same arguments, and returns
/// the resolved encoding name (QelDomWriter::getEncoding). Throws what the
/// QelDomWriter constructor throws.
QELDOM_API std::u16string qelWriteNode(const XERCES_CPP_NAMESPACE::DOMNode* node, QelOutputStream& stream,
                                       unsigned long options, const char* encoding,
                                       const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);
