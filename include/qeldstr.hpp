/// \file
/// qeldstr: a non-owning view of a UTF-16 DOM string, and the library's fixed
/// UTF-16 strings.
#pragma once

#include <iosfwd>
#include <string>

#include "qeldomapi.hpp"
#include "qelrtdefs.hpp"

/// A view of a UTF-16 text: a pointer and a length counted on first use.
///
/// Copies are shallow; the text must outlive every view of it. Once known
/// (given or counted), the length is the view's length for length(),
/// getSize() and the conversion to std::u16string, even when the text holds
/// a zero unit earlier; the comparisons and the stream output work on the
/// zero-terminated text.
class QELDOM_API QelDomStr {
 public:
  /// The length of a view whose length is not yet counted.
  static constexpr unsigned long npos = ~0ul;

  /// A view of the zero-terminated `text` (null allowed); the length is
  /// counted on first use.
  QelDomStr(const XMLCh* text = nullptr) : m_text(text), m_length(npos) {}
  /// A view of `length` units at `text`, which must hold that many; the
  /// length is not checked.
  QelDomStr(const XMLCh* text, unsigned long length) : m_text(text), m_length(length) {}
  /// Copies the pointer and the length, never the text.
  QelDomStr(const QelDomStr& other) = default;
  /// Copies the pointer and the length, never the text.
  QelDomStr& operator=(const QelDomStr& other);
  /// Forgets the text; frees nothing.
  virtual ~QelDomStr();

  /// The text pointer.
  operator const XMLCh*() const { return m_text; }
  /// The text pointer.
  const XMLCh* getBuffer() const { return m_text; }
  /// The text pointer.
  const XMLCh* rawBuffer() const { return m_text; }

  /// Whether the text pointer is null.
  bool isNull() const { return m_text == nullptr; }
  /// Whether the text is null or its first unit is 0.
  bool empty() const { return empty(m_text); }
  /// Whether `text` is null or its first unit is 0.
  static bool empty(const XMLCh* text) { return text == nullptr || text[0] == 0; }

  /// The view's length: the given one, or the units up to the first zero,
  /// counted once (0 for a null text).
  unsigned long length() const;
  /// The view's length, as length().
  unsigned long getSize() const { return length(); }

  /// Whether the view's text equals `other`: null and empty texts are equal;
  /// otherwise unit by unit up to the terminating zero.
  bool equals(const XMLCh* other) const { return equals(m_text, other); }
  /// Whether `a` equals `b`, as equals(const XMLCh*) compares.
  static bool equals(const XMLCh* a, const XMLCh* b);
  /// Whether the view's text equals the 8-bit `other`, decoded from the
  /// process code page.
  bool equals(const char* other) const;

  /// The view's units: none for an empty view, else exactly its length.
  operator std::u16string() const;

 private:
  const XMLCh* m_text;
  mutable unsigned long m_length;
};

/// Writes "NULL" for a null view, else the zero-terminated text in the process
/// code page.
QELDOM_API std::ostream& operator<<(std::ostream& os, const QelDomStr& s);

/// The library's fixed UTF-16 strings, each zero-terminated.
///
/// The six symbol sets list the characters a writer mode replaces; each is
/// replaced by its reference: '&' s_refAmp, '<' s_refLt, '>' s_refGt, '"'
/// s_refQuot, carriage return s_ref13, line feed s_ref10, tab s_ref9.
class QELDOM_API QelUni {
 public:
  /// Does nothing: the class has no data.
  QelUni& operator=(const QelUni&) { return *this; }

  static const XMLCh s_utf8[];                  ///< "UTF-8".
  static const XMLCh s_utf16[];                 ///< "UTF-16".
  static const XMLCh s_textSymbols[];           ///< Escaped in text: "&<>".
  static const XMLCh s_lineTextSymbols[];       ///< Escaped in text, line ends included: "&<>", CR, LF.
  static const XMLCh s_canonicalTextSymbols[];  ///< Escaped in canonical text: "&<>", '"', CR, LF, tab.
  static const XMLCh s_attrSymbols[];           ///< Escaped in attribute values: "&<>", '"'.
  static const XMLCh s_lineAttrSymbols[];  ///< Escaped in attribute values, line ends included: "&<>", '"', CR, LF.
  static const XMLCh s_canonicalAttrSymbols[];  ///< Escaped in canonical attribute values: "&<>", '"', CR, LF, tab.
  static const XMLCh s_refQuot[];               ///< "&quot;".
  static const XMLCh s_refAmp[];                ///< "&amp;".
  static const XMLCh s_refLt[];                 ///< "&lt;".
  static const XMLCh s_refGt[];                 ///< "&gt;".
  static const XMLCh s_ref13[];                 ///< "&#13;".
  static const XMLCh s_ref10[];                 ///< "&#10;".
  static const XMLCh s_ref9[];                  ///< "&#9;".
  static const XMLCh s_native[];                ///< "NATIVE", the encoding name that stands for UTF-8.
  static const XMLCh s_xmlDeclVersion[];        ///< The XML declaration's start, up to `version="1.0"`.
  static const XMLCh s_xmlDeclEncoding[];       ///< ` encoding="` (with a leading blank).
  static const XMLCh s_xmlDeclStandalone[];     ///< ` standalone="` (with a leading blank).
  static const XMLCh s_xmlDeclEnd[];            ///< ` ?>` (with a leading blank).
  static const XMLCh s_startEntity[];           ///< "<!ENTITY " (with a trailing blank).
  static const XMLCh s_startCData[];            ///< "<![CDATA[".
  static const XMLCh s_endCData[];              ///< "]]>".
  static const XMLCh s_closeComment[];          ///< "-->".
  static const XMLCh s_xmlSpace[];              ///< "xml:space".
  static const XMLCh s_preserve[];              ///< "preserve".
  static const XMLCh s_rdfParseType[];          ///< "rdf:parseType".
  static const XMLCh s_rdfInline[];             ///< "Inline".
};
