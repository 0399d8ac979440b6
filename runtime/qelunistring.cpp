// The UTF-16 string value.
#include "qelunistring.hpp"

#include <ostream>

#include "qelconv.hpp"

QelUniString::QelUniString(const XMLCh* text) {
  if (text) m_text.assign(text);
}

QelUniString::QelUniString(const XMLCh* text, size_t count) {
  if (text) m_text.assign(text, count);
}

QelUniString::QelUniString(const char* text, size_t length)
    : m_text(qelToUnicode(text, static_cast<unsigned>(length))) {}

void QelUniString::initStatic(const char* literal, size_t length) {
  m_text.clear();
  m_text.reserve(length);
  for (size_t i = 0; i < length; ++i) m_text.push_back(static_cast<unsigned char>(literal[i]));
}

std::string QelUniString::toString() const { return qelToMbcs(m_text.c_str(), static_cast<unsigned>(m_text.length())); }

std::ostream& operator<<(std::ostream& os, const QelUniString& s) { return os << s.toString(); }
