// The DOM string view and the library's fixed UTF-16 strings.
#include "qeldstr.hpp"

#include <ostream>

#include "qelconv.hpp"

QelDomStr& QelDomStr::operator=(const QelDomStr& other) {
  if (this != &other) {
    m_text = other.m_text;
    m_length = other.m_length;
  }
  return *this;
}

QelDomStr::~QelDomStr() {
  m_text = nullptr;
  m_length = npos;
}

unsigned long QelDomStr::length() const {
  if (m_length == npos) m_length = static_cast<unsigned long>(qelStrlen(m_text));
  return m_length;
}

bool QelDomStr::equals(const XMLCh* a, const XMLCh* b) {
  if (a == nullptr) return empty(b);
  if (b == nullptr) return empty(a);
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

bool QelDomStr::equals(const char* other) const {
  std::u16string text = qelToUnicode(other);
  return equals(m_text, text.c_str());
}

QelDomStr::operator std::u16string() const {
  if (empty()) return std::u16string();
  if (m_length == npos) {
    m_length = static_cast<unsigned long>(qelStrlen(m_text));
    return std::u16string(m_text, m_length);
  }
  return std::u16string(m_text, m_length);
}

std::ostream& operator<<(std::ostream& os, const QelDomStr& s) {
  if (s.isNull()) return os << "NULL";
  return os << qelToMbcs(s.getBuffer());
}

const XMLCh QelUni::s_utf8[] = u"UTF-8";
const XMLCh QelUni::s_utf16[] = u"UTF-16";
const XMLCh QelUni::s_textSymbols[] = u"&<>";
const XMLCh QelUni::s_lineTextSymbols[] = u"&<>\r\n";
const XMLCh QelUni::s_canonicalTextSymbols[] = u"&<>\"\r\n\t";
const XMLCh QelUni::s_attrSymbols[] = u"&<>\"";
const XMLCh QelUni::s_lineAttrSymbols[] = u"&<>\"\r\n";
const XMLCh QelUni::s_canonicalAttrSymbols[] = u"&<>\"\r\n\t";
const XMLCh QelUni::s_refQuot[] = u"&quot;";
const XMLCh QelUni::s_refAmp[] = u"&amp;";
const XMLCh QelUni::s_refLt[] = u"&lt;";
const XMLCh QelUni::s_refGt[] = u"&gt;";
const XMLCh QelUni::s_ref13[] = u"&#13;";
const XMLCh QelUni::s_ref10[] = u"&#10;";
const XMLCh QelUni::s_ref9[] = u"&#9;";
const XMLCh QelUni::s_native[] = u"NATIVE";
const XMLCh QelUni::s_xmlDeclVersion[] = u"<?xml version=\"1.0\"";
const XMLCh QelUni::s_xmlDeclEncoding[] = u" encoding=\"";
const XMLCh QelUni::s_xmlDeclStandalone[] = u" standalone=\"";
const XMLCh QelUni::s_xmlDeclEnd[] = u" ?>";
const XMLCh QelUni::s_startEntity[] = u"<!ENTITY ";
const XMLCh QelUni::s_startCData[] = u"<![CDATA[";
const XMLCh QelUni::s_endCData[] = u"]]>";
const XMLCh QelUni::s_closeComment[] = u"-->";
const XMLCh QelUni::s_xmlSpace[] = u"xml:space";
const XMLCh QelUni::s_preserve[] = u"preserve";
const XMLCh QelUni::s_rdfParseType[] = u"rdf:parseType";
const XMLCh QelUni::s_rdfInline[] = u"Inline";
