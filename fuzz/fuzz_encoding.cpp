// The encoding recognizer on arbitrary bytes. The first byte chooses the
// caller's encoding name and whether the source already names an encoding;
// the rest is the input. Recognition must not read outside the input, must
// store what it returns (UCS-4 aside, which it leaves to Xerces-C), and must
// leave the source's encoding as it was whenever it fails.
#include <cstdint>
#include <memory>
#include <string>
#include <xercesc/framework/MemBufInputSource.hpp>

#include "fuzz_common.hpp"
#include "qelenrec.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

const char* const s_supplied[] = {nullptr,    "",       "NATIVE",           "native",
                                  "UTF-8",    "IBM037", "ebcdic-cp-us",     "ISO-8859-1",
                                  "UTF-16LE", "UTF-16", "no-such-encoding", "IBM1047"};
constexpr size_t s_suppliedCount = sizeof s_supplied / sizeof s_supplied[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::init();
  const char* supplied = s_supplied[data[0] % s_suppliedCount];
  const bool preset = data[0] & 0x80;
  // The input in a buffer of its own size, so that a read past it is caught.
  const size_t length = size - 1;
  std::unique_ptr<XMLByte[]> bytes(new XMLByte[length ? length : 1]);
  std::copy(data + 1, data + size, bytes.get());

  MemBufInputSource source(bytes.get(), length, "fuzz", false);
  const std::u16string before = preset ? u"OLD-ENCODING" : u"";
  if (preset) source.setEncoding(before.c_str());
  auto current = [&] { return std::u16string(source.getEncoding() ? source.getEncoding() : u""); };

  QelEncOrigin origin = QelEncOrigin::Probe;
  try {
    const QelUniString result = qelRecognizeEncoding(source, supplied, &origin);
    const std::u16string name(result.c_str());
    // An empty declared value (encoding="") gives an empty name; the parser
    // then reads the input as if no name were set and reports the declaration.
    FUZZ_CHECK(!name.empty() || origin == QelEncOrigin::Declaration, "empty encoding name from %s",
               qelEncOriginName(origin));
    if (name.rfind(u"UCS-4", 0) == 0) {
      FUZZ_CHECK(current() == before, "a UCS-4 input changed the source's encoding to %s",
                 fuzz::show(current().c_str()).c_str());
      FUZZ_CHECK(origin == QelEncOrigin::ByteOrderMark, "UCS-4 from %s", qelEncOriginName(origin));
    } else {
      FUZZ_CHECK(current() == name, "returned %s, stored %s", fuzz::show(name.c_str()).c_str(),
                 fuzz::show(current().c_str()).c_str());
    }
    FUZZ_CHECK(name != u"EBCDIC", "EBCDIC is stored, which Xerces-C cannot read");
  } catch (const QelError& e) {
    FUZZ_CHECK(current() == before, "failure (%s) changed the source's encoding to %s", e.getMessage(),
               fuzz::show(current().c_str()).c_str());
    FUZZ_CHECK(e.getRc() == QELRC_NLS_ERROR, "unexpected error %ld: %s", e.getRc(), e.getMessage());
  }
  return 0;
}
