// The W3C XML Conformance Test Suite through qelParseDocFromFile, and the same
// cases through a bare Xerces-C XercesDOMParser: the library must do at least
// as well as Xerces-C alone in every category, and every failure of the
// library must be listed, with its reason, in
// tests/data/conformance-known-failures.txt.
#include <filesystem>
#include <iostream>
#include <regex>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;
namespace fs = std::filesystem;

namespace {

const bool s_noNetwork = noNetwork();
const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

std::string attr(const DOMElement* e, const XMLCh* name) { return u8(e->getAttribute(name)); }

struct Case {
  std::string id;
  std::string type;  // valid, invalid, not-wf, error
  fs::path file;
  bool namespaces = false;
  std::string skip;  // reason, empty when the case runs
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
    const std::string rec = attr(test, u"RECOMMENDATION"), edition = attr(test, u"EDITION");
    c.namespaces = rec.rfind("NS", 0) == 0 && attr(test, u"NAMESPACE") != "no";
    if (attr(test, u"VERSION") == "1.1" || rec == "XML1.1" || rec == "NS1.1")
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

// What a parser makes of a case's file: empty when it accepts it, else why
// not; a failure other than the parse error starts with '!'.
std::string library(const fs::path& file, unsigned long opt, DocPtr* doc = nullptr, const char* encoding = nullptr) {
  try {
    DocPtr parsed(qelParseDocFromFile(file.c_str(), opt, encoding));
    if (doc) *doc = std::move(parsed);
    return "";
  } catch (const QelError& e) {
    return (e.getRc() == QELRC_DOM_INVALID_XML_DOCUMENT ? "rc " : "!rc ") + std::to_string(e.getRc()) + ": " +
           e.getMessage();
  } catch (const std::exception& e) {
    return std::string("!exception: ") + e.what();
  }
}

// category -> case id -> failure text; an id absent from the map passed.
using Results = std::map<std::string, std::map<std::string, std::string>>;

template <typename Parse>
Results runSuite(const std::vector<Case>& cases, Parse parse, std::map<std::string, int>& passed) {
  Results failures;
  auto record = [&](const std::string& category, const Case& c, const std::string& failure) {
    ++passed[category];
    if (!failure.empty()) --passed[category], failures[category][c.id] = failure;
  };
  for (const Case& c : cases) {
    if (!c.skip.empty()) {
      if (c.type == "error" && fs::exists(c.file)) parse(c.file, 0);  // must not crash either way
      continue;
    }
    const unsigned long opt = c.namespaces ? QEL_PARSE_NAMESPACES : 0;
    const std::string plain = parse(c.file, opt);
    const auto validating = [&] { return parse(c.file, opt | QEL_PARSE_VALIDATE); };
    if (c.type == "not-wf") {
      record("not-wf rejected", c, plain.empty() ? "accepted" : plain[0] == '!' ? plain : "");
    } else if (c.type == "valid") {
      record("valid accepted", c, plain);
      record("valid accepted when validating", c, validating());
    } else if (c.type == "invalid") {
      record("invalid accepted without validation", c, plain);
      record("invalid rejected when validating", c, validating().empty() ? "accepted" : "");
    }
  }
  return failures;
}

// A known failure whose reason starts with this is one that bare Xerces-C
// passes: the library's own recognition or resolution loses it.
const std::string kLoses = "[loses to Xerces-C] ";

// "category<TAB>id<TAB>reason" lines; '#' starts a comment line.
Results loadKnownFailures(const fs::path& file) {
  Results known;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    if (line.empty() || line[0] == '#') continue;
    if (t2 != std::string::npos) known[line.substr(0, t1)][line.substr(t1 + 1, t2 - t1 - 1)] = line.substr(t2 + 1);
  }
  return known;
}

// The catalogue, read once.
const std::vector<Case>& suite() {
  static const std::vector<Case> cases = loadCatalogue(QELDOM_XMLCONF_DIR);
  EXPECT_GT(cases.size(), 2000u) << "suite not unpacked at " << QELDOM_XMLCONF_DIR;
  return cases;
}

}  // namespace

// The library does at least as well as Xerces-C alone in every category,
// case by case, and every failure of the library is listed, with its reason,
// in tests/data/conformance-known-failures.txt.
TEST(Conformance, W3CSuite) {
  const std::vector<Case>& cases = suite();
  std::map<std::string, int> passed, barePassed;
  Results failures = runSuite(
      cases, [](const fs::path& f, unsigned long opt) { return library(f, opt); }, passed);
  Results bareFailures = runSuite(
      cases,
      [](const fs::path& f, unsigned long opt) -> std::string {
        return bareDom(readFile(f), f.c_str(), opt) ? "" : "x";
      },
      barePassed);
  Results known = loadKnownFailures(fs::path(QELDOM_TEST_DATA) / "conformance-known-failures.txt");
  std::cout << "W3C XML Conformance Test Suite: " << cases.size() << " cases\n";
  for (const auto& [cat, n] : passed) {
    std::cout << "  " << cat << ": library " << n << " passed, " << failures[cat].size() << " failed; bare Xerces-C "
              << barePassed[cat] << " passed, " << bareFailures[cat].size() << " failed\n";
    int lost = 0;  // known failures that say they lose to Xerces-C
    for (auto& [id, why] : failures[cat]) {
      const bool listed = known[cat].count(id);
      if (!listed) ADD_FAILURE() << "new failure: " << cat << "\t" << id << "\t" << why;
      if (bareFailures[cat].count(id)) continue;
      if (listed && known[cat][id].rfind(kLoses, 0) == 0)
        ++lost;
      else
        ADD_FAILURE() << cat << " " << id << ": the library fails (" << why << ") where bare Xerces-C passes";
    }
    EXPECT_GE(n + lost, barePassed[cat]) << cat;
    for (auto& [id, reason] : known[cat])
      if (!failures[cat].count(id))
        ADD_FAILURE() << "passes now, remove from the known failures: " << cat << "\t" << id;
  }
}

// --- the writer's round trip over every valid document ------------------------------------------

namespace {

// The document type as the DOM holds it: identifiers, the internal subset as
// Xerces-C rebuilds it from the declarations, the entities and notations.
std::string declarations(const DOMDocument* doc) {
  const DOMDocumentType* type = doc->getDoctype();
  if (!type) return "";
  std::string out = u8(type->getName()) + " [" + u8(type->getPublicId()) + "] [" + u8(type->getSystemId()) + "] [" +
                    u8(type->getInternalSubset()) + "]";
  for (const DOMNamedNodeMap* map : {type->getEntities(), type->getNotations()})
    for (XMLSize_t i = 0; i < map->getLength(); ++i) {
      const auto* e = dynamic_cast<const DOMEntity*>(map->item(i));
      const auto* n = dynamic_cast<const DOMNotation*>(map->item(i));
      out += "\n" + u8(map->item(i)->getNodeName()) + " [" + u8(e ? e->getPublicId() : n->getPublicId()) + "] [" +
             u8(e ? e->getSystemId() : n->getSystemId()) + "] [" + u8(e ? e->getNotationName() : nullptr) + "]";
    }
  return out;
}

// What a parser reads back of text the writer left its white space in (no
// character references asked for): CR LF and CR in text as LF, TAB, LF and CR
// in an attribute value as spaces.
std::u16string readBack(std::u16string s, bool attribute) {
  for (size_t i = 0; (i = s.find_first_of(attribute ? u"\t\n\r" : u"\r", i)) != s.npos; ++i)
    if (!attribute && i + 1 < s.size() && s[i + 1] == u'\n')
      s.erase(i, 1);
    else
      s[i] = attribute ? u' ' : u'\n';
  return s;
}

std::u16string content(const DOMNode* node, bool comments, bool rawSpace);

// The children of `node` as `content` shows them; text and CDATA gather in
// `run` until the next item.
void items(const DOMNode* node, bool comments, bool rawSpace, std::u16string& out, std::u16string& run) {
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    const short t = c->getNodeType();
    if (t == DOMNode::ENTITY_REFERENCE_NODE) items(c, comments, rawSpace, out, run);
    if (t == DOMNode::TEXT_NODE || t == DOMNode::CDATA_SECTION_NODE) run += c->getNodeValue();
    if (t != DOMNode::ELEMENT_NODE && t != DOMNode::PROCESSING_INSTRUCTION_NODE &&
        (t != DOMNode::COMMENT_NODE || !comments))
      continue;
    if (!run.empty()) out += u"\n[" + (rawSpace ? readBack(run, false) : run) + u"]";
    run.clear();
    out += content(c, comments, rawSpace);
  }
}

// A tree as a parser reads it, as text: names, values, attributes in any
// order, processing instructions, comments if asked, and runs of text and
// CDATA merged (entity references entered, empty runs no content). With
// `rawSpace` the texts are as read back (readBack).
std::u16string content(const DOMNode* node, bool comments, bool rawSpace) {
  std::map<std::u16string, std::u16string> attributes;
  for (XMLSize_t i = 0; node->getAttributes() && i < node->getAttributes()->getLength(); ++i) {
    const DOMNode* a = node->getAttributes()->item(i);
    attributes[a->getNodeName()] = rawSpace ? readBack(a->getNodeValue(), true) : a->getNodeValue();
  }
  std::u16string out = u"\n<" + std::u16string(node->getNodeName()) + u"|" +
                       (node->getNodeValue() ? node->getNodeValue() : u""),
                 run;
  for (const auto& [name, value] : attributes) out += u" " + name + u"=" + value;
  items(node, comments, rawSpace, out, run);
  return out + (run.empty() ? u"" : u"\n[" + (rawSpace ? readBack(run, false) : run) + u"]") + u"\n>";
}

// Writes the document beside its original (so that relative identifiers
// still resolve), parses that file and compares. Empty when the document
// comes back the same; `refusal` is set when the writer refused it.
std::string writeAndReadBack(const Case& c, const DOMDocument* doc, unsigned long mode, const char* encoding,
                             std::string& refusal) {
  const fs::path copy = c.file.parent_path() / (".roundtrip-" + c.file.filename().string());
  try {
    std::ofstream(copy, std::ios::binary) << write(doc, mode, encoding);
  } catch (const QelError& e) {
    refusal = e.getMessage();
    return "";
  }
  DocPtr back;
  const std::string error = library(copy, c.namespaces ? QEL_PARSE_NAMESPACES : 0, &back, encoding);
  fs::remove(copy);
  if (!back) return "does not parse: " + error;
  const bool canonical = mode & QEL_WRITE_CANONICAL;
  // Without character references the writer leaves CR in text and TAB, LF
  // and CR in attribute values as they are, and a parser reads them back as
  // LF and spaces.
  const std::u16string was = content(doc, !canonical, !canonical), is = content(back.get(), !canonical, false);
  if (was != is) return "content differs " + firstDifference(u8(was.c_str()), u8(is.c_str()));
  if ((u8(doc->getXmlVersion()) == "1.1") != (u8(back->getXmlVersion()) == "1.1")) return "the version differs";
  if (!canonical && declarations(doc) != declarations(back.get()))
    return "declarations differ:\n" + declarations(doc) + "\nvs\n" + declarations(back.get());
  return "";
}

// Whether the writer refused for a character the encoding cannot hold in a
// name, a comment or a processing instruction, where XML has no references:
// "The <what>[ in the internal subset] holds U+..., which the encoding E
// cannot hold: ...".
bool refusedForMarkup(const std::string& message, const std::string& encoding) {
  static const std::regex markup(
      "The (comment|processing instruction|[a-z ]*name)( in the internal subset)? holds U\\+.*");
  return std::regex_match(message, markup) &&
         message.find(", which the encoding " + encoding + " cannot hold: ") != std::string::npos;
}

}  // namespace

// Every valid document of the suite, XML 1.0 and 1.1, written in five
// encodings with and without canonical form, comes back the same. The
// writer may refuse a document only for a character that the code page
// cannot hold where XML has no character references: in a name, a comment
// or a processing instruction.
TEST(Conformance, ValidDocumentsComeBackFromTheWriter) {
  int documents = 0;
  for (const Case& c : suite()) {
    DocPtr original;
    if (c.type != "valid" || !fs::exists(c.file) ||
        !library(c.file, c.namespaces ? QEL_PARSE_NAMESPACES : 0, &original).empty())
      continue;  // the suite's own test accounts for documents that do not parse
    ++documents;
    for (unsigned long mode : {QEL_WRITE_XML_DECL | QEL_WRITE_DOCTYPE, QEL_WRITE_CANONICAL})
      for (const char* encoding : {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037", "US-ASCII"}) {
        const std::string where = c.id + " (options " + std::to_string(mode) + ", " + encoding + ")";
        std::string refusal;
        const std::string failure = writeAndReadBack(c, original.get(), mode, encoding, refusal);
        EXPECT_EQ(failure, "") << where;
        if (!refusal.empty() && (std::string(encoding).rfind("UTF", 0) == 0 || !refusedForMarkup(refusal, encoding)))
          ADD_FAILURE() << where << " refused: " << refusal;
      }
  }
  std::cout << documents << " valid documents written and read back\n";
  EXPECT_GT(documents, 700);
}

// Every document of the suite that both parse, namespaces off and on: the
// library's DOM is bare Xerces-C's, node by node, and built directly.
TEST(Conformance, SameDomAsXercesDOMParser) {
  std::map<std::string, int> compared, direct;
  for (const Case& c : suite()) {
    for (unsigned long opt : {0ul, QEL_PARSE_NAMESPACES}) {
      if (!c.skip.empty()) continue;
      const std::string xml = readFile(c.file), mode = opt ? "namespaces" : "no namespaces";
      bool built = false;
      DocPtr got = libraryDom(xml, c.file.c_str(), opt, &built), want = bareDom(xml, c.file.c_str(), opt);
      if (!got || !want) continue;  // the outcomes are the W3CSuite test's
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
