// The commands that parse a document: format writes it back, text prints the
// text content of its document element.
#include <iostream>
#include <memory>
#include <xercesc/sax/SAXParseException.hpp>

#include "commands.hpp"
#include "output.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qelxml {

namespace {

struct DocReleaser {
  void operator()(DOMDocument* doc) const { doc->release(); }
};
using DocPtr = std::unique_ptr<DOMDocument, DocReleaser>;

// The name a message gives the input.
std::string inputName(const ParseOptions& options) { return options.input == "-" ? "<stdin>" : options.input; }

// The document, or null after a diagnostic on standard error: parse errors as
// FILE:LINE:COLUMN: message, other failures as FILE: message.
DocPtr parse(const ParseOptions& options) {
  const std::string name = inputName(options);
  const char* enc = options.inputEncoding.empty() ? nullptr : options.inputEncoding.c_str();
  // The Xerces-C exceptions themselves, for their position.
  const unsigned long bits = options.bits | QEL_PARSE_XERCES_EXCEPTIONS;
  // Files are opened by the library, once: FIFOs and process substitutions work.
  try {
    qelSetParseLimits(options.maxExpansions, options.maxEntityText);
    if (options.input == "-") return DocPtr(qelParseDoc(bits, enc));
    return DocPtr(qelParseDocFromFile(options.input.c_str(), bits, enc));
  } catch (const SAXParseException& e) {
    // An error inside an external entity names the entity.
    std::string where = name;
    std::string systemId = qelToMbcs(e.getSystemId());
    if (!systemId.empty() && systemId != "qelParseDoc" &&
        (systemId.size() < options.input.size() ||
         systemId.compare(systemId.size() - options.input.size(), std::string::npos, options.input) != 0))
      where = systemId;
    std::cerr << where << ":" << e.getLineNumber() << ":" << e.getColumnNumber() << ": " << qelToMbcs(e.getMessage())
              << std::endl;
  } catch (const XMLException& e) {
    std::cerr << name << ": " << qelGetErrorMsg(e) << std::endl;
  } catch (const DOMException& e) {
    std::cerr << name << ": " << qelGetErrorMsg(e) << std::endl;
  } catch (const QelError& e) {
    // "Cannot open input file" carries the system's reason as its cause.
    std::cerr << name << ": " << e.getMessage() << (e.getCause() ? std::string(": ") + e.getCause()->getMessage() : "")
              << std::endl;
  }
  return nullptr;
}

}  // namespace

// The output is set up first: a target the shell's > would refuse is
// refused before any work, as the shell would.
int runFormat(const FormatOptions& options) {
  if (std::string why = unreadableOutputEncoding(options.encoding, options.bits); !why.empty()) {
    complain("--encoding " + options.encoding + ": qelxml cannot read back what it writes in this encoding (" + why +
             ")");
    return 1;
  }
  Output out(options.output);
  DocPtr doc = parse(options.parse);
  if (!doc) return 1;
  qelWriteNode(doc.get(), out.stream(), options.bits, options.encoding.empty() ? nullptr : options.encoding.c_str(),
               nullptr);
  out.commit();
  return 0;
}

int runText(const ParseOptions& options, const std::string& output) {
  Output out(output);
  DocPtr doc = parse(options);
  if (!doc) return 1;
  QelUniString text;
  tavGetText(doc->getDocumentElement(), text);
  std::string bytes = qelToMbcs(text.c_str(), static_cast<unsigned>(text.length())) + "\n";
  out.stream().write(bytes.data(), static_cast<long>(bytes.size()));
  out.commit();
  return 0;
}

}  // namespace qelxml
