/// \file
/// Conversions between UTF-16 and the process code page (UTF-8 here), and the
/// small text helpers that go with them.
///
/// Ill-formed input is replaced by U+FFFD, never dropped; a null text
/// converts to an empty one.
#pragma once

#include <cstddef>
#include <string>

#include "qelrtdefs.hpp"

/// A length that means "up to the terminating zero".
constexpr unsigned QEL_WHOLE = ~0u;

/// The first `length` units of `text` (QEL_WHOLE: up to its terminator) in
/// the process code page. `flag` is not used.
QELRT_API std::string qelToMbcs(const XMLCh* text, unsigned length = QEL_WHOLE, bool flag = false);
/// The first `length` bytes of the 8-bit `text` (QEL_WHOLE: up to its
/// terminator) decoded from the process code page. `flag` is not used.
QELRT_API std::u16string qelToUnicode(const char* text, unsigned length = QEL_WHOLE, bool flag = false);
/// The 8-bit rendering of `text` for a trace line; null renders as nothing.
QELRT_API std::string qelTraceStr(const XMLCh* text);
/// An upper-cased copy of `text`, with Unicode's full case mapping ("ß"
/// becomes "SS").
QELRT_API std::u16string qelToUpper(const std::u16string& text);
/// The number of code units before the terminating zero; 0 for null.
QELRT_API size_t qelStrlen(const XMLCh* text);
/// Whether `c` is XML white space: space, tab, line feed or carriage return.
inline bool qelIsWhiteSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }
