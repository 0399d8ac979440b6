// Parsing: entry points, the document-building parser, entity resolution.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;
namespace fs = std::filesystem;

namespace {

const bool s_noNetwork = noNetwork();
const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

// The children of a node in a compact form: element names, "t[...]" for text
// and "c[...]" for CDATA, "#" for comments, "?" for PIs, nested in ().
std::string shape(const DOMNode* node) {
  std::string out;
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    const short t = c->getNodeType();
    out += out.empty() ? "" : " ";
    if (t == DOMNode::ELEMENT_NODE)
      out += u8(c->getNodeName()) + (c->hasChildNodes() ? "(" + shape(c) + ")" : "");
    else if (t == DOMNode::TEXT_NODE || t == DOMNode::CDATA_SECTION_NODE)
      out += (t == DOMNode::TEXT_NODE ? "t[" : "c[") + u8(c->getNodeValue()) + "]";
    else if (t == DOMNode::DOCUMENT_TYPE_NODE)
      out += "!" + u8(c->getNodeName());
    else
      out += t == DOMNode::COMMENT_NODE ? "#" : t == DOMNode::PROCESSING_INSTRUCTION_NODE ? "?" : "*";
  }
  return out;
}

std::string shape(const DocPtr& doc) { return shape(doc.get()); }

}  // namespace

// --- entry points ---------------------------------------------------------------------

TEST(ParseEntry, NewDocumentOrUnderAParent) {
  DocPtr doc = parse("<?xml version='1.0'?><r a='1'><first/>text</r>");
  EXPECT_EQ(shape(doc), "r(first t[text])");
  DOMElement* r = doc->getDocumentElement();
  EXPECT_EQ(qelParseDoc("<x><y/></x>", 11, r, 0), doc.get());  // appended as the last child
  qelParseDoc("<z/>", 4, r, 0);
  EXPECT_EQ(shape(doc), "r(first t[text] x(y) z)");
  EXPECT_TRUE(doc->getStrictErrorChecking());  // editing checks again
  EXPECT_THROW(doc->createElement(u"1bad"), DOMException);

  DocPtr empty(qelCreateDoc());
  EXPECT_EQ(qelParseDoc("<!--c--><a/><?p d?>", 19, empty.get(), 0), empty.get());
  EXPECT_EQ(shape(empty), "# a ?");
  EXPECT_EQ(empty->getDocumentElement()->getNodeName(), std::u16string(u"a"));
}

TEST(ParseEntry, SyntaxErrorCarriesLineAndColumn) {
  std::string bad = "<a>\n<b></a>";
  QelError e = errorOf([&] { parse(bad); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  EXPECT_EQ(e.getOp(), QELOP_REPOSITORY);
  EXPECT_EQ(e.getFlag(), 0u);
  EXPECT_EQ(e.getLine(), 43);
  EXPECT_EQ(e.getFunction(), "");
  EXPECT_NE(std::string(e.getMessage()).find(" ( line 2, char 6 )"), std::string::npos) << e.getMessage();
  try {
    parse(bad, QEL_PARSE_XERCES_EXCEPTIONS);
    FAIL();
  } catch (const SAXParseException& x) {
    EXPECT_EQ(x.getLineNumber(), 2u);
    EXPECT_EQ(x.getColumnNumber(), 6u);
    EXPECT_EQ(u8(x.getSystemId()), "qelParseDoc");
  }
}

TEST(ParseEntry, BadInputsAllRaiseTheParseError) {
  const std::vector<std::string> inputs = {
      "",                                                                    // empty
      std::string("\x01\x02\xff\xfe\x00\x00garbage", 13),                    // binary junk
      "<a>",                                                                 // unterminated
      "<?xml version='1.0' encoding='x-no-such-enc'?><a/>",                  // unknown declared encoding
      "<a/><b/>",                                                            // two roots
      "<!DOCTYPE a [<!ENTITY e SYSTEM 'no-such-file-qel.ent'>]><a>&e;</a>",  // missing external entity
  };
  for (const std::string& in : inputs) {
    QelError e = errorOf([&] { parse(in); });
    EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT) << in;
    EXPECT_NE(std::string(e.getMessage()).find("( line "), std::string::npos) << e.getMessage();
  }
}

TEST(ParseEntry, NullBufferWithASizeIsRefused) {
  QelError e = errorOf([] { qelParseDoc(nullptr, 10, 0ul, nullptr); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_API_ERROR);
  EXPECT_STREQ(e.getMessage(), "qelParseDoc: the buffer is NULL but its size is 10");
  EXPECT_EQ(errorOf([] { qelParseDoc(nullptr, 0, 0ul, nullptr); }).getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
}

TEST(ParseEntry, CallerEncoding) {
  // Without a declaration the caller's name decides within the input's family.
  DocPtr doc = parse("<a>\xe9</a>", 0, "ISO-8859-1");
  EXPECT_EQ(shape(doc), "a(t[\xc3\xa9])");
  EXPECT_EQ(u8(doc->getXmlEncoding()), "");  // no declaration, nothing recorded
  // A name the runtime does not know is the recognizer's error, unless the
  // input declares its encoding.
  QelError e = errorOf([] { parse("<a/>", 0, "NO-SUCH-ENCODING-QEL"); });
  EXPECT_EQ(e.getRc(), QELRC_NLS_ERROR);
  EXPECT_EQ(shape(parse("<?xml version='1.0' encoding='UTF-8'?><a/>", 0, "NO-SUCH-ENCODING-QEL")), "a");
}

TEST(ParseEntry, MissingFileCannotBeOpened) {
  ScratchDir dir;
  std::string missing = dir.path(std::string(200, 'n') + ".xml");
  for (unsigned long opt : {0ul, QEL_PARSE_XERCES_EXCEPTIONS}) {
    QelError e = errorOf([&] { qelParseDocFromFile(missing.c_str(), opt, nullptr); });
    EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
    EXPECT_EQ(e.getFlag(), 1u);
    EXPECT_EQ(e.getLine(), 96);
    EXPECT_EQ(e.getFunction(), "qelParseDocFromFile");
    // The name is cut to its first 128 bytes; the system's reason is the cause.
    EXPECT_EQ(std::string(e.getMessage()), "Cannot open input file \"" + missing.substr(0, 128) + "\"");
    ASSERT_NE(e.getCause(), nullptr);
    EXPECT_STREQ(e.getCause()->getMessage(), "No such file or directory");
  }
}

TEST(ParseEntry, FilesThatParseAndFilesThatCannotBeRead) {
  ScratchDir dir;
  std::string file = dir.write("doc.xml", "<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xe9</a>");
  DocPtr doc(qelParseDocFromFile(file.c_str(), 0, nullptr));
  EXPECT_EQ(shape(doc), "a(t[caf\xc3\xa9])");
  EXPECT_EQ(u8(doc->getXmlEncoding()), "ISO-8859-1");
  // A directory opens but cannot be read: a read error, whatever bit 0x04 says.
  for (unsigned long opt : {0ul, QEL_PARSE_XERCES_EXCEPTIONS}) {
    QelError e = errorOf([&] { qelParseDocFromFile(dir.path("").c_str(), opt, nullptr); });
    EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
    EXPECT_EQ(std::string(e.getMessage()), "Cannot read input file \"" + dir.path("") + "\": Is a directory");
  }
  std::string bad = dir.write("bad.xml", "<a>\n  <b>\n</a>\n");
  QelError e = errorOf([&] { qelParseDocFromFile(bad.c_str(), 0, nullptr); });
  EXPECT_EQ(e.getFlag(), 0u);
  EXPECT_NE(std::string(e.getMessage()).find("( line 3, char "), std::string::npos) << e.getMessage();
}

// A name that is not UTF-8, in a folder that is not either: the file opens,
// and the entity beside it resolves.
TEST(ParseEntry, FileNamesAreBytes) {
  ScratchDir dir;
  dir.write("d\xff/e.ent", "<e/>");
  std::string odd = dir.write("d\xff/caf\xe9.xml", "<!DOCTYPE a [<!ENTITY e SYSTEM 'e.ent'>]><a>&e;</a>");
  EXPECT_EQ(shape(DocPtr(qelParseDocFromFile(odd.c_str(), 0, nullptr))), "!a a(e)");
}

TEST(ParseEntry, StandardInput) {
  ScratchDir dir;
  std::string in = dir.write("in.xml", "<from-stdin>x</from-stdin>");
  std::string empty = dir.write("empty.xml", "");
  int saved = dup(0);
  ASSERT_TRUE(std::freopen(in.c_str(), "rb", stdin));
  DocPtr doc(qelParseDoc(0ul, nullptr));
  EXPECT_EQ(shape(doc), "from-stdin(t[x])");
  ASSERT_TRUE(std::freopen(empty.c_str(), "rb", stdin));
  QelError e = errorOf([] { qelParseDoc(0ul, nullptr); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  // Read errors are reported as such: a directory, a closed standard input.
  ASSERT_TRUE(std::freopen(dir.path("").c_str(), "rb", stdin));
  EXPECT_STREQ(errorOf([] { qelParseDoc(0ul, nullptr); }).getMessage(), "Cannot read standard input: Is a directory");
  close(0);
  EXPECT_STREQ(errorOf([] { qelParseDoc(0ul, nullptr); }).getMessage(),
               "Cannot read standard input: Bad file descriptor");
  dup2(saved, 0);
  close(saved);
  clearerr(stdin);
}

// --- the whitespace rule ---------------------------------------------------------------------

// Each row with and without namespace processing.
TEST(Whitespace, TrimmingAndXmlSpaceScopes) {
  const unsigned long trim = QEL_PARSE_TRIM, valid = QEL_PARSE_VALIDATE;
  const std::string ignorable = "<!DOCTYPE a [<!ELEMENT a (b)*><!ELEMENT b EMPTY>]><a>\n <b/>\n</a>";
  const struct {
    std::string xml;
    unsigned long options;
    const char* shape;
  } rows[] = {{"<a>  x  </a>", trim, "a(t[x])"},
              {"<a>\n  <b/>\n  <c/>\n</a>", trim, "a(b c)"},
              // An entity reference inside a run is trimmed with the run, as one piece.
              {"<a>  a &amp; b  </a>", trim, "a(t[a & b])"},
              {"<!DOCTYPE a [<!ENTITY e '  mid  '>]><a> x&e;y </a>", trim, "!a a(t[x  mid  y])"},
              {"<a>  x  <b> </b>\n</a>", 0, "a(t[  x  ] b(t[ ]) t[\n])"},  // without the option, all as it came
              {"<a>  t  <![CDATA[  c  ]]>  u  </a>", trim, "a(t[t] c[  c  ] t[u])"},  // CDATA is never trimmed
              {"<a><![CDATA[]]></a>", trim, "a"},
              {"<a xml:space='preserve'><![CDATA[]]></a>", trim, "a(c[])"},
              {"<a xml:space=\"preserve\">  x  <b>  y  </b></a>", trim, "a(t[  x  ] b(t[  y  ]))"},
              {"<a xml:space='preserve'> <b xml:space='default'>  y  </b> <c> z </c></a>", trim,
               "a(t[ ] b(t[y]) t[ ] c(t[ z ]))"},
              {"<a xml:space='Preserve'> x </a>", trim, "a(t[x])"},  // the value is compared exactly
              // A nested element of the same name leaves the scope open; after the
              // scope's element ends, trimming holds again.
              {"<p xml:space='preserve'><p>q</p>  y  </p>", trim, "p(p(t[q]) t[  y  ])"},
              {"<r><a xml:space='preserve'> </a>  z  </r>", trim, "r(a(t[ ]) t[z])"},
              {"<a xml:space='preserve'>\n</a>", trim, "a(t[\n])"},
              {ignorable, valid, "!a a(t[\n ] b t[\n])"},
              {ignorable, valid | trim, "!a a(b)"}};
  for (const auto& r : rows) {
    for (unsigned long namespaces : {0ul, QEL_PARSE_NAMESPACES}) {
      SCOPED_TRACE(r.xml + " options " + std::to_string(r.options | namespaces));
      EXPECT_EQ(shape(parse(r.xml, r.options | namespaces)), r.shape);
    }
  }
}

// --- validation, encodings, entities ----------------------------------------------------------

TEST(Validation, FirstValidityErrorEndsTheParse) {
  const std::string doc = "<!DOCTYPE a [<!ELEMENT a EMPTY>]><a><oops/></a>";
  EXPECT_EQ(shape(parse(doc)), "!a a(oops)");
  QelError e = errorOf([&] { parse(doc, QEL_PARSE_VALIDATE); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  EXPECT_THROW(parse(doc, QEL_PARSE_VALIDATE | QEL_PARSE_XERCES_EXCEPTIONS), SAXParseException);
}

TEST(Encoding, DocumentRecordsTheEncodingTheParseUsed) {
  const std::string latin = "<?xml version='1.0' encoding='iso-8859-1'?><a>\xe9</a>";
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(latin.data()), latin.size(), "mem", false);
  src.setEncoding(u"ISO-8859-1");
  QelXmlParser parser(0, nullptr, src);
  parser.parse(src);
  DocPtr doc(parser.detachDocument());
  EXPECT_EQ(parser.getEnc(), u"ISO-8859-1");
  EXPECT_EQ(u8(doc->getXmlEncoding()), "ISO-8859-1");

  // A source without encoding: the recognizer's name is used and recorded.
  MemBufInputSource src2(reinterpret_cast<const XMLByte*>(latin.data()), latin.size(), "mem", false);
  QelXmlParser parser2(0, nullptr, src2);
  parser2.parse(src2);
  DocPtr doc2(parser2.detachDocument());
  ASSERT_NE(src2.getEncoding(), nullptr);
  EXPECT_EQ(parser2.getEnc(), std::u16string(src2.getEncoding()));
  EXPECT_EQ(std::u16string(doc2->getXmlEncoding()), parser2.getEnc());
  EXPECT_EQ(shape(doc2), "a(t[\xc3\xa9])");
}

TEST(Encoding, Utf16WithoutAMarkAndDeclarationsAgainstAMark) {
  auto withMark = [](const std::u16string& text) {
    std::string bytes = "\xff\xfe";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return bytes;
  };
  std::u16string noMark = u"<a>\u20ac</a>";
  EXPECT_EQ(shape(DocPtr(qelParseDoc(noMark.data(), noMark.size() * 2, 0ul, nullptr))), "a(t[\xe2\x82\xac])");
  for (const char16_t* declared : {u"UTF-16", u"utf-16", u"UTF-16LE", u"ISO-10646-UCS-2"}) {
    std::string bytes = withMark(std::u16string(u"<?xml version='1.0' encoding='") + declared + u"'?><a/>");
    DocPtr doc(qelParseDoc(bytes.data(), bytes.size(), 0ul, nullptr));
    EXPECT_EQ(shape(doc), "a") << u8(declared);
  }
  std::string contradicting = withMark(u"<?xml version='1.0' encoding='utf-8'?><a/>");
  QelError e = errorOf([&] { parse(contradicting); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  EXPECT_NE(std::string(e.getMessage()).find("'utf-8' contradicts the UTF-16 byte order mark"), std::string::npos)
      << e.getMessage();
}

// A declaration the recognizer could not honour is an error at a real
// position, not a parse in another encoding or a failure at line 0.
TEST(Encoding, DeclarationsTheInputCannotBeReadInAreErrorsWhereTheyStand) {
  const std::string longName = "Extended_UNIX_Code_Packed_Format_for_Japanese";  // 45 bytes, an IANA name
  const struct {
    std::string input;
    const char* message;
  } rows[] = {
      {"<?xml version='1.0' encoding='" + longName + "'?>\n<a/>", "more than 31 bytes is not recognized) ( line 1, char 79 )"},
      {"<?xml version='1.0'\n  encoding='NO-SUCH'?>\n<a/>", "converter for 'NO-SUCH' encoding ( line 2, char 23 )"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a/>", "contradicts the encoding UTF-8"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    QelError e = errorOf([&] { parse(row.input); });
    EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
    EXPECT_NE(std::string(e.getMessage()).find(row.message), std::string::npos) << e.getMessage();
  }
  // The same names where the scan reads them, or agree with the mark, parse.
  EXPECT_EQ(shape(parse("\xEF\xBB\xBF<?xml version='1.0' encoding='utf8'?><a/>")), "a");
  EXPECT_EQ(shape(parse("<?xml version='1.0' encoding='EUC-JP'?><a/>")), "a");
}

TEST(Entities, RecursiveExternalEntityFails) {
  ScratchDir dir;
  dir.write("self.ent", "<x>&self;</x>");
  std::string file = dir.write("doc.xml", "<!DOCTYPE a [<!ENTITY self SYSTEM 'self.ent'>]><a>&self;</a>");
  QelError e = errorOf([&] { qelParseDocFromFile(file.c_str(), 0, nullptr); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
}

TEST(Entities, ResolvedRelativeToTheEntityThatHoldsTheReference) {
  ScratchDir dir;
  dir.write("dtd/doc.dtd", "<!ENTITY % p SYSTEM 'sub/p.ent'>%p;");
  dir.write("dtd/sub/p.ent", "<!ENTITY e SYSTEM 'ext/e.xml'>");
  // e is declared in dtd/sub/p.ent but referenced from the document: it is
  // taken relative to the document.
  dir.write("ext/e.xml", "<e>&f;</e>");
  dir.write("ext/inner/f.xml", "<?xml encoding='ISO-8859-1'?><f>\xe9</f>");
  std::string file =
      dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'dtd/doc.dtd' [<!ENTITY f SYSTEM 'inner/f.xml'>]><a>&e;</a>");
  DocPtr doc(qelParseDocFromFile(file.c_str(), 0, nullptr));
  EXPECT_EQ(shape(doc.get()->getDocumentElement()), "e(f(t[\xc3\xa9]))");
}

TEST(Entities, MissingDefinitionFileReadsAsEmptyOnRequest) {
  ScratchDir dir;
  std::string file = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'missing.dtd'><a/>");
  QelError e = errorOf([&] { qelParseDocFromFile(file.c_str(), 0, nullptr); });
  EXPECT_EQ(e.getFlag(), 0u);  // not the input file itself
  EXPECT_NE(std::string(e.getMessage()).find("missing.dtd"), std::string::npos) << e.getMessage();
  DocPtr doc(qelParseDocFromFile(file.c_str(), QEL_PARSE_EMPTY_IF_MISSING, nullptr));
  EXPECT_EQ(shape(doc), "!a a");
}

TEST(Entities, HttpSystemIdIsAUrl) {
  // The test environment sends http through a closed local port: the fetch
  // fails at once, and the failure is the parse error of the document.
  QelError e = errorOf([] { parse("<!DOCTYPE a SYSTEM 'http://example.invalid/a.dtd'><a/>"); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  EXPECT_NE(std::string(e.getMessage()).find("Cannot fetch \"http://example.invalid/a.dtd\": "), std::string::npos)
      << e.getMessage();
}

namespace {
// Records the system id of each source the resolver made.
class RecordingParser : public QelXmlParser {
 public:
  using QelXmlParser::QelXmlParser;
  InputSource* resolveEntity(XMLResourceIdentifier* resource) override {
    InputSource* src = QelXmlParser::resolveEntity(resource);
    ids.push_back(u8(src->getSystemId()));
    return src;
  }
  std::vector<std::string> ids;
};
}  // namespace

TEST(Entities, FileUrlsAndStandInsKeepTheirIds) {
  ScratchDir dir;
  std::string dtd = dir.write("d.dtd", "<!ENTITY x 'from the URL'>");
  std::string doc = "<!DOCTYPE a [<!ENTITY % u SYSTEM 'file://" + dtd + "'>%u;" +
                    "<!ENTITY % m PUBLIC 'ignored' 'gone.dtd'>%m;]><a>&x;</a>";
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), "qelParseDoc", false);
  RecordingParser parser(QEL_PARSE_EMPTY_IF_MISSING | QEL_PARSE_NO_NETWORK, nullptr, src);
  parser.parse(src);
  DocPtr result(parser.detachDocument());
  EXPECT_EQ(shape(result->getDocumentElement()), "t[from the URL]");
  EXPECT_EQ(parser.ids, (std::vector<std::string>{"file://" + dtd, "gone.dtd"}));  // the missing file keeps its id
}

TEST(Entities, NoExternalRefusesEveryExternalEntityAndDtd) {
  ScratchDir dir;
  dir.write("d.dtd", "<!ENTITY x 'dtd'>");
  dir.write("e.ent", "entity");
  dir.write("p.ent", "<!ENTITY y 'pe'>");
  const char* const rows[][2] = {{"<!DOCTYPE a SYSTEM 'd.dtd'><a/>", "d.dtd"},
                                 {"<!DOCTYPE a [<!ENTITY e SYSTEM 'e.ent'>]><a>&e;</a>", "e.ent"},
                                 {"<!DOCTYPE a [<!ENTITY % p SYSTEM 'p.ent'>%p;]><a/>", "p.ent"}};
  for (const auto& r : rows) {
    const std::string file = dir.write("doc.xml", r[0]);
    EXPECT_NO_THROW(DocPtr(qelParseDocFromFile(file.c_str(), 0, nullptr))) << r[0];
    QelError e = errorOf([&] { qelParseDocFromFile(file.c_str(), QEL_PARSE_NO_EXTERNAL, nullptr); });
    EXPECT_EQ(std::string(e.getMessage()),
              std::string("External entity \"") + r[1] + "\" refused: the parse allows no external entities or DTDs");
    QelFileInputSource source(file.c_str());
    QelXmlParser parser(0, nullptr, source);
    parser.setNoExternal(true);
    EXPECT_THROW(parser.parse(source), QelError);
  }
}

// Without the network a URL reads as a missing entity would. With it, each
// URL is fetched once per parse, however often it is referred to, and the
// recognizer and the parser share the bytes (the entity declares its
// encoding); a failure names the URL and the reason.
TEST(Entities, UrlsAreFetchedOnceOrNotAtAll) {
  LoopbackServer server(LoopbackServer::Bodies{{"/d.dtd", "<!ENTITY % p SYSTEM 'p.ent'>%p;%p;"},
                                               {"/p.ent", "<?xml encoding='ISO-8859-1'?><!ENTITY e '\xe9'>"}});
  const std::string type = "<!DOCTYPE a SYSTEM '" + server.url("/d.dtd") + "'>";
  QelError e = errorOf([&] { parse(type + "<a/>", QEL_PARSE_NO_NETWORK); });
  EXPECT_NE(std::string(e.getMessage()).find("unable to open DTD document '" + server.url("/d.dtd") + "'"),
            std::string::npos)
      << e.getMessage();
  EXPECT_EQ(shape(parse(type + "<a/>", QEL_PARSE_NO_NETWORK | QEL_PARSE_EMPTY_IF_MISSING)), "!a a");
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(shape(parse(type + "<a>&e;</a>")->getDocumentElement()), "t[\xc3\xa9]");
  EXPECT_EQ(server.requests(), 2);
  e = errorOf([&] { parse("<!DOCTYPE a SYSTEM '" + server.url("/gone.dtd") + "'><a/>"); });
  EXPECT_NE(std::string(e.getMessage())
                .find("Cannot fetch \"" + server.url("/gone.dtd") + "\": The requested URL returned error: 404"),
            std::string::npos)
      << e.getMessage();
}

TEST(Entities, ASilentServerEndsInATimeOut) {
  LoopbackServer server(LoopbackServer::Bodies(), true);
  const std::string xml = "<!DOCTYPE a SYSTEM '" + server.url("/d.dtd") + "'><a/>";
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "qelParseDoc", false);
  QelXmlParser parser(0, nullptr, src);
  parser.setNetworkTimeout(1000);
  try {
    parser.parse(src);
    ADD_FAILURE() << "parsed";
  } catch (const SAXParseException& e) {
    EXPECT_NE(u8(e.getMessage()).find("timed out after"), std::string::npos) << u8(e.getMessage());
  }
}

// --- building under a parent --------------------------------------------------------------------

TEST(UnderParent, FailureKeepsNodesBuiltSoFarAndTheDocumentUsable) {
  DocPtr doc = parse("<r/>");
  DOMElement* r = doc->getDocumentElement();
  const std::string bad = "<z>ok<w></z>";
  QelError e = errorOf([&] { qelParseDoc(bad.data(), bad.size(), r, 0); });
  EXPECT_EQ(e.getRc(), QELRC_DOM_INVALID_XML_DOCUMENT);
  EXPECT_EQ(shape(doc), "r(z(t[ok] w))");
  EXPECT_TRUE(doc->getStrictErrorChecking());
  tavAddElem(r, u"after");
  EXPECT_EQ(shape(doc), "r(z(t[ok] w) after)");
}

// Refused before anything is built: an input whose first nodes would fit
// (a comment) leaves the tree as it was.
TEST(UnderParent, ParentsThatCannotTakeTheInputAreRefused) {
  DocPtr doc = parse("<r a='1'>text</r>");
  DOMElement* r = doc->getDocumentElement();
  DOMNode* reference = tavAddEntRef(r, u"e");
  const std::string before = write(doc.get(), 0);
  DOMDocumentType* type = doc->getImplementation()->createDocumentType(u"t", nullptr, nullptr);
  DOMNode* parents[] = {r->getAttributeNode(u"a"), reference, r->getFirstChild(), doc.get(), type};
  for (DOMNode* parent : parents) {
    QelError e = errorOf([&] { qelParseDoc("<!--x--><y/>", 12, parent, QEL_PARSE_XERCES_EXCEPTIONS); });
    EXPECT_EQ(e.getRc(), QELRC_DOM_API_ERROR);
    EXPECT_EQ(std::string(e.getMessage()).rfind("QelXmlParser: cannot parse under a " + qelGetNodeTypeStr(parent), 0),
              0u)
        << e.getMessage();
    EXPECT_EQ(write(doc.get(), 0), before);
  }
  type->release();
  // A document fragment takes them.
  DOMDocumentFragment* fragment = doc->createDocumentFragment();
  EXPECT_EQ(qelParseDoc("<y/>", 4, fragment, 0), doc.get());
  EXPECT_EQ(shape(fragment), "y");
}

TEST(UnderParent, DocumentTypeGoesBeforeTheDocumentElementOnlyIfNone) {
  DocPtr doc = parse("<!--lead--><r/>");
  const std::string in = "<!DOCTYPE x [<!ENTITY e 'ent'>]><x>&e;</x>";
  qelParseDoc(in.data(), in.size(), doc->getDocumentElement(), 0);
  EXPECT_EQ(shape(doc), "# !x r(x(t[ent]))");
  ASSERT_NE(doc->getDoctype(), nullptr);
  EXPECT_EQ(doc->getDoctype()->getNextSibling(), doc->getDocumentElement());
  // The document now has one: another input's is not taken, its entities still work.
  const std::string in2 = "<!DOCTYPE y [<!ENTITY e 'two'>]><y>&e;</y>";
  qelParseDoc(in2.data(), in2.size(), doc->getDocumentElement(), 0);
  EXPECT_EQ(shape(doc), "# !x r(x(t[ent]) y(t[two]))");
  EXPECT_EQ(u8(doc->getDoctype()->getName()), "x");
  // Into the empty document node: the document type precedes the root.
  DocPtr empty(qelCreateDoc());
  qelParseDoc(in.data(), in.size(), empty.get(), 0);
  EXPECT_EQ(shape(empty), "!x x(t[ent])");
}

TEST(UnderParent, DeclarationOfTheInputIsHandedToTheDocument) {
  DocPtr doc = parse("<?xml version='1.0' encoding='UTF-8'?><r/>");
  EXPECT_EQ(u8(doc->getXmlEncoding()), "UTF-8");
  const std::string in = "<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?><x>\xe9</x>";
  qelParseDoc(in.data(), in.size(), doc->getDocumentElement(), 0);
  EXPECT_EQ(u8(doc->getXmlEncoding()), "ISO-8859-1");
  EXPECT_TRUE(doc->getXmlStandalone());
  EXPECT_EQ(shape(doc), "r(x(t[\xc3\xa9]))");
  // Text outside the input's root element does not reach the parent.
  qelParseDoc("\n<y/>\n ", 7, doc->getDocumentElement(), 0);
  EXPECT_EQ(shape(doc), "r(x(t[\xc3\xa9]) y)");
}

// --- the DOM the parser links itself -------------------------------------------------------

namespace {

// A random well-formed document: elements without and in two namespaces,
// attributes in any order (one type declaring an ID and a default), text
// with entity and character references, CDATA sections (empty and adjacent
// ones too), comments, PIs, xml:space scopes, before and after the root.
std::string randomDocument(std::mt19937& rng) {
  auto one = [&](std::vector<std::string> list) { return list[rng() % list.size()]; };
  int ids = 0;
  std::function<std::string(int)> element = [&](int depth) {
    const std::string name = depth ? one({"a", "b", "p:c", "q:d", "d"}) : "r";
    std::vector<std::string> attrs = {"z='1'", "a='2'", "p:m='&amp;3'", "q:m=' 4 '", one({"xml:space='preserve'", ""})};
    if (name == "d") attrs.push_back("id='i" + std::to_string(++ids) + "'");
    std::shuffle(attrs.begin(), attrs.end(), rng);
    std::string xml = "<" + name + (depth ? "" : " xmlns:p='urn:p' xmlns:q='urn:q'");
    for (size_t i = rng() % attrs.size(); i < attrs.size(); ++i) xml += attrs[i].empty() ? "" : " " + attrs[i];
    const int children = depth < 4 ? rng() % 6 : 0;
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

std::u16string serialized(const DOMNode* node) {
  DOMLSSerializer* writer = DOMImplementation::getImplementation()->createLSSerializer();
  XMLCh* text = writer->writeToString(node);
  std::u16string out = text;
  XMLString::release(&text);
  writer->release();
  return out;
}

}  // namespace

TEST(SameDom, FuzzSeedsAndRandomDocumentsAsXercesDOMParserBuildsThem) {
  std::vector<std::string> inputs;
  for (const char* dir : {"seeds/parse", "regressions/parse"})
    for (const auto& entry : fs::directory_iterator(fs::path(QELDOM_TEST_DATA) / "../../fuzz" / dir))
      inputs.push_back(readFile(entry.path().string()));
  std::mt19937 rng(20261207);
  while (inputs.size() < 400) inputs.push_back(randomDocument(rng));
  int compared = 0;
  for (const std::string& xml : inputs)
    for (unsigned long opt : {0ul, QEL_PARSE_NAMESPACES}) {
      SCOPED_TRACE(xml + " options " + std::to_string(opt));
      bool direct = false;
      DocPtr got = libraryDom(xml, "same", opt, &direct), want = bareDom(xml, "same", opt);
      EXPECT_EQ(DomDiff(got.get(), want.get()).why(), "");
      compared += got && direct == QELDOM_LINKS_DIRECTLY;
    }
  EXPECT_GT(compared, 780);
}

// Xerces-C's own operations on a document the parser linked itself (one of
// several heap blocks, with ID attributes, defaults, entities, namespaces)
// give what they give on Xerces-C's document of the same input.
TEST(SameDom, XercesOperationsWorkOnTheResult) {
  std::string xml =
      "<!DOCTYPE r [<!ENTITY e 'x&#38;amp;y'><!ATTLIST d id ID #IMPLIED k CDATA 'v'><!NOTATION n SYSTEM 'n'>]>"
      "<r xmlns:p='urn:p' z='1' a='2'><?pi first?>";
  for (int i = 0; i < 300; ++i)
    xml += "<p:c b='" + std::to_string(i) + "' a=''>t &e; <![CDATA[c]]><!--k--><d id='i" + std::to_string(i) +
           "'/></p:c>\n";
  xml += "</r>";
  for (unsigned long opt : {0ul, QEL_PARSE_NAMESPACES}) {
    bool direct = false;
    DocPtr got = libraryDom(xml, "same", opt, &direct), want = bareDom(xml, "same", opt);
    ASSERT_TRUE(got && want && direct == QELDOM_LINKS_DIRECTLY);
    for (DOMDocument* doc : {got.get(), want.get()}) {
      DOMElement* root = doc->getDocumentElement();
      root->appendChild(doc->createElement(u"added"))->appendChild(doc->createTextNode(u"t"));
      root->setAttribute(u"z", u"changed");
      root->removeChild(root->getFirstChild())->release();
      DOMNodeList* ds = doc->getElementsByTagName(u"d");
      for (XMLSize_t i = 0; i < ds->getLength(); i += 2) static_cast<DOMElement*>(ds->item(i))->removeAttribute(u"k");
      static_cast<DOMText*>(root->getFirstChild()->getFirstChild())->splitText(1);
      doc->normalizeDocument();
    }
    EXPECT_EQ(DomDiff(got.get(), want.get()).why(), "");
    EXPECT_TRUE(serialized(got.get()) == serialized(want.get()));
    EXPECT_EQ(got->getElementsByTagName(u"d")->getLength(), 300u);
    EXPECT_EQ(got->getElementById(u"i299"), got->getElementsByTagName(u"d")->item(299));
    DocPtr clone(static_cast<DOMDocument*>(got->cloneNode(true)));
    DocPtr wantClone(static_cast<DOMDocument*>(want->cloneNode(true)));
    EXPECT_EQ(DomDiff(clone.get(), wantClone.get()).why(), "");
    DocPtr imported(qelCreateDoc());
    imported->appendChild(imported->importNode(got->getDocumentElement(), true));
    EXPECT_TRUE(serialized(imported->getDocumentElement()) == serialized(want->getDocumentElement()));
  }
}
