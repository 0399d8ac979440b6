// The runtime stand-ins: code-page converters and locales against ICU's own
// conversions, the once-only slots, message inserts and the trace library.
#include <random>

#include "qelframe.hpp"
#include "test_support.hpp"

using namespace qeltest;

std::u16string textOf(const QelAutoBuffer<XMLCh>& b) { return b ? std::u16string(b.get(), b.size()) : u""; }
std::shared_ptr<LcLocale> localeOf(long number) {
  return {qelNlsGetLocale(number), [](LcLocale* l) { LcReleaseLocale(l, 0); }};
}

// Random texts (with lone surrogates and characters the page lacks) convert
// as ICU converts them, and so do their bytes read back, whole or after a
// random byte. The fast paths of UTF-16 and ISO-8859-1 get texts of their
// range on every other round; UTF-16 in the machine's order (little-endian
// here) is the text itself exactly when ICU's bytes are its units.
TEST(Converter, ConvertsAsIcuDoesOnEveryPageTheLibraryNames) {
  const char16_t* const pieces[] = {u"a<&\"'>\n",    u"\u00E9",       u"abcdefgh\u0080\u009F\u00FF",
                                    u"\u0085\u20AC", u"\u65E5\uFF71", u"\U0001F600",
                                    u"\xD800",       u"\xDC00\xDC00", u"\uFFFF"};
  std::mt19937 rng(7);
  for (const char* cp : {"UTF-8", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "windows-1252", "IBM037", "Shift_JIS"}) {
    SCOPED_TRACE(cp);
    QelNls nls(qelToUnicode(cp).c_str());
    std::vector<char> bytes;  // reused from one conversion to the next
    for (int round = 0; round < 300; ++round) {
      std::u16string text;
      for (int n = int(rng() % 30); n > 0; --n) text += pieces[rng() % (round % 2 ? 3 : std::size(pieces))];
      size_t size = 0;
      const char* got = nls.fromUnicode(text.data(), text.size(), bytes, size);
      const std::string encoded(got, size);
      ASSERT_EQ(encoded, icuConvert<std::string>(cp, text, ucnv_fromUChars)) << "round " << round;
      ASSERT_EQ(got == static_cast<void*>(text.data()),
                cp == std::string("UTF-16LE") && size && encoded == utf16Bytes(text, false));
      for (const std::string& b : {encoded, char(rng()) + encoded})
        ASSERT_EQ(textOf(nls.toUnicode(b.data(), long(b.size()))), icuConvert<std::u16string>(cp, b, ucnv_toUChars));
    }
  }
}

// Every converter ICU lists has a number, and the locale of that number
// converts as the converter opened by name.
TEST(Converter, EveryConverterIsReachedByItsNumber) {
  for (int32_t i = 0; i < ucnv_countAvailable(); ++i) {
    QelNls nls(qelToUnicode(ucnv_getAvailableName(i)).c_str());
    const QelAutoBuffer<char> b = nls.fromUnicode(u"<a b=\"1\">x y</a>\u00E9", -1);
    ASSERT_EQ(textOf(qelNlsToUnicode(b.get(), long(b.size()), localeOf(nls.getCodePageId()).get())),
              textOf(nls.toUnicode(b.get(), long(b.size()))))
        << ucnv_getAvailableName(i);
  }
}

// The numbers of the pages, their own names (the MIME-preferred IANA name)
// and which are EBCDIC (property 86 zero), by name and by number; numbers
// past the last converter's and names no converter has give error 30.
TEST(Converter, PagesHaveTheirNumbersOwnNamesAndFamily) {
  const std::tuple<const char16_t*, int32_t, const char*> cases[] = {
      {u"utf-16le", -1, "UTF-16LE"}, {u"UTF-16BE,version=1", -2, "UTF-16BE"}, {u"utf8", 57352, "UTF-8"},
      {u"ascii", 367, "US-ASCII"},   {u"cp037", 37, "IBM037 EBCDIC"},         {u"cp1252", 5348, "windows-1252"}};
  for (const auto& [name, number, own] : cases) {
    QelNls nls(name);
    const bool ebcdic = LCL1_GetLocaleNumInfo(nls.m_locale, 86, 0) == 0;
    EXPECT_EQ(qelToMbcs(nls.getCodePage()) + (ebcdic ? " EBCDIC" : ""), own);
    EXPECT_TRUE(qelGetCodePage(name)->number == number && nls.getCodePageId() == number &&
                (LCL1_GetLocaleNumInfo(localeOf(number).get(), 86, 0) == 0) == ebcdic)
        << own;
  }
  EXPECT_EQ(QelNls(u"UTF-16LE,version=1").fromUnicode(u"<", -1).size(), 2u);  // no signature
  for (long number : {0L, -3L, 100000L + ucnv_countAvailable(), 99999999L})
    EXPECT_EQ(LcGetError(localeOf(number).get()), QEL_NLS_UNKNOWN_CODEPAGE) << number;
  for (const char16_t* name : {u"no-such", u"", static_cast<const char16_t*>(nullptr)})
    EXPECT_TRUE(!qelGetCodePage(name) && LcGetError(QelNls(name).m_locale) == QEL_NLS_UNKNOWN_CODEPAGE);
}

// Nothing is lost where ICU's escape would drop it: default-ignorable
// characters become references, and so do characters a page maps only one
// way (Shift_JIS would write U+F86F as the bytes of U+2116).
TEST(Converter, IgnorableAndOneWayCharactersBecomeReferences) {
  for (const auto& [page, text, back] :
       {std::tuple(u"ISO-8859-1", u"\u200B\uFEFF\u00AD\U000E0001", u"&#x200B;&#xFEFF;\u00AD&#xE0001;"),
        std::tuple(u"Shift_JIS", u"\u2116\uF86F\u2060", u"\u2116&#xF86F;&#x2060;")}) {
    const QelAutoBuffer<char> out = QelNls(page).fromUnicode(text, -1);
    EXPECT_EQ(textOf(QelNls(page).toUnicode(out.get(), long(out.size()))), back) << qelToMbcs(page);
  }
}

// A lone surrogate becomes U+FFFD, and so does a byte that is no UTF-8.
TEST(Converter, ProcessCodePageIsUtf8) {
  EXPECT_EQ(qelToMbcs(u"a\u0080\U0001F600\xD800z") + qelToMbcs(nullptr), "a\xC2\x80\xF0\x9F\x98\x80\xEF\xBF\xBDz");
  EXPECT_EQ(qelToUnicode("a\xC2\x80\xF0\x9F\x98\x80\xFFz") + qelToUnicode("bc\xC3\xA9", 2),
            u"a\u0080\U0001F600\uFFFDzbc");
}

// --- once-only slots -------------------------------------------------------------------

QelPoolCtrlList s_list;
std::mutex s_lock;
QelPoolCtrl s_slots[2];  // the first initialises, the second records a failure
std::atomic<int> s_inits{0};
int s_object = 42, s_cleanups = 0;

template <int N>
void initSlot() {
  if (s_slots[N].state() != 0) return;  // a recorded failure is raised again by the slot
  ++s_inits;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // lets the other thread reach the lock
  const QelPoolCleanupFn cleanup = [] { s_cleanups += s_slots[N].release() == &s_object; };
  if (N == 0) return s_slots[N].initOk(&s_object, cleanup, s_list, 0);
  s_slots[N].initError(QelErrorFull(21301, "QELRC_DOM_API_ERROR", 101, "QELOP_REPOSITORY", 0, nullptr, 0, 2, 7,
                                    "slotTest", "rev", "tests/test_runtime", "date", "the start failed", nullptr),
                       cleanup, s_list, 0);
}

// The clean-up list releases the object once and empties the slot.
TEST(OnceOnlySlot, TwoRacingThreadsInitialiseOnceAndBothGetTheObject) {
  s_inits = s_cleanups = 0;
  void* got[2] = {};
  race(2, [&](int i) { got[i] = s_slots[0].get(s_lock, initSlot<0>); });
  EXPECT_TRUE(got[0] == &s_object && got[1] == &s_object && s_inits == 1);
  for (int twice = 0; twice < 2; ++twice) s_list.cleanup();
  EXPECT_TRUE(s_cleanups == 1 && s_slots[0].state() == 0);
}

TEST(OnceOnlySlot, RecordedErrorIsRaisedToBothRacersAndEveryLaterCaller) {
  s_inits = 0;
  std::atomic<int> raised{0};
  race(2, [&](int) { raised += errorOf([] { s_slots[1].get(s_lock, initSlot<1>); }).getRc() == 21301; });
  EXPECT_STREQ(errorOf([] { s_slots[1].get(s_lock, initSlot<1>); }).what(), "the start failed");
  EXPECT_TRUE(raised == 2 && s_inits == 1);
  s_list.cleanup();
  EXPECT_EQ(s_slots[1].state(), 0);
}

std::string s_cleanupOrder;
template <char C>
const QelPoolCleanupFn kNote = [] { s_cleanupOrder += C; };

// A ninth function means functions are being made anew: it is refused, and
// a slot whose clean-up cannot be linked stays uninitialised.
TEST(CleanupList, HoldsEightFunctionsAndRunsThemLastFirst) {
  const QelPoolCleanupFn fns[] = {kNote<'0'>, kNote<'1'>, kNote<'2'>, kNote<'3'>, kNote<'4'>,
                                  kNote<'5'>, kNote<'6'>, kNote<'7'>, kNote<'8'>};
  QelPoolCtrlList list;
  QelPoolCtrl slot;
  for (QelPoolCleanupFn fn : fns) list.link(fn == fns[8] ? fns[3] : fn);  // one linked twice: one entry
  expectLibraryError(errorOf([&] { slot.initOk(&s_object, fns[8], list, 0); }), QELRT_POOL_LIST_FULL,
                     "QELRC_POOL_LIST_FULL", "QelPoolCtrlList::link", "runtime/qelpool");
  EXPECT_TRUE(slot.state() == 0 && slot.object() == nullptr);
  s_cleanupOrder.clear();
  list.cleanup(), list.link(fns[8]), list.cleanup();  // room again once the list has run
  EXPECT_EQ(s_cleanupOrder, "765432108");
}

// --- message inserts, trace library ---------------------------------------------------

// An insert's own text is not scanned again; places without an insert stay;
// other percent signs are plain text.
TEST(Insert, SubstReplacesTheNthPlaceByTheNthInsert) {
  const qel_detail::ValueInsert<const char*> a("A"), b("%s"), c("");
  EXPECT_EQ(QelInsert::subst("1 %s 2 %s 3 %s", b, a, c) + "|" + QelInsert::subst("%s%s and %s", a, a) + "|" +
                QelInsert::subst("100% %d %", a) + QelInsert::subst(nullptr, a),
            "1 %s 2 A 3 |AA and %s|100% %d %");
}

TRC1_EPF s_fileA = {0xB4, 0x80000000u, "tests/a", 7, __DATE__, 11, __TIME__, 8, "r", 1, "COMPA", 5, {0, 0, 0}};
TRC1_EPF s_fileB = {0xB4, 0x80000000u, "tests/b", 7, __DATE__, 11, __TIME__, 8, "r", 1, "COMPB", 5, {0, 0, 0}};
std::atomic<uint32_t> s_syncA{1}, s_syncB{1};
TRC1_EPB s_fnA = {&s_fileA, "fnA", 3, 10, &s_syncA, 0x800, {0}, {0}, {0, 0}};
TRC1_EPB s_fnB = {&s_fileA, "fnB", 3, 20, &s_syncA, 0x800, {0}, {0}, {0, 0}};
TRC1_EPB s_fnC = {&s_fileB, "fnC", 3, 30, &s_syncB, 0x800, {0}, {0}, {0, 0}};

std::string levels() {
  return std::to_string(TRC1_Level(&s_fnA) + 1000 * TRC1_Level(&s_fnB)) + "," + std::to_string(TRC1_Level(&s_fnC));
}

// A function's own entry beats its component's, which beats the bare
// number, in any order; a malformed setting changes nothing.
TEST(Trace, LevelsBySettingAndPrecedence) {
  TraceCapture trace;
  for (const auto& [setting, expected] :
       {std::pair("0x40", "64064,64"), std::pair("COMPA=0x10,fnA=0xD0,0x40", "16208,64"), std::pair("  ", "0,0"),
        std::pair(" fnA = 208 ,COMPA=16", "16208,0")}) {
    moxSetTrace(setting);
    EXPECT_EQ(levels(), expected) << setting;
  }
  for (const char* bad :
       {"abc", "f=", "=1", "f=1,", ",1", "f=zz", "1 2", "f=-1", "f=0x100000000", "f-A=1", "f==1", "f=1,,g=1"})
    EXPECT_THROW(moxSetTrace(bad), std::invalid_argument) << bad;
  EXPECT_EQ(levels(), "16208,0");
  moxSetLevel("COMPB", nullptr, 0x80), moxSetLevel(nullptr, "fnB", 0x40);
  EXPECT_EQ(levels(), "64208,128");
}

// Traces fnA and fnC at their levels.
void child() {
  for (TRC1_EPB* r : {&s_fnA, &s_fnC})
    if (TRC1_Level(r) & 0x40)
      (QelTraceStream().getOs(r, 1) << "Flow - " << 42 << std::flush, TRC1_Event(r, 2, r == &s_fnA ? 0 : 1, -5));
  std::_Exit(0);
}

// The environment is read when the library is loaded: the child runs in a
// fresh process started with the variables given. Lines name the component
// and the function; a trace file that cannot be opened leaves them on
// standard error.
TEST(Trace, EnvironmentIsReadAtLoad) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string file = testing::TempDir() + "qeldom-trace-" + std::to_string(getpid());
  for (const auto& [trace, path, output] :
       {std::tuple("fnA=0x40", "/no/t.log", "^mox: [^\n]*\nCOMPA fnA: Flow - 42\nCOMPA fnA: Entry\n$"),
        std::tuple("0x40", file.c_str(), "^$"),
        std::tuple("fnA=bogus", "", "^mox: ignoring QEL_TRACE \"fnA=bogus\"[^\n]*\n$")}) {
    setenv("QEL_TRACE", trace, 1), setenv("QEL_TRACE_FILE", path, 1);
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), output) << trace;
  }
  unsetenv("QEL_TRACE"), unsetenv("QEL_TRACE_FILE");
  EXPECT_EQ(readFile(file), "COMPA fnA: Flow - 42\nCOMPA fnA: Entry\nCOMPB fnC: Flow - 42\nCOMPB fnC: Exit (-5)\n");
  std::remove(file.c_str());
}
