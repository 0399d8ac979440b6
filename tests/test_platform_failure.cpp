// A failed start of Xerces-C. The slot remembers the failure for the life of
// the process, so every case runs in a fresh process of its own.
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/util/PanicHandler.hpp>

#include "qelnewrl.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

enum class Failure { panic, xmlException, outOfMemory };
static Failure s_failure = Failure::panic;
static std::atomic<int> s_starts{0};
static std::string s_xercesMessage;  // the text of the XMLException thrown

// Takes the place of Xerces-C's start for libqeldom.so (the program exports
// it, frame.cmake) and fails as the case asks: through the panic handler it
// was given, with an XMLException carrying Xerces-C's own message, or for
// want of memory, Xerces-C's own start left half done.
void XMLPlatformUtils::Initialize(const char* const l, const char* const n, PanicHandler* const p,
                                  MemoryManager* const m) {
  ++s_starts;
  if (s_failure == Failure::panic && p) p->panic(PanicHandler::Panic_NoTransService);
  if (s_failure == Failure::outOfMemory) QelNewRelay::failAfter(1);  // Xerces-C allocates through the relay
  struct Reset {
    ~Reset() { QelNewRelay::failAfter(0); }
  } reset;
  static MemoryManagerImpl memory;  // outlives Xerces-C's own memory manager
  realInitialize(l, n, p, m);
  if (s_failure != Failure::xmlException) std::_Exit(3);  // the failure did not stop the start
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &memory);
  s_xercesMessage = qelToMbcs(failure.getMessage());
  realTerminate();
  throw failure;
}

namespace {

// The first call raises the failure, traced at the levels set; every later
// caller gets the recorded error without a new start.
TEST(PlatformFailure, IsRaisedToTheFirstCallerAndAgainToEveryLaterOne) {
  const struct {
    Failure failure;
    unsigned level;
  } cases[] = {{Failure::panic, 0x00},      {Failure::panic, 0x40},        {Failure::panic, 0x80},
               {Failure::panic, 0xC0},      {Failure::xmlException, 0x00}, {Failure::xmlException, 0xD0},
               {Failure::outOfMemory, 0xC0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("failure " + std::to_string(static_cast<int>(c.failure)) + " level " + std::to_string(c.level));
    inFreshProcess([&] {
      s_failure = c.failure;
      TraceCapture trace("tavDomInit=" + std::to_string(c.level));
      const QelError error = errorOf([] { tavDomInit(); });
      const std::string first = error.what();
      expectLibraryError(error, 21301, "QELRC_DOM_API_ERROR", "tavDomInit", "qeldom/qeldom");
      const std::string why = c.failure == Failure::panic
                                  ? PanicHandler::getPanicReasonString(PanicHandler::Panic_NoTransService)
                              : c.failure == Failure::outOfMemory ? "out of memory"
                                                                  : s_xercesMessage;
      EXPECT_EQ(first, "XERCES initialization error: " + why);
      Lines expected;
      if (c.level & 0x40) expected = {"QELDOM tavDomInit: Entry", "QELDOM tavDomInit: Args - "};
      if (c.level & 0x80) expected.push_back("QELDOM tavDomInit: !!! Error - " + first);
      EXPECT_EQ(trace.lines, expected);
      trace.lines.clear();
      EXPECT_STREQ(errorOf([] { tavDomInit(); }).what(), first.c_str());
      EXPECT_STREQ(errorOf([] { tavCreateDoc(u"r"); }).what(), first.c_str());
      EXPECT_EQ(s_starts.load(), 1);
      EXPECT_FALSE(trace.has("tavDomInit: Entry"));
    });
  }
}

}  // namespace
