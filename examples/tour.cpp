// A short tour: build a document with the editing calls, print a node's
// diagnostic text and the document's text content, and re-encode a bundled
// ISO-8859-1 text with the code-page converter.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "nyl.hpp"
#include "qeldom.hpp"

XERCES_CPP_NAMESPACE_USE

int main(int argc, char** argv) {
  try {
    DOMDocument* doc = tavCreateDoc(u"order");
    DOMElement* root = doc->getDocumentElement();
    root->setAttribute(u"id", u"42");
    tavAddText(tavAddElem(root, u"item"), u"caf\u00e9 & cr\u00e8me");
    tavAddComment(root, u"a comment is not text");
    tavAddCDATA(tavAddElem(root, u"note"), u"<fragile/>");

    std::cout << "node text: " << static_cast<const DOMNode*>(root) << "\n";
    QelUniString text;
    tavGetText(root, text);
    std::cout << "text content: " << text << "\n";
    doc->release();

    const char* path = argc > 1 ? argv[1] : QELDOM_EXAMPLE_DATA "/greeting-latin1.txt";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QelNls latin1(u"ISO-8859-1");
    QelAutoBuffer<XMLCh> unicode = latin1.toUnicode(bytes.data(), static_cast<long>(bytes.size()));
    QelNls ebcdic(u"IBM037");
    QelAutoBuffer<char> cp037 = ebcdic.fromUnicode(unicode.get(), static_cast<long>(unicode.size()));
    std::cout << "ISO-8859-1 " << bytes.size() << " bytes -> UTF-8: " << qelToMbcs(unicode.get());
    std::cout << "the same in " << qelToMbcs(ebcdic.getCodePage()) << " (code page " << ebcdic.getCodePageId()
              << "):";
    for (size_t i = 0; i < cp037.size() && i < 12; ++i) std::printf(" %02X", static_cast<unsigned char>(cp037.get()[i]));
    std::cout << " ...\n";
  } catch (const QelError& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  } catch (const DOMException& e) {
    std::cerr << "error: " << qelGetErrorMsg(e) << "\n";
    return 1;
  }
  return 0;
}
