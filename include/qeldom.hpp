/// \file
/// qeldom: platform start-up, DOM editing in one call, text extraction and
/// node removal, and diagnostics that turn nodes and Xerces-C exceptions into
/// text.
///
/// Every function that takes a node starts Xerces-C first (tavDomInit). A
/// node argument that is null, or has no owner document where one is needed,
/// raises a QelError with QELRC_DOM_API_ERROR unless the function says
/// otherwise; what the Xerces-C DOM throws (a DOMException, for a name that
/// is not XML or a child the parent cannot take) passes through.
#pragma once

#include <ostream>
#include <string>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLBuffer.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include "qelutil.hpp"

/// Marks what the library exports.
#define QELDOM_API __attribute__((visibility("default")))

/// The operation every error of the library carries (QelError::getOp).
constexpr long QELOP_REPOSITORY = 101;
/// Return code (QelError::getRc): a call with arguments it cannot work with.
constexpr long QELRC_DOM_API_ERROR = 21301;
/// Return code: an input that is not a well-formed (or, when asked, valid)
/// XML document, or that cannot be read.
constexpr long QELRC_DOM_INVALID_XML_DOCUMENT = 21304;
/// Return code: a state the library never expects (a fault of the library).
constexpr long QELRC_INTERNAL_ERROR = 21020;
/// Return code: a raw item name that cannot be converted (qelRawToXmlName,
/// qelXmlNameToRaw).
constexpr long QELRC_INVALID_IDSTR = 21014;
/// Return code: an encoding name the converter does not know.
constexpr long QELRC_NLS_ERROR = 21029;

// --- platform ------------------------------------------------------------------

/// Makes sure Xerces-C is initialised in this process (once; later calls cost
/// a byte comparison). Safe to call from any thread.
/// \throws QelError QELRC_DOM_API_ERROR when Xerces-C cannot start; every
///   later call raises the same error again.
QELDOM_API void tavDomInit();

/// Runs the library's clean-up functions: terminates Xerces-C, frees the
/// library's once-only objects (the encoding name table, the schema model
/// library) and gives back the memory kept for the heaps of later documents
/// (up to 512 MiB of what released documents gave back). The library never
/// calls it by itself, not even at unload: call it once at the very end,
/// after every document, parser and writer is gone.
QELDOM_API void qelDomCleanup();

// --- editing ---------------------------------------------------------------------
// A parent (or node) that is null or has no owner document (a document type
// created and not attached) raises a QelError with QELRC_DOM_API_ERROR.

/// A new, empty document; the caller owns it and releases it
/// (DOMDocument::release).
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* qelCreateDoc();
/// A new document with a document element named `rootName`; the caller owns
/// it. When the element cannot be made, no document is left behind.
/// \throws DOMException for a name that is not an XML name.
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* tavCreateDoc(const XMLCh* rootName);
/// Appends an element named `name` as the last child of `parent` (any node
/// of a document, or the document itself) and returns it.
/// \throws QelError QELRC_DOM_API_ERROR for a null parent or one without an
///   owner document.
/// \throws DOMException for a name that is not an XML name or a parent that
///   cannot take the element.
QELDOM_API XERCES_CPP_NAMESPACE::DOMElement* tavAddElem(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* name);
/// Appends a text node holding `text` as the last child of `parent`.
/// \throws QelError QELRC_DOM_API_ERROR as tavAddElem does.
/// \throws DOMException for a parent that cannot take text.
QELDOM_API XERCES_CPP_NAMESPACE::DOMText* tavAddText(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* text);
/// Replaces the children of `node` by one text node holding `text` and
/// returns it. The new node is appended before the old children go, so a
/// failure leaves them in place.
/// \throws QelError QELRC_DOM_API_ERROR for a null node or one without an
///   owner document.
/// \throws DOMException for a node that cannot take text.
QELDOM_API XERCES_CPP_NAMESPACE::DOMText* tavSetText(XERCES_CPP_NAMESPACE::DOMNode* node, const XMLCh* text);
/// Appends a comment holding `text` as the last child of `parent`.
/// \throws QelError QELRC_DOM_API_ERROR as tavAddElem does.
/// \throws DOMException for a parent that cannot take a comment.
QELDOM_API XERCES_CPP_NAMESPACE::DOMComment* tavAddComment(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* text);
/// Appends a CDATA section holding `text` as the last child of `parent`.
/// \throws QelError QELRC_DOM_API_ERROR as tavAddElem does.
/// \throws DOMException for a parent that cannot take a CDATA section.
QELDOM_API XERCES_CPP_NAMESPACE::DOMCDATASection* tavAddCDATA(XERCES_CPP_NAMESPACE::DOMNode* parent, const XMLCh* text);
/// Appends a reference to the entity `name` as the last child of `parent`.
/// \throws QelError QELRC_DOM_API_ERROR as tavAddElem does.
/// \throws DOMException for a name that is not an XML name or a parent that
///   cannot take the reference.
QELDOM_API XERCES_CPP_NAMESPACE::DOMEntityReference* tavAddEntRef(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                                  const XMLCh* name);
/// Appends a processing instruction with `target` and `data` as the last
/// child of `parent`.
/// \throws QelError QELRC_DOM_API_ERROR as tavAddElem does.
/// \throws DOMException for a target that is not an XML name or a parent
///   that cannot take the instruction.
QELDOM_API XERCES_CPP_NAMESPACE::DOMProcessingInstruction* tavAddPi(XERCES_CPP_NAMESPACE::DOMNode* parent,
                                                                    const XMLCh* target, const XMLCh* data);
/// The document of `node`: the node itself when it is a document, its owner
/// document otherwise, null for a null node (or one made without a document).
QELDOM_API XERCES_CPP_NAMESPACE::DOMDocument* tavGetDoc(XERCES_CPP_NAMESPACE::DOMNode* node);

// --- text extraction and node removal ----------------------------------------------

/// Appends to `buffer` the text below `node`: the values of its text and
/// CDATA nodes in document order, through elements and entity references
/// (comments, processing instructions and attributes add nothing). Returns
/// the buffer's text, or null when `node` has no children (the buffer is then
/// left as it was).
/// \throws QelError QELRC_DOM_API_ERROR for a null node.
QELDOM_API const XMLCh* tavGetText(const XERCES_CPP_NAMESPACE::DOMNode* node, XERCES_CPP_NAMESPACE::XMLBuffer& buffer);
/// The same, appending to `text` and returning `text.c_str()`.
/// \throws QelError QELRC_DOM_API_ERROR for a null node.
QELDOM_API const XMLCh* tavGetText(const XERCES_CPP_NAMESPACE::DOMNode* node, QelUniString& text);
/// Takes `node` out of its parent. The node stays owned by its document and
/// is not released. Returns false for a node without a parent, true
/// otherwise (a null node included, which has nothing to remove).
QELDOM_API bool tavRemoveNode(XERCES_CPP_NAMESPACE::DOMNode* node);
/// Removes every child of `node` and, when `removeAttributes` is set and the
/// node is an element, every attribute. The removed nodes stay owned by the
/// document.
/// \throws QelError QELRC_DOM_API_ERROR for a null node.
/// \throws DOMException for a read-only node.
QELDOM_API void tavCleanNode(XERCES_CPP_NAMESPACE::DOMNode* node, bool removeAttributes);

// --- diagnostics ---------------------------------------------------------------------

/// The name of the node's type: "Element", "Attribute", "Text",
/// "CDATASection", "EntityReference", "Entity", "ProcessingInstruction",
/// "Comment", "Document", "DocumentType", "DocumentFragment", "Notation", or
/// "Unknown".
/// \throws QelError QELRC_DOM_API_ERROR for a null node.
QELDOM_API std::string qelGetNodeTypeStr(const XERCES_CPP_NAMESPACE::DOMNode* node);
/// Writes the one-line node text, as traces and messages show a node:
/// `Node( type(Element) name(a) value() numOfChilds(2) Attr0( (x) (1) ) )`,
/// or `Node( NULL )`. Its numbers are decimal whatever the stream's flags.
QELDOM_API std::ostream& operator<<(std::ostream& os, const XERCES_CPP_NAMESPACE::DOMNode* node);
/// The text of a DOMException: "DOMException(CODE): " and the DOM's
/// description of the code.
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::DOMException& e);
/// The text of an XMLException: its message and " ( line N )", the source
/// line of Xerces-C that raised it.
/// \throws std::bad_alloc for Xerces-C's out-of-memory exception.
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::XMLException& e);
/// The text of a parse error: its message and " ( line L, char C )", the
/// position in the input.
/// \throws std::bad_alloc for a parse that ran out of memory.
QELDOM_API std::string qelGetErrorMsg(const XERCES_CPP_NAMESPACE::SAXParseException& e);
/// Copies the text of `buffer` into `target` and returns `target`; an empty
/// buffer leaves `target` as it was.
QELDOM_API std::u16string& qelStrCopy(std::u16string& target, const XERCES_CPP_NAMESPACE::XMLBuffer& buffer);
/// Copies `text` into `target` and returns `target`; a null or empty text
/// leaves `target` as it was.
QELDOM_API std::u16string& qelStrCopy(std::u16string& target, const XMLCh* text);
