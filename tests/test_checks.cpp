// Checks of text and names, and raw item name conversion, against Xerces-C's
// XML 1.0 tables. No test here starts the XML platform: the checks must work
// without it.
#include <cstring>
#include <random>
#include <xercesc/util/XMLChar.hpp>

#include "qelichk.hpp"
#include "test_support.hpp"

using xercesc::XMLChar1_0;

// "ok -" or "bad " and the message. The text is a copy of its exact size,
// without terminator: a read past `length` is an ASan error.
static std::string textCheck(const std::u16string& units, unsigned long length) {
  std::vector<XMLCh> copy(units.begin(), units.end());
  char message[100] = "-";
  return std::string(qelCheckXmlText(copy.empty() ? nullptr : copy.data(), length, message) ? "ok " : "bad ") + message;
}

// What the check says, from the first unit Xerces-C's table refuses (a
// surrogate pair counts as one character).
static std::string expectedTextCheck(const std::u16string& s) {
  size_t i = 0, n;
  while (i < s.size() && (n = XMLChar1_0::isXMLChar(s[i]) ? 1 : XMLChar1_0::isXMLChar(s[i], s[i + 1]) * 2)) i += n;
  if (i == s.size()) return "ok -";
  // A high surrogate pairs with U+DC00.
  if (XMLChar1_0::isXMLChar(s[i], 0xDC00)) return "bad Low surrogate expected at pos: " + std::to_string(i + 1) + ".";
  char message[64];
  std::snprintf(message, sizeof message, "bad Invalid character 0x%X at pos %zu.", unsigned(s[i]), i);
  return message;
}

// Texts are scanned in blocks: long valid runs, with faults drawn from the
// edges of the character classes at any offset.
TEST(TextCheck, ReportsTheFirstFaultWhereXercesCFindsIt) {
  EXPECT_EQ(textCheck(u"", 3), "bad Invalid character 0x0 at pos 0.");  // a null text
  const std::u16string good[] = {u"a", u" \t\n\r", u"\xD7FF", u"\xE000\xFFFD", u"\xD800\xDC00", u"\xDBFF\xDFFF"};
  const XMLCh edges[] = {0, 8, 0xB, 0x1F, 0x7F, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFE, 0xFFFF};
  std::mt19937 rng(7);
  for (int round = 0; round < 40000; ++round) {
    std::u16string text;
    for (size_t n = rng() % 70; text.size() < n;)
      text += rng() % 30 ? good[rng() % std::size(good)] : std::u16string(1, edges[rng() % std::size(edges)]);
    // Units beyond the length are not examined: a low surrogate there pairs
    // with nothing.
    ASSERT_EQ(textCheck(text + (round % 2 ? u"\xDC00" : u""), text.size()), expectedTextCheck(text))
        << ::testing::PrintToString(text);
  }
}

// Yes or no as Xerces-C says, and the position in the message is the first
// unit that breaks the production: the part before it is valid (or empty),
// the part up to and including it is not (QName has no such rule).
static std::string disagreement(const std::u16string& s) {
  const std::pair<bool (*)(const XMLCh*, char*), bool (*)(const XMLCh*, size_t)> productions[] = {
      {qelCheckXmlEncName,
       [](const XMLCh* n, size_t k) { return xercesc::XMLString::isValidEncName(std::u16string(n, k).c_str()); }},
      {qelCheckXmlName, XMLChar1_0::isValidName},
      {qelCheckXmlNcName, XMLChar1_0::isValidNCName},
      {qelCheckXmlQName, XMLChar1_0::isValidQName}};
  for (const auto& [check, xerces] : productions) {
    char message[100] = "";
    const bool ours = check(s.c_str(), message), positioned = !ours && check != qelCheckXmlQName;
    const size_t pos = positioned ? std::stoul(std::strrchr(message, ' ') + 1) : 0;
    if (ours != (!s.empty() && xerces(s.c_str(), s.size())) ||
        (positioned &&
         (pos > s.size() || (pos > 0 && !xerces(s.c_str(), pos)) || (pos < s.size() && xerces(s.c_str(), pos + 1)))))
      return message + std::string(" ") + std::to_string(ours);
  }
  return "";
}

TEST(NameCheck, AgreesWithXercesCOnEveryUnit) {
  for (unsigned u = 1; u <= 0xFFFF; ++u) {
    const XMLCh c = static_cast<XMLCh>(u);
    ASSERT_EQ(qelIsXmlNameChar(c), XMLChar1_0::isNameChar(c)) << u;
    for (const std::u16string& s :
         {std::u16string{c}, std::u16string{u'a', c}, std::u16string{u'a', u':', c}, std::u16string{c, u':', u'b'},
          std::u16string{c, 0xDC00}, std::u16string{u'a', c, u':', u'b', u':'}})
      ASSERT_EQ(disagreement(s), "") << "unit " << u;
  }
  char message[100];  // a missing part is missing where it would begin
  EXPECT_TRUE(!qelCheckXmlQName(u"a:", message) && !std::strcmp(message, "Invalid character 0x0 at pos 2."));
}

TEST(ThrowingCheck, ReturnsItsArgumentOrThrowsAnInvalidCharacterError) {
  EXPECT_EQ(std::u16string(tavCheckName(tavCheckText(u"fine text") + 5)), u"text");
  EXPECT_EQ(qeltest::errorOf<xercesc::DOMException>([] { tavCheckText(u"a\x0B"); }).code,
            xercesc::DOMException::INVALID_CHARACTER_ERR);
  try {
    tavCheckName(u"1x");
    ADD_FAILURE() << "no exception";
  } catch (const xercesc::DOMException& e) {
    EXPECT_EQ(std::u16string(e.getMessage()), u"Invalid character 0x31 at pos 0.");
  }
  EXPECT_EQ(xercesc::XMLPlatformUtils::fgMemoryManager, nullptr);  // the platform was never started
}

// Every raw name converts to an NCName that converts back to it; names no
// raw name gives (other spellings of an escape, dangling stops) are refused.
TEST(RawName, ConvertsToAnNcNameAndBackAndRefusesOtherNames) {
  const std::u16string alphabet = u"a_.:H1-!#$@~ \t\xB7\xD7\xE9\x300\xFFFF\xD800\xDC00" + std::u16string(1, 0);
  std::mt19937 rng(5);
  for (int round = 0; round < 50000; ++round) {
    std::u16string raw(1 + rng() % 8, u'a');
    for (XMLCh& c : raw) c = rng() % 3 ? alphabet[rng() % alphabet.size()] : static_cast<XMLCh>(rng());
    const QelUniString xml = qelRawToXmlName(raw);
    ASSERT_TRUE(XMLChar1_0::isValidNCName(xml.c_str(), xml.length())) << xml;
    ASSERT_EQ(qelXmlNameToRaw(xml).str(), raw) << xml;
  }
  EXPECT_EQ(qelRawToXmlName(u"1$a.b:c\xE9/\xD83D\xDE00").toString(), "_.1.ds.a.dt.b.cn.c\xC3\xA9.H2F..HD83D..HDE00.");
  EXPECT_EQ(qeltest::errorOf([] { qelRawToXmlName(QelUniString()); }).getRc(), QELRC_INVALID_IDSTR);
  for (const char16_t* xml : {u"", u"a.b", u"a.H41.b", u"a.H0D7.b", u"a.hd7.b", u"a.H10000.b", u"_.abc", u"a..b"})
    EXPECT_EQ(qeltest::errorOf([&] { qelXmlNameToRaw(xml); }).getMessage(),
              "The XML name \"" + QelUniString(xml).toString() + "\" is not the result of a raw item name conversion.");
}
