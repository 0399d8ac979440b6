/// \file
/// nyl: the product's locale library and code-page converter as qeldom uses
/// them, built on ICU converters.
///
/// Code page numbers: the five below have a meaning of their own
/// (QEL_CODEPAGE_...); every other code page has the IBM CCSID that ICU
/// reports for it, or, for the few converters without one, 100000 plus the
/// converter's index in ICU's list of converters.
///
/// Characters that a code page cannot hold are written as XML hexadecimal
/// character references ("&#x263A;"), default-ignorable ones (U+FEFF, U+200B)
/// included, so no character is silently lost; so are characters that it maps
/// only one way (bytes that would read back as another character).
/// Bytes that are invalid in their code page decode to the converter's
/// substitution character (U+FFFD or U+001A).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qelutil.hpp"

/// A locale: a code page bound to a converter. Opaque; made by
/// qelNlsGetLocale or held by a QelNls.
struct LcLocale;

///@{
/// Locale error numbers: no code page of that name (QEL_NLS_UNKNOWN_CODEPAGE),
/// the converter failed (QEL_NLS_CONVERSION_FAILED).
constexpr long QEL_NLS_UNKNOWN_CODEPAGE = 30;
constexpr long QEL_NLS_CONVERSION_FAILED = 31;
///@}

///@{
/// Code page numbers with a meaning of their own: the two UTF-16 forms
/// (little-endian, big-endian), UTF-8 (which an XML declaration need not
/// name), EBCDIC (IBM037) and US-ASCII (the two tables an encoding
/// declaration is read with).
constexpr long QEL_CODEPAGE_UTF16LE = -1;
constexpr long QEL_CODEPAGE_UTF16BE = -2;
constexpr long QEL_CODEPAGE_UTF8 = 57352;
constexpr long QEL_CODEPAGE_EBCDIC = 37;
constexpr long QEL_CODEPAGE_ASCII = 367;
///@}

/// A code page descriptor.
struct QelCodePage {
  int32_t number;    ///< The code page number; the first field.
  std::string name;  ///< ICU's canonical converter name.
};

/// The descriptor of the code page of that `name` (any alias ICU knows, in
/// any letter case), or null when there is none.
QELRT_API std::unique_ptr<QelCodePage> qelGetCodePage(const XMLCh* name);

/// The locale for the code page number `codePage`; LcGetError on it is not 0
/// when the number names no code page. Release it with LcReleaseLocale.
QELRT_API LcLocale* qelNlsGetLocale(long codePage);
/// The process locale (UTF-8); shared, never released.
QELRT_API LcLocale* LCL1_PrivateFunction_GetProcessLocale();
/// A numeric property of `locale`: property 86 is 0 exactly for EBCDIC-family
/// code pages, 1 otherwise; any other property, or a null locale, gives 0.
/// `reserved` is not used.
QELRT_API long LCL1_GetLocaleNumInfo(LcLocale* locale, int property, int reserved);
/// Releases a locale from qelNlsGetLocale; null and the process locale are
/// left alone. `reserved` is not used.
QELRT_API void LcReleaseLocale(LcLocale* locale, int reserved);
/// 0, or the error number of `locale` (QEL_NLS_UNKNOWN_CODEPAGE for null).
QELRT_API long LcGetError(LcLocale* locale);

/// The `length` bytes at `bytes` decoded in the code page of `locale`,
/// zero-terminated; a length of -1 means up to the terminating zero byte.
/// Null for a null or empty text. A null locale or the process locale decodes
/// UTF-8. Throws std::bad_alloc when memory runs out.
QELRT_API QelAutoBuffer<XMLCh> qelNlsToUnicode(const char* bytes, long length, LcLocale* locale);

/// The most units qelFormatCharRef writes.
constexpr size_t QEL_CHAR_REF_MAX = 12;

/// Writes at `out` the XML hexadecimal character reference of `codePoint`,
/// the form in which a converter writes a character its code page cannot
/// hold: "&#x", upper-case hexadecimal digits without leading zeros, ";"
/// ("&#x263A;"). `out` must have room for QEL_CHAR_REF_MAX units; returns
/// the number of units written.
QELRT_API size_t qelFormatCharRef(char32_t codePoint, XMLCh* out);

/// A converter between UTF-16 and one code page, built from the code page's
/// name. Not copyable; one converter belongs to one thread at a time.
class QELRT_API QelNls {
 public:
  /// The converter for the code page of that `name` (any alias ICU knows).
  /// Never throws for an unknown name: LcGetError(m_locale) then gives
  /// QEL_NLS_UNKNOWN_CODEPAGE and every conversion gives nothing.
  explicit QelNls(const XMLCh* name);
  /// Releases the converter and its locale.
  ~QelNls();
  QelNls(const QelNls&) = delete;             ///< Not copyable.
  QelNls& operator=(const QelNls&) = delete;  ///< Not copyable.

  LcLocale* m_locale;  ///< The locale the converter obtained; the first member.

  /// The code page number (see the header's description).
  long getCodePageId() const;
  /// The converter's own form of the name: the IANA name, MIME-preferred where
  /// there is one ("ISO-8859-1", "windows-1252", "IBM037", "UTF-16LE").
  const XMLCh* getCodePage() const;
  /// The first `count` units of `text` converted to bytes (not
  /// zero-terminated); -1 counts up to the terminating zero. Empty for a null
  /// text. Throws std::bad_alloc when memory runs out.
  QelAutoBuffer<char> fromUnicode(const XMLCh* text, long count) const;
  /// The same conversion for a caller that converts piece after piece: the
  /// bytes go to `bytes`, which only grows and is reused from one call to the
  /// next. UTF-16 text in the machine's own byte order needs no conversion: the
  /// result is then the text itself; UTF-16 in the other order and ISO-8859-1
  /// below U+0100 are made without ICU. Returns where the `size` bytes begin.
  const char* fromUnicode(const XMLCh* text, size_t count, std::vector<char>& bytes, size_t& size) const;
  /// The `count` bytes at `bytes` decoded to UTF-16 (zero-terminated); -1
  /// counts up to the terminating zero byte. Throws std::bad_alloc when
  /// memory runs out.
  QelAutoBuffer<XMLCh> toUnicode(const char* bytes, long count) const;

  /// The text of the locale error `number` ("No error" for 0).
  static std::string getErrorMsg(long number);

 private:
  std::u16string m_codePageName;
};
