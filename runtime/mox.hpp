// mox: the product's trace library as qeldom uses it.
//
// A library describes each source file with a file record and each traced
// function with a function record (TRC1_EPB), both in its own data. The trace
// library answers the level word of a function (TRC1_Sync), records events
// (TRC1_Event) and writes the lines that QelTraceStream hands it.
//
// Levels are chosen per component and per function name:
//   - from the program with moxSetTrace("0xD0") or
//     moxSetTrace("tavGetDoc=0x40,qelParseXml=0xD0,QELDOM=0x80");
//   - from the environment at load: QEL_TRACE holds the same text and
//     QEL_TRACE_FILE names a file for the output (standard error otherwise).
// A bare number is the level of every function; NAME=level sets the level of
// the functions of that name, or of every function of the component of that
// name. A function's own entry wins over its component's, which wins over
// the bare number.
//
// Output: one line per trace line or event:
//   QELDOM tavGetDoc: Flow - The passed node is NULL
//   QELDOM tavGetDoc: Entry
//   QELDOM tavGetDoc: Exit
//   QELDOM tavRemoveNode: Exit (1)
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "qelrtdefs.hpp"

// File record: one per source file.
struct TRC1_EPF {
  uint32_t size;   // 180 (0xB4)
  uint32_t flags;  // 0x80000000
  const char* path;
  uint32_t pathLength;
  const char* buildDate;
  uint32_t buildDateLength;  // 11
  const char* buildTime;
  uint32_t buildTimeLength;  // 8
  const char* revision;
  uint32_t revisionLength;
  const char* component;
  uint32_t componentLength;  // 6
  uint32_t reserved[3];
};

// Function record: one per traced function. The cached level and sync value
// are written by TRC1_Sync; racing threads compute the same level.
struct TRC1_EPB {
  const TRC1_EPF* file;
  const char* name;
  uint32_t nameLength;
  uint32_t line;  // source line of the function's head
  std::atomic<uint32_t>* sync;  // the file's sync word (starts at 1)
  uint32_t kind;  // 0x800, or 0x200 for "LOG" records
  std::atomic<uint32_t> level;  // cached level word (0 at load)
  std::atomic<uint32_t> syncValue;  // cached sync value (0 at load)
  uint32_t reserved[2];
};

// The level word of the function; refreshes the record's cached level and
// sync value.
QELRT_API uint32_t TRC1_Sync(TRC1_EPB* record);

// Records an event: kind 0 at entry, 2 at a plain exit, 1 at an exit that
// reports a value.
QELRT_API void TRC1_Event(TRC1_EPB* record, int line, int kind, long value = 0);

// The cached level if it is still valid, else TRC1_Sync.
inline uint32_t TRC1_Level(TRC1_EPB* record) {
  uint32_t sync = record->sync->load(std::memory_order_relaxed);
  if (record->syncValue.load(std::memory_order_relaxed) == sync)
    return record->level.load(std::memory_order_relaxed);
  return TRC1_Sync(record);
}

// Writes one finished trace line of the function.
QELRT_API void moxWriteLine(const TRC1_EPB* record, int line, const std::string& text);

// --- configuration ------------------------------------------------------------

// Replaces the trace levels with those of the setting text (syntax
// above). An empty text switches tracing off. Throws std::invalid_argument
// with the reason for a malformed text; the levels are then unchanged.
QELRT_API void moxSetTrace(const std::string& setting);
// Sets the level of one function (or, with a null function, of a component).
QELRT_API void moxSetLevel(const char* component, const char* function, uint32_t level);
// Sends the output to the file (appending); null or empty means standard
// error. A file that cannot be opened falls back to standard error, and the
// trace says so once.
QELRT_API void moxSetOutputFile(const char* path);
// Hands every output line (without its line end) to the sink instead of the
// output file; an empty sink restores the file output.
using MoxSink = std::function<void(const std::string& line)>;
QELRT_API void moxSetSink(MoxSink sink);
