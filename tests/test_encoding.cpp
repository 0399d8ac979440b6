// Encoding recognition: the probe, the declaration scan (ASCII and code page
// 37 bytes), the final decision, the streams it reads and its trace, and a
// corpus of real documents that must be recognized and then parsed by plain
// Xerces-C.
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/BinMemInputStream.hpp>

#include "qelenrec.hpp"
#include "test_support.hpp"

XERCES_CPP_NAMESPACE_USE
using namespace qeltest;

namespace {

const auto* const s_platform = ::testing::AddGlobalTestEnvironment(new Platform);

std::string storedOf(const InputSource& src) { return src.getEncoding() ? u8(src.getEncoding()) : "<none>"; }

// "<returned name> [stored <other name>] by <origin>".
std::string recognize(const std::string& bytes, const char* supplied = nullptr) {
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "test");
  QelEncOrigin origin;
  const std::string name = qelRecognizeEncoding(src, supplied, &origin).toString();
  return name + (storedOf(src) == name ? "" : " stored " + storedOf(src)) + " by " + qelEncOriginName(origin);
}

// The same text in code page 37 (EBCDIC).
std::string cp37(const std::string& ascii) {
  const QelAutoBuffer<char> out = QelNls(u"IBM037").fromUnicode(qelToUnicode(ascii.c_str()).c_str(), -1);
  return std::string(out.get(), out.size());
}

// Without a declaration the first bytes decide: a mark settles the
// encoding, before the declaration and the caller's name (an unknown one
// raises nothing); UCS-4 is named but not stored. Without a mark a zero next
// to "<" or an ASCII space is UTF-16, a first byte "<" or space of code page
// 37 is EBCDIC (read as IBM037), and the rest is UTF-8. A supplied name other
// than UTF-16 wins, upper-cased, after an EBCDIC probe if it is an EBCDIC
// code page, after any other if it is neither EBCDIC nor UTF-8.
TEST(Encoding, FirstBytesAndSuppliedNameDecideWithoutADeclaration) {
  const std::string mark = " by byte order mark", ascii = "<doc>text</doc>", ebcdic = cp37(ascii);
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {"\xFF\xFE" + utf16Bytes(u"<?xml version='1.0' encoding='ISO-8859-1'?>", false), "cp1252", "UTF-16LE" + mark},
      {"\xEF\xBB\xBF", nullptr, "UTF-8" + mark},  // the mark alone
      {std::string("\0\0\xFE\xFF\0\0\0<", 8), "no-such", "UCS-4 (BE) stored <none>" + mark},
      {std::string("\n\0a\0", 4), "ISO-8859-1", "UTF-16LE by probe"},
      {std::string("\0\t", 2), nullptr, "UTF-16BE by probe"},  // two bytes are enough
      {std::string("a\0b\0", 4), nullptr, "UTF-8 by probe"},
      {"\x4C", nullptr, "IBM037 by probe"},
      {"", nullptr, "UTF-8 by probe"},
      {"\x0D\x4C\x84", nullptr, "UTF-8 by probe"},  // the EBCDIC carriage return is no space
      {"<\xBB\xBF", "", "UTF-8 by probe"},          // the end of a mark is no mark
      {ascii, "utf-16le", "UTF-8 by probe"},
      {ascii, "ibm500", "UTF-8 by probe"},
      {ascii, "NaTiVe", "UTF-8 by probe"},
      {ascii, "sjis", "SJIS by caller"},
      {ebcdic, "UTF-16BE", "IBM037 by probe"},
      {ebcdic, "ibm500", "IBM500 by caller"},
      {ebcdic, "ibm-1047", "IBM-1047 by caller"},
      {ebcdic, "latin1", "IBM037 by probe"}};
  for (const auto& [data, supplied, expected] : rows)
    EXPECT_EQ(recognize(data, supplied), expected) << ::testing::PrintToString(data);
}

// The declared name, or "-" when the scan found none.
std::string declared(const std::string& data) {
  const std::string r = recognize(data);
  return r.find(" by declaration") == std::string::npos ? "-" : r.substr(0, r.find(' '));
}

// Each row as written (ASCII) and in code page 37. A name is at most 31
// characters, a version value at most 19.
TEST(Encoding, DeclarationScanInBothFamilies) {
  const std::string v31(31, 'A'), v32(32, 'A');
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"<?xml version=\"1.0\" encoding=\"iso-8859-2\"?>", "iso-8859-2", "iso-8859-2"},
      {"<?xmlversion='1.0'encoding='x'", "x", "x"},
      {"<?xml \t\r\n version \t= \n'1.0'\r\n encoding \t=\r\n \"koi8-r\"?>", "koi8-r", "-"},  // CR: ASCII only
      {"<?xml version='1.0' standalone='yes' encoding='x'?>", "-", "-"},
      {"<?xml encoding=\"ab'c\"?><a/>", "ab'c", "ab'c"},
      {"<?xml encoding=\"abc'?>" + std::string(40, ' '), "-", "-"},
      {"<?xml encoding='" + v31 + "'?>", v31, v31},
      {"<?xml encoding='" + v32 + "'?>", "-", "-"},
      {"<?xml version='" + std::string(19, '1') + "' encoding='x'?>", "x", "x"},
      {"<?xml version='" + std::string(20, '1') + "' encoding='x'?>", "-", "-"},
      {"<?xml encoding='\xC3\xA9'?>", "-", "-"},
      {" <?XML encoding='x'?>", "-", "-"}};
  for (const auto& [text, ascii, ebcdic] : rows) {
    EXPECT_EQ(declared(text), ascii) << text;
    EXPECT_EQ(declared(cp37(text)), ebcdic) << text << " in code page 37";
  }
  // EBCDIC spaces (space, LF, NL, TAB) are skipped, ASCII ones are none there.
  EXPECT_EQ(declared(cp37("<?xml") + "\x40\x25\x15\x05" + cp37("encoding=") + "\x05" + cp37("'x'")), "x");
  EXPECT_EQ(declared(cp37("<?xml") + " " + cp37("encoding='x'")) + declared("<?xml@encoding='x'?>") +
                declared("<?xml " + cp37("encoding='x'")) + declared(cp37("<?xml ") + "encoding='x'"),
            "----");
  for (const std::string full : {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"", "<?xml encoding='EUC-JP'"})
    for (size_t n = 0; n < full.size(); ++n) EXPECT_EQ(recognize(full.substr(0, n)), "UTF-8 by probe") << n;
}

// An input source whose streams hand out at most `chunk` bytes a read and
// throw at the n-th read of all.
struct ChunkedSource : InputSource {
  struct Stream : BinMemInputStream {
    explicit Stream(const ChunkedSource& s)
        : BinMemInputStream(reinterpret_cast<const XMLByte*>(s.data.data()), s.data.size(), BufOpt_Reference), src(s) {}
    XMLSize_t readBytes(XMLByte* const to, const XMLSize_t max) override {
      if (++src.reads == src.throwAt) throw std::runtime_error("read failed");
      return BinMemInputStream::readBytes(to, std::min(max, src.chunk));
    }
    const ChunkedSource& src;
  };
  ChunkedSource(std::string d, size_t c, int t) : data(std::move(d)), chunk(c), throwAt(t) {}
  BinInputStream* makeStream() const override { return new Stream(*this); }
  std::string data;
  size_t chunk;
  int throwAt;
  mutable int reads = 0;
};

TEST(Encoding, UnknownSuppliedNameRaisesNlsErrorAndKeepsTheOldEncoding) {
  for (const std::string& name : {std::string("x-no-such-cp"), std::string(150, 'x')}) {  // a long name is not cut
    ChunkedSource src("<doc/>", 100, 0);
    src.setEncoding(u"old-name");
    const QelError e = errorOf([&] { qelRecognizeEncoding(src, name.c_str()); });
    expectLibraryError(e, QELRC_NLS_ERROR, "QELRC_NLS_ERROR", "getFinalEncoding", "qeldom/qelenrec");
    EXPECT_EQ(e.getMessage(),
              QelNls::getErrorMsg(30) + " (" + qelToMbcs(qelToUpper(qelToUnicode(name.c_str())).c_str()) + ")");
    EXPECT_EQ(storedOf(src) + " " + std::to_string(e.getLine()), "old-name 283");
  }
}

// The probe and the scan read streams of their own (a short first read of
// the scan finds no declaration); a failing read reaches the caller with the
// source unchanged, and leaks nothing.
TEST(Encoding, EachStageReadsItsOwnStreamAndPassesItsErrors) {
  const std::string data = "<?xml version='1.0' encoding='ISO-8859-1'?><a/>";
  ChunkedSource whole(data, 1000, 0), shortReads(data, 4, 0);
  EXPECT_EQ(qelRecognizeEncoding(whole, nullptr).toString() + qelRecognizeEncoding(shortReads, nullptr).toString(),
            "ISO-8859-1UTF-8");
  for (int read = 1; read <= whole.reads; ++read) {
    ChunkedSource src(data, 1000, read);
    src.setEncoding(u"old-name");
    EXPECT_THROW(qelRecognizeEncoding(src, nullptr), std::runtime_error) << read;
    EXPECT_EQ(storedOf(src), "old-name") << read;
  }
}

// One check of a few lines of the trace.
TEST(Encoding, TraceNamesEachStage) {
  TraceCapture trace("QELDOM=0xD0");
  recognize("<?xml version=\"1.0\" encoding='ISO-8859-1'?><a/>");
  EXPECT_EQ(trace.of("QelEncRecognizer::recognize"),
            (Lines{"Entry", "Args - ", "State - Probe encoding:(UTF-8)", "Flow - Getting the declaration encoding...",
                   "State - Declaration encoding:(ISO-8859-1)", "Exit"}));
}

// --- the encodings corpus --------------------------------------------------------------------

// Each document of the corpus (its manifest: file, true encoding, mark,
// declared name, "ok" or "error", expected text) is recognized as its
// encoding, as the origin the manifest implies, and then parses to its text.
TEST(Encoding, CorpusIsRecognizedAndParsesToTheExpectedText) {
  const std::string corpus = std::string(QELDOM_SHARED_DIR) + "/encodings-corpus/";
  std::istringstream manifest(readFile(corpus + "manifest.tsv"));
  std::string line;
  int count = 0;
  for (std::getline(manifest, line); std::getline(manifest, line); ++count) {
    std::istringstream columns(line);
    std::string file, trueName, mark, decl, expected, textFile;
    std::getline(columns, file, '\t'), std::getline(columns, trueName, '\t'), std::getline(columns, mark, '\t');
    std::getline(columns, decl, '\t'), std::getline(columns, expected, '\t'), std::getline(columns, textFile, '\t');
    SCOPED_TRACE(file);
    const bool utf16 = trueName.rfind("UTF-16", 0) == 0, ucs4 = trueName.rfind("UTF-32", 0) == 0;
    std::string name = utf16 || mark == "yes" || decl == "-" ? trueName : decl;  // UTF-16: the first bytes decide
    if (name == "US-ASCII" || name == "-") name = "UTF-8";
    if (ucs4) name = "UCS-4 (" + trueName.substr(6, 2) + ")";
    const char* origin = mark == "yes" ? "byte order mark" : decl != "-" && !utf16 ? "declaration" : "probe";
    const std::string data = readFile(corpus + file);
    EXPECT_EQ(recognize(data), name + (ucs4 ? " stored <none>" : "") + " by " + origin);
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(data.data()), data.size(), "corpus");
    qelRecognizeEncoding(src, nullptr);
    XercesDOMParser parser;
    parser.parse(src);
    EXPECT_EQ(parser.getErrorCount() > 0, expected == "error");
    if (expected == "ok") {  // read in the code page of the true encoding, to the expected text
      EXPECT_TRUE(ucs4 || qelGetCodePage(src.getEncoding())->name ==
                              qelGetCodePage(qelToUnicode(trueName.c_str()).c_str())->name);
      EXPECT_EQ(u8(parser.getDocument()->getDocumentElement()->getTextContent()), readFile(corpus + textFile));
    }
  }
  EXPECT_EQ(count, 45);
}

}  // namespace
