// Encoding recognition: the probe, the declaration scan (ASCII and code page
// 37 bytes), the final decision, the trace, and a corpus of real documents
// that must be recognized and then parsed by plain Xerces-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include "mox.hpp"
#include "nyl.hpp"
#include "qelenrec.hpp"

XERCES_CPP_NAMESPACE_USE

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

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

// The same text in code page 37 (EBCDIC).
std::string cp37(const std::string& ascii) {
  QelNls nls(u"IBM037");
  std::u16string text = qelToUnicode(ascii.c_str(), static_cast<unsigned>(ascii.size()));
  QelAutoBuffer<char> out = nls.fromUnicode(text.c_str(), static_cast<long>(text.size()));
  return std::string(out.get(), out.size());
}

// --- probe -------------------------------------------------------------------------

TEST_F(EncodingTest, Utf16WithoutMarkIsTakenFromTheFirstTwoBytes) {
  for (char first : {'<', ' ', '\t', '\n', '\r'}) {
    SCOPED_TRACE(static_cast<int>(first));
    Outcome le = recognize(std::string{first, '\0', 'a', '\0'}, "ISO-8859-1");
    EXPECT_EQ(le.name, "UTF-16LE");
    EXPECT_EQ(le.stored, "UTF-16LE");
    EXPECT_EQ(le.origin, QelEncOrigin::Probe);
    Outcome be = recognize(std::string{'\0', first, '\0', 'a'}, "ISO-8859-1");
    EXPECT_EQ(be.name, "UTF-16BE");
    EXPECT_EQ(be.stored, "UTF-16BE");
  }
  // A zero next to a byte that is neither "<" nor an ASCII space is not UTF-16.
  EXPECT_EQ(recognize(bytes({'a', 0, 'b', 0})).name, "UTF-8");
  EXPECT_EQ(recognize(bytes({0, 'a', 0, 'b'})).name, "UTF-8");
}

TEST_F(EncodingTest, Utf16MarkWinsOverDeclarationAndSuppliedName) {
  std::u16string text = u"<?xml version='1.0' encoding='ISO-8859-1'?><a/>";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t c : text) {
    le += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xFF);
  }
  Outcome l = recognize(le, "windows-1252");
  EXPECT_EQ(l.name, "UTF-16LE");
  EXPECT_EQ(l.stored, "UTF-16LE");
  EXPECT_EQ(l.origin, QelEncOrigin::ByteOrderMark);
  Outcome b = recognize(be, "no-such-code-page");  // not looked at: no error
  EXPECT_EQ(b.name, "UTF-16BE");
  EXPECT_EQ(b.stored, "UTF-16BE");
  EXPECT_EQ(b.origin, QelEncOrigin::ByteOrderMark);
  // The mark alone is enough.
  EXPECT_EQ(recognize("\xFF\xFE").stored, "UTF-16LE");
  EXPECT_EQ(recognize("\xFE\xFF").stored, "UTF-16BE");
}

TEST_F(EncodingTest, Ucs4LeavesTheInputSourceUntouched) {
  struct Case {
    std::string data;
    const char* name;
  } cases[] = {{bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, '<', 0, 0, 0, 'a'}), "UCS-4 (BE)"},
               {bytes({0xFF, 0xFE, 0, 0, '<', 0, 0, 0, 'a', 0, 0, 0}), "UCS-4 (LE)"}};
  for (const Case& c : cases) {
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(c.data.data()), c.data.size(), "ucs4");
    EXPECT_EQ(qelRecognizeEncoding(src, "no-such-code-page").toString(), c.name);
    EXPECT_EQ(src.getEncoding(), nullptr);
    src.setEncoding(u"kept");
    QelEncOrigin origin = QelEncOrigin::Caller;
    EXPECT_EQ(qelRecognizeEncoding(src, nullptr, &origin).toString(), c.name);
    EXPECT_EQ(storedOf(src), "kept");
    EXPECT_EQ(origin, QelEncOrigin::ByteOrderMark);
  }
}

TEST_F(EncodingTest, EbcdicFirstBytes) {
  for (int first : {0x4C, 0x40, 0x25, 0x15, 0x05}) {
    SCOPED_TRACE(first);
    Outcome o = recognize(bytes({first, 0x84, 0x96, 0x83}));
    EXPECT_EQ(o.name, "IBM037");  // Xerces-C cannot open "EBCDIC"
    EXPECT_EQ(o.stored, "IBM037");
    EXPECT_EQ(o.origin, QelEncOrigin::Probe);
  }
  // The EBCDIC carriage return does not make an input EBCDIC.
  EXPECT_EQ(recognize(bytes({0x0D, 0x4C, 0x84})).name, "UTF-8");
  // A single byte undergoes the EBCDIC test only.
  EXPECT_EQ(recognize(bytes({0x4C})).name, "IBM037");
  EXPECT_EQ(recognize("<").name, "UTF-8");
  EXPECT_EQ(recognize(" ").name, "UTF-8");
}

TEST_F(EncodingTest, EmptyInputAndMissingStreamAreUtf8) {
  Outcome empty = recognize("");
  EXPECT_EQ(empty.name, "UTF-8");
  EXPECT_EQ(empty.stored, "UTF-8");
  EXPECT_EQ(empty.origin, QelEncOrigin::Probe);

  LocalFileInputSource missing(u"/nonexistent/qeldom/encoding-test.xml");
  EXPECT_EQ(qelRecognizeEncoding(missing, nullptr).toString(), "UTF-8");
  EXPECT_EQ(storedOf(missing), "UTF-8");
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

TEST_F(EncodingTest, DeclarationScanInAscii) {
  const std::string v31(31, 'A'), v32(32, 'A');
  struct Case {
    std::string data;
    std::string expected;
  } cases[] = {
      {"<?xml version='1.0' encoding='ISO-8859-1'?><a/>", "ISO-8859-1"},
      {"<?xml version=\"1.0\" encoding=\"iso-8859-2\"?>", "iso-8859-2"},  // letter case kept
      {"<?xml encoding='UTF-8'?>", "UTF-8"},                              // no version
      {"<?xmlversion='1.0'encoding='x'", "x"},                            // no spaces at all
      {"<?xml \t\r\n version \t= \n'1.0'\r\n encoding \t=\r\n \"koi8-r\"?>", "koi8-r"},
      {"<?xml version='1.0' standalone='yes' encoding='UTF-8'?>", "-"},
      {"<?xml Version='1.0' encoding='x'?>", "-"},
      {"<?xml version='1.0' Encoding='x'?>", "-"},
      {"<?XML version='1.0' encoding='x'?>", "-"},
      {"<?xml encoding=\"abc'?>                                  ", "-"},  // quotes must match
      {"<?xml encoding=\"ab'c\"?>", "ab'c"},
      {"<?xml version='1.0\" encoding=\"x' encoding=\"y\"?>", "y"},  // the version ends at its own quote
      {"<?xml encoding='" + v31 + "'?>", v31},
      {"<?xml encoding='" + v32 + "'?>", "-"},
      {"<?xml encoding=''?>", "-"},  // an empty value names nothing
      {"<?xml version='" + std::string(19, '1') + "' encoding='x'?>", "x"},
      {"<?xml version='" + std::string(20, '1') + "' encoding='x'?>", "-"},
      {"<?xml version='1.0' encoding 'x'?>", "-"},
      {"<?xml version '1.0' encoding='x'?>", "-"},
      {"<?xml version=1.0 encoding='x'?>", "-"},
      {"<?xml encoding=x?>", "-"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?>", "-"},
      {"<?xml\x40version='1.0' encoding='x'?>", "-"},  // an EBCDIC space is no space here
      {"<?xml!!!!!!!!!!!!!!!!!", "-"},
      {" <?xml encoding='x'?>", "-"},
      {"<a/>", "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(declared(c.data), c.expected);
  }
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

TEST_F(EncodingTest, DeclarationScanInCodePage37) {
  struct Case {
    std::string data;  // written in code page 37
    std::string expected;
  } cases[] = {
      {cp37("<?xml version='1.0' encoding='ISO-8859-1'?><a/>"), "ISO-8859-1"},
      {cp37("<?xml version=\"1.0\" encoding=\"IBM500\"?>"), "IBM500"},
      {cp37("<?xml encoding='ebcdic-cp-us'?>"), "ebcdic-cp-us"},
      {cp37("<?xmlversion='1.0'encoding='x'"), "x"},
      {cp37("<?xml version = '1.0' encoding = 'x'?>"), "x"},
      {cp37("<?xml version='1.0' standalone='yes' encoding='UTF-8'?>"), "-"},
      {cp37("<?xml version='1.0' Encoding='x'?>"), "-"},
      {cp37("<?xml encoding='" + std::string(31, 'B') + "'?>"), std::string(31, 'B')},
      {cp37("<?xml encoding='" + std::string(32, 'B') + "'?>"), "-"},
      {cp37("<?xml version='" + std::string(19, '1') + "' encoding='x'?>"), "x"},
      {cp37("<?xml version='" + std::string(20, '1') + "' encoding='x'?>"), "-"},
      {cp37("<?xml encoding=\"abc'?>") + std::string(40, '\x40'), "-"},
      // EBCDIC spaces (space, line feed, new line, tab) are skipped; an ASCII
      // space or an EBCDIC carriage return is not a space in this family.
      {cp37("<?xml") + bytes({0x40, 0x25, 0x15, 0x05}) + cp37("encoding") + bytes({0x05}) + cp37("=") + bytes({0x15}) +
           cp37("'x'"),
       "x"},
      {cp37("<?xml") + " " + cp37("encoding='x'"), "-"},
      {cp37("<?xml") + bytes({0x0D}) + cp37("encoding='x'"), "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Outcome o = recognize(c.data);
    if (c.expected == "-") {
      EXPECT_EQ(o.origin, QelEncOrigin::Probe);
      EXPECT_EQ(o.stored, "IBM037");
    } else {
      EXPECT_EQ(o.origin, QelEncOrigin::Declaration);
      EXPECT_EQ(o.name, c.expected);
      EXPECT_EQ(o.stored, c.expected);
    }
  }
  // ASCII bytes are not scanned with the EBCDIC tables, nor the reverse.
  EXPECT_EQ(declared(cp37("<?xml encoding='x'?>").substr(0, 5) + "encoding='x'"), "-");
  EXPECT_EQ(declared("<?xml " + cp37("encoding='x'")), "-");
}

// --- final decision -------------------------------------------------------------

TEST_F(EncodingTest, DecisionTable) {
  const std::string ascii = "<doc>text</doc>";  // probes as UTF-8
  const std::string ebcdic = cp37("<doc>text</doc>");
  struct Row {
    const std::string& input;
    const char* supplied;
    const char* expected;
    QelEncOrigin origin;
  } rows[] = {
      // no supplied name: the probe's name, nothing looked up
      {ascii, nullptr, "UTF-8", QelEncOrigin::Probe},
      {ascii, "", "UTF-8", QelEncOrigin::Probe},
      {ebcdic, "", "IBM037", QelEncOrigin::Probe},
      // a UTF-16 form (-1, -2): the probe's name
      {ascii, "utf-16le", "UTF-8", QelEncOrigin::Probe},
      {ascii, "UTF-16", "UTF-8", QelEncOrigin::Probe},
      {ebcdic, "UTF-16BE", "IBM037", QelEncOrigin::Probe},
      // EBCDIC probe: an EBCDIC-family code page wins, upper-cased
      {ebcdic, "ibm500", "IBM500", QelEncOrigin::Caller},
      {ebcdic, "ibm-1047", "IBM-1047", QelEncOrigin::Caller},
      {ebcdic, "iso-8859-1", "IBM037", QelEncOrigin::Probe},
      {ebcdic, "native", "IBM037", QelEncOrigin::Probe},
      // any other probe: an EBCDIC-family code page or UTF-8 loses
      {ascii, "ibm500", "UTF-8", QelEncOrigin::Probe},
      {ascii, "native", "UTF-8", QelEncOrigin::Probe},
      {ascii, "NaTiVe", "UTF-8", QelEncOrigin::Probe},
      {ascii, "utf-8", "UTF-8", QelEncOrigin::Probe},
      // any other probe: any other code page wins, upper-cased
      {ascii, "iso-8859-1", "ISO-8859-1", QelEncOrigin::Caller},
      {ascii, "windows-1252", "WINDOWS-1252", QelEncOrigin::Caller},
      {ascii, "shift_jis", "SHIFT_JIS", QelEncOrigin::Caller},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.supplied ? r.supplied : "NULL") + " on " + (&r.input == &ascii ? "ascii" : "ebcdic"));
    Outcome o = recognize(r.input, r.supplied);
    EXPECT_EQ(o.name, r.expected);
    EXPECT_EQ(o.stored, r.expected);
    EXPECT_EQ(o.origin, r.origin);
  }
}

TEST_F(EncodingTest, DeclarationWinsOverSuppliedName) {
  Outcome o = recognize("<?xml version='1.0' encoding='Latin1'?><a/>", "windows-1250");
  EXPECT_EQ(o.name, "Latin1");
  EXPECT_EQ(o.origin, QelEncOrigin::Declaration);
  // The supplied name is not looked at, so an unknown one raises nothing.
  EXPECT_EQ(recognize("<?xml encoding='UTF-8'?><a/>", "no-such-code-page").name, "UTF-8");
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
      EXPECT_EQ(e.getRc(), QELRC_NLS_ERROR);
      EXPECT_EQ(e.getRcName(), "QELRC_NLS_ERROR");
      EXPECT_EQ(e.getOp(), QELOP_REPOSITORY);
      EXPECT_EQ(e.getOpName(), "QELOP_REPOSITORY");
      EXPECT_EQ(e.getFunction(), "getFinalEncoding");
      EXPECT_EQ(e.getSourcePath(), "qeldom/qelenrec");
      EXPECT_EQ(e.getRevision(), "$Revision: 1.12 $");
      EXPECT_EQ(e.getLine(), 283);
      EXPECT_EQ(e.getErrorType(), 2);
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

TEST_F(EncodingTest, EachStageReadsItsOwnStreamOnce) {
  ChunkedSource src("<?xml version='1.0' encoding='ISO-8859-1'?><a/>", 1000);
  EXPECT_EQ(qelRecognizeEncoding(src, nullptr).toString(), "ISO-8859-1");
  EXPECT_EQ(src.made, 2);  // probe and declaration scan
  EXPECT_EQ(src.alive, 0);
}

TEST_F(EncodingTest, ShortFirstReadMeansNoDeclaration) {
  // Every read gives 4 bytes at most: the first read of the scan is short.
  ChunkedSource src("<?xml version='1.0' encoding='ISO-8859-1'?><a/>", 4);
  QelEncOrigin origin;
  EXPECT_EQ(qelRecognizeEncoding(src, nullptr, &origin).toString(), "UTF-8");
  EXPECT_EQ(origin, QelEncOrigin::Probe);
  EXPECT_EQ(src.alive, 0);
}

TEST_F(EncodingTest, StreamErrorsPassThroughAndReleaseEveryStream) {
  const std::string data = "<?xml version='1.0' encoding='ISO-8859-1'?><a/>";
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
      }
      if (stream == 1 && read > 1) {
        EXPECT_FALSE(threw);  // the probe reads once
      }
      if (threw) {
        EXPECT_EQ(storedOf(src), "old-name");
      }
      EXPECT_EQ(src.alive, 0) << stream << "/" << read;
    }
  }
}

// --- trace ------------------------------------------------------------------------

class TraceCapture {
 public:
  explicit TraceCapture(const char* levels) {
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
  std::vector<std::string> lines(const std::string& function = "") {
    std::lock_guard<std::mutex> guard(m_lock);
    if (function.empty()) return m_lines;
    std::vector<std::string> out;
    const std::string prefix = "QELDOM " + function + ": ";
    for (const std::string& l : m_lines)
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l.substr(prefix.size()));
    return out;
  }

 private:
  std::mutex m_lock;
  std::vector<std::string> m_lines;
};

TEST_F(EncodingTest, TraceOfADeclaredEncoding) {
  TraceCapture trace("QELDOM=0xD0");
  recognize("<?xml version=\"1.0\" encoding='ISO-8859-1'?><a/>");
  const std::vector<std::string> expected = {
      "QELDOM qelRecognizeEncoding: Entry",
      "QELDOM qelRecognizeEncoding: Args - (NULL)",
      "QELDOM QelEncRecognizer::recognize: Entry",
      "QELDOM QelEncRecognizer::recognize: Args - ",
      "QELDOM QelEncRecognizer::getProbeEncoding: Entry",
      "QELDOM QelEncRecognizer::getProbeEncoding: Args - ",
      "QELDOM QelEncRecognizer::getProbeEncoding: Flow - Making the binary input stream...",
      "QELDOM QelEncRecognizer::getProbeEncoding: Flow - Gets some bytes for probe",
      "QELDOM QelEncRecognizer::getProbeEncoding: Flow - Calls the XERCES probe XMLRecognizer::basicEncodingProbe...",
      "QELDOM QelEncRecognizer::getProbeEncoding: Return - 4",
      "QELDOM QelEncRecognizer::getProbeEncoding: Exit",
      "QELDOM QelEncRecognizer::recognize: State - Probe encoding:(UTF-8)",
      "QELDOM QelEncRecognizer::recognize: Flow - Getting the declaration encoding...",
      "QELDOM getDeclEncoding: Entry",
      "QELDOM getDeclEncoding: Args - encProbe(4)",
      "QELDOM getDeclEncoding: Flow - Making the binary input stream...",
      "QELDOM getDeclEncoding: Flow - Gets the first 5 bytes to check for <?xml ...",
      "QELDOM getDeclEncoding: Flow - Check whether buffer starts from <?xml ...",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Check for [version] or [encoding] keyword.  ...",
      "QELDOM getDeclEncoding: Flow - Process [version]...",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Checks for [=]",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Checks for [\"] or [']",
      "QELDOM getDeclEncoding: Flow - Gets \"",
      "QELDOM getDeclEncoding: Flow - Process version content...",
      "QELDOM getDeclEncoding: Flow - Closing quote found. Exit",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Gets the next chars to check for [encoding]",
      "QELDOM getDeclEncoding: Flow - Process [encoding]...",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Look for [=]",
      "QELDOM getDeclEncoding: Flow - Skips the spaces...",
      "QELDOM getDeclEncoding: Flow - Look for [\"] or [']",
      "QELDOM getDeclEncoding: Flow - Gets '",
      "QELDOM getDeclEncoding: Flow - Process encoding content...",
      "QELDOM getDeclEncoding: Flow - Looking for closing quote",
      "QELDOM getDeclEncoding: Flow - Creating NLS Locale",
      "QELDOM getDeclEncoding: Flow - Converting the encoding to the current locale",
      "QELDOM getDeclEncoding: State - ubuffer.buffer()(ISO-8859-1)",
      "QELDOM getDeclEncoding: Flow - Release Locale",
      "QELDOM getDeclEncoding: Exit",
      "QELDOM QelEncRecognizer::recognize: State - Declaration encoding:(ISO-8859-1)",
      "QELDOM QelEncRecognizer::recognize: Exit",
      "QELDOM qelRecognizeEncoding: Exit",
  };
  EXPECT_EQ(trace.lines(), expected);
}

TEST_F(EncodingTest, TraceOfScanStops) {
  {
    TraceCapture trace("getDeclEncoding=0x40");
    recognize("<?xml encoding='" + std::string(40, 'A'));
    const std::vector<std::string> expected = {
        "Entry",
        "Args - encProbe(4)",
        "Flow - Making the binary input stream...",
        "Flow - Gets the first 5 bytes to check for <?xml ...",
        "Flow - Check whether buffer starts from <?xml ...",
        "Flow - Skips the spaces...",
        "Flow - Check for [version] or [encoding] keyword.  ...",
        "Flow - Gets the next chars to check for [encoding]",
        "Flow - Process [encoding]...",
        "Flow - Skips the spaces...",
        "Flow - Look for [=]",
        "Flow - Skips the spaces...",
        "Flow - Look for [\"] or [']",
        "Flow - Gets '",
        "Flow - Process encoding content...",
        "Flow - Looking for closing quote",
        "Flow - Closing quote not found. Exit",
        "Exit",
    };
    EXPECT_EQ(trace.lines("getDeclEncoding"), expected);
  }
  {
    TraceCapture trace("getDeclEncoding=0x40");
    recognize("<?xml version='" + std::string(20, '1') + "' encoding='x'?>");
    std::vector<std::string> lines = trace.lines("getDeclEncoding");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "Flow - Process version content...");
    EXPECT_EQ(lines[lines.size() - 2], "Flow - Bad xml declaration. Return");
    EXPECT_EQ(lines.back(), "Exit");
  }
}

TEST_F(EncodingTest, TraceOfTheFinalDecision) {
  TraceCapture trace("QELDOM=0x50");
  recognize(cp37("<doc/>"), "ibm500");
  EXPECT_EQ(trace.lines("QelEncRecognizer::getProbeEncoding")[5], "Flow - EBCDIC detected");
  EXPECT_EQ(trace.lines("QelEncRecognizer::getProbeEncoding")[6], "Return - 0");
  const std::vector<std::string> final = {
      "Entry", "Args - (EBCDIC)", "State - Supplied encoding:(ibm500)", "State - User encoding:(IBM500)", "Exit",
  };
  EXPECT_EQ(trace.lines("getFinalEncoding"), final);
  EXPECT_EQ(trace.lines("QelEncRecognizer::recognize")[2], "State - Probe encoding:(EBCDIC)");
  EXPECT_EQ(trace.lines("QelEncRecognizer::recognize").end()[-2], "State - Final encoding:IBM500");
}

TEST_F(EncodingTest, TraceOfUtf16Ucs4AndUtf16Supplied) {
  TraceCapture trace("QELDOM=0x40");
  recognize(bytes({'<', 0, 'a', 0}), "UTF-16LE");
  recognize(bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, '<'}));
  recognize("<a/>", "utf-16be");
  const std::vector<std::string> recognizeLines = {
      "Entry",
      "Args - ",
      "Flow - UTF-16LE detected",
      "Flow - Sets UTF-16 encoding and returns",
      "Exit",
      "Entry",
      "Args - ",
      "Flow - Unsupported UCS encoding detected",
      "Exit",
      "Entry",
      "Args - ",
      "Flow - Getting the declaration encoding...",
      "Exit",
  };
  EXPECT_EQ(trace.lines("QelEncRecognizer::recognize"), recognizeLines);
  EXPECT_EQ(trace.lines("QelEncRecognizer::getProbeEncoding")[5], "Flow - UTF_16L detected");
  const std::vector<std::string> final = {"Entry", "Args - (UTF-8)", "Flow - Input file is not UTF-16", "Exit"};
  EXPECT_EQ(trace.lines("getFinalEncoding"), final);
}

TEST_F(EncodingTest, TraceOfTheNlsError) {
  TraceCapture trace("getFinalEncoding=0x80");
  EXPECT_THROW(recognize("<a/>", "no-such"), QelError);
  const std::vector<std::string> lines = {"!!! Error - " + QelNls::getErrorMsg(30) + " (NO-SUCH)"};
  EXPECT_EQ(trace.lines("getFinalEncoding"), lines);
}

TEST_F(EncodingTest, TraceLevelZeroWritesNothing) {
  TraceCapture trace("QELDOM=0");
  recognize("<?xml encoding='UTF-8'?>", "native");
  EXPECT_THROW(recognize("<a/>", "no-such"), QelError);
  EXPECT_TRUE(trace.lines().empty());
}

TEST_F(EncodingTest, ConcurrentRecognitionAgrees) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 200; ++i) {
        if (recognize("<a/>", "iso-8859-1").name != "ISO-8859-1") ++wrong[t];
        if (recognize(bytes({'<', 0})).name != "UTF-16LE") ++wrong[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// --- corpus -----------------------------------------------------------------------

const std::string kCorpus = std::string(QELDOM_SHARED_DIR) + "/encodings-corpus/";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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

class CountingErrors : public HandlerBase {
 public:
  void error(const SAXParseException& e) override { note(e); }
  void fatalError(const SAXParseException& e) override { note(e); }
  int count = 0;
  std::string first;

 private:
  void note(const SAXParseException& e) {
    if (count++ == 0) first = qelToMbcs(e.getMessage());
  }
};

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
    CountingErrors errors;
    parser.setErrorHandler(&errors);
    parser.setValidationScheme(XercesDOMParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.parse(src);
    if (e.expected == "error") {
      EXPECT_GT(errors.count, 0);
      continue;
    }
    EXPECT_EQ(errors.count, 0) << errors.first;
    ASSERT_NE(parser.getDocument(), nullptr);
    std::u16string text;
    collectText(parser.getDocument(), text);
    EXPECT_EQ(qelToMbcs(text.c_str(), static_cast<unsigned>(text.size())), readFile(kCorpus + e.textFile));
  }
}

}  // namespace
