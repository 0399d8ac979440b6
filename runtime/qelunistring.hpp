/// \file
/// QelUniString: a UTF-16 string value.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "qelrtdefs.hpp"

/// A UTF-16 string value: a std::u16string with the conversions the library
/// needs. Positions and lengths count code units.
class QELRT_API QelUniString {
 public:
  /// "Up to the end" for substr, and "not found".
  static constexpr size_t npos = std::u16string::npos;

  /// An empty string.
  QelUniString() = default;
  /// The zero-terminated `text`; null gives an empty string.
  QelUniString(const XMLCh* text);
  /// The first `count` units of `text`; null gives an empty string.
  QelUniString(const XMLCh* text, size_t count);
  /// The first `length` bytes of the 8-bit `text`, decoded from the process
  /// code page (UTF-8; ill-formed bytes become U+FFFD).
  QelUniString(const char* text, size_t length);
  /// A copy of `text`.
  QelUniString(const std::u16string& text) : m_text(text) {}
  /// Takes over `text`.
  QelUniString(std::u16string&& text) : m_text(std::move(text)) {}

  /// Replaces the string with the first `length` bytes of an ASCII literal,
  /// one unit per byte.
  void initStatic(const char* literal, size_t length);

  /// The number of code units.
  size_t length() const { return m_text.length(); }
  /// Whether the string has no code unit.
  bool empty() const { return m_text.empty(); }
  /// The number of units the string holds without reallocating.
  size_t capacity() const { return m_text.capacity(); }
  /// Makes room for at least `n` units.
  void reserve(size_t n) { m_text.reserve(n); }
  /// Cuts the string to `n` units, or pads it with zero units up to `n`.
  void resize(size_t n) { m_text.resize(n); }

  /// Appends one code unit; returns this string.
  QelUniString& append(XMLCh unit) {
    m_text.push_back(unit);
    return *this;
  }
  /// Appends the first `count` units of `text`; returns this string.
  QelUniString& append(const XMLCh* text, size_t count) {
    m_text.append(text, count);
    return *this;
  }
  /// Appends `other`; returns this string.
  QelUniString& append(const QelUniString& other) {
    m_text.append(other.m_text);
    return *this;
  }
  /// The `n` units from `pos` on (fewer at the end). Throws std::out_of_range
  /// when `pos` is beyond the end.
  QelUniString substr(size_t pos, size_t n = npos) const { return QelUniString(m_text.substr(pos, n)); }
  /// 0 when equal, else negative or positive as this string sorts before or
  /// after `other`, unit by unit.
  int compare(const QelUniString& other) const { return m_text.compare(other.m_text); }
  /// Whether both hold the same units.
  bool operator==(const QelUniString& other) const { return m_text == other.m_text; }
  /// Whether the units differ.
  bool operator!=(const QelUniString& other) const { return m_text != other.m_text; }
  /// The unit at `i`, which must be less than length().
  XMLCh operator[](size_t i) const { return m_text[i]; }

  /// The units, zero-terminated; valid until the string changes.
  const XMLCh* c_str() const { return m_text.c_str(); }
  /// The units, zero-terminated; valid until the string changes.
  operator const XMLCh*() const { return m_text.c_str(); }
  /// The string as a std::u16string.
  const std::u16string& str() const { return m_text; }
  /// The string as a std::u16string.
  operator const std::u16string&() const { return m_text; }
  /// The text in the process code page (UTF-8; a lone surrogate becomes
  /// U+FFFD).
  std::string toString() const;

 private:
  std::u16string m_text;
};

/// Writes the string to `os` in the process code page (see toString).
QELRT_API std::ostream& operator<<(std::ostream& os, const QelUniString& s);
