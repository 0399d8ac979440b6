// Checks of text and names, and raw item name conversion. No test here starts
// the XML platform: the checks must work without it.
#include <cstring>
#include <exception>
#include <random>
#include <xercesc/util/XMLChar.hpp>

#include "qelichk.hpp"
#include "test_support.hpp"

using xercesc::DOMException;
using xercesc::XMLChar1_0;

namespace {

// "ok" or "bad" and the message ("-" when none was written). The text is an
// exact-size copy without terminator: a read past `length` is an ASan error.
std::string textCheck(const std::u16string& units, unsigned long length) {
  std::unique_ptr<XMLCh[]> copy(new XMLCh[units.size()]);
  std::copy(units.begin(), units.end(), copy.get());
  char message[100] = "-";
  return std::string(qelCheckXmlText(units.empty() ? nullptr : copy.get(), length, message) ? "ok " : "bad ") + message;
}

TEST(TextCheck, ResultsAndMessages) {
  const struct {
    std::u16string units;
    unsigned long length;
    const char* expected;
  } cases[] = {
      {u"", 0, "ok -"},  // a null text of length 0
      {u"", 3, "bad Invalid character 0x0 at pos 0."},
      {u"a\xD800", 2, "bad Low surrogate expected at pos: 2."},
      {u"\xD800\x41", 2, "bad Low surrogate expected at pos: 1."},
      {u"\xD83D\xDE00 x\v", 5, "bad Invalid character 0xB at pos 4."},
      {u"\xDC00", 1, "bad Invalid character 0xDC00 at pos 0."},
      {u"\xFFFD\xE000\xD7FF\t\n\r", 6, "ok -"},
      {u"\xFFFE", 1, "bad Invalid character 0xFFFE at pos 0."},
      {u"ab\xFFFF", 3, "bad Invalid character 0xFFFF at pos 2."},
      {std::u16string(u"ab\0c", 4), 4, "bad Invalid character 0x0 at pos 2."},
      {u"ab\x01\xD800", 2, "ok -"},  // units at and beyond the length are not examined
      {u"abcdefghijklmnopqr\xD800", 19, "bad Low surrogate expected at pos: 19."},
  };
  for (const auto& c : cases) EXPECT_EQ(textCheck(c.units, c.length), c.expected) << c.length;
  EXPECT_FALSE(qelCheckXmlText(u"\xD800", 1, nullptr));
  EXPECT_FALSE(qelCheckXmlText(u"\x01", 1, nullptr));
}

// The text is scanned 16 units at a time; a plain unit-by-unit walk is the
// reference, on random texts with valid pairs and one fault at any offset.
TEST(TextCheck, AgreesWithUnitWalkAcrossBlocks) {
  const XMLCh good[] = {u'a', u' ', u'\t', u'\n', 0x7FF, 0xD7FF, 0xE000, 0xFFFD};
  const XMLCh faults[] = {0x00, 0x0B, 0x1F, 0xDC00, 0xFFFE, 0xFFFF, 0xD800, u'a'};
  std::mt19937 rng(7);
  for (size_t n = 2; n < 100; ++n) {
    for (int round = 0; round < 40; ++round) {
      std::u16string text(n, u'x');
      for (XMLCh& c : text) c = good[rng() % 8];
      for (size_t k = rng() % 4, at; k > 0; --k) text.replace(at = rng() % (n - 1), 2, u"\xD83D\xDE00");
      text[rng() % n] = faults[rng() % 8];
      std::string expected = "ok -";
      for (size_t i = 0; i < n && expected == "ok -"; ++i) {
        const XMLCh c = text[i];
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", c);
        if (c >= 0xD800 && c <= 0xDBFF) {
          if (++i == n || text[i] < 0xDC00 || text[i] > 0xDFFF)
            expected = "bad Low surrogate expected at pos: " + std::to_string(i) + ".";
        } else if (!(c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD))) {
          expected = std::string("bad Invalid character 0x") + hex + " at pos " + std::to_string(i) + ".";
        }
      }
      ASSERT_EQ(textCheck(text, n), expected) << "length " << n;
    }
  }
}

using Check = bool (*)(const XMLCh*, char*);

TEST(NameCheck, ResultsAndMessages) {
  const struct {
    Check check;
    const XMLCh* name;
    const char* expected;
  } cases[] = {
      {qelCheckXmlName, u"", "Invalid character 0x0 at pos 0."},
      {qelCheckXmlName, nullptr, "Invalid character 0x0 at pos 0."},
      {qelCheckXmlName, u"1abc", "Invalid character 0x31 at pos 0."},
      {qelCheckXmlName, u"ab c", "Invalid character 0x20 at pos 2."},
      {qelCheckXmlName, u":a:b:", "-"},
      {qelCheckXmlName, u"a\xD83D\xDE00", "Invalid character 0xD83D at pos 1."},
      {qelCheckXmlNcName, u"a:b", "Invalid character 0x3A at pos 1."},
      {qelCheckXmlNcName, nullptr, "Invalid character 0x0 at pos 0."},
      {qelCheckXmlQName, u"a:b", "-"},
      {qelCheckXmlQName, u":a", "Invalid character 0x3A at pos 0."},
      {qelCheckXmlQName, u"a:", "Invalid character 0x0 at pos 2."},
      {qelCheckXmlQName, u"a::b", "Invalid character 0x3A at pos 2."},
      {qelCheckXmlQName, u"a:b:c", "Invalid character 0x3A at pos 3."},
      {qelCheckXmlQName, u"a:1", "Invalid character 0x31 at pos 2."},
      {qelCheckXmlEncName, u"ISO_8859.1-x", "-"},
      {qelCheckXmlEncName, u"_x", "Invalid character 0x5F at pos 0."},
      {qelCheckXmlEncName, u"UTF 8", "Invalid character 0x20 at pos 3."},
      {qelCheckXmlEncName, nullptr, "Invalid character 0x0 at pos 0."},
      {qelCheckXmlUri, u"not a URI \x01", "-"},
  };
  for (const auto& c : cases) {
    char message[100] = "-";
    EXPECT_EQ(c.check(c.name, message), !std::strcmp(c.expected, "-")) << c.expected;
    EXPECT_STREQ(message, c.expected);
    EXPECT_EQ(c.check(c.name, nullptr), !std::strcmp(c.expected, "-"));
  }
  for (XMLCh c : std::u16string(u".:-_0aZ\xE9")) EXPECT_TRUE(qelIsXmlNameChar(c)) << int(c);
  for (XMLCh c : std::u16string(u"! @\xD7")) EXPECT_FALSE(qelIsXmlNameChar(c)) << int(c);
  for (unsigned c = 0xD800; c <= 0xDFFF; ++c) ASSERT_FALSE(qelIsXmlNameChar(static_cast<XMLCh>(c)));
}

// Yes/no agrees with Xerces-C's validators, and the reported position is the
// first unit that breaks the production: the part before it is valid (or
// empty), the part up to and including it is not (QName has no such rule).
struct Production {
  Check check;
  bool (*xerces)(const XMLCh*, size_t);
};
const Production kProductions[] = {
    {qelCheckXmlName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidName(s, n); }},
    {qelCheckXmlNcName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidNCName(s, n); }},
    {qelCheckXmlQName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidQName(s, n); }},
    {qelCheckXmlEncName,
     [](const XMLCh* s, size_t n) { return xercesc::XMLString::isValidEncName(std::u16string(s, n).c_str()); }}};

void expectAgreement(const std::u16string& s) {
  for (const Production& p : kProductions) {
    char message[100] = "";
    const bool ours = p.check(s.c_str(), message);
    ASSERT_EQ(ours, !s.empty() && p.xerces(s.c_str(), s.size())) << "first unit 0x" << std::hex << s[0];
    if (ours || p.check == qelCheckXmlQName) continue;
    const size_t pos = std::stoul(std::strrchr(message, ' ') + 1);
    ASSERT_LE(pos, s.size());
    ASSERT_TRUE(pos == 0 || p.xerces(s.c_str(), pos)) << message;
    ASSERT_TRUE(pos == s.size() || !p.xerces(s.c_str(), pos + 1)) << message;
  }
}

TEST(NameCheck, AgreesWithXercesOnEveryUnitAndRandomStrings) {
  for (unsigned u = 1; u <= 0xFFFF; ++u) {
    const XMLCh c = static_cast<XMLCh>(u);
    for (const std::u16string& s : {std::u16string{c}, std::u16string{u'a', c}, std::u16string{u'a', u':', c},
                                    std::u16string{c, u':', u'b'}, std::u16string{c, 0xDC00}})
      expectAgreement(s);
  }
  const std::u16string alphabet = u"aZ1:-._ \xB7\x300\xD7\x132\x2070\xFFFD\xFFFE\xD800\xDC00\xDB80\xDFFF\xF900";
  std::mt19937 rng(11);
  for (int round = 0; round < 200000; ++round) {
    std::u16string s(rng() % 9, u'a');
    for (XMLCh& c : s) c = rng() % 4 ? alphabet[rng() % alphabet.size()] : static_cast<XMLCh>(1 + rng() % 0xFFFF);
    expectAgreement(s);
  }
}

TEST(ThrowingCheck, ReturnsArgumentOrThrowsCodeFive) {
  const XMLCh* text = u"fine text";
  EXPECT_EQ(tavCheckText(text), text);
  EXPECT_EQ(tavCheckText(nullptr), nullptr);
  EXPECT_EQ(tavCheckName(text + 5), text + 5);
  std::exception_ptr kept;
  try {
    tavCheckText(u"ab\x0B");
  } catch (const DOMException& e) {
    EXPECT_EQ(e.code, DOMException::INVALID_CHARACTER_ERR);
    kept = std::current_exception();
  }
  // The message lives as long as a copy of the exception, beyond the catch block.
  try {
    std::rethrow_exception(kept);
  } catch (const DOMException& e) {
    EXPECT_EQ(std::u16string(e.getMessage()), u"Invalid character 0xB at pos 2.");
  }
  kept = nullptr;
  EXPECT_THROW(tavCheckName(u"1x"), DOMException);
  EXPECT_EQ(xercesc::XMLPlatformUtils::fgMemoryManager, nullptr);  // the platform was never started
}

TEST(CheckTrace, NestedErrorLinesAndTheEmptyNameError) {
  char message[100];
  {
    qeltest::TraceCapture trace("QELDOM=0xC0");
    EXPECT_FALSE(qelCheckXmlName(u"1\xE9", message));
    EXPECT_FALSE(qelCheckXmlText(u"a\xD800\x62", 2, nullptr));
    EXPECT_EQ(trace.lines(),
              (qeltest::Lines{"QELDOM qelCheckXmlName: Entry", "QELDOM qelCheckXmlName: Args - (1\xC3\xA9)",
                              "QELDOM invalidCharError: Entry", "QELDOM invalidCharError: Args - ",
                              "QELDOM invalidCharError: !!! Error - Invalid character 0x31 at pos 0.",
                              "QELDOM invalidCharError: Exit", "QELDOM qelCheckXmlName: Exit (0)",
                              "QELDOM qelCheckXmlText: Entry", "QELDOM qelCheckXmlText: Args - (a\xEF\xBF\xBD)",
                              "QELDOM qelCheckXmlText: !!! Error - NULL", "QELDOM qelCheckXmlText: Return - 0",
                              "QELDOM qelCheckXmlText: Exit"}));
  }
  qeltest::TraceCapture trace("qelRawToXmlName=0xC0");
  QelError e = qeltest::errorOf([] { qelRawToXmlName(QelUniString()); });
  EXPECT_EQ(e.getRc(), QELRC_INVALID_IDSTR);
  EXPECT_EQ(e.getOp(), QELOP_REPOSITORY);
  EXPECT_EQ(e.getFlag(), 1u);
  EXPECT_EQ(e.getFunction(), "qelRawToXmlName");
  EXPECT_STREQ(e.getMessage(), "Raw item name is an empty string.");
  EXPECT_EQ(trace.of("qelRawToXmlName"), (qeltest::Lines{"Entry", "Args - ()"}));  // no error line
}

TEST(RawName, ConversionTable) {
  const std::pair<std::u16string, const char*> cases[] = {
      {u"abc", "abc"},
      {u"a-b_c", "a-b_c"},
      {u"a b", "a.H20.b"},
      {u"a/b", "a.H2F.b"},
      {u"a\tb", "a.H9.b"},
      {u"a!b", "a.ex.b"},
      {u"x#1", "x.pd.1"},
      {u"$v", "_..ds.v"},
      {u"x@", "x.at."},
      {u"~t", "_..td.t"},
      {u"1abc", "_.1abc"},
      {u"-x", "_.-x"},
      {u"!", "_..ex."},
      {u"a\xD7z", "a.HD7.z"},
      {u"\xE9t", "\xC3\xA9t"},
      {u"a.b:c", "a.dt.b.cn.c"},
      {u":a", "_..cn.a"},
      {u"_.x", "_.dt.x"},
      {u"\xD83D\xDE00", "_..HD83D..HDE00."},
  };
  for (const auto& c : cases) EXPECT_EQ(qelRawToXmlName(c.first).toString(), c.second);
}

TEST(RawName, RoundTripOnRandomNames) {
  const std::u16string alphabet = u"a_.:H1-!#$@~ \xB7\xD7\xE9\x300\xFFFF\xD800\xDC00";
  std::mt19937 rng(5);
  for (int round = 0; round < 50000; ++round) {
    std::u16string raw;
    for (size_t n = 1 + rng() % 8; raw.size() < n;) {
      const unsigned pick = rng() % 5;
      if (pick == 0) {  // an astral character
        const unsigned cp = rng() % 0x100000;
        raw += {static_cast<XMLCh>(0xD800 + (cp >> 10)), static_cast<XMLCh>(0xDC00 + (cp & 0x3FF))};
      } else {
        raw += pick == 1 ? static_cast<XMLCh>(rng() % 0x10000) : alphabet[rng() % alphabet.size()];
      }
    }
    const QelUniString xml = qelRawToXmlName(raw);
    ASSERT_TRUE(XMLChar1_0::isValidNCName(xml.c_str(), xml.length())) << xml;
    ASSERT_EQ(qelXmlNameToRaw(xml).str(), raw) << xml;
  }
}

TEST(RawName, InverseRejectsWhatNoRawNameGives) {
  for (const char16_t* xml : {u"", u"a.b", u"a.H41.b", u"a.H0D7.b", u"a.hd7.b", u"a.H.b", u"a.H10000.b", u"a.xx.b",
                              u"_.abc", u"1abc", u"a b", u"a:b", u".ex.", u"_.", u"a..b"}) {
    try {
      qelXmlNameToRaw(xml);
      ADD_FAILURE() << QelUniString(xml);
    } catch (const QelError& e) {
      EXPECT_EQ(e.getRc(), QELRC_INVALID_IDSTR);
      EXPECT_EQ(e.getMessage(), "The XML name \"" + QelUniString(xml).toString() +
                                    "\" is not the result of a raw item name conversion.");
    }
  }
}

}  // namespace
