// Helpers shared by the test programs: the owner of a DOM document, threads
// released at the same moment, captured trace lines, byte strings, a scratch
// folder, a loopback HTTP server, the library's write and parse calls in the
// form the tests use them, and a node by node comparison of the library's DOM
// with bare Xerces-C's.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include "mox.hpp"
#include "qeldom.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"

namespace qeltest {

struct DocDeleter {
  void operator()(xercesc::DOMDocument* d) const {
    if (d) d->release();
  }
};
using DocPtr = std::unique_ptr<xercesc::DOMDocument, DocDeleter>;
using Lines = std::vector<std::string>;

// Starts the XML platform before the first test, for programs whose tests
// build Xerces-C objects before any call of the library:
//   ::testing::AddGlobalTestEnvironment(new qeltest::Platform)
class Platform : public ::testing::Environment {
 public:
  void SetUp() override { tavDomInit(); }
};

// Sends every http fetch to a closed local port: it fails at once instead of
// reaching the network. The loopback address is reached directly.
inline bool noNetwork() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY"})
    setenv(name, "http://127.0.0.1:9", 1);
  setenv("no_proxy", "127.0.0.1", 1);
  return true;
}

// A folder of its own under the system's temporary folder, removed with
// everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qeltestXXXXXX").string();
    m_path = mkdtemp(pattern.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(m_path); }
  std::string write(const std::string& name, const std::string& content) const {
    std::filesystem::path p = m_path / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  std::string path(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// An HTTP server on 127.0.0.1 for the tests of external resources: it answers
// each GET with the body its path maps to (404 for others) and counts the
// requests. A silent one accepts and never answers, and drops its connections
// after 10 s, so that a client without a time-out fails instead of waiting.
class LoopbackServer {
 public:
  using Bodies = std::map<std::string, std::string>;
  explicit LoopbackServer(Bodies bodies, bool silent = false)
      : m_bodies(std::move(bodies)), m_silent(silent), m_listen(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listen, 16) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no loopback listener");
    m_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    m_thread = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
  }
  std::string url(const std::string& path) const { return m_url + path; }
  int connections() const { return m_connections; }
  int requests() const { return m_requests; }

 private:
  void serve() {
    std::vector<int> held;
    for (const auto start = std::chrono::steady_clock::now(); !m_stop;) {
      pollfd ready{m_listen, POLLIN, 0};
      if (poll(&ready, 1, 20) > 0) {
        held.push_back(accept(m_listen, nullptr, nullptr));
        ++m_connections;
        if (!m_silent) answer(held.back());
      }
      if (!m_silent || std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
        for (int fd : held) close(fd);
        held.clear();
      }
    }
    for (int fd : held) close(fd);
  }
  void answer(int fd) {
    std::string request;
    char buffer[1024];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos; request.append(buffer, n))
      if ((n = recv(fd, buffer, sizeof buffer, 0)) <= 0) return;
    ++m_requests;
    auto it = m_bodies.find(request.substr(4, request.find(' ', 4) - 4));  // "GET /path HTTP/1.1"
    const std::string body = it == m_bodies.end() ? "" : it->second;
    const std::string reply = std::string(it == m_bodies.end() ? "HTTP/1.0 404 Not Found" : "HTTP/1.0 200 OK") +
                              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return;
  }

  const Bodies m_bodies;
  const bool m_silent;
  const int m_listen;
  std::string m_url;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0}, m_requests{0};
  std::thread m_thread;
};

// Runs fn(i) for i in [0, n) on n threads released at the same moment.
template <typename Fn>
void race(int n, Fn fn) {
  std::atomic<int> waiting{n};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      fn(i);
    });
  for (std::thread& t : threads) t.join();
}

// Captures the trace lines written while it lives, with the levels given.
class TraceCapture {
 public:
  explicit TraceCapture(const std::string& levels = "") {
    moxSetSink([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_lines.push_back(line);
    });
    moxSetTrace(levels);
  }
  ~TraceCapture() {
    moxSetTrace("");
    moxSetSink(nullptr);
  }
  Lines lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
  }
  // The lines of one function of the library, without "QELDOM <function>: ".
  Lines of(const std::string& function) const {
    const std::string prefix = "QELDOM " + function + ": ";
    Lines out;
    for (const std::string& l : lines())
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }
  bool has(const std::string& piece) const {
    for (const std::string& l : lines())
      if (l.find(piece) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex m_lock;
  Lines m_lines;
};

inline std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

inline std::string hex(const std::string& data) {
  std::string out;
  char piece[4];
  for (unsigned char c : data) {
    std::snprintf(piece, sizeof piece, "%02X ", c);
    out += piece;
  }
  return out;
}

inline std::string utf16Bytes(const std::u16string& text, bool bigEndian) {
  std::string out;
  for (char16_t c : text) {
    char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

inline std::string u8(const XMLCh* s) { return qelToMbcs(s); }

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// What a shell command writes to its standard output.
inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

inline std::string write(const xercesc::DOMNode* node, unsigned long options, const char* encoding = nullptr,
                         const xercesc::DOMDocumentType* type = nullptr) {
  std::string out;
  QelStringOutputStream stream(out);
  qelWriteNode(node, stream, options, encoding, type);
  return out;
}

inline DocPtr parse(const std::string& xml, unsigned long options = 0, const char* encoding = nullptr) {
  return DocPtr(qelParseDoc(xml.data(), xml.size(), options, encoding));
}

// The library error fn raises; a test failure when it raises none.
template <typename Fn>
QelError errorOf(Fn fn) {
  try {
    fn();
  } catch (const QelError& e) {
    return e;
  }
  ADD_FAILURE() << "no QelError";
  return QelError();
}

// The fields every error the library raises carries: its return code and
// operation (101, QELOP_REPOSITORY) with their names, its function and
// source, type 2.
inline void expectLibraryError(const QelError& e, long rc, const std::string& rcName, const std::string& function,
                               const std::string& sourcePath) {
  EXPECT_EQ(e.getRc(), rc);
  EXPECT_EQ(e.getRcName(), rcName);
  EXPECT_EQ(e.getOp(), 101);
  EXPECT_EQ(e.getOpName(), "QELOP_REPOSITORY");
  EXPECT_EQ(e.getFunction(), function);
  EXPECT_EQ(e.getSourcePath(), sourcePath);
  EXPECT_EQ(e.getErrorType(), 2);
}

// The code of the DOMException fn raises, 0 when none.
template <typename Fn>
short domCode(Fn fn) {
  try {
    fn();
  } catch (const xercesc::DOMException& e) {
    return e.code;
  }
  return 0;
}

// The content of a node as a parser sees it: runs of text and CDATA merged
// (empty runs are no content), entity references replaced by their
// children, comments kept or left out.
inline void contentItems(const xercesc::DOMNode* node, bool comments,
                         std::vector<std::pair<const xercesc::DOMNode*, std::u16string>>& out) {
  using xercesc::DOMNode;
  for (const DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    const short t = c->getNodeType();
    if (t == DOMNode::ENTITY_REFERENCE_NODE) {
      contentItems(c, comments, out);
    } else if (t == DOMNode::TEXT_NODE || t == DOMNode::CDATA_SECTION_NODE) {
      if (!*c->getNodeValue()) continue;
      if (out.empty() || out.back().first) out.emplace_back(nullptr, u"");
      out.back().second += c->getNodeValue();
    } else if (t == DOMNode::ELEMENT_NODE || t == DOMNode::PROCESSING_INSTRUCTION_NODE ||
               (comments && t == DOMNode::COMMENT_NODE)) {
      out.emplace_back(c, u"");
    }
  }
}

// What a parser reads back of a text the writer left its white space in
// (no character references asked for): CR LF and CR in text as LF, TAB, LF
// and CR in an attribute value as spaces.
inline std::u16string readBack(std::u16string text, bool attribute) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (attribute && (c == u'\t' || c == u'\n' || c == u'\r'))
      out += u' ';
    else if (!attribute && c == u'\r')
      out += (i + 1 < text.size() && text[i + 1] == u'\n') ? u"" : u"\n";
    else
      out += c;
  }
  return out;
}

// Whether two trees hold the same content: names, values, attributes (in any
// order) and the items above; `why` says where they part. With `rawSpace`,
// `a` is compared as a parser reads it back from text with its white space
// left in (readBack).
inline bool sameContent(const xercesc::DOMNode* a, const xercesc::DOMNode* b, bool comments, std::string& why,
                        bool rawSpace = false) {
  auto value = [](const xercesc::DOMNode* n) { return std::u16string(n->getNodeValue() ? n->getNodeValue() : u""); };
  auto attributes = [&](const xercesc::DOMNode* n, bool read) {
    std::map<std::u16string, std::u16string> m;
    const xercesc::DOMNamedNodeMap* map = n->getAttributes();
    for (XMLSize_t i = 0; map && i < map->getLength(); ++i)
      m[map->item(i)->getNodeName()] = read ? readBack(value(map->item(i)), true) : value(map->item(i));
    return m;
  };
  const std::string where = u8(a->getNodeName());
  if (std::u16string(a->getNodeName()) != b->getNodeName())
    return why = "name " + where + " vs " + u8(b->getNodeName()), false;
  if (value(a) != value(b)) return why = "value of " + where, false;
  if (attributes(a, rawSpace) != attributes(b, false)) return why = "attributes of " + where, false;
  std::vector<std::pair<const xercesc::DOMNode*, std::u16string>> ia, ib;
  contentItems(a, comments, ia);
  contentItems(b, comments, ib);
  if (ia.size() != ib.size()) return why = "child count of " + where, false;
  for (size_t i = 0; i < ia.size(); ++i) {
    if (!ia[i].first != !ib[i].first) return why = "child kinds of " + where, false;
    const std::u16string text = rawSpace ? readBack(ia[i].second, false) : ia[i].second;
    if (!ia[i].first && text != ib[i].second)
      return why = "text in " + where + ": [" + u8(text.c_str()) + "] vs [" + u8(ib[i].second.c_str()) + "]", false;
    if (ia[i].first && !sameContent(ia[i].first, ib[i].first, comments, why, rawSpace)) return false;
  }
  return true;
}

// --- the library's DOM against bare Xerces-C's ---------------------------------------------------

// The library parser's document of the bytes read as from `systemId` (null
// when it rejects them); `direct` tells whether it linked the nodes itself.
inline DocPtr libraryDom(const std::string& xml, const char* systemId, unsigned long opt, bool* direct = nullptr) {
  xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), systemId);
  QelXmlParser parser(opt, nullptr, source);
  try {
    parser.parse(source);
  } catch (...) {
    return nullptr;
  }
  if (direct) *direct = parser.buildsDirectly();
  return DocPtr(parser.detachDocument());
}

// The same from a bare XercesDOMParser with the library's settings for `opt`
// (validation, namespaces, no entity reference nodes).
inline DocPtr bareDom(const std::string& xml, const char* systemId, unsigned long opt) {
  struct Thrower : xercesc::HandlerBase {
    void error(const xercesc::SAXParseException& e) override { throw e; }
  } handler;
  xercesc::XercesDOMParser parser;
  parser.setValidationScheme(opt & QEL_PARSE_VALIDATE ? parser.Val_Always : parser.Val_Never);
  parser.setDoNamespaces(opt & QEL_PARSE_NAMESPACES);
  parser.setCreateEntityReferenceNodes(false);
  parser.setErrorHandler(&handler);
  try {
    parser.parse(xercesc::MemBufInputSource(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), systemId));
  } catch (...) {
    return nullptr;
  }
  return DocPtr(parser.adoptDocument());
}

// The first difference between the DOM the library built (`got`, options
// without QEL_PARSE_TRIM) and bare Xerces-C's of the same input (`want`),
// node by node: kind, names, namespace, value, attributes in order with
// their specified and ID flags (and getElementById), the document type with
// its internal subset, entities and notations, and every parent, sibling and
// owner link of `got` both ways. Empty when they agree. The library's
// documented differences are applied to `want`: consecutive CDATA sections
// are one section, an empty one is dropped outside xml:space="preserve" (and
// the text around it joins), the internal subset may differ in blank lines,
// and the encoding properties (of the document and its entities) name the
// encodings the library's recognizer settled on, so they are not compared.
class DomDiff {
 public:
  using Node = xercesc::DOMNode;
  DomDiff(const xercesc::DOMDocument* got, const xercesc::DOMDocument* want) : m_got(got), m_want(want) {
    if (!got || !want) m_why = got ? "library only" : want ? "bare only" : "";
    if (!m_why.empty() || !got) return;
    if (got->getXmlStandalone() != want->getXmlStandalone() ||
        str(got->getXmlVersion()) + str(got->getDocumentURI()) !=
            str(want->getXmlVersion()) + str(want->getDocumentURI()))
      m_why = "declaration or URI";
    node(got, want, false, "");
  }
  const std::string& why() const { return m_why; }

 private:
  static std::u16string str(const XMLCh* s) { return s ? s : u"(null)"; }
  static std::u16string ids(const Node* n) {  // what identifies an entity, notation or document type
    if (auto* e = dynamic_cast<const xercesc::DOMEntity*>(n))
      return str(e->getPublicId()) + str(e->getSystemId()) + str(e->getNotationName()) + str(e->getXmlVersion());
    if (auto* t = dynamic_cast<const xercesc::DOMNotation*>(n)) return str(t->getPublicId()) + str(t->getSystemId());
    auto* d = dynamic_cast<const xercesc::DOMDocumentType*>(n);
    if (!d) return u"";
    std::u16string subset;  // without blank lines
    for (std::u16string line, all = str(d->getInternalSubset()) + u"\n"; !all.empty(); all.erase(0, line.size() + 1))
      if ((line = all.substr(0, all.find(u'\n'))).find_first_not_of(u" \t\r") != line.npos) subset += line + u"\n";
    return str(d->getPublicId()) + str(d->getSystemId()) + subset;
  }
  bool fail(const std::string& where, const std::string& what) {
    if (m_why.empty()) m_why = where + ": " + what;
    return false;
  }

  bool node(const Node* a, const Node* b, bool preserve, std::string where) {
    where += "/" + u8(a->getNodeName());
    if (a->getNodeType() != b->getNodeType() || str(a->getNodeName()) != str(b->getNodeName()) ||
        str(a->getNamespaceURI()) + str(a->getPrefix()) + str(a->getLocalName()) + str(a->getNodeValue()) + ids(a) !=
            str(b->getNamespaceURI()) + str(b->getPrefix()) + str(b->getLocalName()) + str(b->getNodeValue()) + ids(b))
      return fail(where, "kind, name, namespace, value or ids; expected " + u8(b->getNodeName()));
    if (a->getOwnerDocument() != (a == m_got ? nullptr : m_got)) return fail(where, "owner document");
    if (auto* e = dynamic_cast<const xercesc::DOMElement*>(a))
      if (e->hasAttribute(u"xml:space")) preserve = str(e->getAttribute(u"xml:space")) == u"preserve";
    std::vector<std::pair<const xercesc::DOMNamedNodeMap*, const xercesc::DOMNamedNodeMap*>> maps{
        {a->getAttributes(), b->getAttributes()}};
    if (auto* t = dynamic_cast<const xercesc::DOMDocumentType*>(a)) {
      auto* u = static_cast<const xercesc::DOMDocumentType*>(b);
      maps = {{t->getEntities(), u->getEntities()}, {t->getNotations(), u->getNotations()}};
    }
    for (auto [ma, mb] : maps) {
      if (!ma != !mb || (ma && ma->getLength() != mb->getLength())) return fail(where, "attributes or declarations");
      for (XMLSize_t i = 0; ma && i < ma->getLength(); ++i) {
        auto *x = dynamic_cast<const xercesc::DOMAttr*>(ma->item(i)),
             *y = dynamic_cast<const xercesc::DOMAttr*>(mb->item(i));
        if (x && (x->getSpecified() != y->getSpecified() || x->isId() != y->isId() || x->getOwnerElement() != a ||
                  (m_got->getElementById(x->getValue()) == a) != (m_want->getElementById(y->getValue()) == b)))
          return fail(where, "flags, owner or getElementById of attribute " + u8(x->getName()));
        if (!node(ma->item(i), mb->item(i), true, where)) return false;
      }
    }
    return children(a, b, preserve, where);
  }

  // The children of `b` as the library builds them, against those of `a`.
  bool children(const Node* a, const Node* b, bool preserve, const std::string& where) {
    std::vector<std::pair<const Node*, std::u16string>> want;  // a node, and its value joined with the next ones'
    for (const Node* c = b->getFirstChild(); c; c = c->getNextSibling()) {
      const short type = c->getNodeType();
      if (type == Node::CDATA_SECTION_NODE && !*c->getNodeValue() && !preserve) continue;
      if ((type == Node::TEXT_NODE || type == Node::CDATA_SECTION_NODE) && !want.empty() &&
          want.back().first->getNodeType() == type)
        want.back().second += c->getNodeValue();
      else
        want.emplace_back(c, str(c->getNodeValue()));
    }
    const Node* previous = nullptr;
    size_t i = 0;
    for (const Node* c = a->getFirstChild(); c; previous = c, c = c->getNextSibling(), ++i) {
      if (c->getParentNode() != a || c->getPreviousSibling() != previous || a->getChildNodes()->item(i) != c ||
          i >= want.size())
        return fail(where, "links or count of child " + std::to_string(i));
      if (c->getNodeType() == want[i].first->getNodeType() &&
          (c->getNodeType() == Node::TEXT_NODE || c->getNodeType() == Node::CDATA_SECTION_NODE)) {
        if (str(c->getNodeValue()) != want[i].second || c->getOwnerDocument() != m_got)
          return fail(where, "text [" + u8(c->getNodeValue()) + "]");
      } else if (!node(c, want[i].first, preserve, where)) {
        return false;
      }
    }
    if (i != want.size() || a->getLastChild() != previous || a->getChildNodes()->getLength() != i)
      return fail(where, "child count or last child");
    return true;
  }

  const xercesc::DOMDocument *m_got, *m_want;
  std::string m_why;
};

}  // namespace qeltest

// --- tests-b: Xerces-C's own start and end, and a fresh process ------------------------------
#include <dlfcn.h>

#include <xercesc/util/PlatformUtils.hpp>

namespace qeltest {

// Xerces-C's own XMLPlatformUtils::Initialize and Terminate, for the programs
// that export definitions of their own in front of them (frame.cmake).
inline void realInitialize(const char* locale, const char* nlsHome, xercesc::PanicHandler* panicHandler,
                           xercesc::MemoryManager* memoryManager) {
  using Fn = void (*)(const char*, const char*, xercesc::PanicHandler*, xercesc::MemoryManager*);
  static const Fn real = reinterpret_cast<Fn>(
      dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils10InitializeEPKcS2_PNS_12PanicHandlerEPNS_13MemoryManagerE"));
  real(locale, nlsHome, panicHandler, memoryManager);
}
inline void realTerminate() {
  using Fn = void (*)();
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN11xercesc_3_216XMLPlatformUtils9TerminateEv"));
  real();
}

// Runs `body` in a fresh run of this program, started for this test alone
// (gtest's threadsafe death-test style), so that the process-wide first-use
// state (platform, once-only slots, model library) is untouched whatever
// ran before; the test fails when a check inside fails.
template <typename Fn>
void inFreshProcess(Fn body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace qeltest
