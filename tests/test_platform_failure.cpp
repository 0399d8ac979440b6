// A failed start of Xerces-C. The slot remembers the failure for the life of
// the process, so every scenario runs in a fresh child process of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/util/PanicHandler.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "qelnewrl.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

enum class Failure { panic, xmlException, outOfMemory };
Failure s_failure = Failure::panic;
std::atomic<int> s_initializeCalls{0};
MemoryManagerImpl s_exceptionMemory;  // outlives Xerces-C's own memory manager

// Xerces-C's own start and end, past the stand-in below.
void realInitialize(const char* locale, const char* nlsHome, PanicHandler* panicHandler, MemoryManager* memoryManager) {
  using Fn = void (*)(const char*, const char*, PanicHandler*, MemoryManager*);
  reinterpret_cast<Fn>(
      dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils10InitializeEPKcS2_PNS_12PanicHandlerEPNS_13MemoryManagerE"))(
      locale, nlsHome, panicHandler, memoryManager);
}
void realTerminate() {
  using Fn = void (*)();
  reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils9TerminateEv"))();
}

}  // namespace

// Takes the place of Xerces-C's start for libqeldom.so (the program exports
// it, see frame.cmake) and fails the way the scenario asks: through the
// panic handler it was given, with an XMLException carrying Xerces-C's own
// message, or for want of memory, Xerces-C's own start left half done.
void XERCES_CPP_NAMESPACE::XMLPlatformUtils::Initialize(const char* const locale, const char* const nlsHome,
                                                        PanicHandler* const panicHandler,
                                                        MemoryManager* const memoryManager) {
  ++s_initializeCalls;
  if (s_failure == Failure::panic) {
    if (panicHandler) panicHandler->panic(PanicHandler::Panic_NoTransService);
    std::fprintf(stderr, "no panic handler was installed, or it returned\n");
    std::exit(3);
  }
  if (s_failure == Failure::outOfMemory) {
    QelNewRelay::failAfter(1);  // Xerces-C allocates through the library's relay
    try {
      realInitialize(locale, nlsHome, panicHandler, memoryManager);
    } catch (...) {
      QelNewRelay::failAfter(0);
      throw;
    }
    std::fprintf(stderr, "Xerces-C started without memory\n");
    std::exit(3);
  }
  realInitialize(locale, nlsHome, panicHandler, memoryManager);
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &s_exceptionMemory);
  realTerminate();
  throw failure;
}

namespace {

struct Expected {
  Failure failure;
  uint32_t level;
};

std::string expectedMessage(Failure failure) {
  if (failure == Failure::outOfMemory) return "XERCES initialization error: out of memory";
  if (failure == Failure::panic)
    return std::string("XERCES initialization error: ") +
           PanicHandler::getPanicReasonString(PanicHandler::Panic_NoTransService);
  realInitialize(XMLUni::fgXercescDefaultLocale, nullptr, nullptr, nullptr);  // Xerces-C's own text of the code
  std::string text;
  {
    XMLPlatformUtilsException e(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero);
    text = qelToMbcs(e.getMessage());
  }
  realTerminate();
  return "XERCES initialization error: " + text;
}

// Runs in the child: the first tavDomInit fails, and every later call raises
// the recorded error without starting Xerces-C again. Exits 0 when every check
// held.
[[noreturn]] void scenario(Expected e) {
  s_failure = e.failure;
  auto trace = std::make_unique<TraceCapture>("tavDomInit=" + std::to_string(e.level));
  QelError error = errorOf([] { tavDomInit(); });
  const std::string first = error.what();
  expectLibraryError(error, 21301, "QELRC_DOM_API_ERROR", "tavDomInit", "qeldom/qeldom");
  EXPECT_GT(error.getLine(), 0);
  EXPECT_EQ(first.rfind("XERCES initialization error: ", 0), 0u) << first;

  Lines expected;
  if (e.level & 0x40) expected = {"QELDOM tavDomInit: Entry", "QELDOM tavDomInit: Args - "};
  if (e.level & 0x80) expected.push_back("QELDOM tavDomInit: !!! Error - " + first);
  EXPECT_EQ(trace->lines(), expected) << "level " << e.level;

  // Later callers: the same error, no new start, no trace of a new start.
  trace->clear();
  for (int i = 0; i < 2; ++i) {
    error = errorOf([] { tavDomInit(); });
    EXPECT_EQ(error.getRc(), 21301);
    EXPECT_EQ(std::string(error.what()), first);
  }
  EXPECT_EQ(std::string(errorOf([] { tavCreateDoc(u"r"); }).what()), first);
  EXPECT_EQ(s_initializeCalls.load(), 1);
  for (const std::string& line : trace->lines()) EXPECT_EQ(line.find("tavDomInit: Entry"), std::string::npos) << line;

  // Compared last: finding the expected text starts Xerces-C for real.
  trace.reset();
  EXPECT_EQ(first, expectedMessage(e.failure));
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "checks failed in the child\n");
    std::exit(1);
  }
  std::exit(0);
}

class PlatformFailure : public ::testing::TestWithParam<Expected> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(PlatformFailure, RaisesTheRecordedErrorToEveryCaller) {
  EXPECT_EXIT(scenario(GetParam()), ::testing::ExitedWithCode(0), "");
}

std::string scenarioName(const ::testing::TestParamInfo<Expected>& info) {
  static const char* const names[] = {"Panic", "XmlException", "OutOfMemory"};
  return names[static_cast<int>(info.param.failure)] + std::string("_level") + std::to_string(info.param.level);
}

INSTANTIATE_TEST_SUITE_P(Levels, PlatformFailure,
                         ::testing::Values(Expected{Failure::panic, 0x00}, Expected{Failure::panic, 0x40},
                                           Expected{Failure::panic, 0x80}, Expected{Failure::panic, 0xC0},
                                           Expected{Failure::xmlException, 0x00}, Expected{Failure::xmlException, 0xD0},
                                           Expected{Failure::outOfMemory, 0xC0}),
                         scenarioName);

}  // namespace
