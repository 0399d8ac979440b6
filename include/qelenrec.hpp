// qelenrec: recognition of the encoding of raw XML bytes before a parse: byte
// order marks, UTF-16 without a mark, EBCDIC, the encoding declaration and
// the caller's wish.
#pragma once

#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include "qeldom.hpp"

// Where a recognized encoding came from.
enum class QelEncOrigin {
  ByteOrderMark,  // a UTF-8, UTF-16 or UCS-4 byte order mark
  Probe,          // the first bytes without a mark: UTF-16 without a mark, EBCDIC, or UTF-8 when they show nothing
  Declaration,    // the encoding declaration of the XML declaration
  Caller,         // the encoding name the caller supplied
};

// The printable name of an origin: "byte order mark", "probe", "declaration"
// or "caller".
QELDOM_API const char* qelEncOriginName(QelEncOrigin origin);

// Recognizes the encoding of one input source. The input source must give a
// fresh stream from its first byte on every makeStream() call; recognition
// reads its own streams and consumes nothing of what the parser will read.
class QELDOM_API QelEncRecognizer {
 public:
  // suppliedEncoding: the caller's encoding name (null or empty for none;
  // "NATIVE" in any letter case stands for UTF-8); it is not copied and must
  // outlive the recognizer.
  QelEncRecognizer(XERCES_CPP_NAMESPACE::InputSource& inputSource, const char* suppliedEncoding);

  // Settles the encoding, stores it on the input source and returns it:
  //  - a UTF-16 input (byte order mark, or "<" or an ASCII space next to a
  //    zero byte): "UTF-16LE" or "UTF-16BE", never plain "UTF-16";
  //  - a UCS-4 input: Xerces-C's name ("UCS-4 (BE)", "UCS-4 (LE)"); the
  //    input source is left as it was and Xerces-C reads the mark itself;
  //  - an encoding declaration: the declared name, in its own letter case;
  //  - otherwise the first bytes' family ("UTF-8", or EBCDIC), unless the
  //    supplied name is of a code page of that same family, in which case its
  //    upper-cased form wins.
  // Xerces-C has no converter named "EBCDIC": where the decision is EBCDIC,
  // "IBM037" is stored and returned (EBCDIC bytes without a declaration are
  // read as code page 37).
  // A supplied name that the runtime does not know raises a QelError with
  // QELRC_NLS_ERROR when it is needed (no mark, no declaration). A declared
  // name that Xerces-C has no converter for, or one without its closing quote
  // within 31 characters, raises a SAXParseException at the line and column
  // where the name begins: no parse could read the input as it says. On any
  // failure the input source keeps the encoding it had.
  QelUniString recognize();

  // Where the result of the last recognize() came from.
  QelEncOrigin origin() const { return m_origin; }

 private:
  XERCES_CPP_NAMESPACE::XMLRecognizer::Encodings getProbeEncoding();
  void getDeclEncoding(XERCES_CPP_NAMESPACE::XMLRecognizer::Encodings encProbe, QelAutoBuffer<XMLCh>& result);
  QelUniString getFinalEncoding(const QelUniString& probeName);
  QelUniString store(const QelUniString& name);

  static int load(XERCES_CPP_NAMESPACE::BinInputStream& stream, unsigned char* buffer, int count);
  static bool skipSpaces(XERCES_CPP_NAMESPACE::BinInputStream& stream, unsigned char* out, bool ebcdic);
  static const unsigned char* getXmlPrefix(bool ebcdic);
  static const unsigned char* getVersion(bool ebcdic);
  static const unsigned char* getEncoding(bool ebcdic);
  static const unsigned char* getEqual(bool ebcdic);
  static const unsigned char* getDQuote(bool ebcdic);
  static const unsigned char* getSQuote(bool ebcdic);
  static bool isAsciiSpace(unsigned char c);
  static bool isEbcdicSpace(unsigned char c);
  static bool qelIsEbcdic(unsigned char c);
  static bool qelIsXmlChar(unsigned char c);

  XERCES_CPP_NAMESPACE::InputSource& m_inputSource;
  const char* m_suppliedEncoding;
  QelEncOrigin m_origin = QelEncOrigin::Probe;
};

// Recognizes the encoding of the input source and stores it there (see
// QelEncRecognizer::recognize). With `origin`, also tells where it came from.
QELDOM_API QelUniString qelRecognizeEncoding(XERCES_CPP_NAMESPACE::InputSource& inputSource,
                                             const char* suppliedEncoding);
QELDOM_API QelUniString qelRecognizeEncoding(XERCES_CPP_NAMESPACE::InputSource& inputSource,
                                             const char* suppliedEncoding, QelEncOrigin* origin);
