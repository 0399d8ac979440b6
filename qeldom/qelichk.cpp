// Checks of character data and names against XML 1.0, and the conversion of
// raw item names into XML names and back. Nothing here needs the XML platform:
// the character classes come from Xerces-C's constant XML 1.0 table
// (XMLChar1_0), the conversions from the runtime.
#include "qelichk.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/XMLChar.hpp>

#include "qelframe.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qelichk", "$Revision: 1.1 $");

// Writes "Invalid character 0x%X at pos %i." for str[pos] (0 for a null
// `str`) into `message`; does nothing for a null `message`. Internal.
void invalidCharError(const XMLCh* str, unsigned long pos, char* message);

namespace {

constexpr size_t s_valid = static_cast<size_t>(-1);

bool isHighSurrogate(XMLCh c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(XMLCh c) { return c >= 0xDC00 && c <= 0xDFFF; }

// XML 1.0 Char for a unit that is not a surrogate.
bool isXmlCharUnit(XMLCh c) {
  return (c >= 0x20 && c <= 0xD7FF) || c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0xE000 && c <= 0xFFFD);
}

// Text is checked 16 units at a time: a block passes when it has no control
// character, no U+FFFE or U+FFFF, and every high surrogate is followed by a
// low one and every low one preceded by a high one. The loop has a fixed count
// and no exit, so the compiler turns it into a few vector operations. It reads
// p[16] to pair a high surrogate at p[15]; `pairOpen` says that p[-1] is a
// high surrogate paired with p[0] by the block before. A block that does not
// pass goes through the unit walk, which finds and reports the fault.
constexpr unsigned long s_block = 16;
bool isCleanBlock(const XMLCh* p, bool pairOpen) {
  unsigned bad = !pairOpen & isLowSurrogate(p[0]);
  for (unsigned long k = 0; k < s_block; ++k) {
    const XMLCh c = p[k];
    const bool control = (c < 0x20) & (c != 0x09) & (c != 0x0A) & (c != 0x0D);
    const bool unpaired = isHighSurrogate(c) != isLowSurrogate(p[k + 1]);
    bad |= control | (c >= 0xFFFE) | unpaired;
  }
  return bad == 0;
}

enum class TextFault { none, invalidChar, lowSurrogateExpected };

// One pass over the first `length` units; on a fault `pos` is where it lies.
TextFault scanText(const XMLCh* text, unsigned long length, unsigned long& pos) {
  unsigned long i = 0;
  bool pairOpen = false;
  while (i < length) {
    if (length - i > s_block && isCleanBlock(text + i, pairOpen)) {
      pairOpen = isHighSurrogate(text[i + s_block - 1]);
      i += s_block;
      continue;
    }
    if (pairOpen) ++i;  // the low surrogate of a pair the block before accepted
    pairOpen = false;
    const unsigned long end = std::min(length, i + s_block);
    while (i < end) {
      const XMLCh c = text[i];
      if (isHighSurrogate(c)) {
        ++i;
        if (i == length || !isLowSurrogate(text[i])) {
          pos = i;
          return TextFault::lowSurrogateExpected;
        }
      } else if (!isXmlCharUnit(c)) {
        pos = i;
        return TextFault::invalidChar;
      }
      ++i;
    }
  }
  return TextFault::none;
}

enum class NameRule { name, ncName, qName };

// The end of the name part that begins at `start`: `start` itself when that
// unit may not begin a part, else the first unit after it that may not
// continue it. Each unit is judged on its own, as Xerces-C's validators do.
template <bool colons>
size_t partEnd(const XMLCh* name, size_t start) {
  const auto fits = [](XMLCh c) { return colons || c != u':'; };
  if (!XMLChar1_0::isFirstNameChar(name[start]) || !fits(name[start])) return start;
  size_t i = start + 1;
  while (XMLChar1_0::isNameChar(name[i]) && fits(name[i])) ++i;
  return i;
}

// The index of the first unit that breaks the production, or s_valid. Where a
// part is missing ("", "a:"), the fault is where it should begin.
size_t nameFault(const XMLCh* name, NameRule rule) {
  if (!name) return 0;
  size_t start = 0;
  size_t end = rule == NameRule::name ? partEnd<true>(name, start) : partEnd<false>(name, start);
  if (rule == NameRule::qName && end > start && name[end] == u':') {
    start = end + 1;
    end = partEnd<false>(name, start);
  }
  return end > start && name[end] == 0 ? s_valid : end;
}

bool isAsciiLetter(XMLCh c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// EncName: [A-Za-z] ([A-Za-z0-9._] | '-')*
size_t encNameFault(const XMLCh* name) {
  if (!name || !isAsciiLetter(name[0])) return 0;
  for (size_t i = 1; name[i]; ++i) {
    const XMLCh c = name[i];
    if (!(isAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-')) return i;
  }
  return s_valid;
}

// The first `length` units of a text in the process code page, for the
// argument line; long texts are converted piece by piece without splitting a
// surrogate pair.
struct TextArg {
  const XMLCh* text;
  unsigned long length;
};
std::ostream& operator<<(std::ostream& os, TextArg arg) {
  static constexpr unsigned long s_piece = 1ul << 24;
  if (!arg.text) return os;
  for (unsigned long done = 0; done < arg.length;) {
    unsigned long n = std::min(s_piece, arg.length - done);
    if (n < arg.length - done && isHighSurrogate(arg.text[done + n - 1])) --n;
    os << qelToMbcs(arg.text + done, static_cast<unsigned>(n));
    done += n;
  }
  return os;
}

// The common body of the four name checks, traced under the caller's record.
// Inlined: it runs on every call of the four checks.
__attribute__((always_inline)) inline bool checkName(qel_detail::Trace& trc_, const XMLCh* name, size_t fault,
                                                     char* message) {
  QEL_TRACE_ARGS("(" << qel_detail::u16(name) << ")");
  const bool valid = fault == s_valid;
  if (!valid) invalidCharError(name, fault, message);
  QEL_TRACE_EXIT_VALUE(valid);
  return valid;
}

// The DOMException of the throwing checks. Xerces-C's DOMException never
// frees a message its user sets, so this one keeps the text and shares it
// with its copies: the text lives exactly as long as the last of them.
class CheckException : public DOMException {
 public:
  explicit CheckException(std::shared_ptr<const XMLCh[]> text) : m_text(std::move(text)) {
    code = INVALID_CHARACTER_ERR;
    msg = m_text.get();
  }
  CheckException(const CheckException& other) : DOMException(other), m_text(other.m_text) { msg = m_text.get(); }

 private:
  std::shared_ptr<const XMLCh[]> m_text;
};

[[noreturn]] void throwCheckException(const char* message) {
  const std::u16string text = qelToUnicode(message);
  std::shared_ptr<const XMLCh[]> copy;
  if (!text.empty()) {
    XMLCh* units = new XMLCh[text.length() + 1];
    copy.reset(units);
    std::copy(text.c_str(), text.c_str() + text.length() + 1, units);
  }
  throw CheckException(std::move(copy));
}

}  // namespace

// --- reporting checks --------------------------------------------------------------

bool qelIsXmlNameChar(XMLCh unit) { return XMLChar1_0::isNameChar(unit); }

void invalidCharError(const XMLCh* str, unsigned long pos, char* message) {
  QEL_TRACE_ENTER("invalidCharError");
  QEL_TRACE_ARGS("");
  if (message) {
    const unsigned unit = str ? str[pos] : 0;
    std::sprintf(message, "Invalid character 0x%X at pos %lu.", unit, pos);
    QEL_TRACE_ERROR(message);
  }
  QEL_TRACE_EXIT();
}

bool qelCheckXmlText(const XMLCh* text, unsigned long length, char* message) {
  QEL_TRACE_ENTER("qelCheckXmlText");
  QEL_TRACE_ARGS("(" << TextArg{text, length} << ")");
  unsigned long pos = 0;
  // A missing text has no characters: with a length above 0 its first one is missing.
  const TextFault fault = text ? scanText(text, length, pos) : length ? TextFault::invalidChar : TextFault::none;
  if (fault == TextFault::lowSurrogateExpected) {
    if (message) std::sprintf(message, "Low surrogate expected at pos: %lu.", pos);
    QEL_TRACE_ERROR(qel_detail::orNull(message));
  } else if (fault == TextFault::invalidChar) {
    invalidCharError(text, pos, message);
  }
  const bool valid = fault == TextFault::none;
  QEL_TRACE_RETURN(valid);
  QEL_TRACE_EXIT();
  return valid;
}

bool qelCheckXmlName(const XMLCh* name, char* message) {
  QEL_TRACE_ENTER("qelCheckXmlName");
  return checkName(trc_, name, nameFault(name, NameRule::name), message);
}

bool qelCheckXmlQName(const XMLCh* name, char* message) {
  QEL_TRACE_ENTER("qelCheckXmlQName");
  return checkName(trc_, name, nameFault(name, NameRule::qName), message);
}

bool qelCheckXmlNcName(const XMLCh* name, char* message) {
  QEL_TRACE_ENTER("qelCheckXmlNcName");
  return checkName(trc_, name, nameFault(name, NameRule::ncName), message);
}

bool qelCheckXmlEncName(const XMLCh* name, char* message) {
  QEL_TRACE_ENTER("qelCheckXmlEncName");
  return checkName(trc_, name, encNameFault(name), message);
}

// Namespace names are compared as plain strings, and XML processors accept any
// of them; rejecting a URI here would only refuse documents others accept.
bool qelCheckXmlUri(const XMLCh* uri, char*) {
  QEL_TRACE_ENTER("qelCheckXmlUri");
  QEL_TRACE_ARGS("(" << qel_detail::u16(uri) << ")");
  QEL_TRACE_EXIT_VALUE(true);
  return true;
}

// --- throwing checks -----------------------------------------------------------------

const XMLCh* tavCheckText(const XMLCh* text) {
  char message[100];
  if (!qelCheckXmlText(text, qelStrlen(text), message)) throwCheckException(message);
  return text;
}

const XMLCh* tavCheckName(const XMLCh* name) {
  char message[100];
  if (!qelCheckXmlName(name, message)) throwCheckException(message);
  return name;
}

// --- raw item names ---------------------------------------------------------------------

namespace {

// The full stop and the colon are escaped too: escapes are delimited by full
// stops, so a literal one would make the result ambiguous, and without colons
// every result is an NCName.
bool staysAsIs(XMLCh c) { return c != u'.' && c != u':' && XMLChar1_0::isNameChar(c); }
bool startsAsIs(XMLCh c) { return c != u':' && XMLChar1_0::isFirstNameChar(c); }

struct NamedEscape {
  XMLCh unit;
  char16_t name[3];
};
constexpr NamedEscape s_namedEscapes[] = {{u'!', u"ex"}, {u'#', u"pd"}, {u'$', u"ds"}, {u'@', u"at"},
                                          {u'~', u"td"}, {u'.', u"dt"}, {u':', u"cn"}};

void appendEscape(QelUniString& out, XMLCh c) {
  out.append(u'.');
  const NamedEscape* named = std::find_if(std::begin(s_namedEscapes), std::end(s_namedEscapes),
                                          [c](const NamedEscape& e) { return e.unit == c; });
  if (named != std::end(s_namedEscapes)) {
    out.append(named->name, 2);
  } else {
    char hex[8];
    std::snprintf(hex, sizeof hex, "H%X", static_cast<unsigned>(c));
    for (const char* p = hex; *p; ++p) out.append(static_cast<XMLCh>(*p));
  }
  out.append(u'.');
}

// The conversion of a non-empty raw name. The result is built only from the
// first unit that needs a change on; until then the raw name is the result.
QelUniString rawToXml(const QelUniString& raw) {
  QelUniString result;
  if (!startsAsIs(raw[0])) {
    result.reserve(raw.length() + 10);
    result.append(u'_').append(u'.');
  }
  for (size_t i = 0; i < raw.length(); ++i) {
    const XMLCh c = raw[i];
    if (staysAsIs(c)) {
      if (!result.empty()) result.append(c);
      continue;
    }
    if (result.empty()) {
      result.reserve(raw.length() + 10);
      result.append(raw.c_str(), i);
    }
    appendEscape(result, c);
  }
  return result.empty() ? raw : result;
}

int hexValue(XMLCh c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The unit an escape body ("ex", "H2F") stands for, or -1.
long escapedUnit(const XMLCh* body, size_t length) {
  if (length == 2) {
    for (const NamedEscape& e : s_namedEscapes)
      if (body[0] == e.name[0] && body[1] == e.name[1]) return e.unit;
  }
  if (length < 2 || length > 5 || body[0] != u'H') return -1;
  long unit = 0;
  for (size_t k = 1; k < length; ++k) {
    const int digit = hexValue(body[k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// Decodes the escapes of a converted name. Returns false for a dangling full
// stop or an unknown escape; whether the rest is in the form the conversion
// produces is left to the caller's round trip.
bool xmlToRaw(const QelUniString& xml, QelUniString& raw) {
  size_t i = 0;
  // The prefix stands before a unit that may not begin an NCName; a literal
  // '_' is followed by an escape whose body begins with a letter.
  if (xml.length() > 2 && xml[0] == u'_' && xml[1] == u'.' && !startsAsIs(xml[2])) i = 2;
  while (i < xml.length()) {
    if (xml[i] != u'.') {
      raw.append(xml[i++]);
      continue;
    }
    const size_t close = xml.str().find(u'.', i + 1);
    if (close == QelUniString::npos) return false;
    const long unit = escapedUnit(xml.c_str() + i + 1, close - i - 1);
    if (unit < 0) return false;
    raw.append(static_cast<XMLCh>(unit));
    i = close + 1;
  }
  return !raw.empty();
}

}  // namespace

QelUniString qelRawToXmlName(const QelUniString& raw) {
  QEL_TRACE_ENTER("qelRawToXmlName");
  QEL_TRACE_ARGS("(" << raw << ")");
  if (raw.empty()) {
    qel_detail::raise(nullptr, __LINE__, QELRC_INVALID_IDSTR, "QELRC_INVALID_IDSTR", 1, "qelRawToXmlName", s_revision,
                      s_sourcePath, "Raw item name is an empty string.");
  }
  QelUniString result = rawToXml(raw);
  QEL_TRACE_EXIT();
  return result;
}

// A string is accepted only if converting its decoded form gives it back, so
// every raw name has exactly one XML name and the other way round.
QelUniString qelXmlNameToRaw(const QelUniString& xmlName) {
  QEL_TRACE_ENTER("qelXmlNameToRaw");
  QEL_TRACE_ARGS("(" << xmlName << ")");
  QelUniString raw;
  if (!xmlToRaw(xmlName, raw) || rawToXml(raw) != xmlName) {
    QEL_RAISE(QELRC_INVALID_IDSTR, 1, "qelXmlNameToRaw",
              "The XML name \"" + xmlName.toString() + "\" is not the result of a raw item name conversion.");
  }
  QEL_TRACE_EXIT();
  return raw;
}
