// Inputs read once and replayed to every stream, byte strings as streams, and
// file names as system ids.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <xercesc/util/BinInputStream.hpp>

namespace qel_detail {

class ScanBudget;

// What an input has read so far: the bytes kept for streams still to come,
// and the file it reads on from. Streams share it and may outlive their
// source (Xerces-C deletes an entity's source before it has read it).
class ReadOnce {
 public:
  // `what` names the input in a read error: "input file "doc.xml"".
  ReadOnce(std::FILE* file, bool owned, std::string what);
  ~ReadOnce();
  ReadOnce(const ReadOnce&) = delete;
  ReadOnce& operator=(const ReadOnce&) = delete;

  // Up to `max` bytes at `pos` (a stream's position), which it advances.
  // `first` tells a stream's first read: it never raises a bound (see
  // ScanBudget::check), since Xerces-C makes it inside a constructor.
  XMLSize_t read(XMLSize_t& pos, XMLByte* to, XMLSize_t max, bool first);
  void stopKeeping() { m_keeping = false; }
  // Bytes newly read from the file count against the budget's text bound.
  void setBudget(ScanBudget* budget) { m_budget = budget; }

 private:
  XMLSize_t readFile(XMLByte* to, XMLSize_t max);

  std::FILE* m_file;
  bool m_owned;
  std::string m_what;
  std::string m_kept;       // the bytes from 0 that later streams replay
  XMLSize_t m_filePos = 0;  // bytes read from the file
  bool m_keeping = true;
  bool m_atEnd = false;
  ScanBudget* m_budget = nullptr;
};

XERCES_CPP_NAMESPACE::BinInputStream* makeStream(const std::shared_ptr<ReadOnce>& input);
// A stream over bytes that it shares.
XERCES_CPP_NAMESPACE::BinInputStream* makeStream(const std::shared_ptr<const std::string>& bytes);

// File names are bytes, system ids UTF-16: UTF-8 is decoded, and a byte that
// is not part of valid UTF-8 becomes the lone surrogate U+DC80 + byte, which
// fileNameOf turns back into the byte. Any name survives the round trip.
std::u16string systemIdOf(const std::string& fileName);
std::string fileNameOf(const XMLCh* systemId);
// The system id Xerces-C's LocalFileInputSource gives a file name.
std::u16string absoluteId(const char* path);

}  // namespace qel_detail
