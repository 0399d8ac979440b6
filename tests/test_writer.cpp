// Serialization: the converting writer, the layouts of the DOM writer byte
// by byte, CDATA, what XML can hold, encodings against ICU and the trace of
// a run. (The conformance suite writes every valid document and reads it
// back.)
#include <fcntl.h>

#include <numeric>
#include <xercesc/dom/impl/DOMDocumentTypeImpl.hpp>

#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

// A stream that records every call and can be told to fail on the n-th.
struct RecordingStream : QelOutputStream {
  explicit RecordingStream(int fail = -1) : failAt(fail) {}
  void write(const char* bytes, long count) override {
    if (int(calls.size()) == failAt) throw(failAt = -1, std::runtime_error("stream failed"));
    calls.emplace_back(bytes, size_t(count));
  }
  std::string all() const { return std::accumulate(calls.begin(), calls.end(), std::string()); }
  Lines calls;
  int failAt;
};

// A document parsed by Xerces-C alone, with its internal subset and without
// namespaces; the tests build on it with the editing calls.
struct Parsed {
  explicit Parsed(const std::string& xml) : m_doc(xercesDom(xml)) {}
  DOMDocument* doc() { return m_doc.get(); }
  DOMElement* root() { return m_doc->getDocumentElement(); }
  DocPtr m_doc;
};

// The message of the error that writing `node` raises, up to the node as
// messages show it.
std::string refusal(const DOMNode* node, const char* encoding = "UTF-8") {
  const std::string message = errorOf([&] { write(node, 0, encoding); }).getMessage();
  return message.substr(0, message.find(": ") + 2);
}

// --- converting writer ------------------------------------------------------------------------

TEST(CnvWriter, ResolvesEncodingNamesAndRefusesUnknownOnes) {
  RecordingStream stream;
  for (const char* name : {static_cast<const char*>(nullptr), "", "NATIVE", "native"})
    EXPECT_EQ(QelCnvWriter(stream, name, true).getConverter().getCodePageId(), 57352) << (name ? name : "null");
  Parsed p("<r/>");
  EXPECT_EQ(qelWriteNode(p.doc(), stream, 0, "utf-16le", nullptr), u"utf-16le");  // the name asked for
  const QelError e = errorOf([&] { qelWriteNode(p.doc(), stream, QEL_WRITE_XML_DECL, "no-such-code-page", nullptr); });
  expectLibraryError(e, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", "QelCnvWriter::QelCnvWriter", "qeldom/qelidwrt");
  EXPECT_EQ(e.getMessage() + std::to_string(e.getLine()) + stream.all(),
            QelNls::getErrorMsg(30) + " (no-such-code-page)127\xFF\xFE" + utf16Bytes(u"<r/>", false));
}

// Text waits in a buffer: the write that brings it to 4096 units writes it
// all, a longer one goes out whole, the destructor writes the rest. A UTF-16
// writer asked for a mark writes it first, once, and not without text.
// Untraced, the DOM writer commits between nodes, attributes and references:
// each stream call but the last holds 4096 units or a few more, also for a
// long start tag and a text full of references.
TEST(CnvWriter, WritesPer4096UnitsAndTheMarkOnce) {
  RecordingStream stream;
  {
    QelCnvWriter w(stream, "UTF-16LE", true);
    w.write(u"ab\0c", 0);
    w.write(u"xyz", 2);
    w.write(std::u16string(4091, u'.'));
    EXPECT_TRUE(stream.calls.empty());
    w.write(u'!');
    EXPECT_EQ(stream.all(), "\xFF\xFE" + utf16Bytes(u"abxy" + std::u16string(4091, u'.') + u"!", false));
    w.write(std::u16string(5000, u'c'));
    EXPECT_EQ(stream.calls.back(), utf16Bytes(std::u16string(5000, u'c'), false));
    w.write(u"z", 1);
  }
  EXPECT_EQ(stream.calls.back(), utf16Bytes(u"z", false));
  RecordingStream other;
  for (const auto& [encoding, mark, text] : {std::tuple("UTF-16BE", true, u"a"), std::tuple("UTF-16LE", false, u"a"),
                                             std::tuple("UTF-8", true, u"a"), std::tuple("UTF-16LE", true, u"")})
    QelCnvWriter(other, encoding, mark).write(text, 0);
  EXPECT_EQ(other.all(), "\xFE\xFF" + std::string("\0aa\0a", 5));
  Parsed p("<r/>");
  for (int i = 0; i < 2000; ++i) p.root()->setAttribute(qelToUnicode(("a" + std::to_string(i)).c_str()).c_str(), u"v");
  tavAddText(p.root(), std::u16string(100000, u'&').c_str());
  RecordingStream dom;
  qelWriteNode(p.doc(), dom, 0, "UTF-8", nullptr);
  const auto odd = std::find_if(dom.calls.begin(), dom.calls.end() - 1, [](auto& c) { return c.size() - 4096 > 16; });
  EXPECT_TRUE(odd == dom.calls.end() - 1 && dom.calls.back().size() <= 4096 + 16 && dom.all() == write(p.doc(), 0))
      << "call " << odd - dom.calls.begin();
}

// A high surrogate at a commit waits for its low surrogate, also when the
// commit fails and in UTF-16, whose bytes may be the buffer itself; a lone
// one at the end still comes out. A failed commit is not repeated.
TEST(CnvWriter, NeverSplitsASurrogatePairAndReportsAStreamFailureOnce) {
  for (const char* encoding : {"UTF-8", "UTF-16LE", "UTF-16BE"}) {
    for (int failAt : {-1, 0}) {
      RecordingStream stream(failAt);
      {
        QelCnvWriter w(stream, encoding, false);
        try {
          w.write(std::u16string(4095, u'a') + u"\xD83D");
        } catch (const std::runtime_error&) {
        }
        w.write(u"\xDE00", 1);
        w.commit();
        w.write(u"z\xD83D", 2);
      }
      const std::u16string written = (failAt ? std::u16string(4095, u'a') : u"") + u"\U0001F600z\xD83D";
      EXPECT_EQ(stream.all(), icuConvert<std::string>(encoding, written, ucnv_fromUChars)) << encoding;
    }
  }
  RecordingStream failing(0);
  EXPECT_THROW(QelCnvWriter(failing, nullptr, true).write(u"x", 0), std::runtime_error);  // from the destructor
}

TEST(OutputStreams, FileStreamsReportAFullDevice) {
  std::FILE* full = std::fopen("/dev/full", "w");
  std::setvbuf(full, nullptr, _IONBF, 0);
  const int fd = ::open("/dev/full", O_WRONLY);
  QelFileOutputStream fileStream(full), fdStream(fd);
  EXPECT_THROW(fileStream.write("<r/>", 4), std::system_error);
  EXPECT_THROW(fdStream.write("<r/>", 4), std::system_error);
  std::fclose(full), ::close(fd);
}

// --- layouts ----------------------------------------------------------------------------------

// One tree in every layout: margins indent by depth and put text among
// other children on lines of their own; spaced margins add a blank line
// before each element at level 2 and before the top end tag; canonical form
// has its own escaping, no empty tags, no comments, CDATA as text and no
// line ends; character references replace CR, LF and every character above
// U+007F in text, values and CDATA (closed around them), not in comments or
// processing instructions. Unknown option bits do nothing.
TEST(Writer, LayoutsAreByteExact) {
  Parsed p(
      "<a v='q\"&#10;&#13;&#9;&lt;&amp;>&apos;'><b>x&lt;&amp;>\"'&#13;\n\t\xC3\xA9\xF0\x9F\x98\x80</b>"
      "<c/><d>t<e/></d></a>");
  DOMNode* e = p.root()->getLastChild();
  tavAddComment(e->getLastChild(), u"k--\u00E9");
  tavAddCDATA(e, u"]]><![CDATA[\u00E9");
  tavAddPi(e, u"pi", u"\u00E9");
  const std::string v = "<a v=\"q&quot;\n\r\t&lt;&amp;&gt;'\">",
                    b = "<b>x&lt;&amp;&gt;\"'\r\n\t\xC3\xA9\xF0\x9F\x98\x80</b>",
                    cv = "<a v=\"q&quot;&#10;&#13;&#9;&lt;&amp;&gt;'\">", k = "<!--k- \xC3\xA9-->",
                    cb = "<b>x&lt;&amp;&gt;&quot;'&#13;&#10;&#9;\xC3\xA9\xF0\x9F\x98\x80</b>", pi = "<?pi \xC3\xA9?>",
                    cdata = "<![CDATA[]]>]]&gt;<![CDATA[]]>&lt;![CDATA[<![CDATA[\xC3\xA9]]>";
  const std::pair<unsigned long, std::string> layouts[] = {
      {0x20 | 0x200 | 0x10000, v + b + "<c/><d>t<e>" + k + "</e>" + cdata + pi + "</d></a>"},
      {QEL_WRITE_MARGINS, v + "\n  " + b + "\n  <c/>\n  <d>\n    t\n    <e>\n      " + k + "\n    </e>\n    " + cdata +
                              "\n    " + pi + "\n  </d>\n</a>\n"},
      {QEL_WRITE_SPACED_MARGINS, v + "\n\n  " + b + "\n\n  <c/>\n\n  <d>\n    t\n    <e>\n      " + k +
                                     "\n    </e>\n    " + cdata + "\n    " + pi + "\n  </d>\n\n</a>\n"},
      {QEL_WRITE_CANONICAL, cv + cb + "<c></c><d>t<e></e>]]&gt;&lt;![CDATA[\xC3\xA9" + pi + "</d></a>"},
      {QEL_WRITE_CANONICAL | QEL_WRITE_MARGINS,
       cv + "  " + cb + "  <c></c>  <d>    t    <e>    </e>    ]]&gt;&lt;![CDATA[\xC3\xA9    " + pi + "  </d></a>"},
      {QEL_WRITE_CHAR_REFS,
       "<a v=\"q&quot;&#10;&#13;\t&lt;&amp;&gt;'\"><b>x&lt;&amp;&gt;\"'&#13;&#10;\t&#xE9;&#x1F600;</b><c/><d>t<e>" + k +
           "</e><![CDATA[]]>]]&gt;<![CDATA[]]>&lt;![CDATA[<![CDATA[]]>&#xE9;<![CDATA[]]>" + pi + "</d></a>"}};
  for (const auto& [options, expected] : layouts) {
    EXPECT_EQ(write(p.root(), options), expected) << options;
    TraceCapture traced("QelCnvWriter::write=0x40");  // a traced run takes other paths to the same pieces
    EXPECT_EQ(write(p.root(), options), expected) << options << " traced";
  }
}

// Documents begin with the declaration and hold their type, or the one
// given, in its place; content only leaves both out, except a type in place
// of the document's own; an element given a type comes after it.
TEST(Writer, DocumentsAndTheirTypes) {
  Parsed p("<root x='1'/><?pi?>"), own("<!DOCTYPE root SYSTEM 'own'><root/>");
  DOMDocumentType* type = p.doc()->createDocumentType(u"root", u"p", u"s");
  const unsigned long doctype = QEL_WRITE_DOCTYPE, only = QEL_WRITE_CONTENT_ONLY;
  const std::tuple<const DOMNode*, unsigned long, const DOMDocumentType*, std::string> cases[] = {
      {p.doc(), QEL_WRITE_XML_DECL | doctype | QEL_WRITE_MARGINS, type,
       "<?xml version=\"1.0\" ?>\n<!DOCTYPE root PUBLIC \"p\" \"s\">\n<root x=\"1\"/>\n<?pi ?>\n"},
      {p.doc(), QEL_WRITE_XML_DECL | doctype | only, type, "<root x=\"1\"/><?pi ?>"},
      {p.root(), doctype, type, "<!DOCTYPE root PUBLIC \"p\" \"s\"><root x=\"1\"/>"},
      {own.doc(), doctype | QEL_WRITE_MARGINS, nullptr, "<!DOCTYPE root SYSTEM \"own\">\n<root/>\n"},
      {own.doc(), doctype | only, type, "<!DOCTYPE root PUBLIC \"p\" \"s\"><root/>"}};
  for (const auto& [node, options, docType, expected] : cases)
    EXPECT_EQ(write(node, options, nullptr, docType), expected) << expected;
  EXPECT_THROW(write(nullptr, 0), QelError);
  EXPECT_EQ(qelMakeDocTypeDecl(p.doc()->createDocumentType(u"root", u"p", nullptr)) + qelMakeDocTypeDecl(nullptr) +
                qelMakeDocTypeDecl(p.doc()->createDocumentType(u"root", u"", u"")),
            u"<!DOCTYPE root PUBLIC \"p\"><!DOCTYPE root>");
}

// Opens the setter of the internal subset text that Xerces-C's parser uses
// when it rebuilds the subset.
struct SubsetSetter : DOMDocumentTypeImpl {
  using DOMDocumentTypeImpl::setInternalSubset;
};

// Xerces-C rebuilds the internal subset in a form that does not parse back
// to the same declarations; the writer writes each declaration legally so
// that it reads back to the same subset, and again to the same bytes. A
// subset that does not read, or lacks an entity the type holds, is refused.
// An entity reference is written as its children, an entity alone as its
// declaration.
TEST(Writer, InternalSubsetParsesBackToTheSameDeclarations) {
  Parsed original(
      "<!DOCTYPE r SYSTEM 'r\"' [\n<!--c-->\n<?pi data?>\n<!ELEMENT r (#PCDATA|i)*>\n"
      "<!ATTLIST r a CDATA '\"&#10;\"'\n  n NOTATION (n1) #IMPLIED>\n<!NOTATION n1 PUBLIC 'p' 's\"'>\n"
      "<!ENTITY % pe '<!ENTITY x \"&#38;#60;&#38;#37;\">'> %pe;\n<!ENTITY e '&#34;&#37;&#38;amp;\xC3\xA9'>\n"
      "<!ENTITY u PUBLIC \"p\" \"s\" NDATA n1>\n]><r>&e;</r>");
  const unsigned long options = QEL_WRITE_DOCTYPE | QEL_WRITE_MARGINS | QEL_WRITE_SPECIFIED_ONLY;
  const std::string written = write(original.doc(), options);
  EXPECT_EQ(written,
            "<!DOCTYPE r SYSTEM 'r\"' [\n<!--c-->\n<?pi data?>\n<!ELEMENT r (#PCDATA|i)*>\n<!ATTLIST r a CDATA "
            "\"&quot;&#10;&quot;\"\n  n NOTATION (n1) #IMPLIED>\n<!NOTATION n1 PUBLIC \"p\" 's\"'>\n<!ENTITY % pe "
            "\"<!ENTITY x &#34;&#38;#60;&#38;#37;&#34;>\">  <!ENTITY % x \"<&#37;\"> \n<!ENTITY % e \"&#34;&#37;"
            "&#38;amp;\xC3\xA9\">\n<!ENTITY u PUBLIC \"p\" \"s\" NDATA n1>\n]>\n<r>\n\"%&amp;\xC3\xA9</r>\n");
  Parsed back(written);
  EXPECT_EQ(u8(back.doc()->getDoctype()->getInternalSubset()), u8(original.doc()->getDoctype()->getInternalSubset()));
  EXPECT_EQ(write(back.doc(), options), written);
  DOMNamedNodeMap* entities = original.doc()->getDoctype()->getEntities();
  EXPECT_EQ(write(entities->getNamedItem(u"u"), 0) + write(entities->getNamedItem(u"e"), QEL_WRITE_MARGINS),
            "<!ENTITY u PUBLIC \"p\" \"s\" NDATA n1><!ENTITY e \"&#34;&#37;&#38;amp;\xC3\xA9\">\n");
  for (const XMLCh* unreadable : {u"<!ENTITY e \"x\"> junk", u"<!ENTITY f \"x\">", u"<!ENTITY e \"x\"", u"<!--x-->"}) {
    (static_cast<DOMDocumentTypeImpl*>(original.doc()->getDoctype())->*&SubsetSetter::setInternalSubset)(unreadable);
    EXPECT_THROW(write(original.doc(), QEL_WRITE_DOCTYPE), QelError) << u8(unreadable);
  }
}

// A character that can never be XML is refused wherever it stands, in every
// code page, naming the node and the character's position; so is markup
// the code page cannot hold (a CDATA section is closed around it instead),
// and a processing instruction that would read as another.
TEST(Writer, WhatXmlCannotHoldIsRefusedNamingTheNodeAndThePlace) {
  const char* const kinds[] = {"text", "attribute value", "CDATA section", "comment", "processing instruction"};
  const std::pair<const XMLCh*, const char*> cases[] = {{u"ab\xD800", "U+D800 at position 2"},
                                                        {u"\U0001F600\uFFFF", "U+FFFF at position 2"},
                                                        {u"\x1F", "U+001F at position 0"}};
  for (const char* page : {"UTF-8", "IBM037"}) {
    for (const auto& [text, where] : cases) {
      Parsed p("<r/>");
      p.root()->setAttribute(u"a", text);
      const DOMNode* nodes[] = {p.doc()->createTextNode(text), p.root(), p.doc()->createCDATASection(text),
                                p.doc()->createComment(text), p.doc()->createProcessingInstruction(u"pi", text)};
      for (int kind = 0; kind < 5; ++kind)
        EXPECT_EQ(refusal(nodes[kind], page),
                  std::string("The ") + kinds[kind] + " holds " + where + ", which is not a character of XML 1.0: ");
    }
  }
  Parsed p("<r/>");
  EXPECT_EQ(refusal(tavAddComment(p.root(), u"a\u20AC"), "ISO-8859-1"),
            "The comment holds U+20AC at position 1, which the encoding ISO-8859-1 cannot hold: ");
  tavAddCDATA(p.root(), u"\u00E9\u4E2D\u00E9"), tavAddCDATA(p.root(), u"");  // an empty one stays
  EXPECT_EQ(write(p.root(), 0, "windows-1252"),
            "<r><!--a\x80--><![CDATA[\xE9]]>&#x4E2D;<![CDATA[\xE9]]><![CDATA[]]></r>");
  EXPECT_THROW(write(tavAddPi(p.root(), u"pi", u"a?>b"), 0), QelError);
  EXPECT_THROW(write(p.doc()->createProcessingInstruction(u"XmL", u"x"), 0), QelError);
}

// An XML 1.1 document declares its version (always: without the
// declaration it would read as XML 1.0) and writes the characters XML 1.1
// allows only as references as references, in every mode; where XML has no
// references they are refused.
TEST(Writer, Xml11DocumentsWriteTheirControlsAsReferences) {
  Parsed p("<?xml version='1.1'?><r a='&#x1;&#x85;'>&#x1;&#x7F;&#x80;&#x85;&#x2028;\xC3\xA9\t</r>");
  p.root()->appendChild(p.doc()->createCDATASection(u"x\x01\u0085y"));
  const std::string text = "<?xml version=\"1.1\" ?><r a=\"&#x1;&#x85;\">&#x1;&#x7F;&#x80;&#x85;&#x2028;";
  const std::pair<unsigned long, std::string> modes[] = {
      {0, text + "\xC3\xA9\t<![CDATA[x]]>&#x1;&#x85;<![CDATA[y]]></r>"},
      {QEL_WRITE_CHAR_REFS, text + "&#xE9;\t<![CDATA[x]]>&#x1;&#x85;<![CDATA[y]]></r>"},
      {QEL_WRITE_CANONICAL, text + "\xC3\xA9&#9;x&#x1;&#x85;y</r>"}};
  for (const auto& [options, expected] : modes) EXPECT_EQ(write(p.doc(), options), expected) << options;
  EXPECT_EQ(write(p.root(), 0).substr(0, 6) + write(p.doc(), QEL_WRITE_XML_DECL, "ISO-8859-1").substr(0, 44),
            "<r a=\"<?xml version=\"1.1\" encoding=\"ISO-8859-1\" ?>");
  EXPECT_EQ(refusal(p.root()->appendChild(p.doc()->createComment(u"a\u0085"))),
            "The comment holds U+0085 at position 1, which XML 1.1 allows only as a character reference: ");
}

// The same document in each page is ICU's conversion of its text, with the
// mark of UTF-16 and references for what the page lacks; the declaration
// names the page, UTF-16 as "UTF-16".
TEST(Writer, EncodingsAreIcusConversionOfTheText) {
  Parsed p("<a x='\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'>\xC3\xA9&lt;\xE6\x97\xA5</a>");
  for (const char* page : {"UTF-8", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "windows-1252", "IBM037", "Shift_JIS"}) {
    const std::u16string name = qelToUnicode(page), mark = name.substr(0, 6) == u"UTF-16" ? u"\uFEFF" : u"";
    const std::u16string text = mark + u"<?xml version=\"1.0\"" +
                                (name == u"UTF-8" ? u"" : u" encoding=\"" + (mark.empty() ? name : u"UTF-16") + u"\"") +
                                u" ?><a x=\"\u00E9\u20AC\U0001F600\">\u00E9&lt;\u65E5</a>";
    EXPECT_EQ(write(p.doc(), QEL_WRITE_XML_DECL, page), icuConvert<std::string>(page, text, ucnv_fromUChars)) << page;
  }
  // With references for all above ASCII, UTF-8 is ICU's US-ASCII; the run is
  // long enough for the scan to meet the end of a memory page.
  const DOMText* run = tavAddText(p.root(), (std::u16string(3000, u'\u0080') + u"\u0100\U0001F600").c_str());
  EXPECT_EQ(write(run, QEL_WRITE_CHAR_REFS),
            icuConvert<std::string>("US-ASCII", std::u16string(run->getData()), ucnv_fromUChars));
}

// Traced, every piece is a write of its own with its trace lines (a single
// unit as its number, then as the text it passes on), and the commit shows
// the bytes.
TEST(Writer, TracedRunWritesPieceByPiece) {
  Parsed p("<a><b x='1&amp;'>t</b><c/></a>");
  const std::string plain = write(p.doc(), QEL_WRITE_MARGINS, "UTF-8");
  TraceCapture trace("QelCnvWriter::write=0x40,QelCnvWriter::commit=0x40");
  write(p.doc(), QEL_WRITE_MARGINS, "UTF-8");
  std::string pieces;
  for (const std::string& l : trace.of("QelCnvWriter::write")) pieces += l.rfind("Args - ", 0) ? "" : l.substr(7);
  EXPECT_EQ(pieces,
            "(60)(<)(a)(62)(>)(10)(\n)(  )(60)(<)(b)(32)( )(x)(=\")(1)(&amp;)(34)(\")(62)(>)(t)(</)(b)(62)(>)(10)(\n)"
            "(  )(60)(<)(c)(/>)(10)(\n)(</)(a)(62)(>)(10)(\n)");
  EXPECT_TRUE(trace.has("QELDOM QelCnvWriter::commit: Flow - target.buffer()(" + plain + ") "));
}
