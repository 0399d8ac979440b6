// Turning the system id of an external entity or DTD into an input source,
// under the settings of one parse: whether external resources and the
// network may be used, how long a fetch may take, and the parse's budget.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/sax/InputSource.hpp>

namespace qel_detail {

class ScanBudget;

// Recognizes the encoding of a source the scanner is about to read, as
// qelRecognizeEncoding does, and tells whether it came from the encoding
// declaration. A declared encoding that Xerces-C has no converter for is not
// kept on the source: set there, the scan would fail before the first line
// (at line 0, column 0); left unset, Xerces-C reads the declaration itself and
// reports the encoding where the declaration names it.
bool recognizeForScan(XERCES_CPP_NAMESPACE::InputSource& source, const char* suppliedEncoding);

struct ResolveSettings {
  bool emptyIfMissing = false;  // a local file that cannot be opened reads as empty
  bool noNetwork = false;       // a URL other than file: is missing
  bool noExternal = false;      // every external entity and DTD is refused
  unsigned long timeoutMs = 30000;
};

class EntityOpener {
 public:
  explicit EntityOpener(ScanBudget* budget = nullptr) : m_budget(budget) {}

  // The source of `systemId` as it stands in the external entity being read
  // (see qelResolveEntity), its encoding recognized; the caller owns it.
  XERCES_CPP_NAMESPACE::InputSource* open(XERCES_CPP_NAMESPACE::XMLScanner* scanner, const XMLCh* systemId);

  ResolveSettings settings;

 private:
  std::unique_ptr<XERCES_CPP_NAMESPACE::InputSource> openUrl(XERCES_CPP_NAMESPACE::XMLScanner* scanner,
                                                             const XMLCh* url);
  std::unique_ptr<XERCES_CPP_NAMESPACE::InputSource> openFile(const XMLCh* systemId, const std::string& fileName);

  ScanBudget* m_budget;
  // Each URL is fetched once per parse, however often it is referred to.
  std::map<std::u16string, std::shared_ptr<const std::string>> m_fetched;
};

}  // namespace qel_detail
