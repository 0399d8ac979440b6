// qeldstr: a non-owning view of a UTF-16 DOM string, and the library's fixed
// UTF-16 strings.
#pragma once

#include <iosfwd>
#include <string>

#include "qeldomapi.hpp"
#include "qelrtdefs.hpp"

// A view of a UTF-16 text: a pointer and a length counted on first use.
// Copies are shallow; the text must outlive every view of it.
class QELDOM_API QelDomStr {
 public:
  static constexpr unsigned long npos = ~0ul;  // length not yet counted

  QelDomStr(const XMLCh* text = nullptr) : m_text(text), m_length(npos) {}
  QelDomStr(const XMLCh* text, unsigned long length) : m_text(text), m_length(length) {}
  QelDomStr(const QelDomStr& other) = default;
  QelDomStr& operator=(const QelDomStr& other);
  virtual ~QelDomStr();

  operator const XMLCh*() const { return m_text; }
  const XMLCh* getBuffer() const { return m_text; }
  const XMLCh* rawBuffer() const { return m_text; }

  bool isNull() const { return m_text == nullptr; }
  bool empty() const { return empty(m_text); }
  static bool empty(const XMLCh* text) { return text == nullptr || text[0] == 0; }

  // The view's length, counted once up to the first zero unit.
  unsigned long length() const;
  unsigned long getSize() const { return length(); }

  // Null and empty texts are equal; otherwise unit by unit up to the zero.
  bool equals(const XMLCh* other) const { return equals(m_text, other); }
  static bool equals(const XMLCh* a, const XMLCh* b);
  bool equals(const char* other) const;

  operator std::u16string() const;

 private:
  const XMLCh* m_text;
  mutable unsigned long m_length;
};

// "NULL" for a null view, else the text in the process code page.
QELDOM_API std::ostream& operator<<(std::ostream& os, const QelDomStr& s);

// The library's fixed UTF-16 strings.
class QELDOM_API QelUni {
 public:
  QelUni& operator=(const QelUni&) { return *this; }

  static const XMLCh s_utf8[];
  static const XMLCh s_utf16[];
  static const XMLCh s_textSymbols[];
  static const XMLCh s_lineTextSymbols[];
  static const XMLCh s_canonicalTextSymbols[];
  static const XMLCh s_attrSymbols[];
  static const XMLCh s_lineAttrSymbols[];
  static const XMLCh s_canonicalAttrSymbols[];
  static const XMLCh s_refQuot[];
  static const XMLCh s_refAmp[];
  static const XMLCh s_refLt[];
  static const XMLCh s_refGt[];
  static const XMLCh s_ref13[];
  static const XMLCh s_ref10[];
  static const XMLCh s_ref9[];
  static const XMLCh s_native[];
  static const XMLCh s_xmlDeclVersion[];
  static const XMLCh s_xmlDeclEncoding[];
  static const XMLCh s_xmlDeclStandalone[];
  static const XMLCh s_xmlDeclEnd[];
  static const XMLCh s_startEntity[];
  static const XMLCh s_startCData[];
  static const XMLCh s_endCData[];
  static const XMLCh s_closeComment[];
  static const XMLCh s_xmlSpace[];
  static const XMLCh s_preserve[];
  static const XMLCh s_rdfParseType[];
  static const XMLCh s_rdfInline[];
};
