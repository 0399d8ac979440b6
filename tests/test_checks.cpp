// Checks of text and names, and raw item name conversion. No test here starts
// the XML platform: the checks must work without it.
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <xercesc/util/XMLChar.hpp>
#include <xercesc/util/XMLString.hpp>

#include "mox.hpp"
#include "qelichk.hpp"

using xercesc::DOMException;
using xercesc::XMLChar1_0;
using xercesc::XMLString;

namespace {

// The check's result and message; "-" when no message was written.
std::string textCheck(const std::u16string& units, unsigned long length) {
  // An exact-size copy without terminator: reading past `length` is an ASan error.
  std::unique_ptr<XMLCh[]> copy(new XMLCh[units.size()]);
  std::copy(units.begin(), units.end(), copy.get());
  char message[100] = "-";
  const bool valid = qelCheckXmlText(copy.get(), length, message);
  return std::string(valid ? "ok " : "bad ") + message;
}

TEST(TextCheck, ResultsAndMessages) {
  EXPECT_EQ(textCheck(u"", 0), "ok -");
  EXPECT_EQ(textCheck(u"a\xD800", 2), "bad Low surrogate expected at pos: 2.");
  EXPECT_EQ(textCheck(u"\xD800"
                      u"A",
                      2),
            "bad Low surrogate expected at pos: 1.");
  EXPECT_EQ(textCheck(u"\xD83D\xDE00 x\v", 5), "bad Invalid character 0xB at pos 4.");
  EXPECT_EQ(textCheck(u"\xDC00", 1), "bad Invalid character 0xDC00 at pos 0.");
  EXPECT_EQ(textCheck(u"\xFFFD\xE000\xD7FF", 3), "ok -");
  EXPECT_EQ(textCheck(u"\xFFFE", 1), "bad Invalid character 0xFFFE at pos 0.");
  EXPECT_EQ(textCheck(u"ab\xFFFF", 3), "bad Invalid character 0xFFFF at pos 2.");
  EXPECT_EQ(textCheck(u"\t\n\r x", 5), "ok -");
  EXPECT_EQ(textCheck(std::u16string(u"ab\0c", 4), 4), "bad Invalid character 0x0 at pos 2.");
  // Units at and beyond the length are never examined.
  EXPECT_EQ(textCheck(u"ab\x01\xD800", 2), "ok -");
  EXPECT_EQ(textCheck(u"abcdefghijklmnopqr\xD800", 19), "bad Low surrogate expected at pos: 19.");

  char message[100] = "-";
  EXPECT_TRUE(qelCheckXmlText(nullptr, 0, message));
  EXPECT_FALSE(qelCheckXmlText(nullptr, 3, message));
  EXPECT_STREQ(message, "Invalid character 0x0 at pos 0.");
  EXPECT_FALSE(qelCheckXmlText(u"\xD800", 1, nullptr));
  EXPECT_FALSE(qelCheckXmlText(u"\x01", 1, nullptr));
}

// A unit-by-unit walk as a reference for the block-wise scan: random texts
// with one fault placed at every offset around the block boundaries.
TEST(TextCheck, AgreesWithUnitWalkAcrossBlocks) {
  const XMLCh good[] = {u'a', u' ', u'\t', u'\n', 0x7FF, 0xD7FF, 0xE000, 0xFFFD};
  const XMLCh faults[] = {0x00, 0x0B, 0x1F, 0xDC00, 0xFFFE, 0xFFFF, 0xD800};
  std::mt19937 rng(7);
  for (size_t n = 1; n < 70; ++n) {
    for (XMLCh fault : faults) {
      std::u16string text(n, u'x');
      for (XMLCh& c : text) c = good[rng() % 8];
      const size_t at = rng() % n;
      text[at] = fault;
      if (at + 2 < n && rng() % 2) text[at - (at > 0)] = 0xD83D;  // a valid or broken pair just before
      size_t i = 0, pos = n;
      std::string expected = "ok -";
      while (i < n && pos == n) {
        const XMLCh c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
          if (++i == n || text[i] < 0xDC00 || text[i] > 0xDFFF)
            expected = "bad Low surrogate expected at pos: " + std::to_string(pos = i) + ".";
        } else if (!(c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD))) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "%X", c);
          expected = std::string("bad Invalid character 0x") + hex + " at pos " + std::to_string(pos = i) + ".";
        }
        ++i;
      }
      ASSERT_EQ(textCheck(text, n), expected) << "length " << n << " fault at " << at;
    }
  }
}

std::string nameCheck(bool (*check)(const XMLCh*, char*), const XMLCh* name) {
  char message[100] = "-";
  return std::string(check(name, message) ? "ok " : "bad ") + message;
}

TEST(NameCheck, ResultsAndMessages) {
  EXPECT_EQ(nameCheck(qelCheckXmlName, u""), "bad Invalid character 0x0 at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlName, nullptr), "bad Invalid character 0x0 at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlName, u"1abc"), "bad Invalid character 0x31 at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlName, u"ab c"), "bad Invalid character 0x20 at pos 2.");
  EXPECT_EQ(nameCheck(qelCheckXmlName, u":a:b:"), "ok -");
  EXPECT_EQ(nameCheck(qelCheckXmlName, u"a\xD83D\xDE00"), "bad Invalid character 0xD83D at pos 1.");
  EXPECT_EQ(nameCheck(qelCheckXmlNcName, u"a:b"), "bad Invalid character 0x3A at pos 1.");
  EXPECT_EQ(nameCheck(qelCheckXmlNcName, nullptr), "bad Invalid character 0x0 at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u"a:b"), "ok -");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u":a"), "bad Invalid character 0x3A at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u"a:"), "bad Invalid character 0x0 at pos 2.");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u"a::b"), "bad Invalid character 0x3A at pos 2.");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u"a:b:c"), "bad Invalid character 0x3A at pos 3.");
  EXPECT_EQ(nameCheck(qelCheckXmlQName, u"a:1"), "bad Invalid character 0x31 at pos 2.");
  EXPECT_EQ(nameCheck(qelCheckXmlEncName, u"ISO_8859.1-x"), "ok -");
  EXPECT_EQ(nameCheck(qelCheckXmlEncName, u"_x"), "bad Invalid character 0x5F at pos 0.");
  EXPECT_EQ(nameCheck(qelCheckXmlEncName, u"UTF 8"), "bad Invalid character 0x20 at pos 3.");
  EXPECT_EQ(nameCheck(qelCheckXmlEncName, nullptr), "bad Invalid character 0x0 at pos 0.");
  EXPECT_FALSE(qelCheckXmlQName(u"a:", nullptr));
  EXPECT_EQ(nameCheck(qelCheckXmlUri, u"not a URI \x01"), "ok -");

  for (XMLCh c : u".:-_0aZ\xE9") EXPECT_TRUE(c == 0 || qelIsXmlNameChar(c)) << int(c);
  for (XMLCh c : u"! @\xD7") EXPECT_FALSE(qelIsXmlNameChar(c)) << int(c);
  for (unsigned c = 0xD800; c <= 0xDFFF; ++c) ASSERT_FALSE(qelIsXmlNameChar(static_cast<XMLCh>(c)));
}

// Yes/no agrees with Xerces-C's validators, and the reported position is the
// first unit that breaks the production: the part before it is valid (or
// empty), the part up to and including it is not.
struct Production {
  bool (*check)(const XMLCh*, char*);
  bool (*xerces)(const XMLCh*, size_t);
  bool prefixRule;  // every prefix of a valid string is valid
};
const Production kProductions[] = {
    {qelCheckXmlName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidName(s, n); }, true},
    {qelCheckXmlNcName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidNCName(s, n); }, true},
    {qelCheckXmlQName, [](const XMLCh* s, size_t n) { return XMLChar1_0::isValidQName(s, n); }, false},
    {qelCheckXmlEncName,
     [](const XMLCh* s, size_t n) { return XMLString::isValidEncName(std::u16string(s, n).c_str()); }, true}};

void expectAgreement(const std::u16string& s) {
  for (const Production& p : kProductions) {
    char message[100] = "";
    const bool ours = p.check(s.c_str(), message);
    ASSERT_EQ(ours, !s.empty() && p.xerces(s.c_str(), s.size())) << "unit 0x" << std::hex << s[0];
    if (ours || !p.prefixRule) continue;
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
  const XMLCh alphabet[] = {u'a', u'Z',  u'1',   u':',   u'-',   u'.',   u'_',   u' ',   0xB7,   0x300,
                            0xD7, 0x132, 0x2070, 0xFFFD, 0xFFFE, 0xD800, 0xDC00, 0xDB80, 0xDFFF, 0xF900};
  std::mt19937 rng(11);
  for (int round = 0; round < 200000; ++round) {
    std::u16string s(rng() % 9, u'a');
    for (XMLCh& c : s) c = rng() % 4 ? alphabet[rng() % 20] : static_cast<XMLCh>(1 + rng() % 0xFFFF);
    expectAgreement(s);
  }
}

TEST(ThrowingCheck, ReturnsArgumentOrThrowsCodeFive) {
  const XMLCh* text = u"fine text";
  EXPECT_EQ(tavCheckText(text), text);
  EXPECT_EQ(tavCheckText(nullptr), nullptr);
  EXPECT_EQ(tavCheckName(u"a:b"), std::u16string(u"a:b"));

  std::exception_ptr kept;
  try {
    tavCheckText(u"ab\x0B");
  } catch (const DOMException& e) {
    EXPECT_EQ(e.code, DOMException::INVALID_CHARACTER_ERR);
    EXPECT_EQ(std::u16string(e.getMessage()), u"Invalid character 0xB at pos 2.");
    kept = std::current_exception();
  }
  // The message outlives the catch block as long as a copy of the exception does.
  try {
    std::rethrow_exception(kept);
  } catch (const DOMException& e) {
    EXPECT_EQ(std::u16string(e.msg), u"Invalid character 0xB at pos 2.");
  }
  kept = nullptr;
  try {
    tavCheckName(nullptr);
    ADD_FAILURE();
  } catch (const DOMException& e) {
    DOMException copy(e);
    EXPECT_EQ(std::u16string(copy.msg), u"Invalid character 0x0 at pos 0.");
  }
}

// Trace lines, captured from the trace library.
class TraceLines : public ::testing::Test {
 protected:
  void trace(const char* levels) {
    moxSetTrace(levels);
    moxSetSink([this](const std::string& line) { lines += line + "\n"; });
  }
  void TearDown() override {
    moxSetSink({});
    moxSetTrace("");
  }
  std::string lines;
};

TEST_F(TraceLines, NameCheckFailure) {
  trace("QELDOM=0xC0");
  EXPECT_FALSE(qelCheckXmlName(u"1\xE9", std::make_unique<char[]>(100).get()));
  EXPECT_EQ(lines,
            "QELDOM qelCheckXmlName: Entry\n"
            "QELDOM qelCheckXmlName: Args - (1\xC3\xA9)\n"
            "QELDOM invalidCharError: Entry\n"
            "QELDOM invalidCharError: Args - \n"
            "QELDOM invalidCharError: !!! Error - Invalid character 0x31 at pos 0.\n"
            "QELDOM invalidCharError: Exit\n"
            "QELDOM qelCheckXmlName: Exit (0)\n");
}

TEST_F(TraceLines, TextCheckWithoutBufferAndErrorsOnly) {
  trace("QELDOM=0xC0");
  EXPECT_FALSE(
      qelCheckXmlText(u"a\xD800"
                      u"b",
                      2, nullptr));
  EXPECT_EQ(lines,
            "QELDOM qelCheckXmlText: Entry\n"
            "QELDOM qelCheckXmlText: Args - (a\xEF\xBF\xBD)\n"
            "QELDOM qelCheckXmlText: !!! Error - NULL\n"
            "QELDOM qelCheckXmlText: Return - 0\n"
            "QELDOM qelCheckXmlText: Exit\n");
  lines.clear();
  trace("QELDOM=0x80");
  char message[100];
  EXPECT_FALSE(qelCheckXmlEncName(u"9", message));
  EXPECT_TRUE(qelCheckXmlUri(u"x", message));
  EXPECT_EQ(lines, "QELDOM invalidCharError: !!! Error - Invalid character 0x39 at pos 0.\n");
}

TEST_F(TraceLines, EmptyRawNameRaisesWithoutErrorLine) {
  trace("qelRawToXmlName=0xC0");
  try {
    qelRawToXmlName(QelUniString());
    ADD_FAILURE();
  } catch (const QelError& e) {
    EXPECT_EQ(e.getRc(), QELRC_INVALID_IDSTR);
    EXPECT_EQ(e.getOp(), QELOP_REPOSITORY);
    EXPECT_EQ(e.getFlag(), 1u);
    EXPECT_EQ(e.getFunction(), "qelRawToXmlName");
    EXPECT_STREQ(e.getMessage(), "Raw item name is an empty string.");
  }
  EXPECT_EQ(lines, "QELDOM qelRawToXmlName: Entry\nQELDOM qelRawToXmlName: Args - ()\n");
}

std::string toXml(const std::u16string& raw) { return qelRawToXmlName(raw).toString(); }

TEST(RawName, ConversionTable) {
  EXPECT_EQ(toXml(u"abc"), "abc");
  EXPECT_EQ(toXml(u"a-b_c"), "a-b_c");
  EXPECT_EQ(toXml(u"a b"), "a.H20.b");
  EXPECT_EQ(toXml(u"a/b"), "a.H2F.b");
  EXPECT_EQ(toXml(u"a\tb"), "a.H9.b");
  EXPECT_EQ(toXml(u"a!b"), "a.ex.b");
  EXPECT_EQ(toXml(u"x#1"), "x.pd.1");
  EXPECT_EQ(toXml(u"$v"), "_..ds.v");
  EXPECT_EQ(toXml(u"x@"), "x.at.");
  EXPECT_EQ(toXml(u"~t"), "_..td.t");
  EXPECT_EQ(toXml(u"1abc"), "_.1abc");
  EXPECT_EQ(toXml(u"-x"), "_.-x");
  EXPECT_EQ(toXml(u"!"), "_..ex.");
  EXPECT_EQ(toXml(u"a\xD7"
                  u"b"),
            "a.HD7.b");
  EXPECT_EQ(toXml(u"\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  // The full stop and the colon are escaped as well.
  EXPECT_EQ(toXml(u"a.b:c"), "a.dt.b.cn.c");
  EXPECT_EQ(toXml(u":a"), "_..cn.a");
  EXPECT_EQ(toXml(u"_.x"), "_.dt.x");
  EXPECT_EQ(toXml(u"\xD83D\xDE00"), "_..HD83D..HDE00.");
}

TEST(RawName, RoundTripOnRandomNames) {
  const XMLCh alphabet[] = {u'a', u'_', u'.', u':', u'H', u'1',  u'-',   u'!', u'#',   u'$',  u'@',
                            u'~', u' ', 0xB7, 0xD7, 0xE9, 0x300, 0xFFFF, 0,    0xD800, 0xDC00};
  std::mt19937 rng(5);
  for (int round = 0; round < 50000; ++round) {
    std::u16string raw(1 + rng() % 8, u'a');
    for (size_t i = 0; i < raw.size(); ++i) {
      const unsigned pick = rng() % 4;
      if (pick == 0 && i + 1 < raw.size()) {  // an astral character
        const unsigned cp = 0x10000 + rng() % 0x100000;
        raw[i++] = static_cast<XMLCh>(0xD800 + ((cp - 0x10000) >> 10));
        raw[i] = static_cast<XMLCh>(0xDC00 + (cp & 0x3FF));
      } else {
        raw[i] = pick == 1 ? static_cast<XMLCh>(rng() % 0x10000) : alphabet[rng() % 21];
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
