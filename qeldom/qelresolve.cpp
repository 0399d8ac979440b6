// External entities and DTDs: a URL or a local file, relative to the external
// entity being read, each read once and its encoding recognized.
#include "qelresolve.hpp"

#include <cctype>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLURL.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "qelbudget.hpp"
#include "qelenrec.hpp"
#include "qelfetch.hpp"
#include "qelframe.hpp"
#include "qelipars.hpp"
#include "qelreadonce.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qel_detail {

bool recognizeForScan(InputSource& source, const char* suppliedEncoding) {
  QelEncOrigin origin = QelEncOrigin::Probe;
  qelRecognizeEncoding(source, suppliedEncoding, &origin);
  if (origin != QelEncOrigin::Declaration) return false;
  XMLTransService::Codes code;
  const std::unique_ptr<XMLTranscoder> transcoder(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(
      source.getEncoding(), code, 16, XMLPlatformUtils::fgMemoryManager));
  if (!transcoder) source.setEncoding(nullptr);
  return true;
}

namespace {

constexpr const char* s_sourcePath = "qeldom/qelresolve";  // no trace; errors name the file
constexpr const char* s_revision = "$Revision: 1.1 $";

// A file read once.
class FileSource : public InputSource {
 public:
  FileSource(const XMLCh* systemId, std::shared_ptr<ReadOnce> input) : m_input(std::move(input)) {
    setSystemId(systemId);
  }
  BinInputStream* makeStream() const override { return qel_detail::makeStream(m_input); }

 private:
  std::shared_ptr<ReadOnce> m_input;
};

// Bytes in memory: a fetched resource, or nothing in place of a missing one.
class BytesSource : public InputSource {
 public:
  BytesSource(const XMLCh* systemId, std::shared_ptr<const std::string> bytes) : m_bytes(std::move(bytes)) {
    setSystemId(systemId);
  }
  BinInputStream* makeStream() const override { return qel_detail::makeStream(m_bytes); }

 private:
  std::shared_ptr<const std::string> m_bytes;
};

// A resource that cannot be opened: the scanner reports that it cannot open it.
class MissingSource : public InputSource {
 public:
  explicit MissingSource(const XMLCh* systemId) { setSystemId(systemId); }
  BinInputStream* makeStream() const override { return nullptr; }
};

std::unique_ptr<InputSource> emptySource(const XMLCh* systemId) {
  return std::make_unique<BytesSource>(systemId, std::make_shared<const std::string>());
}

// The file a file: URL names: its path with %xx escapes decoded, as bytes.
std::string decodePath(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      out += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

bool isLocalHost(const XMLCh* host) {
  return !host || !*host || XMLString::compareIStringASCII(host, XMLUni::fgLocalHostString) == 0;
}

[[noreturn]] void raiseRefused(const XMLCh* systemId) {
  raise(nullptr, __LINE__, QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", 0,
        "QelXmlParser::resolveEntity", s_revision, s_sourcePath,
        "External entity \"" + qelToMbcs(systemId) + "\" refused: the parse allows no external entities or DTDs");
}

}  // namespace

InputSource* EntityOpener::open(XMLScanner* scanner, const XMLCh* systemId) {
  if (m_budget) m_budget->countExternal();
  if (settings.noExternal) raiseRefused(systemId);

  // The base is the external entity being read where the reference stands:
  // the document itself or an external entity (not the entity that declared
  // the one referred to, which is what Xerces-C would take).
  ReaderMgr::LastExtEntityInfo last;
  scanner->getReaderMgr()->getLastExtEntityInfo(last);
  const XMLCh* base = last.systemId;

  std::unique_ptr<InputSource> result;
  try {
    XMLURL url(base, systemId);
    if (!url.isRelative()) {
      if (url.getProtocol() != XMLURL::File)
        result = openUrl(scanner, url.getURLText());
      else if (isLocalHost(url.getHost()))
        result = openFile(url.getURLText(), decodePath(fileNameOf(url.getPath())));
      else
        result = std::make_unique<MissingSource>(url.getURLText());
    }
  } catch (const MalformedURLException&) {
    // not a URL (no scheme, an unknown scheme, or a base without one): a local file
  }
  if (!result) {
    const std::unique_ptr<LocalFileInputSource> named = QelDomStr::empty(base)
                                                            ? std::make_unique<LocalFileInputSource>(systemId)
                                                            : std::make_unique<LocalFileInputSource>(base, systemId);
    result = openFile(named->getSystemId(), fileNameOf(named->getSystemId()));
  }
  return result.release();
}

std::unique_ptr<InputSource> EntityOpener::openFile(const XMLCh* systemId, const std::string& fileName) {
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return settings.emptyIfMissing ? emptySource(systemId) : std::make_unique<MissingSource>(systemId);
  auto input = std::make_shared<ReadOnce>(file, true, "input file \"" + fileName.substr(0, 128) + "\"");
  input->setBudget(m_budget);
  auto source = std::make_unique<FileSource>(systemId, input);
  recognizeForScan(*source, nullptr);
  input->stopKeeping();  // the scanner's stream reads on
  return source;
}

std::unique_ptr<InputSource> EntityOpener::openUrl(XMLScanner* scanner, const XMLCh* url) {
  if (settings.noNetwork) return settings.emptyIfMissing ? emptySource(url) : std::make_unique<MissingSource>(url);
  std::shared_ptr<const std::string>& bytes = m_fetched[url];
  if (!bytes) {
    XMLSize_t expansions = 0, textUnits = 0;
    qelGetParseLimits(expansions, textUnits);
    if (m_budget) textUnits = m_budget->textLimit();
    try {
      bytes = std::make_shared<const std::string>(fetchUrl(qelToMbcs(url), settings.timeoutMs, textUnits));
    } catch (const std::runtime_error& e) {
      m_fetched.erase(url);
      const std::u16string message =
          qelToUnicode(("Cannot fetch \"" + qelToMbcs(url) + "\": " + e.what()).c_str(), QEL_WHOLE, false);
      throw SAXParseException(message.c_str(), *scanner->getLocator());
    }
  }
  if (m_budget) m_budget->countExternalBytes(bytes->size());
  auto source = std::make_unique<BytesSource>(url, bytes);
  recognizeForScan(*source, nullptr);
  return source;
}

}  // namespace qel_detail
