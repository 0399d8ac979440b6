// Resource limits: hostile or merely huge inputs either parse or fail with
// the library's error, in bounded memory and time. Each case runs in a child
// process, so that its peak memory (getrusage of the child) is its own and a
// runaway case cannot take the test program with it. The figures are printed
// as "FIGURE <case> peak_kib=<n> fork_kib=<n> seconds=<t>" lines
// (docs/reliability.md); the peak includes what the child shares with the
// test program, whose size at the fork fork_kib gives. Times are printed,
// never asserted.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

// A child's peak counts the freed memory AddressSanitizer holds in quarantine
// (256 MB by default); a small quarantine keeps the peaks those of the library.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0:quarantine_size_mb=16";
}

namespace {

const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

constexpr long kBoundKib = 256 * 1024;  // the peak every case must stay under

// Address space of a child: a case that runs away fails its allocation here
// rather than taking the machine. Sanitizer builds reserve huge shadow areas.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr rlim_t kChildAddressSpace = RLIM_INFINITY;
#else
constexpr rlim_t kChildAddressSpace = rlim_t(3) << 30;
#endif

// Runs `body` in a child, its standard input the file `input` (if any), and
// prints the case's FIGURE lines. Returns what the child reported, or its
// failure.
std::string runInChild(const std::string& name, const std::function<std::string()>& body, const std::string& input,
                       bool bounded) {
  int result[2];
  if (pipe(result) != 0) return "pipe failed";
  std::fflush(nullptr);
  long pages = 0, forkKib = 0;  // the resident memory of the test program, which the child starts with
  std::ifstream("/proc/self/statm") >> pages >> forkKib;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(result[0]);
    const rlimit as{kChildAddressSpace, kChildAddressSpace};
    setrlimit(RLIMIT_AS, &as);
    if (!input.empty() && !std::freopen(input.c_str(), "rb", stdin)) _exit(1);
    std::string text;
    try {
      text = body();
    } catch (const QelError& e) {
      text = "QelError " + std::to_string(e.getRc()) + ": " + e.getMessage();
    }
    // How far the parse read its standard input (the reader's buffer included).
    const long long read = input.empty() ? 0 : lseek(0, 0, SEEK_CUR);
    if (read) std::printf("FIGURE %s read_bytes=%lld\n", name.c_str(), read), std::fflush(stdout);
    if (read >= 1LL << 30) text = "read all input: " + text;
    _exit(write(result[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
  }
  close(result[1]);
  const std::string out = readFile("/dev/fd/" + std::to_string(result[0]));
  close(result[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("FIGURE %s peak_kib=%ld fork_kib=%ld seconds=%.2f result=%.100s\n", name.c_str(), usage.ru_maxrss,
              forkKib * sysconf(_SC_PAGESIZE) / 1024, seconds, out.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child died: " + out;
  if (bounded && usage.ru_maxrss >= kBoundKib) return "peak " + std::to_string(usage.ru_maxrss) + " KiB: " + out;
  return out;
}

std::string repeat(const std::string& piece, int times) {
  std::string out;
  while (times-- > 0) out += piece;
  return out;
}

// `levels` entities past `first`, each `times` references of the one before.
std::string nested(const char* kind, const char* ref, int levels, int times, const std::string& first) {
  std::string out = "<!ENTITY " + std::string(kind) + "e0 '" + first + "'>";
  for (int i = 1; i <= levels; ++i)
    out += "<!ENTITY " + std::string(kind) + "e" + std::to_string(i) + " '" +
           repeat(ref + std::to_string(i - 1) + ";", times) + "'>";
  return out;
}

std::string big(int references) {  // references of a 100,000-character entity
  return "<!DOCTYPE d [<!ENTITY big '" + std::string(100000, 'x') + "'>]><d>" + repeat("&big;", references) + "</d>";
}

std::string parsed(const std::string& xml) { return write(parse(xml)->getDocumentElement(), 0, "UTF-8"); }

// The number of children of the root of the document on standard input.
std::string childrenFromStdin(unsigned long options) {
  return std::to_string(DocPtr(qelParseDoc(options, nullptr))->getDocumentElement()->getChildNodes()->getLength());
}

}  // namespace

// Hostile inputs end in the library's parse error naming the bound; huge ones
// are parsed whole. The library's own walks (writer, text extraction) must
// not recurse: a tree 100,000 levels deep is built with the editing calls.
TEST(Limits, HostileInputsFailAndHugeOnesParseInBoundedMemory) {
  ScratchDir dir;
  std::string attributes = "<e";
  for (int i = 0; i < 50000; ++i) attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  attributes += "/>";
  const auto external = [&](const std::string& dtd) {
    return "<!DOCTYPE d SYSTEM '" + dir.write("d" + std::to_string(dtd.size()) + ".dtd", dtd) + "'><d/>";
  };
  const int items = ((16 << 20) - 5 + 28) / 29;  // a document of 16 MiB
  const std::string junk = dir.write("junk.xml", "<?xml version='1.0'?><doc><a>text</a><<<<&&&&");
  std::filesystem::resize_file(junk, 1LL << 30);  // 1 GiB: the rest reads as NUL bytes and takes no disk
  const std::string expansions = "QelError 21304: The document exceeds the limit of 50000 entity expansions*";
  const std::string text = "QelError 21304: The entity text of the document exceeds the limit of 16777216 characters*";
  const struct {
    std::string name;
    std::function<std::string()> body;
    std::string want;
    std::string input = "";  // the file on the child's standard input
    bool bounded = true;     // a document as large as the 16 MiB one may take more
  } cases[] = {
      {"billion-laughs", [] { return parsed("<!DOCTYPE l [" + nested("", "&e", 10, 10, "lol") + "]><l>&e10;</l>"); },
       expansions},
      {"quadratic-entity", [] { return parsed(big(40000)); }, text},
      // Never used: written &#37;, the references expand when the last entity
      // is declared (10^9 expansions); written %, each value grows tenfold.
      {"parameter-entities-nested",
       [&] { return parsed(external(nested("% ", "&#37;e", 9, 10, "xxxxxxxxxx") + "<!ENTITY % all '%e9;'>")); },
       expansions},
      {"parameter-entities-growing", [&] { return parsed(external(nested("% ", "%e", 9, 10, "xxxxxxxxxx"))); }, text},
      // 3,000 entities, each a reference to the one before.
      {"entity-chain-3000",
       [] { return parsed("<!DOCTYPE d [" + nested("", "&e", 3000, 1, "end") + "]><d>&e3000;</d>"); },
       "QelError 21304: The entity references of the document nest deeper than 64 levels*"},
      {"stdin-doc-then-junk-1GiB", [] { return childrenFromStdin(0); },
       "QelError 21304: element name expected ( line 1, char 39 )*", junk},
      {"deep-edit-100000",
       [] {
         DocPtr doc(tavCreateDoc(u"r"));
         DOMNode* node = doc->getDocumentElement();
         for (int i = 0; i < 100000; ++i)
           if ((node = tavAddElem(node, u"e")) && i % 1000 == 0) tavAddText(node, u"t");
         tavAddCDATA(node, u"end");
         QelUniString text;
         return u8(tavGetText(parse(write(doc.get(), QEL_WRITE_XML_DECL, "UTF-8"))->getDocumentElement(), text));
       },
       std::string(100, 't') + "end"},
      // Xerces-C places each new attribute by a linear search of the map: the
      // time grows with the square of the count, memory stays linear.
      {"attributes-50000", [&] { return parsed(attributes).size() == attributes.size() ? "same" : "differs"; }, "same"},
      {"stdin-document-16MiB", [] { return childrenFromStdin(QEL_PARSE_TRIM); }, std::to_string(items),
       dir.write("16MiB.xml", "<doc>" + repeat("<item>0123456789abcdef</item>", items) + "</doc>"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string got = runInChild(c.name, c.body, c.input, c.bounded);
    const size_t prefix = c.want.back() == '*' ? c.want.size() - 1 : std::string::npos;
    EXPECT_EQ(got.substr(0, prefix), c.want.substr(0, prefix));
  }
}

// The bounds, set process-wide or on a parser of the caller's own, hold for
// every kind of expansion: in content, in an attribute value, a parameter
// entity in the internal subset, the bytes of an external entity. 0 lifts one.
TEST(Limits, EntityBoundsHoldForEveryKindOfExpansion) {
  ScratchDir dir;
  const std::string type = "<!DOCTYPE d [<!ENTITY e 'abcdefghij'>";
  const std::string over = "limit of 100 entity expansions", text = "limit of 1000 characters";
  const struct {
    std::string xml;
    XMLSize_t expansions, text;
    std::string want;
  } rows[] = {
      {type + "]><d>" + repeat("&e;", 100) + "</d>", 100, 1000, "1000"},  // both bounds reached, not passed
      {type + "]><d>" + repeat("&e;", 101) + "</d>", 100, 0, over},
      {type + "]><d a='" + repeat("&e;", 200) + "'/>", 0, 1000, text},
      {"<!DOCTYPE d [<!ENTITY % p '<!-- " + std::string(600, 'p') + " -->'>%p;%p;]><d/>", 0, 1000, text},
      {"<!DOCTYPE d [<!ENTITY x SYSTEM '" + dir.write("x.ent", std::string(600, 'x')) + "'>]><d>&x;&x;</d>", 0, 1000,
       text},
      {big(100), 0, 0, "10000000"},  // the process-wide default admits 10^7 characters
  };
  XMLSize_t expansions = 0, characters = 0;
  qelGetParseLimits(expansions, characters);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.xml.substr(0, 60) + " bounds " + std::to_string(r.expansions) + "/" + std::to_string(r.text));
    auto outcome = [&](bool own) {
      try {
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(r.xml.data()), r.xml.size(), "limits");
        QelXmlParser parser(0, nullptr, source);
        parser.setEntityExpansionLimit(r.expansions);
        parser.setEntityTextLimit(r.text);
        if (own) parser.parse(source);
        DocPtr doc(own ? parser.detachDocument() : parse(r.xml).release());
        return std::to_string(XMLString::stringLen(doc->getDocumentElement()->getTextContent()));
      } catch (const QelError& e) {
        return std::string(e.getMessage());
      } catch (const SAXParseException& e) {
        return qelGetErrorMsg(e);
      }
    };
    if (r.expansions || r.text) qelSetParseLimits(r.expansions, r.text);
    const std::string global = outcome(false);
    qelSetParseLimits(expansions, characters);
    for (const std::string& got : {global, r.expansions || r.text ? outcome(true) : global})
      EXPECT_NE(got.find(r.want), std::string::npos) << got;
  }
}
