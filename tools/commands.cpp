// The commands that need no document: encoding detection, the reporting
// checks and raw item names.
#include "commands.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "qelenrec.hpp"
#include "qelichk.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qelxml {

void complain(const std::string& message) { std::cerr << "qelxml: " << message << std::endl; }

// --- detect ------------------------------------------------------------------------

std::string unreadable(const std::string& file) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (FILE* f = std::fopen(file.c_str(), "rb")) {
    std::fclose(f);
    return "";
  }
  return std::strerror(errno);
}

int runDetect(const std::vector<std::string>& files, const std::string& suppliedEncoding) {
  tavDomInit();
  const char* supplied = suppliedEncoding.empty() ? nullptr : suppliedEncoding.c_str();
  int rc = 0;
  for (const std::string& file : files) {
    try {
      std::unique_ptr<InputSource> source;
      std::string bytes;  // standard input, read whole
      if (file == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        source = std::make_unique<MemBufInputSource>(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), u"-",
                                                     false);
      } else {
        std::string why = unreadable(file);
        if (!why.empty()) {
          std::cerr << file << ": " << why << std::endl;
          rc = 1;
          continue;
        }
        source = std::make_unique<LocalFileInputSource>(qelToUnicode(file.c_str()).c_str());
      }
      QelEncOrigin origin;
      QelUniString encoding = qelRecognizeEncoding(*source, supplied, &origin);
      std::cout << file << ": " << encoding << " (" << qelEncOriginName(origin) << ")" << std::endl;
    } catch (const QelError& e) {
      std::cerr << file << ": " << e.getMessage() << std::endl;
      rc = 1;
    } catch (const SAXParseException& e) {  // a declared encoding no parse could read, where it is named
      std::cerr << file << ":" << e.getLineNumber() << ":" << e.getColumnNumber() << ": " << qelToMbcs(e.getMessage())
                << std::endl;
      rc = 1;
    } catch (const XMLException& e) {
      std::cerr << file << ": " << qelGetErrorMsg(e) << std::endl;
      rc = 1;
    }
  }
  return rc;
}

// --- check ---------------------------------------------------------------------------

namespace {

typedef bool NameCheck(const XMLCh*, char*);

struct CheckKind {
  const char* name;
  NameCheck* check;  // null for text, which takes a length
};

const CheckKind s_kinds[] = {{"name", qelCheckXmlName}, {"qname", qelCheckXmlQName},     {"ncname", qelCheckXmlNcName},
                             {"text", nullptr},         {"encname", qelCheckXmlEncName}, {"uri", qelCheckXmlUri}};

}  // namespace

const std::vector<std::string>& checkKinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> names;
    for (const CheckKind& k : s_kinds) names.push_back(k.name);
    return names;
  }();
  return kinds;
}

int runCheck(const std::string& kind, const std::vector<std::string>& values) {
  const CheckKind* check = nullptr;
  for (const CheckKind& k : s_kinds)
    if (kind == k.name) check = &k;
  if (!check) {
    complain("unknown kind of check: " + kind);
    return 2;
  }
  int rc = 0;
  for (const std::string& value : values) {
    std::u16string text = qelToUnicode(value.data(), static_cast<unsigned>(value.size()));
    char message[100] = "";
    bool valid =
        check->check ? check->check(text.c_str(), message) : qelCheckXmlText(text.data(), text.size(), message);
    std::cout << value << ": " << (valid ? "valid" : message) << std::endl;
    if (!valid) rc = 1;
  }
  return rc;
}

// --- rawname -------------------------------------------------------------------------

int runRawName(const std::vector<std::string>& values, bool reverse) {
  int rc = 0;
  for (const std::string& value : values) {
    QelUniString in(value.data(), value.size());
    try {
      std::cout << (reverse ? qelXmlNameToRaw(in) : qelRawToXmlName(in)) << std::endl;
    } catch (const QelError& e) {
      std::cerr << "qelxml: \"" << value << "\": " << e.getMessage() << std::endl;
      rc = 1;
    }
  }
  return rc;
}

}  // namespace qelxml
