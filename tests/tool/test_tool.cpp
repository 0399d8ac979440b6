// qelxml end to end: every test writes its inputs into a scratch folder of
// its own, runs the real binary through the shell and looks at its exit code,
// standard output, standard error and the files it leaves.
#include <sys/un.h>

#include <regex>

#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

// A run of the tool: its arguments as shell words, the exit code, standard
// output and standard error it must give (each exact or, after "~", a
// regular expression found in it), its standard input, and the redirections
// of standard input and output ("<&-" closes standard input).
struct Case {
  std::string args;
  int rc;
  std::string out, err, in = "", streams = "< .in > .out";
};

std::string quoted(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

class Tool : public ::testing::Test {
 protected:
  Tool() { fs::remove_all(m_dir), fs::create_directories(m_dir); }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_dir);
  }
  void file(const std::string& name, const std::string& s) { std::ofstream(m_dir / name, std::ios::binary) << s; }
  // A shell script run in the scratch folder; what it writes to standard output.
  std::string sh(const std::string& script) const {
    std::string out;
    if (std::FILE* pipe = popen(("cd " + quoted(m_dir) + " && {\n" + script + "\n}").c_str(), "r")) {
      char buffer[4096];
      while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
      pclose(pipe);
    }
    return out;
  }
  std::string text(const std::string& name) const { return sh("cat " + quoted(name) + " 2> /dev/null"); }
  void expectRuns(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args.substr(0, 100));
      file(".in", c.in);
      EXPECT_EQ(sh(QELXML_PATH " " + c.args + " " + c.streams + " 2> .err; echo $?"), std::to_string(c.rc) + "\n")
          << text(".err");
      for (const auto& [actual, expected] : {std::pair(text(".out"), c.out), std::pair(text(".err"), c.err)})
        EXPECT_TRUE(expected[0] == '~' ? std::regex_search(actual, std::regex(expected.substr(1))) : actual == expected)
            << "got: " << actual << "\nnot: " << expected;
      sh("rm -f .in .out .err");
    }
  }

  const fs::path m_dir = fs::path(QELXML_SCRATCH) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(Tool, FormatHandsItsOptionsToTheParserAndTheWriter) {
  const std::string sample =
      "~^<\\?xml version=\"1\\.0\" \\?>\\n<!--[^\\n]*-->\\n<order id=\"42\">\\n  <customer>Fran\u00e7oise "
      "M\u00fcller</customer>\\n";
  const std::string doc = "<a> <b>x\u00e9</b><c/><!--n--></a>",
                    typed = "<!DOCTYPE a [<!ATTLIST a x CDATA 'd'>]><a y='1'/>", f = "format --no-xml-decl ";
  expectRuns({
      {f + "-", 0, doc, "", doc},
      {"format -", 0, "<?xml version=\"1.0\" ?>" + doc, "", doc},
      {f + "--trim-space -", 0, "<a><b>x\u00e9</b><c/><!--n--></a>", "", doc},
      {f + "--canonical -", 0, "<a> <b>x\u00e9</b><c></c></a>", "", doc},
      {f + "--char-refs -", 0, "<a> <b>x&#xE9;</b><c/><!--n--></a>", "", doc},
      {"format --content-only -", 0, doc, "", doc},
      {f + "--trim-space --margins -", 0, "<a>\n  <b>x\u00e9</b>\n  <c/>\n  <!--n-->\n</a>\n", "", doc},
      {f + "-", 0, "<a x=\"d\" y=\"1\"/>", "", typed},
      {f + "--specified-only -", 0, "<a y=\"1\"/>", "", typed},
      {f + "--doctype -", 0, "<!DOCTYPE a [<!ATTLIST a x CDATA \"d\">]><a x=\"d\" y=\"1\"/>", "", typed},
      {f + "--input-encoding ISO-8859-1 -", 0, "<a>\u00e9</a>", "", "<a>\xe9</a>"},
      {"format -", 1, "", "~^<stdin>:1:", "<a>\xe9</a>"},
      {"format --margins --encoding ISO-8859-1 -o latin1.xml " QELXML_SAMPLE, 0, "", ""},
      {"detect latin1.xml", 0, "latin1.xml: ISO-8859-1 (declaration)\n", ""},
      {"format --margins --trim-space latin1.xml", 0, sample, ""},
  });
}

// What format writes it reads back; UTF-32 without a byte order mark, HZ
// and BOCU-1 it cannot, and refuses before anything is written.
TEST_F(Tool, FormatWritesOnlyEncodingsItCanReadBack) {
  file("doc.xml", "<a x=\"1\">t \xC3\xA9</a>");
  for (const std::string encoding : {"UTF-8", "UTF-16", "ISO-8859-1", "IBM037", "Shift_JIS"})
    expectRuns({{"format -o out.xml --encoding " + encoding + " doc.xml", 0, "", ""},
                {"format out.xml", 0, "<?xml version=\"1.0\" ?><a x=\"1\">t \xC3\xA9</a>", ""}});
  for (const std::string encoding : {"UTF-32", "HZ", "BOCU-1"})
    expectRuns({{"format -o " + encoding + " --encoding " + encoding + " doc.xml", 1, "",
                 "~cannot read back what it writes in this encoding \\(the output"}});
  EXPECT_EQ(sh("ls"), "doc.xml\nout.xml\n");
}

TEST_F(Tool, FailuresAreOneLineOnStandardErrorAndExitOne) {
  sh("echo '<!ELEMENT a (b)><!ELEMENT b EMPTY>' > v.dtd; echo '<!DOCTYPE a SYSTEM \"v.dtd\"><a>x</a>' > v.xml; "
     "echo '<!DOCTYPE a [<!ENTITY e SYSTEM \"gone.ent\">]><a>&e;</a>' > gone.xml; printf '<a>\\n<b></a>' > bad.xml; "
     "echo '<!DOCTYPE a SYSTEM \"d.dtd\"><a>&e;</a>' > local.xml; echo '<!ENTITY e \"local\">' > d.dtd; mkdir dir; "
     "echo \"<!DOCTYPE a [<!ENTITY e '0123456789'>]><a>$(printf '&e;%.0s' $(seq 20))</a>\" > many.xml");
  std::vector<Case> cases = {
      {"format bad.xml", 1, "", "~^bad\\.xml:2:6: [^\\n]+\\n$"},
      {"text -", 1, "", "~^<stdin>:3:[0-9]+: [^\\n]+\\n$", "<a>\n\n  <</a>"},
      {"format v.xml", 0, "~", ""},
      {"format --validate v.xml", 1, "", "~^v\\.xml:1:[0-9]+: [^\\n]+\\n$"},
      {"format missing.xml", 1, "", "missing.xml: Cannot open input file \"missing.xml\": No such file or directory\n"},
      {"text dir", 1, "", "dir: Cannot read input file \"dir\": Is a directory\n"},
      {"format -", 1, "", "<stdin>: Cannot read standard input: Bad file descriptor\n", "", "<&- > .out"},
      {"text -", 1, "", "<stdin>: Cannot read standard input: Is a directory\n", "", "< dir > .out"},
      {"detect -", 1, "", "-: Cannot read standard input: Is a directory\n", "", "< dir > .out"},
      {"format --no-xml-decl gone.xml", 1, "", "~gone\\.ent"},
      {"format --no-xml-decl --empty-missing-entities gone.xml", 0, "<a/>", ""},
      {"format --no-xml-decl local.xml", 0, "<a>local</a>", ""},
      {"text --max-entity-expansions 10 many.xml", 1, "", "~exceeds the limit of 10 entity expansions"},
      {"text --max-entity-text 100 many.xml", 1, "", "~exceeds the limit of 100 characters"},
      {"text --max-entity-expansions 20 --max-entity-text 0 many.xml", 0, "~^(0123456789){20}\\n$", ""}};
  expectRuns(cases);
}

TEST_F(Tool, DetectTellsEachFilesEncodingAndWhereItCameFrom) {
  sh("printf '\\357\\273\\277<a/>' > bom8.xml; printf '\\377\\376<\\0a\\0/\\0>\\0' > bom16.xml; "
     "printf '\\0<\\0a\\0/\\0>' > nobom16.xml; echo '<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>' > decl.xml; "
     "echo '<a/>' > plain.xml");
  expectRuns({
      {"detect bom8.xml bom16.xml nobom16.xml decl.xml plain.xml missing.xml", 1,
       "bom8.xml: UTF-8 (byte order mark)\nbom16.xml: UTF-16LE (byte order mark)\nnobom16.xml: UTF-16BE (probe)\n"
       "decl.xml: ISO-8859-1 (declaration)\nplain.xml: UTF-8 (probe)\n",
       "missing.xml: No such file or directory\n"},
      {"detect --encoding ISO-8859-1 plain.xml decl.xml -", 0,
       "plain.xml: ISO-8859-1 (caller)\ndecl.xml: ISO-8859-1 (declaration)\n-: ISO-8859-1 (caller)\n", "", "<a/>"},
      {"detect --encoding NO-SUCH-ENCODING plain.xml", 1, "", "~^plain\\.xml: [^\\n]*NO-SUCH-ENCODING[^\\n]*\\n$"},
  });
}

// Values are UTF-8: anything else (overlong, a surrogate, past U+10FFFF, cut
// short, a stray continuation) is named on standard error, never checked or
// converted as U+FFFD. Positions count UTF-16 units.
TEST_F(Tool, CheckRawnameAndTextPrintOneLinePerValue) {
  expectRuns({
      {"check name 1a 'a b'", 1, "1a: Invalid character 0x31 at pos 0.\na b: Invalid character 0x20 at pos 1.\n", ""},
      {"check qname a:b x", 0, "a:b: valid\nx: valid\n", ""},
      {"check ncname a:b", 1, "a:b: Invalid character 0x3A at pos 1.\n", ""},
      {"check text 'a\tb' 'a\vb'", 1, "a\tb: valid\na\vb: Invalid character 0xB at pos 1.\n", ""},
      {"check encname ISO-8859-1 8bit", 1, "ISO-8859-1: valid\n8bit: Invalid character 0x38 at pos 0.\n", ""},
      {"check name 'a\U0001F600b!'", 1, "a\U0001F600b!: Invalid character 0xD83D at pos 1.\n", ""},
      {"check uri 'anything at all'", 0, "anything at all: valid\n", ""},
      {"check text \xF0\x9F\x98\x80\xEF\xBF\xBD", 0, "~valid", ""},
      {"check name a\xff\x62 ok", 1, "ok: valid\n", "qelxml: \"a\\xFFb\": not UTF-8 (byte 0xFF at offset 1)\n"},
      {"rawname 'a b' '$v' 1abc abc", 0, "a.H20.b\n_..ds.v\n_.1abc\nabc\n", ""},
      {"rawname --reverse a.H20.b _..ds.v _.1abc abc", 0, "a b\n$v\n1abc\nabc\n", ""},
      {"rawname ok ''", 1, "ok\n", "~Raw item name is an empty string\\."},
      {"rawname --reverse a.zz.b", 1, "", "~."},
      {"text -", 0, "one two <three>\n", "", "<a>one <b>two</b><!--no--><![CDATA[ <three>]]></a>"},
      {"text --trim-space -", 0, "xy\n", "", "<a> x <b> y </b></a>"},
      {"rawname \xC0\x80 \xE0\x9F\xBF \xED\xA0\x80 \xF4\x90\x80\x80 x\xE2\x82 \x80", 1, "", "~^(.*not UTF-8.*\n){6}$"},
  });
}

TEST_F(Tool, UsageErrorsExitTwoAndHelpVersionAndTraceAnswer) {
  std::vector<Case> cases = {
      {"frobnicate", 2, "", "~^qelxml: unknown subcommand: frobnicate\\n[\\s\\S]*Usage: qelxml"},
      {"--help", 0, "~Usage: qelxml[\\s\\S]*rawname", ""},
      {"format --help", 0, "~--net[\\s\\S]*--no-external[\\s\\S]*--max-entity-text[\\s\\S]*--encoding", ""},
      {"--version", 0, "qelxml " QELXML_VERSION "\n", ""},
      {"check --trace qelCheckXmlName=0x40 name a", 0, "a: valid\n", "~QELDOM qelCheckXmlName: Entry"},
      {"--trace 0 check name a", 0, "a: valid\n", ""},
      {"--trace qelCheckXmlName=lots check name a", 2, "", "~^qelxml: --trace: [^\\n]+\\n$"}};
  for (const char* args : {"", "format --bogus", "check name", "check date x", "detect", "--trace"})
    cases.push_back({args, 2, "", "~Usage: qelxml"});
  expectRuns(cases);
}

// The output file appears whole or not at all: failures keep the old file
// as it was and leave nothing beside it; standard output, too, gets a whole
// document or nothing.
TEST_F(Tool, OutputAppearsWholeOrNotAtAll) {
  sh("echo '<a><b>x</b></a>' > doc.xml; echo '<a>' > bad.xml; printf old > out.xml");
  expectRuns({
      {"format -o out.xml bad.xml", 1, "", "~."},
      {"format -o out.xml --encoding NO-SUCH-ENCODING doc.xml", 1, "", "~."},
      {"text -o out.xml missing.xml", 1, "", "~."},
      {"format --encoding US-ASCII -", 1, "", "~.", "<a>" + std::string(100000, 'x') + "<!--\u00e9--></a>"},
      {"format -o no/such/dir/out.xml doc.xml", 1, "", "~No such file or directory"},
  });
  EXPECT_EQ(text("out.xml"), "old");
  EXPECT_EQ(sh("ls -A"), "bad.xml\ndoc.xml\nout.xml\n");
  expectRuns({{"format --margins -o out.xml doc.xml", 0, "", ""}, {"text -o text.txt doc.xml", 0, "", ""}});
  EXPECT_EQ(text("out.xml") + text("text.txt"), "<?xml version=\"1.0\" ?>\n<a>\n  <b>x</b>\n</a>\nx\n");
}

// What stands at the path stays what it is: links stay links and lead to
// the file that gets the content, every hard link sees it, mode and owner
// stay, a name at the length limit works; devices, FIFOs and sockets are
// written as the shell's > writes them, and what > refuses is refused: a
// file the user may not write (as another user when the test runs as root),
// a socket, a full device.
TEST_F(Tool, OutputTargetsStayWhatTheyAre) {
  const bool root = geteuid() == 0;
  const std::string longName(255, 'n');
  sh("printf '<a/>' > doc.xml; for f in real h1 kept locked; do printf old > $f; done; ln h1 h2; mkdir sub; "
     "ln -s real link; ln -s sub/new dangling; chmod 640 kept; chmod 444 locked; chmod 777 .; mkfifo fifo" +
     std::string(root ? "; chown 65534:65534 kept" : ""));
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (m_dir / "sock").c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const bool devices = sh("mknod null c 1 3 && mknod full c 1 7 && echo yes") == "yes\n";
  std::vector<Case> cases = {
      {"format -o sock doc.xml", 1, "", "qelxml: cannot write sock: No such device or address\n"},
      {"format --no-xml-decl -o " + longName + " doc.xml", 0, "", ""}};
  for (const char* target : {"link", "dangling", "h1", "kept", devices ? "null" : "h1"})
    cases.push_back({"format --no-xml-decl -o " + std::string(target) + " doc.xml", 0, "", ""});
  if (devices)
    cases.push_back({"format -o full doc.xml", 1, "", "qelxml: cannot write full: No space left on device\n"});
  expectRuns(cases);
  EXPECT_EQ(sh((root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") + std::string(QELXML_PATH) +
               " format -o locked doc.xml 2>&1"),
            "qelxml: cannot write locked: Permission denied\n");
  EXPECT_EQ(sh("cat real sub/new h1 h2 kept locked " + longName), "<a/><a/><a/><a/><a/>old<a/>");
  // The FIFO's reader gets the document: the tool opens it once, as > does.
  EXPECT_EQ(sh("cat fifo & timeout 20 " QELXML_PATH " format --no-xml-decl -o fifo doc.xml; wait"), "<a/>");
  close(sock);
  EXPECT_EQ(sh("stat -c '%a %u' kept; stat -c %F link dangling fifo sock"),
            "640 " + std::to_string(root ? 65534 : geteuid()) + "\nsymbolic link\nsymbolic link\nfifo\nsocket\n");
  EXPECT_TRUE(!devices || sh("stat -c %F null full") == "character special file\ncharacter special file\n");
}

// Interrupted while the output is in the making (the input is still
// coming, and the temporary file there, waited for within a bound far above
// any start-up): the temporary file goes, the target stays as it was. The
// tool gets the signals at their defaults, whatever the test inherited.
TEST_F(Tool, InterruptedOutputLeavesTheTargetAsItWas) {
  for (const std::string sig : {"INT", "TERM", "HUP"})
    EXPECT_EQ(sh("printf old > out.xml; mkfifo feed; env --default-signal " QELXML_PATH
                 " format -o out.xml - < feed 2> /dev/null & exec 3> feed; printf '<a>' >&3; for i in $(seq 1000); "
                 "do ls -A | grep -q qelxml- && break; sleep 0.01; done; ls -A | grep -c qelxml-; kill -" +
                 sig + " $!; wait $!; kill -l $?; rm feed; ls -A; cat out.xml"),
              "1\n" + sig + "\nout.xml\nold");
}

// Every command checks its writes to standard output, also past its buffer.
TEST_F(Tool, EveryCommandFailsWhenStandardOutputFails) {
  if (sh("mknod full c 1 7 && echo '<a>x</a>' > doc.xml && echo yes") != "yes\n")
    GTEST_SKIP() << "mknod is not permitted here: no private full device";
  std::vector<Case> cases;
  for (const char* args : {"rawname $(seq 3000)", "detect doc.xml", "check name a", "rawname a", "--help",
                           "format --help", "--version", "format doc.xml", "text doc.xml"})
    cases.push_back({args, 1, "", "qelxml: cannot write standard output: No space left on device\n", "", "> full"});
  expectRuns(cases);
}

// A file name that is not UTF-8, a pipe named as /dev/fd/N (what <(cat
// doc.xml) gives), a FIFO: each read once; detect reads no further than
// recognition needs, and leaves the rest of standard input to the next reader.
TEST_F(Tool, InputsAreReadOnceAndOnlyAsFarAsNeeded) {
  const std::string doc = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xe9</a>",
                    out = "<?xml version=\"1.0\" ?><a>caf\u00e9</a>";
  file("caf\xe9.xml", doc);
  file("big.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>" + std::string(1 << 20, 'x') + "</a>");
  expectRuns(
      {{"format caf\xe9.xml", 0, out, ""}, {"detect caf\xe9.xml", 0, "caf\xe9.xml: ISO-8859-1 (declaration)\n", ""}});
  // A second open of the FIFO or of the pipe would wait for ever: the time-out ends it.
  EXPECT_EQ(sh("mkfifo fifo.xml; cat caf*.xml > fifo.xml & timeout 20 " QELXML_PATH " format fifo.xml"), out);
  EXPECT_EQ(sh("cat caf*.xml | timeout 20 " QELXML_PATH " format /dev/fd/3 3<&0"), out);
  const std::string detected = sh("{ " QELXML_PATH " detect -; wc -c; } < big.xml");
  EXPECT_EQ(detected.substr(0, 23), "-: UTF-8 (declaration)\n");
  EXPECT_GT(std::stol(detected.substr(23)), (1 << 20) - 100) << "the rest of standard input is left to the next reader";
}

TEST_F(Tool, NetworkOnlyWithNetAndNothingExternalWithNoExternal) {
  qeltest::noNetwork();  // the loopback server alone is reachable
  qeltest::LoopbackServer server(qeltest::LoopbackServer::Bodies{{"/d.dtd", "<!ENTITY e \"from the net\">"}});
  file("net.xml", "<!DOCTYPE a SYSTEM \"" + server.url("/d.dtd") + "\"><a>&e;</a>");
  expectRuns({{"format --no-xml-decl net.xml", 1, "", "~unable to open DTD document '" + server.url("/d.dtd")},
              {"format --no-xml-decl --no-external --net net.xml", 1, "", "~refused"},
              {"format --no-xml-decl --net net.xml", 0, "<a>from the net</a>", ""}});
  EXPECT_EQ(server.connections(), 1) << "the last run's alone";
}

// A fixed sample of the valid XML 1.0 documents, one process each, from one
// shell: every eighth test of the catalogue, all of the Japanese sub-suite
// (its encodings), and the two known to fail for reasons outside the tool: an
// external subset that begins with '%' (0x25, the EBCDIC line feed, so the
// input probes as EBCDIC), and version="1.7", which the Xerces-C 3.2 DOM
// refuses. The library's own run covers every document.
TEST_F(Tool, FormatAcceptsValidDocumentsOfTheConformanceSuite) {
  if (!fs::exists(QELXML_CONFORMANCE)) GTEST_SKIP() << "the conformance suite is not unpacked";
  const std::set<std::string> known = {"o-p28pass5", "x-rmt-008b"};
  qeltest::DocPtr catalogue(qelParseDocFromFile(QELXML_CONFORMANCE, 0, nullptr));
  auto attr = [](const xercesc::DOMNode* e, const char16_t* name) {  // the TESTs and all above are elements
    return qeltest::u8(static_cast<const xercesc::DOMElement*>(e)->getAttribute(name));
  };
  std::string list;  // a line per document: its id and its path under the xml:base of its TESTCASES
  for (XMLSize_t i = 0; const xercesc::DOMNode* t = catalogue->getElementsByTagName(u"TEST")->item(i); ++i) {
    std::string id = attr(t, u"ID"), path = attr(t, u"URI");
    for (const xercesc::DOMNode* p = t->getParentNode(); p != catalogue.get(); p = p->getParentNode())
      path = attr(p, u"xml:base") + path;
    if (attr(t, u"TYPE") != "valid" || attr(t, u"VERSION") == "1.1" || attr(t, u"RECOMMENDATION") == "XML1.1") continue;
    if (i % 8 == 0 || known.count(id) || path.rfind("japanese/", 0) == 0) list += id + " " + path + "\n";
  }
  file("list", list);
  // The ids of the documents the tool refuses on standard output, its errors on standard error.
  std::istringstream refused(sh("while read -r id f; do " QELXML_PATH " format -o out.xml " +
                                quoted(fs::path(QELXML_CONFORMANCE).parent_path()) +
                                "/\"$f\" 2> err || { echo \"$id\"; echo \"$id: $(cat err)\" >&2; }; done < list"));
  EXPECT_EQ(std::set<std::string>(std::istream_iterator<std::string>(refused), {}), known);
}

}  // namespace
