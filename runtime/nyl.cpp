// The locale library and the code-page converter on ICU.
#include "nyl.hpp"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <string>

struct LcLocale {
  std::string canonical;  // ICU's converter name
  int32_t number = 0;
  long error = 0;
  long property86 = 1;
  UConverter* conv = nullptr;
  bool process = false;  // the shared process locale: converts through qelToUnicode
  bool latin1 = false;   // ISO-8859-1: the first 256 code points, one byte each
  // The characters the code page maps only one way (a fallback), written as
  // references: null when there are none, frozen for fast spans. Looked up
  // when a text first may hold one, since that takes milliseconds for a
  // large code page.
  USet* fallbacks = nullptr;
  bool fallbacksKnown = true;
};

namespace {

constexpr int32_t s_syntheticBase = 100000;

struct Special {
  const char* canonical;
  int32_t number;
};
// Converters whose numbers have a meaning of their own. "UTF-16", "UTF-32"
// and the UTF-16 forms that write a signature ("version=1") are written
// without a signature of ICU's own: a byte order mark is the writer's business.
const Special s_specials[] = {{"UTF-16LE", QEL_CODEPAGE_UTF16LE}, {"UTF-16LE,version=1", QEL_CODEPAGE_UTF16LE},
                              {"UTF-16BE", QEL_CODEPAGE_UTF16BE}, {"UTF-16BE,version=1", QEL_CODEPAGE_UTF16BE},
                              {"UTF-16", QEL_CODEPAGE_UTF16BE},   {"UTF-8", QEL_CODEPAGE_UTF8},
                              {"US-ASCII", QEL_CODEPAGE_ASCII},   {"ibm-37_P100-1995", QEL_CODEPAGE_EBCDIC}};

const char* writableName(const char* canonical) {
  if (std::strcmp(canonical, "UTF-16") == 0 || std::strcmp(canonical, "UTF-16BE,version=1") == 0) return "UTF-16BE";
  if (std::strcmp(canonical, "UTF-16LE,version=1") == 0) return "UTF-16LE";
  if (std::strcmp(canonical, "UTF-32") == 0) return "UTF-32BE";
  return canonical;
}

// Opens the converter for an 8-bit name; null when ICU knows no such name.
UConverter* openNamed(const char* name) {
  if (!name || !*name) return nullptr;  // ICU would open its default converter
  UErrorCode err = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(name, &err);
  if (U_FAILURE(err)) {
    if (conv) ucnv_close(conv);
    return nullptr;
  }
  return conv;
}

int32_t numberOf(UConverter* conv, const char* canonical) {
  for (const Special& s : s_specials)
    if (std::strcmp(s.canonical, canonical) == 0) return s.number;
  UErrorCode err = U_ZERO_ERROR;
  int32_t ccsid = ucnv_getCCSID(conv, &err);
  if (U_SUCCESS(err) && ccsid > 0) return ccsid;
  int32_t count = ucnv_countAvailable();
  for (int32_t i = 0; i < count; ++i)
    if (std::strcmp(ucnv_getAvailableName(i), canonical) == 0) return s_syntheticBase + i;
  return s_syntheticBase + count;  // not listed: cannot be reopened by number
}

// The converter that the number stands for, or null.
UConverter* openNumbered(long number) {
  for (const Special& s : s_specials)
    if (s.number == number) return openNamed(s.canonical);
  if (number >= s_syntheticBase) {
    if (number - s_syntheticBase >= ucnv_countAvailable()) return nullptr;
    return openNamed(ucnv_getAvailableName(static_cast<int32_t>(number - s_syntheticBase)));
  }
  if (number <= 0) return nullptr;
  std::string alias = "ibm-" + std::to_string(number);
  if (UConverter* conv = openNamed(alias.c_str())) {
    UErrorCode err = U_ZERO_ERROR;
    if (ucnv_getCCSID(conv, &err) == number) return conv;
    ucnv_close(conv);
  }
  int32_t count = ucnv_countAvailable();  // rare: a CCSID without an "ibm-" alias
  for (int32_t i = 0; i < count; ++i) {
    if (UConverter* conv = openNamed(ucnv_getAvailableName(i))) {
      UErrorCode err = U_ZERO_ERROR;
      if (ucnv_getCCSID(conv, &err) == number && U_SUCCESS(err)) return conv;
      ucnv_close(conv);
    }
  }
  return nullptr;
}

// The canonical name of an open converter.
std::string canonicalOf(UConverter* conv) {
  UErrorCode err = U_ZERO_ERROR;
  const char* name = ucnv_getName(conv, &err);
  return U_SUCCESS(err) && name ? name : "";
}

// EBCDIC-family code pages write "<" as the single byte 0x4C.
long familyProperty(UConverter* conv) {
  UErrorCode err = U_ZERO_ERROR;
  char out[8];
  const UChar lt = 0x3C;
  ucnv_resetFromUnicode(conv);
  int32_t n = ucnv_fromUChars(conv, out, sizeof out, &lt, 1, &err);
  ucnv_resetFromUnicode(conv);
  return (U_SUCCESS(err) && n == 1 && static_cast<unsigned char>(out[0]) == 0x4C) ? 0 : 1;
}

// Writes each character the code page cannot hold, and each lone surrogate,
// as an XML hexadecimal character reference in the code page's own bytes.
// ICU's escape callback would leave default-ignorable characters (U+FEFF,
// U+200B, U+2060, ...) out without a trace.
void U_CALLCONV escapeAsReference(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t,
                                  UChar32 codePoint, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
  XMLCh reference[QEL_CHAR_REF_MAX];
  const UChar* source = reference;
  const size_t length = qelFormatCharRef(static_cast<char32_t>(codePoint), reference);
  // A code page without "&", "#" or a digit substitutes them, as ICU's own
  // escape callback does, instead of calling this callback again.
  UConverterFromUCallback self;
  const void* context;
  UErrorCode setErr = U_ZERO_ERROR;
  ucnv_setFromUCallBack(args->converter, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, &self, &context, &setErr);
  *err = U_ZERO_ERROR;
  ucnv_cbFromUWriteUChars(args, &source, reference + length, 0, err);
  UConverterFromUCallback substitute;
  const void* substituteContext;
  ucnv_setFromUCallBack(args->converter, self, context, &substitute, &substituteContext, &setErr);
}

// Whether the converter may map characters one way: the Unicode forms,
// ISO-8859-1 and US-ASCII never do.
bool mayMapOneWay(UConverter* conv) {
  switch (ucnv_getType(conv)) {
    case UCNV_LATIN_1:
    case UCNV_US_ASCII:
    case UCNV_UTF8:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF16:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
    case UCNV_UTF32:
      return false;
    default:
      return true;
  }
}

// Whether the text may hold a character the converter maps one way. ICU
// maps private-use characters by their fallbacks whatever its fallback
// setting (in Shift_JIS U+F86F reads back as U+2116); other fallbacks it
// uses only in ISO-2022 and compound text.
bool mayHoldOneWay(UConverter* conv, const XMLCh* text, size_t count) {
  const UConverterType type = ucnv_getType(conv);
  if (type == UCNV_ISO_2022 || type == UCNV_COMPOUND_TEXT) return true;
  for (size_t i = 0; i < count; ++i)
    if ((text[i] >= 0xE000 && text[i] <= 0xF8FF) || (text[i] >= 0xDB80 && text[i] <= 0xDBFF)) return true;
  return false;
}

// The characters that the converter maps to bytes that read back as another
// character. Null when there are none, or when ICU cannot tell.
USet* oneWayMappings(UConverter* conv) {
  UErrorCode err = U_ZERO_ERROR;
  USet* roundTrip = uset_openEmpty();
  USet* any = uset_openEmpty();
  ucnv_getUnicodeSet(conv, roundTrip, UCNV_ROUNDTRIP_SET, &err);
  ucnv_getUnicodeSet(conv, any, UCNV_ROUNDTRIP_AND_FALLBACK_SET, &err);
  uset_removeAll(any, roundTrip);
  uset_close(roundTrip);
  if (U_FAILURE(err) || uset_isEmpty(any)) {
    uset_close(any);
    return nullptr;
  }
  uset_freeze(any);
  return any;
}

// Replaces the converter by the form that writes no signature of its own, and
// makes it write characters the code page cannot hold as XML hexadecimal
// references.
UConverter* prepareForWriting(UConverter* conv, std::string& canonical) {
  const char* writable = writableName(canonical.c_str());
  if (writable != canonical.c_str() && std::strcmp(writable, canonical.c_str()) != 0) {
    if (UConverter* plain = openNamed(writable)) {
      ucnv_close(conv);
      conv = plain;
      canonical = canonicalOf(conv);
    }
  }
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setFromUCallBack(conv, escapeAsReference, nullptr, nullptr, nullptr, &err);
  return conv;
}

QelAutoBuffer<XMLCh> decode(UConverter* conv, const char* bytes, long length) {
  if (!bytes) return QelAutoBuffer<XMLCh>();
  size_t n = length < 0 ? std::strlen(bytes) : static_cast<size_t>(length);
  size_t capacity = n + 1;
  XMLCh* out = static_cast<XMLCh*>(std::malloc(capacity * sizeof(XMLCh)));
  if (!out) throw std::bad_alloc();
  ucnv_resetToUnicode(conv);
  const char* src = bytes;
  const char* srcEnd = bytes + n;
  size_t used = 0;
  for (;;) {
    UChar* target = reinterpret_cast<UChar*>(out) + used;
    UChar* targetEnd = reinterpret_cast<UChar*>(out) + capacity - 1;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_toUnicode(conv, &target, targetEnd, &src, srcEnd, nullptr, true, &err);
    used = static_cast<size_t>(target - reinterpret_cast<UChar*>(out));
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      capacity *= 2;
      XMLCh* grown = static_cast<XMLCh*>(std::realloc(out, capacity * sizeof(XMLCh)));
      if (!grown) {
        std::free(out);
        throw std::bad_alloc();
      }
      out = grown;
      continue;
    }
    break;
  }
  out[used] = 0;
  return QelAutoBuffer<XMLCh>(out, used);
}

}  // namespace

// --- code pages and locales --------------------------------------------------------

std::unique_ptr<QelCodePage> qelGetCodePage(const XMLCh* name) {
  std::string name8 = qelToMbcs(name);
  UConverter* conv = openNamed(name8.c_str());
  if (!conv) return nullptr;
  auto page = std::make_unique<QelCodePage>();
  page->name = canonicalOf(conv);
  page->number = numberOf(conv, page->name.c_str());
  ucnv_close(conv);
  return page;
}

LcLocale* qelNlsGetLocale(long codePage) {
  auto* locale = new LcLocale;
  locale->number = static_cast<int32_t>(codePage);
  locale->conv = openNumbered(codePage);
  if (!locale->conv) {
    locale->error = QEL_NLS_UNKNOWN_CODEPAGE;
    return locale;
  }
  locale->canonical = canonicalOf(locale->conv);
  locale->property86 = familyProperty(locale->conv);
  return locale;
}

LcLocale* LCL1_PrivateFunction_GetProcessLocale() {
  static LcLocale process = [] {
    LcLocale l;
    l.canonical = "UTF-8";
    l.number = QEL_CODEPAGE_UTF8;
    l.process = true;
    return l;
  }();
  return &process;
}

long LCL1_GetLocaleNumInfo(LcLocale* locale, int property, int) {
  if (!locale || property != 86) return 0;
  return locale->property86;
}

void LcReleaseLocale(LcLocale* locale, int) {
  if (!locale || locale->process) return;
  if (locale->conv) ucnv_close(locale->conv);
  if (locale->fallbacks) uset_close(locale->fallbacks);
  delete locale;
}

long LcGetError(LcLocale* locale) { return locale ? locale->error : QEL_NLS_UNKNOWN_CODEPAGE; }

QelAutoBuffer<XMLCh> qelNlsToUnicode(const char* bytes, long length, LcLocale* locale) {
  if (!bytes || length == 0) return QelAutoBuffer<XMLCh>();
  if (!locale || locale->process || !locale->conv) {
    std::u16string text = qelToUnicode(bytes, length < 0 ? QEL_WHOLE : static_cast<unsigned>(length));
    XMLCh* out = static_cast<XMLCh*>(std::malloc((text.size() + 1) * sizeof(XMLCh)));
    if (!out) throw std::bad_alloc();
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(XMLCh));
    return QelAutoBuffer<XMLCh>(out, text.size());
  }
  return decode(locale->conv, bytes, length);
}

size_t qelFormatCharRef(char32_t codePoint, XMLCh* out) {
  XMLCh digits[8];
  int n = 0;
  do {
    const unsigned d = codePoint & 0xF;
    digits[n++] = static_cast<XMLCh>(d < 10 ? u'0' + d : u'A' + d - 10);
    codePoint >>= 4;
  } while (codePoint);
  size_t length = 0;
  for (XMLCh c : {u'&', u'#', u'x'}) out[length++] = c;
  while (n) out[length++] = digits[--n];
  out[length++] = u';';
  return length;
}

// --- QelNls --------------------------------------------------------------------------

QelNls::QelNls(const XMLCh* name) : m_locale(new LcLocale) {
  std::string name8 = qelToMbcs(name);
  UConverter* conv = openNamed(name8.c_str());
  if (!conv) {
    m_locale->error = QEL_NLS_UNKNOWN_CODEPAGE;
    return;
  }
  m_locale->canonical = canonicalOf(conv);
  m_locale->number = numberOf(conv, m_locale->canonical.c_str());
  m_locale->conv = prepareForWriting(conv, m_locale->canonical);
  m_locale->latin1 = m_locale->canonical == "ISO-8859-1";
  m_locale->fallbacksKnown = !mayMapOneWay(m_locale->conv);
  m_locale->property86 = familyProperty(m_locale->conv);

  UErrorCode err = U_ZERO_ERROR;
  const char* standard = ucnv_getStandardName(m_locale->canonical.c_str(), "MIME", &err);
  if (!standard || U_FAILURE(err)) {
    err = U_ZERO_ERROR;
    standard = ucnv_getStandardName(m_locale->canonical.c_str(), "IANA", &err);
  }
  if (!standard || U_FAILURE(err)) standard = m_locale->canonical.c_str();
  m_codePageName = qelToUnicode(standard);
}

QelNls::~QelNls() { LcReleaseLocale(m_locale, 0); }

long QelNls::getCodePageId() const { return m_locale->number; }

const XMLCh* QelNls::getCodePage() const { return m_codePageName.c_str(); }

QelAutoBuffer<char> QelNls::fromUnicode(const XMLCh* text, long count) const {
  if (!m_locale->conv || !text) return QelAutoBuffer<char>();
  std::vector<char> bytes;
  size_t size = 0;
  const char* converted = fromUnicode(text, count < 0 ? qelStrlen(text) : static_cast<size_t>(count), bytes, size);
  char* out = static_cast<char*>(std::malloc(size ? size : 1));
  if (!out) throw std::bad_alloc();
  if (size) std::memcpy(out, converted, size);
  return QelAutoBuffer<char>(out, size);
}

namespace {

// The code page id of UTF-16 in the machine's byte order, and of the other one.
constexpr long s_nativeUtf16 = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? QEL_CODEPAGE_UTF16LE : QEL_CODEPAGE_UTF16BE;
constexpr long s_swappedUtf16 = s_nativeUtf16 == QEL_CODEPAGE_UTF16LE ? QEL_CODEPAGE_UTF16BE : QEL_CODEPAGE_UTF16LE;

// Whether every surrogate of the text is part of a pair. Only then are UTF-16
// bytes the units themselves; ICU writes a lone surrogate as a reference.
bool surrogatesPaired(const XMLCh* p, size_t n) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i high5 = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
  for (; i + 8 <= n; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high5), surrogate))) break;
  }
#endif
  for (; i < n; ++i) {
    if ((p[i] & 0xF800) != 0xD800) continue;
    if (p[i] >= 0xDC00 || i + 1 == n || (p[i + 1] & 0xFC00) != 0xDC00) return false;
    ++i;
  }
  return true;
}

// ISO-8859-1 bytes of text below U+0100 are its units' low bytes; false, with
// `out` undefined, where a unit is above.
bool narrowLatin1(const XMLCh* in, size_t n, char* out) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  const __m128i highByte = _mm_set1_epi16(static_cast<short>(0xFF00));
  for (; i + 8 <= n; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, highByte), zero)) != 0xFFFF) return false;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(v, v));
  }
#endif
  for (; i < n; ++i) {
    if (in[i] > 0xFF) return false;
    out[i] = static_cast<char>(in[i]);
  }
  return true;
}

void swapUnits(const XMLCh* in, size_t n, char* out) {
  size_t i = 0;
#ifdef __SSE2__
  for (; i + 8 <= n; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)));
  }
#endif
  for (; i < n; ++i) {
    out[2 * i] = static_cast<char>(in[i] >> 8);
    out[2 * i + 1] = static_cast<char>(in[i] & 0xFF);
  }
}

// Whether the text holds a character of `oneWay`; if so, `out` is the text
// with each of them written as a reference.
bool escapeOneWay(const USet* oneWay, const XMLCh* text, size_t count, std::u16string& out) {
  const UChar* p = reinterpret_cast<const UChar*>(text);
  const UChar* end = p + count;
  auto span = [&](USetSpanCondition condition) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(end - p), INT32_MAX));
    return static_cast<size_t>(uset_span(oneWay, p, n, condition));
  };
  size_t clean = span(USET_SPAN_NOT_CONTAINED);
  if (p + clean == end) return false;
  out.clear();
  while (p < end) {
    out.append(reinterpret_cast<const char16_t*>(p), clean);
    p += clean;
    const UChar* run = p;
    p += span(USET_SPAN_CONTAINED);
    while (run < p) {
      UChar32 c;
      int32_t i = 0;
      U16_NEXT(run, i, p - run, c);
      run += i;
      XMLCh reference[QEL_CHAR_REF_MAX];
      out.append(reference, qelFormatCharRef(static_cast<char32_t>(c), reference));
    }
    clean = span(USET_SPAN_NOT_CONTAINED);
  }
  return true;
}

}  // namespace

const char* QelNls::fromUnicode(const XMLCh* text, size_t count, std::vector<char>& bytes, size_t& size) const {
  size = 0;
  UConverter* conv = m_locale->conv;
  if (!conv || !text || count == 0) return bytes.data();
  const long id = m_locale->number;
  if ((id == s_nativeUtf16 || id == s_swappedUtf16) && surrogatesPaired(text, count)) {
    size = 2 * count;
    if (id == s_nativeUtf16) return reinterpret_cast<const char*>(text);
    if (bytes.size() < size) bytes.resize(size);
    swapUnits(text, count, bytes.data());
    return bytes.data();
  }
  std::u16string escaped;
  if (!m_locale->fallbacksKnown && mayHoldOneWay(conv, text, count)) {
    m_locale->fallbacks = oneWayMappings(conv);
    m_locale->fallbacksKnown = true;
  }
  if (m_locale->fallbacks && escapeOneWay(m_locale->fallbacks, text, count, escaped)) {
    text = escaped.data();
    count = escaped.size();
  }
  size_t needed = UCNV_GET_MAX_BYTES_FOR_STRING(count, ucnv_getMaxCharSize(conv)) + 16;
  if (bytes.size() < needed) bytes.resize(needed);
  if (m_locale->latin1 && narrowLatin1(text, count, bytes.data())) {
    size = count;
    return bytes.data();
  }
  const UChar* src = reinterpret_cast<const UChar*>(text);
  const UChar* srcEnd = src + count;
  for (;;) {
    char* target = bytes.data() + size;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_fromUnicode(conv, &target, bytes.data() + bytes.size(), &src, srcEnd, nullptr, true, &err);
    size = static_cast<size_t>(target - bytes.data());
    if (err != U_BUFFER_OVERFLOW_ERROR) break;
    bytes.resize(2 * bytes.size());  // character references made it longer
  }
  return bytes.data();
}

QelAutoBuffer<XMLCh> QelNls::toUnicode(const char* bytes, long count) const {
  if (!m_locale->conv) return QelAutoBuffer<XMLCh>();
  return decode(m_locale->conv, bytes, count);
}

std::string QelNls::getErrorMsg(long number) {
  switch (number) {
    case 0:
      return "No error";
    case QEL_NLS_UNKNOWN_CODEPAGE:
      return "The code page is not known";
    case QEL_NLS_CONVERSION_FAILED:
      return "The code page conversion failed";
    default:
      return "Unknown locale error " + std::to_string(number);
  }
}
