// Internal to the library: the DOM writer's walk.
#pragma once

#include <xercesc/dom/DOMDocumentType.hpp>
#include <xercesc/dom/DOMNode.hpp>

#include "qelpieces.hpp"

namespace qel_detail {

// Writes `node` with everything below it into `out`, in the layout the
// QEL_WRITE_* bits of `options` choose. `docType`, if not null, is written in
// place of the document's own document type. Raises a QelError for what
// cannot be written; DOM exceptions pass.
void writeTree(Pieces out, const XERCES_CPP_NAMESPACE::DOMNode* node, unsigned long options,
               const XERCES_CPP_NAMESPACE::DOMDocumentType* docType);

}  // namespace qel_detail
