// Concurrency under load: eight threads start the library's once-only objects
// at the same moment (the XML platform, the recognizer's table of encoding
// names, the schema model library), then build, write, recognize, parse and
// check documents of their own. Every thread's results must equal the results
// of the same work done on one thread (the platform's racing start is counted
// in the frame's tests). Built for ThreadSanitizer as well: the tests are
// named Concurrency.* so that a ctest regex selects them.
#include <dlfcn.h>

#include <xercesc/framework/MemBufInputSource.hpp>

#include "docdef.hpp"
#include "qelenrec.hpp"
#include "qelichk.hpp"
#include "qelschema.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

constexpr int kThreads = 8;

// The first uses of every once-only object, in the order a caller might make them.
std::string firstUse(int seed) {
  tavDomInit();
  MemBufInputSource source(reinterpret_cast<const XMLByte*>("<?xml version='1.0' encoding='latin1'?><a/>"), 43, "s");
  std::string result = qelToMbcs(qelRecognizeEncoding(source, nullptr).c_str());
  QelXmlDocDef def;
  def.targetNamespace = u"urn:stress:" + std::u16string(1, static_cast<char16_t>(u'a' + seed));
  return result + "|" + qelToMbcs(std::unique_ptr<QelXmlSchema>(QelXmlSchema::getXmlSchema(def))->getTargetNamespace());
}

// Work on a document of the thread's own; the text returned records every
// result (written bytes, recognized names, texts, check results).
std::string work(int seed, int rounds) {
  std::string record;
  const std::u16string tag = u"item" + std::u16string(1, static_cast<char16_t>(u'a' + seed));
  char message[64] = "";
  for (int round = 0; round < rounds; ++round) {
    DocPtr doc(tavCreateDoc(u"root"));
    for (int i = 0; i < 5 + round % 7; ++i) {
      DOMElement* item = tavAddElem(doc->getDocumentElement(), tag.c_str());
      item->setAttribute(u"n", std::u16string(1, static_cast<char16_t>(u'A' + i)).c_str());
      tavAddText(item, u"caf\u00e9 & <tea> ");
      tavAddCDATA(item, u"]]>x");
      tavAddComment(item, u"c");
      tavAddPi(item, u"pi", u"d");
    }
    for (const char* encoding : {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037"}) {
      const std::string bytes = write(doc.get(), QEL_WRITE_XML_DECL | (round % 2 ? QEL_WRITE_MARGINS : 0), encoding);
      QelEncOrigin origin = QelEncOrigin::Caller;
      MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "stress");
      record +=
          bytes + qelToMbcs(qelRecognizeEncoding(source, nullptr, &origin).c_str()) + "/" + qelEncOriginName(origin);
      QelUniString text;
      tavGetText(parse(bytes, QEL_PARSE_TRIM)->getDocumentElement(), text);
      record += "|" + qelToMbcs(text.c_str()) + "\n";
    }
    record += qelCheckXmlName(tag.c_str(), message) ? "name ok" : message;
    record += qelCheckXmlQName(u"a:b:c", message) ? "qname ok" : message;
    record += qelToMbcs(qelRawToXmlName(QelUniString(u"1 raw:name", 10)).c_str()) + "\n";
  }
  return record;
}

TEST(Concurrency, FirstUsesCollideAndStartEachObjectOnce) {
  inFreshProcess([] {
    std::vector<std::string> results(kThreads);
    race(kThreads, [&](int t) { results[t] = firstUse(t); });
    void* model = dlopen("libtavmdr.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(reinterpret_cast<TavmdrLoadCount*>(dlsym(model, "tavmdrLoadCount"))(), 1) << "the model library";
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], firstUse(t)) << "thread " << t;
    EXPECT_EQ(results[0], "latin1|urn:stress:a");  // the declared name, as written
  });
}

// Plain and traced: with tracing on, every thread refreshes the function
// records' cached levels and writes lines at once.
TEST(Concurrency, EightThreadsGiveTheSingleThreadedResults) {
  for (const auto& [level, rounds] : {std::pair<std::string, int>{"0", 100}, {"0xD0", 3}}) {
    TraceCapture trace(level);
    std::vector<std::string> results(kThreads);
    race(kThreads, [&](int t) { results[t] = work(t, rounds); });
    EXPECT_EQ(trace.lines.empty(), level == "0") << level;
    for (int t = 0; t < kThreads; ++t) {
      const std::string alone = work(t, rounds);
      EXPECT_TRUE(results[t] == alone) << level << " thread " << t << " " << firstDifference(results[t], alone);
    }
    EXPECT_NE(results[0], results[1]) << "the threads did different work";
  }
}

}  // namespace
