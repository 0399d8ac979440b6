// The library frame: platform start, the trace pattern, DOM editing, text
// extraction, node removal, diagnostics, the DOM string view, the fixed
// strings and the library's exported symbols.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "mox.hpp"
#include "qeldom.hpp"
#include "qeldstr.hpp"

XERCES_CPP_NAMESPACE_USE

// --- Xerces-C's start, watched ---------------------------------------------------------
// This definition takes the place of Xerces-C's own for every caller in the
// process: it counts the calls, remembers the panic handler it was given and
// hands on to the real one, slowly, so that racing callers meet at the lock.
// It must be in the program's dynamic symbol table (see frame.cmake).
namespace {
std::atomic<int> s_initializeCalls{0};
PanicHandler* s_panicHandlerSeen = nullptr;
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

// Xerces-C's end, which can be made to fail after it has done its work.
namespace {
bool s_terminateThrows = false;
MemoryManagerImpl s_exceptionMemory;  // outlives Xerces-C's own memory manager
}  // namespace

void XERCES_CPP_NAMESPACE::XMLPlatformUtils::Terminate() {
  using Fn = void (*)();
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils9TerminateEv"));
  if (!s_terminateThrows) return real();
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &s_exceptionMemory);
  real();
  throw failure;
}

namespace {

// Collects the trace lines of the library's component.
class Traced : public ::testing::Test {
 protected:
  void SetUp() override {
    moxSetSink([this](const std::string& line) { lines.push_back(line); });
  }
  void TearDown() override {
    moxSetSink(nullptr);
    moxSetTrace("");
  }
  // The lines of one function, without the "QELDOM name: " prefix.
  std::vector<std::string> of(const std::string& function) const {
    std::vector<std::string> out;
    std::string prefix = "QELDOM " + function + ": ";
    for (const std::string& l : lines)
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }
  std::vector<std::string> lines;
};

using Lines = std::vector<std::string>;

std::string text(const DOMNode* node) {
  std::ostringstream os;
  os << node;
  return os.str();
}

std::u16string children(const DOMNode* node) {
  std::u16string out;
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    out += c->getNodeName();
    out += u";";
  }
  return out;
}

struct DocDeleter {
  void operator()(DOMDocument* d) const { d->release(); }
};
using Doc = std::unique_ptr<DOMDocument, DocDeleter>;

// Parses a document with Xerces-C itself (entity references kept as nodes).
Doc parse(const char* xml) {
  tavDomInit();
  XercesDOMParser parser;
  parser.setCreateEntityReferenceNodes(true);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml), std::strlen(xml), "test");
  parser.parse(source);
  EXPECT_EQ(parser.getErrorCount(), 0u) << xml;
  return Doc(parser.adoptDocument());
}

template <typename Fn>
short domCode(Fn fn) {
  try {
    fn();
  } catch (const DOMException& e) {
    return e.code;
  }
  return 0;
}

template <typename Fn>
long qelRc(Fn fn) {
  try {
    fn();
  } catch (const QelError& e) {
    return e.getRc();
  }
  return 0;
}

// --- platform start (first: it must see the very first tavDomInit) --------------------------

TEST_F(Traced, DomInitRacingThreadsStartXercesOnce) {
  moxSetTrace("tavDomInit=0x40");
  std::atomic<int> ready{0};
  auto body = [&] {
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    tavDomInit();
  };
  std::thread a(body), b(body);
  a.join();
  b.join();
  tavDomInit();
  EXPECT_EQ(s_initializeCalls.load(), 1);
  EXPECT_NE(s_panicHandlerSeen, nullptr) << "the library's own panic handler is installed";
  EXPECT_EQ(of("tavDomInit"), (Lines{"Entry", "Args - ", "Flow - XERCES has been initialized successfully.", "Exit"}));
  // Xerces-C works after both threads returned.
  Doc doc(tavCreateDoc(u"r"));
  EXPECT_EQ(std::u16string(doc->getDocumentElement()->getNodeName()), u"r");
}

// --- the trace pattern ---------------------------------------------------------------------

TEST_F(Traced, LinesAppearOnlyAtTheirBits) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();

  moxSetTrace("QELDOM=0x40");
  tavGetDoc(nullptr);
  EXPECT_EQ(of("tavGetDoc"), (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit"}));

  lines.clear();
  tavAddElem(root, u"e");
  EXPECT_EQ(of("tavAddElem"),
            (Lines{"Entry", "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))(e)", "Exit"}));
  EXPECT_EQ(of("tavGetDoc"), (Lines{"Entry", "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))",
                                    "Flow - The passed node has owner Document", "Exit"}));

  lines.clear();
  tavGetDoc(doc.get());
  EXPECT_EQ(of("tavGetDoc")[2], "Flow - The passed node is Document itself");

  // Error lines need 0x80, the others 0x40; nothing at all at level 0.
  moxSetTrace("QELDOM=0x80");
  lines.clear();
  tavAddElem(root, u"f");
  tavRemoveNode(nullptr);
  EXPECT_TRUE(lines.empty());

  moxSetTrace("QELDOM=0x10");
  lines.clear();
  tavGetDoc(nullptr);
  EXPECT_TRUE(lines.empty());

  moxSetTrace("");
  lines.clear();
  EXPECT_EQ(qelRc([&] { tavAddElem(nullptr, u"x"); }), QELRC_DOM_API_ERROR);
  tavRemoveNode(root->getFirstChild());
  EXPECT_TRUE(lines.empty());
}

TEST_F(Traced, ExitEventsCarryTheRemovalResult) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* e = tavAddElem(doc->getDocumentElement(), u"e");
  moxSetTrace("tavRemoveNode=0x40");
  EXPECT_TRUE(tavRemoveNode(nullptr));
  EXPECT_TRUE(tavRemoveNode(e));
  EXPECT_FALSE(tavRemoveNode(e));
  EXPECT_EQ(of("tavRemoveNode"),
            (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit (1)",  //
                   "Entry", "Args - (Node( type(Element) name(e) value() numOfChilds(0) ))",
                   "Flow - Parent removes passed node", "Exit (1)",  //
                   "Entry", "Args - (Node( type(Element) name(e) value() numOfChilds(0) ))",
                   "Flow - The passed node has no parent", "Exit (0)"}));
}

TEST_F(Traced, AnExceptionLeavesWithoutExitEvent) {
  Doc doc(tavCreateDoc(u"r"));
  moxSetTrace("QELDOM=0xC0");
  lines.clear();
  EXPECT_EQ(domCode([&] { tavAddElem(doc->getDocumentElement(), u"1bad"); }), DOMException::INVALID_CHARACTER_ERR);
  Lines addElem = of("tavAddElem");
  ASSERT_EQ(addElem.size(), 2u);
  EXPECT_EQ(addElem[0], "Entry");
  EXPECT_EQ(addElem[1], "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))(1bad)");

  // A null parent: tavGetDoc says so, the adding function raises its error.
  lines.clear();
  try {
    tavAddPi(nullptr, u"t", u"d");
    ADD_FAILURE() << "no error raised";
  } catch (const QelError& e) {
    EXPECT_EQ(e.getRc(), QELRC_DOM_API_ERROR);
    EXPECT_EQ(e.getRcName(), "QELRC_DOM_API_ERROR");
    EXPECT_EQ(e.getOp(), QELOP_REPOSITORY);
    EXPECT_EQ(e.getOpName(), "QELOP_REPOSITORY");
    EXPECT_EQ(e.getFunction(), "tavAddPi");
    EXPECT_EQ(e.getSourcePath(), "qeldom/qeldom");
    EXPECT_EQ(e.getErrorType(), 2);
    EXPECT_EQ(e.getFlag(), 0u);
    EXPECT_EQ(of("tavAddPi"), (Lines{"Entry", "Args - (Node( NULL ))(t)(d)", std::string("!!! Error - ") + e.what()}));
  }
  EXPECT_EQ(of("tavGetDoc"), (Lines{"Entry", "Args - (Node( NULL ))", "Flow - The passed node is NULL", "Exit"}));
}

// --- null nodes: a clear exception, never a crash ---------------------------------------------

TEST(NullNode, EveryFunctionThatNeedsANodeRaises) {
  tavDomInit();  // an XMLBuffer needs the platform
  XMLBuffer buffer;
  QelUniString string;
  EXPECT_EQ(qelRc([] { tavAddElem(nullptr, u"e"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavAddText(nullptr, u"t"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavAddComment(nullptr, u"c"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavAddCDATA(nullptr, u"c"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavAddEntRef(nullptr, u"e"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavAddPi(nullptr, u"t", u"d"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavSetText(nullptr, u"t"); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([&] { tavGetText(nullptr, buffer); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([&] { tavGetText(nullptr, string); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { tavCleanNode(nullptr, true); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(qelRc([] { qelGetNodeTypeStr(nullptr); }), QELRC_DOM_API_ERROR);
  EXPECT_EQ(buffer.getLen(), 0u);
  EXPECT_TRUE(string.empty());
  EXPECT_EQ(tavGetDoc(nullptr), nullptr);
  EXPECT_TRUE(tavRemoveNode(nullptr));
  EXPECT_EQ(text(nullptr), "Node( NULL )");
}

// --- editing -----------------------------------------------------------------------------------

TEST(Editing, DocumentsAndTheirRoot) {
  Doc empty(qelCreateDoc());
  EXPECT_EQ(empty->getFirstChild(), nullptr);
  EXPECT_EQ(empty->getDoctype(), nullptr);

  Doc doc(tavCreateDoc(u"caf\u00E9"));
  ASSERT_NE(doc->getDocumentElement(), nullptr);
  EXPECT_EQ(children(doc.get()), u"caf\u00E9;");
  EXPECT_FALSE(doc->getDocumentElement()->hasChildNodes());

  EXPECT_EQ(domCode([] { tavCreateDoc(u"1abc"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([] { tavCreateDoc(u""); }), DOMException::INVALID_CHARACTER_ERR);
}

TEST(Editing, AddingFamilyAppendsUnderTheParent) {
  Doc doc(qelCreateDoc());
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
  EXPECT_EQ(children(root), u"#text;#cdata-section;ent;e;");
  EXPECT_EQ(std::u16string(t->getData()), u"a<b&c") << "text is stored unchanged";
  EXPECT_EQ(std::u16string(cd->getData()), u"]]x");
  EXPECT_EQ(ref->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  EXPECT_EQ(e->getOwnerDocument(), doc.get());

  // Invalid names leave the parent unchanged.
  EXPECT_EQ(domCode([&] { tavAddElem(root, u"a b"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([&] { tavAddEntRef(root, u"1x"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(domCode([&] { tavAddPi(root, u"", u"d"); }), DOMException::INVALID_CHARACTER_ERR);
  EXPECT_EQ(children(root), u"#text;#cdata-section;ent;e;");

  // A node created under an attribute's document, appended to a text node.
  EXPECT_EQ(domCode([&] { tavAddElem(t, u"x"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(children(root), u"#text;#cdata-section;ent;e;");
}

TEST(Editing, SetTextReplacesEveryChildAndKeepsAttributes) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"a", u"1");
  DOMElement* e = tavAddElem(root, u"e");
  DOMText* old = tavAddText(root, u"old");
  DOMComment* c = tavAddComment(root, u"c");
  DOMText* t = tavSetText(root, u"new");
  EXPECT_EQ(children(root), u"#text;");
  EXPECT_EQ(root->getFirstChild(), t);
  EXPECT_EQ(std::u16string(t->getData()), u"new");
  EXPECT_EQ(std::u16string(root->getAttribute(u"a")), u"1");
  for (DOMNode* gone : {static_cast<DOMNode*>(e), static_cast<DOMNode*>(old), static_cast<DOMNode*>(c)})
    EXPECT_EQ(gone->getParentNode(), nullptr);

  DOMElement* leaf = tavAddElem(root, u"leaf");
  tavSetText(leaf, u"x");
  EXPECT_EQ(children(leaf), u"#text;");
  tavSetText(leaf, u"");
  EXPECT_EQ(children(leaf), u"#text;");

  // The new text is appended first: a document refuses it and keeps its root.
  EXPECT_EQ(domCode([&] { tavSetText(doc.get(), u"x"); }), DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(doc->getDocumentElement(), root);
}

TEST(Editing, GetDocOfEachKind) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  root->setAttribute(u"a", u"1");
  EXPECT_EQ(tavGetDoc(doc.get()), doc.get());
  EXPECT_EQ(tavGetDoc(root), doc.get());
  EXPECT_EQ(tavGetDoc(root->getAttributeNode(u"a")), doc.get());
  EXPECT_EQ(tavGetDoc(doc->createElement(u"loose")), doc.get());
}

// --- text extraction ------------------------------------------------------------------------

class GetText : public ::testing::Test {
 protected:
  void SetUp() override {
    doc.reset(tavCreateDoc(u"r"));
    root = doc->getDocumentElement();
    // x, <e>y</e>, <!--c-->, z, <![CDATA[w]]>
    tavAddText(root, u"x");
    tavAddText(tavAddElem(root, u"e"), u"y");
    tavAddComment(root, u"c");
    tavAddText(root, u"z");
    tavAddCDATA(root, u"w");
  }
  Doc doc;
  DOMElement* root = nullptr;
};

TEST_F(GetText, WalksMixedChildrenInDocumentOrderIntoBothHolders) {
  XMLBuffer buffer;
  buffer.append(u"P");
  const XMLCh* got = tavGetText(root, buffer);
  EXPECT_EQ(got, buffer.getRawBuffer());
  EXPECT_EQ(std::u16string(got), u"Pxyzw");
  got = tavGetText(root, buffer);
  EXPECT_EQ(std::u16string(got), u"Pxyzwxyzw") << "the buffer is appended to, never cleared";

  QelUniString string(u"P");
  got = tavGetText(root, string);
  EXPECT_EQ(got, string.c_str());
  EXPECT_EQ(std::u16string(got), u"Pxyzw");
}

TEST_F(GetText, NodeWithoutChildrenGivesNullAndLeavesTheHolder) {
  XMLBuffer buffer;
  buffer.append(u"keep");
  QelUniString string(u"keep");
  DOMNode* x = root->getFirstChild();
  EXPECT_EQ(tavGetText(x, buffer), nullptr);
  EXPECT_EQ(tavGetText(x, string), nullptr);
  EXPECT_EQ(std::u16string(buffer.getRawBuffer()), u"keep");
  EXPECT_EQ(string.str(), u"keep");

  // An only child that holds no text: the holder's content, unchanged.
  DOMElement* e = tavAddElem(root, u"holder");
  tavAddElem(e, u"empty");
  EXPECT_EQ(std::u16string(tavGetText(e, buffer)), u"keep");
  EXPECT_EQ(std::u16string(tavGetText(e, string)), u"keep");
}

TEST_F(GetText, NeverReadsTheStartNodeOrItsSiblings) {
  DOMElement* e = static_cast<DOMElement*>(root->getFirstChild()->getNextSibling());
  XMLBuffer buffer;
  EXPECT_EQ(std::u16string(tavGetText(e, buffer)), u"y");
  // Through an attribute: its text children.
  root->setAttribute(u"a", u"val");
  QelUniString string;
  EXPECT_EQ(std::u16string(tavGetText(root->getAttributeNode(u"a"), string)), u"val");
}

TEST(GetTextEntities, DescendsIntoEntityReferences) {
  Doc doc = parse(
      "<!DOCTYPE r [<!ENTITY e 'in<b>ne</b>r'><!ENTITY n '<!--skip-->'>]>"
      "<r>a&e;<?pi skip?>&n;<s><t>b</t><![CDATA[c]]></s>&e;z</r>");
  DOMElement* root = doc->getDocumentElement();
  ASSERT_EQ(root->getChildNodes()->item(1)->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  XMLBuffer buffer;
  EXPECT_EQ(std::u16string(tavGetText(root, buffer)), u"ainnerbcinnerz");
  QelUniString string;
  EXPECT_EQ(std::u16string(tavGetText(root, string)), u"ainnerbcinnerz");
  QelUniString fromRef;
  EXPECT_EQ(std::u16string(tavGetText(root->getChildNodes()->item(1), fromRef)), u"inner");
}

TEST(GetTextLarge, DeepAndWideTreesWithManyPieces) {
  Doc doc(tavCreateDoc(u"r"));
  DOMNode* cur = doc->getDocumentElement();
  std::u16string expected;
  for (int i = 0; i < 20000; ++i) {  // deep: the walk does not recurse
    cur = tavAddElem(cur, u"d");
    tavAddText(cur, u"ab");
    expected += u"ab";
  }
  XMLBuffer buffer;
  QelUniString string;
  EXPECT_EQ(std::u16string(tavGetText(doc->getDocumentElement(), buffer)), expected);
  const XMLCh* got = tavGetText(doc->getDocumentElement(), string);
  EXPECT_EQ(got, string.c_str());
  EXPECT_EQ(string.str(), expected);
}

// --- removal and cleaning -------------------------------------------------------------------

TEST(Removal, RemoveNodeReportsParentlessNodes) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  DOMElement* e = tavAddElem(root, u"e");
  DOMElement* loose = doc->createElement(u"loose");
  EXPECT_FALSE(tavRemoveNode(loose));
  EXPECT_TRUE(tavRemoveNode(e));
  EXPECT_EQ(e->getParentNode(), nullptr);
  EXPECT_FALSE(root->hasChildNodes());
  tavAddText(e, u"still usable");
  root->appendChild(e);
  EXPECT_EQ(children(root), u"e;");
  EXPECT_FALSE(tavRemoveNode(doc.get()));
  EXPECT_EQ(doc->getDocumentElement(), root);
}

TEST_F(Traced, CleanNodeChildrenAndOptionallyAttributes) {
  Doc doc(tavCreateDoc(u"r"));
  DOMElement* root = doc->getDocumentElement();
  auto fill = [&] {
    root->setAttribute(u"a", u"1");
    root->setAttribute(u"b", u"2");
    tavAddElem(root, u"e");
    tavAddText(root, u"t");
    tavAddComment(root, u"c");
    tavAddCDATA(root, u"d");
    tavAddPi(root, u"p", u"q");
  };
  fill();
  tavCleanNode(root, false);
  EXPECT_FALSE(root->hasChildNodes());
  EXPECT_EQ(root->getAttributes()->getLength(), 2u);
  fill();
  tavCleanNode(root, true);
  EXPECT_FALSE(root->hasChildNodes());
  EXPECT_EQ(root->getAttributes()->getLength(), 0u);

  // Nothing to do: only the entry line and the exit event.
  moxSetTrace("tavCleanNode=0x40");
  tavCleanNode(root, false);
  EXPECT_EQ(of("tavCleanNode"),
            (Lines{"Entry", "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))", "Exit"}));
  lines.clear();
  root->setAttribute(u"a", u"1");
  tavAddText(root, u"t");
  tavCleanNode(root, true);
  EXPECT_EQ(of("tavCleanNode"),
            (Lines{"Entry", "Args - (Node( type(Element) name(r) value() numOfChilds(1) Attr0( (a) (1) ) ))",
                   "Flow - Passed node(element) removes all attributes", "Flow - removes all child nodes", "Exit"}));
}

TEST(Removal, CleanDocumentRemovesEverythingAndIgnoresTheFlag) {
  Doc doc = parse("<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><?p d?><!--c--><r a='1'><x/></r><!--d-->");
  EXPECT_EQ(doc->getChildNodes()->getLength(), 5u);
  tavCleanNode(doc.get(), true);
  EXPECT_FALSE(doc->hasChildNodes());
  EXPECT_EQ(doc->getDocumentElement(), nullptr);
  EXPECT_EQ(doc->getDoctype(), nullptr);
}

TEST(Removal, CleaningReadOnlyEntityContentPassesTheDomError) {
  Doc doc = parse("<!DOCTYPE r [<!ENTITY e '<b>x</b>'>]><r>&e;</r>");
  DOMNode* ref = doc->getDocumentElement()->getFirstChild();
  ASSERT_EQ(ref->getNodeType(), DOMNode::ENTITY_REFERENCE_NODE);
  EXPECT_EQ(domCode([&] { tavCleanNode(ref, false); }), DOMException::NO_MODIFICATION_ALLOWED_ERR);
  EXPECT_EQ(domCode([&] { tavCleanNode(ref->getFirstChild(), true); }), DOMException::NO_MODIFICATION_ALLOWED_ERR);
  EXPECT_TRUE(ref->hasChildNodes());
}

// --- diagnostics ---------------------------------------------------------------------------

TEST(Diagnostics, NodeTextFormat) {
  Doc doc(tavCreateDoc(u"a"));
  DOMElement* a = doc->getDocumentElement();
  a->setAttribute(u"x", u"1");
  tavAddText(a, u"h\u00E9");
  tavAddElem(a, u"b");
  EXPECT_EQ(text(a), "Node( type(Element) name(a) value() numOfChilds(2) Attr0( (x) (1) ) )");
  EXPECT_EQ(text(a->getFirstChild()), "Node( type(Text) name(#text) value(h\xC3\xA9) numOfChilds(0) )");
  EXPECT_EQ(text(doc.get()), "Node( type(Document) name(#document) value() numOfChilds(1) )");
  EXPECT_EQ(text(a->getAttributeNode(u"x")), "Node( type(Attribute) name(x) value(1) numOfChilds(1) )");
  a->setAttribute(u"y", u"");
  std::string two = text(a);
  EXPECT_NE(two.find(" Attr0( ("), std::string::npos) << two;
  EXPECT_NE(two.find(" Attr1( ("), std::string::npos) << two;
  EXPECT_NE(two.find("(y) () )"), std::string::npos) << two;
  EXPECT_EQ(two.substr(two.size() - 6), "() ) )") << two;
  EXPECT_EQ(text(nullptr), "Node( NULL )");
  // No line end is written.
  EXPECT_EQ(text(doc.get()).find('\n'), std::string::npos);
}

TEST(Diagnostics, NodeTypeNames) {
  Doc doc = parse(
      "<!DOCTYPE r [<!NOTATION n SYSTEM 'n'><!ENTITY e 'v'><!ENTITY u SYSTEM 'u' NDATA n>]>"
      "<r a='1'>t<![CDATA[c]]>&e;<?p d?><!--m--></r>");
  DOMElement* r = doc->getDocumentElement();
  DOMNodeList* kids = r->getChildNodes();
  const DOMNode* nodes[] = {r,
                            r->getAttributeNode(u"a"),
                            kids->item(0),
                            kids->item(1),
                            kids->item(2),
                            doc->getDoctype()->getEntities()->getNamedItem(u"e"),
                            kids->item(3),
                            kids->item(4),
                            doc.get(),
                            doc->getDoctype(),
                            doc->createDocumentFragment(),
                            doc->getDoctype()->getNotations()->getNamedItem(u"n")};
  const char* names[] = {
      "Element", "Attribute", "Text",         "CDATASection",     "EntityReference", "Entity", "ProcessingInstruction",
      "Comment", "Document",  "DocumentType", "DocumentFragment", "Notation"};
  for (int i = 0; i < 12; ++i) {
    ASSERT_NE(nodes[i], nullptr) << names[i];
    EXPECT_EQ(nodes[i]->getNodeType(), i + 1);
    EXPECT_EQ(qelGetNodeTypeStr(nodes[i]), names[i]);
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
  for (int code = 1; code <= 15; ++code) {
    DOMException e;
    e.code = static_cast<DOMException::ExceptionCode>(code);
    EXPECT_EQ(qelGetErrorMsg(e), "DOMException(" + std::to_string(code) + "): " + texts[code - 1]);
  }
  // Codes outside the table report an internal error and give "NULL".
  moxSetTrace("qelGetErrorMsg=0x40,QELRT=0x80");
  for (int code : {16, 17, 0, -1}) {
    lines.clear();
    DOMException e;
    e.code = static_cast<DOMException::ExceptionCode>(code);
    EXPECT_EQ(qelGetErrorMsg(e), "DOMException(" + std::to_string(code) + "): NULL");
    EXPECT_EQ(of("qelGetErrorMsg"), (Lines{"Entry", "Args - ", "Exit"}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[2].find("QELRT "), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("Internal error: 0"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("QELRC_INTERNAL_ERROR"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("21020"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("qeldom/qeldom"), std::string::npos) << lines[2];
  }
  // A real one from the DOM.
  Doc doc(tavCreateDoc(u"r"));
  try {
    tavAddElem(doc.get(), u"again");
    ADD_FAILURE();
  } catch (const DOMException& e) {
    EXPECT_EQ(qelGetErrorMsg(e), "DOMException(3): A node is inserted somewhere it doesn't belong.");
  }
}

TEST(Diagnostics, XmlAndParseExceptionTexts) {
  tavDomInit();
  XMLPlatformUtilsException xml("file.cpp", 77, XMLExcepts::CPtr_PointerIsZero);
  EXPECT_EQ(qelGetErrorMsg(xml), qelToMbcs(xml.getMessage()) + " ( line 77 )");
  EXPECT_FALSE(qelToMbcs(xml.getMessage()).empty());
  XMLPlatformUtilsException oom("file.cpp", 1, XMLExcepts::Out_Of_Memory);
  EXPECT_THROW(qelGetErrorMsg(oom), std::bad_alloc);

  SAXParseException sax(u"bad \u00E9 thing", u"pub", u"sys", 3, 14);
  EXPECT_EQ(qelGetErrorMsg(sax), "bad \xC3\xA9 thing ( line 3, char 14 )");
  SAXParseException far(u"m", nullptr, nullptr, 4000000000ull, 0);
  EXPECT_EQ(qelGetErrorMsg(far), "m ( line 4000000000, char 0 )");
  SAXParseException newFails(u"xx operator new fails yy", nullptr, nullptr, 1, 1);
  EXPECT_THROW(qelGetErrorMsg(newFails), std::bad_alloc);
  SAXParseException almost(u"operator new fail", nullptr, nullptr, 1, 1);
  EXPECT_EQ(qelGetErrorMsg(almost), "operator new fail ( line 1, char 1 )");

  // A real parse error.
  XercesDOMParser parser;
  HandlerBase handler;
  parser.setErrorHandler(&handler);
  const char* bad = "<a>\n  <b></a>";
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(bad), std::strlen(bad), "mem");
  try {
    parser.parse(source);
    ADD_FAILURE() << "no parse error";
  } catch (const SAXParseException& e) {
    std::string msg = qelGetErrorMsg(e);
    EXPECT_NE(msg.find(" ( line 2, char "), std::string::npos) << msg;
  }
}

TEST(Diagnostics, StrCopyReplacesOrLeavesAlone) {
  tavDomInit();
  std::u16string target = u"abc";
  XMLBuffer empty;
  EXPECT_EQ(&qelStrCopy(target, empty), &target);
  EXPECT_EQ(target, u"abc");
  XMLBuffer xy;
  xy.append(u"xy");
  EXPECT_EQ(qelStrCopy(target, xy), u"xy");
  qelStrCopy(target, static_cast<const XMLCh*>(nullptr));
  EXPECT_EQ(target, u"xy");
  qelStrCopy(target, u"");
  EXPECT_EQ(target, u"xy");
  EXPECT_EQ(qelStrCopy(target, u"longer text"), u"longer text");
  EXPECT_EQ(qelStrCopy(target, u"s"), u"s");
}

// --- the DOM string view and the fixed strings ------------------------------------------------

TEST(DomStr, NullEmptyAndCountedViews) {
  QelDomStr none;
  EXPECT_TRUE(none.isNull());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.length(), 0u);
  EXPECT_TRUE(none.equals(u""));
  EXPECT_TRUE(none.equals(static_cast<const XMLCh*>(nullptr)));
  EXPECT_TRUE(none.equals(static_cast<const char*>(nullptr)));
  EXPECT_EQ(static_cast<std::u16string>(none), u"");
  std::ostringstream os;
  os << none << "|" << QelDomStr(u"") << "|" << QelDomStr(u"x\u00E9");
  EXPECT_EQ(os.str(), "NULL||x\xC3\xA9");

  QelDomStr blank(u"");
  EXPECT_FALSE(blank.isNull());
  EXPECT_TRUE(blank.empty());
  EXPECT_TRUE(blank.equals(static_cast<const XMLCh*>(nullptr)));
  EXPECT_FALSE(QelDomStr(u"a").equals(static_cast<const XMLCh*>(nullptr)));
  EXPECT_FALSE(QelDomStr::equals(nullptr, u"a"));
  EXPECT_TRUE(QelDomStr::empty(nullptr));
  EXPECT_FALSE(QelDomStr::empty(u" "));

  const XMLCh abcdef[] = u"abcdef";
  QelDomStr three(abcdef, 3);
  EXPECT_EQ(three.length(), 3u);
  EXPECT_EQ(three.getSize(), 3u);
  EXPECT_EQ(static_cast<std::u16string>(three), u"abc");
  EXPECT_TRUE(three.equals(u"abcdef"));
  EXPECT_FALSE(three.equals(u"abc"));
  EXPECT_FALSE(three.equals(u"abcdefg"));
  std::ostringstream os3;
  os3 << three;
  EXPECT_EQ(os3.str(), "abcdef");

  // A length that reaches past an inner zero unit.
  const XMLCh inner[] = {u'a', 0, u'b', 0};
  EXPECT_EQ(static_cast<std::u16string>(QelDomStr(inner, 3)), std::u16string(inner, 3));
  EXPECT_EQ(QelDomStr(inner).length(), 1u);
}

TEST(DomStr, LengthIsCountedOnceAndCopiesAreShallow) {
  XMLCh text[] = u"hello";
  QelDomStr view(text);
  EXPECT_EQ(view.length(), 5u);
  text[2] = 0;
  EXPECT_EQ(view.length(), 5u) << "the count is cached";
  EXPECT_EQ(static_cast<std::u16string>(view), std::u16string(text, 5));
  text[2] = u'l';

  XMLCh other[] = u"hey";
  QelDomStr fresh(other);
  EXPECT_EQ(static_cast<std::u16string>(fresh), u"hey");  // conversion counts too
  other[1] = 0;
  EXPECT_EQ(fresh.length(), 3u);
  other[1] = u'e';

  QelDomStr copy(view);
  EXPECT_EQ(copy.getBuffer(), text);
  EXPECT_EQ(copy.length(), 5u);
  QelDomStr assigned;
  assigned = fresh;
  EXPECT_EQ(assigned.rawBuffer(), other);
  EXPECT_EQ(assigned.length(), 3u);
  assigned = assigned;
  EXPECT_EQ(static_cast<const XMLCh*>(assigned), other);
  { QelDomStr gone(text); }
  EXPECT_EQ(std::u16string(text), u"hello") << "destroying a view leaves the text";

  EXPECT_TRUE(QelDomStr(QelUni::s_utf8).equals("UTF-8"));
  EXPECT_FALSE(QelDomStr(QelUni::s_utf8).equals("utf-8"));
  EXPECT_TRUE(QelDomStr(u"caf\u00E9").equals("caf\xC3\xA9"));
}

TEST(Uni, EveryConstantHasExactlyItsUnits) {
  struct {
    const XMLCh* constant;
    std::u16string units;
  } const cases[] = {
      {QelUni::s_utf8, u"UTF-8"},
      {QelUni::s_utf16, u"UTF-16"},
      {QelUni::s_textSymbols, {0x26, 0x3C, 0x3E}},
      {QelUni::s_lineTextSymbols, {0x26, 0x3C, 0x3E, 0x0D, 0x0A}},
      {QelUni::s_canonicalTextSymbols, {0x26, 0x3C, 0x3E, 0x22, 0x0D, 0x0A, 0x09}},
      {QelUni::s_attrSymbols, {0x26, 0x3C, 0x3E, 0x22}},
      {QelUni::s_lineAttrSymbols, {0x26, 0x3C, 0x3E, 0x22, 0x0D, 0x0A}},
      {QelUni::s_canonicalAttrSymbols, {0x26, 0x3C, 0x3E, 0x22, 0x0D, 0x0A, 0x09}},
      {QelUni::s_refQuot, u"&quot;"},
      {QelUni::s_refAmp, u"&amp;"},
      {QelUni::s_refLt, u"&lt;"},
      {QelUni::s_refGt, u"&gt;"},
      {QelUni::s_ref13, u"&#13;"},
      {QelUni::s_ref10, u"&#10;"},
      {QelUni::s_ref9, u"&#9;"},
      {QelUni::s_native, u"NATIVE"},
      {QelUni::s_xmlDeclVersion,
       {0x3C, 0x3F, 0x78, 0x6D, 0x6C, 0x20, 0x76, 0x65, 0x72, 0x73, 0x69, 0x6F, 0x6E, 0x3D, 0x22, 0x31, 0x2E, 0x30,
        0x22}},
      {QelUni::s_xmlDeclEncoding, {0x20, 0x65, 0x6E, 0x63, 0x6F, 0x64, 0x69, 0x6E, 0x67, 0x3D, 0x22}},
      {QelUni::s_xmlDeclStandalone, {0x20, 0x73, 0x74, 0x61, 0x6E, 0x64, 0x61, 0x6C, 0x6F, 0x6E, 0x65, 0x3D, 0x22}},
      {QelUni::s_xmlDeclEnd, {0x20, 0x3F, 0x3E}},
      {QelUni::s_startEntity, u"<!ENTITY "},
      {QelUni::s_startCData, u"<![CDATA["},
      {QelUni::s_endCData, u"]]>"},
      {QelUni::s_closeComment, u"-->"},
      {QelUni::s_xmlSpace, u"xml:space"},
      {QelUni::s_preserve, u"preserve"},
      {QelUni::s_rdfParseType, u"rdf:parseType"},
      {QelUni::s_rdfInline, u"Inline"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(qelToMbcs(c.units.c_str()));
    for (size_t i = 0; i < c.units.size(); ++i) EXPECT_EQ(c.constant[i], c.units[i]) << "unit " << i;
    EXPECT_EQ(c.constant[c.units.size()], 0) << "one zero unit ends it";
  }
  QelUni a, b;
  EXPECT_EQ(&(a = b), &a);
}

// --- exported symbols -------------------------------------------------------------------------

std::vector<std::string> dynamicSymbols(const std::string& library, bool demangle) {
  std::string command = std::string("nm -D --defined-only ") + (demangle ? "-C " : "") + "'" + library + "'";
  std::vector<std::string> out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string l(line);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    size_t space = l.find(' ', l.find(' ') + 1);  // "address type name"
    if (space != std::string::npos) out.push_back(l.substr(space + 1));
  }
  pclose(pipe);
  return out;
}

std::string libraryOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return std::string();
  return info.dli_fname;
}

TEST(Symbols, OnlyTheInterfaceIsExported) {
  std::string qeldom = libraryOf(reinterpret_cast<const void*>(&tavDomInit));
  std::string qelrt = libraryOf(reinterpret_cast<const void*>(&qelCheck));
  ASSERT_NE(qeldom.find("libqeldom.so"), std::string::npos) << qeldom;
  std::vector<std::string> mangled = dynamicSymbols(qeldom, false);
  std::vector<std::string> names = dynamicSymbols(qeldom, true);
  ASSERT_FALSE(names.empty());

  // Never the library's operator new or delete, nor anything of the runtime's.
  for (const std::string& m : mangled)
    for (const char* op : {"_Znw", "_Zna", "_Zdl", "_Zda"}) EXPECT_NE(m.rfind(op, 0), 0u) << m;
  std::vector<std::string> runtime = dynamicSymbols(qelrt, false);
  std::set<std::string> runtimeSet(runtime.begin(), runtime.end());
  for (const std::string& m : mangled) EXPECT_EQ(runtimeSet.count(m), 0u) << "also in the runtime: " << m;

  // Each exported name is a qel/tav function, a member, vtable or typeinfo of
  // a Qel class, or an output operator; nothing of std, Xerces-C or the
  // library's internals.
  auto allowed = [](const std::string& n) {
    auto starts = [&](const char* p) { return n.rfind(p, 0) == 0; };
    if (starts("qel") || starts("tav")) {
      size_t end = n.find_first_of("([");
      return end != std::string::npos && n.find("::") > end;  // a free function
    }
    // Classes with virtual bases also export their VTT and thunks.
    return starts("Qel") || starts("vtable for Qel") || starts("VTT for Qel") || starts("typeinfo for Qel") ||
           starts("typeinfo name for Qel") || starts("virtual thunk to Qel") || starts("non-virtual thunk to Qel") ||
           starts("operator<<(std::");
  };
  for (const std::string& n : names) {
    if (n.rfind("__odr_asan.", 0) == 0) continue;  // AddressSanitizer's marks of exported data
    EXPECT_TRUE(allowed(n)) << n;
    EXPECT_EQ(n.find("qel_detail"), std::string::npos) << n;
    EXPECT_EQ(n.find("anonymous namespace"), std::string::npos) << n;
  }

  // Every function of the frame, under its own name.
  std::set<std::string> expected = {"tavDomInit()",
                                    "qelCreateDoc()",
                                    "tavCreateDoc(char16_t const*)",
                                    "tavAddElem(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavAddText(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavSetText(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavAddComment(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavAddCDATA(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavAddEntRef(xercesc_3_2::DOMNode*, char16_t const*)",
                                    "tavAddPi(xercesc_3_2::DOMNode*, char16_t const*, char16_t const*)",
                                    "tavGetDoc(xercesc_3_2::DOMNode*)",
                                    "tavGetText(xercesc_3_2::DOMNode const*, xercesc_3_2::XMLBuffer&)",
                                    "tavGetText(xercesc_3_2::DOMNode const*, QelUniString&)",
                                    "tavRemoveNode(xercesc_3_2::DOMNode*)",
                                    "tavCleanNode(xercesc_3_2::DOMNode*, bool)",
                                    "qelGetNodeTypeStr[abi:cxx11](xercesc_3_2::DOMNode const*)",
                                    "operator<<(std::ostream&, xercesc_3_2::DOMNode const*)",
                                    "qelGetErrorMsg[abi:cxx11](xercesc_3_2::DOMException const&)",
                                    "qelGetErrorMsg[abi:cxx11](xercesc_3_2::XMLException const&)",
                                    "qelGetErrorMsg[abi:cxx11](xercesc_3_2::SAXParseException const&)",
                                    "QelDomStr::length() const",
                                    "QelDomStr::equals(char16_t const*, char16_t const*)",
                                    "QelDomStr::equals(char const*) const",
                                    "QelDomStr::operator=(QelDomStr const&)",
                                    "QelDomStr::~QelDomStr()",
                                    "operator<<(std::ostream&, QelDomStr const&)",
                                    "vtable for QelDomStr",
                                    "typeinfo for QelDomStr",
                                    "QelUni::s_utf8",
                                    "QelUni::s_xmlDeclVersion",
                                    "QelUni::s_rdfInline"};
  std::set<std::string> present;
  const std::string longOstream = "std::basic_ostream<char, std::char_traits<char> >";
  for (std::string n : names) {
    size_t at = n.find(longOstream);
    if (at != std::string::npos) n.replace(at, longOstream.size(), "std::ostream");
    present.insert(n);
  }
  for (const std::string& e : expected) EXPECT_EQ(present.count(e), 1u) << "not exported: " << e;
  int strCopies = 0, uniConstants = 0;
  for (const std::string& n : present) {
    if (n.rfind("qelStrCopy(", 0) == 0) ++strCopies;
    if (n.rfind("QelUni::s_", 0) == 0) ++uniConstants;
  }
  EXPECT_EQ(strCopies, 2);
  EXPECT_EQ(uniConstants, 28);
}

// --- clean-up (last: it ends Xerces-C, and starts it again) --------------------------------------------------------

class Cleanup : public Traced {};

TEST_F(Cleanup, TerminatesOnceSwallowsAFailureAndTheNextCallStartsAgain) {
  tavDomInit();
  int starts = s_initializeCalls.load();
  std::string why;
  {
    XMLPlatformUtilsException e(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero);
    why = qelToMbcs(e.getMessage());
  }
  moxSetTrace("tavDomTerminate=0xC0,tavDomInit=0x40");
  s_terminateThrows = true;
  EXPECT_NO_THROW(qelDomCleanup());
  s_terminateThrows = false;
  EXPECT_EQ(of("tavDomTerminate"), (Lines{"Entry", "Args - ", "!!! Error - XERCES termination error: " + why, "Exit"}));

  lines.clear();
  qelDomCleanup();  // the slot is empty: nothing happens
  EXPECT_TRUE(lines.empty());

  Doc doc(tavCreateDoc(u"again"));
  EXPECT_EQ(s_initializeCalls.load(), starts + 1);
  EXPECT_EQ(of("tavDomInit"), (Lines{"Entry", "Args - ", "Flow - XERCES has been initialized successfully.", "Exit"}));
  doc.reset();

  lines.clear();
  qelDomCleanup();
  EXPECT_EQ(of("tavDomTerminate"),
            (Lines{"Entry", "Args - ", "Flow - XERCES has been terminated successfully.", "Exit"}));
  tavDomInit();
  EXPECT_EQ(s_initializeCalls.load(), starts + 2);
}

}  // namespace
