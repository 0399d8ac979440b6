// The runtime stand-ins: code-page converters and locales on ICU, the
// once-only slots, message inserts and the trace library.
#include <unicode/ucnv.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "nyl.hpp"
#include "test_support.hpp"

using namespace qeltest;

namespace {

std::string bytesOf(const QelAutoBuffer<char>& b) { return b ? std::string(b.get(), b.size()) : std::string(); }
std::u16string textOf(const QelAutoBuffer<XMLCh>& b) { return b ? std::u16string(b.get(), b.size()) : u""; }

// --- converters -------------------------------------------------------------------------

struct Sample {
  const char16_t* name;
  std::u16string text;
  std::string bytes;
};

// One text per code page, chosen to hit the bytes where the pages differ.
const Sample kSamples[] = {
    {u"UTF-8", u"<\u00E9\u20AC\U0001F600>", "\x3C\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x3E"},
    {u"UTF-16LE", u"<\u00E9\u20AC\U0001F600>", std::string("\x3C\x00\xE9\x00\xAC\x20\x3D\xD8\x00\xDE\x3E\x00", 12)},
    {u"UTF-16BE", u"<\u00E9\u20AC\U0001F600>", std::string("\x00\x3C\x00\xE9\x20\xAC\xD8\x3D\xDE\x00\x00\x3E", 12)},
    // The forms that would write a signature write none: that is the writer's.
    {u"UTF-16LE,version=1", u"<\u00E9>", std::string("\x3C\x00\xE9\x00\x3E\x00", 6)},
    {u"ISO-8859-1", u"<\u00E9\u00FF\u0080>", "\x3C\xE9\xFF\x80\x3E"},
    {u"windows-1252", u"<\u00E9\u20AC\u2019>", "\x3C\xE9\x80\x92\x3E"},
    // '[', '!' and ']' sit at different bytes in the two EBCDIC pages; line
    // feed is 0x25 and next line 0x15 in both.
    {u"IBM037", u"<a1 \u00E9[!]\n\u0085>", "\x4C\x81\xF1\x40\x51\xBA\x5A\xBB\x25\x15\x6E"},
    {u"IBM500", u"<a1 \u00E9[!]\n\u0085>", "\x4C\x81\xF1\x40\x51\x4A\x4F\x5A\x25\x15\x6E"},
    {u"Shift_JIS", u"<\u65E5\u672C\uFF71>", "\x3C\x93\xFA\x96\x7B\xB1\x3E"},
};

TEST(Converter, EncodesAndDecodesByteExactOnEveryPageTheLibraryNames) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(qelToMbcs(s.name));
    QelNls nls(s.name);
    ASSERT_EQ(LcGetError(nls.m_locale), 0);
    QelAutoBuffer<char> out = nls.fromUnicode(s.text.c_str(), -1);
    EXPECT_EQ(hex(bytesOf(out)), hex(s.bytes));
    QelAutoBuffer<char> counted = nls.fromUnicode(s.text.c_str(), static_cast<long>(s.text.size()));
    EXPECT_EQ(hex(bytesOf(counted)), hex(s.bytes));

    QelAutoBuffer<XMLCh> back = nls.toUnicode(s.bytes.data(), static_cast<long>(s.bytes.size()));
    EXPECT_EQ(textOf(back), s.text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.get()[back.size()], 0) << "decoded text is zero-terminated";

    // The same decoding through the locale of the page's number.
    LcLocale* locale = qelNlsGetLocale(nls.getCodePageId());
    ASSERT_EQ(LcGetError(locale), 0);
    EXPECT_EQ(textOf(qelNlsToUnicode(s.bytes.data(), static_cast<long>(s.bytes.size()), locale)), s.text);
    LcReleaseLocale(locale, 0);
  }
}

// The number of each named page, and (where given) the page's own name: the
// MIME-preferred IANA name.
TEST(Converter, NumbersAndOwnNamesOfTheNamedPages) {
  const struct {
    const char16_t* name;
    int32_t number;
    const char16_t* own;
  } cases[] = {{u"UTF-16LE", -1, nullptr},       {u"utf-16le", -1, u"UTF-16LE"},     {u"UTF-16BE", -2, nullptr},
               {u"UTF-8", 57352, nullptr},       {u"utf8", 57352, u"UTF-8"},         {u"IBM037", 37, nullptr},
               {u"cp037", 37, u"IBM037"},        {u"EBCDIC-CP-US", 37, nullptr},     {u"US-ASCII", 367, nullptr},
               {u"ascii", 367, nullptr},         {u"ISO-8859-1", 819, nullptr},      {u"latin1", 819, u"ISO-8859-1"},
               {u"windows-1252", 5348, nullptr}, {u"cp1252", 5348, u"windows-1252"}, {u"IBM500", 500, nullptr},
               {u"ibm-500", 500, u"IBM500"},     {u"Shift_JIS", 943, nullptr},       {u"sjis", 943, u"Shift_JIS"},
               {u"IBM1047", 1047, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(qelToMbcs(c.name));
    std::unique_ptr<QelCodePage> page = qelGetCodePage(c.name);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->number, c.number);
    QelNls nls(c.name);
    EXPECT_EQ(nls.getCodePageId(), c.number);
    if (c.own) {
      EXPECT_EQ(std::u16string(nls.getCodePage()), c.own);
    }
  }
  EXPECT_FALSE(qelGetCodePage(u"no-such-codepage"));
  EXPECT_FALSE(qelGetCodePage(u""));
  EXPECT_FALSE(qelGetCodePage(nullptr));
}

// Every converter ICU lists has a number, and the locale of that number
// converts the same way as the converter opened by name.
TEST(Converter, NumberToLocaleRoundTripOverEveryConverter) {
  const std::u16string text = u"<a b=\"1\">x y</a>\u00E9";
  int32_t count = ucnv_countAvailable();
  ASSERT_GT(count, 100);
  int checked = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = ucnv_getAvailableName(i);
    SCOPED_TRACE(name);
    std::u16string name16 = qelToUnicode(name);
    std::unique_ptr<QelCodePage> page = qelGetCodePage(name16.c_str());
    ASSERT_TRUE(page);
    QelNls nls(name16.c_str());
    ASSERT_EQ(LcGetError(nls.m_locale), 0);
    EXPECT_EQ(nls.getCodePageId(), page->number);

    LcLocale* locale = qelNlsGetLocale(page->number);
    EXPECT_EQ(LcGetError(locale), 0) << "number " << page->number;
    if (LcGetError(locale) == 0) {
      QelAutoBuffer<char> bytes = nls.fromUnicode(text.c_str(), -1);
      std::u16string byName = textOf(nls.toUnicode(bytes.get(), static_cast<long>(bytes.size())));
      std::u16string byNumber = textOf(qelNlsToUnicode(bytes.get(), static_cast<long>(bytes.size()), locale));
      EXPECT_EQ(qelToMbcs(byNumber.c_str()), qelToMbcs(byName.c_str())) << "number " << page->number;
      ++checked;
    }
    LcReleaseLocale(locale, 0);
  }
  EXPECT_EQ(checked, count);
}

TEST(Converter, UnknownNumberOrNameGivesError30AndItsText) {
  for (long number : {0L, -3L, 99999999L, 123456L}) {
    LcLocale* locale = qelNlsGetLocale(number);
    EXPECT_EQ(LcGetError(locale), QEL_NLS_UNKNOWN_CODEPAGE) << number;
    LcReleaseLocale(locale, 0);
  }
  for (const char16_t* name : {u"no-such-codepage", u"", static_cast<const char16_t*>(nullptr)}) {
    QelNls nls(name);
    EXPECT_EQ(LcGetError(nls.m_locale), 30);
    EXPECT_FALSE(nls.fromUnicode(u"abc", -1)) << "no bytes from a converter that does not exist";
  }
  std::string text = QelNls::getErrorMsg(30);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text, QelNls::getErrorMsg(0));
  EXPECT_NE(text, QelNls::getErrorMsg(12345));
  EXPECT_NE(QelNls::getErrorMsg(12345).find("12345"), std::string::npos);
}

TEST(Converter, Property86IsZeroExactlyForEbcdicPages) {
  for (bool ebcdic : {true, false}) {
    for (const char16_t* name :
         ebcdic ? std::vector<const char16_t*>{u"IBM037", u"IBM500", u"IBM1047", u"IBM273", u"IBM285", u"IBM297",
                                               u"IBM871", u"IBM01140", u"IBM01141", u"IBM01148", u"ibm-930"}
                : std::vector<const char16_t*>{u"UTF-8", u"UTF-16LE", u"UTF-16BE", u"UTF-32", u"US-ASCII",
                                               u"ISO-8859-1", u"windows-1252", u"Shift_JIS", u"EUC-JP", u"GB18030",
                                               u"KOI8-R", u"ISO-2022-JP"}) {
      QelNls nls(name);
      ASSERT_EQ(LcGetError(nls.m_locale), 0) << qelToMbcs(name);
      EXPECT_EQ(LCL1_GetLocaleNumInfo(nls.m_locale, 86, 0) == 0, ebcdic) << qelToMbcs(name);
    }
    // The same through the locales of the numbers.
    for (long number : ebcdic ? std::vector<long>{37, 500, 1047} : std::vector<long>{-1, -2, 57352, 367, 819, 5348}) {
      LcLocale* locale = qelNlsGetLocale(number);
      EXPECT_EQ(LCL1_GetLocaleNumInfo(locale, 86, 0) == 0, ebcdic) << number;
      LcReleaseLocale(locale, 0);
    }
  }
  EXPECT_NE(LCL1_GetLocaleNumInfo(LCL1_PrivateFunction_GetProcessLocale(), 86, 0), 0);
}

// Characters a page cannot hold become XML hexadecimal references, written in
// the page's own bytes; decoding the references gives the text back.
TEST(Converter, UnencodableCharactersBecomeHexReferences) {
  QelNls latin1(u"ISO-8859-1");
  EXPECT_EQ(bytesOf(latin1.fromUnicode(u"a\u20ACb\U0001F600c", -1)), "a&#x20AC;b&#x1F600;c");
  QelNls ascii(u"US-ASCII");
  EXPECT_EQ(bytesOf(ascii.fromUnicode(u"\u00E9", -1)), "&#xE9;");
  QelNls sjis(u"Shift_JIS");
  EXPECT_EQ(bytesOf(sjis.fromUnicode(u"x\u00E9", -1)), "x&#xE9;");

  // IBM037: "a" then "&#x20AC;" in EBCDIC.
  QelNls ebcdic(u"IBM037");
  std::string bytes = bytesOf(ebcdic.fromUnicode(u"a\u20AC", -1));
  EXPECT_EQ(hex(bytes), hex("\x81\x50\x7B\xA7\xF2\xF0\xC1\xC3\x5E"));
  EXPECT_EQ(textOf(ebcdic.toUnicode(bytes.data(), static_cast<long>(bytes.size()))), u"a&#x20AC;");

  // Nothing is lost: default-ignorable characters become references too, and
  // so do characters a page maps only one way (Shift_JIS would write U+F86F
  // as the bytes of U+2116).
  struct Lossless {
    const char16_t* page;
    std::u16string text, back;
  };
  for (const Lossless& c : {Lossless{u"ISO-8859-1", u"a\uFEFF\u200B\u2060\u00ADb", u"a&#xFEFF;&#x200B;&#x2060;\u00ADb"},
                            Lossless{u"US-ASCII", u"\u00AD\U000E0001", u"&#xAD;&#xE0001;"},
                            Lossless{u"IBM037", u"\uFEFF\uFF21", u"&#xFEFF;&#xFF21;"},
                            Lossless{u"Shift_JIS", u"\uF86F\u2116\uFEFF", u"&#xF86F;\u2116&#xFEFF;"}}) {
    QelNls nls(c.page);
    QelAutoBuffer<char> out = nls.fromUnicode(c.text.c_str(), -1);
    EXPECT_EQ(textOf(nls.toUnicode(out.get(), static_cast<long>(out.size()))), c.back) << qelToMbcs(c.page);
  }

  // A long run of references grows the output beyond the first estimate.
  std::u16string many(5000, u'\u4E00');
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "&#x4E00;";
  EXPECT_EQ(bytesOf(latin1.fromUnicode(many.c_str(), static_cast<long>(many.size()))), expected);
}

// UTF-16 and ISO-8859-1 output skip ICU where the text allows: they must
// give ICU's bytes, lone surrogates and characters beyond the code page
// (written as references) included, and through a byte buffer reused from one
// call to the next.
TEST(Converter, OutputWithoutIcuEqualsIcusOwnConversion) {
  // The first three pieces lie below U+0100: every other round uses only those.
  // (ICU's escape callback drops U+FEFF, which the converter keeps: not here.)
  const char16_t* const pieces[] = {u"a",      u"\u00E9",     u"abcdefgh\u0080\u009F\u00FF",
                                    u"\u0100", u"\U0001F600", u"\xD800",
                                    u"\xDFFF", u"\uFFFF",     u"\u0101"};
  std::mt19937 rng(7);
  for (const char* name : {"UTF-16LE", "UTF-16BE", "ISO-8859-1"}) {
    QelNls nls(qelToUnicode(name).c_str());
    UErrorCode err = U_ZERO_ERROR;
    UConverter* icu = ucnv_open(name, &err);
    ucnv_setFromUCallBack(icu, UCNV_FROM_U_CALLBACK_ESCAPE, UCNV_ESCAPE_XML_HEX, nullptr, nullptr, &err);
    ASSERT_TRUE(U_SUCCESS(err));
    std::vector<char> reused;
    for (int round = 0; round < 300; ++round) {
      std::u16string text;
      for (int n = static_cast<int>(rng() % 30); n > 0; --n) text += pieces[rng() % (round % 2 ? 3 : 9)];
      std::string expected(text.size() * 20 + 8, '\0');
      err = U_ZERO_ERROR;
      expected.resize(static_cast<size_t>(ucnv_fromUChars(icu, expected.data(), static_cast<int32_t>(expected.size()),
                                                          text.data(), static_cast<int32_t>(text.size()), &err)));
      SCOPED_TRACE(std::string(name) + " round " + std::to_string(round));
      EXPECT_EQ(hex(bytesOf(nls.fromUnicode(text.data(), static_cast<long>(text.size())))), hex(expected));
      size_t size = 0;
      const char* bytes = nls.fromUnicode(text.data(), text.size(), reused, size);
      EXPECT_EQ(hex(std::string(bytes, size)), hex(expected));
    }
    ucnv_close(icu);
  }
}

TEST(Converter, InvalidInputBytesAreSubstitutedNotDropped) {
  QelNls utf8(u"UTF-8");
  std::u16string text =
      textOf(utf8.toUnicode("a\xFF"
                            "b\xC3",
                            4));
  EXPECT_EQ(text, u"a\uFFFDb\uFFFD");
  QelNls sjis(u"Shift_JIS");
  std::u16string jis = textOf(sjis.toUnicode("a\x81\x20z", 4));
  ASSERT_GE(jis.size(), 3u);
  EXPECT_EQ(jis.front(), u'a');
  EXPECT_EQ(jis.back(), u'z');
  EXPECT_NE(jis.find_first_of(u"\uFFFD\u001A"), std::u16string::npos);
}

TEST(Converter, ProcessCodePageIsUtf8) {
  const std::u16string text = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(qelToMbcs(text.c_str()), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(qelToUnicode("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), text);
  EXPECT_EQ(qelToMbcs(text.c_str(), 2), "a\xC3\xA9");
  EXPECT_EQ(qelToUnicode("abc\xC3\xA9", 3), u"abc");
  EXPECT_EQ(qelToMbcs(nullptr), "");
  EXPECT_EQ(qelToUnicode(nullptr), u"");
  // A lone surrogate is replaced, never dropped.
  EXPECT_EQ(qelToMbcs(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(qelToUnicode("a\xFFz"), u"a\uFFFDz");
  EXPECT_EQ(qelToUpper(u"stra\u00DFe"), u"STRASSE");
  EXPECT_EQ(textOf(qelNlsToUnicode("\xC3\xA9", -1, LCL1_PrivateFunction_GetProcessLocale())), u"\u00E9");
}

// --- once-only slots ------------------------------------------------------------------

QelPoolCtrlList s_list;
std::mutex s_lock;
QelPoolCtrl s_okSlot;
QelPoolCtrl s_errorSlot;
std::atomic<int> s_okInits{0};
std::atomic<int> s_errorInits{0};
int s_object = 42;
int s_okCleanups = 0;

void okCleanup() {
  if (s_okSlot.release()) ++s_okCleanups;
}
void okInit() {
  if (s_okSlot.state() != 0) return;
  ++s_okInits;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the other thread reach the lock
  s_okSlot.initOk(&s_object, okCleanup, s_list, 0);
}
void errorCleanup() { s_errorSlot.release(); }
void errorInit() {
  if (s_errorSlot.state() != 0) return;
  ++s_errorInits;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  s_errorSlot.initError(QelErrorFull(21301, "QELRC_DOM_API_ERROR", 101, "QELOP_REPOSITORY", 0, nullptr, 0, 2, 7,
                                     "slotTest", "rev", "tests/test_runtime", "date", "the start failed", nullptr),
                        errorCleanup, s_list, 0);
}

TEST(OnceOnlySlot, TwoRacingThreadsInitialiseOnceAndBothGetTheObject) {
  s_okInits = 0;
  s_okCleanups = 0;
  void* got[2] = {};
  race(2, [&](int i) { got[i] = s_okSlot.get(s_lock, okInit); });
  EXPECT_EQ(s_okInits.load(), 1);
  EXPECT_EQ(got[0], &s_object);
  EXPECT_EQ(got[1], &s_object);
  EXPECT_EQ(s_okSlot.state(), 1);
  EXPECT_EQ(s_okSlot.get(s_lock, okInit), &s_object);
  EXPECT_EQ(s_okInits.load(), 1);

  // The clean-up list releases the object once; afterwards the slot starts over.
  s_list.cleanup();
  s_list.cleanup();
  EXPECT_EQ(s_okCleanups, 1);
  EXPECT_EQ(s_okSlot.state(), 0);
  EXPECT_EQ(s_okSlot.get(s_lock, okInit), &s_object);
  EXPECT_EQ(s_okInits.load(), 2);
  s_list.cleanup();
}

TEST(OnceOnlySlot, RecordedErrorIsRaisedToBothRacersAndEveryLaterCaller) {
  s_errorInits = 0;
  std::atomic<int> raised{0};
  race(2, [&](int) {
    try {
      s_errorSlot.get(s_lock, errorInit);
    } catch (const QelError& e) {
      if (e.getRc() == 21301 && std::string(e.what()) == "the start failed") raised.fetch_add(1);
    }
  });
  EXPECT_EQ(raised.load(), 2);
  EXPECT_EQ(s_errorInits.load(), 1);
  for (int i = 0; i < 3; ++i) {
    try {
      s_errorSlot.get(s_lock, errorInit);
      ADD_FAILURE() << "no error raised";
    } catch (const QelError& e) {
      EXPECT_EQ(e.getRc(), 21301);
      EXPECT_EQ(e.getRcName(), "QELRC_DOM_API_ERROR");
      EXPECT_EQ(e.getFunction(), "slotTest");
      EXPECT_STREQ(e.what(), "the start failed");
    }
  }
  EXPECT_EQ(s_errorInits.load(), 1);
  s_list.cleanup();
}

std::vector<int> s_cleanupOrder;
template <int N>
void noteCleanup() {
  s_cleanupOrder.push_back(N);
}
const QelPoolCleanupFn s_cleanups[] = {noteCleanup<0>, noteCleanup<1>, noteCleanup<2>, noteCleanup<3>, noteCleanup<4>,
                                       noteCleanup<5>, noteCleanup<6>, noteCleanup<7>, noteCleanup<8>};

TEST(CleanupList, HoldsEightFunctionsAndRaisesOnANinthWithoutLinkingIt) {
  s_cleanupOrder.clear();
  QelPoolCtrlList list;
  for (int i = 0; i < 8; ++i) list.link(s_cleanups[i]);
  list.link(s_cleanups[3]);  // linked already: no second entry, no error
  QelError full = errorOf([&] { list.link(s_cleanups[8]); });
  expectLibraryError(full, QELRT_POOL_LIST_FULL, "QELRC_POOL_LIST_FULL", "QelPoolCtrlList::link", "runtime/qelpool");

  // A slot whose clean-up cannot be linked stays uninitialised.
  QelPoolCtrl slot;
  int object = 0;
  EXPECT_EQ(errorOf([&] { slot.initOk(&object, s_cleanups[8], list, 0); }).getRc(), QELRT_POOL_LIST_FULL);
  EXPECT_EQ(slot.state(), 0);
  EXPECT_EQ(slot.object(), nullptr);

  list.cleanup();
  EXPECT_EQ(s_cleanupOrder, (std::vector<int>{7, 6, 5, 4, 3, 2, 1, 0}));
  list.link(s_cleanups[8]);  // room again once the list has run
  list.cleanup();
  EXPECT_EQ(s_cleanupOrder.back(), 8);
}

// --- message inserts --------------------------------------------------------------------

class TextInsert : public QelInsert {
 public:
  explicit TextInsert(std::string text) : m_text(std::move(text)) {}
  void appendTo(std::string& target) const override { target += m_text; }

 private:
  std::string m_text;
};

TEST(Insert, SubstReplacesTheNthPlaceByTheNthInsert) {
  TextInsert a("A"), b("%s"), c("");
  EXPECT_EQ(QelInsert::subst("x%sy", a), "xAy");
  EXPECT_EQ(QelInsert::subst("%s%s", a, a), "AA");
  // An insert's own text is not scanned again.
  EXPECT_EQ(QelInsert::subst("1 %s 2 %s 3 %s", b, a, c), "1 %s 2 A 3 ");
  // Places without an insert stay; other percent signs are plain text.
  EXPECT_EQ(QelInsert::subst("%s and %s", a), "A and %s");
  EXPECT_EQ(QelInsert::subst("100% %d %", a), "100% %d %");
  EXPECT_EQ(QelInsert::subst("end %", a), "end %");
  EXPECT_EQ(QelInsert::subst("", a), "");
  EXPECT_EQ(QelInsert::subst(nullptr, a), "");
}

// --- trace library ----------------------------------------------------------------------

TRC1_EPF s_fileA = {0xB4, 0x80000000u, "tests/a", 7, __DATE__, 11, __TIME__, 8, "r", 1, "COMPA", 5, {0, 0, 0}};
TRC1_EPF s_fileB = {0xB4, 0x80000000u, "tests/b", 7, __DATE__, 11, __TIME__, 8, "r", 1, "COMPB", 5, {0, 0, 0}};
std::atomic<uint32_t> s_syncA{1};
std::atomic<uint32_t> s_syncB{1};
TRC1_EPB s_fnA = {&s_fileA, "fnA", 3, 10, &s_syncA, 0x800, {0}, {0}, {0, 0}};
TRC1_EPB s_fnB = {&s_fileA, "fnB", 3, 20, &s_syncA, 0x800, {0}, {0}, {0, 0}};
TRC1_EPB s_fnC = {&s_fileB, "fnC", 3, 30, &s_syncB, 0x800, {0}, {0}, {0, 0}};

class Trace : public ::testing::Test {
 protected:
  TraceCapture trace;
};

TEST_F(Trace, LevelSelectionAndPrecedence) {
  moxSetTrace("0x40");
  EXPECT_EQ(TRC1_Level(&s_fnA), 0x40u);
  EXPECT_EQ(TRC1_Level(&s_fnC), 0x40u);

  moxSetTrace("fnA=0x80");
  EXPECT_EQ(TRC1_Level(&s_fnA), 0x80u);
  EXPECT_EQ(TRC1_Level(&s_fnB), 0u);

  // A function's own entry beats its component's, which beats the bare
  // number; the order in the text does not matter.
  for (const char* levels : {"COMPA=0x10,fnA=0xD0,0x40", "0x40, fnA = 0xD0 ,COMPA=0x10", "fnA=208,COMPA=16,64"}) {
    SCOPED_TRACE(levels);
    moxSetTrace(levels);
    EXPECT_EQ(TRC1_Level(&s_fnA), 0xD0u);
    EXPECT_EQ(TRC1_Level(&s_fnB), 0x10u);
    EXPECT_EQ(TRC1_Level(&s_fnC), 0x40u);
  }

  moxSetTrace("");
  EXPECT_EQ(TRC1_Level(&s_fnA), 0u);
  moxSetLevel("COMPB", nullptr, 0x80);
  moxSetLevel(nullptr, "fnB", 0x40);
  EXPECT_EQ(TRC1_Level(&s_fnC), 0x80u);
  EXPECT_EQ(TRC1_Level(&s_fnB), 0x40u);
  EXPECT_EQ(TRC1_Level(&s_fnA), 0u);
}

TEST_F(Trace, MalformedSpecsThrowAndLeaveTheLevelsUnchanged) {
  moxSetTrace("fnA=0x40");
  for (const char* levels : {"abc", "fnA=", "=0x40", "fnA=0x40,", ",0x40", "fnA=zz", "0x40 0x80", "fnA=-1",
                             "fnA=0x100000000", "fn-A=1", "fnA==1", "fnA=0x40,,fnB=1"}) {
    EXPECT_THROW(moxSetTrace(levels), std::invalid_argument) << levels;
    EXPECT_EQ(TRC1_Level(&s_fnA), 0x40u) << levels;
    EXPECT_EQ(TRC1_Level(&s_fnB), 0u) << levels;
  }
  EXPECT_NO_THROW(moxSetTrace("  "));
  EXPECT_EQ(TRC1_Level(&s_fnA), 0u);
}

TEST_F(Trace, LineAndEventFormat) {
  {
    QelTraceStream stream;
    stream.getOs(&s_fnA, 11) << "Flow - "
                             << "The passed node is NULL" << std::flush;
    stream.getOs(&s_fnA, 12) << "Args - " << std::flush;
    stream.getOs(&s_fnC, 13) << "State - " << 42 << std::flush;
    std::string target = "x=";
    stream.getOs(target) << 7 << std::flush;
    EXPECT_EQ(target, "x=7");
  }
  TRC1_Event(&s_fnA, 1, 0);
  TRC1_Event(&s_fnA, 2, 2);
  TRC1_Event(&s_fnB, 3, 1, 1);
  TRC1_Event(&s_fnB, 4, 1, -5);
  std::vector<std::string> expected = {"COMPA fnA: Flow - The passed node is NULL",
                                       "COMPA fnA: Args - ",
                                       "COMPB fnC: State - 42",
                                       "COMPA fnA: Entry",
                                       "COMPA fnA: Exit",
                                       "COMPA fnB: Exit (1)",
                                       "COMPA fnB: Exit (-5)"};
  EXPECT_EQ(trace.lines(), expected);
}

TEST_F(Trace, OutputFileThatCannotBeOpenedFallsBackToStandardError) {
  moxSetSink(nullptr);
  ::testing::internal::CaptureStderr();
  moxSetOutputFile("/nonexistent-dir/trace.log");
  moxWriteLine(&s_fnA, 1, "Flow - after the fallback");
  std::string err = ::testing::internal::GetCapturedStderr();
  moxSetOutputFile(nullptr);
  EXPECT_NE(err.find("/nonexistent-dir/trace.log"), std::string::npos) << err;
  EXPECT_NE(err.find("COMPA fnA: Flow - after the fallback\n"), std::string::npos) << err;
}

// --- the trace library's environment, seen from a fresh process ------------------------

// Runs this program's DISABLED_Child test with the environment given and
// returns what it wrote to standard error.
std::string runChild(const std::string& environment) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return "no path of the program";
  return commandOutput("env " + environment + " '" + self +
                       "' --gtest_also_run_disabled_tests --gtest_filter=TraceEnv.DISABLED_Child 2>&1 >/dev/null");
}

size_t countOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1)) ++count;
  return count;
}

TEST(TraceEnv, DISABLED_Child) {
  for (TRC1_EPB* record : {&s_fnA, &s_fnC}) {
    if (TRC1_Level(record) & 0x40) {
      QelTraceStream stream;
      stream.getOs(record, 1) << "Flow - child line" << std::flush;
      TRC1_Event(record, 2, 2);
    }
  }
}

TEST(TraceEnv, VariablesAreReadAtLoad) {
  std::string err = runChild("QEL_TRACE=fnA=0x40 QEL_TRACE_FILE=/nonexistent-dir/t.log");
  EXPECT_EQ(countOf(err, "/nonexistent-dir/t.log"), 1u) << err;
  EXPECT_EQ(countOf(err, "COMPA fnA: Flow - child line\n"), 1u) << err;
  EXPECT_EQ(countOf(err, "COMPA fnA: Exit\n"), 1u) << err;
  EXPECT_EQ(countOf(err, "fnC"), 0u) << err;

  char file[] = "/tmp/qeldom-trace-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  err = runChild(std::string("QEL_TRACE=0x40 QEL_TRACE_FILE=") + file);
  std::string written = readFile(file);
  std::remove(file);
  EXPECT_EQ(countOf(err, "child line"), 0u) << err;
  EXPECT_EQ(written, "COMPA fnA: Flow - child line\nCOMPA fnA: Exit\nCOMPB fnC: Flow - child line\nCOMPB fnC: Exit\n");

  err = runChild("QEL_TRACE=fnA=bogus");
  EXPECT_NE(err.find("QEL_TRACE"), std::string::npos) << err;
  EXPECT_EQ(countOf(err, "child line"), 0u) << err;
}

}  // namespace
