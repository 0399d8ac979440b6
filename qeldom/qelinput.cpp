// Inputs read once: the file source, the streams over what it has read, and
// file names as system ids.
#include "qelinput.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <xercesc/util/PlatformUtils.hpp>

#include "qelbudget.hpp"
#include "qelframe.hpp"
#include "qelreadonce.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {
// This file writes no trace; its errors name it.
constexpr const char* s_sourcePath = "qeldom/qelinput";
constexpr const char* s_revision = "$Revision: 1.1 $";
}  // namespace

namespace qel_detail {

namespace {

class ReadOnceStream : public BinInputStream {
 public:
  explicit ReadOnceStream(std::shared_ptr<ReadOnce> input) : m_input(std::move(input)) {}
  XMLFilePos curPos() const override { return m_pos; }
  const XMLCh* getContentType() const override { return nullptr; }
  XMLSize_t readBytes(XMLByte* const to, const XMLSize_t max) override {
    const bool first = m_first;
    m_first = false;
    return m_input->read(m_pos, to, max, first);
  }

 private:
  std::shared_ptr<ReadOnce> m_input;
  XMLSize_t m_pos = 0;
  bool m_first = true;
};

class BytesStream : public BinInputStream {
 public:
  explicit BytesStream(std::shared_ptr<const std::string> bytes) : m_bytes(std::move(bytes)) {}
  XMLFilePos curPos() const override { return m_pos; }
  const XMLCh* getContentType() const override { return nullptr; }
  XMLSize_t readBytes(XMLByte* const to, const XMLSize_t max) override {
    const XMLSize_t n = std::min<XMLSize_t>(max, m_bytes->size() - m_pos);
    std::memcpy(to, m_bytes->data() + m_pos, n);
    m_pos += n;
    return n;
  }

 private:
  std::shared_ptr<const std::string> m_bytes;
  XMLSize_t m_pos = 0;
};

// The length of the valid UTF-8 sequence at s (n bytes left), 0 if none.
size_t utf8Length(const unsigned char* s, size_t n) {
  const unsigned char c = s[0];
  size_t len;
  unsigned long min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    len = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF)
    len = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4)
    len = 4, min = 0x10000;
  else
    return 0;
  if (n < len) return 0;
  unsigned long cp = c & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void appendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// The system id Xerces-C's LocalFileInputSource gives a file name: absolute,
// with "./" and "dir/../" taken out.
std::u16string absoluteId(const char* path) {
  std::u16string id = systemIdOf(path);
  const bool relative = XMLPlatformUtils::isRelative(id.c_str());
  if (relative) {
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    if (cwd) id = systemIdOf(cwd.get()) + u"/" + id;
  }
  XMLPlatformUtils::removeDotSlash(id.data());
  if (relative) XMLPlatformUtils::removeDotDotSlash(id.data());
  id.resize(std::char_traits<char16_t>::length(id.c_str()));
  return id;
}

ReadOnce::ReadOnce(std::FILE* file, bool owned, std::string what)
    : m_file(file), m_owned(owned), m_what(std::move(what)) {}

ReadOnce::~ReadOnce() {
  if (m_owned) std::fclose(m_file);
}

// A read that runs past the kept bytes goes on from the file in the same
// call: the recognizer takes a short read for the end of the input.
XMLSize_t ReadOnce::read(XMLSize_t& pos, XMLByte* to, XMLSize_t max, bool first) {
  XMLSize_t done = 0;
  if (pos < m_kept.size()) {
    done = std::min<XMLSize_t>(max, m_kept.size() - pos);
    std::memcpy(to, m_kept.data() + pos, done);
    pos += done;
  }
  if (done == max) return done;
  if (pos != m_filePos) {
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelFileInputSource",
                      s_revision, s_sourcePath,
                      "QelFileInputSource: the " + m_what + " was read on by an earlier stream and cannot be replayed");
  }
  if (m_budget && !first) m_budget->check();
  const XMLSize_t n = readFile(to + done, max - done);
  if (m_keeping) m_kept.append(reinterpret_cast<const char*>(to + done), n);
  if (m_budget) m_budget->countExternalBytes(n);
  pos += n;
  m_filePos += n;
  return done + n;
}

XMLSize_t ReadOnce::readFile(XMLByte* to, XMLSize_t max) {
  if (m_atEnd || max == 0) return 0;
  const size_t n = std::fread(to, 1, max, m_file);
  if (n < max) {
    if (std::ferror(m_file)) {
      const int error = errno;
      std::clearerr(m_file);
      m_atEnd = true;
      qel_detail::raise(nullptr, __LINE__, QELRC_DOM_INVALID_XML_DOCUMENT, "QELRC_DOM_INVALID_XML_DOCUMENT", 1,
                        "QelFileInputSource", s_revision, s_sourcePath,
                        "Cannot read " + m_what + ": " + (error ? std::strerror(error) : "read error"));
    }
    m_atEnd = true;
  }
  return n;
}

BinInputStream* makeStream(const std::shared_ptr<ReadOnce>& input) { return new ReadOnceStream(input); }

BinInputStream* makeStream(const std::shared_ptr<const std::string>& bytes) { return new BytesStream(bytes); }

std::u16string systemIdOf(const std::string& fileName) {
  std::u16string id;
  const auto* s = reinterpret_cast<const unsigned char*>(fileName.data());
  const size_t n = fileName.size();
  for (size_t i = 0; i < n;) {
    const size_t len = utf8Length(s + i, n - i);
    if (len == 0) {
      id += static_cast<char16_t>(0xDC00 + s[i++]);
      continue;
    }
    unsigned long cp = len == 1 ? s[i] : s[i] & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      id += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      id += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      id += static_cast<char16_t>(cp);
    }
  }
  return id;
}

std::string fileNameOf(const XMLCh* systemId) {
  std::string name;
  for (const XMLCh* p = systemId; p && *p; ++p) {
    const unsigned long c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      appendUtf8(name, 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00));
      ++p;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      name += static_cast<char>(c - 0xDC00);  // a byte that was not UTF-8
    } else {
      appendUtf8(name, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
    }
  }
  return name;
}

}  // namespace qel_detail

// --- the exported source ------------------------------------------------------------

QelFileInputSource::QelFileInputSource(const char* path) {
  const std::string name = path ? path : "";
  if (std::FILE* file = path ? std::fopen(path, "rb") : nullptr) {
    m_input = std::make_shared<qel_detail::ReadOnce>(file, true, "input file \"" + name.substr(0, 128) + "\"");
  } else {
    m_openError = path ? errno : EINVAL;
  }
  setSystemId(qel_detail::absoluteId(name.c_str()).c_str());
}

QelFileInputSource::QelFileInputSource(std::FILE* stream, const char* systemId) {
  const std::string id = systemId ? systemId : "";
  if (stream)
    m_input = std::make_shared<qel_detail::ReadOnce>(stream, false,
                                                     stream == stdin ? "standard input" : "input \"" + id + "\"");
  else
    m_openError = EINVAL;
  setSystemId(qel_detail::systemIdOf(id).c_str());
}

QelFileInputSource::~QelFileInputSource() = default;

void QelFileInputSource::stopKeeping() {
  if (m_input) m_input->stopKeeping();
}

BinInputStream* QelFileInputSource::makeStream() const { return m_input ? qel_detail::makeStream(m_input) : nullptr; }
