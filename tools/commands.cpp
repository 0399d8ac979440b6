// The commands that need no document: encoding detection, the reporting
// checks and raw item names.
#include "commands.hpp"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "qelenrec.hpp"
#include "qelichk.hpp"
#include "qelinput.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qelxml {

void complain(const std::string& message) { std::cerr << "qelxml: " << message << std::endl; }

// --- detect ------------------------------------------------------------------------

// Each input is read once, and only as far as recognition needs: standard
// input, unbuffered, gives exactly the bytes asked for and the rest stays
// unread. File names are bytes.
int runDetect(const std::vector<std::string>& files, const std::string& suppliedEncoding) {
  tavDomInit();
  const char* supplied = suppliedEncoding.empty() ? nullptr : suppliedEncoding.c_str();
  int rc = 0;
  for (const std::string& file : files) {
    try {
      std::unique_ptr<QelFileInputSource> source;
      if (file == "-") {
        std::setvbuf(stdin, nullptr, _IONBF, 0);
        source = std::make_unique<QelFileInputSource>(stdin, "-");
      } else {
        source = std::make_unique<QelFileInputSource>(file.c_str());
        if (source->openError()) {
          std::cerr << file << ": " << std::strerror(source->openError()) << std::endl;
          rc = 1;
          continue;
        }
      }
      QelEncOrigin origin;
      QelUniString encoding = qelRecognizeEncoding(*source, supplied, &origin);
      std::cout << file << ": " << encoding << " (" << qelEncOriginName(origin) << ")" << std::endl;
    } catch (const QelError& e) {
      std::cerr << file << ": " << e.getMessage() << std::endl;
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
