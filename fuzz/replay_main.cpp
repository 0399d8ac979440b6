// Runs a fuzz target over files, as libFuzzer would run one input each: every
// file named on the command line and every file below every directory named
// there. Without libFuzzer this keeps found inputs fixed in the normal tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int runFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return 1;
  }
  // An exactly sized heap copy, so that a read past the input is caught
  // under AddressSanitizer as it is under libFuzzer.
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  copy.shrink_to_fit();
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), copy.size());
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) failures += runFile(file), ++count;
    } else if (std::filesystem::exists(arg, ec)) {
      failures += runFile(arg), ++count;
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      ++failures;
    }
  }
  std::printf("replay: %zu inputs run\n", count);
  return failures == 0 ? 0 : 1;
}
