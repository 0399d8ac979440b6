// qeldom: platform start-up, DOM editing in one call, text extraction and
// node removal, and diagnostics that turn nodes and Xerces-C exceptions into
// text.
#pragma once

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLBuffer.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include <ostream>
#include <string>

#include "qelutil.hpp"

#define QELDOM_API __attribute__((visibility("default")))

// Return codes of the errors the library raises (QelError::getRc), and the
// operation they all carry (QelError::getOp).
constexpr long QELOP_REPOSITORY = 101;
constexpr long QELRC_DOM_API_ERROR = 21301;
constexpr long QELRC_DOM_INVALID_XML_DOCUMENT = 21304;
constexpr long QELRC_INTERNAL_ERROR = 21020;
constexpr long QELRC_INVALID_IDSTR = 21014;
constexpr long QELRC_NLS_ERROR = 21029;

// --- platform ------------------------------------------------------------------

// Makes sure Xerces-C is initialised in this process (once; later calls cost a
// byte comparison). A failure is a QelError with QELRC_DOM_API_ERROR.
QELDOM_API void tavDomInit();

// Runs the library's clean-up functions: terminates Xerces-C, frees the
// library's once-only objects (the encoding name table, the schema model
// library) and gives back the memory kept for the heaps of later documents
// (up to 512 MiB of what released documents gave back). The library never
// calls it by itself, not even at unload: call it once at the very end, after
// every document, parser and writer is gone.
QELDOM_API void qelDomCleanup();

// --- editing ---------------------------------------------------------------------
// A parent (or node) that is null or has no owner document (a document type
// created and not attached) raises a QelError with QELRC_DOM_API_ERROR.

QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelCreateDoc();
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* tavCreateDoc(const XMLCh* rootName);
QELDOM_API XERCES_CPP_NAMESPACE::DOMElement* tavAddElem(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* name);
QELDOM_API XERCES_CPP_NAMESPACE::DOMText* tavAddText(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* text);
QELDOM_API XERCES_CPP_NAMESPACE::DOMText* tavSetText(XERCES_CPP_NAMESPACE::DOMNode* node, const XMLCh* text);
QELDOM_API XERCES_CPP_NAMESPACE::DOMComment* tavAddComment(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                           const XMLCh* text);
QELDOM_API XERCES_CPP_NAMESPACE::DOMCDATASection* tavAddCDATA(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                              const XMLCh* text);
QELDOM_API XERCES_CPP_NAMESPACE::DOMEntityReference* tavAddEntRef(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                                  const XMLCh* name);
QELDOM_API XERCES_CPP_NAMESPACE::DOMProcessingInstruction* tavAddPi(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                                    const XMLCh* target, const XMLCh* data);
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* tavGetDoc(XERCES_CPP_NAMESPACE::DOMNode* node);

// --- text extraction and node removal ----------------------------------------------

QELDOM_API const XMLCh* tavGetText(const XERCES_CPP_NAMESPACE::DOMNode* node, XERCES_CPP_NAMESPACE::XMLBuffer& buffer);
QELDOM_API const XMLCh* tavGetText(const XERCES_CPP_NAMESPACE::DOMNode* node, QelUniString& text);
QELDOM_API bool tavRemoveNode(XERCES_CPP_NAMESPACE::DOMNode* node);
QELDOM_API void tavCleanNode(XERCES_CPP_NAMESPACE::DOMNode* node, bool removeAttributes);

// --- diagnostics ---------------------------------------------------------------------

QELDOM_API std::string qelGetNodeTypeStr(const XERCES_CPP_NAMESPACE::DOMNode* node);
// The one-line node text: Node( type(Element) name(a) value() numOfChilds(2) Attr0( (x) (1) ) )
// Its numbers are decimal whatever the stream's flags.
QELDOM_API std::ostream& operator<<(std::ostream& os, const XERCES_CPP_NAMESPACE::DOMNode* node);
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::DOMException& e);
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::XMLException& e);
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::SAXParseException& e);
QELDOM_API std::u16string& qelStrCopy(std::u16string& target, const XERCES_CPP_NAMESPACE::XMLBuffer& buffer);
QELDOM_API std::u16string& qelStrCopy(std::u16string& target, const XMLCh* text);
