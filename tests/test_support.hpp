// Helpers shared by the test programs, by topic: documents and the XML
// platform, bytes and text, files, the library's calls as the tests make
// them, threads and the trace, bare Xerces-C and the comparison of its DOM
// with the library's, and the network.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <xercesc/framework/MemBufInputSource.hpp>

#include "mox.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"

namespace qeltest {

// --- documents and the XML platform ----------------------------------------------------------

// Owns a DOM document.
struct DocDeleter {
  void operator()(xercesc::DOMDocument* d) const { d->release(); }
};
using DocPtr = std::unique_ptr<xercesc::DOMDocument, DocDeleter>;

// The start-up hook: starts the XML platform before the first test, for the
// programs whose tests build Xerces-C objects before any call of the library:
//   ::testing::AddGlobalTestEnvironment(new qeltest::Platform)
struct Platform : ::testing::Environment {
  void SetUp() override { tavDomInit(); }
};

// Runs `body` in a fresh run of this program started for this test alone
// (gtest's threadsafe death-test style), so that process-wide first-use state
// (platform, once-only slots, model library) is untouched whatever ran
// before; the test fails when a check inside fails.
template <typename Fn>
void inFreshProcess(Fn body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((body(), std::exit(::testing::Test::HasFailure() ? 1 : 0)), ::testing::ExitedWithCode(0), "");
}

// --- bytes and text --------------------------------------------------------------------------

using Lines = std::vector<std::string>;

// A string of the library's UTF-16 in the process code page (UTF-8).
inline std::string u8(const XMLCh* s) { return qelToMbcs(s); }

// The bytes of a text in UTF-16 of either order, without a mark.
inline std::string utf16Bytes(const std::u16string& text, bool bigEndian) {
  std::string out;
  for (char16_t c : text) out += bigEndian ? std::string{char(c >> 8), char(c)} : std::string{char(c), char(c >> 8)};
  return out;
}

// Where two texts part: the offset and a little of each around it.
inline std::string firstDifference(const std::string& a, const std::string& b) {
  size_t i = std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first - a.begin();
  return "at " + std::to_string(i) + ": ..." + a.substr(i < 40 ? 0 : i - 40, 80) + "\n versus ..." +
         b.substr(i < 40 ? 0 : i - 40, 80);
}

// ICU's own conversion to or from a code page (ucnv_fromUChars or
// ucnv_toUChars): characters the page lacks as XML hexadecimal references,
// bytes it cannot read substituted. The oracle for the library's converter.
template <typename Out, typename In, typename Convert>
Out icuConvert(const char* page, const In& in, Convert convert) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(page, &err);
  ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_ESCAPE, UCNV_ESCAPE_XML_HEX, nullptr, nullptr, &err);
  Out out(in.size() * 20 + 8, 0);
  out.resize(convert(conv, out.data(), int32_t(out.size()), in.data(), int32_t(in.size()), &err));
  ucnv_close(conv);
  return out;
}

// --- files -----------------------------------------------------------------------------------

// The whole content of a file; an exception when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder of its own under the system's temporary folder, removed with
// everything in it.
class ScratchDir {
  std::string m_pattern = (std::filesystem::temp_directory_path() / "qeltestXXXXXX").string();
  const std::filesystem::path m_path = mkdtemp(m_pattern.data());

 public:
  ~ScratchDir() { std::filesystem::remove_all(m_path); }
  // Writes a file (and the folders on its path); its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::filesystem::create_directories((m_path / name).parent_path());
    std::ofstream(m_path / name, std::ios::binary) << content;
    return path(name);
  }
  std::string path(const std::string& name) const { return (m_path / name).string(); }
};

// --- the library's calls ---------------------------------------------------------------------

// What the library's writer makes of a node.
inline std::string write(const xercesc::DOMNode* node, unsigned long options, const char* encoding = nullptr,
                         const xercesc::DOMDocumentType* type = nullptr) {
  std::string out;
  QelStringOutputStream stream(out);
  qelWriteNode(node, stream, options, encoding, type);
  return out;
}

// The library parser's document of a string.
inline DocPtr parse(const std::string& xml, unsigned long options = 0, const char* encoding = nullptr) {
  return DocPtr(qelParseDoc(xml.data(), xml.size(), options, encoding));
}

// The exception fn throws (a QelError unless asked otherwise); a test failure
// when it throws none.
template <typename E = QelError, typename Fn>
E errorOf(Fn fn) {
  try {
    fn();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing thrown";
  return E();
}

// The fields every error the library raises carries: its return code and
// operation (101, QELOP_REPOSITORY) with their names, its function and
// source, type 2.
inline void expectLibraryError(const QelError& e, long rc, const std::string& rcName, const std::string& function,
                               const std::string& sourcePath) {
  EXPECT_EQ(std::make_tuple(e.getRc(), e.getRcName(), e.getOp(), e.getOpName(), e.getFunction(), e.getSourcePath(),
                            e.getErrorType()),
            std::make_tuple(rc, rcName, 101L, std::string("QELOP_REPOSITORY"), function, sourcePath, 2));
}

// --- threads and the trace -------------------------------------------------------------------

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

// Captures the trace lines written while it lives, at the levels given (mox
// hands them over under its lock).
struct TraceCapture {
  explicit TraceCapture(const std::string& levels = "") {
    moxSetSink([this](const std::string& line) { lines.push_back(line); });
    moxSetTrace(levels);
  }
  ~TraceCapture() { moxSetTrace(""), moxSetSink(nullptr); }
  // The lines of one function of the library, without "QELDOM <function>: ".
  Lines of(const std::string& function) const {
    const std::string prefix = "QELDOM " + function + ": ";
    Lines out;
    for (const std::string& l : lines)
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }
  bool has(const std::string& piece) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(piece) != l.npos; });
  }

  Lines lines;
};

// --- bare Xerces-C, and its DOM against the library's ----------------------------------------

// Bare Xerces-C's document of the bytes read as from `systemId`, null when
// it reports an error. `plain`: a plain reader (entity references kept as
// nodes, no external DTD read); otherwise the library's settings for `opt`
// (validation, namespaces, no entity reference nodes).
inline DocPtr bareXerces(const std::string& xml, const char* systemId, unsigned long opt, bool plain) {
  xercesc::XercesDOMParser parser;  // without a handler: errors are counted
  parser.setValidationScheme(opt & QEL_PARSE_VALIDATE ? parser.Val_Always : parser.Val_Never);
  parser.setDoNamespaces(opt & QEL_PARSE_NAMESPACES);
  parser.setCreateEntityReferenceNodes(plain);
  parser.setLoadExternalDTD(!plain);
  try {
    parser.parse(xercesc::MemBufInputSource(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), systemId));
  } catch (...) {
    return nullptr;
  }
  return DocPtr(parser.getErrorCount() ? nullptr : parser.adoptDocument());
}

// Bare Xerces-C as a plain reader, the platform started.
inline DocPtr xercesDom(const std::string& xml) { return tavDomInit(), bareXerces(xml, "test", 0, true); }

// Bare Xerces-C with the library's settings for `opt`.
inline DocPtr bareDom(const std::string& xml, const char* systemId, unsigned long opt) {
  return bareXerces(xml, systemId, opt, false);
}

// The library parser's document of the same (null when it rejects them);
// `direct` tells whether it linked the nodes itself.
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

// The first difference between the DOM the library built (`got`, options
// without QEL_PARSE_TRIM) and bare Xerces-C's of the same input (`want`):
// kind, names, namespace, value, attributes in order with their specified
// and ID flags (and getElementById), the declaration, the document type with
// its internal subset, entities and notations; and every parent, sibling and
// owner link of `got`. Empty when they agree. The library's documented
// differences are applied to `want`: consecutive CDATA sections are one
// section, an empty one is dropped outside xml:space="preserve" (and the
// text around it joins), the internal subset may differ in blank lines, and
// the encoding properties name what the library's recognizer settled on, so
// they are not compared.
class DomDiff {
 public:
  DomDiff(const xercesc::DOMDocument* got, const xercesc::DOMDocument* want) {
    const std::u16string a = got ? dump(got, got, false, false) : u"", b = want ? dump(want, want, false, true) : u"";
    if (a != b) m_why = !got ? "bare only" : !want ? "library only" : firstDifference(u8(a.c_str()), u8(b.c_str()));
  }
  const std::string& why() const { return m_why; }

 private:
  using Node = xercesc::DOMNode;
  static std::u16string str(const XMLCh* s) { return s ? u"|" + std::u16string(s) : u"|(null)"; }
  // What identifies a document, a document type, an entity or a notation.
  static std::u16string ids(const Node* n) {
    if (auto* d = dynamic_cast<const xercesc::DOMDocument*>(n))
      return str(d->getXmlVersion()) + str(d->getDocumentURI()) + (d->getXmlStandalone() ? u"|standalone" : u"");
    if (auto* e = dynamic_cast<const xercesc::DOMEntity*>(n))
      return str(e->getPublicId()) + str(e->getSystemId()) + str(e->getNotationName()) + str(e->getXmlVersion());
    if (auto* t = dynamic_cast<const xercesc::DOMNotation*>(n)) return str(t->getPublicId()) + str(t->getSystemId());
    auto* d = dynamic_cast<const xercesc::DOMDocumentType*>(n);
    std::u16string subset;  // without blank lines
    for (std::u16string line, all = d && d->getInternalSubset() ? d->getInternalSubset() + std::u16string(u"\n") : u"";
         !all.empty(); all.erase(0, line.size() + 1))
      if ((line = all.substr(0, all.find(u'\n'))).find_first_not_of(u" \t\r") != line.npos) subset += line + u"\n";
    return d ? str(d->getPublicId()) + str(d->getSystemId()) + subset : u"";
  }

  // A node and all below it as text: `want` as the library builds it, with
  // the links of the other checked.
  static std::u16string dump(const Node* n, const xercesc::DOMDocument* doc, bool preserve, bool want) {
    std::u16string out = u"\n" + std::u16string(1, u'@' + n->getNodeType()) + str(n->getNodeName()) +
                         str(n->getNamespaceURI()) + str(n->getPrefix()) + str(n->getLocalName()) +
                         str(n->getNodeValue()) + ids(n);
    if (!want && n->getOwnerDocument() != (n == doc ? nullptr : doc)) out += u" !owner document";
    if (auto* e = dynamic_cast<const xercesc::DOMElement*>(n); e && e->hasAttribute(u"xml:space"))
      preserve = std::u16string(e->getAttribute(u"xml:space")) == u"preserve";
    auto* type = dynamic_cast<const xercesc::DOMDocumentType*>(n);
    for (auto* map : {n->getAttributes(), type ? type->getEntities() : nullptr, type ? type->getNotations() : nullptr})
      for (XMLSize_t i = 0; map && i < map->getLength(); ++i) {
        if (auto* a = dynamic_cast<const xercesc::DOMAttr*>(map->item(i)))
          out += std::u16string(a->getSpecified() ? u" specified" : u"") + (a->isId() ? u" id" : u"") +
                 (doc->getElementById(a->getValue()) == n ? u" byId" : u"") +
                 (!want && a->getOwnerElement() != n ? u" !owner element" : u"");
        out += dump(map->item(i), doc, true, want);
      }
    const Node* previous = nullptr;
    XMLSize_t i = 0;
    short last = 0;  // the kind of text `out` ends with, 0 after other nodes
    for (const Node* c = n->getFirstChild(); c; previous = c, c = c->getNextSibling(), ++i) {
      const short kind = c->getNodeType();
      const bool text = kind == Node::TEXT_NODE || kind == Node::CDATA_SECTION_NODE;
      if (!want && (c->getParentNode() != n || c->getPreviousSibling() != previous ||
                    n->getChildNodes()->item(i) != c || c->getOwnerDocument() != doc))
        out += u" !links";
      if (want && kind == Node::CDATA_SECTION_NODE && !*c->getNodeValue() && !preserve) continue;
      if (!text) out += dump(c, doc, preserve, want);
      if (text && !(want && last == kind)) out += u"\n" + std::u16string(1, u'@' + kind) + u"|";  // a run of its own
      if (text) out += c->getNodeValue();
      last = text ? kind : 0;
    }
    if (!want && (n->getLastChild() != previous || n->getChildNodes()->getLength() != i)) out += u" !last child";
    return out;
  }

  std::string m_why;
};

// --- the network -----------------------------------------------------------------------------

// Sends every http fetch to a closed local port: it fails at once instead of
// reaching the network. The loopback address is reached directly.
inline bool noNetwork() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY"})
    setenv(name, "http://127.0.0.1:9", 1);
  return setenv("no_proxy", "127.0.0.1", 1) == 0;
}

// An HTTP server on 127.0.0.1 for the tests of external resources: it answers
// each GET with the body its path maps to (404 for others) and counts the
// requests. A silent one accepts and never answers, and drops its connections
// after 10 s, so that a client without a time-out fails instead of waiting.
class LoopbackServer {
 public:
  using Bodies = std::map<std::string, std::string>;
  explicit LoopbackServer(Bodies bodies, bool silent = false) : m_bodies(std::move(bodies)), m_silent(silent) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listen, 16) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no loopback listener");
    m_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    m_thread = std::thread([this] {
      for (int fd; (fd = accept(m_listen, nullptr, nullptr)) >= 0; close(fd)) ++m_connections, answer(fd);
    });
  }
  // The shutdown ends the wait in accept.
  ~LoopbackServer() { shutdown(m_listen, SHUT_RDWR), m_thread.join(), close(m_listen); }
  std::string url(const std::string& path) const { return m_url + path; }
  int connections() const { return m_connections; }
  int requests() const { return m_requests; }

 private:
  // Reads the request and answers it; a silent server waits instead until
  // the client gives up, 10 s at most.
  void answer(int fd) {
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request;
    char buffer[1024];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos; request.append(buffer, n))
      if ((n = recv(fd, buffer, sizeof buffer, 0)) <= 0) return;
    if (m_silent) return (void)recv(fd, buffer, sizeof buffer, 0);
    ++m_requests;
    auto it = m_bodies.find(request.substr(4, request.find(' ', 4) - 4));  // "GET /path HTTP/1.1"
    const std::string reply =
        it == m_bodies.end() ? "HTTP/1.0 404 Not Found\r\n\r\n" : "HTTP/1.0 200 OK\r\n\r\n" + it->second;
    send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  }

  const Bodies m_bodies;
  const bool m_silent;
  const int m_listen = socket(AF_INET, SOCK_STREAM, 0);
  std::string m_url;
  std::atomic<int> m_connections{0}, m_requests{0};
  std::thread m_thread;
};

}  // namespace qeltest
