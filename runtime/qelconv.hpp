// Conversions between UTF-16 and the process code page (UTF-8 here), and the
// small text helpers that go with them.
#pragma once

#include <cstddef>
#include <string>

#include "qelrtdefs.hpp"

// A length of all ones means "up to the terminating zero". Ill-formed input is
// replaced by U+FFFD (never dropped); a null text converts to an empty one.
constexpr unsigned QEL_WHOLE = ~0u;
QELRT_API std::string qelToMbcs(const XMLCh* text, unsigned length = QEL_WHOLE, bool flag = false);
QELRT_API std::u16string qelToUnicode(const char* text, unsigned length = QEL_WHOLE, bool flag = false);
// 8-bit rendering of a UTF-16 text for trace lines; null renders as nothing.
QELRT_API std::string qelTraceStr(const XMLCh* text);
// Upper-cased copy (full Unicode case mapping).
QELRT_API std::u16string qelToUpper(const std::u16string& text);
// Number of code units before the terminating zero; 0 for null.
QELRT_API size_t qelStrlen(const XMLCh* text);
// XML white space: space, tab, line feed, carriage return.
inline bool qelIsWhiteSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }
