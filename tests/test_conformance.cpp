// The W3C XML Conformance Test Suite through qelParseDocFromFile, and the same
// cases through a bare Xerces-C XercesDOMParser: the library must do at least
// as well as Xerces-C alone in every category, and every failure of the
// library must be listed, with its reason, in
// tests/data/conformance-known-failures.txt.
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;
namespace fs = std::filesystem;

namespace {

const bool s_noNetwork = noNetwork();

std::string attr(const DOMElement* e, const XMLCh* name) { return u8(e->getAttribute(name)); }

struct Case {
  std::string id;
  std::string type;  // valid, invalid, not-wf, error
  fs::path file;
  bool hasOutput = false;
  bool namespaces = false;
  std::string skip;  // reason, empty when the case runs
  bool xml11 = false;
};

// The catalogue, read with a plain Xerces-C parser. Each TESTCASES element
// may carry an xml:base that its TEST URIs are relative to.
std::vector<Case> loadCatalogue(const fs::path& root) {
  XercesDOMParser parser;
  HandlerBase handler;
  parser.setErrorHandler(&handler);
  parser.parse((root / "xmlconf.xml").c_str());
  std::vector<Case> cases;
  DOMNodeList* tests = parser.getDocument()->getElementsByTagName(u"TEST");
  for (XMLSize_t i = 0; i < tests->getLength(); ++i) {
    const DOMElement* test = static_cast<const DOMElement*>(tests->item(i));
    // The xml:base values up to the catalogue file that holds the test, then
    // that file's directory (the master's xml:base for one file, misc/,
    // names a directory where its tests are not).
    std::string base;
    for (const DOMNode* n = test->getParentNode(); n; n = n->getParentNode()) {
      if (n->getNodeType() == DOMNode::ELEMENT_NODE) {
        base = attr(static_cast<const DOMElement*>(n), u"xml:base") + base;
      } else if (n->getNodeType() == DOMNode::ENTITY_REFERENCE_NODE) {
        const DOMEntity* entity = static_cast<const DOMEntity*>(
            parser.getDocument()->getDoctype()->getEntities()->getNamedItem(n->getNodeName()));
        base = fs::path(u8(entity->getSystemId())).parent_path().string() + "/" + base;
        break;
      }
    }
    Case c;
    c.id = attr(test, u"ID");
    c.type = attr(test, u"TYPE");
    c.file = root / base / attr(test, u"URI");
    c.hasOutput = !attr(test, u"OUTPUT").empty();
    std::string rec = attr(test, u"RECOMMENDATION");
    std::string version = attr(test, u"VERSION");
    std::string edition = attr(test, u"EDITION");
    c.namespaces = rec.rfind("NS", 0) == 0 && attr(test, u"NAMESPACE") != "no";
    c.xml11 = version == "1.1" || rec == "XML1.1" || rec == "NS1.1";
    if (c.xml11)
      c.skip = "XML 1.1";
    else if (!edition.empty() && edition.find('5') == std::string::npos)
      c.skip = "written for editions 1 to 4 only; Xerces-C 3.2 implements the fifth edition";
    else if (c.type == "error")
      c.skip = "error case: either outcome conforms";
    else if (!fs::exists(c.file))
      c.skip = "file missing from the archive";
    cases.push_back(c);
  }
  return cases;
}

// --- the two parsers under comparison -----------------------------------------------------------

struct Outcome {
  DocPtr doc;
  std::string error;       // empty on success
  bool wrongKind = false;  // a failure other than the parse error
};

Outcome libraryParseFile(const fs::path& file, unsigned long opt, const char* encoding = nullptr) {
  Outcome out;
  try {
    out.doc.reset(qelParseDocFromFile(file.c_str(), opt, encoding));
  } catch (const QelError& e) {
    out.error = "rc " + std::to_string(e.getRc()) + ": " + e.getMessage();
    out.wrongKind = e.getRc() != QELRC_DOM_INVALID_XML_DOCUMENT;
  } catch (const std::exception& e) {
    out.error = std::string("exception: ") + e.what();
    out.wrongKind = true;
  }
  return out;
}

Outcome libraryParseBuffer(const std::string& bytes, unsigned long opt) {
  Outcome out;
  try {
    out.doc.reset(qelParseDoc(bytes.data(), bytes.size(), opt, nullptr));
  } catch (const QelError& e) {
    out.error = std::string("error: ") + e.getMessage();
  }
  return out;
}

class ThrowingHandler : public HandlerBase {
 public:
  void error(const SAXParseException& e) override { throw e; }
};

template <typename Source>
Outcome bareParse(const Source& source, unsigned long opt) {
  Outcome out;
  XercesDOMParser parser;
  parser.setValidationScheme((opt & QEL_PARSE_VALIDATE) ? XercesDOMParser::Val_Always : XercesDOMParser::Val_Never);
  parser.setDoNamespaces(opt & QEL_PARSE_NAMESPACES);
  parser.setCreateEntityReferenceNodes(false);
  ThrowingHandler handler;
  parser.setErrorHandler(&handler);
  try {
    parser.parse(source);
    out.doc.reset(parser.adoptDocument());
  } catch (const SAXParseException& e) {
    out.error = "error: " + u8(e.getMessage());
  } catch (const XMLException& e) {
    out.error = "error: " + u8(e.getMessage());
  } catch (const DOMException& e) {
    out.error = "DOMException " + std::to_string(e.code);
  } catch (const OutOfMemoryException&) {
    out.error = "out of memory";
  }
  return out;
}

Outcome bareParseFile(const fs::path& file, unsigned long opt) { return bareParse(file.c_str(), opt); }

Outcome bareParseBuffer(const std::string& bytes, unsigned long opt) {
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "canonical", false);
  return bareParse(src, opt);
}

// --- one run of the suite through one parser ---------------------------------------------------

using FileParser = std::function<Outcome(const fs::path&, unsigned long)>;
using BufferParser = std::function<Outcome(const std::string&, unsigned long)>;

// category -> case id -> failure text; an id absent from the map passed.
using Results = std::map<std::string, std::map<std::string, std::string>>;

struct Tally {
  std::map<std::string, int> passed, failed;
};

void record(Results& failures, Tally& tally, const std::string& category, const std::string& id,
            const std::string& failure) {
  if (failure.empty()) {
    ++tally.passed[category];
  } else {
    ++tally.failed[category];
    failures[category][id] = failure;
  }
}

// The canonical round trip: parse, write the document element canonically,
// parse that again, compare.
std::string roundTrip(const Outcome& first, unsigned long opt, const BufferParser& parseBuffer) {
  std::string bytes;
  try {
    bytes = write(first.doc->getDocumentElement(), QEL_WRITE_CANONICAL, "UTF-8");
  } catch (const std::exception& e) {
    return std::string("write failed: ") + e.what();
  } catch (const DOMException& e) {
    return "write failed: DOMException " + std::to_string(e.code);
  }
  Outcome second = parseBuffer(bytes, opt);
  if (!second.doc) return "canonical output does not parse: " + second.error;
  // Comments are not compared (canonical form leaves them out), and a CDATA
  // section counts as text (canonical form writes it as text).
  std::string why;
  if (!sameContent(first.doc->getDocumentElement(), second.doc->getDocumentElement(), false, why))
    return "trees differ: " + why;
  return "";
}

Results runSuite(const std::vector<Case>& cases, const FileParser& parseFile, const BufferParser& parseBuffer,
                 Tally& tally) {
  Results failures;
  for (const Case& c : cases) {
    if (!c.skip.empty()) {
      if (c.type == "error" && fs::exists(c.file)) parseFile(c.file, 0);  // must not crash either way
      continue;
    }
    unsigned long opt = c.namespaces ? QEL_PARSE_NAMESPACES : 0;
    if (c.type == "not-wf") {
      Outcome o = parseFile(c.file, opt);
      record(failures, tally, "not-wf rejected", c.id, o.doc ? "accepted" : (o.wrongKind ? o.error : ""));
    } else if (c.type == "valid") {
      Outcome o = parseFile(c.file, opt);
      record(failures, tally, "valid accepted", c.id, o.doc ? "" : o.error);
      Outcome v = parseFile(c.file, opt | QEL_PARSE_VALIDATE);
      record(failures, tally, "valid accepted when validating", c.id, v.doc ? "" : v.error);
      if (c.hasOutput && o.doc)
        record(failures, tally, "valid canonical round trip", c.id, roundTrip(o, opt, parseBuffer));
    } else if (c.type == "invalid") {
      Outcome o = parseFile(c.file, opt);
      record(failures, tally, "invalid accepted without validation", c.id, o.doc ? "" : o.error);
      Outcome v = parseFile(c.file, opt | QEL_PARSE_VALIDATE);
      record(failures, tally, "invalid rejected when validating", c.id, v.doc ? "accepted" : "");
    }
  }
  return failures;
}

// A known failure whose reason starts with this is one that bare Xerces-C
// passes: the library's own recognition or resolution loses it.
const std::string kLoses = "[loses to Xerces-C] ";

// "category<TAB>id<TAB>reason" lines; '#' starts a comment line.
std::map<std::string, std::map<std::string, std::string>> loadKnownFailures(const fs::path& file) {
  std::map<std::string, std::map<std::string, std::string>> known;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) {
      ADD_FAILURE() << "malformed known-failure line: " << line;
      continue;
    }
    std::string reason = line.substr(t2 + 1);
    if (reason.empty()) ADD_FAILURE() << "known failure without a reason: " << line;
    known[line.substr(0, t1)][line.substr(t1 + 1, t2 - t1 - 1)] = reason;
  }
  return known;
}

}  // namespace

TEST(Conformance, W3CSuite) {
  const fs::path root = QELDOM_XMLCONF_DIR;
  ASSERT_TRUE(fs::exists(root / "xmlconf.xml")) << "suite not unpacked at " << root;
  tavDomInit();
  auto start = std::chrono::steady_clock::now();
  std::vector<Case> cases = loadCatalogue(root);
  ASSERT_GT(cases.size(), 2000u);

  std::map<std::string, int> skipped;
  for (const Case& c : cases)
    if (!c.skip.empty()) ++skipped[c.skip];

  Tally lib, bare;
  Results libFailures = runSuite(
      cases, [](const fs::path& f, unsigned long opt) { return libraryParseFile(f, opt); }, libraryParseBuffer, lib);
  Results bareFailures = runSuite(cases, bareParseFile, bareParseBuffer, bare);
  auto known = loadKnownFailures(fs::path(QELDOM_TEST_DATA) / "conformance-known-failures.txt");

  std::ostringstream summary;
  summary << "W3C XML Conformance Test Suite: " << cases.size() << " cases\n";
  std::set<std::string> categories;
  for (auto& [k, v] : lib.passed) categories.insert(k);
  for (auto& [k, v] : lib.failed) categories.insert(k);
  for (const std::string& cat : categories) {
    summary << "  " << cat << ": library " << lib.passed[cat] << " passed, " << lib.failed[cat]
            << " failed; bare Xerces-C " << bare.passed[cat] << " passed, " << bare.failed[cat] << " failed\n";
    // Never worse than Xerces-C alone, case by case. The only exceptions are
    // known failures that say so in their reason, and they are counted.
    int lost = 0;
    for (auto& [id, why] : libFailures[cat]) {
      if (bareFailures[cat].count(id)) continue;
      if (known[cat].count(id) && known[cat][id].rfind(kLoses, 0) == 0) {
        ++lost;
        continue;
      }
      ADD_FAILURE() << cat << " " << id << ": the library fails (" << why << ") where bare Xerces-C passes";
    }
    EXPECT_GE(lib.passed[cat] + lost, bare.passed[cat]) << cat;
    // Every failure is a known one, and every known one still fails.
    for (auto& [id, why] : libFailures[cat])
      if (!known[cat].count(id)) ADD_FAILURE() << "new failure: " << cat << "\t" << id << "\t" << why;
    for (auto& [id, reason] : known[cat])
      if (!libFailures[cat].count(id))
        ADD_FAILURE() << "passes now, remove from the known failures: " << cat << "\t" << id;
  }
  for (auto& [cat, ids] : known)
    if (!categories.count(cat)) ADD_FAILURE() << "unknown category in the known failures: " << cat;
  int skippedTotal = 0;
  for (auto& [reason, n] : skipped) {
    summary << "  skipped " << n << ": " << reason << "\n";
    skippedTotal += n;
  }
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  summary << "  " << skippedTotal << " skipped in all; " << seconds << " s\n";
  std::cout << summary.str();
  if (std::getenv("QELDOM_CONFORMANCE_DUMP")) {
    for (const Case& c : cases)
      if (!c.skip.empty() && c.type != "error")
        std::cout << "skipped\t" << c.id << "\t" << c.file << "\t" << c.skip << "\n";
    for (auto& [cat, m] : libFailures)
      for (auto& [id, why] : m) std::cout << cat << "\t" << id << "\t" << why << "\n";
  }
}

// --- the writer's round trip over every valid document ------------------------------------------

namespace {

struct WriteMode {
  unsigned long options;
  const char* name;
};
const WriteMode s_writeModes[] = {{QEL_WRITE_XML_DECL | QEL_WRITE_DOCTYPE, "declaration, doctype"},
                                  {QEL_WRITE_CANONICAL, "canonical"}};
const char* const s_writeEncodings[] = {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037", "US-ASCII"};

// The document type as the DOM holds it: identifiers, the internal subset as
// Xerces-C rebuilds it from the declarations, the entities and notations.
std::string declarations(const DOMDocument* doc) {
  const DOMDocumentType* type = doc->getDoctype();
  if (!type) return "";
  std::string out = u8(type->getName()) + " [" + u8(type->getPublicId()) + "] [" + u8(type->getSystemId()) + "] [" +
                    u8(type->getInternalSubset()) + "]";
  auto ids = [](const XMLCh* publicId, const XMLCh* systemId, const XMLCh* notation) {
    return " [" + u8(publicId) + "] [" + u8(systemId) + "] [" + u8(notation) + "]";
  };
  for (XMLSize_t i = 0; i < type->getEntities()->getLength(); ++i) {
    const DOMEntity* e = static_cast<const DOMEntity*>(type->getEntities()->item(i));
    out += "\n" + u8(e->getNodeName()) + ids(e->getPublicId(), e->getSystemId(), e->getNotationName());
  }
  for (XMLSize_t i = 0; i < type->getNotations()->getLength(); ++i) {
    const DOMNotation* n = static_cast<const DOMNotation*>(type->getNotations()->item(i));
    out += "\n" + u8(n->getNodeName()) + ids(n->getPublicId(), n->getSystemId(), nullptr);
  }
  return out;
}

// Writes the document beside its original (so that relative identifiers
// still resolve), parses that file and compares. Empty when the document
// comes back the same; `refusal` is set when the writer refused it.
std::string writeAndReadBack(const Case& c, const DOMDocument* doc, const WriteMode& mode, const char* encoding,
                             std::string& refusal) {
  const fs::path copy = c.file.parent_path() / (".roundtrip-" + c.file.filename().string());
  try {
    std::ofstream(copy, std::ios::binary) << write(doc, mode.options, encoding);
  } catch (const QelError& e) {
    refusal = e.getMessage();
    return "";
  }
  Outcome back = libraryParseFile(copy, c.namespaces ? QEL_PARSE_NAMESPACES : 0, encoding);
  fs::remove(copy);
  if (!back.doc) return "does not parse: " + back.error;
  std::string why;
  const bool canonical = mode.options & QEL_WRITE_CANONICAL;
  // Without character references the writer leaves CR in text and TAB, LF
  // and CR in attribute values as they are, and a parser reads them back as
  // LF and spaces.
  if (!sameContent(doc, back.doc.get(), !canonical, why, !canonical)) return "content differs: " + why;
  auto xml11 = [](const DOMDocument* d) { return u8(d->getXmlVersion()) == "1.1"; };
  if (xml11(doc) != xml11(back.doc.get())) return "the version differs";
  if (!canonical && declarations(doc) != declarations(back.doc.get()))
    return "declarations differ:\n" + declarations(doc) + "\nvs\n" + declarations(back.doc.get());
  return "";
}

// Whether the writer refused for a character the encoding cannot hold in a
// name, a comment or a processing instruction, where XML has no references.
bool refusedForMarkup(const std::string& message, const std::string& encoding) {
  const size_t holds = message.find(" holds U+");
  if (message.rfind("The ", 0) != 0 || holds == std::string::npos) return false;
  std::string what = message.substr(4, holds - 4);
  const std::string subset = " in the internal subset";
  if (what.size() > subset.size() && what.compare(what.size() - subset.size(), subset.size(), subset) == 0)
    what.resize(what.size() - subset.size());
  const bool markup = what == "comment" || what == "processing instruction" ||
                      (what.size() >= 4 && what.compare(what.size() - 4, 4, "name") == 0);
  return markup && message.find(", which the encoding " + encoding + " cannot hold: ", holds) != std::string::npos;
}

}  // namespace

// Every valid document of the suite, XML 1.0 and 1.1, written in five
// encodings with and without canonical form, comes back the same. The
// writer may refuse a document only for a character that the code page
// cannot hold where XML has no character references: in a name, a comment
// or a processing instruction. The refusals are listed by kind.
TEST(Conformance, ValidDocumentsComeBackFromTheWriter) {
  const fs::path root = QELDOM_XMLCONF_DIR;
  ASSERT_TRUE(fs::exists(root / "xmlconf.xml")) << "suite not unpacked at " << root;
  tavDomInit();
  int documents = 0, unparsed = 0;
  std::map<std::string, std::vector<std::string>> refusals;  // "encoding: what" -> case ids
  for (const Case& c : loadCatalogue(root)) {
    if (c.type != "valid" || !fs::exists(c.file)) continue;
    Outcome original = libraryParseFile(c.file, c.namespaces ? QEL_PARSE_NAMESPACES : 0);
    if (!original.doc) {
      ++unparsed;  // the suite's own test accounts for these
      continue;
    }
    ++documents;
    for (const WriteMode& mode : s_writeModes)
      for (const char* encoding : s_writeEncodings) {
        std::string refusal;
        std::string failure = writeAndReadBack(c, original.doc.get(), mode, encoding, refusal);
        if (!failure.empty()) ADD_FAILURE() << c.id << " (" << mode.name << ", " << encoding << "): " << failure;
        if (refusal.empty()) continue;
        if (std::string(encoding).rfind("UTF", 0) == 0 || !refusedForMarkup(refusal, encoding))
          ADD_FAILURE() << c.id << " (" << mode.name << ", " << encoding << ") refused: " << refusal;
        refusals[std::string(encoding) + ": " + refusal.substr(0, refusal.find(" holds"))].push_back(c.id);
      }
  }
  std::cout << documents << " valid documents written and read back, " << unparsed << " not parsed\n";
  for (auto& [kind, ids] : refusals)
    std::cout << "  refused " << ids.size() << " times in " << kind << ", first in " << ids.front() << "\n";
}

// Every document of the suite that both parse, namespaces off and on: the
// library's DOM is bare Xerces-C's, node by node, and built directly.
TEST(Conformance, SameDomAsXercesDOMParser) {
  const fs::path root = QELDOM_XMLCONF_DIR;
  ASSERT_TRUE(fs::exists(root / "xmlconf.xml")) << "suite not unpacked at " << root;
  tavDomInit();
  std::map<std::string, int> compared, direct;
  for (const Case& c : loadCatalogue(root)) {
    if (!c.skip.empty()) continue;
    for (unsigned long opt : {0ul, QEL_PARSE_NAMESPACES}) {
      const std::string xml = readFile(c.file);
      bool built = false;
      DocPtr got = libraryDom(xml, c.file.c_str(), opt, &built), want = bareDom(xml, c.file.c_str(), opt);
      if (!got || !want) continue;  // the outcomes are the W3CSuite test's
      const std::string mode = opt ? "namespaces" : "no namespaces";
      ++compared[mode];
      direct[mode] += built;
      EXPECT_EQ(DomDiff(got.get(), want.get()).why(), "") << c.id << " (" << mode << ") " << c.file;
    }
  }
  for (const auto& [mode, n] : compared) {
    std::cout << "  same DOM, " << mode << ": " << n << " documents, " << direct[mode] << " built directly\n";
    EXPECT_GT(n, 900) << mode;
    EXPECT_EQ(direct[mode], QELDOM_LINKS_DIRECTLY ? n : 0) << mode;
  }
}
