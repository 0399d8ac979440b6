// Encoding recognition: the probe, the declaration scan (ASCII and code page
// 37 bytes), the final decision, the trace, and a corpus of real documents
// that must be recognized and then parsed by plain Xerces-C.
#include <algorithm>
#include <cstring>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include "nyl.hpp"
#include "qelenrec.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

class EncodingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tavDomInit(); }
};

struct Outcome {
  std::string name;    // what recognize returned
  std::string stored;  // the encoding on the input source afterwards ("<none>" for null)
  QelEncOrigin origin;
};

std::string storedOf(const InputSource& src) {
  return src.getEncoding() ? qelToMbcs(src.getEncoding()) : std::string("<none>");
}

Outcome recognize(const std::string& bytes, const char* supplied = nullptr) {
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "test");
  src.setCopyBufToStream(false);
  Outcome out;
  out.origin = QelEncOrigin::Caller;
  out.name = qelRecognizeEncoding(src, supplied, &out.origin).toString();
  out.stored = storedOf(src);
  return out;
}

// The same text in code page 37 (EBCDIC).
std::string cp37(const std::string& ascii) {
  QelNls nls(u"IBM037");
  std::u16string text = qelToUnicode(ascii.c_str(), static_cast<unsigned>(ascii.size()));
  QelAutoBuffer<char> out = nls.fromUnicode(text.c_str(), static_cast<long>(text.size()));
  return std::string(out.get(), out.size());
}

// --- probe -------------------------------------------------------------------------

TEST_F(EncodingTest, ProbeAndByteOrderMark) {
  using O = QelEncOrigin;
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  le += utf16Bytes(u"<?xml version='1.0' encoding='ISO-8859-1'?><a/>", false);
  be += utf16Bytes(u"<?xml version='1.0' encoding='ISO-8859-1'?><a/>", true);
  struct Row {
    std::string data;
    const char* supplied;
    const char* name;
    QelEncOrigin origin;
  };
  std::vector<Row> rows = {// A zero next to a byte that is neither "<" nor an ASCII space is not UTF-16.
                           {bytes({'a', 0, 'b', 0}), nullptr, "UTF-8", O::Probe},
                           {bytes({0, 'a', 0, 'b'}), nullptr, "UTF-8", O::Probe},
                           // The UTF-16 mark wins over the declaration and the supplied name (not looked at: no error).
                           {le, "windows-1252", "UTF-16LE", O::ByteOrderMark},
                           {be, "no-such-code-page", "UTF-16BE", O::ByteOrderMark},
                           {"\xFF\xFE", nullptr, "UTF-16LE", O::ByteOrderMark},
                           {"\xFE\xFF", nullptr, "UTF-16BE", O::ByteOrderMark},
                           // The EBCDIC carriage return does not make an input EBCDIC; a single byte
                           // undergoes the EBCDIC test only. Xerces-C cannot open "EBCDIC": IBM037.
                           {bytes({0x0D, 0x4C, 0x84}), nullptr, "UTF-8", O::Probe},
                           {bytes({0x4C}), nullptr, "IBM037", O::Probe},
                           {"<", nullptr, "UTF-8", O::Probe},
                           {" ", nullptr, "UTF-8", O::Probe},
                           {"", nullptr, "UTF-8", O::Probe}};
  for (char first : {'<', ' ', '\t', '\n', '\r'}) {  // UTF-16 without a mark, from the first two bytes
    rows.push_back({std::string{first, '\0', 'a', '\0'}, "ISO-8859-1", "UTF-16LE", O::Probe});
    rows.push_back({std::string{'\0', first, '\0', 'a'}, "ISO-8859-1", "UTF-16BE", O::Probe});
  }
  for (int first : {0x4C, 0x40, 0x25, 0x15, 0x05})
    rows.push_back({bytes({first, 0x84, 0x96, 0x83}), nullptr, "IBM037", O::Probe});
  for (const Row& r : rows) {
    SCOPED_TRACE(hex(r.data));
    Outcome o = recognize(r.data, r.supplied);
    EXPECT_EQ(o.name, r.name);
    EXPECT_EQ(o.stored, r.name);
    EXPECT_EQ(o.origin, r.origin);
  }
  LocalFileInputSource missing(u"/nonexistent/qeldom/encoding-test.xml");
  EXPECT_EQ(qelRecognizeEncoding(missing, nullptr).toString(), "UTF-8");
  EXPECT_EQ(storedOf(missing), "UTF-8");
}

TEST_F(EncodingTest, Ucs4LeavesTheInputSourceUntouched) {
  const std::pair<std::string, const char*> cases[] = {
      {bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, '<', 0, 0, 0, 'a'}), "UCS-4 (BE)"},
      {bytes({0xFF, 0xFE, 0, 0, '<', 0, 0, 0, 'a', 0, 0, 0}), "UCS-4 (LE)"}};
  for (const auto& [data, name] : cases) {
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(data.data()), data.size(), "ucs4");
    EXPECT_EQ(qelRecognizeEncoding(src, "no-such-code-page").toString(), name);
    EXPECT_EQ(src.getEncoding(), nullptr);
    src.setEncoding(u"kept");
    QelEncOrigin origin = QelEncOrigin::Caller;
    EXPECT_EQ(qelRecognizeEncoding(src, nullptr, &origin).toString(), name);
    EXPECT_EQ(storedOf(src), "kept");
    EXPECT_EQ(origin, QelEncOrigin::ByteOrderMark);
  }
}

// --- declaration scan ------------------------------------------------------------

// The declared name, or "-" when the scan found none (the result then comes
// from the probe).
std::string declared(const std::string& data) {
  Outcome o = recognize(data);
  if (o.origin != QelEncOrigin::Declaration) return "-";
  EXPECT_EQ(o.name, o.stored);
  return o.name;
}

// Each row as written (ASCII) and in code page 37 ("?": not meaningful there).
// A name is at most 31 characters, a version at most 19.
TEST_F(EncodingTest, DeclarationScanInBothFamilies) {
  const std::string v31(31, 'A'), v32(32, 'A'), n19(19, '1'), n20(20, '1');
  const struct {
    std::string text, ascii, ebcdic;
  } rows[] = {{"<?xml version='1.0' encoding='ISO-8859-1'?><a/>", "ISO-8859-1", "ISO-8859-1"},
              {"<?xml version=\"1.0\" encoding=\"iso-8859-2\"?>", "iso-8859-2", "iso-8859-2"},  // letter case kept
              {"<?xml encoding='UTF-8'?>", "UTF-8", "UTF-8"},                                   // no version
              {"<?xmlversion='1.0'encoding='x'", "x", "x"},                                     // no spaces at all
              {"<?xml version = '1.0' encoding = 'x'?>", "x", "x"},
              // Tab and line feed are spaces in both families; carriage return only in ASCII.
              {"<?xml \t\r\n version \t= \n'1.0'\r\n encoding \t=\r\n \"koi8-r\"?>", "koi8-r", "-"},
              {"<?xml version='1.0' standalone='yes' encoding='UTF-8'?>", "-", "-"},
              {"<?xml Version='1.0' encoding='x'?>", "-", "-"},
              {"<?xml version='1.0' Encoding='x'?>", "-", "-"},
              {"<?XML version='1.0' encoding='x'?>", "-", "-"},
              {"<?xml encoding=\"abc'?>" + std::string(40, ' '), "-", "-"},  // quotes must match
              {"<?xml encoding=\"ab'c\"?>", "ab'c", "ab'c"},
              {"<?xml version='1.0\" encoding=\"x' encoding=\"y\"?>", "y", "y"},  // the version ends at its own quote
              {"<?xml encoding='" + v31 + "'?>", v31, v31},
              {"<?xml encoding='" + v32 + "'?>", "-", "-"},
              {"<?xml encoding=''?>", "-", "-"},  // an empty value names nothing
              {"<?xml version='" + n19 + "' encoding='x'?>", "x", "x"},
              {"<?xml version='" + n20 + "' encoding='x'?>", "-", "-"},
              {"<?xml version='1.0' encoding 'x'?>", "-", "-"},
              {"<?xml version '1.0' encoding='x'?>", "-", "-"},
              {"<?xml version=1.0 encoding='x'?>", "-", "-"},
              {"<?xml encoding=x?>", "-", "-"},
              {"<?xml!!!!!!!!!!!!!!!!!", "-", "-"},
              {" <?xml encoding='x'?>", "-", "-"},
              {"<a/>", "-", "-"},
              {"\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?>", "-", "?"},
              {"<?xml\x40version='1.0' encoding='x'?>", "-", "?"}};  // 0x40, the EBCDIC space, is no space here
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(declared(r.text), r.ascii);
    if (r.ebcdic == "?") continue;
    Outcome o = recognize(cp37(r.text));
    EXPECT_EQ(o.origin == QelEncOrigin::Declaration ? o.name : "-", r.ebcdic) << "in code page 37";
    EXPECT_EQ(o.stored, r.ebcdic == "-" ? "IBM037" : r.ebcdic) << "in code page 37";
  }
  // EBCDIC spaces (space, line feed, new line, tab) are skipped; an ASCII space
  // is none in this family. ASCII bytes are not scanned with the EBCDIC
  // tables, nor the reverse.
  EXPECT_EQ(declared(cp37("<?xml") + bytes({0x40, 0x25, 0x15, 0x05}) + cp37("encoding") + bytes({0x05}) + cp37("=") +
                     bytes({0x15}) + cp37("'x'")),
            "x");
  EXPECT_EQ(declared(cp37("<?xml") + " " + cp37("encoding='x'")), "-");
  EXPECT_EQ(declared(cp37("<?xml encoding='x'?>").substr(0, 5) + "encoding='x'"), "-");
  EXPECT_EQ(declared("<?xml " + cp37("encoding='x'")), "-");
}

TEST_F(EncodingTest, TruncatedDeclarationsNameNothing) {
  for (const std::string full : {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"", "<?xml encoding='EUC-JP'"}) {
    for (size_t n = 0; n < full.size(); ++n) {
      SCOPED_TRACE(full.substr(0, n));
      Outcome o = recognize(full.substr(0, n));
      EXPECT_EQ(o.origin, QelEncOrigin::Probe);
      EXPECT_EQ(o.stored, "UTF-8");
    }
    EXPECT_EQ(recognize(full).origin, QelEncOrigin::Declaration);
  }
}

// --- final decision -------------------------------------------------------------

// Without a supplied name, or with a UTF-16 form (-1, -2), the probe's name
// holds. After an EBCDIC probe an EBCDIC-family code page wins, upper-cased;
// after any other probe an EBCDIC-family code page or UTF-8 loses, any other
// wins, upper-cased. A declaration wins over all: the supplied name is then
// not looked at, so an unknown one raises nothing.
TEST_F(EncodingTest, DecisionTable) {
  using O = QelEncOrigin;
  const std::string ascii = "<doc>text</doc>", ebcdic = cp37("<doc>text</doc>");
  const struct {
    std::string input;
    const char* supplied;
    const char* expected;
    QelEncOrigin origin;
  } rows[] = {{ascii, nullptr, "UTF-8", O::Probe},
              {ascii, "", "UTF-8", O::Probe},
              {ebcdic, "", "IBM037", O::Probe},
              {ascii, "utf-16le", "UTF-8", O::Probe},
              {ascii, "UTF-16", "UTF-8", O::Probe},
              {ebcdic, "UTF-16BE", "IBM037", O::Probe},
              {ebcdic, "ibm500", "IBM500", O::Caller},
              {ebcdic, "ibm-1047", "IBM-1047", O::Caller},
              {ebcdic, "iso-8859-1", "IBM037", O::Probe},
              {ebcdic, "native", "IBM037", O::Probe},
              {ascii, "ibm500", "UTF-8", O::Probe},
              {ascii, "native", "UTF-8", O::Probe},
              {ascii, "NaTiVe", "UTF-8", O::Probe},
              {ascii, "utf-8", "UTF-8", O::Probe},
              {ascii, "iso-8859-1", "ISO-8859-1", O::Caller},
              {ascii, "windows-1252", "WINDOWS-1252", O::Caller},
              {ascii, "shift_jis", "SHIFT_JIS", O::Caller},
              {"<?xml version='1.0' encoding='Latin1'?><a/>", "windows-1250", "Latin1", O::Declaration},
              {"<?xml encoding='UTF-8'?><a/>", "no-such-code-page", "UTF-8", O::Declaration}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.supplied ? r.supplied : "NULL") + " on " + hex(r.input.substr(0, 4)));
    Outcome o = recognize(r.input, r.supplied);
    EXPECT_EQ(o.name, r.expected);
    EXPECT_EQ(o.stored, r.expected);
    EXPECT_EQ(o.origin, r.origin);
  }
}

TEST_F(EncodingTest, UnknownSuppliedNameRaisesNlsErrorAndKeepsTheOldEncoding) {
  const std::string data = "<doc/>";
  const std::string longName(150, 'x');  // longer than any fixed buffer: never cut
  for (const std::string& name : {std::string("x-no-such-cp"), longName}) {
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(data.data()), data.size(), "unknown");
    src.setEncoding(u"old-name");
    try {
      qelRecognizeEncoding(src, name.c_str());
      ADD_FAILURE() << "no error for " << name;
    } catch (const QelError& e) {
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(toupper(c));
      expectLibraryError(e, QELRC_NLS_ERROR, "QELRC_NLS_ERROR", "getFinalEncoding", "qeldom/qelenrec");
      EXPECT_EQ(e.getRevision(), "$Revision: 1.12 $");
      EXPECT_EQ(e.getLine(), 283);
      EXPECT_EQ(e.getFlag(), 0u);
      EXPECT_EQ(std::string(e.getMessage()), QelNls::getErrorMsg(30) + " (" + upper + ")");
    }
    EXPECT_EQ(storedOf(src), "old-name");
  }
}

// --- streams ------------------------------------------------------------------------

// An input source whose streams hand out at most `chunk` bytes per read, count
// themselves, and can throw on a given read of a given stream.
class ChunkedSource : public InputSource {
 public:
  ChunkedSource(std::string data, size_t chunk) : m_data(std::move(data)), m_chunk(chunk) {}
  BinInputStream* makeStream() const override { return new Stream(*this, ++made); }

  mutable int made = 0;
  mutable int alive = 0;
  int throwStream = 0;  // 1-based stream number; 0 never
  int throwRead = 0;    // 1-based read number within that stream

 private:
  class Stream : public BinInputStream {
   public:
    Stream(const ChunkedSource& src, int number) : m_src(src), m_number(number) { ++m_src.alive; }
    ~Stream() override { --m_src.alive; }
    XMLFilePos curPos() const override { return m_pos; }
    const XMLCh* getContentType() const override { return nullptr; }
    XMLSize_t readBytes(XMLByte* const to, const XMLSize_t max) override {
      if (m_number == m_src.throwStream && ++m_reads == m_src.throwRead) throw std::runtime_error("read failed");
      size_t n = std::min({max, m_src.m_chunk, m_src.m_data.size() - m_pos});
      std::memcpy(to, m_src.m_data.data() + m_pos, n);
      m_pos += n;
      return n;
    }

   private:
    const ChunkedSource& m_src;
    int m_number;
    int m_reads = 0;
    size_t m_pos = 0;
  };
  std::string m_data;
  size_t m_chunk;
};

TEST_F(EncodingTest, EachStageReadsItsOwnStreamAndPassesItsErrors) {
  const std::string data = "<?xml version='1.0' encoding='ISO-8859-1'?><a/>";
  ChunkedSource whole(data, 1000);
  EXPECT_EQ(qelRecognizeEncoding(whole, nullptr).toString(), "ISO-8859-1");
  EXPECT_EQ(whole.made, 2);  // probe and declaration scan
  EXPECT_EQ(whole.alive, 0);
  ChunkedSource shortReads(data, 4);  // the first read of the scan is short: no declaration
  QelEncOrigin origin;
  EXPECT_EQ(qelRecognizeEncoding(shortReads, nullptr, &origin).toString(), "UTF-8");
  EXPECT_EQ(origin, QelEncOrigin::Probe);
  EXPECT_EQ(shortReads.alive, 0);

  for (int stream = 1; stream <= 2; ++stream) {
    for (int read = 1; read <= 12; ++read) {
      ChunkedSource src(data, 1000);
      src.setEncoding(u"old-name");
      src.throwStream = stream;
      src.throwRead = read;
      bool threw = false;
      try {
        qelRecognizeEncoding(src, nullptr);
      } catch (const std::runtime_error&) {
        threw = true;
        EXPECT_EQ(storedOf(src), "old-name");
      }
      if (stream == 1 && read > 1) {
        EXPECT_FALSE(threw) << "the probe reads once";
      }
      EXPECT_EQ(src.alive, 0) << stream << "/" << read;
    }
  }
}

// --- trace ------------------------------------------------------------------------

// The whole run, function by function in the order the lines come.
TEST_F(EncodingTest, TraceOfADeclaredEncoding) {
  TraceCapture trace("QELDOM=0xD0");
  recognize("<?xml version=\"1.0\" encoding='ISO-8859-1'?><a/>");
  const std::pair<std::string, Lines> runs[] = {
      {"qelRecognizeEncoding", {"Entry", "Args - (NULL)"}},
      {"QelEncRecognizer::recognize", {"Entry", "Args - "}},
      {"QelEncRecognizer::getProbeEncoding",
       {"Entry", "Args - ", "Flow - Making the binary input stream...", "Flow - Gets some bytes for probe",
        "Flow - Calls the XERCES probe XMLRecognizer::basicEncodingProbe...", "Return - 4", "Exit"}},
      {"QelEncRecognizer::recognize", {"State - Probe encoding:(UTF-8)", "Flow - Getting the declaration encoding..."}},
      {"getDeclEncoding",
       {"Entry",
        "Args - encProbe(4)",
        "Flow - Making the binary input stream...",
        "Flow - Gets the first 5 bytes to check for <?xml ...",
        "Flow - Check whether buffer starts from <?xml ...",
        "Flow - Skips the spaces...",
        "Flow - Check for [version] or [encoding] keyword.  ...",
        "Flow - Process [version]...",
        "Flow - Skips the spaces...",
        "Flow - Checks for [=]",
        "Flow - Skips the spaces...",
        "Flow - Checks for [\"] or [']",
        "Flow - Gets \"",
        "Flow - Process version content...",
        "Flow - Closing quote found. Exit",
        "Flow - Skips the spaces...",
        "Flow - Gets the next chars to check for [encoding]",
        "Flow - Process [encoding]...",
        "Flow - Skips the spaces...",
        "Flow - Look for [=]",
        "Flow - Skips the spaces...",
        "Flow - Look for [\"] or [']",
        "Flow - Gets '",
        "Flow - Process encoding content...",
        "Flow - Looking for closing quote",
        "Flow - Creating NLS Locale",
        "Flow - Converting the encoding to the current locale",
        "State - ubuffer.buffer()(ISO-8859-1)",
        "Flow - Release Locale",
        "Exit"}},
      {"QelEncRecognizer::recognize", {"State - Declaration encoding:(ISO-8859-1)", "Exit"}},
      {"qelRecognizeEncoding", {"Exit"}}};
  Lines expected;
  for (const auto& [function, lines] : runs)
    for (const std::string& line : lines) expected.push_back("QELDOM " + function + ": " + line);
  EXPECT_EQ(trace.lines(), expected);
}

// The lines of the branches the run above does not take: all lines of one
// function (index 0), its last lines (-1), or those from an index on.
TEST_F(EncodingTest, TraceOfTheOtherBranches) {
  const std::string ebcdic = cp37("<doc/>"), utf16 = bytes({'<', 0, 'a', 0});
  const std::string nlsError = "!!! Error - " + QelNls::getErrorMsg(30) + " (NO-SUCH)";
  const struct {
    std::string input;
    const char* supplied;
    const char* levels;
    const char* function;
    int index;
    Lines expected;
  } rows[] = {
      {"<?xml encoding='" + std::string(40, 'A'),
       nullptr,
       "getDeclEncoding=0x40",
       "getDeclEncoding",
       -1,
       {"Flow - Looking for closing quote", "Flow - Closing quote not found. Exit", "Exit"}},
      {"<?xml version='" + std::string(20, '1') + "' encoding='x'?>",
       nullptr,
       "getDeclEncoding=0x40",
       "getDeclEncoding",
       -1,
       {"Flow - Process version content...", "Flow - Bad xml declaration. Return", "Exit"}},
      {ebcdic,
       "ibm500",
       "QELDOM=0x50",
       "QelEncRecognizer::getProbeEncoding",
       5,
       {"Flow - EBCDIC detected", "Return - 0"}},
      {ebcdic,
       "ibm500",
       "QELDOM=0x50",
       "getFinalEncoding",
       0,
       {"Entry", "Args - (EBCDIC)", "State - Supplied encoding:(ibm500)", "State - User encoding:(IBM500)", "Exit"}},
      {ebcdic, "ibm500", "QELDOM=0x50", "QelEncRecognizer::recognize", 2, {"State - Probe encoding:(EBCDIC)"}},
      {ebcdic, "ibm500", "QELDOM=0x50", "QelEncRecognizer::recognize", -1, {"State - Final encoding:IBM500", "Exit"}},
      {utf16,
       "UTF-16LE",
       "QELDOM=0x40",
       "QelEncRecognizer::recognize",
       0,
       {"Entry", "Args - ", "Flow - UTF-16LE detected", "Flow - Sets UTF-16 encoding and returns", "Exit"}},
      {utf16, "UTF-16LE", "QELDOM=0x40", "QelEncRecognizer::getProbeEncoding", 5, {"Flow - UTF_16L detected"}},
      {bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, '<'}),
       nullptr,
       "QELDOM=0x40",
       "QelEncRecognizer::recognize",
       0,
       {"Entry", "Args - ", "Flow - Unsupported UCS encoding detected", "Exit"}},
      {"<a/>",
       "utf-16be",
       "QELDOM=0x40",
       "QelEncRecognizer::recognize",
       0,
       {"Entry", "Args - ", "Flow - Getting the declaration encoding...", "Exit"}},
      {"<a/>",
       "utf-16be",
       "QELDOM=0x40",
       "getFinalEncoding",
       0,
       {"Entry", "Args - (UTF-8)", "Flow - Input file is not UTF-16", "Exit"}},
      {"<a/>", "no-such", "getFinalEncoding=0x80", "getFinalEncoding", 0, {nlsError}},
      {"<a/>", "no-such", "QELDOM=0", "", 0, {}},  // level 0 writes nothing, errors included
      {"<?xml encoding='UTF-8'?>", "native", "QELDOM=0", "", 0, {}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.function) + " " + r.levels + " " + hex(r.input.substr(0, 8)));
    TraceCapture trace(r.levels);
    try {
      recognize(r.input, r.supplied);
    } catch (const QelError&) {
    }
    Lines got = *r.function ? trace.of(r.function) : trace.lines();
    if (r.index < 0) {  // the last lines
      ASSERT_GE(got.size(), r.expected.size());
      got.erase(got.begin(), got.end() - r.expected.size());
    } else if (r.index > 0) {  // the lines from index on
      ASSERT_GE(got.size(), r.index + r.expected.size());
      got = Lines(got.begin() + r.index, got.begin() + r.index + r.expected.size());
    }
    EXPECT_EQ(got, r.expected);
  }
}

// --- corpus -----------------------------------------------------------------------

const std::string kCorpus = std::string(QELDOM_SHARED_DIR) + "/encodings-corpus/";

struct CorpusEntry {
  std::string file, trueEncoding, hasBom, declared, expected, textFile;
};

std::vector<CorpusEntry> readManifest() {
  std::istringstream in(readFile(kCorpus + "manifest.tsv"));
  std::vector<CorpusEntry> entries;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::istringstream cols(line);
    for (std::string col; std::getline(cols, col, '\t');) f.push_back(col);
    if (f.size() < 6) throw std::runtime_error("bad manifest line: " + line);
    entries.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
  }
  return entries;
}

void collectText(const DOMNode* node, std::u16string& out) {
  for (const DOMNode* n = node->getFirstChild(); n; n = n->getNextSibling()) {
    if (n->getNodeType() == DOMNode::TEXT_NODE || n->getNodeType() == DOMNode::CDATA_SECTION_NODE)
      out += n->getNodeValue();
    collectText(n, out);
  }
}

// The name the corpus expects recognize to give.
std::string expectedName(const CorpusEntry& e) {
  if (e.trueEncoding == "UTF-32BE") return "UCS-4 (BE)";
  if (e.trueEncoding == "UTF-32LE") return "UCS-4 (LE)";
  if (e.trueEncoding.compare(0, 6, "UTF-16") == 0) return e.trueEncoding;
  if (e.hasBom == "no" && e.declared != "-") return e.declared;
  if (e.trueEncoding == "US-ASCII" || e.trueEncoding == "-") return "UTF-8";  // read as UTF-8 by default
  return e.trueEncoding;
}

TEST_F(EncodingTest, CorpusIsRecognizedAndParsesToTheExpectedText) {
  const std::vector<CorpusEntry> entries = readManifest();
  ASSERT_EQ(entries.size(), 45u);
  for (const CorpusEntry& e : entries) {
    SCOPED_TRACE(e.file);
    const std::string data = readFile(kCorpus + e.file);
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(data.data()), data.size(), "corpus");
    src.setCopyBufToStream(false);
    QelEncOrigin origin;
    const std::string name = qelRecognizeEncoding(src, nullptr, &origin).toString();

    EXPECT_EQ(name, expectedName(e));
    const bool ucs4 = e.trueEncoding.compare(0, 6, "UTF-32") == 0;
    EXPECT_EQ(storedOf(src), ucs4 ? "<none>" : name);
    // A UTF-16 input is settled by its first bytes; its declaration is not read.
    const bool utf16 = e.trueEncoding.compare(0, 6, "UTF-16") == 0;
    const QelEncOrigin expectedOrigin = e.hasBom == "yes"             ? QelEncOrigin::ByteOrderMark
                                        : e.declared != "-" && !utf16 ? QelEncOrigin::Declaration
                                                                      : QelEncOrigin::Probe;
    EXPECT_STREQ(qelEncOriginName(origin), qelEncOriginName(expectedOrigin));
    if (e.expected == "ok" && !ucs4) {  // the same code page as the true encoding
      std::unique_ptr<QelCodePage> got = qelGetCodePage(qelToUnicode(name.c_str()).c_str());
      std::unique_ptr<QelCodePage> want = qelGetCodePage(qelToUnicode(e.trueEncoding.c_str()).c_str());
      ASSERT_TRUE(got && want);
      EXPECT_EQ(got->name, want->name);
    }

    XercesDOMParser parser;
    parser.setValidationScheme(XercesDOMParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.parse(src);
    if (e.expected == "error") {
      EXPECT_GT(parser.getErrorCount(), 0u);
      continue;
    }
    EXPECT_EQ(parser.getErrorCount(), 0u);
    ASSERT_NE(parser.getDocument(), nullptr);
    std::u16string text;
    collectText(parser.getDocument(), text);
    EXPECT_EQ(qelToMbcs(text.c_str(), static_cast<unsigned>(text.size())), readFile(kCorpus + e.textFile));
  }
}

}  // namespace
