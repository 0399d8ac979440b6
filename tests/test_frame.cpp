// The library frame: platform start, its failure and clean-up, the trace
// pattern, DOM editing, text extraction, removal, diagnostics and the DOM
// string view.
#include <dlfcn.h>

#include <functional>
#include <random>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/util/PanicHandler.hpp>

#include "qeldstr.hpp"
#include "qelnewrl.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

// Xerces-C's start and end, watched, for every caller in the process (the
// program exports them, frame.cmake). The start counts its calls and waits,
// so that racing callers meet at the lock, and fails as a case asks: through
// the panic handler it was given, with an XMLException carrying Xerces-C's
// own message, or for want of memory, Xerces-C's own start left half done.
// The end can be made to fail after it has done its work.
enum class Failure { none, panic, xmlException, outOfMemory };
static Failure s_failure = Failure::none;
static std::atomic<int> s_starts{0};
static bool s_terminateThrows = false;
static std::string s_xercesMessage;  // the text of the XMLException thrown
static MemoryManagerImpl s_memory;   // outlives Xerces-C's own memory manager

// Xerces-C's own definitions of the functions the program replaces.
static void* real(const char* mangledName) { return dlsym(RTLD_NEXT, mangledName); }
static void realInitialize(const char* l, const char* n, PanicHandler* p, MemoryManager* m) {
  reinterpret_cast<void (*)(const char*, const char*, PanicHandler*, MemoryManager*)>(
      real("_ZN11xercesc_3_216XMLPlatformUtils10InitializeEPKcS2_PNS_12PanicHandlerEPNS_13MemoryManagerE"))(l, n, p, m);
}
static void realTerminate() { reinterpret_cast<void (*)()>(real("_ZN11xercesc_3_216XMLPlatformUtils9TerminateEv"))(); }

void XMLPlatformUtils::Initialize(const char* const l, const char* const n, PanicHandler* const p,
                                  MemoryManager* const m) {
  ++s_starts;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (s_failure == Failure::panic && p) p->panic(PanicHandler::Panic_NoTransService);
  if (s_failure == Failure::outOfMemory) QelNewRelay::failAfter(1);  // Xerces-C allocates through the relay
  const std::shared_ptr<void> reset(nullptr, [](void*) { QelNewRelay::failAfter(0); });
  realInitialize(l, n, p, m);
  if (s_failure == Failure::none) return;
  if (s_failure != Failure::xmlException) std::_Exit(3);  // the failure did not stop the start
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &s_memory);
  s_xercesMessage = qelToMbcs(failure.getMessage());
  realTerminate();
  throw failure;
}

void XMLPlatformUtils::Terminate() {
  if (!s_terminateThrows) return realTerminate();
  XMLPlatformUtilsException failure(__FILE__, __LINE__, XMLExcepts::CPtr_PointerIsZero, &s_memory);
  realTerminate();
  throw failure;
}

namespace {

// In a fresh process: racing first calls start Xerces-C once; the clean-up
// ends it, swallowing a failure, and the next call starts it again.
TEST(Platform, StartsOnceUntilTheCleanupWhichSwallowsAFailure) {
  inFreshProcess([] {
    TraceCapture trace("tavDomTerminate=0xC0,tavDomInit=0x40");
    race(2, [](int) { tavDomInit(); });
    tavDomInit();
    EXPECT_EQ(s_starts.load(), 1);
    const std::string why = qelToMbcs(XMLPlatformUtilsException("f", 1, XMLExcepts::CPtr_PointerIsZero).getMessage());
    s_terminateThrows = true;
    EXPECT_NO_THROW(qelDomCleanup());
    s_terminateThrows = false;
    EXPECT_EQ(trace.of("tavDomTerminate"),
              (Lines{"Entry", "Args - ", "!!! Error - XERCES termination error: " + why, "Exit"}));
    trace.lines.clear();
    qelDomCleanup();  // the slot is empty: nothing happens
    EXPECT_TRUE(trace.lines.empty());
    EXPECT_EQ(DocPtr(tavCreateDoc(u"r"))->getDocumentElement()->getNodeName(), std::u16string(u"r"));
    EXPECT_EQ(s_starts.load(), 2);
    EXPECT_EQ(trace.of("tavDomInit"),
              (Lines{"Entry", "Args - ", "Flow - XERCES has been initialized successfully.", "Exit"}));
  });
}

// The first call raises the failure, traced at the levels set; every later
// caller gets the recorded error without a new start.
TEST(PlatformFailure, IsRaisedToTheFirstCallerAndAgainToEveryLaterOne) {
  const std::pair<Failure, unsigned> cases[] = {
      {Failure::panic, 0x40}, {Failure::panic, 0x80}, {Failure::xmlException, 0xD0}, {Failure::outOfMemory, 0xC0}};
  for (const auto& [failure, level] : cases) {
    SCOPED_TRACE("failure " + std::to_string(static_cast<int>(failure)) + " level " + std::to_string(level));
    inFreshProcess([&, failure = failure, level = level] {
      s_failure = failure;
      TraceCapture trace("tavDomInit=" + std::to_string(level));
      const QelError error = errorOf([] { tavDomInit(); });
      const std::string first = error.what();
      expectLibraryError(error, 21301, "QELRC_DOM_API_ERROR", "tavDomInit", "qeldom/qeldom");
      const std::string why = failure == Failure::panic
                                  ? PanicHandler::getPanicReasonString(PanicHandler::Panic_NoTransService)
                              : failure == Failure::outOfMemory ? "out of memory"
                                                                : s_xercesMessage;
      EXPECT_EQ(first, "XERCES initialization error: " + why);
      Lines expected;
      if (level & 0x40) expected = {"QELDOM tavDomInit: Entry", "QELDOM tavDomInit: Args - "};
      if (level & 0x80) expected.push_back("QELDOM tavDomInit: !!! Error - " + first);
      EXPECT_EQ(trace.lines, expected);
      trace.lines.clear();
      EXPECT_STREQ(errorOf([] { tavDomInit(); }).what(), first.c_str());
      EXPECT_STREQ(errorOf([] { tavCreateDoc(u"r"); }).what(), first.c_str());
      EXPECT_EQ(s_starts.load(), 1);
      EXPECT_FALSE(trace.has("tavDomInit: Entry"));
    });
  }
}

// Entry, arguments, flow and exit at 0x40, errors at 0x80 (the platform's
// failure above sets each bit alone); an exception leaves without the exit
// event.
TEST(Trace, EachLineAppearsAtItsBitAndAnExceptionLeavesWithoutExit) {
  using Call = std::function<void(DOMElement*)>;
  const std::string r = "Args - (Node( type(Element) name(r) value() numOfChilds(0) ))";
  const std::string error = "!!! Error - tavAddPi: the parent node is NULL";
  const Call removeLoose = [](DOMElement* e) { tavRemoveNode(e->cloneNode(false)); };
  const std::tuple<std::string, Call, Lines> rows[] = {
      {"tavRemoveNode=0x40", removeLoose, {"Entry", r, "Flow - The passed node has no parent", "Exit (0)"}},
      {"tavAddElem=0xC0", [](DOMElement* e) { tavAddElem(e, u"1bad"); }, {"Entry", r + "(1bad)"}},
      {"tavAddPi=0xC0", [](auto*) { tavAddPi(nullptr, u"t", u"d"); }, {"Entry", "Args - (Node( NULL ))(t)(d)", error}},
  };
  for (const auto& [level, call, expected] : rows) {
    SCOPED_TRACE(level);
    DocPtr doc(tavCreateDoc(u"r"));
    TraceCapture trace(level);
    try {
      call(doc->getDocumentElement());
    } catch (...) {
    }
    EXPECT_EQ(trace.of(level.substr(0, level.find('='))), expected);
  }
}

TEST(NullNode, EveryFunctionThatNeedsANodeRaisesAndSaysWhy) {
  tavDomInit();
  DOMDocumentType* type = DOMImplementation::getImplementation()->createDocumentType(u"t", nullptr, nullptr);
  XMLBuffer buffer;
  QelUniString string;
  const std::function<void()> calls[] = {
      [] { tavAddElem(nullptr, u"e"); },   [] { tavAddText(nullptr, u"t"); },    [] { tavAddComment(nullptr, u"c"); },
      [] { tavAddCDATA(nullptr, u"c"); },  [] { tavAddEntRef(nullptr, u"e"); },  [] { tavSetText(nullptr, u"t"); },
      [&] { tavSetText(type, u"t"); },     [&] { tavGetText(nullptr, buffer); }, [&] { tavGetText(nullptr, string); },
      [] { tavCleanNode(nullptr, true); }, [] { qelGetNodeTypeStr(nullptr); }};
  for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(errorOf(calls[i]).getRc(), QELRC_DOM_API_ERROR) << i;
  EXPECT_STREQ(errorOf([&] { tavAddElem(type, u"e"); }).getMessage(),
               "tavAddElem: the parent node has no owner document");
  EXPECT_STREQ(errorOf([&] { tavSetText(type, u"x"); }).getMessage(), "tavSetText: the node has no owner document");
  type->release();
}

TEST(Editing, NodesAreAppendedUnderTheParentAndSetTextReplacesTheChildren) {
  DocPtr doc(qelCreateDoc());
  DOMElement* root = tavAddElem(doc.get(), u"r");
  tavAddComment(doc.get(), u"c"), tavAddPi(doc.get(), u"p", u"d");
  tavAddText(root, u"a<b"), tavAddCDATA(root, u"]]x");
  EXPECT_EQ(tavAddElem(root, u"e")->getOwnerDocument(), doc.get());
  DOMEntityReference* ref = tavAddEntRef(root, u"ent");
  EXPECT_EQ(ref, root->getLastChild());
  EXPECT_EQ(errorOf<DOMException>([&] { tavSetText(doc.get(), u"x"); }).code, DOMException::HIERARCHY_REQUEST_ERR);
  EXPECT_EQ(write(doc.get(), 0), "<r>a&lt;b<![CDATA[]]x]]><e/></r><!--c--><?p d?>");
  root->setAttribute(u"a", u"1");
  EXPECT_TRUE(tavSetText(root, u"new") == root->getFirstChild() && !ref->getParentNode());
  EXPECT_EQ(write(root, 0), "<r a=\"1\">new</r>");
  EXPECT_TRUE(tavGetDoc(doc->createElement(u"loose")) == doc.get() && tavGetDoc(doc.get()) == doc.get());
}

// Against Xerces-C's text content, for every element of random documents:
// the text and CDATA below it in document order, entity references entered,
// appended to what the holder held; null for a node without children.
TEST(GetText, IsTheDomsTextContentAppendedToTheHolder) {
  std::mt19937 rng(18);
  const char* const pieces[] = {"t", "<![CDATA[c]]>", "<!--m-->", "<?p d?>", "&e;", "<x/>"};
  std::function<std::string(int)> content = [&](int depth) {
    std::string s;
    for (unsigned n = rng() % 5, k; n-- > 0; s += std::string(rng() % 2, static_cast<char>('0' + depth)))
      s += (k = rng() % 7) < 6 ? pieces[k] : depth < 5 ? "<x>" + content(depth + 1) + "</x>" : "";
    return s;
  };
  for (int i = 0; i < 300; ++i) {
    DocPtr doc = xercesDom("<!DOCTYPE r [<!ENTITY e 'i<b>n<!--s--></b>'>]><r>" + content(0) + "</r>");
    for (XMLSize_t k = 0; const DOMNode* node = doc->getElementsByTagName(u"*")->item(k); ++k) {
      XMLBuffer buffer;
      buffer.append(u"P");
      QelUniString string(u"P");
      const XMLCh *fromBuffer = tavGetText(node, buffer), *fromString = tavGetText(node, string);
      const std::u16string expected = node->hasChildNodes() ? u"P" + std::u16string(node->getTextContent()) : u"-";
      ASSERT_EQ(std::u16string(fromBuffer ? fromBuffer : u"-"), expected) << i << " " << k;
      ASSERT_EQ(std::u16string(fromString ? fromString : u"-"), expected) << i << " " << k;
    }
  }
}

TEST(Removal, RemoveDetachesAndCleanEmptiesChildrenAndOnRequestAttributes) {
  DocPtr doc = xercesDom("<!DOCTYPE r><?p d?><r a='1' b='2'><e/>t<e/></r><!--c-->");
  DOMElement* root = doc->getDocumentElement();
  DOMNode* e = root->getFirstChild();
  EXPECT_TRUE(tavRemoveNode(nullptr) && tavRemoveNode(e) && !e->getParentNode());
  EXPECT_FALSE(tavRemoveNode(e) || tavRemoveNode(doc.get()));
  tavCleanNode(root, false);
  EXPECT_EQ(write(root, 0), "<r a=\"1\" b=\"2\"/>");
  tavAddElem(root, u"e"), tavCleanNode(root, true);
  EXPECT_EQ(write(root, 0), "<r/>");
  tavCleanNode(doc.get(), false);
  EXPECT_TRUE(!doc->hasChildNodes() && !doc->getDoctype());
}

// Counts in decimal whatever the stream is set to; the library's own texts
// for DOM exceptions, an internal error for codes it has none for; copies
// into a string that replace its text or leave it alone.
TEST(Diagnostics, NodeAndExceptionTextsAndStringCopies) {
  DocPtr doc = xercesDom("<!DOCTYPE r [<!NOTATION n SYSTEM 'n'>]><r x='1' y=''>h\xC3\xA9<b/></r>");
  DOMElement* r = doc->getDocumentElement();
  std::ostringstream os;
  os << std::hex << std::showbase << static_cast<DOMNode*>(nullptr) << "|" << r << "|" << r->getFirstChild();
  EXPECT_EQ(os.str(),
            "Node( NULL )|Node( type(Element) name(r) value() numOfChilds(2) Attr0( (x) (1) ) Attr1( (y) () ) )|"
            "Node( type(Text) name(#text) value(h\xC3\xA9) numOfChilds(0) )");
  EXPECT_EQ(qelGetNodeTypeStr(doc.get()) + qelGetNodeTypeStr(doc->getDoctype()->getNotations()->item(0)),
            "DocumentNotation");
  const std::pair<short, const char*> codes[] = {
      {1, "Index or size"}, {3, "A node is inserted somewhere"}, {15, "A parameter"}, {0, "NULL"}, {16, "NULL"}};
  for (const auto& [code, message] : codes) {
    TraceCapture trace("QELRT=0x80");
    const std::string got = qelGetErrorMsg(DOMException(code));
    EXPECT_EQ(got.rfind("DOMException(" + std::to_string(code) + "): " + message, 0), 0u) << got;
    EXPECT_EQ(trace.has("Internal error: 0"), std::string(message) == "NULL") << code;
  }
  XMLPlatformUtilsException xml("file.cpp", 77, XMLExcepts::CPtr_PointerIsZero);
  EXPECT_EQ(qelGetErrorMsg(xml), qelToMbcs(xml.getMessage()) + " ( line 77 )");
  EXPECT_THROW(qelGetErrorMsg(XMLPlatformUtilsException("f", 1, XMLExcepts::Out_Of_Memory)), std::bad_alloc);
  EXPECT_EQ(qelGetErrorMsg(SAXParseException(u"b\u00E9 d", u"p", u"s", 4000000000ull, 14)),
            "b\xC3\xA9 d ( line 4000000000, char 14 )");
  EXPECT_THROW(qelGetErrorMsg(SAXParseException(u"operator new fails", nullptr, nullptr, 1, 1)), std::bad_alloc);
  EXPECT_EQ(qelGetErrorMsg(SAXParseException(u"operator new fail", nullptr, nullptr, 1, 1)),
            "operator new fail ( line 1, char 1 )");
  // A copy replaces the target's text; an empty or null source leaves it alone.
  std::u16string target = u"abc";
  XMLBuffer empty, xy;
  xy.append(u"xy");
  EXPECT_EQ(qelStrCopy(qelStrCopy(qelStrCopy(target, empty), static_cast<const XMLCh*>(nullptr)), u""), u"abc");
  EXPECT_EQ(qelStrCopy(target, xy), u"xy");
  EXPECT_TRUE(&qelStrCopy(qelStrCopy(target, u"longer text"), u"s") == &target && target == u"s");
}

TEST(DomStr, NullEqualsEmptyAndTheLengthIsCountedOnce) {
  XMLCh hello[] = u"hello";
  QelDomStr none, view(hello), three(hello, 3);
  EXPECT_TRUE(none.isNull() && none.empty() && none.equals(u"") && QelDomStr(u"").equals(none.getBuffer()));
  EXPECT_FALSE(QelDomStr(u"").isNull() || QelDomStr(u"a").equals(none.getBuffer()) || QelDomStr::equals(nullptr, u"a"));
  EXPECT_TRUE(QelDomStr(u"caf\u00E9").equals("caf\xC3\xA9") && !three.equals(u"hell") && view.length() == 5);
  hello[2] = 0;  // the view keeps its count; comparison and output read up to the zero
  EXPECT_EQ(static_cast<std::u16string>(view) + u"|" + static_cast<std::u16string>(three),
            std::u16string(hello, 5) + u"|" + std::u16string(hello, 3));
  EXPECT_EQ((std::ostringstream() << none << "|" << QelDomStr(u"") << "|" << three).str(), "NULL||he");
}

}  // namespace
