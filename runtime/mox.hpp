/// \file
/// mox: the product's trace library as qeldom uses it.
///
/// A library describes each source file with a file record (TRC1_EPF) and
/// each traced function with a function record (TRC1_EPB), both in its own
/// data. The trace library answers the level word of a function (TRC1_Sync),
/// records events (TRC1_Event) and writes the lines that QelTraceStream hands
/// it.
///
/// Levels are chosen per component and per function name:
/// - from the program with `moxSetTrace("0xD0")` or
///   `moxSetTrace("tavGetDoc=0x40,qelParseXml=0xD0,QELDOM=0x80")`;
/// - from the environment at load: QEL_TRACE holds the same text and
///   QEL_TRACE_FILE names a file for the output (standard error otherwise).
///
/// A bare number is the level of every function; NAME=level sets the level of
/// the functions of that name, or of every function of the component of that
/// name. A function's own entry wins over its component's, which wins over
/// the bare number. qeldom reads the bits 0x40 (entry, exit, arguments,
/// flow), 0x80 (errors) and 0x10 (state).
///
/// Output: one line per trace line or event:
/// ~~~
/// QELDOM tavGetDoc: Flow - The passed node is NULL
/// QELDOM tavGetDoc: Entry
/// QELDOM tavGetDoc: Exit
/// QELDOM tavRemoveNode: Exit (1)
/// ~~~
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "qelrtdefs.hpp"

/// The trace record of one source file.
struct TRC1_EPF {
  uint32_t size;             ///< 180 (0xB4).
  uint32_t flags;            ///< 0x80000000.
  const char* path;          ///< The source path, as errors and traces name the file.
  uint32_t pathLength;       ///< Bytes of the path.
  const char* buildDate;     ///< The build date (`__DATE__`).
  uint32_t buildDateLength;  ///< 11.
  const char* buildTime;     ///< The build time (`__TIME__`).
  uint32_t buildTimeLength;  ///< 8.
  const char* revision;      ///< The revision text.
  uint32_t revisionLength;   ///< Bytes of the revision text.
  const char* component;     ///< The component id, "QELDOM" for qeldom.
  uint32_t componentLength;  ///< Bytes of the component id (6 for "QELDOM").
  uint32_t reserved[3];      ///< Zero.
};

/// The trace record of one traced function. The cached level and sync value
/// are written by TRC1_Sync; racing threads compute the same level.
struct TRC1_EPB {
  const TRC1_EPF* file;             ///< The record of the function's source file.
  const char* name;                 ///< The function's name.
  uint32_t nameLength;              ///< Bytes of the name.
  uint32_t line;                    ///< The source line of the function's head.
  std::atomic<uint32_t>* sync;      ///< The source file's sync word (starts at 1).
  uint32_t kind;                    ///< 0x800, or 0x200 for the "LOG" records.
  std::atomic<uint32_t> level;      ///< The cached level word (0 at load).
  std::atomic<uint32_t> syncValue;  ///< The sync value the cached level belongs to (0 at load).
  uint32_t reserved[2];             ///< Zero.
};

/// The level word of the function `record`; refreshes its cached level and
/// sync value.
QELRT_API uint32_t TRC1_Sync(TRC1_EPB* record);

/// Records an event of the function `record` at source `line`: `kind` 0 at
/// entry ("Entry"), 2 at a plain exit ("Exit"), 1 at an exit that reports
/// `value` ("Exit (value)").
QELRT_API void TRC1_Event(TRC1_EPB* record, int line, int kind, long value = 0);

/// The level word of the function `record`: the cached level while it is
/// still valid, else TRC1_Sync.
inline uint32_t TRC1_Level(TRC1_EPB* record) {
  uint32_t sync = record->sync->load(std::memory_order_relaxed);
  if (record->syncValue.load(std::memory_order_relaxed) == sync) return record->level.load(std::memory_order_relaxed);
  return TRC1_Sync(record);
}

/// Writes one finished trace line of the function `record`: its component id
/// and name, then `text`. `line` is not written.
QELRT_API void moxWriteLine(const TRC1_EPB* record, int line, const std::string& text);

// --- configuration ------------------------------------------------------------

/// Replaces the trace levels with those of the `setting` text (syntax above);
/// an empty text switches tracing off. A malformed text throws
/// std::invalid_argument with the reason and leaves the levels unchanged.
QELRT_API void moxSetTrace(const std::string& setting);
/// Sets the level of the functions named `function`; with a null or empty
/// function, of every function of `component`; with both null or empty, of
/// every function.
QELRT_API void moxSetLevel(const char* component, const char* function, uint32_t level);
/// Sends the output to the file at `path`, appending; null or empty means
/// standard error. A file that cannot be opened leaves the output on standard
/// error, with a line there that says why.
QELRT_API void moxSetOutputFile(const char* path);
/// A receiver of output lines, each without its line end.
using MoxSink = std::function<void(const std::string& line)>;
/// Hands every output line to `sink` instead of the output file; an empty
/// sink restores the file output.
QELRT_API void moxSetSink(MoxSink sink);
