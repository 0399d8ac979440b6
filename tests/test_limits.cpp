// Resource limits: hostile or merely huge inputs either parse or fail with
// the library's error, in bounded memory and time. Each case runs in a child
// process, so that its peak memory (getrusage of the child) is its own and a
// runaway case cannot take the test program with it. The figures are printed
// as "FIGURE <case> peak_kib=<n> fork_kib=<n> seconds=<t>" lines
// (docs/reliability.md); the peak includes what the child shares with the
// test program, whose size at the fork fork_kib gives. Times are printed,
// never asserted.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <xercesc/framework/MemBufInputSource.hpp>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

// ctest runs every test in a process of its own: start the XML platform
// before a test touches Xerces-C directly (the children inherit it).
const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

struct Outcome {
  std::string result;  // what the child reported
  long peakKib = 0;    // the child's peak resident memory
  long forkKib = 0;    // the parent's resident memory when it forked (an upper bound of what the child inherits)
  double seconds = 0;  // wall time of the child
  bool exitedCleanly = false;
};

// Address space of a child: a case that runs away fails its allocation here
// rather than taking the machine. Sanitizer builds reserve huge shadow areas
// and go without.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr rlim_t kChildAddressSpace = RLIM_INFINITY;
#else
constexpr rlim_t kChildAddressSpace = rlim_t(3) << 30;
#endif

// The resident memory of this process now; a child starts with all of it.
long residentKib() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs `body` in a child process; its result text comes back through a pipe.
// `feed`, when given, runs in the parent and writes the child's standard
// input (the write end of a pipe), until it returns.
Outcome runInChild(const std::string& name, const std::function<std::string()>& body,
                   const std::function<void(int fd)>& feed = nullptr) {
  int result[2], input[2];
  if (pipe(result) != 0 || pipe(input) != 0) return {"pipe failed"};
  std::fflush(nullptr);
  const long inheritedKib = residentKib();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    close(result[0]);
    close(input[1]);
    dup2(input[0], 0);
    close(input[0]);
    rlimit as{kChildAddressSpace, kChildAddressSpace};
    setrlimit(RLIMIT_AS, &as);
    std::string text;
    try {
      text = body();
    } catch (const QelError& e) {
      text = "QelError " + std::to_string(e.getRc()) + ": " + e.getMessage();
    } catch (const std::bad_alloc&) {
      text = "bad_alloc";
    } catch (...) {
      text = "other exception";
    }
    ssize_t ignored = write(result[1], text.data(), text.size());
    (void)ignored;
    _exit(0);
  }
  close(result[1]);
  close(input[0]);
  if (feed) {
    signal(SIGPIPE, SIG_IGN);  // the child may stop reading early
    feed(input[1]);
  }
  close(input[1]);
  Outcome outcome;
  char buffer[4096];
  ssize_t n;
  while ((n = read(result[0], buffer, sizeof buffer)) > 0) outcome.result.append(buffer, n);
  close(result[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.peakKib = usage.ru_maxrss;
  outcome.forkKib = inheritedKib;
  outcome.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("FIGURE %s peak_kib=%ld fork_kib=%ld seconds=%.2f result=%.100s\n", name.c_str(), outcome.peakKib,
              outcome.forkKib, outcome.seconds, outcome.result.c_str());
  return outcome;
}

constexpr long kBoundKib = 256 * 1024;  // the peak every hostile case must stay under

}  // namespace

// A child's peak counts the freed memory AddressSanitizer holds in quarantine
// (256 MB by default); a small quarantine keeps the peaks those of the library.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0:quarantine_size_mb=16";
}

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// --- entity expansion -------------------------------------------------------------------

std::string entityDocument(int references) {  // references of a 100,000-character entity
  std::string xml = "<!DOCTYPE d [<!ENTITY big '" + std::string(100000, 'x') + "'>]><d>";
  for (int i = 0; i < references; ++i) xml += "&big;";
  return xml + "</d>";
}

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// Parameter entities in an external DTD, nine levels of ten references each
// and never used: written as &#37;name; the references stay in the values and
// expand when the last one is declared (10^9 expansions), or, written as
// %name;, each value is ten times the one before (10^10 characters).
std::string parameterEntities(bool nested) {
  std::string dtd = "<!ENTITY % e0 'xxxxxxxxxx'>";
  for (int i = 1; i <= 9; ++i)
    dtd += "<!ENTITY % e" + std::to_string(i) + " '" +
           repeat((nested ? "&#37;e" : "%e") + std::to_string(i - 1) + ";", 10) + "'>";
  return dtd + (nested ? "<!ENTITY % all '%e9;'>" : "");
}

TEST(Limits, HostileEntitiesFailWithTheLibrarysError) {
  ScratchDir dir;
  // Ten levels of ten references each: 10^10 expansions if nothing stopped it.
  std::string laughs = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol0 'lol'>";
  for (int i = 1; i <= 10; ++i)
    laughs += "<!ENTITY lol" + std::to_string(i) + " '" + repeat("&lol" + std::to_string(i - 1) + ";", 10) + "'>";
  laughs += "]><lolz>&lol10;</lolz>";
  // 3,000 entities, each a reference to the next: 3,000 open readers.
  std::string chain = "<!DOCTYPE d [";
  for (int i = 0; i < 3000; ++i) chain += "<!ENTITY c" + std::to_string(i) + " '&c" + std::to_string(i + 1) + ";'>";
  chain += "<!ENTITY c3000 'end'>]><d>&c0;</d>";
  auto external = [&](const std::string& name, const std::string& dtd) {
    return "<!DOCTYPE d SYSTEM '" + dir.write(name, dtd) + "'><d/>";
  };
  const struct {
    const char* name;
    std::string xml;
    const char* reason;
  } cases[] = {
      {"billion-laughs", laughs, "entity expansions"},
      // 40,000 references (under the expansion count) of one entity: a 160 KB
      // document that would expand to 4 * 10^9 characters.
      {"quadratic-entity", entityDocument(40000), "entity text"},
      // 225 KB: 45,000 references of a 10,000-character entity in an attribute value.
      {"attribute-entity",
       "<!DOCTYPE d [<!ENTITY e '" + std::string(10000, 'x') + "'>]><d a='" + repeat("&e;", 45000) + "'/>",
       "entity text"},
      {"parameter-entities-nested", external("nested.dtd", parameterEntities(true)), "entity expansions"},
      {"parameter-entities-growing", external("growing.dtd", parameterEntities(false)), "entity text"},
      {"entity-chain-3000", chain, "nest deeper than"},
  };
  for (const auto& c : cases) {
    Outcome o = runInChild(c.name, [&] {
      DocPtr doc = parse(c.xml);
      return std::string("parsed");
    });
    EXPECT_TRUE(o.exitedCleanly) << c.name;
    EXPECT_TRUE(startsWith(o.result, "QelError 21304: ")) << o.result;
    EXPECT_NE(o.result.find(c.reason), std::string::npos) << o.result;
    EXPECT_LT(o.peakKib, kBoundKib) << c.name;
  }
}

// Every expansion counts wherever it stands: in content, in an attribute
// value, a parameter entity in the internal subset, the bytes of an external
// entity.
TEST(Limits, ProcessWideBoundsHoldForEveryKindOfExpansion) {
  XMLSize_t expansions = 0, text = 0;
  qelGetParseLimits(expansions, text);
  EXPECT_EQ(expansions, QelXmlParser::s_defaultEntityExpansionLimit);
  EXPECT_EQ(text, QelXmlParser::s_defaultEntityTextLimit);
  ScratchDir dir;
  const std::string ten = "<!ENTITY e 'abcdefghij'>";
  const struct {
    std::string xml;
    XMLSize_t expansions, text;
    const char* error;
  } rows[] = {
      {"<!DOCTYPE d [" + ten + "]><d>" + repeat("&e;", 200) + "</d>", 100, 0, "limit of 100 entity expansions"},
      {"<!DOCTYPE d [" + ten + "]><d>" + repeat("&e;", 200) + "</d>", 0, 1000, "limit of 1000 characters"},
      {"<!DOCTYPE d [" + ten + "]><d a='" + repeat("&e;", 200) + "'/>", 0, 1000, "limit of 1000 characters"},
      {"<!DOCTYPE d [<!ENTITY % p '<!-- " + std::string(600, 'p') + " -->'>%p;%p;]><d/>", 0, 1000,
       "limit of 1000 characters"},
      {"<!DOCTYPE d [<!ENTITY x SYSTEM '" + dir.write("x.ent", std::string(600, 'x')) + "'>]><d>&x;&x;</d>", 0, 1000,
       "limit of 1000 characters"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.xml.substr(0, 60));
    qelSetParseLimits(r.expansions, r.text);
    QelError e = errorOf([&] { parse(r.xml); });
    EXPECT_NE(std::string(e.getMessage()).find(r.error), std::string::npos) << e.getMessage();
    qelSetParseLimits(0, 0);
    EXPECT_NO_THROW(parse(r.xml));
  }
  qelSetParseLimits(expansions, text);
}

TEST(Limits, EntityTextUnderTheBoundIsParsed) {
  DocPtr doc = parse(entityDocument(100));  // 10^7 characters, allowed
  EXPECT_EQ(XMLString::stringLen(doc->getDocumentElement()->getTextContent()), 10000000u);
}

TEST(Limits, CallerSetsTheEntityBounds) {
  std::string xml = "<!DOCTYPE d [<!ENTITY e 'abcdefghij'>]><d>";
  for (int i = 0; i < 200; ++i) xml += "&e;";
  xml += "</d>";
  auto textLength = [&](XMLSize_t expansions, XMLSize_t text) {
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "limits");
    QelXmlParser parser(0, nullptr, source);
    parser.setEntityExpansionLimit(expansions);
    parser.setEntityTextLimit(text);
    parser.parse(source);
    DocPtr doc(parser.detachDocument());
    return XMLString::stringLen(doc->getDocumentElement()->getTextContent());
  };
  EXPECT_THROW(textLength(100, 2000), SAXParseException);
  EXPECT_THROW(textLength(1000, 1000), SAXParseException);
  EXPECT_EQ(textLength(1000, 2000), 2000u);
  EXPECT_EQ(textLength(0, 2000), 2000u);  // no bound on the expansions
}

// --- deep and wide documents ----------------------------------------------------------------

TEST(Limits, HundredThousandLevelsAreParsedAndWritten) {
  constexpr int kDepth = 100000;
  Outcome o = runInChild("deep-parse-100000", [&] {
    std::string xml;
    for (int i = 0; i < kDepth; ++i) xml += "<e>";
    xml += "x";
    for (int i = 0; i < kDepth; ++i) xml += "</e>";
    std::string out = write(parse(xml)->getDocumentElement(), 0, "UTF-8");
    return out == xml ? std::string("parsed and written back") : "different: " + out.substr(0, 80);
  });
  EXPECT_TRUE(o.exitedCleanly);
  EXPECT_EQ(o.result, "parsed and written back");
  EXPECT_LT(o.peakKib, kBoundKib);
}

// The library's own walks (writer, text extraction) must not recurse: a tree
// 100,000 levels deep, built with the editing calls, written, read back and
// its text collected.
TEST(Limits, HundredThousandLevelsBuiltWithTheEditingCalls) {
  constexpr int kDepth = 100000;
  Outcome o = runInChild("deep-edit-100000", [&] {
    DocPtr doc(tavCreateDoc(u"r"));
    DOMNode* node = doc->getDocumentElement();
    for (int i = 0; i < kDepth; ++i) {
      node = tavAddElem(node, u"e");
      if (i % 1000 == 0) tavAddText(node, u"t");
    }
    tavAddCDATA(node, u"end");
    std::string out = write(doc.get(), QEL_WRITE_XML_DECL, "UTF-8");
    DocPtr back = parse(out);
    QelUniString before, after;
    tavGetText(doc->getDocumentElement(), before);
    tavGetText(back->getDocumentElement(), after);
    XMLBuffer buffer;
    tavGetText(back->getDocumentElement(), buffer);
    std::u16string expected(100, u't');
    expected += u"end";
    if (before.compare(after) != 0 || std::u16string(before.c_str()) != expected ||
        std::u16string(buffer.getRawBuffer()) != expected)
      return std::string("texts differ");
    return "round trip of " + std::to_string(out.size()) + " bytes";
  });
  EXPECT_TRUE(o.exitedCleanly);
  EXPECT_TRUE(startsWith(o.result, "round trip of ")) << o.result;
  EXPECT_LT(o.peakKib, kBoundKib);
}

// Xerces-C's DOM finds each new attribute's place by a linear search of the
// element's attribute map, so the time grows with the square of the count
// (50,000 take about 1.5 s, 200,000 about 36 s); memory stays linear.
TEST(Limits, FiftyThousandAttributesOnOneElement) {
  constexpr int kCount = 50000;
  Outcome o = runInChild("attributes-50000", [&] {
    std::string xml = "<e";
    for (int i = 0; i < kCount; ++i) xml += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    xml += "/>";
    DocPtr doc = parse(xml);
    std::string out = write(doc->getDocumentElement(), 0, "UTF-8");
    return std::to_string(doc->getDocumentElement()->getAttributes()->getLength()) + " attributes, " +
           (out.size() == xml.size() ? "written back" : "written differently");
  });
  EXPECT_TRUE(o.exitedCleanly);
  EXPECT_EQ(o.result, "50000 attributes, written back");
  EXPECT_LT(o.peakKib, kBoundKib);
}

TEST(Limits, DuplicateAttributeAmongManyFails) {
  std::string xml = "<e";
  for (int i = 0; i < 50000; ++i) xml += " a" + std::to_string(i) + "='1'";
  EXPECT_EQ(errorOf([&] { parse(xml + " a7='2'/>"); }).getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
}

// --- standard input --------------------------------------------------------------------------

namespace {
// Writes up to `total` bytes of `chunk` repeated; stops when the reader has gone.
long long feedRepeated(int fd, const std::string& head, const std::string& chunk, long long total) {
  long long written = 0;
  if (write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) return written;
  written += head.size();
  while (written < total) {
    ssize_t n = write(fd, chunk.data(), chunk.size());
    if (n <= 0) break;
    written += n;
  }
  return written;
}

std::string junk(size_t size) {
  std::string bytes(size, '\0');
  unsigned state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}
}  // namespace

// The child stops reading at the first error; the feeder's writes then fail.
TEST(Limits, JunkOnStandardInputIsCutEarly) {
  constexpr long long kGigabyte = 1LL << 30;
  const struct {
    const char* name;
    std::string head, chunk;
  } cases[] = {{"stdin-junk-1GiB", "", junk(1 << 16)},
               {"stdin-doc-then-junk-1GiB", "<?xml version='1.0'?><doc><a>text</a>", "<<<<&&&&"}};
  for (const auto& c : cases) {
    long long written = 0;
    Outcome o = runInChild(
        c.name,
        [] {
          DocPtr doc(qelParseDoc(0, nullptr));
          return std::string("parsed");
        },
        [&](int fd) { written = feedRepeated(fd, c.head, c.chunk, kGigabyte); });
    std::printf("FIGURE %s written_bytes=%lld\n", c.name, written);
    EXPECT_TRUE(o.exitedCleanly) << c.name;
    EXPECT_TRUE(startsWith(o.result, "QelError 21304: ")) << o.result;
    EXPECT_LT(written, kGigabyte) << c.name;
    EXPECT_LT(o.peakKib, kBoundKib) << c.name;
  }
}

TEST(Limits, LargeDocumentOnStandardInputIsParsedWhole) {
  constexpr long long kSize = 16LL << 20;
  long long written = 0;
  Outcome o = runInChild(
      "stdin-document-16MiB",
      [] {
        DocPtr doc(qelParseDoc(QEL_PARSE_TRIM, nullptr));
        return std::to_string(doc->getDocumentElement()->getChildNodes()->getLength()) + " children";
      },
      [&](int fd) {
        written = feedRepeated(fd, "<doc>", "<item>0123456789abcdef</item>", kSize);
        ssize_t n = write(fd, "</doc>", 6);
        if (n > 0) written += n;
      });
  EXPECT_TRUE(o.exitedCleanly);
  EXPECT_EQ(o.result, std::to_string((kSize - 5 + 28) / 29) + " children");
}
