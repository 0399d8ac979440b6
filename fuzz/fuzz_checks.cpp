// The name and text checks against Xerces-C's own validators, and the raw
// name conversion. The input is read as UTF-16 code units (little-endian
// pairs of bytes); the first unit of zero ends the string for the checks of
// zero-terminated strings.
#include <cstdint>
#include <cstring>
#include <string>
#include <xercesc/util/XMLChar.hpp>
#include <xercesc/util/XMLString.hpp>

#include "fuzz_common.hpp"
#include "qelichk.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

bool hasSurrogate(const std::u16string& s) {
  for (char16_t c : s) {
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

// The message of a failed check names a unit of the string (or its
// terminator) and its position, and fits in 45 bytes.
void checkMessage(const std::u16string& s, const char* message, const char* what) {
  FUZZ_CHECK(std::strlen(message) < 45, "%s: message too long: %s", what, message);
  unsigned unit = 0;
  unsigned long pos = 0;
  if (std::sscanf(message, "Low surrogate expected at pos: %lu.", &pos) == 1) {
    FUZZ_CHECK(pos > 0 && pos <= s.size() && s[pos - 1] >= 0xD800 && s[pos - 1] <= 0xDBFF, "%s: %s", what, message);
    return;
  }
  FUZZ_CHECK(std::sscanf(message, "Invalid character 0x%X at pos %lu.", &unit, &pos) == 2, "%s: message %s", what,
             message);
  FUZZ_CHECK(pos <= s.size(), "%s: position beyond the end: %s", what, message);
  FUZZ_CHECK(unit == (pos < s.size() ? s[pos] : 0u), "%s: the unit at the position is not the one named: %s", what,
             message);
}

bool xercesText(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const XMLCh c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (!XMLChar1_0::isXMLChar(c)) {
      return false;
    }
  }
  return true;
}

void checkName(const std::u16string& s, bool (*check)(const XMLCh*, char*), bool expected, const char* what) {
  char message[64];
  std::memset(message, 0x55, sizeof message);
  message[sizeof message - 1] = 0;
  const bool ok = check(s.c_str(), message);
  FUZZ_CHECK(ok == check(s.c_str(), nullptr), "%s: the result depends on the message buffer", what);
  if (hasSurrogate(s)) {
    // Each unit is judged on its own: a surrogate is never part of a name,
    // where Xerces-C takes a pair as one character.
    FUZZ_CHECK(!ok, "%s accepts %s with a surrogate", what, fuzz::show(s.c_str()).c_str());
  } else {
    FUZZ_CHECK(ok == expected, "%s says %d, Xerces-C %d for %s", what, ok, expected, fuzz::show(s.c_str()).c_str());
  }
  if (!ok) checkMessage(s, message, what);
}

void checkRawName(const std::u16string& raw) {
  if (raw.empty()) return;
  const QelUniString name = qelRawToXmlName(QelUniString(raw));
  const std::u16string n(name.c_str(), name.length());
  FUZZ_CHECK(qelCheckXmlNcName(n.c_str(), nullptr) && XMLChar1_0::isValidNCName(n.c_str(), n.size()),
             "raw name %s gives %s, not an NCName", fuzz::show(raw.c_str()).c_str(), fuzz::show(n.c_str()).c_str());
  FUZZ_CHECK(n.size() == std::char_traits<char16_t>::length(n.c_str()), "a zero unit in %s",
             fuzz::show(n.c_str()).c_str());
  const QelUniString back = qelXmlNameToRaw(name);
  FUZZ_CHECK(std::u16string(back.c_str(), back.length()) == raw, "raw name %s gives %s, which gives back %s",
             fuzz::show(raw.c_str()).c_str(), fuzz::show(n.c_str()).c_str(), fuzz::show(back.c_str()).c_str());
}

void checkInverse(const std::u16string& xmlName) {
  QelUniString raw;
  try {
    raw = qelXmlNameToRaw(QelUniString(xmlName));
  } catch (const QelError& e) {
    FUZZ_CHECK(e.getRc() == QELRC_INVALID_IDSTR, "error %ld: %s", e.getRc(), e.getMessage());
    return;
  }
  const QelUniString again = qelRawToXmlName(raw);
  FUZZ_CHECK(std::u16string(again.c_str(), again.length()) == xmlName, "%s gives raw %s, which gives %s",
             fuzz::show(xmlName.c_str()).c_str(), fuzz::show(raw.c_str()).c_str(), fuzz::show(again.c_str()).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string all(size / 2, u'\0');
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));

  // Text: exactly the given units, in a buffer of that size.
  {
    std::unique_ptr<XMLCh[]> text(new XMLCh[all.size() ? all.size() : 1]);
    std::copy(all.begin(), all.end(), text.get());
    char message[64] = "";
    const bool ok = qelCheckXmlText(all.empty() ? nullptr : text.get(), all.size(), message);
    FUZZ_CHECK(ok == xercesText(all), "qelCheckXmlText says %d for %s", ok, fuzz::show(all.c_str()).c_str());
    if (!ok) checkMessage(all, message, "qelCheckXmlText");
  }

  const std::u16string s = all.substr(0, all.find(u'\0'));
  for (char16_t c : s) {
    FUZZ_CHECK(qelIsXmlNameChar(c) == (!(c >= 0xD800 && c <= 0xDFFF) && XMLChar1_0::isNameChar(c)),
               "qelIsXmlNameChar(0x%X)", static_cast<unsigned>(c));
  }
  checkName(s, qelCheckXmlName, !s.empty() && XMLChar1_0::isValidName(s.c_str(), s.size()), "qelCheckXmlName");
  checkName(s, qelCheckXmlNcName, XMLChar1_0::isValidNCName(s.c_str(), s.size()), "qelCheckXmlNcName");
  checkName(s, qelCheckXmlQName, XMLChar1_0::isValidQName(s.c_str(), s.size()), "qelCheckXmlQName");
  checkName(s, qelCheckXmlEncName, XMLString::isValidEncName(s.c_str()), "qelCheckXmlEncName");

  checkRawName(all);  // zero units included: a raw name is any non-empty string
  checkInverse(s);
  return 0;
}
