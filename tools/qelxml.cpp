// qelxml: the command line face of qeldom. Reformats and re-encodes XML
// documents, reports the encoding of inputs, checks names and texts, converts
// raw item names and prints the text of a document.
//
// Exit codes: 0 success, 1 bad input (a file, a document, a value), 2 usage.
#include <CLI/CLI.hpp>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>
#include <xercesc/sax/SAXException.hpp>

#include "commands.hpp"
#include "mox.hpp"
#include "output.hpp"
#include "qeldom.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"

#ifndef QELXML_VERSION
#define QELXML_VERSION "unknown"
#endif

namespace {

// A flag that sets `bit` in `word`.
void addBitFlag(CLI::App* app, const std::string& name, unsigned long& word, unsigned long bit,
                const std::string& help) {
  app->add_flag_callback(
      name, [&word, bit] { word |= bit; }, help);
}

void addParseOptions(CLI::App* app, qelxml::ParseOptions& parse) {
  app->add_option("FILE", parse.input, "the document; - for standard input")->capture_default_str();
  addBitFlag(app, "--trim-space", parse.bits, QEL_PARSE_TRIM,
             "outside xml:space=\"preserve\", trim character data and drop white space between markup");
  addBitFlag(app, "--validate", parse.bits, QEL_PARSE_VALIDATE, "validate against the document's DTD");
  addBitFlag(app, "--namespaces", parse.bits, QEL_PARSE_NAMESPACES, "process namespaces");
  addBitFlag(app, "--empty-missing-entities", parse.bits, QEL_PARSE_EMPTY_IF_MISSING,
             "read a local external entity that cannot be opened as empty");
  app->add_option("--input-encoding", parse.inputEncoding,
                  "the input's encoding when neither a byte order mark nor a declaration names it");
  // External resources: local files, but no network unless asked.
  parse.bits |= QEL_PARSE_NO_NETWORK;
  app->add_flag_callback(
      "--net", [&parse] { parse.bits &= ~QEL_PARSE_NO_NETWORK; },
      "fetch external entities and DTDs named by http, https and ftp URLs (30 s each at most)");
  addBitFlag(app, "--no-external", parse.bits, QEL_PARSE_NO_EXTERNAL,
             "refuse every external entity and DTD, local or not (exit 1)");
  qelGetParseLimits(parse.maxExpansions, parse.maxEntityText);
  app->add_option("--max-entity-expansions", parse.maxExpansions,
                  "entity expansions allowed in the document; 0 for no bound")
      ->capture_default_str();
  app->add_option("--max-entity-text", parse.maxEntityText,
                  "characters that entities may bring into the document; 0 for no bound")
      ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
  qelxml::guardStandardDescriptors();
  CLI::App app{"qelxml: reformat, re-encode and check XML with qeldom", "qelxml"};
  app.set_version_flag("--version", "qelxml " QELXML_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  app.failure_message(CLI::FailureMessage::help);
  std::string trace;
  app.add_option("--trace", trace, "trace levels, e.g. 0xD0 or qelParseXml=0xD0,QELDOM=0x80");

  qelxml::FormatOptions format;
  CLI::App* formatCmd = app.add_subcommand("format", "parse a document and write it back");
  addParseOptions(formatCmd, format.parse);
  formatCmd->add_option("-o,--output", format.output, "write to this file instead of standard output");
  formatCmd->add_option("--encoding", format.encoding, "output encoding (default UTF-8)");
  // The declaration is on by default: a document re-encoded without it
  // would be read back in the wrong encoding.
  format.bits = QEL_WRITE_XML_DECL;
  formatCmd->add_flag_callback(
      "--no-xml-decl", [&format] { format.bits &= ~QEL_WRITE_XML_DECL; },
      "leave out the XML declaration (which names the output encoding)");
  addBitFlag(formatCmd, "--doctype", format.bits, QEL_WRITE_DOCTYPE, "write the document type declaration");
  addBitFlag(formatCmd, "--margins", format.bits, QEL_WRITE_MARGINS, "one line per markup, indented by depth");
  addBitFlag(formatCmd, "--spaced-margins", format.bits, QEL_WRITE_SPACED_MARGINS,
             "margins, and blank lines around the elements of the second level");
  addBitFlag(formatCmd, "--char-refs", format.bits, QEL_WRITE_CHAR_REFS,
             "write CR, LF and every non-ASCII character as a character reference");
  addBitFlag(formatCmd, "--canonical", format.bits, QEL_WRITE_CANONICAL, "canonical form");
  addBitFlag(formatCmd, "--content-only", format.bits, QEL_WRITE_CONTENT_ONLY,
             "leave out the XML declaration and document type: write the document's children only");
  addBitFlag(formatCmd, "--specified-only", format.bits, QEL_WRITE_SPECIFIED_ONLY,
             "leave out attributes defaulted from the DTD");

  std::vector<std::string> files;
  std::string supplied;
  CLI::App* detectCmd = app.add_subcommand("detect", "tell the encoding of each file and where it came from");
  detectCmd->add_option("FILE", files, "the files; - for standard input")->required();
  detectCmd->add_option("--encoding", supplied, "the encoding the caller supplies");

  std::string kind;
  std::vector<std::string> values;
  CLI::App* checkCmd = app.add_subcommand("check", "check values against an XML production");
  checkCmd->add_option("KIND", kind, "what to check")->required()->check(CLI::IsMember(qelxml::checkKinds()));
  checkCmd->add_option("VALUE", values, "the values")->required();

  bool reverse = false;
  std::vector<std::string> names;
  CLI::App* rawCmd = app.add_subcommand("rawname", "turn raw item names into XML names");
  rawCmd->add_flag("--reverse", reverse, "turn XML names made by rawname back into raw item names");
  rawCmd->add_option("VALUE", names, "the names")->required();

  qelxml::ParseOptions textParse;
  std::string textOutput;
  CLI::App* textCmd = app.add_subcommand("text", "print the text content of the document element");
  addParseOptions(textCmd, textParse);
  textCmd->add_option("-o,--output", textOutput, "write to this file instead of standard output");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::vector<std::string> rest = app.remaining();
    if (app.get_subcommands().empty() && !rest.empty() && e.get_exit_code() != 0) {
      qelxml::complain("unknown subcommand: " + rest.front());
      std::cerr << app.help();
      return 2;
    }
    int rc = app.exit(e);  // the help and the version go to standard output
    return qelxml::finishStandardOutput(rc == 0 ? 0 : 2);
  }
  if (!trace.empty()) {
    try {
      moxSetTrace(trace);
    } catch (const std::invalid_argument& e) {
      qelxml::complain(std::string("--trace: ") + e.what());
      return 2;
    }
  }

  int rc = 0;
  try {
    if (*formatCmd) rc = qelxml::runFormat(format);
    if (*detectCmd) rc = qelxml::runDetect(files, supplied);
    if (*checkCmd) rc = qelxml::runCheck(kind, values);
    if (*rawCmd) rc = qelxml::runRawName(names, reverse);
    if (*textCmd) rc = qelxml::runText(textParse, textOutput);
  } catch (const QelError& e) {
    qelxml::complain(e.getMessage());
    rc = 1;
  } catch (const std::exception& e) {
    qelxml::complain(e.what());
    rc = 1;
  } catch (const XERCES_CPP_NAMESPACE::XMLException& e) {
    qelxml::complain(qelGetErrorMsg(e));
    rc = 1;
  } catch (const XERCES_CPP_NAMESPACE::DOMException& e) {
    qelxml::complain(qelGetErrorMsg(e));
    rc = 1;
  } catch (const XERCES_CPP_NAMESPACE::SAXException& e) {
    qelxml::complain(qelToMbcs(e.getMessage()));
    rc = 1;
  }
  qelDomCleanup();
  return qelxml::finishStandardOutput(rc);
}
