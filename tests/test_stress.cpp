// Concurrency under load: eight threads start the library's once-only objects
// at the same moment (the XML platform, the recognizer's table of encoding
// names, the schema model library), then build, write, recognize, parse and
// check documents of their own. Every thread's results must equal the results
// of the same work done on one thread. Built for ThreadSanitizer as well: the
// tests are named Concurrency.* so that a ctest regex selects them.
//
// ctest runs each test in a process of its own, so each one begins with
// nothing started.
#include <dlfcn.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "docdef.hpp"
#include "qelenrec.hpp"
#include "qelichk.hpp"
#include "qelschema.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

// --- counting the platform's start ----------------------------------------------------
// The program's own definition is the one the library calls; it counts and
// forwards to Xerces-C's.
namespace {
std::atomic<int> s_initializeCalls{0};
}

void XERCES_CPP_NAMESPACE::XMLPlatformUtils::Initialize(const char* const locale, const char* const nlsHome,
                                                        PanicHandler* const panicHandler,
                                                        MemoryManager* const memoryManager) {
  s_initializeCalls.fetch_add(1);
  using Fn = void (*)(const char*, const char*, PanicHandler*, MemoryManager*);
  static const Fn real = reinterpret_cast<Fn>(
      dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils10InitializeEPKcS2_PNS_12PanicHandlerEPNS_13MemoryManagerE"));
  real(locale, nlsHome, panicHandler, memoryManager);
}

namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 100;

QelXmlDocDef makeDef(int seed) {
  QelXmlDocDef def;
  def.targetNamespace = u"urn:stress:" + std::u16string(1, static_cast<char16_t>(u'a' + seed));
  def.rootName = u"order";
  def.types = {{u"amount", 1 << seed}};
  def.fields = {{u"total", u"amount", u"0"}};
  return def;
}

// The first uses of every once-only object, in the order a caller might make them.
std::string firstUse(int seed) {
  tavDomInit();
  MemBufInputSource source(reinterpret_cast<const XMLByte*>("<?xml version='1.0' encoding='latin1'?><a/>"), 43,
                           "stress");
  std::string result = qelToMbcs(qelRecognizeEncoding(source, nullptr).c_str());
  std::unique_ptr<QelXmlSchema> schema(QelXmlSchema::getXmlSchema(makeDef(seed)));
  result += "|" + qelToMbcs(schema->getTargetNamespace());
  return result;
}

// One round of work on a document of the thread's own; the text returned
// records every result (written bytes, recognized names, texts, check results).
std::string oneRound(int seed, int iteration) {
  std::string record;
  std::u16string tag = u"item" + std::u16string(1, static_cast<char16_t>(u'a' + seed));
  DocPtr doc(tavCreateDoc(u"root"));
  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"seed", std::u16string(1, static_cast<char16_t>(u'0' + seed)).c_str());
  for (int i = 0; i < 5 + iteration % 7; ++i) {
    DOMElement* item = tavAddElem(root, tag.c_str());
    item->setAttribute(u"n", std::u16string(1, static_cast<char16_t>(u'A' + i)).c_str());
    tavAddText(item, u"caf\u00e9 & <tea> ");
    tavAddCDATA(item, u"]]>x");
    tavAddComment(item, u"c");
    tavAddPi(item, u"pi", u"d");
  }

  static const char* const encodings[] = {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037"};
  for (const char* encoding : encodings) {
    std::string bytes = write(doc.get(), QEL_WRITE_XML_DECL | (iteration % 2 ? QEL_WRITE_MARGINS : 0), encoding);
    record += std::string(encoding) + ":" + hex(bytes) + "\n";

    MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "stress");
    QelEncOrigin origin = QelEncOrigin::Caller;
    record += qelToMbcs(qelRecognizeEncoding(source, nullptr, &origin).c_str());
    record += std::string("/") + qelEncOriginName(origin);

    DocPtr back = parse(bytes, QEL_PARSE_TRIM);
    QelUniString text;
    tavGetText(back->getDocumentElement(), text);
    record += "|" + qelToMbcs(text.c_str()) + "\n";
  }

  char message[64] = "";
  record += qelCheckXmlName(tag.c_str(), message) ? "name ok" : message;
  record += qelCheckXmlQName(u"a:b:c", message) ? "qname ok" : message;
  record += qelToMbcs(qelRawToXmlName(QelUniString(u"1 raw:name", 10)).c_str());
  return record;
}

// Where two records part: the offset and a little of each, for a readable failure.
std::string firstDifference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  size_t from = i < 40 ? 0 : i - 40;
  return "at " + std::to_string(i) + ": ..." + a.substr(from, 80) + "\n versus ..." + b.substr(from, 80);
}

std::vector<std::string> work(int seed) {
  std::vector<std::string> results;
  for (int i = 0; i < kIterations; ++i) results.push_back(oneRound(seed, i));
  return results;
}

}  // namespace

TEST(Concurrency, FirstUsesCollideAndStartEachObjectOnce) {
  using LoadCount = TavmdrLoadCount;
  std::vector<std::string> results(kThreads);
  race(kThreads, [&](int t) { results[t] = firstUse(t); });

  EXPECT_EQ(s_initializeCalls.load(), 1);
  void* model = dlopen("libtavmdr.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(reinterpret_cast<LoadCount*>(dlsym(model, "tavmdrLoadCount"))(), 1);
  dlclose(model);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], firstUse(t)) << "thread " << t;
  EXPECT_EQ(results[0], "latin1|urn:stress:a");  // the declared name, as written
}

TEST(Concurrency, EightThreadsGiveTheSingleThreadedResults) {
  std::vector<std::vector<std::string>> results(kThreads);
  race(kThreads, [&](int t) {
    firstUse(t);
    results[t] = work(t);
  });
  EXPECT_EQ(s_initializeCalls.load(), 1);

  for (int t = 0; t < kThreads; ++t) {
    std::vector<std::string> alone = work(t);
    ASSERT_EQ(results[t].size(), alone.size());
    for (size_t i = 0; i < alone.size(); ++i)
      ASSERT_TRUE(results[t][i] == alone[i])
          << "thread " << t << " round " << i << " " << firstDifference(results[t][i], alone[i]);
  }
  // The threads did different work: their documents differ.
  EXPECT_NE(results[0][0], results[1][0]);
}

// With tracing on, the function records' cached levels are refreshed by
// every thread at once and every thread writes lines.
TEST(Concurrency, TracedCallsFromEightThreads) {
  std::atomic<long> lines{0};
  moxSetSink([&](const std::string&) { lines.fetch_add(1); });
  moxSetTrace("0xD0");
  std::vector<std::string> results(kThreads);
  race(kThreads, [&](int t) { results[t] = oneRound(t, 3); });
  moxSetTrace("0");
  moxSetSink(nullptr);
  EXPECT_GT(lines.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    std::string alone = oneRound(t, 3);
    EXPECT_TRUE(results[t] == alone) << "thread " << t << " " << firstDifference(results[t], alone);
  }
}
