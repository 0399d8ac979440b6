// Internal to the library: the internal subset of a document type, read
// back from the text Xerces-C rebuilds from its declarations, as the pieces
// a writer writes in a legal, escaped form.
//
// Xerces-C's text parses back to other declarations, or not at all: entity
// values and attribute defaults stand in double quotes without escaping
// (character references already replaced), an entity with both identifiers
// reads PUBLIC "p" SYSTEM "s", a NOTATION attribute loses its list of
// notations and every comment gains a blank on each side.
#pragma once

#include <string>
#include <vector>
#include <xercesc/dom/DOMDocumentType.hpp>

namespace qel_detail {

// A piece of the internal subset to write. Markup (keywords, names,
// identifiers, comments, processing instructions, white space) is written as
// it is: XML has no character references there. An entity value or an
// attribute default is the text its literal must give back; the writer
// escapes it.
struct SubsetPiece {
  enum Kind : unsigned char { markup, entityValue, attributeDefault };
  Kind kind;
  std::u16string text;
  size_t offset;     // where the text, or the declaration it belongs to, begins in the rebuilt subset
  const char* what;  // what the piece is, for messages: "name in the internal subset", ...
};

// The internal subset of `docType`, in the order of its declarations.
// Raises a QelError when the rebuilt text cannot be read, or reads in more
// than one way that the document type's entity and notation maps allow.
std::vector<SubsetPiece> readInternalSubset(const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);

// The last declaration of an entity in the internal subset: the one the
// document type's entity node of that name stands for.
struct DeclaredEntity {
  bool declared = false;
  bool external = false;  // an external entity (whose identifiers the entity node has)
  std::u16string value;   // an internal entity's replacement text
};
DeclaredEntity declaredEntity(const XERCES_CPP_NAMESPACE::DOMDocumentType* docType, const XMLCh* name);

// The identifier as a literal: between double quotes, or between
// apostrophes when it holds a double quote. Raises a QelError, naming
// `node`, for an identifier that holds both.
std::u16string quotedIdentifier(const XMLCh* id, const XERCES_CPP_NAMESPACE::DOMNode* node);

}  // namespace qel_detail
