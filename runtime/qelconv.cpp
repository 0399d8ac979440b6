// Conversions between UTF-16 and the process code page, and the text
// helpers that go with them.
#include "qelconv.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstring>

size_t qelStrlen(const XMLCh* text) { return text ? std::char_traits<char16_t>::length(text) : 0; }

std::string qelToMbcs(const XMLCh* text, unsigned length, bool) {
  if (!text) return std::string();
  size_t n = length == QEL_WHOLE ? qelStrlen(text) : length;
  std::string out;
  out.reserve(n);
  // ASCII runs are copied directly; the rest goes through ICU with U+FFFD for
  // lone surrogates.
  size_t i = 0;
  while (i < n && text[i] < 0x80) out.push_back(static_cast<char>(text[i++]));
  if (i == n) return out;
  const UChar* src = reinterpret_cast<const UChar*>(text) + i;
  int32_t srcLen = static_cast<int32_t>(n - i);
  UErrorCode err = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strToUTF8WithSub(nullptr, 0, &needed, src, srcLen, 0xFFFD, nullptr, &err);
  size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  err = U_ZERO_ERROR;
  u_strToUTF8WithSub(&out[start], needed, &needed, src, srcLen, 0xFFFD, nullptr, &err);
  return out;
}

std::u16string qelToUnicode(const char* text, unsigned length, bool) {
  if (!text) return std::u16string();
  size_t n = length == QEL_WHOLE ? std::strlen(text) : length;
  std::u16string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n && static_cast<unsigned char>(text[i]) < 0x80) out.push_back(static_cast<unsigned char>(text[i++]));
  if (i == n) return out;
  UErrorCode err = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8WithSub(nullptr, 0, &needed, text + i, static_cast<int32_t>(n - i), 0xFFFD, nullptr, &err);
  size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(&out[start]), needed, &needed, text + i, static_cast<int32_t>(n - i),
                       0xFFFD, nullptr, &err);
  return out;
}

std::string qelTraceStr(const XMLCh* text) { return qelToMbcs(text); }

std::u16string qelToUpper(const std::u16string& text) {
  if (text.empty()) return text;
  UErrorCode err = U_ZERO_ERROR;
  const UChar* src = reinterpret_cast<const UChar*>(text.data());
  int32_t len = static_cast<int32_t>(text.length());
  int32_t needed = u_strToUpper(nullptr, 0, src, len, "", &err);
  std::u16string out(static_cast<size_t>(needed), u'\0');
  err = U_ZERO_ERROR;
  u_strToUpper(reinterpret_cast<UChar*>(&out[0]), needed, src, len, "", &err);
  return out;
}
