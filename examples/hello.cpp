// The README's example: build a document, write it in two encodings, parse it
// back with the whitespace rule, read its text and check a name.
#include <iostream>
#include <string>

#include "qeldom.hpp"
#include "qelichk.hpp"
#include "qelidwrt.hpp"
#include "qelipars.hpp"
#include "qeloutstream.hpp"

XERCES_CPP_NAMESPACE_USE

int main() {
  try {
    DOMDocument* doc = tavCreateDoc(u"order");  // starts Xerces-C on first use
    DOMElement* item = tavAddElem(doc->getDocumentElement(), u"item");
    item->setAttribute(u"qty", u"2");
    tavAddText(item, u"Cr\u00e8me br\u00fbl\u00e9e & caf\u00e9");

    std::string utf8, latin1;
    QelStringOutputStream toUtf8(utf8), toLatin1(latin1);
    qelWriteNode(doc, toUtf8, QEL_WRITE_XML_DECL | QEL_WRITE_MARGINS, nullptr, nullptr);
    qelWriteNode(doc, toLatin1, QEL_WRITE_XML_DECL, "ISO-8859-1", nullptr);
    doc->release();
    std::cout << utf8 << latin1.size() << " bytes in ISO-8859-1\n";

    DOMDocument* back = qelParseDoc(latin1.data(), latin1.size(), QEL_PARSE_TRIM, nullptr);
    QelUniString text;
    tavGetText(back->getDocumentElement(), text);
    std::cout << "text: " << text << "\n";
    back->release();

    char message[100];
    if (!qelCheckXmlName(u"1st-item", message)) std::cout << "not a name: " << message << "\n";
    std::cout << "as a name: " << qelRawToXmlName(QelUniString(u"1st item")) << "\n";
  } catch (const QelError& e) {  // the library's own errors, parse errors included
    std::cerr << e.what() << "\n";
    return 1;
  } catch (const DOMException& e) {  // what the DOM rejects (invalid names, misplaced nodes)
    std::cerr << qelGetErrorMsg(e) << "\n";
    return 1;
  }
  return 0;
}
