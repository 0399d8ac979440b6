// nyl: the product's locale library and code-page converter as qeldom uses
// them, built on ICU converters.
//
// Code page numbers: the five below have a meaning of their own
// (QEL_CODEPAGE_...); every other code page has the IBM CCSID that ICU
// reports for it, or, for the few converters without one, 100000 plus the
// converter's index in ICU's list of converters.
//
// Characters that a code page cannot hold are written as XML hexadecimal
// character references ("&#x263A;"), default-ignorable ones (U+FEFF, U+200B)
// included, so no character is silently lost; so are characters that it maps
// only one way (bytes that would read back as another character).
// Bytes that are invalid in their code page decode to the converter's
// substitution character (U+FFFD or U+001A).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qelutil.hpp"

// A locale: a code page bound to a converter. Opaque.
struct LcLocale;

// Locale error numbers.
constexpr long QEL_NLS_UNKNOWN_CODEPAGE = 30;   // no code page of that name
constexpr long QEL_NLS_CONVERSION_FAILED = 31;  // the converter failed

// Code page numbers with a meaning of their own.
constexpr long QEL_CODEPAGE_UTF16LE = -1;
constexpr long QEL_CODEPAGE_UTF16BE = -2;
constexpr long QEL_CODEPAGE_UTF8 = 57352;  // an XML declaration need not name it
constexpr long QEL_CODEPAGE_EBCDIC = 37;   // IBM037: an EBCDIC encoding declaration is read with it
constexpr long QEL_CODEPAGE_ASCII = 367;   // US-ASCII: any other encoding declaration is read with it

// A code page descriptor; the first field is the code page number.
struct QelCodePage {
  int32_t number;
  std::string name;  // ICU's canonical converter name
};

// The descriptor of the code page of that name (any alias ICU knows, in any
// letter case), or null when there is none.
QELRT_API std::unique_ptr<QelCodePage> qelGetCodePage(const XMLCh* name);

// The locale for a code page number; its error number is not 0 when the number
// names no code page. Release it with LcReleaseLocale.
QELRT_API LcLocale* qelNlsGetLocale(long codePage);
// The process locale (UTF-8); never released.
QELRT_API LcLocale* LCL1_PrivateFunction_GetProcessLocale();
// Locale property 86 is 0 exactly for EBCDIC-family code pages; 1 otherwise.
QELRT_API long LCL1_GetLocaleNumInfo(LcLocale* locale, int property, int reserved);
QELRT_API void LcReleaseLocale(LcLocale* locale, int reserved);
// 0, or the error number of the locale.
QELRT_API long LcGetError(LcLocale* locale);

// The bytes decoded in the locale's code page, zero-terminated; a length of -1
// means up to the terminating zero byte. Null for a null text.
QELRT_API QelAutoBuffer<XMLCh> qelNlsToUnicode(const char* bytes, long length, LcLocale* locale);

// A converter built from a code page name.
class QELRT_API QelNls {
 public:
  explicit QelNls(const XMLCh* name);
  ~QelNls();
  QelNls(const QelNls&) = delete;
  QelNls& operator=(const QelNls&) = delete;

  LcLocale* m_locale;  // first member: the locale the converter obtained

  long getCodePageId() const;
  // The converter's own form of the name: the IANA name, MIME-preferred where
  // there is one ("ISO-8859-1", "windows-1252", "IBM037", "UTF-16LE").
  const XMLCh* getCodePage() const;
  // The text converted to bytes (not zero-terminated); count is the number of
  // code units, -1 for up to the terminating zero.
  QelAutoBuffer<char> fromUnicode(const XMLCh* text, long count) const;
  // The same conversion for a caller that converts piece after piece: the
  // bytes go to `bytes`, which only grows and is reused from one call to the
  // next. UTF-16 text in the machine's own byte order needs no conversion: the
  // result is then the text itself; UTF-16 in the other order and ISO-8859-1
  // below U+0100 are made without ICU. Returns where the `size` bytes begin.
  const char* fromUnicode(const XMLCh* text, size_t count, std::vector<char>& bytes, size_t& size) const;
  // The bytes decoded to UTF-16 (zero-terminated).
  QelAutoBuffer<XMLCh> toUnicode(const char* bytes, long count) const;

  // The text of a locale error number.
  static std::string getErrorMsg(long number);

 private:
  std::u16string m_codePageName;
};
