// Recognition of the encoding of raw XML bytes before a parse, in three
// stages: the probe of the first 10 bytes, the scan of the encoding
// declaration on raw bytes (ASCII or EBCDIC family), and the final choice
// between the probe's name and the caller's.
#include "qelenrec.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "nyl.hpp"
#include "qelframe.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qelenrec", "$Revision: 1.12 $");

namespace {

using StreamPtr = std::unique_ptr<BinInputStream>;

struct LocaleRelease {
  void operator()(LcLocale* locale) const { LcReleaseLocale(locale, 0); }
};
using LocalePtr = std::unique_ptr<LcLocale, LocaleRelease>;

// The source line that the unknown-code-page error has always reported; logs
// and callers that match on it keep working whatever this file looks like.
constexpr int s_unknownCodePageLine = 283;

// Xerces-C has no converter named "EBCDIC"; EBCDIC bytes without a
// declaration are read as code page 37, the table the declaration scan uses.
constexpr XMLCh s_ebcdicConverter[] = u"IBM037";

// --- the process-wide table of encoding names ---------------------------------

struct QelEncNameTable {
  QelUniString native;
  QelUniString utf8;
  QelUniString utf16le;
  QelUniString utf16be;
  QelUniString ebcdic;

  QelEncNameTable() {
    native.initStatic("NATIVE", 6);
    utf8.initStatic("UTF-8", 5);
    utf16le.initStatic("UTF-16LE", 8);
    utf16be.initStatic("UTF-16BE", 8);
    ebcdic.initStatic("EBCDIC", 6);
  }
};

const QelEncNameTable& nameTable() { return qel_detail::OnceOnly<QelEncNameTable>::get(); }

// --- byte tables of the declaration scan (ASCII, code page 37) -----------------

const unsigned char s_xmlPrefix[2][6] = {{0x3C, 0x3F, 0x78, 0x6D, 0x6C, 0}, {0x4C, 0x6F, 0xA7, 0x94, 0x93, 0}};
const unsigned char s_version[2][8] = {{0x76, 0x65, 0x72, 0x73, 0x69, 0x6F, 0x6E, 0},
                                       {0xA5, 0x85, 0x99, 0xA2, 0x89, 0x96, 0x95, 0}};
const unsigned char s_encoding[2][8] = {{0x65, 0x6E, 0x63, 0x6F, 0x64, 0x69, 0x6E, 0x67},
                                        {0x85, 0x95, 0x83, 0x96, 0x84, 0x89, 0x95, 0x87}};
const unsigned char s_equal[2][2] = {{0x3D, 0}, {0x7E, 0}};
const unsigned char s_dQuote[2][2] = {{0x22, 0}, {0x7F, 0}};
const unsigned char s_sQuote[2][2] = {{0x27, 0}, {0x7D, 0}};

}  // namespace

// --- byte classes and tables ---------------------------------------------------------

bool QelEncRecognizer::isAsciiSpace(unsigned char c) { return c == 0x0A || c == 0x0D || c == 0x09 || c == 0x20; }
bool QelEncRecognizer::isEbcdicSpace(unsigned char c) { return c == 0x40 || c == 0x25 || c == 0x15 || c == 0x05; }
bool QelEncRecognizer::qelIsEbcdic(unsigned char c) { return c == 0x4C || isEbcdicSpace(c); }
bool QelEncRecognizer::qelIsXmlChar(unsigned char c) { return c == 0x3C || isAsciiSpace(c); }

const unsigned char* QelEncRecognizer::getXmlPrefix(bool ebcdic) { return s_xmlPrefix[ebcdic]; }
const unsigned char* QelEncRecognizer::getVersion(bool ebcdic) { return s_version[ebcdic]; }
const unsigned char* QelEncRecognizer::getEncoding(bool ebcdic) { return s_encoding[ebcdic]; }
const unsigned char* QelEncRecognizer::getEqual(bool ebcdic) { return s_equal[ebcdic]; }
const unsigned char* QelEncRecognizer::getDQuote(bool ebcdic) { return s_dQuote[ebcdic]; }
const unsigned char* QelEncRecognizer::getSQuote(bool ebcdic) { return s_sQuote[ebcdic]; }

// --- the recognizer ------------------------------------------------------------------

const char* qelEncOriginName(QelEncOrigin origin) {
  switch (origin) {
    case QelEncOrigin::ByteOrderMark:
      return "byte order mark";
    case QelEncOrigin::Probe:
      return "probe";
    case QelEncOrigin::Declaration:
      return "declaration";
    case QelEncOrigin::Caller:
      return "caller";
  }
  return "probe";
}

QelEncRecognizer::QelEncRecognizer(InputSource& inputSource, const char* suppliedEncoding)
    : m_inputSource(inputSource), m_suppliedEncoding(suppliedEncoding) {}

XMLRecognizer::Encodings QelEncRecognizer::getProbeEncoding() {
  QEL_TRACE_ENTER("QelEncRecognizer::getProbeEncoding");
  QEL_TRACE_ARGS("");
  QEL_TRACE_FLOW("Making the binary input stream...");
  StreamPtr stream(m_inputSource.makeStream());
  XMLByte buffer[10] = {};
  XMLSize_t count = 0;
  if (stream) {
    QEL_TRACE_FLOW("Gets some bytes for probe");
    count = std::min<XMLSize_t>(stream->readBytes(buffer, sizeof buffer), sizeof buffer);
  }
  QEL_TRACE_FLOW("Calls the XERCES probe XMLRecognizer::basicEncodingProbe...");
  XMLRecognizer::Encodings result = XMLRecognizer::basicEncodingProbe(buffer, count);

  // With 10 bytes Xerces-C recognizes UTF-16 and UCS-4 only by their mark.
  const bool utf8Mark = count >= 3 && buffer[0] == 0xEF && buffer[1] == 0xBB && buffer[2] == 0xBF;
  m_origin = (result == XMLRecognizer::UTF_8 && !utf8Mark) || result == XMLRecognizer::EBCDIC
                 ? QelEncOrigin::Probe
                 : QelEncOrigin::ByteOrderMark;

  // Xerces-C says UTF-8 when it recognizes nothing else. An empty input keeps
  // UTF-8: there is no first byte to test.
  if (result == XMLRecognizer::UTF_8 && count > 0) {
    if (qelIsEbcdic(buffer[0])) {
      QEL_TRACE_FLOW("EBCDIC detected");
      result = XMLRecognizer::EBCDIC;
    } else if (count >= 2) {
      if (qelIsXmlChar(buffer[0]) && buffer[1] == 0x00) {
        QEL_TRACE_FLOW("UTF_16L detected");
        result = XMLRecognizer::UTF_16L;
      } else if (qelIsXmlChar(buffer[1]) && buffer[0] == 0x00) {
        QEL_TRACE_FLOW("UTF_16B detected");
        result = XMLRecognizer::UTF_16B;
      }
    }
  }
  stream.reset();
  QEL_TRACE_RETURN(static_cast<int>(result));
  QEL_TRACE_EXIT();
  return result;
}

int QelEncRecognizer::load(BinInputStream& stream, unsigned char* buffer, int count) {
  return static_cast<int>(stream.readBytes(buffer, static_cast<XMLSize_t>(count)));
}

bool QelEncRecognizer::skipSpaces(BinInputStream& stream, unsigned char* out, bool ebcdic) {
  for (;;) {
    if (load(stream, out, 1) != 1) return false;
    if (!(ebcdic ? isEbcdicSpace(*out) : isAsciiSpace(*out))) return true;
  }
}

void QelEncRecognizer::getDeclEncoding(XMLRecognizer::Encodings encProbe, QelAutoBuffer<XMLCh>& result) {
  QEL_TRACE_ENTER("getDeclEncoding");
  QEL_TRACE_ARGS("encProbe(" << static_cast<int>(encProbe) << ")");
  const bool ebcdic = encProbe == XMLRecognizer::EBCDIC;
  QEL_TRACE_FLOW("Making the binary input stream...");
  StreamPtr stream(m_inputSource.makeStream());
  if (!stream) {
    QEL_TRACE_EXIT();
    return;
  }
  BinInputStream& in = *stream;
  unsigned char buf[33];

  // The opening quote of a value, or 0 when the byte is no quote.
  auto openingQuote = [&](unsigned char c) -> unsigned char {
    if (c == *getDQuote(ebcdic)) {
      QEL_TRACE_FLOW("Gets \"");
      return c;
    }
    if (c == *getSQuote(ebcdic)) {
      QEL_TRACE_FLOW("Gets '");
      return c;
    }
    return 0;
  };

  // Reads up to the end of the encoding value; gives its length (0 to 31,
  // the bytes in buf) or -1 when there is no complete encoding declaration.
  const int length = [&]() -> int {
    QEL_TRACE_FLOW("Gets the first 5 bytes to check for <?xml ...");
    if (load(in, buf, 5) < 5) return -1;
    QEL_TRACE_FLOW("Check whether buffer starts from <?xml ...");
    if (std::memcmp(buf, getXmlPrefix(ebcdic), 5) != 0) return -1;
    QEL_TRACE_FLOW("Skips the spaces...");
    if (!skipSpaces(in, buf, ebcdic)) return -1;
    QEL_TRACE_FLOW("Check for [version] or [encoding] keyword.  ...");
    if (load(in, buf + 1, 6) < 6) return -1;

    if (std::memcmp(buf, getVersion(ebcdic), 7) == 0) {
      QEL_TRACE_FLOW("Process [version]...");
      QEL_TRACE_FLOW("Skips the spaces...");
      if (!skipSpaces(in, buf, ebcdic)) return -1;
      QEL_TRACE_FLOW("Checks for [=]");
      if (buf[0] != *getEqual(ebcdic)) return -1;
      QEL_TRACE_FLOW("Skips the spaces...");
      if (!skipSpaces(in, buf, ebcdic)) return -1;
      QEL_TRACE_FLOW("Checks for [\"] or [']");
      const unsigned char quote = openingQuote(buf[0]);
      if (!quote) return -1;
      QEL_TRACE_FLOW("Process version content...");
      bool closed = false;
      for (int i = 0; i < 20 && !closed; ++i) {  // a version value of up to 19 bytes
        if (load(in, buf, 1) != 1) return -1;
        closed = buf[0] == quote;
      }
      if (!closed) {
        QEL_TRACE_FLOW("Bad xml declaration. Return");
        return -1;
      }
      QEL_TRACE_FLOW("Closing quote found. Exit");
      QEL_TRACE_FLOW("Skips the spaces...");
      if (!skipSpaces(in, buf, ebcdic)) return -1;
      QEL_TRACE_FLOW("Gets the next chars to check for [encoding]");
      if (load(in, buf + 1, 7) < 7) return -1;
    } else {
      QEL_TRACE_FLOW("Gets the next chars to check for [encoding]");
      if (load(in, buf + 7, 1) < 1) return -1;
    }

    QEL_TRACE_FLOW("Process [encoding]...");
    if (std::memcmp(buf, getEncoding(ebcdic), 8) != 0) return -1;
    QEL_TRACE_FLOW("Skips the spaces...");
    if (!skipSpaces(in, buf, ebcdic)) return -1;
    QEL_TRACE_FLOW("Look for [=]");
    if (buf[0] != *getEqual(ebcdic)) return -1;
    QEL_TRACE_FLOW("Skips the spaces...");
    if (!skipSpaces(in, buf, ebcdic)) return -1;
    QEL_TRACE_FLOW("Look for [\"] or [']");
    const unsigned char quote = openingQuote(buf[0]);
    if (!quote) return -1;
    QEL_TRACE_FLOW("Process encoding content...");
    const int count = load(in, buf, 33);  // a value of up to 31 bytes and its quote, in one read
    QEL_TRACE_FLOW("Looking for closing quote");
    for (int i = 0; i < count && i < 32; ++i)
      if (buf[i] == quote) return i;
    QEL_TRACE_FLOW("Closing quote not found. Exit");
    return -1;
  }();

  if (length >= 0) {
    QEL_TRACE_FLOW("Creating NLS Locale");
    LocalePtr locale(qelNlsGetLocale(ebcdic ? QEL_CODEPAGE_EBCDIC : QEL_CODEPAGE_ASCII));
    QEL_TRACE_FLOW("Converting the encoding to the current locale");
    // An empty value gives no name at all (a null buffer): the name is then
    // settled as if there were no declaration.
    result = qelNlsToUnicode(reinterpret_cast<const char*>(buf), length, locale.get());
    QEL_TRACE_STATE("ubuffer.buffer()(" << qel_detail::u16(result.get()) << ")");
    // A value with characters outside ASCII names no encoding and is not set
    // on the source: Xerces-C then reports the declaration itself, and ICU
    // never sees such a name (ucnv_openU overruns its stack buffer on one).
    if (result.get() &&
        std::any_of(result.get(), result.get() + qelStrlen(result.get()), [](XMLCh c) { return c > 0x7F; })) {
      result.reset();
    }
    QEL_TRACE_FLOW("Release Locale");
  }
  QEL_TRACE_EXIT();
}

QelUniString QelEncRecognizer::getFinalEncoding(const QelUniString& probeName) {
  QEL_TRACE_ENTER("getFinalEncoding");
  QEL_TRACE_ARGS("(" << probeName << ")");
  if (!m_suppliedEncoding || !*m_suppliedEncoding) {
    QEL_TRACE_EXIT();
    return probeName;
  }
  QEL_TRACE_STATE("Supplied encoding:(" << m_suppliedEncoding << ")");

  // Upper-cased byte by byte into a string of its own length, so that no
  // supplied name is too long or cut.
  std::string upper(m_suppliedEncoding);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const QelEncNameTable& names = nameTable();
  QelUniString userName(upper.c_str(), upper.size());
  if (userName.compare(names.native) == 0) userName = names.utf8;
  QEL_TRACE_STATE("User encoding:(" << userName << ")");

  const std::unique_ptr<QelCodePage> codePage = qelGetCodePage(userName.c_str());
  if (!codePage) {
    qel_detail::raise(&trc_, s_unknownCodePageLine, QELRC_NLS_ERROR, "QELRC_NLS_ERROR", 0, "getFinalEncoding",
                      s_revision, s_sourcePath,
                      QelNls::getErrorMsg(QEL_NLS_UNKNOWN_CODEPAGE) + " (" + qelToMbcs(userName.c_str()) + ")");
  }
  const long number = codePage->number;
  if (number == QEL_CODEPAGE_UTF16LE || number == QEL_CODEPAGE_UTF16BE) {
    QEL_TRACE_FLOW("Input file is not UTF-16");
    QEL_TRACE_EXIT();
    return probeName;
  }
  bool ebcdicCompatible;
  {
    LocalePtr locale(qelNlsGetLocale(number));
    ebcdicCompatible = LCL1_GetLocaleNumInfo(locale.get(), 86, 0) == 0;
  }
  const bool userWins =
      probeName.compare(names.ebcdic) == 0 ? ebcdicCompatible : !ebcdicCompatible && number != QEL_CODEPAGE_UTF8;
  if (userWins) m_origin = QelEncOrigin::Caller;
  QEL_TRACE_EXIT();
  return userWins ? userName : probeName;
}

// Stores the name on the input source, as a name Xerces-C can open, and gives
// back what was stored.
QelUniString QelEncRecognizer::store(const QelUniString& name) {
  const QelUniString stored = name.compare(nameTable().ebcdic) == 0 ? QelUniString(s_ebcdicConverter) : name;
  m_inputSource.setEncoding(stored.c_str());
  return stored;
}

// Setting the encoding on the input source is the last step of every path, so
// a call that fails leaves the source with the encoding it had.
QelUniString QelEncRecognizer::recognize() {
  QEL_TRACE_ENTER("QelEncRecognizer::recognize");
  QEL_TRACE_ARGS("");
  const XMLRecognizer::Encodings probe = getProbeEncoding();
  const QelUniString probeName(XMLRecognizer::nameForEncoding(probe));  // null gives an empty name
  QEL_TRACE_STATE("Probe encoding:(" << probeName << ")");

  QelUniString result;
  switch (probe) {
    case XMLRecognizer::UTF_16L:
    case XMLRecognizer::UTF_16B: {
      // Plain "UTF-16" would be read in the machine's byte order whatever
      // the mark says: the byte order is always named.
      const bool little = probe == XMLRecognizer::UTF_16L;
      if (little) {
        QEL_TRACE_FLOW("UTF-16LE detected");
      } else {
        QEL_TRACE_FLOW("UTF-16BE detected");
      }
      const QelEncNameTable& names = nameTable();
      QEL_TRACE_FLOW("Sets UTF-16 encoding and returns");
      result = store(little ? names.utf16le : names.utf16be);
      break;
    }
    case XMLRecognizer::UCS_4B:
    case XMLRecognizer::UCS_4L:
      QEL_TRACE_FLOW("Unsupported UCS encoding detected");
      result = probeName;
      break;
    default: {
      QEL_TRACE_FLOW("Getting the declaration encoding...");
      QelAutoBuffer<XMLCh> declared;
      getDeclEncoding(probe, declared);
      if (declared.get()) {
        QEL_TRACE_STATE("Declaration encoding:(" << qel_detail::u16(declared.get()) << ")");
        m_inputSource.setEncoding(declared.get());
        m_origin = QelEncOrigin::Declaration;
        result = QelUniString(declared.get());
      } else {
        const QelUniString finalName = getFinalEncoding(probeName);
        QEL_TRACE_STATE("Final encoding:" << finalName);
        result = store(finalName);
      }
      break;
    }
  }
  QEL_TRACE_EXIT();
  return result;
}

QelUniString qelRecognizeEncoding(InputSource& inputSource, const char* suppliedEncoding, QelEncOrigin* origin) {
  QEL_TRACE_ENTER("qelRecognizeEncoding");
  QEL_TRACE_ARGS("(" << qel_detail::orNull(suppliedEncoding) << ")");
  QelEncRecognizer recognizer(inputSource, suppliedEncoding);
  QelUniString result = recognizer.recognize();
  if (origin) *origin = recognizer.origin();
  QEL_TRACE_EXIT();
  return result;
}

QelUniString qelRecognizeEncoding(InputSource& inputSource, const char* suppliedEncoding) {
  return qelRecognizeEncoding(inputSource, suppliedEncoding, nullptr);
}
