// The library frame: platform start and end, the trace pattern, DOM editing,
// text extraction, removal, diagnostics, the DOM string view and the
// library's exported symbols.
#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "qeldstr.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

// --- Xerces-C's start and end, watched ----------------------------------------------------
// These take the place of Xerces-C's own for every caller in the process (the
// program exports them, see frame.cmake). The start counts its calls, keeps
// the panic handler it was given and waits, so that racing callers meet at
// the lock; the end can be made to fail after it has done its work.
namespace {
std::atomic<int> s_initializeCalls{0};
PanicHandler* s_panicHandlerSeen = nullptr;
bool s_terminateThrows = false;
MemoryManagerImpl s_exceptionMemory;  // outlives Xerces-C's own memory manager
}  // namespace

void XERCES_CPP_NAMESPACE::XMLPlatformUtils::Initialize(const char* const locale, const char* const nlsHome,
                                                        PanicHandler* const panicHandler,
                                                        MemoryManager* const memoryManager) {
  using Fn = void (*)(const char*, const char*, PanicHandler*, MemoryManager*);
  static Fn real = reinterpret_cast<Fn>(
      dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils10InitializeEPKcS2_PNS_12PanicHandlerEPNS_13MemoryManagerE"));
  ++s_initializeCalls;
  s_panicHandlerSeen = panicHandler;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  real(locale, nlsHome, panicHandler, memoryManager);
}

void XERCES_CPP_NAMESPACE::XMLPlatformUtils::Terminate() {
  using Fn = void (*)();
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils9TerminateEv"));
  if (!s_terminateThrows) return real();
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &s_exceptionMemory);
  real();
  throw failure;
}

namespace {

class Traced : public ::testing::Test {
 protected:
  TraceCapture trace;
};

const std::string kRootArgs = "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))";
const Lines kInitLines = {"Entry", "Args - ", "Flow - XERCES has been initialized successfully.", "Exit"};

std::string text(const DOMNode* node) {
  std::ostringstream os;
  os << node;
  return os.str();
}

std::u16string children(const DOMNode* node) {
  std::u16string out;
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling())
    out += c->getNodeName() + std::u16string(u";");
  return out;
}

// Parses with Xerces-C itself, entity references kept as nodes.
DocPtr parseKeepingReferences(const char* xml) {
  tavDomInit();
  XercesDOMParser parser;
  parser.setCreateEntityReferenceNodes(true);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml), std::strlen(xml), "test");
  parser.parse(source);
  EXPECT_EQ(parser.getErrorCount(), 0u) << xml;
  return DocPtr(parser.adoptDocument());
}

// --- platform start ---------------------------------------------------------------------------

TEST_F(Traced, DomInitRacingThreadsStartXercesOnce) {
  qelDomCleanup();  // whatever ran before, the next tavDomInit is a first start
  const int before = s_initializeCalls.load();
  moxSetTrace("tavDomInit=0x40");
  race(2, [](int) { tavDomInit(); });
  tavDomInit();
  EXPECT_EQ(s_initializeCalls.load(), before + 1);
  EXPECT_NE(s_panicHandlerSeen, nullptr) << "the library's own panic handler is installed";
  EXPECT_EQ(trace.of("tavDomInit"), kInitLines);
  DocPtr doc(tavCreateDoc(u"r"));  // Xerces-C works after both threads returned
  EXPECT_EQ(std::u16string(doc->getDocumentElement()->getNodeName()), u"r");
}

// --- the trace pattern ---------------------------------------------------------------------

TEST_F(Traced, LinesAppearOnlyAtTheirBits) {
  DocPtr doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  moxSetTrace("QELDOM=0x40");
  tavGetDoc(nullptr);
  EXPECT_EQ(trace.of("tavGetDoc"), (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit"}));
  trace.clear();
  tavAddElem(root, u"e");
  EXPECT_EQ(trace.of("tavAddElem"), (Lines{"Entry", kRootArgs + "(e)", "Exit"}));
  EXPECT_EQ(trace.of("tavGetDoc"), (Lines{"Entry", kRootArgs, "Flow - The passed node has owner Document", "Exit"}));
  trace.clear();
  tavGetDoc(doc.get());
  EXPECT_EQ(trace.of("tavGetDoc")[2], "Flow - The passed node is Document itself");

  // Error lines need 0x80, the others 0x40; nothing at all at level 0.
  for (const char* level : {"QELDOM=0x80", "QELDOM=0x10", ""}) {
    moxSetTrace(level);
    trace.clear();
    tavAddElem(root, u"f");
    tavGetDoc(nullptr);
    tavRemoveNode(root->getFirstChild());
    if (!*level) {
      EXPECT_EQ(errorOf([] { tavAddElem(nullptr, u"x"); }).getRc(), QELRC_DOM_API_ERROR);
    }
    EXPECT_TRUE(trace.lines().empty()) << level;
  }
}

TEST_F(Traced, RemovalReportsParentlessNodesInItsExitEvent) {
  DocPtr doc(tavCreateDoc(u"r"));
  DOMElement* e = tavAddElem(doc->getDocumentElement(), u"e");
  moxSetTrace("tavRemoveNode=0x40");
  EXPECT_TRUE(tavRemoveNode(nullptr));
  EXPECT_TRUE(tavRemoveNode(e));
  EXPECT_EQ(e->getParentNode(), nullptr);
  EXPECT_FALSE(doc->getDocumentElement()->hasChildNodes());
  EXPECT_FALSE(tavRemoveNode(e));
  moxSetTrace("");
  EXPECT_FALSE(tavRemoveNode(doc.get()));  // a document has no parent either: it keeps its root
  EXPECT_NE(doc->getDocumentElement(), nullptr);
  const std::string args = "Args - (Node( type(Element) name(e) value() numOfChilds(0) ))";
  EXPECT_EQ(trace.of("tavRemoveNode"),
            (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit (1)",  //
                   "Entry", args, "Flow - Parent removes passed node", "Exit (1)",                  //
                   "Entry", args, "Flow - The passed node has no parent", "Exit (0)"}));
}

TEST_F(Traced, AnExceptionLeavesWithoutExitEvent) {
  DocPtr doc(tavCreateDoc(u"r"));
  moxSetTrace("QELDOM=0xC0");
  EXPECT_EQ(domCode([&] { tavAddElem(doc->getDocumentElement(), u"1bad"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(trace.of("tavAddElem"), (Lines{"Entry", kRootArgs + "(1bad)"}));

  // A null parent: tavGetDoc says so, the adding function raises its error.
  trace.clear();
  QelError e = errorOf([] { tavAddPi(nullptr, u"t", u"d"); });
  expectLibraryError(e, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", "tavAddPi", "qeldom/qeldom");
  EXPECT_EQ(e.getFlag(), 0u);
  EXPECT_EQ(trace.of("tavAddPi"),
            (Lines{"Entry", "Args - (Node( NULL ))(t)(d)", std::string("!!! Error - ") + e.what()}));
  EXPECT_EQ(trace.of("tavGetDoc"), (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit"}));
}

// --- null nodes: a clear exception, never a crash ---------------------------------------------

TEST(NullNode, EveryFunctionThatNeedsANodeRaises) {
  tavDomInit();  // an XMLBuffer needs the platform
  XMLBuffer buffer;
  QelUniString string;
  const std::function<void()> calls[] = {
      [] { tavAddElem(nullptr, u"e"); },   [] { tavAddText(nullptr, u"t"); },    [] { tavAddComment(nullptr, u"c"); },
      [] { tavAddCDATA(nullptr, u"c"); },  [] { tavAddEntRef(nullptr, u"e"); },  [] { tavAddPi(nullptr, u"t", u"d"); },
      [] { tavSetText(nullptr, u"t"); },   [&] { tavGetText(nullptr, buffer); }, [&] { tavGetText(nullptr, string); },
      [] { tavCleanNode(nullptr, true); }, [] { qelGetNodeTypeStr(nullptr); }};
  for (size_t i = 0; i < std::size(calls); ++i)
    EXPECT_EQ(errorOf(calls[i]).getRc(), QELRC_DOM_API_ERROR) << "call " << i;
  EXPECT_EQ(buffer.getLen(), 0u);
  EXPECT_TRUE(string.empty());
  EXPECT_EQ(tavGetDoc(nullptr), nullptr);
  EXPECT_TRUE(tavRemoveNode(nullptr));
  EXPECT_EQ(text(nullptr), "Node( NULL )");
}

// A document type made by the DOM implementation has no owner document to
// create nodes with until it is attached.
TEST(NullNode, NodeWithoutOwnerDocumentRaisesAndSaysSo) {
  tavDomInit();
  DOMDocumentType* type = DOMImplementation::getImplementation()->createDocumentType(u"t", nullptr, nullptr);
  EXPECT_STREQ(errorOf([&] { tavSetText(type, u"x"); }).getMessage(), "tavSetText: the node has no owner document");
  EXPECT_STREQ(errorOf([&] { tavAddElem(type, u"e"); }).getMessage(),
               "tavAddElem: the parent node has no owner document");
  EXPECT_EQ(errorOf([&] { tavAddPi(type, u"t", u"d"); }).getRc(), QELRC_DOM_API_ERROR);
  EXPECT_EQ(type->getFirstChild(), nullptr);
  type->release();
}

// --- editing -----------------------------------------------------------------------------------

TEST(Editing, DocumentsAndTheirOwner) {
  DocPtr empty(qelCreateDoc());
  EXPECT_EQ(empty->getFirstChild(), nullptr);
  EXPECT_EQ(empty->getDoctype(), nullptr);
  DocPtr doc(tavCreateDoc(u"caf\u00E9"));
  EXPECT_EQ(children(doc.get()), u"caf\u00E9;");
  EXPECT_FALSE(doc->getDocumentElement()->hasChildNodes());
  EXPECT_EQ(domCode([] { tavCreateDoc(u"1abc"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([] { tavCreateDoc(u""); }), DOMException::INVALID_CHARACTER_ERR);

  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"a", u"1");
  EXPECT_EQ(tavGetDoc(doc.get()), doc.get());
  EXPECT_EQ(tavGetDoc(root), doc.get());
  EXPECT_EQ(tavGetDoc(root->getAttributeNode(u"a")), doc.get());
  EXPECT_EQ(tavGetDoc(doc->createElement(u"loose")), doc.get());
}

TEST(Editing, AddingFamilyAppendsUnderTheParent) {
  DocPtr doc(qelCreateDoc());
  DOMElement* root = tavAddElem(doc.get(), u"r");
  EXPECT_EQ(doc->getDocumentElement(), root);
  EXPECT_EQ(domCode([&] { tavAddElem(doc.get(), u"second"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(domCode([&] { tavAddText(doc.get(), u"t"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(domCode([&] { tavAddCDATA(doc.get(), u"t"); }), DOMException::HIERARCHY_REQUEST_ERR);
  DOMComment* c = tavAddComment(doc.get(), u"top");
  DOMProcessingInstruction* pi = tavAddPi(doc.get(), u"target", u"data");
  EXPECT_EQ(children(doc.get()), u"r;#comment;target;");
  EXPECT_EQ(c->getParentNode(), doc.get());
  EXPECT_EQ(std::u16string(pi->getData()), u"data");

  DOMText* t = tavAddText(root, u"a<b&c");
  DOMCDATASection* cd = tavAddCDATA(root, u"]]x");
  DOMEntityReference* ref = tavAddEntRef(root, u"ent");
  DOMElement* e = tavAddElem(root, u"e");
  const std::u16string kids = u"#text;#cdata-section;ent;e;";
  EXPECT_EQ(children(root), kids);
  EXPECT_EQ(std::u16string(t->getData()), u"a<b&c") << "text is stored unchanged";
  EXPECT_EQ(std::u16string(cd->getData()), u"]]x");
  EXPECT_EQ(ref->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  EXPECT_EQ(e->getOwnerDocument(), doc.get());
  // Invalid names and parents that cannot hold the node leave the parent unchanged.
  EXPECT_EQ(domCode([&] { tavAddElem(root, u"a b"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([&] { tavAddEntRef(root, u"1x"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([&] { tavAddPi(root, u"", u"d"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([&] { tavAddElem(t, u"x"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(children(root), kids);
}

TEST(Editing, SetTextReplacesEveryChildAndKeepsAttributes) {
  DocPtr doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"a", u"1");
  DOMNode* gone[] = {tavAddElem(root, u"e"), tavAddText(root, u"old"), tavAddComment(root, u"c")};
  DOMText* t = tavSetText(root, u"new");
  EXPECT_EQ(children(root), u"#text;");
  EXPECT_EQ(root->getFirstChild(), t);
  EXPECT_EQ(std::u16string(t->getData()), u"new");
  EXPECT_EQ(std::u16string(root->getAttribute(u"a")), u"1");
  for (DOMNode* node : gone) EXPECT_EQ(node->getParentNode(), nullptr);
  tavSetText(root, u"");
  EXPECT_EQ(children(root), u"#text;");
  // The new text is appended first: a document refuses it and keeps its root.
  EXPECT_EQ(domCode([&] { tavSetText(doc.get(), u"x"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(doc->getDocumentElement(), root);
}

// --- text extraction ------------------------------------------------------------------------

TEST(GetText, WalksChildrenInDocumentOrderIntoBothHolders) {
  DocPtr doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  DOMText* x = tavAddText(root, u"x");  // x, <e>y</e>, <!--c-->, z, <![CDATA[w]]>
  DOMElement* e = tavAddElem(root, u"e");
  tavAddText(e, u"y");
  tavAddComment(root, u"c");
  tavAddText(root, u"z");
  tavAddCDATA(root, u"w");

  XMLBuffer buffer;
  buffer.append(u"P");
  const XMLCh* got = tavGetText(root, buffer);
  EXPECT_EQ(got, buffer.getRawBuffer());
  EXPECT_EQ(std::u16string(got), u"Pxyzw");
  EXPECT_EQ(std::u16string(tavGetText(root, buffer)), u"Pxyzwxyzw") << "the buffer is appended to, never cleared";
  QelUniString string(u"P");
  got = tavGetText(root, string);
  EXPECT_EQ(got, string.c_str());
  EXPECT_EQ(string.str(), u"Pxyzw");
  // Never the start node or its siblings; through an attribute, its text.
  EXPECT_EQ(std::u16string(tavGetText(e, string)), u"Pxyzwy");
  root->setAttribute(u"a", u"val");
  QelUniString fromAttribute;
  EXPECT_EQ(std::u16string(tavGetText(root->getAttributeNode(u"a"), fromAttribute)), u"val");

  // No children: null, the holder unchanged; an only child without text: the holder's content.
  EXPECT_EQ(tavGetText(x, buffer), nullptr);
  EXPECT_EQ(tavGetText(x, string), nullptr);
  EXPECT_EQ(string.str(), u"Pxyzwy");
  DOMElement* holder = tavAddElem(root, u"holder");
  tavAddElem(holder, u"empty");
  EXPECT_EQ(std::u16string(tavGetText(holder, buffer)), u"Pxyzwxyzw");
  EXPECT_EQ(std::u16string(tavGetText(holder, string)), u"Pxyzwy");
}

TEST(GetText, DescendsIntoEntityReferences) {
  DocPtr doc = parseKeepingReferences(
      "<!DOCTYPE r [<!ENTITY e 'in<b>ne</b>r'><!ENTITY n '<!--skip-->'>]>"
      "<r>a&e;<?pi skip?>&n;<s><t>b</t><![CDATA[c]]></s>&e;z</r>");
  DOMElement* root = doc->getDocumentElement();
  ASSERT_EQ(root->getChildNodes()->item(1)->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  XMLBuffer buffer;
  EXPECT_EQ(std::u16string(tavGetText(root, buffer)), u"ainnerbcinnerz");
  QelUniString string, fromRef;
  EXPECT_EQ(std::u16string(tavGetText(root, string)), u"ainnerbcinnerz");
  EXPECT_EQ(std::u16string(tavGetText(root->getChildNodes()->item(1), fromRef)), u"inner");
}

// --- removal and cleaning -------------------------------------------------------------------

TEST_F(Traced, CleanNodeChildrenAndOptionallyAttributes) {
  DocPtr doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  for (bool attributes : {false, true}) {
    root->setAttribute(u"a", u"1");
    root->setAttribute(u"b", u"2");
    tavAddElem(root, u"e");
    tavAddText(root, u"t");
    tavAddComment(root, u"c");
    tavAddCDATA(root, u"d");
    tavAddPi(root, u"p", u"q");
    tavCleanNode(root, attributes);
    EXPECT_FALSE(root->hasChildNodes());
    EXPECT_EQ(root->getAttributes()->getLength(), attributes ? 0u : 2u);
  }
  // Nothing to do: only the entry lines and the exit event.
  moxSetTrace("tavCleanNode=0x40");
  tavCleanNode(root, false);
  EXPECT_EQ(trace.of("tavCleanNode"), (Lines{"Entry", kRootArgs, "Exit"}));
  trace.clear();
  root->setAttribute(u"a", u"1");
  tavAddText(root, u"t");
  tavCleanNode(root, true);
  EXPECT_EQ(trace.of("tavCleanNode"),
            (Lines{"Entry", "Args - (Node( type(Element) name(r) value() numOfChilds(1) Attr0( (a) (1) ) ))",
                   "Flow - Passed node(element) removes all attributes", "Flow - removes all child nodes", "Exit"}));
}

TEST(Removal, CleanDocumentAndReadOnlyEntityContent) {
  DocPtr doc =
      parseKeepingReferences("<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><?p d?><!--c--><r/><!--d-->");
  EXPECT_EQ(doc->getChildNodes()->getLength(), 5u);
  tavCleanNode(doc.get(), true);  // the flag does not matter for a document
  EXPECT_FALSE(doc->hasChildNodes());
  EXPECT_EQ(doc->getDoctype(), nullptr);

  doc = parseKeepingReferences("<!DOCTYPE r [<!ENTITY e '<b>x</b>'>]><r>&e;</r>");
  DOMNode* ref = doc->getDocumentElement()->getFirstChild();
  ASSERT_EQ(ref->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  EXPECT_EQ(domCode([&] { tavCleanNode(ref, false); }), DOMException::NO_MODIFICATION_ALLOWED_ERR);
  EXPECT_EQ(domCode([&] { tavCleanNode(ref->getFirstChild(), true); }), DOMException::NO_MODIFICATION_ALLOWED_ERR);
  EXPECT_TRUE(ref->hasChildNodes());
}

// --- diagnostics ---------------------------------------------------------------------------

TEST(Diagnostics, NodeTextFormat) {
  DocPtr doc(tavCreateDoc(u"a"));
  DOMElement* a = doc->getDocumentElement();
  a->setAttribute(u"x", u"1");
  tavAddText(a, u"h\u00E9");
  tavAddElem(a, u"b");
  EXPECT_EQ(text(a), "Node( type(Element) name(a) value() numOfChilds(2) Attr0( (x) (1) ) )");
  EXPECT_EQ(text(a->getFirstChild()), "Node( type(Text) name(#text) value(h\xC3\xA9) numOfChilds(0) )");
  EXPECT_EQ(text(doc.get()), "Node( type(Document) name(#document) value() numOfChilds(1) )");  // no line end
  EXPECT_EQ(text(a->getAttributeNode(u"x")), "Node( type(Attribute) name(x) value(1) numOfChilds(1) )");
  a->setAttribute(u"y", u"");
  std::string two = text(a);
  EXPECT_NE(two.find(" Attr0( ("), std::string::npos) << two;
  EXPECT_NE(two.find(" Attr1( ("), std::string::npos) << two;
  EXPECT_NE(two.find("(y) () )"), std::string::npos) << two;
  EXPECT_EQ(two.substr(two.size() - 6), "() ) )") << two;

  // Counts and indexes are decimal whatever the caller's stream is set to.
  for (int i = 0; i < 10; ++i) tavAddText(a, u"t");
  for (char16_t c = u'c'; c < u'm'; ++c) a->setAttribute(std::u16string(1, c).c_str(), u"v");
  std::ostringstream os;
  os << std::hex << std::showbase << std::showpos << a;
  EXPECT_NE(os.str().find(" numOfChilds(12) "), std::string::npos) << os.str();
  EXPECT_NE(os.str().find(" Attr11( ("), std::string::npos) << os.str();
}

TEST(Diagnostics, NodeTypeNames) {
  DocPtr doc = parseKeepingReferences(
      "<!DOCTYPE r [<!NOTATION n SYSTEM 'n'><!ENTITY e 'v'><!ENTITY u SYSTEM 'u' NDATA n>]>"
      "<r a='1'>t<![CDATA[c]]>&e;<?p d?><!--m--></r>");
  DOMElement* r = doc->getDocumentElement();
  DOMNodeList* kids = r->getChildNodes();
  DOMDocumentType* type = doc->getDoctype();
  const std::pair<const DOMNode*, const char*> nodes[] = {{r, "Element"},
                                                          {r->getAttributeNode(u"a"), "Attribute"},
                                                          {kids->item(0), "Text"},
                                                          {kids->item(1), "CDATASection"},
                                                          {kids->item(2), "EntityReference"},
                                                          {type->getEntities()->getNamedItem(u"e"), "Entity"},
                                                          {kids->item(3), "ProcessingInstruction"},
                                                          {kids->item(4), "Comment"},
                                                          {doc.get(), "Document"},
                                                          {type, "DocumentType"},
                                                          {doc->createDocumentFragment(), "DocumentFragment"},
                                                          {type->getNotations()->getNamedItem(u"n"), "Notation"}};
  for (int i = 0; i < 12; ++i) {
    ASSERT_NE(nodes[i].first, nullptr) << nodes[i].second;
    EXPECT_EQ(nodes[i].first->getNodeType(), i + 1);
    EXPECT_EQ(qelGetNodeTypeStr(nodes[i].first), nodes[i].second);
  }
}

TEST_F(Traced, DomExceptionTexts) {
  const char* const texts[] = {
      "Index or size is negative, or greater than the allowed value.",
      "The specified range of text does not fit into a DOMString.",
      "A node is inserted somewhere it doesn't belong.",
      "A node is used in a different document than the one that created it (that doesn't support it).",
      "An invalid or illegal character is specified, such as in a name.",
      "The data is specified for a node which does not support data.",
      "An attempt is made to modify an object where modifications are not allowed.",
      "An attempt is made to reference a node in a context where it does not exist.",
      "The implementation does not support the type of object requested.",
      "An attempt is made to add an attribute that is already in use elsewhere.",
      "An attempt is made to use an object that is not, or is no longer, usable.",
      "An invalid or illegal string is specified.",
      "An attempt is made to modify the type of the underlying object.",
      "An attempt is made to create or change an object in a way which is incorrect with regard to namespaces.",
      "A parameter or an operation is not supported by the underlying object."};
  DOMException e;
  for (int code = 1; code <= 15; ++code) {
    e.code = static_cast<DOMException::ExceptionCode>(code);
    EXPECT_EQ(qelGetErrorMsg(e), "DOMException(" + std::to_string(code) + "): " + texts[code - 1]);
  }
  // Codes outside the table report an internal error and give "NULL".
  moxSetTrace("qelGetErrorMsg=0x40,QELRT=0x80");
  for (int code : {16, 17, 0, -1}) {
    trace.clear();
    e.code = static_cast<DOMException::ExceptionCode>(code);
    EXPECT_EQ(qelGetErrorMsg(e), "DOMException(" + std::to_string(code) + "): NULL");
    EXPECT_EQ(trace.of("qelGetErrorMsg"), (Lines{"Entry", "Args - ", "Exit"}));
    Lines lines = trace.lines();
    ASSERT_EQ(lines.size(), 4u);
    for (const char* piece : {"QELRT ", "Internal error: 0", "QELRC_INTERNAL_ERROR", "21020", "qeldom/qeldom"})
      EXPECT_NE(lines[2].find(piece), std::string::npos) << lines[2];
  }
  DocPtr doc(tavCreateDoc(u"r"));  // a real one from the DOM
  try {
    tavAddElem(doc.get(), u"again");
    ADD_FAILURE();
  } catch (const DOMException& real) {
    EXPECT_EQ(qelGetErrorMsg(real), "DOMException(3): A node is inserted somewhere it doesn't belong.");
  }
}

TEST(Diagnostics, XmlAndParseExceptionTexts) {
  tavDomInit();
  XMLPlatformUtilsException xml("file.cpp", 77, XMLExcepts::CPtr_PointerIsZero);
  EXPECT_FALSE(qelToMbcs(xml.getMessage()).empty());
  EXPECT_EQ(qelGetErrorMsg(xml), qelToMbcs(xml.getMessage()) + " ( line 77 )");
  EXPECT_THROW(qelGetErrorMsg(XMLPlatformUtilsException("f", 1, XMLExcepts::Out_Of_Memory)), std::bad_alloc);

  EXPECT_EQ(qelGetErrorMsg(SAXParseException(u"bad \u00E9 thing", u"pub", u"sys", 3, 14)),
            "bad \xC3\xA9 thing ( line 3, char 14 )");
  EXPECT_EQ(qelGetErrorMsg(SAXParseException(u"m", nullptr, nullptr, 4000000000ull, 0)),
            "m ( line 4000000000, char 0 )");
  EXPECT_THROW(qelGetErrorMsg(SAXParseException(u"xx operator new fails yy", nullptr, nullptr, 1, 1)), std::bad_alloc);
  EXPECT_EQ(qelGetErrorMsg(SAXParseException(u"operator new fail", nullptr, nullptr, 1, 1)),
            "operator new fail ( line 1, char 1 )");
  XercesDOMParser parser;  // a real parse error
  HandlerBase handler;
  parser.setErrorHandler(&handler);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>("<a>\n  <b></a>"), 13, "mem");
  try {
    parser.parse(source);
    ADD_FAILURE() << "no parse error";
  } catch (const SAXParseException& e) {
    EXPECT_NE(qelGetErrorMsg(e).find(" ( line 2, char "), std::string::npos) << qelGetErrorMsg(e);
  }
}

TEST(Diagnostics, StrCopyReplacesOrLeavesAlone) {
  tavDomInit();
  std::u16string target = u"abc";
  XMLBuffer empty, xy;
  EXPECT_EQ(&qelStrCopy(target, empty), &target);
  EXPECT_EQ(target, u"abc");
  xy.append(u"xy");
  EXPECT_EQ(qelStrCopy(target, xy), u"xy");
  qelStrCopy(target, static_cast<const XMLCh*>(nullptr));
  qelStrCopy(target, u"");
  EXPECT_EQ(target, u"xy");
  EXPECT_EQ(qelStrCopy(target, u"longer text"), u"longer text");
  EXPECT_EQ(qelStrCopy(target, u"s"), u"s");
}

// --- the DOM string view ------------------------------------------------

TEST(DomStr, NullEmptyAndCountedViews) {
  QelDomStr none, blank(u"");
  EXPECT_TRUE(none.isNull());
  EXPECT_FALSE(blank.isNull());
  EXPECT_TRUE(none.empty() && blank.empty() && QelDomStr::empty(nullptr));
  EXPECT_FALSE(QelDomStr::empty(u" "));
  EXPECT_EQ(static_cast<std::u16string>(none), u"");
  std::ostringstream os;
  os << none << "|" << blank << "|" << QelDomStr(u"x\u00E9");
  EXPECT_EQ(os.str(), "NULL||x\xC3\xA9");
  // Null and empty are equal to each other, nothing else is.
  EXPECT_TRUE(none.equals(u""));
  EXPECT_TRUE(none.equals(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(blank.equals(static_cast<const XMLCh*>(nullptr)));
  EXPECT_FALSE(QelDomStr(u"a").equals(static_cast<const XMLCh*>(nullptr)));
  EXPECT_FALSE(QelDomStr::equals(nullptr, u"a"));
  EXPECT_TRUE(QelDomStr(u"caf\u00E9").equals("caf\xC3\xA9"));
  EXPECT_FALSE(QelDomStr(QelUni::s_utf8).equals("utf-8"));

  // A counted view converts its count; comparison and output read the whole text.
  const XMLCh abcdef[] = u"abcdef", inner[] = {u'a', 0, u'b', 0};
  QelDomStr three(abcdef, 3);
  EXPECT_EQ(static_cast<std::u16string>(three), u"abc");
  EXPECT_TRUE(three.equals(u"abcdef"));
  EXPECT_FALSE(three.equals(u"abcdefg"));
  std::ostringstream os3;
  os3 << three;
  EXPECT_EQ(os3.str(), "abcdef");
  EXPECT_EQ(static_cast<std::u16string>(QelDomStr(inner, 3)), std::u16string(inner, 3));  // past an inner zero
  EXPECT_EQ(QelDomStr(inner).length(), 1u);
}

TEST(DomStr, LengthIsCountedOnceAndCopiesAreShallow) {
  XMLCh text[] = u"hello", other[] = u"hey";
  QelDomStr view(text), fresh(other);
  EXPECT_EQ(view.length(), 5u);
  text[2] = 0;
  EXPECT_EQ(view.length(), 5u) << "the count is cached";
  EXPECT_EQ(static_cast<std::u16string>(view), std::u16string(text, 5));
  text[2] = u'l';
  EXPECT_EQ(static_cast<std::u16string>(fresh), u"hey");  // conversion counts too
  other[1] = 0;
  EXPECT_EQ(fresh.length(), 3u);
  other[1] = u'e';
  QelDomStr copy(view), assigned;
  assigned = fresh;
  assigned = assigned;
  EXPECT_EQ(copy.getBuffer(), text);
  EXPECT_EQ(assigned.rawBuffer(), other);
  EXPECT_EQ(assigned.length(), 3u);
  { QelDomStr gone(text); }
  EXPECT_EQ(std::u16string(text), u"hello") << "destroying a view leaves the text";
}

// --- exported symbols -------------------------------------------------------------------------

std::vector<std::string> dynamicSymbols(const std::string& library, bool demangle) {
  std::istringstream in(
      commandOutput("nm -D --defined-only " + std::string(demangle ? "-C " : "") + "'" + library + "'"));
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) {
    size_t space = l.find(' ', l.find(' ') + 1);  // "address type name"
    if (space != std::string::npos) out.push_back(l.substr(space + 1));
  }
  return out;
}

std::string libraryOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) && info.dli_fname ? info.dli_fname : "";
}

TEST(Symbols, OnlyTheInterfaceIsExported) {
  std::string qeldom = libraryOf(reinterpret_cast<const void*>(&tavDomInit));
  ASSERT_NE(qeldom.find("libqeldom.so"), std::string::npos) << qeldom;
  std::vector<std::string> mangled = dynamicSymbols(qeldom, false), names = dynamicSymbols(qeldom, true);
  ASSERT_FALSE(names.empty());

  // Never the library's operator new or delete, nor anything of the runtime's.
  std::vector<std::string> runtime = dynamicSymbols(libraryOf(reinterpret_cast<const void*>(&qelCheck)), false);
  std::set<std::string> runtimeSet(runtime.begin(), runtime.end());
  for (const std::string& m : mangled) {
    for (const char* op : {"_Znw", "_Zna", "_Zdl", "_Zda"}) EXPECT_NE(m.rfind(op, 0), 0u) << m;
    EXPECT_EQ(runtimeSet.count(m), 0u) << "also in the runtime: " << m;
  }
  // Each exported name is a qel/tav free function, a member, vtable or
  // typeinfo of a Qel class (with VTT and thunks for virtual bases), or an
  // output operator; nothing of std, Xerces-C or the library's internals.
  auto allowed = [](const std::string& n) {
    auto starts = [&](const char* p) { return n.rfind(p, 0) == 0; };
    if (starts("qel") || starts("tav")) {
      size_t end = n.find_first_of("([");
      return end != std::string::npos && n.find("::") > end;
    }
    for (const char* p : {"Qel", "vtable for Qel", "VTT for Qel", "typeinfo for Qel", "typeinfo name for Qel",
                          "virtual thunk to Qel", "non-virtual thunk to Qel", "operator<<(std::"})
      if (starts(p)) return true;
    return false;
  };
  int uniConstants = 0;  // the functions this program calls are found by the linker
  for (const std::string& n : names) {
    if (n.rfind("__odr_asan.", 0) == 0) continue;  // AddressSanitizer's marks of exported data
    EXPECT_TRUE(allowed(n)) << n;
    EXPECT_EQ(n.find("qel_detail"), std::string::npos) << n;
    EXPECT_EQ(n.find("anonymous namespace"), std::string::npos) << n;
    uniConstants += n.rfind("QelUni::s_", 0) == 0;
  }
  EXPECT_EQ(uniConstants, 28);
}

// --- clean-up (last: it ends Xerces-C, and starts it again) ------------------------------------

class Cleanup : public Traced {};

TEST_F(Cleanup, TerminatesOnceSwallowsAFailureAndTheNextCallStartsAgain) {
  tavDomInit();
  int starts = s_initializeCalls.load();
  std::string why =
      qelToMbcs(XMLPlatformUtilsException(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero).getMessage());
  moxSetTrace("tavDomTerminate=0xC0,tavDomInit=0x40");
  s_terminateThrows = true;
  EXPECT_NO_THROW(qelDomCleanup());
  s_terminateThrows = false;
  EXPECT_EQ(trace.of("tavDomTerminate"),
            (Lines{"Entry", "Args - ", "!!! Error - XERCES termination error: " + why, "Exit"}));
  trace.clear();
  qelDomCleanup();  // the slot is empty: nothing happens
  EXPECT_TRUE(trace.lines().empty());

  DocPtr doc(tavCreateDoc(u"again"));
  EXPECT_EQ(s_initializeCalls.load(), starts + 1);
  EXPECT_EQ(trace.of("tavDomInit"), kInitLines);
  doc.reset();
  trace.clear();
  qelDomCleanup();
  EXPECT_EQ(trace.of("tavDomTerminate"),
            (Lines{"Entry", "Args - ", "Flow - XERCES has been terminated successfully.", "Exit"}));
  tavDomInit();
  EXPECT_EQ(s_initializeCalls.load(), starts + 2);
}

}  // namespace
