// The commands that need no document: encoding detection, the reporting
// checks and raw item names.
#include "commands.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>

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

// The offset of the first byte of `s` that is not part of well-formed UTF-8
// (no overlong forms, surrogates or code points past U+10FFFF), or npos.
size_t notUtf8At(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    int more = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    for (int k = 1; k <= more; ++k) {
      if (i + k >= s.size()) return i;
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return i;
    }
    i += more + 1;
  }
  return std::string::npos;
}

// True for UTF-8; otherwise says on standard error which byte is not, with
// every byte outside printable ASCII shown as \xHH.
bool isUtf8Argument(const std::string& value) {
  const size_t at = notUtf8At(value);
  if (at == std::string::npos) return true;
  std::string shown;
  char hex[8];
  for (unsigned char c : value) {
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : hex;
  }
  std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(value[at]));
  complain("\"" + shown + "\": not UTF-8 (byte " + hex + " at offset " + std::to_string(at) + ")");
  return false;
}

typedef bool NameCheck(const XMLCh*, char*);

struct CheckKind {
  const char* name;
  NameCheck* check;  // null for text, which takes a length
};

const CheckKind s_kinds[] = {{"name", qelCheckXmlName}, {"qname", qelCheckXmlQName},     {"ncname", qelCheckXmlNcName},
                             {"text", nullptr},         {"encname", qelCheckXmlEncName}, {"uri", qelCheckXmlUri}};

}  // namespace

const std::vector<std::string>& checkKinds() {
  static const std::vector<std::string> s_kindNames = [] {
    std::vector<std::string> names;
    for (const CheckKind& k : s_kinds) names.push_back(k.name);
    return names;
  }();
  return s_kindNames;
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
    if (!isUtf8Argument(value)) {
      rc = 1;
      continue;
    }
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
    if (!isUtf8Argument(value)) {
      rc = 1;
      continue;
    }
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
