// Parsing: the entry points over memory, files and standard input, the
// whitespace rule, encodings, external entities, building under a parent,
// and the DOM the parser links itself against Xerces-C's own.
#include <array>
#include <filesystem>
#include <functional>
#include <random>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

const bool s_noNetwork = noNetwork();
const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

// The children of a node in a compact form: element names, "t[...]" for text
// and "c[...]" for CDATA, "#" for comments, "?" for PIs, "!" and the name for
// a document type, nested in ().
std::string shape(const DOMNode* node) {
  std::string out;
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    const short t = c->getNodeType();
    out += out.empty() ? "" : " ";
    if (t == DOMNode::ELEMENT_NODE)
      out += u8(c->getNodeName()) + (c->hasChildNodes() ? "(" + shape(c) + ")" : "");
    else if (t == DOMNode::TEXT_NODE || t == DOMNode::CDATA_SECTION_NODE)
      out += (t == DOMNode::TEXT_NODE ? "t[" : "c[") + u8(c->getNodeValue()) + "]";
    else
      out += t == DOMNode::COMMENT_NODE ? "#" : t == DOMNode::DOCUMENT_TYPE_NODE ? "!" + u8(c->getNodeName()) : "?";
  }
  return out;
}

// A document's shape, after the encoding and standalone flag it records.
std::string tree(const DOMDocument* doc) {
  const std::string head = u8(doc->getXmlEncoding()) + (doc->getXmlStandalone() ? " standalone" : "");
  return (head.empty() ? "" : head + ": ") + shape(doc);
}

// What `run` raises: "error <rc>/<flag>/<line><function>: <message>" and the
// cause after " <- ", or "passed on: <message>" for a Xerces-C exception that
// reaches the caller (with its system id for a SAXParseException); empty when
// it raises nothing.
std::string failure(const std::function<void()>& run) {
  try {
    run();
  } catch (const QelError& e) {
    return "error " + std::to_string(e.getRc()) + "/" + std::to_string(e.getFlag()) + "/" +
           std::to_string(e.getLine()) + e.getFunction() + ": " + e.getMessage() +
           (e.getCause() ? std::string(" <- ") + e.getCause()->getMessage() : "");
  } catch (const SAXParseException& e) {
    return "passed on: " + qelGetErrorMsg(e) + " from " + u8(e.getSystemId());
  } catch (const DOMException& e) {
    return "passed on: " + qelGetErrorMsg(e);
  }
  return "";
}

// `text` matches `pattern`, in which each '*' stands for any text.
bool matches(const char* text, const char* pattern) {
  if (*pattern == '*') return matches(text, pattern + 1) || (*text && matches(text + 1, pattern));
  return *pattern ? *text == *pattern && matches(text + 1, pattern + 1) : !*text;
}

::testing::AssertionResult like(const std::string& got, const std::string& want) {
  if (matches(got.c_str(), want.c_str())) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got  " << got << "\nwant " << want;
}

std::string decl(const std::string& encoding) { return "<?xml version='1.0' encoding='" + encoding + "'?>"; }

enum Source { Memory, File, Path, Stdin };  // File: the input written to a file; Path, Stdin: a file's name

}  // namespace

// Every entry point, each row with and without namespace processing.
TEST(Parse, InputsGiveTheirTreesOrTheParseError) {
  ScratchDir dir;
  LoopbackServer server(LoopbackServer::Bodies{{"/d.dtd", "<!ENTITY % p SYSTEM 'p.ent'>%p;%p;"},
                                               {"/p.ent", "<?xml encoding='ISO-8859-1'?><!ENTITY e '\xe9'>"}});
  const std::string type = "<!DOCTYPE a SYSTEM '" + server.url("/d.dtd") + "'>", gone = server.url("/gone.dtd");
  const std::pair<std::string, std::string> files[] = {
      {"x y.dtd", "<!ENTITY x 'url'>"},
      {"self.ent", "<x>&self;</x>"},
      {"t/doc.dtd", "<!ENTITY % p SYSTEM 'sub/p.ent'>%p;"},
      {"t/sub/p.ent", "<!ENTITY e SYSTEM 'x/e.xml'>"},
      {"x/e.xml", "<e>&f;</e>"},
      {"x/i/f.xml", "<?xml encoding='ISO-8859-1'?><f>\xe9</f>"},
      {"d\xff\xE0\x80\xAF\xED\xA0\x80/e.ent", "<e/>"},
      {"d\xff\xE0\x80\xAF\xED\xA0\x80/caf\xe9.xml", "<!DOCTYPE a [<!ENTITY e SYSTEM 'e.ent'>]><a>&e;</a>"}};
  for (const auto& [name, text] : files) dir.write(name, text);
  const unsigned long trim = QEL_PARSE_TRIM, pass = QEL_PARSE_XERCES_EXCEPTIONS, empty = QEL_PARSE_EMPTY_IF_MISSING;
  const std::string invalid = "error 21304/0/43:*";
  const std::string ignorable = "<!DOCTYPE a [<!ELEMENT a (b)*><!ELEMENT b EMPTY>]><a>\n <b/>\n</a>";
  const std::string longName = std::string(200, 'n') + ".xml", bom = "\xEF\xBB\xBF", utf16 = "\xff\xfe";
  const auto le = [&](const std::u16string& text) { return utf16 + utf16Bytes(text, false); };
  const struct {
    std::string input;
    unsigned long options;
    std::string want;
    Source source = Memory;
    const char* encoding = nullptr;
  } rows[] = {
      {"<?xml version='1.0'?><r a='1'><first/>text</r>", 0, "UTF-8: r(first t[text])"},
      // The value of xml:space is compared exactly.
      {"<a>  x  <b/>\n  <c xml:space='Preserve'> x </c>\n</a>", trim, "a(t[x] b c(t[x]))"},
      // An entity reference inside a run is trimmed with the run, as one piece.
      {"<!DOCTYPE a [<!ENTITY e '  mid  '>]><a> x&e;y </a>", trim, "!a a(t[x  mid  y])"},
      {"<a>  t  <![CDATA[  c  ]]>  u  </a>", trim, "a(t[t] c[  c  ] t[u])"},  // CDATA is never trimmed
      {"<r><a><![CDATA[]]></a><b xml:space='preserve'><![CDATA[]]></b></r>", trim, "r(a b(c[]))"},
      {"<a xml:space='preserve'> <b xml:space='default'>  y  </b> <c> z </c></a>", trim,
       "a(t[ ] b(t[y]) t[ ] c(t[ z ]))"},
      // A nested element of the same name leaves the scope open; after the
      // scope's element ends, trimming holds again.
      {"<r><p xml:space='preserve'><p>q</p>  y  </p>  z  </r>", trim, "r(p(p(t[q]) t[  y  ]) t[z])"},
      {ignorable, QEL_PARSE_VALIDATE, "!a a(t[\n ] b t[\n])"},
      {ignorable, QEL_PARSE_VALIDATE | trim, "!a a(b)"},
      {"<!DOCTYPE a [<!ELEMENT a EMPTY>]><a><oops/></a>", QEL_PARSE_VALIDATE, invalid},
      // Encodings: the caller's name within the input's family, the
      // declaration's; the document records the name the parse used.
      {"<a>\xe9</a>", 0, "a(t[\xc3\xa9])", Memory, "ISO-8859-1"},
      {"<a/>", 0, "error 21029*", Memory, "NO-SUCH-ENCODING-QEL"},
      {decl("UTF-8") + "<a/>", 0, "UTF-8: a", Memory, "NO-SUCH-ENCODING-QEL"},
      {le(u"<?xml version='1.0' encoding='utf-16'?><a/>"), 0, "UTF-16LE: a"},
      {le(u"<?xml version='1.0' encoding='ISO-10646-UCS-2'?><a/>"), 0, "UTF-16LE: a"},
      {le(u"<?xml version='1.0' encoding='utf-8'?><a/>"), 0,
       invalid + "'utf-8' contradicts the UTF-16 byte order mark*"},
      {bom + decl("ISO-8859-1") + "<a/>", 0, invalid + "contradicts the encoding UTF-8*"},
      {bom + decl("utf8") + "<a/>", 0, "UTF-8: a"},
      {decl("Extended_UNIX_Code_Packed_Format_for_Japanese") + "\n<a/>", 0,
       invalid + "more than 31 bytes is not recognized) ( line 1, char 79 )"},
      {"<?xml version='1.0'\n  encoding='NO-SUCH'?>\n<a/>", 0,
       invalid + "converter for 'NO-SUCH' encoding ( line 2, char 23 )"},
      // Errors: the parse error with its position, or what Xerces-C threw.
      {"<a>\n<b></a>", 0, invalid + "( line 2, char 6 )"},
      {"<caf\xc3\xa9></x>", 0, invalid + "'caf\xc3\xa9'*"},  // a message naming non-ASCII markup
      {"<a>\n<b></a>", pass, "passed on:*( line 2, char 6 ) from qelParseDoc"},
      {"", 0, invalid + "( line 1, char 1 )"},  // a NULL buffer of size 0 is an empty input
      // External entities, relative to the entity that holds the reference.
      {decl("iso-8859-1") + "<a>caf\xe9</a>", 0, "iso-8859-1: a(t[caf\xc3\xa9])", File},
      {"<!DOCTYPE a SYSTEM 't/doc.dtd' [<!ENTITY f SYSTEM 'i/f.xml'>]><a>&e;</a>", 0, "!a a(e(f(t[\xc3\xa9])))", File},
      {"<!DOCTYPE a [<!ENTITY self SYSTEM 'self.ent'>]><a>&self;</a>", 0,
       invalid + "recursive entity expansion 'self'*", File},
      {"<!DOCTYPE a SYSTEM 'missing.dtd'><a/>", 0,
       invalid + "unable to open DTD document '" + dir.path("missing.dtd") + "'*", File},
      {"<!DOCTYPE a SYSTEM 'missing.dtd'><a/>", empty, "!a a", File},
      {"<!DOCTYPE a [<!ENTITY % u SYSTEM 'file://" + dir.path("x%20y.dtd") + "'>%u;]><a>&x;</a>", 0, "!a a(t[url])",
       File},
      // Without the network a URL reads as a missing entity would. With it,
      // each URL is fetched once per parse, however often it is referred to,
      // and the recognizer and the parser share the bytes (the entity declares
      // its encoding); a failure names the URL and the reason.
      {type + "<a/>", QEL_PARSE_NO_NETWORK | empty, "!a a"},
      {type + "<a>&e;</a>", 0, "!a a(t[\xc3\xa9])"},
      {"<!DOCTYPE a SYSTEM '" + gone + "'><a/>", 0,
       invalid + "Cannot fetch \"" + gone + "\": The requested URL returned error: 404 ( line 1, char 54 )"},
      {"<!DOCTYPE a SYSTEM 'd.dtd'><a/>", QEL_PARSE_NO_EXTERNAL,
       "error 21304*External entity \"d.dtd\" refused: the parse allows no external entities or DTDs", File},
      // File names are bytes (an overlong '/' is none, nor a surrogate); one that
      // cannot be opened is cut to 128 bytes.
      {"d\xff\xE0\x80\xAF\xED\xA0\x80/caf\xe9.xml", 0, "!a a(e)", Path},
      {longName, pass,
       "error 21304/1/96qelParseDocFromFile: Cannot open input file \"" + dir.path(longName).substr(0, 128) +
           "\" <- No such file or directory",
       Path},
      {"", pass, "error 21304*: Cannot read input file \"" + dir.path("") + "\": Is a directory", Path},
      {"", 0, "error 21304*: Cannot read standard input: Is a directory", Stdin},
  };
  for (const auto& r : rows)
    for (unsigned long namespaces : {0ul, QEL_PARSE_NAMESPACES}) {
      const unsigned long opt = r.options | namespaces;
      SCOPED_TRACE(r.input.substr(0, 100) + " options " + std::to_string(opt));
      const std::string name = r.source == File ? dir.write("doc.xml", r.input) : dir.path(r.input);
      ASSERT_TRUE(r.source != Stdin || std::freopen(name.c_str(), "rb", stdin));
      const char* data = r.input.empty() ? nullptr : r.input.data();
      DocPtr doc;
      const std::string error = failure([&] {
        doc.reset(r.source == Memory  ? qelParseDoc(data, r.input.size(), opt, r.encoding)
                  : r.source == Stdin ? qelParseDoc(opt, r.encoding)
                                      : qelParseDocFromFile(name.c_str(), opt, r.encoding));
      });
      EXPECT_TRUE(like(error.empty() ? tree(doc.get()) : error, r.want));
    }
  EXPECT_EQ(server.requests(), 6);  // d.dtd and p.ent, then gone.dtd, in both modes
  EXPECT_TRUE(like(failure([] { qelParseDoc(nullptr, 10, 0ul, nullptr); }),
                   "error 21301*: qelParseDoc: the buffer is NULL but its size is 10"));
}

// A parser of the caller's own takes settings that override the option word.
TEST(Parse, ParserSettingsOfTheCaller) {
  LoopbackServer silent(LoopbackServer::Bodies(), true);
  auto parsedBy = [](const std::string& xml, const std::function<void(QelXmlParser&)>& setup) {
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "own", false);
    QelXmlParser parser(0, nullptr, src);
    setup(parser);
    return failure([&] { parser.parse(src); });  // a document the parser keeps is its to release
  };
  const std::string xml = "<!DOCTYPE a SYSTEM '" + silent.url("/d.dtd") + "'><a/>";
  EXPECT_TRUE(like(parsedBy(xml, [](QelXmlParser& p) { p.setNoNetwork(true); }), "passed on:*unable to open DTD*"));
  EXPECT_EQ(silent.connections(), 0);
  EXPECT_TRUE(like(parsedBy(xml, [](QelXmlParser& p) { p.setNetworkTimeout(1000); }), "passed on:*timed out after *"));
}

// The input's nodes are appended to the parent (the document node of an empty
// document, or an element) and the parent's document is returned; on failure
// the nodes built so far stay. The input's declaration and document type go to
// the parent's document, the type only if it has none. The document's error
// checking is on again afterwards.
TEST(Parse, UnderAParent) {
  const std::string invalid = " | error 21304/0/43:*";
  const struct {
    std::string host, input;
    std::string want;
    unsigned long options = 0;
  } rows[] = {
      // Text outside the input's root element is not content.
      {"<?xml version='1.0'?><r a='1'><first/>text</r>", "\n<x><y/></x>\n ", "UTF-8: r(first t[text] x(y))"},
      {"", "<!--c--><!DOCTYPE x [<!ENTITY e 'ent'>]><x>&e;</x><?p d?>", "# !x x(t[ent]) ?"},
      {"<!--lead--><r/>", "<!DOCTYPE x [<!ENTITY e 'ent'>]><x>&e;</x>", "# !x r(x(t[ent]))"},
      {"<!DOCTYPE h><r/>", "<!DOCTYPE y [<!ENTITY e 'two'>]><y>&e;</y>", "!h r(y(t[two]))"},
      {decl("UTF-8") + "<r/>", "<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?><x>\xe9</x>",
       "ISO-8859-1 standalone: r(x(t[\xc3\xa9]))"},
      {"<r/>", "<z>ok<w></z>", "r(z(t[ok] w))" + invalid + "( line 1, char 11 )"},
      {"<r/>", "<?xml version='1.1'?><x/>", "r" + invalid + "DOMException(9): *"},
      {"<r/>", "<?xml version='1.1'?><x/>", "r | passed on: DOMException(9)*", QEL_PARSE_XERCES_EXCEPTIONS},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.host + " under it " + r.input);
    DocPtr host(r.host.empty() ? qelCreateDoc() : parse(r.host).release());
    DOMNode* parent = r.host.empty() ? static_cast<DOMNode*>(host.get()) : host->getDocumentElement();
    const std::string error =
        failure([&] { EXPECT_EQ(qelParseDoc(r.input.data(), r.input.size(), parent, r.options), host.get()); });
    EXPECT_TRUE(like(tree(host.get()) + (error.empty() ? "" : " | " + error), r.want));
    EXPECT_THROW(host->createElement(u"1bad"), DOMException);
  }
}

// Refused before anything is built: an input whose first nodes would fit
// (a comment) leaves the tree as it was.
TEST(Parse, ParentsThatCannotTakeTheInputAreRefused) {
  DocPtr doc = parse("<r a='1'>text</r>");
  DOMElement* r = doc->getDocumentElement();
  for (DOMNode* parent : {(DOMNode*)r->getAttributeNode(u"a"), (DOMNode*)tavAddEntRef(r, u"e"), (DOMNode*)doc.get()}) {
    const std::string before = tree(doc.get());
    EXPECT_TRUE(like(failure([&] { qelParseDoc("<!--x--><y/>", 12, parent, QEL_PARSE_XERCES_EXCEPTIONS); }),
                     "error 21301*: QelXmlParser: cannot parse under a " + qelGetNodeTypeStr(parent) + " node: *"));
    EXPECT_EQ(tree(doc.get()), before);
  }
}

// --- the DOM the parser links itself, against Xerces-C's -------------------------------------

namespace {

// A random well-formed document: elements without and in two namespaces,
// attributes in any order (one type declaring an ID and a default), text
// with entity and character references, CDATA sections (empty and adjacent
// ones too), comments, PIs, xml:space scopes, before and after the root.
// The root has `width` children more than chance gives it.
std::string randomDocument(std::mt19937& rng, int width = 0) {
  auto one = [&](std::vector<std::string> list) { return list[rng() % list.size()]; };
  int ids = 0;
  std::function<std::string(int)> element = [&](int depth) {
    const std::string name = depth ? one({"a", "b", "p:c", "q:d", "d"}) : "r";
    std::vector<std::string> attrs = {"z='1'", "a='2'", "p:m='&amp;3'", "q:m=' 4 '", one({"xml:space='preserve'", ""})};
    if (name == "d") attrs.push_back("id='i" + std::to_string(++ids) + "'");
    std::shuffle(attrs.begin(), attrs.end(), rng);
    std::string xml = "<" + name + (depth ? "" : " xmlns:p='urn:p' xmlns:q='urn:q'");
    for (size_t i = rng() % attrs.size(); i < attrs.size(); ++i) xml += attrs[i].empty() ? "" : " " + attrs[i];
    const int children = (depth < 4 ? rng() % 6 : 0) + (depth ? 0 : width);
    if (!children && rng() % 2) return xml + "/>";
    xml += ">";
    for (int i = 0; i < children; ++i)
      xml += rng() % 3 ? one({" t &amp; u ", "\n  ", "&e;", "&m;", "&#x41;&#x10000;", "<![CDATA[]]>", "<![CDATA[c]]>",
                              "<!--k-->", "<?pi d?>"})
                       : element(depth + 1);
    return xml + "</" + name + ">";
  };
  return "<!DOCTYPE r [<!ENTITY e 'x&#38;amp;y'><!ENTITY m '<i>in</i>&#38;e;'><!NOTATION n SYSTEM 'n'>"
         "<!ATTLIST d id ID #IMPLIED k CDATA 'v'>]><!--c--><?p d?>" +
         element(0) + "<!--end-->";
}

// Every node an edit may reach: Xerces-C's own operations on the result
// (removal, insertion, attributes, splitting, normalizing), then a deep clone
// and an import into another document.
std::array<DocPtr, 2> editedAndCopied(DOMDocument* doc) {
  DOMElement* root = doc->getDocumentElement();
  if (DOMElement* first = root->getFirstElementChild()) root->removeChild(first)->release();
  root->appendChild(doc->createElement(u"added"))->appendChild(doc->createTextNode(u"t"));
  root->setAttribute(u"z", u"changed");
  DOMNodeList* ds = doc->getElementsByTagName(u"d");
  for (XMLSize_t i = 0; i < ds->getLength(); i += 2) static_cast<DOMElement*>(ds->item(i))->removeAttribute(u"k");
  static_cast<DOMText*>(root->getLastChild()->getFirstChild())->splitText(1);
  doc->normalizeDocument();
  DocPtr imported(qelCreateDoc());
  imported->appendChild(imported->importNode(root, true));
  return {DocPtr(static_cast<DOMDocument*>(doc->cloneNode(true))), std::move(imported)};
}

}  // namespace

// The fuzz seeds, a document of several heap blocks and random documents, as
// they are and after Xerces-C's own operations on them, cloned and imported.
TEST(Parse, SameDomAsXercesDOMParserBeforeAndAfterEditing) {
  std::mt19937 rng(20261207);
  std::vector<std::string> inputs = {randomDocument(rng, 300)};
  for (const char* dir : {"seeds/parse", "regressions/parse"})
    for (const auto& entry : std::filesystem::directory_iterator(std::string(QELDOM_TEST_DATA) + "/../../fuzz/" + dir))
      inputs.push_back(readFile(entry.path().string()));
  while (inputs.size() < 400) inputs.push_back(randomDocument(rng));
  int compared = 0;
  for (const std::string& xml : inputs)
    for (unsigned long opt : {0ul, QEL_PARSE_NAMESPACES}) {
      SCOPED_TRACE(xml.substr(0, 2000) + " options " + std::to_string(opt));
      bool direct = false;
      DocPtr got = libraryDom(xml, "same", opt, &direct), want = bareDom(xml, "same", opt);
      EXPECT_EQ(DomDiff(got.get(), want.get()).why(), "");
      if (!got || !want) continue;
      compared += direct == QELDOM_LINKS_DIRECTLY;
      // A copy holds what the edits left; the edited documents are compared through it.
      const auto copies = editedAndCopied(got.get()), wanted = editedAndCopied(want.get());
      for (size_t i = 0; i < copies.size(); ++i) EXPECT_EQ(DomDiff(copies[i].get(), wanted[i].get()).why(), "") << i;
    }
  EXPECT_GT(compared, 780);
}
