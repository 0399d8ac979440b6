// Serialization: the converting writer, the DOM writer, the document type
// declaration text and the one-call entry point. The staging buffer, the
// walk and the escaping live in qeldom/qelstaging, qelwalk and qelescape.
#include "qelidwrt.hpp"

#include <xercesc/util/XMLUni.hpp>

#include "qelframe.hpp"
#include "qelpieces.hpp"
#include "qelstaging.hpp"
#include "qelwalk.hpp"

XERCES_CPP_NAMESPACE_USE
using qel_detail::Staging;

QEL_TRACE_FILE("qeldom/qelidwrt", "$Revision: 1.1 $");

namespace {

// The source line that the unknown-encoding error has always reported; logs
// and callers that match on it keep working whatever this file looks like.
constexpr int s_unknownEncodingLine = 127;

// The encoding name in UTF-16: null, "" and "NATIVE" (any case) are UTF-8.
std::u16string resolveEncodingName(const char* encoding) {
  if (!encoding || !*encoding) return QelUni::s_utf8;
  QelAutoBuffer<XMLCh> converted = qelNlsToUnicode(encoding, -1, LCL1_PrivateFunction_GetProcessLocale());
  std::u16string name = converted ? std::u16string(converted.get(), converted.size()) : std::u16string();
  if (qelToUpper(name) == QelUni::s_native) return QelUni::s_utf8;
  return name;
}

// The output stage of both writers: a staging buffer in front of the
// converter for the caller's encoding and the stream. It is the converting
// writer's construction, and traced as such; a converter that cannot be
// built raises the error before anything is written. Like the library's
// other calls it starts the XML platform first.
std::unique_ptr<Staging> openOutput(QelOutputStream& stream, const char* encoding, bool withPrefix) {
  tavDomInit();
  auto output = std::make_unique<Staging>(stream, resolveEncodingName(encoding).c_str(), withPrefix);
  QEL_TRACE_ENTER("QelCnvWriter::QelCnvWriter");
  QEL_TRACE_ARGS("(" << qel_detail::orNull(encoding) << ")");
  if (long number = LcGetError(output->converter().m_locale)) {
    std::string message = QelNls::getErrorMsg(number);
    if (number == QEL_NLS_UNKNOWN_CODEPAGE && encoding) message += std::string(" (") + encoding + ")";
    qel_detail::raise(&trc_, s_unknownEncodingLine, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0,
                      "QelCnvWriter::QelCnvWriter", s_revision, s_sourcePath, message);
  }
  QEL_TRACE_EXIT();
  return output;
}

}  // namespace

// --- QelCnvWriter ------------------------------------------------------------------------------

QelCnvWriter::QelCnvWriter(QelOutputStream& stream, const char* encoding, bool withPrefix)
    : m_staging(openOutput(stream, encoding, withPrefix)) {}

QelCnvWriter::~QelCnvWriter() noexcept(false) { m_staging->finish(); }

void QelCnvWriter::write(const XMLCh* chars, int count) { qel_detail::tracedWrite(*m_staging, chars, count); }

void QelCnvWriter::write(XMLCh unit) { qel_detail::tracedWrite(*m_staging, unit); }

void QelCnvWriter::write(const std::u16string& text) {
  QEL_TRACE_ENTER("QelCnvWriter::write");
  QEL_TRACE_ARGS("(" << qel_detail::u16(text.data(), static_cast<unsigned>(text.length())) << ")");
  qel_detail::tracedWriteAll(*m_staging, text.data(), text.length());
  QEL_TRACE_EXIT();
}

void QelCnvWriter::commit() { m_staging->commit(); }

const QelNls& QelCnvWriter::getConverter() const { return m_staging->converter(); }

// --- QelDomWriter ------------------------------------------------------------------------------

// The trace level of the pieces is read once per run: with the write trace
// off, a piece costs an append and nothing else. What was staged before an
// exception reaches the stream as the exception leaves.
QelDomWriter::QelDomWriter(const DOMNode* node, QelOutputStream& stream, unsigned long options, const char* encoding,
                           const DOMDocumentType* docType)
    : m_encoding(resolveEncodingName(encoding)), m_output(openOutput(stream, encoding, true)) {
  if (!node)
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::QelDomWriter",
                      s_revision, s_sourcePath, "QelDomWriter: the node to write is NULL");
  qel_detail::writeTree(qel_detail::Pieces(*m_output, qel_detail::writesTraced()), node, options, docType);
  m_output->commit(true);
}

QelDomWriter::~QelDomWriter() noexcept(false) { m_output->finish(); }

// --- document type declaration, entry point ----------------------------------------------------

std::u16string qelMakeDocTypeDecl(const DOMDocumentType* docType) {
  if (!docType) return std::u16string();
  XMLBuffer buffer(1023);
  auto appendQuoted = [&](const XMLCh* id) {
    buffer.append(u' ');
    buffer.append(u'"');
    buffer.append(id, 0);
    buffer.append(u'"');
  };
  buffer.append(XMLUni::fgDocTypeString, 0);
  buffer.append(u' ');
  buffer.append(docType->getNodeName(), 0);
  const XMLCh* publicId = docType->getPublicId();
  const XMLCh* systemId = docType->getSystemId();
  if (!QelDomStr::empty(publicId)) {
    buffer.append(u' ');
    buffer.append(XMLUni::fgPubIDString, 0);
    appendQuoted(publicId);
    if (!QelDomStr::empty(systemId)) appendQuoted(systemId);
  } else if (!QelDomStr::empty(systemId)) {
    buffer.append(u' ');
    buffer.append(XMLUni::fgSysIDString, 0);
    appendQuoted(systemId);
  }
  const XMLCh* subset = docType->getInternalSubset();
  if (!QelDomStr::empty(subset)) {
    buffer.append(u" [", 2);
    buffer.append(subset, 0);
    buffer.append(u']');
  }
  buffer.append(u'>');
  return std::u16string(buffer.getRawBuffer(), buffer.getLen());
}

std::u16string qelWriteNode(const DOMNode* node, QelOutputStream& stream, unsigned long options, const char* encoding,
                            const DOMDocumentType* docType) {
  QEL_TRACE_ENTER("qelWriteNode");
  QEL_TRACE_ARGS("(" << node << ")(" << options << ")(" << qel_detail::orNull(encoding) << ")");
  QelDomWriter writer(node, stream, options, encoding, docType);
  QEL_TRACE_EXIT();
  return writer.getEncoding();
}
