// Faults injected at every point of a write and a parse: a caller's stream
// that throws on its n-th write, and an allocation that fails at the n-th
// request (the allocation relay serves the library's operator new and, through
// the library's memory manager, Xerces-C). The fault must reach the caller
// unchanged, nothing may be written twice, and no memory may leak (the
// AddressSanitizer build checks leaks at exit). Each test prints how many
// fault points it tried as a "FAULTS <case> points=<n>" line.
#include <algorithm>
#include <functional>
#include <new>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "qelmem.hpp"
#include "qelnewrl.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

// ctest runs every test in a process of its own: start the platform (and
// its first allocations) before any injection.
const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

// Keeps every write it takes, and throws the number of the write (an int: a
// type of the caller's own) instead of taking the n-th one (0: never), or
// with `broken` every one from the n-th on.
struct FailingStream : QelOutputStream {
  explicit FailingStream(int n, bool broken = false) : failAt(n), broken(broken) {}
  void write(const char* bytes, long count) override {
    if (++calls == failAt || (broken && failAt && calls > failAt)) throw calls;
    writes.emplace_back(bytes, static_cast<size_t>(count));
  }
  int failAt, calls = 0;
  bool broken;
  std::vector<std::string> writes;
};

// A document with every kind of node, and enough text for several of the
// writer's 4096-unit buffers.
DocPtr sampleDocument(int paragraphs) {
  DocPtr doc(tavCreateDoc(u"book"));
  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"lang", u"fr & <en>");
  tavAddComment(root, u" front ");
  tavAddPi(root, u"fmt", u"a4");
  for (int i = 0; i < paragraphs; ++i) {
    DOMElement* p = tavAddElem(root, u"p");
    tavAddText(p, std::u16string(700, i % 2 ? u'\u00e9' : u'&').c_str());
    tavAddCDATA(p, u"x]]>y");
  }
  return doc;
}

// Runs `action` with an allocation failure injected at the 1st, 2nd, ...
// allocation until it runs through without reaching the injected one, and
// prints the number of failures injected. Each failure must reach the caller
// as std::bad_alloc (or, with `xercesOutOfMemory`, Xerces-C's
// OutOfMemoryException, which the writer's buffer and the editing calls pass
// on unchanged) and leave `intact` true, by default the `output` a start of
// that of a run without injection; the run without one must give all of it.
void failEachAllocation(const std::string& name, const std::function<void()>& action,
                        const std::function<std::string()>& output, bool xercesOutOfMemory,
                        const std::function<bool()>& intact = nullptr) {
  SCOPED_TRACE(name);
  action();
  const std::string want = output();
  int n = 1;
  for (std::string wrong; wrong.empty(); ++n) {
    QelNewRelay::failAfter(n);
    try {
      action();
      wrong = "none";
    } catch (const std::bad_alloc&) {
    } catch (const OutOfMemoryException&) {
      wrong = xercesOutOfMemory ? "" : "Xerces-C's OutOfMemoryException";
    } catch (...) {
      wrong = "another exception";
    }
    QelNewRelay::failAfter(0);
    if (wrong.empty() && !(intact ? intact() : want.rfind(output(), 0) == 0)) wrong = "a broken state";
    EXPECT_TRUE(wrong.empty() || wrong == "none") << "allocation " << n << ": " << wrong;
  }
  EXPECT_GT(n - 2, 0);
  EXPECT_EQ(output(), want);
  std::printf("FAULTS %s points=%d\n", name.c_str(), n - 2);
}

const char kSampleXml[] =
    "<?xml version='1.0' encoding='UTF-8'?>\n<!DOCTYPE order [<!ENTITY co 'ACME &amp; Co'><!ATTLIST order state "
    "CDATA 'open'>]>\n<order id='7' xml:space='preserve'><!-- c --><?pi d?><who>&co;</who><note><![CDATA[<raw>]]> "
    "caf\xc3\xa9 </note><empty/></order>";

}  // namespace

// Nothing is written twice or out of order: the writes the stream took are
// those of a whole run up to the failing one, and at most the ones right
// after it (the writer commits what it still holds when the failure passes
// through it: the text after a failed byte order mark).
TEST(Faults, StreamThrowingAtEachWriteStopsTheWriter) {
  for (const char* encoding : {"UTF-8", "UTF-16LE", "IBM037"})
    for (int paragraphs : {0, 30}) {
      SCOPED_TRACE(std::string(encoding) + " paragraphs " + std::to_string(paragraphs));
      DocPtr doc = sampleDocument(paragraphs);
      const auto run = [&](FailingStream& stream) {  // the writes made before the writer goes
        QelDomWriter writer(doc.get(), stream, QEL_WRITE_XML_DECL | QEL_WRITE_MARGINS, encoding, nullptr);
        return stream.calls;
      };
      FailingStream whole(0);
      EXPECT_EQ(run(whole), whole.calls);
      ASSERT_GE(whole.calls, paragraphs ? 3 : 1);
      int afterFailure = 0;
      for (int n = 1; n <= 2 * whole.calls; ++n) {
        FailingStream failing((n + 1) / 2, n % 2 == 0);  // the stream fails once, or from then on
        std::string thrown = "went on";
        try {
          run(failing);
        } catch (int write) {
          thrown = std::to_string(write);
        }
        // What it took: the whole run's writes but the failing one, cut after
        // the failing one or later.
        std::vector<std::string> expected = whole.writes;
        expected.erase(expected.begin() + (failing.failAt - 1));
        expected.resize(std::max<size_t>(failing.writes.size(), failing.failAt - 1));
        EXPECT_EQ(thrown + (failing.writes == expected ? "" : " out of order"), std::to_string(failing.failAt))
            << (failing.broken ? "broken" : "once");
        afterFailure += failing.broken ? 0 : failing.calls - failing.failAt;
      }
      std::printf("FAULTS stream-%s-%s points=%d writes_after_failure=%d\n", encoding, paragraphs ? "large" : "small",
                  whole.calls, afterFailure);
    }
}

// Parsing (alone and under a parent), writing and editing: every injected
// failure leaves the caller's state whole, and the run without one gives the
// output of a run without injection.
TEST(Faults, AllocationFailingAtEachPointReachesTheCaller) {
  DocPtr result, host(tavCreateDoc(u"host")), sample = sampleDocument(8);
  std::string written, text;
  const auto hostXml = [&] { return write(host.get(), 0, "UTF-8"); };
  failEachAllocation(
      "parse", [&] { result.reset(qelParseDoc(kSampleXml, sizeof kSampleXml - 1, QEL_PARSE_TRIM, nullptr)); },
      [&] { return write(result.get(), 0, "UTF-8"); }, false);
  failEachAllocation(
      "parse-under-parent",
      [&] {
        tavCleanNode(host->getDocumentElement(), true);
        qelParseDoc("<part n='1'>text &amp; more<sub/><!-- c --></part>", 50, host->getDocumentElement(), 0);
      },
      hostXml, false, [&] { return parse(hostXml()) != nullptr; });
  for (const char* encoding : {"UTF-8", "UTF-16LE", "ISO-8859-1"})
    failEachAllocation(
        std::string("write-") + encoding,
        [&] {
          written.clear();
          QelStringOutputStream stream(written);
          qelWriteNode(sample.get(), stream, QEL_WRITE_XML_DECL | QEL_WRITE_DOCTYPE, encoding, nullptr);
        },
        [&] { return written; }, true);
  failEachAllocation(
      "editing",
      [&] {
        XMLBuffer buffer;
        text = u8(tavGetText(sampleDocument(2)->getDocumentElement(), buffer));
      },
      [&] { return text; }, true);
}

// The memory manager keeps released blocks of a document heap's sizes for
// later documents: the lowest in memory, within its limit, and a block it
// hands out again is still an allocation to fault injection. (The blocks are
// never written beyond their first page: they take address space, not
// memory.)
TEST(BlockCache, KeepsTheLowestReleasedBlocksWithinItsLimit) {
  qelDomCleanup();  // gives back what earlier tests left there
  tavDomInit();
  MemoryManager* memory = XMLPlatformUtils::fgMemoryManager;
  const size_t kept = qel_detail::s_blockCacheLimit >> 20;
  std::vector<void*> first(kept + 16), again(kept / 2);
  for (void*& p : first) p = memory->allocate(1 << 20);
  for (void* p : first) memory->deallocate(p);
  std::sort(first.begin(), first.end(), std::less<void*>());
  for (void*& p : again) p = memory->allocate(1 << 20);
  for (void* p : again) EXPECT_TRUE(std::binary_search(first.begin(), first.begin() + kept, p, std::less<void*>()));
  QelNewRelay::failAfter(1);
  EXPECT_THROW(memory->allocate(1 << 20), OutOfMemoryException);
  QelNewRelay::failAfter(0);
  for (void* p : again) memory->deallocate(p);
}

// Xerces-C keeps what it allocated when an OutOfMemoryException passes
// through it: its constructors and its scanner rethrow that exception
// without their usual clean-up ("catch (const OutOfMemoryException&) {
// throw; }"). The blocks left behind by an injected failure are therefore
// Xerces-C's, allocated in these functions of its own; no allocation of the
// library's own code is among them (each leak's allocating frame was
// checked). Only what these functions allocate themselves is passed over: a
// document, parser or scanner the library failed to release would still be
// reported, as its own allocation happens outside them. The leak checker of the sanitizer build reads this list; the
// library's leaks on failed parses are checked without it by the parser's
// tests.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:xercesc_3_2::AbstractDOMParser::initialize\nleak:xercesc_3_2::DOMDocumentImpl::DOMDocumentImpl\n"
         "leak:xercesc_3_2::XMLScanner::commonInit\nleak:xercesc_3_2::IGXMLScanner::commonInit\n"
         "leak:xercesc_3_2::IGXMLScanner::scanReset\nleak:xercesc_3_2::IGXMLScanner::scanStartTag\n"
         "leak:xercesc_3_2::ValueStoreCache::init\nleak:xercesc_3_2::XMLStringPool::addNewEntry\n"
         "leak:xercesc_3_2::ReaderMgr::createReader\nleak:xercesc_3_2::ReaderMgr::createIntEntReader\n"
         "leak:xercesc_3_2::QName::setNPrefix\nleak:xercesc_3_2::QName::setNLocalPart\n"
         "leak:xercesc_3_2::XMLElementDecl::setElementName\nleak:xercesc_3_2::XMLScanner::scanProlog\n"
         "leak:xercesc_3_2::DTDScanner::scanInternalSubset\n";
}
