// The commands of qelxml: each one a thin layer over the library's exported
// calls. A command returns the process's exit code (0 success, 1 bad input)
// and writes its diagnostics to standard error itself.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelxml {

// How to parse an input document.
struct ParseOptions {
  std::string input = "-";        // a file name, or "-" for standard input
  unsigned long bits = 0;         // the parser's option word
  std::string inputEncoding;      // the caller's encoding name; empty for none
  std::size_t maxExpansions = 0;  // the library's entity bounds (0: none)
  std::size_t maxEntityText = 0;
};

struct FormatOptions {
  ParseOptions parse;
  unsigned long bits = 0;  // the writer's option word
  std::string encoding;    // output encoding; empty for UTF-8
  std::string output;      // "-" or empty for standard output
};

int runFormat(const FormatOptions& options);
int runText(const ParseOptions& options, const std::string& output);
int runDetect(const std::vector<std::string>& files, const std::string& suppliedEncoding);
int runCheck(const std::string& kind, const std::vector<std::string>& values);
int runRawName(const std::vector<std::string>& values, bool reverse);

// The kinds runCheck knows.
const std::vector<std::string>& checkKinds();

// Why qelxml could not read back what format writes in `encoding` with the
// writer options `writeBits`, or an empty string when it can.
std::string unreadableOutputEncoding(const std::string& encoding, unsigned long writeBits);

// Writes "qelxml: message" to standard error.
void complain(const std::string& message);

}  // namespace qelxml
