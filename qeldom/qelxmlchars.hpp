// Internal to the library: which characters the writer may write as they
// are, which only as character references, and which never, in XML 1.0 and
// XML 1.1 documents; code points from UTF-16 units, and the references
// that stand for them.
#pragma once

#include <string>
#include <xercesc/util/XercesDefs.hpp>

#include "nyl.hpp"

namespace qel_detail {

inline bool isHighSurrogate(XMLCh c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLowSurrogate(XMLCh c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline bool isSurrogate(XMLCh c) { return (c & 0xF800) == 0xD800; }

// TAB, LF and CR: the controls every version allows.
inline bool isWhiteControl(char32_t c) { return c == 0x9 || c == 0xA || c == 0xD; }

// A character no document of the version can hold, not even as a
// reference: U+0000, U+FFFE, U+FFFF and, in XML 1.0, the C0 controls other
// than TAB, LF and CR. A surrogate is a character only as part of a pair,
// which the caller joins first.
inline bool isNeverXml(char32_t c, bool xml11) {
  if (c < 0x20) return c == 0 || (!xml11 && !isWhiteControl(c));
  return c == 0xFFFE || c == 0xFFFF || (c >= 0xD800 && c <= 0xDFFF);
}

// A character XML 1.1 allows only as a reference: its restricted characters
// (C0 controls other than TAB, LF and CR, U+007F to U+009F), and NEL and
// U+2028, which a parser would read as line ends.
inline bool isReferenceOnly11(char32_t c) {
  return (c > 0 && c < 0x20 && !isWhiteControl(c)) || (c >= 0x7F && c <= 0x9F) || c == 0x2028;
}

// The code point at `p` and the number of units it takes: a surrogate pair is
// one code point, any other unit (a lone surrogate too) is its own.
inline char32_t codePointAt(const XMLCh* p, const XMLCh* end, int& width) {
  if (isHighSurrogate(p[0]) && p + 1 < end && isLowSurrogate(p[1])) {
    width = 2;
    return 0x10000 + ((static_cast<char32_t>(p[0]) - 0xD800) << 10) + (p[1] - 0xDC00);
  }
  width = 1;
  return p[0];
}

// Appends the character reference of the code point, as the converter
// writes it.
inline void appendCharRef(std::u16string& out, char32_t codePoint) {
  XMLCh reference[QEL_CHAR_REF_MAX];
  out.append(reference, qelFormatCharRef(codePoint, reference));
}

}  // namespace qel_detail
