// The check of format's output encoding: qelxml writes only what it can
// read back.
#include <memory>

#include "commands.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qelxml {

namespace {

struct DocReleaser {
  void operator()(DOMDocument* doc) const { doc->release(); }
};
using DocPtr = std::unique_ptr<DOMDocument, DocReleaser>;

// Markup, escaped text and characters most code pages write as references.
const XMLCh s_probeValue[] = u"a\"b\u00E9\u20AC\U0001F600";
const XMLCh s_probeText[] = u"<x> & \u00E9 \u4E2D \U0001F600 \uFEFF z";

}  // namespace

// A small document is written in the encoding and read back the way a user
// of the output would: with the XML declaration as a file is read, without
// it (--no-xml-decl, --content-only) with --input-encoding naming the
// encoding. ICU writes some encodings that no parser here reads (UTF-32
// without a byte order mark, HZ, BOCU-1): they fail the probe. An encoding
// the converter does not know passes, for the writer's own error.
std::string unreadableOutputEncoding(const std::string& encoding, unsigned long writeBits) {
  if (encoding.empty()) return "";
  const bool declared = (writeBits & QEL_WRITE_XML_DECL) && !(writeBits & QEL_WRITE_CONTENT_ONLY);
  DocPtr probe(tavCreateDoc(u"probe"));
  probe->getDocumentElement()->setAttribute(u"a", s_probeValue);
  tavAddText(probe->getDocumentElement(), s_probeText);
  std::string bytes;
  try {
    QelStringOutputStream stream(bytes);
    qelWriteNode(probe.get(), stream, declared ? QEL_WRITE_XML_DECL : 0, encoding.c_str(), nullptr);
  } catch (const QelError&) {
    return "";
  }
  try {
    DocPtr back(qelParseDoc(bytes.data(), bytes.size(), 0, declared ? nullptr : encoding.c_str()));
    const DOMElement* root = back->getDocumentElement();
    QelUniString text;
    tavGetText(root, text);
    if (QelDomStr(root->getTagName()).equals(u"probe") && QelDomStr(root->getAttribute(u"a")).equals(s_probeValue) &&
        text.compare(QelUniString(s_probeText)) == 0)
      return "";
    return "the output reads back as other text";
  } catch (const QelError& e) {
    return std::string("the output does not parse: ") + e.getMessage();
  }
}

}  // namespace qelxml
