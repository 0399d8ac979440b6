// A UTF-16 string value.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "qelrtdefs.hpp"

// A UTF-16 string value.
class QELRT_API QelUniString {
 public:
  static constexpr size_t npos = std::u16string::npos;

  QelUniString() = default;
  QelUniString(const XMLCh* text);  // null gives an empty string
  QelUniString(const XMLCh* text, size_t count);
  QelUniString(const char* text, size_t length);  // 8-bit text in the process code page
  QelUniString(const std::u16string& text) : m_text(text) {}
  QelUniString(std::u16string&& text) : m_text(std::move(text)) {}

  // Makes the string from an 8-bit literal (ASCII) of the given length.
  void initStatic(const char* literal, size_t length);

  size_t length() const { return m_text.length(); }
  bool empty() const { return m_text.empty(); }
  size_t capacity() const { return m_text.capacity(); }
  void reserve(size_t n) { m_text.reserve(n); }
  void resize(size_t n) { m_text.resize(n); }

  QelUniString& append(XMLCh unit) {
    m_text.push_back(unit);
    return *this;
  }
  QelUniString& append(const XMLCh* text, size_t count) {
    m_text.append(text, count);
    return *this;
  }
  QelUniString& append(const QelUniString& other) {
    m_text.append(other.m_text);
    return *this;
  }
  QelUniString substr(size_t pos, size_t n = npos) const { return QelUniString(m_text.substr(pos, n)); }
  int compare(const QelUniString& other) const { return m_text.compare(other.m_text); }
  bool operator==(const QelUniString& other) const { return m_text == other.m_text; }
  bool operator!=(const QelUniString& other) const { return m_text != other.m_text; }
  XMLCh operator[](size_t i) const { return m_text[i]; }

  const XMLCh* c_str() const { return m_text.c_str(); }
  operator const XMLCh*() const { return m_text.c_str(); }
  const std::u16string& str() const { return m_text; }
  operator const std::u16string&() const { return m_text; }
  std::string toString() const;  // in the process code page

 private:
  std::u16string m_text;
};

QELRT_API std::ostream& operator<<(std::ostream& os, const QelUniString& s);
