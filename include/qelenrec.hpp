// qelenrec: recognition of the encoding of raw XML bytes before a parse: byte
// order marks, UTF-16 without a mark, EBCDIC, the encoding declaration and
// the caller's wish.
#pragma once

#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include "qeldom.hpp"

class QELDOM_API QelEncRecognizer {
 public:
  QelEncRecognizer(XERCES_CPP_NAMESPACE::InputSource& inputSource, const char* suppliedEncoding);

  // Settles the encoding, stores it on the input source (except for UCS-4,
  // which is left to Xerces-C) and returns it.
  QelUniString recognize();

 private:
  XERCES_CPP_NAMESPACE::XMLRecognizer::Encodings getProbeEncoding();
  void getDeclEncoding(XERCES_CPP_NAMESPACE::XMLRecognizer::Encodings probe, QelAutoBuffer<XMLCh>& result);
  QelUniString getFinalEncoding(const QelUniString& probeName);

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
};

// Recognizes the encoding of the input source and stores it there.
QELDOM_API QelUniString qelRecognizeEncoding(XERCES_CPP_NAMESPACE::InputSource& inputSource,
                                             const char* suppliedEncoding);
