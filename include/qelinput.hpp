/// \file
/// qelinput: an input source that reads its input once, for inputs that can
/// be read only once (pipes, FIFOs, standard input) and so that encoding
/// recognition and the parser share one read of a file.
#pragma once

#include <cstdio>
#include <memory>
#include <xercesc/sax/InputSource.hpp>

#include "qeldom.hpp"

/// \cond
namespace qel_detail {
class ReadOnce;
}
/// \endcond

/// An input source over a file or an open stream, read once.
///
/// Every stream made from the source starts at the first byte: the bytes that
/// streams have read are kept and replayed, and a stream that runs past them
/// reads on from the input. A stream that cannot read raises a QelError
/// (QELRC_DOM_INVALID_XML_DOCUMENT) whose message says why: "Cannot read input
/// file "doc.xml": Is a directory". A source and its streams belong to one
/// thread.
class QELDOM_API QelFileInputSource : public XERCES_CPP_NAMESPACE::InputSource {
 public:
  /// Opens the file `path` once, its name taken as bytes whatever their
  /// encoding. The system id is its absolute path (relative names are taken
  /// from the current directory), so that external entities resolve against
  /// the file's directory and messages name it. A file that does not open is
  /// no error here: see openError().
  explicit QelFileInputSource(const char* path);
  /// Reads `stream` from where it stands, with stdio's buffering; the stream
  /// stays open and the caller's. `systemId` names it in messages ("qelParseDoc"
  /// for standard input).
  QelFileInputSource(std::FILE* stream, const char* systemId);
  /// A file the source opened closes once the source and its last stream
  /// are gone.
  ~QelFileInputSource() override;

  /// The errno of a file that did not open (0 when it is open). Such a source
  /// makes no stream.
  int openError() const { return m_openError; }
  /// From now on the bytes read past those kept are not kept: the next stream
  /// is the last that may read the input to its end. The parser calls it once
  /// recognition is done, so a large input is not held in memory twice.
  void stopKeeping();

  /// A new stream from the first byte, owned by the caller; null when the
  /// file did not open.
  XERCES_CPP_NAMESPACE::BinInputStream* makeStream() const override;

 private:
  std::shared_ptr<qel_detail::ReadOnce> m_input;  // shared with the streams, which may outlive the source
  int m_openError = 0;
};
