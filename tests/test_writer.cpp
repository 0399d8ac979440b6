// Serialization: the converting writer, the layout of the DOM writer, escaping
// and CDATA, encodings byte by byte, and a round trip through Xerces-C.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <system_error>
#include <tuple>
#include <xercesc/dom/impl/DOMDocumentTypeImpl.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

// A stream that records every call and can be told to fail on the n-th call.
class RecordingStream : public QelOutputStream {
 public:
  std::vector<std::string> calls;
  int failAt = -1;
  void write(const char* bytes, long count) override {
    if (static_cast<int>(calls.size()) == failAt) {
      failAt = -1;
      throw std::runtime_error("stream failed");
    }
    calls.emplace_back(bytes, static_cast<size_t>(count));
  }
};

// A document with its root element, released at the end of the scope.
struct Doc {
  explicit Doc(const XMLCh* root) : owner(tavCreateDoc(root)), doc(owner.get()) {}
  DOMElement* root() const { return doc->getDocumentElement(); }
  DocPtr owner;
  DOMDocument* doc;
};

// The message of the error writing `node`'s document raises, and the node's text.
std::pair<std::string, std::string> refusal(const DOMNode* node, unsigned long options, const char* encoding) {
  std::ostringstream text;
  text << node;
  return {errorOf([&] { write(node->getOwnerDocument(), options, encoding); }).getMessage(), text.str()};
}

const char* const s_pages[] = {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037", "US-ASCII"};

}  // namespace

// --- converting writer ----------------------------------------------------------------------------

TEST(CnvWriter, ResolvesEncodingNames) {
  std::string out;
  QelStringOutputStream stream(out);
  for (const char* name : {static_cast<const char*>(nullptr), "", "NATIVE", "native", "Native"}) {
    QelCnvWriter w(stream, name, true);
    EXPECT_EQ(w.getConverter().getCodePageId(), 57352) << (name ? name : "null");
  }
  Doc d(u"r");
  EXPECT_EQ(qelWriteNode(d.root(), stream, 0, nullptr, nullptr), u"UTF-8");
  EXPECT_EQ(qelWriteNode(d.root(), stream, 0, "native", nullptr), u"UTF-8");
  EXPECT_EQ(qelWriteNode(d.root(), stream, 0, "utf-16le", nullptr), u"utf-16le");
}

TEST(CnvWriter, UnknownEncodingRaisesAndWritesNothing) {
  RecordingStream stream;
  try {
    QelCnvWriter w(stream, "no-such-code-page", true);
    FAIL() << "no error";
  } catch (const QelError& e) {
    EXPECT_STREQ(e.getMessage(), (QelNls::getErrorMsg(30) + " (no-such-code-page)").c_str());
    expectLibraryError(e, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", "QelCnvWriter::QelCnvWriter", "qeldom/qelidwrt");
    EXPECT_EQ(e.getLine(), 127);
  }
  Doc d(u"r");
  EXPECT_THROW(qelWriteNode(d.doc, stream, QEL_WRITE_XML_DECL, "no-such-code-page", nullptr), QelError);
  EXPECT_TRUE(stream.calls.empty());
}

TEST(CnvWriter, ByteOrderMark) {
  auto run = [](const char* encoding, bool prefix, const std::u16string& text) {
    std::string out;
    QelStringOutputStream stream(out);
    QelCnvWriter w(stream, encoding, prefix);
    w.write(text);
    w.commit();
    w.write(text);  // the mark is never written twice
    return out;
  };
  EXPECT_EQ(run("UTF-16LE", true, u"ab"), "\xFF\xFE" + utf16Bytes(u"abab", false));
  EXPECT_EQ(run("UTF-16LE", false, u"ab"), utf16Bytes(u"abab", false));
  EXPECT_EQ(run("UTF-16BE", true, u"ab"), "\xFE\xFF" + utf16Bytes(u"abab", true));
  EXPECT_EQ(run("UTF-8", true, u"ab"), "abab");
  EXPECT_EQ(run("UTF-16LE", true, u""), "");  // no text, not even the mark
}

TEST(CnvWriter, WritesCountedAndTerminatedText) {
  std::string out;
  QelStringOutputStream stream(out);
  {
    QelCnvWriter w(stream, nullptr, false);
    w.write(u"abc\0def", 0);
    w.write(u"xyz", 2);
    w.write(u'!');
    w.write(std::u16string());
    EXPECT_EQ(out, "");  // nothing before a commit
  }
  EXPECT_EQ(out, "abcxy!");  // the destructor commits
}

TEST(CnvWriter, CommitsAt4096Units) {
  RecordingStream stream;
  QelCnvWriter w(stream, "ISO-8859-1", true);
  std::u16string block(4095, u'a');
  w.write(block);
  EXPECT_TRUE(stream.calls.empty());
  w.write(u'b');
  ASSERT_EQ(stream.calls.size(), 1u);
  EXPECT_EQ(stream.calls[0], std::string(4095, 'a') + "b");
  // One write larger than the buffer goes out whole.
  w.write(std::u16string(10000, u'c'));
  ASSERT_EQ(stream.calls.size(), 2u);
  EXPECT_EQ(stream.calls[1].size(), 10000u);
}

// A high surrogate at a commit waits for its low surrogate, also when the
// commit fails and in UTF-16, whose bytes may be the buffer itself.
TEST(CnvWriter, NeverSplitsASurrogatePair) {
  struct Case {
    const char* encoding;
    std::string as, pair, lone;  // 4095 "a", U+1F600, "z" and a lone high surrogate
  };
  for (const Case& c : {Case{"UTF-8", std::string(4095, 'a'), "\xF0\x9F\x98\x80", "z&#xD83D;"},
                        Case{"UTF-16LE", utf16Bytes(std::u16string(4095, u'a'), false),
                             utf16Bytes(u"\U0001F600", false), utf16Bytes(u"z&#xD83D;", false)},
                        Case{"UTF-16BE", utf16Bytes(std::u16string(4095, u'a'), true), utf16Bytes(u"\U0001F600", true),
                             utf16Bytes(u"z&#xD83D;", true)}}) {
    SCOPED_TRACE(c.encoding);
    for (bool fail : {false, true}) {
      RecordingStream stream;
      stream.failAt = fail ? 0 : -1;
      {
        QelCnvWriter w(stream, c.encoding, false);
        const std::u16string first = std::u16string(4095, u'a') + u"\xD83D";  // 4096 units, the last a high surrogate
        if (fail) {
          EXPECT_THROW(w.write(first), std::runtime_error);
        } else {
          w.write(first);
        }
        w.write(u"\xDE00", 1);
        w.commit();
        w.write(u"z\xD83D", 2);  // a lone high surrogate at the end still comes out
      }
      std::vector<std::string> expected = {c.as, c.pair, c.lone};
      if (fail) expected.erase(expected.begin());
      EXPECT_EQ(stream.calls, expected);
    }
  }
}

TEST(CnvWriter, StreamFailureReachesTheCallerOnce) {
  RecordingStream stream;
  stream.failAt = 0;
  {
    QelCnvWriter w(stream, nullptr, true);
    w.write(u"first", 0);
    EXPECT_THROW(w.commit(), std::runtime_error);
    w.write(u"second", 0);
  }
  EXPECT_EQ(stream.calls, std::vector<std::string>{"second"});  // "first" was dropped with the failure, never repeated

  // A failure at the destructor's commit is thrown too.
  stream.calls.clear();
  stream.failAt = 0;
  auto scope = [&] {
    QelCnvWriter w(stream, nullptr, true);
    w.write(u"x", 0);
  };
  EXPECT_THROW(scope(), std::runtime_error);
}

TEST(OutputStreams, FileStreamsReportAFullDevice) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  Doc d(u"r");
  QelFileOutputStream fileStream(full);
  EXPECT_THROW(qelWriteNode(d.doc, fileStream, 0, nullptr, nullptr), std::system_error);
  std::fclose(full);

  int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  QelFileOutputStream fdStream(fd);
  EXPECT_THROW(qelWriteNode(d.doc, fdStream, 0, nullptr, nullptr), std::system_error);
  ::close(fd);

  std::FILE* tmp = std::tmpfile();
  QelFileOutputStream ok(tmp);
  qelWriteNode(d.doc, ok, 0, nullptr, nullptr);
  ok.flush();
  std::rewind(tmp);
  char buf[16] = {};
  EXPECT_EQ(std::fread(buf, 1, sizeof buf, tmp), 4u);
  EXPECT_STREQ(buf, "<r/>");
  std::fclose(tmp);
}

// --- layout -------------------------------------------------------------------------------------

TEST(Layout, OptionsShapeTheSameTree) {
  Doc d(u"a");
  DOMElement* a = d.root();
  tavAddText(tavAddElem(a, u"b"), u"x");
  tavAddElem(a, u"c");
  EXPECT_EQ(write(a, 0), "<a><b>x</b><c/></a>");
  EXPECT_EQ(write(a, QEL_WRITE_MARGINS), "<a>\n  <b>x</b>\n  <c/>\n</a>\n");
  EXPECT_EQ(write(a, QEL_WRITE_SPACED_MARGINS), "<a>\n\n  <b>x</b>\n\n  <c/>\n\n</a>\n");
  EXPECT_EQ(write(a, QEL_WRITE_CANONICAL), "<a><b>x</b><c></c></a>");
  EXPECT_EQ(write(a, QEL_WRITE_CANONICAL | QEL_WRITE_MARGINS), "<a>  <b>x</b>  <c></c></a>");
  EXPECT_EQ(write(a, QEL_WRITE_CONTENT_ONLY | QEL_WRITE_MARGINS), "<b>x</b>\n<c/>\n");
  // Unknown bits have no effect.
  EXPECT_EQ(write(a, 0x20 | 0x200 | 0x10000), "<a><b>x</b><c/></a>");
}

TEST(Layout, MixedContentAndDeeperLevels) {
  Doc d(u"a");
  DOMElement* b = tavAddElem(d.root(), u"b");
  tavAddText(b, u"t");
  tavAddComment(tavAddElem(b, u"c"), u"k");
  tavAddCDATA(b, u"z");
  EXPECT_EQ(write(d.root(), QEL_WRITE_MARGINS),
            "<a>\n  <b>\n    t\n    <c>\n      <!--k-->\n    </c>\n    <![CDATA[z]]>\n  </b>\n</a>\n");
  EXPECT_EQ(write(d.root(), 0), "<a><b>t<c><!--k--></c><![CDATA[z]]></b></a>");
}

TEST(Layout, Documents) {
  Doc d(u"r");
  tavAddPi(d.doc, u"pi", u"");
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL), "<?xml version=\"1.0\" ?><r/><?pi ?>");
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL | QEL_WRITE_MARGINS), "<?xml version=\"1.0\" ?>\n<r/>\n<?pi ?>\n");
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL, "ISO-8859-1"),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?><r/><?pi ?>");
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL, "utf-16le"),
            "\xFF\xFE" + utf16Bytes(u"<?xml version=\"1.0\" encoding=\"UTF-16\" ?><r/><?pi ?>", false));
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL | QEL_WRITE_CONTENT_ONLY), "<r/><?pi ?>");
  // Fragments and attributes write nothing, a fragment's children with content only.
  DOMDocumentFragment* fragment = d.doc->createDocumentFragment();
  fragment->appendChild(d.doc->createElement(u"f"));
  EXPECT_EQ(write(fragment, QEL_WRITE_MARGINS), "");
  EXPECT_EQ(write(fragment, QEL_WRITE_CONTENT_ONLY), "<f/>");
  d.root()->setAttribute(u"x", u"1");
  EXPECT_EQ(write(d.root()->getAttributeNode(u"x"), 0), "");
  // A detached text node is not an only child.
  EXPECT_EQ(write(d.doc->createTextNode(u"t"), QEL_WRITE_MARGINS), "t\n");
  EXPECT_THROW(write(nullptr, 0), QelError);
}

TEST(Layout, DocumentTypePlacement) {
  DOMImplementation* impl = DOMImplementation::getImplementation();
  Doc d(u"root");
  DOMDocumentType* type = impl->createDocumentType(u"root", u"p", u"s");
  const unsigned long decl = QEL_WRITE_XML_DECL | QEL_WRITE_MARGINS;
  EXPECT_EQ(write(d.doc, decl | QEL_WRITE_DOCTYPE, nullptr, type),
            "<?xml version=\"1.0\" ?>\n<!DOCTYPE root PUBLIC \"p\" \"s\">\n<root/>\n");
  EXPECT_EQ(write(d.doc, decl, nullptr, type), "<?xml version=\"1.0\" ?>\n<root/>\n");
  EXPECT_EQ(write(d.root(), QEL_WRITE_DOCTYPE, nullptr, type), "<!DOCTYPE root PUBLIC \"p\" \"s\"><root/>");
  EXPECT_EQ(write(d.doc, QEL_WRITE_DOCTYPE | QEL_WRITE_CONTENT_ONLY, nullptr, type), "<root/>");

  // A document with a type of its own: written in its place, or replaced by the argument.
  DOMDocument* own = impl->createDocument(nullptr, u"root", impl->createDocumentType(u"root", nullptr, u"own"));
  EXPECT_EQ(write(own, QEL_WRITE_DOCTYPE | QEL_WRITE_MARGINS), "<!DOCTYPE root SYSTEM \"own\">\n<root/>\n");
  EXPECT_EQ(write(own, QEL_WRITE_DOCTYPE | QEL_WRITE_MARGINS | QEL_WRITE_CONTENT_ONLY, nullptr, type),
            "<!DOCTYPE root PUBLIC \"p\" \"s\">\n<root/>\n");
  EXPECT_EQ(write(own, QEL_WRITE_MARGINS), "<root/>\n");
  own->release();
  type->release();
}

TEST(DocTypeDecl, Forms) {
  DOMImplementation* impl = DOMImplementation::getImplementation();
  auto decl = [&](const XMLCh* pub, const XMLCh* sys) {
    DOMDocumentType* t = impl->createDocumentType(u"root", pub, sys);
    std::u16string text = qelMakeDocTypeDecl(t);
    t->release();
    return text;
  };
  EXPECT_EQ(decl(nullptr, nullptr), u"<!DOCTYPE root>");
  EXPECT_EQ(decl(u"", u""), u"<!DOCTYPE root>");
  EXPECT_EQ(decl(u"p", u"s"), u"<!DOCTYPE root PUBLIC \"p\" \"s\">");
  EXPECT_EQ(decl(nullptr, u"s"), u"<!DOCTYPE root SYSTEM \"s\">");
  EXPECT_EQ(decl(u"p", nullptr), u"<!DOCTYPE root PUBLIC \"p\">");
  EXPECT_EQ(qelMakeDocTypeDecl(nullptr), u"");
}

// --- parsing helpers for documents with a DTD, and for the round trip ------------------------------

namespace {

struct Parsed {
  std::unique_ptr<XercesDOMParser> parser = std::make_unique<XercesDOMParser>();
  HandlerBase errors;
  DOMDocument* doc = nullptr;
};

std::unique_ptr<Parsed> parseBare(const std::string& bytes) {
  auto p = std::make_unique<Parsed>();
  p->parser->setErrorHandler(&p->errors);
  p->parser->setDoNamespaces(false);
  p->parser->setLoadExternalDTD(false);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "test");
  p->parser->parse(source);
  p->doc = p->parser->getDocument();
  return p;
}

}  // namespace

TEST(DocTypeDecl, InternalSubsetAndEntities) {
  auto p = parseBare(
      "<!DOCTYPE root SYSTEM \"s\" [<!ENTITY e \"x\"><!ENTITY u PUBLIC \"p\" \"s\" NDATA n><!ENTITY v SYSTEM "
      "\"s\"><!ENTITY w \"a&amp;b <i q='1'>&#37;&#34;</i>\"><!NOTATION n SYSTEM \"n\"><!ENTITY never '&#60;'>]>"
      "<root>&e;</root>");
  DOMDocumentType* type = p->doc->getDoctype();
  std::u16string text = qelMakeDocTypeDecl(type);
  EXPECT_EQ(text.rfind(u"<!DOCTYPE root SYSTEM \"s\" [", 0), 0u);
  EXPECT_NE(text.find(u"<!ENTITY e \"x\">"), std::u16string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), u"]>");

  DOMNamedNodeMap* entities = type->getEntities();
  EXPECT_EQ(write(entities->getNamedItem(u"u"), 0), "<!ENTITY u PUBLIC \"p\" \"s\" NDATA n>");
  EXPECT_EQ(write(entities->getNamedItem(u"v"), QEL_WRITE_MARGINS), "<!ENTITY v SYSTEM \"s\">\n");
  EXPECT_EQ(write(entities->getNamedItem(u"e"), 0), "<!ENTITY e \"x\">");
  EXPECT_EQ(write(entities->getNamedItem(u"never"), 0), "<!ENTITY never \"<\">");  // no children: from the subset
  // A replacement text with markup, "%" and a quotation mark parses back to the same entity.
  // (The parser gives an entity its children once it is referenced.)
  auto referenced = parseBare("<!DOCTYPE r [<!ENTITY w \"a&amp;b <i q='1'>&#37;&#34;</i>\">]><r>&w;</r>");
  std::string w = write(referenced->doc->getDoctype()->getEntities()->getNamedItem(u"w"), 0);
  EXPECT_EQ(w, "<!ENTITY w \"a&#38;amp;b <i q='1'>&#37;&#34;</i>\">");
  auto back = parseBare("<!DOCTYPE r [" + w + "]><r>&w;</r>");
  DOMNode* r = back->doc->getDocumentElement();
  EXPECT_EQ(write(r, 0), "<r>a&amp;b <i q=\"1\">%\"</i></r>");

  // An entity reference is written as its children, at its own level.
  EXPECT_EQ(write(p->doc->getDocumentElement(), QEL_WRITE_MARGINS), "<root>\nx</root>\n");
}

namespace {

// Gives the document type another internal subset text, as Xerces-C's
// parser does when it rebuilds it.
void setInternalSubset(DOMDocumentType* type, const XMLCh* text) {
  struct Opener : DOMDocumentTypeImpl {
    using DOMDocumentTypeImpl::setInternalSubset;
  };
  (static_cast<DOMDocumentTypeImpl*>(type)->*&Opener::setInternalSubset)(text);
}

}  // namespace

// Xerces-C rebuilds the internal subset in a form that does not parse back
// to the same declarations; the writer writes each declaration legally, so
// that the document reads back to the same subset, and again to the same
// bytes.
TEST(DocTypeDecl, InternalSubsetParsesBackToTheSameDeclarations) {
  const std::string subset =
      "\n<!--c-->\n<?pi data?>\n<!ELEMENT r (#PCDATA|i)*>\n"
      "<!ATTLIST r a CDATA '\"&#10;\"'\n  n NOTATION (n1) #IMPLIED>\n<!NOTATION n1 PUBLIC 'p' 's\"'>\n"
      "<!ENTITY % pe '<!ENTITY x \"&#38;#60;&#38;#37;\">'> %pe;\n<!ENTITY e '&#34;&#37;&#38;amp;&#13;\xC3\xA9'>\n"
      "<!ENTITY u PUBLIC \"p\" \"s\" NDATA n1>\n";
  auto original = parseBare("<!DOCTYPE r SYSTEM 'r\"' [" + subset + "]><r/>");
  const unsigned long options = QEL_WRITE_DOCTYPE | QEL_WRITE_MARGINS | QEL_WRITE_SPECIFIED_ONLY;
  const std::string written = write(original->doc, options);
  EXPECT_EQ(
      written,
      "<!DOCTYPE r SYSTEM 'r\"' [\n<!--c-->\n<?pi data?>\n<!ELEMENT r (#PCDATA|i)*>\n"
      "<!ATTLIST r a CDATA \"&quot;&#10;&quot;\"\n  n NOTATION (n1) #IMPLIED>\n<!NOTATION n1 PUBLIC \"p\" 's\"'>\n"
      "<!ENTITY % pe \"<!ENTITY x &#34;&#38;#60;&#38;#37;&#34;>\">  <!ENTITY % x \"<&#37;\"> \n"
      "<!ENTITY % e \"&#34;&#37;&#38;amp;&#13;\xC3\xA9\">\n<!ENTITY u PUBLIC \"p\" \"s\" NDATA n1>\n]>\n<r/>\n");
  auto back = parseBare(written);
  EXPECT_EQ(u8(back->doc->getDoctype()->getInternalSubset()), u8(original->doc->getDoctype()->getInternalSubset()));
  EXPECT_EQ(write(back->doc, options), written);
  // With an external subset an entity is declared as a parameter entity (what
  // an external subset would reference), without one as a general entity. In US-ASCII
  // values hold references, comments and names cannot.
  auto internal = parseBare("<!DOCTYPE r [<!ENTITY e '\xC3\xA9'><!--\xC3\xA9--><!ELEMENT \xC3\xA9 ANY>]><r/>");
  DOMDocumentType* type = internal->doc->getDoctype();
  const std::string ascii = "<!DOCTYPE r [<!ENTITY e \"&#xE9;\">";
  auto [message, node] = refusal(type, QEL_WRITE_DOCTYPE, "US-ASCII");
  EXPECT_EQ(
      message,
      "The comment in the internal subset holds U+00E9 at position 20, which the encoding US-ASCII cannot hold: " +
          node);
  setInternalSubset(type, u"<!ENTITY e \"\u00E9\">");
  EXPECT_EQ(write(internal->doc, QEL_WRITE_DOCTYPE, "US-ASCII"), ascii + "]><r/>");
  // A text that does not read, or reads without an entity the document type holds, is refused.
  for (const XMLCh* unreadable :
       {u"<!ENTITY e \"x\"> junk", u"<!ENTITY f \"x\">", u"<!ENTITY e \"x\"", u"<!--x-->", u""}) {
    setInternalSubset(type, unreadable);
    if (*unreadable)
      EXPECT_THROW(write(internal->doc, QEL_WRITE_DOCTYPE), QelError) << u8(unreadable);
    else
      EXPECT_EQ(write(internal->doc, QEL_WRITE_DOCTYPE), "<!DOCTYPE r><r/>");
  }
}

// --- escaping ------------------------------------------------------------------------------------

TEST(Escaping, TextAndAttributeTables) {
  Doc d(u"a");
  DOMElement* a = d.root();
  tavAddText(a, u"a<b & \"c\">\r\n\t'");
  a->setAttribute(u"v", u"q\"\n\r\t<&>'");
  EXPECT_EQ(write(a, 0), "<a v=\"q&quot;\n\r\t&lt;&amp;&gt;'\">a&lt;b &amp; \"c\"&gt;\r\n\t'</a>");
  EXPECT_EQ(write(a, QEL_WRITE_CHAR_REFS),
            "<a v=\"q&quot;&#10;&#13;\t&lt;&amp;&gt;'\">a&lt;b &amp; \"c\"&gt;&#13;&#10;\t'</a>");
  EXPECT_EQ(write(a, QEL_WRITE_CANONICAL),
            "<a v=\"q&quot;&#10;&#13;&#9;&lt;&amp;&gt;'\">a&lt;b &amp; &quot;c&quot;&gt;&#13;&#10;&#9;'</a>");
}

TEST(Escaping, CharacterReferences) {
  Doc d(u"r\u00E9");
  DOMElement* r = d.root();
  tavAddText(r, u"caf\u00E9 \u20AC \U0001F600 x");
  r->setAttribute(u"a", u"\u00FC\U0001F600");
  tavAddComment(r, u"\u00E9");
  tavAddPi(r, u"p", u"\u00E9");
  EXPECT_EQ(write(r, QEL_WRITE_CHAR_REFS),
            "<r\xC3\xA9 a=\"&#xFC;&#x1F600;\">caf&#xE9; &#x20AC; &#x1F600; x<!--\xC3\xA9--><?p "
            "\xC3\xA9?></r\xC3\xA9>");
}

TEST(Escaping, CDataSections) {
  Doc d(u"r");
  auto cdata = [&](const XMLCh* text, unsigned long options, const char* encoding = nullptr) {
    tavCleanNode(d.root(), true);
    tavAddCDATA(d.root(), text);
    return write(d.root(), options, encoding);
  };
  EXPECT_EQ(cdata(u"a]]>b", 0), "<r><![CDATA[a]]>]]&gt;<![CDATA[b]]></r>");
  EXPECT_EQ(cdata(u"a<![CDATA[b", 0), "<r><![CDATA[a]]>&lt;![CDATA[<![CDATA[b]]></r>");
  EXPECT_EQ(cdata(u"]]><![CDATA[]]>", 0),
            "<r><![CDATA[]]>]]&gt;<![CDATA[]]>&lt;![CDATA[<![CDATA[]]>]]&gt;<![CDATA[]]></r>");
  EXPECT_EQ(cdata(u"", 0), "<r><![CDATA[]]></r>");
  EXPECT_EQ(cdata(u"a\u00E9", QEL_WRITE_CHAR_REFS), "<r><![CDATA[a]]>&#xE9;<![CDATA[]]></r>");
  EXPECT_EQ(cdata(u"\u00E9\U0001F600b\u00FC", QEL_WRITE_CHAR_REFS),
            "<r><![CDATA[]]>&#xE9;&#x1F600;<![CDATA[b]]>&#xFC;<![CDATA[]]></r>");
  EXPECT_EQ(cdata(u"x<y", QEL_WRITE_CANONICAL), "<r>x&lt;y</r>");
  // In a code page that cannot hold a character the section is closed around it.
  EXPECT_EQ(cdata(u"\u00E9\u20AC\u00E9", 0, "ISO-8859-1"), "<r><![CDATA[\xE9]]>&#x20AC;<![CDATA[\xE9]]></r>");
  EXPECT_EQ(cdata(u"\u00E9\u20AC", 0, "windows-1252"), "<r><![CDATA[\xE9\x80]]></r>");
}

TEST(Escaping, CommentsAndProcessingInstructions) {
  Doc d(u"r");
  DOMElement* r = d.root();
  tavAddComment(r, u"a--b");
  tavAddComment(r, u"---");
  tavAddComment(r, u"----");
  tavAddComment(r, u"end-");
  tavAddComment(r, u"plain - text");
  tavAddPi(r, u"pi", u"");
  tavAddPi(r, u"go", u"x='1' ?");
  EXPECT_EQ(write(r, 0),
            "<r><!--a- b--><!--- - --><!--- - --><!--end- --><!--plain - text--><?pi ?><?go x='1' ?"
            "?></r>");
  EXPECT_EQ(write(r, QEL_WRITE_CANONICAL),
            "<r><?pi ?><?go x='1' ?"
            "?></r>");
  ASSERT_EQ(write(r, QEL_WRITE_MARGINS).find("  <!--a- b-->\n"), 4u);

  tavAddPi(r, u"bad", u"a?>b");
  try {
    write(r, 0);
    FAIL() << "no error";
  } catch (const QelError& e) {
    EXPECT_EQ(e.getRc(), QELRC_DOM_API_ERROR);
    std::string message = e.getMessage();
    EXPECT_NE(message.find("?>"), std::string::npos) << message;
    EXPECT_NE(message.find("name(bad)"), std::string::npos) << message;
  }
}

TEST(Escaping, MarkupThatTheCodePageCannotHoldIsRefused) {
  Doc d(u"r");
  tavAddComment(d.root(), u"\u20AC");
  EXPECT_THROW(write(d.root(), 0, "ISO-8859-1"), QelError);
  EXPECT_EQ(write(d.root(), 0, "windows-1252"), "<r><!--\x80--></r>");
  Doc n(u"\u4E2D");
  EXPECT_THROW(write(n.root(), 0, "ISO-8859-1"), QelError);
  EXPECT_EQ(write(n.root(), 0, "UTF-16BE"), "\xFE\xFF" + utf16Bytes(u"<\u4E2D/>", true));
}

// --- what XML can hold -------------------------------------------------------------------------

// One rule in every code page: a character that can never be XML is refused
// wherever it stands, naming the node and the character's position.
TEST(WhatXmlHolds, CharactersThatCanNeverBeXmlAreRefusedInEveryCodePage) {
  using Add = DOMNode* (*)(DOMElement*, const XMLCh*);
  const std::pair<const char*, Add> items[] = {
      {"text",
       [](DOMElement* e, const XMLCh* t) -> DOMNode* {
         return e->appendChild(e->getOwnerDocument()->createTextNode(t));
       }},
      {"attribute value",
       [](DOMElement* e, const XMLCh* t) -> DOMNode* {
         e->setAttribute(u"a", t);
         return e->getAttributeNode(u"a");
       }},
      {"CDATA section",
       [](DOMElement* e, const XMLCh* t) -> DOMNode* {
         return e->appendChild(e->getOwnerDocument()->createCDATASection(t));
       }},
      {"comment",
       [](DOMElement* e, const XMLCh* t) -> DOMNode* {
         return e->appendChild(e->getOwnerDocument()->createComment(t));
       }},
      {"processing instruction", [](DOMElement* e, const XMLCh* t) -> DOMNode* {
         return e->appendChild(e->getOwnerDocument()->createProcessingInstruction(u"pi", t));
       }}};
  const std::tuple<const char16_t*, const char*> cases[] = {
      {u"ab\xD800", "U+D800 at position 2"}, {u"\xDC00z", "U+DC00 at position 0"},
      {u"a\uFFFE", "U+FFFE at position 1"},  {u"\U0001F600\uFFFF", "U+FFFF at position 2"},
      {u"x\x01", "U+0001 at position 1"},    {u"\x1F", "U+001F at position 0"}};
  for (const auto& [what, add] : items)
    for (const auto& [text, where] : cases)
      for (const char* page : s_pages) {
        SCOPED_TRACE(std::string(what) + " " + where + " " + page);
        Doc d(u"r");
        auto [message, node] = refusal(add(d.root(), text), QEL_WRITE_MARGINS, page);
        EXPECT_EQ(message,
                  std::string("The ") + what + " holds " + where + ", which is not a character of XML 1.0: " + node);
      }
  Doc d(u"r");
  for (const XMLCh* target : {u"xml", u"XmL"}) {
    DOMNode* pi = d.root()->appendChild(d.doc->createProcessingInstruction(target, u"x"));
    EXPECT_NE(refusal(pi, 0, "UTF-8").first.find("cannot be \"xml\""), std::string::npos);
    d.root()->removeChild(pi)->release();
  }
}

// An XML 1.1 document declares its version (always: without the
// declaration it would read as XML 1.0) and writes the characters XML 1.1
// allows only as references as references, in every mode.
TEST(WhatXmlHolds, Xml11DocumentsWriteTheirControlsAsReferences) {
  Doc d(u"r");
  d.doc->setXmlVersion(u"1.1");
  d.root()->setAttribute(u"a", u"\x01\u0085");
  d.root()->appendChild(d.doc->createTextNode(u"\x01\x7F\u0080\u0085\u2028\u00E9\t"));
  d.root()->appendChild(d.doc->createCDATASection(u"x\x01\u0085y"));
  const std::string text = "&#x1;&#x7F;&#x80;&#x85;&#x2028;";
  const std::pair<unsigned long, std::string> modes[] = {
      {0, "<r a=\"&#x1;&#x85;\">" + text + "\xC3\xA9\t<![CDATA[x]]>&#x1;&#x85;<![CDATA[y]]></r>"},
      {QEL_WRITE_CHAR_REFS, "<r a=\"&#x1;&#x85;\">" + text + "&#xE9;\t<![CDATA[x]]>&#x1;&#x85;<![CDATA[y]]></r>"},
      {QEL_WRITE_CANONICAL, "<r a=\"&#x1;&#x85;\">" + text + "\xC3\xA9&#9;x&#x1;&#x85;y</r>"}};
  for (const auto& [options, body] : modes) {
    SCOPED_TRACE(options);
    const std::string bytes = write(d.doc, options);
    EXPECT_EQ(bytes, "<?xml version=\"1.1\" ?>" + body);
    std::string why;
    EXPECT_TRUE(sameContent(d.doc, parse(bytes).get(), false, why)) << why;
  }
  EXPECT_EQ(write(d.doc, QEL_WRITE_XML_DECL, "ISO-8859-1").rfind("<?xml version=\"1.1\" encoding=\"ISO-8859-1\" ?>", 0),
            0u);
  EXPECT_EQ(write(d.root(), 0).rfind("<r a=", 0), 0u);  // an element alone: no declaration
  // Where XML has no references they cannot be written.
  for (const XMLCh* comment : {u"a\u0085", u"a\x01"}) {
    DOMNode* node = d.root()->appendChild(d.doc->createComment(comment));
    auto [message, nodeText] = refusal(node, 0, "UTF-8");
    EXPECT_EQ(message.substr(message.find(", which")),
              ", which XML 1.1 allows only as a character reference: " + nodeText);
    d.root()->removeChild(node)->release();
  }
}

// --- encodings, byte by byte ------------------------------------------------------------------------

TEST(Encodings, SameDocumentInSixEncodings) {
  Doc d(u"a");
  d.root()->setAttribute(u"x", u"\u00E9\u20AC");
  tavAddText(d.root(), u"\u00E9");
  const unsigned long options = QEL_WRITE_XML_DECL | QEL_WRITE_MARGINS;
  EXPECT_EQ(write(d.doc, options, "UTF-8"), "<?xml version=\"1.0\" ?>\n<a x=\"\xC3\xA9\xE2\x82\xAC\">\xC3\xA9</a>\n");
  const std::u16string utf16 = u"<?xml version=\"1.0\" encoding=\"UTF-16\" ?>\n<a x=\"\u00E9\u20AC\">\u00E9</a>\n";
  EXPECT_EQ(write(d.doc, options, "UTF-16LE"), "\xFF\xFE" + utf16Bytes(utf16, false));
  EXPECT_EQ(write(d.doc, options, "UTF-16BE"), "\xFE\xFF" + utf16Bytes(utf16, true));
  EXPECT_EQ(write(d.doc, options, "ISO-8859-1"),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<a x=\"\xE9&#x20AC;\">\xE9</a>\n");
  EXPECT_EQ(write(d.doc, options, "windows-1252"),
            "<?xml version=\"1.0\" encoding=\"windows-1252\" ?>\n<a x=\"\xE9\x80\">\xE9</a>\n");
  // <?xml version="1.0" encoding="IBM037" ?>LF<a x="é&#x20AC;">é</a>LF in EBCDIC.
  EXPECT_EQ(write(d.doc, options, "IBM037"),
            "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F\x40\x85\x95\x83\x96\x84\x89"
            "\x95\x87\x7E\x7F\xC9\xC2\xD4\xF0\xF3\xF7\x7F\x40\x6F\x6E\x25\x4C\x81\x40\xA7\x7E\x7F\x51\x50\x7B\xA7\xF2"
            "\xF0\xC1\xC3\x5E\x7F\x6E\x51\x4C\x61\x81\x6E\x25");
}

// --- pieces and commits ----------------------------------------------------------------------

// Traced, every piece is a write of its own with its trace lines; the bytes
// are the same as untraced, where pieces are plain appends.
TEST(Pieces, TracedRunWritesPieceByPiece) {
  Doc d(u"a");
  DOMElement* b = tavAddElem(d.root(), u"b");
  b->setAttribute(u"x", u"1&");
  tavAddText(b, u"t");
  tavAddElem(d.root(), u"c");
  const std::string plain = write(d.doc, QEL_WRITE_MARGINS, "UTF-8");
  EXPECT_EQ(plain, "<a>\n  <b x=\"1&amp;\">t</b>\n  <c/>\n</a>\n");
  TraceCapture trace("QelCnvWriter::write=0x40,QelCnvWriter::commit=0x40");
  EXPECT_EQ(write(d.doc, QEL_WRITE_MARGINS, "UTF-8"), plain);
  Lines pieces;
  for (const std::string& line : trace.of("QelCnvWriter::write"))
    if (line.rfind("Args - ", 0) == 0) pieces.push_back(line.substr(7));
  // A single unit is traced as its number, then as the text it passes on.
  const Lines expected = {"(60)", "(<)",  "(a)",  "(62)",  "(>)",  "(10)",    "(\n)", "(  )", "(60)", "(<)", "(b)",
                          "(32)", "( )",  "(x)",  "(=\")", "(1)",  "(&amp;)", "(34)", "(\")", "(62)", "(>)", "(t)",
                          "(</)", "(b)",  "(62)", "(>)",   "(10)", "(\n)",    "(  )", "(60)", "(<)",  "(c)", "(/>)",
                          "(10)", "(\n)", "(</)", "(a)",   "(62)", "(>)",     "(10)", "(\n)"};
  EXPECT_EQ(pieces, expected);
  EXPECT_TRUE(trace.has("QELDOM QelCnvWriter::commit: Flow - target.buffer()(" + plain + ") "));
}

// Untraced, the DOM writer commits between nodes, attributes and references:
// the stream gets 4096 units or more per call except the last, and neither a
// long start tag nor a text full of references piles up in the buffer.
TEST(Pieces, DomWriterCommitsOncePer4096UnitsAndStaysBounded) {
  Doc d(u"r");
  for (int i = 0; i < 2000; ++i) d.root()->setAttribute((u"a" + qelToUnicode(std::to_string(i).c_str())).c_str(), u"v");
  tavAddText(d.root(), std::u16string(100000, u'&').c_str());
  for (int i = 0; i < 3000; ++i) tavAddElem(d.root(), u"e");
  RecordingStream stream;
  qelWriteNode(d.doc, stream, QEL_WRITE_MARGINS, "UTF-8", nullptr);
  std::string all;
  for (size_t i = 0; i < stream.calls.size(); ++i) {
    const size_t size = stream.calls[i].size();
    if (i + 1 < stream.calls.size()) {
      EXPECT_GE(size, 4096u) << "call " << i;
    }
    EXPECT_LE(size, 4096u + 16) << "call " << i;
    all += stream.calls[i];
  }
  EXPECT_GT(stream.calls.size(), 120u);
  EXPECT_EQ(all, write(d.doc, QEL_WRITE_MARGINS, "UTF-8"));
}

// --- round trip ------------------------------------------------------------------------------

namespace {

// Random trees built with the editing calls.
class TreeGen {
 public:
  TreeGen(unsigned seed, bool lineBreaks) : m_rng(seed), m_lineBreaks(lineBreaks) {}

  void fill(DOMElement* element, int depth) {
    int attrs = pick(3);
    for (int i = 0; i < attrs; ++i) element->setAttribute(name().c_str(), text(true).c_str());
    int children = depth > 4 ? 0 : pick(5);
    for (int i = 0; i < children; ++i) {
      switch (pick(8)) {
        case 0:
        case 1:
          fill(tavAddElem(element, name().c_str()), depth + 1);
          break;
        case 2:
        case 3:
          tavAddText(element, text(false).c_str());
          break;
        case 4:
          tavAddCDATA(element, cdata().c_str());
          break;
        case 5:
          tavAddComment(element, plain().c_str());
          break;
        case 6:
          tavAddPi(element, u"pi", (u"d" + plain()).c_str());
          break;
        case 7:
          tavAddEntRef(element, u"ent");
          break;  // no children: writes nothing
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }
  std::u16string name() {
    static const char16_t* const names[] = {u"a", u"b-c", u"d.e", u"\u00E9l", u"_x1", u"f\u00FC"};
    return names[pick(6)] + std::u16string(1, static_cast<char16_t>(u'a' + pick(26)));
  }
  // Characters every test encoding holds: for comments and processing instructions.
  std::u16string plain() {
    static const char16_t pieces[] = u"ab <>&\"'\u00E9\u00FC";
    std::u16string s;
    for (int n = pick(8); n > 0; --n) s.push_back(pieces[pick(sizeof pieces / 2 - 1)]);
    return s;
  }
  std::u16string text(bool attribute) {
    static const char16_t* const pieces[] = {u"a",          u"Zz",    u" ",   u"&",      u"<",      u">",
                                             u"\"",         u"'",     u"]]>", u"\u00E9", u"\u20AC", u"\u4E2D",
                                             u"\U0001F600", u"&amp;", u"\n",  u"\r",     u"\t",     u"\r\n"};
    // Attribute values normalize white space unless it is written as a reference; text keeps TAB and LF.
    int count = m_lineBreaks ? 18 : 14;
    std::u16string s;
    for (int n = pick(10); n > 0; --n) {
      std::u16string piece = pieces[pick(count)];
      if (attribute && piece == u"\t") continue;
      if (!m_lineBreaks && !attribute && piece == u"\r") continue;
      s += piece;
    }
    return s;
  }
  // A raw CR in a section reads back as LF whatever the options.
  std::u16string cdata() {
    std::u16string s = text(false) + u"]]>" + text(false) + u"<![CDATA[";
    s.erase(std::remove(s.begin(), s.end(), u'\r'), s.end());
    return s;
  }
  std::mt19937 m_rng;
  bool m_lineBreaks;
};

}  // namespace

// Traced and untraced runs take different paths to the same pieces.
TEST(RoundTrip, TracedAndUntracedRunsWriteTheSameBytes) {
  for (unsigned long options : {0ul, QEL_WRITE_MARGINS, QEL_WRITE_SPACED_MARGINS | QEL_WRITE_CHAR_REFS,
                                QEL_WRITE_CANONICAL | QEL_WRITE_MARGINS}) {
    for (const char* encoding : {"UTF-8", "UTF-16BE", "ISO-8859-1", "IBM037"}) {
      for (unsigned seed = 1; seed <= 8; ++seed) {
        Doc d(u"root");
        TreeGen(seed, true).fill(d.root(), 0);
        const std::string plain = write(d.doc, options | QEL_WRITE_XML_DECL, encoding);
        TraceCapture trace("QelCnvWriter::write=0x40");
        ASSERT_EQ(write(d.doc, options | QEL_WRITE_XML_DECL, encoding), plain)
            << encoding << " options " << options << " seed " << seed;
      }
    }
  }
}

TEST(RoundTrip, RandomTreesParseBackToTheSameContent) {
  struct Mode {
    unsigned long options;
    bool lineBreaks;
  };
  for (Mode mode : {Mode{0, false}, Mode{QEL_WRITE_CHAR_REFS, true}, Mode{QEL_WRITE_XML_DECL, false},
                    Mode{QEL_WRITE_XML_DECL | QEL_WRITE_CHAR_REFS, true}}) {
    for (const char* encoding : {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037"}) {
      for (unsigned seed = 1; seed <= 25; ++seed) {
        Doc d(u"root");
        TreeGen(seed, mode.lineBreaks).fill(d.root(), 0);
        tavAddComment(d.doc, u"after");
        std::string bytes = write(d.doc, mode.options, encoding);
        std::string where =
            std::string(encoding) + " options " + std::to_string(mode.options) + " seed " + std::to_string(seed);
        std::unique_ptr<Parsed> back;
        try {
          // Without a declaration the parser must be told the encoding (EBCDIC, Latin-1).
          if (!(mode.options & QEL_WRITE_XML_DECL) && std::string(encoding) != "UTF-8" &&
              std::string(encoding) != "UTF-16LE")
            bytes = write(d.doc, mode.options | QEL_WRITE_XML_DECL, encoding);
          back = parseBare(bytes);
        } catch (const SAXParseException& e) {
          FAIL() << where << ": " << qelGetErrorMsg(e);
        }
        ASSERT_NE(back->doc, nullptr) << where;
        SCOPED_TRACE(where);
        std::string why;
        ASSERT_TRUE(sameContent(d.doc, back->doc, true, why)) << why;
      }
    }
  }
}
