// The trace library: level selection, events and line output.
#include "mox.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace {

struct Levels {
  uint32_t all = 0;
  std::unordered_map<std::string, uint32_t> byName;  // function names and component ids
};

struct State {
  std::mutex lock;
  Levels levels;
  uint32_t generation = 1;
  std::vector<std::atomic<uint32_t>*> syncWords;  // the sync words seen so far
  std::FILE* out = stderr;
  bool ownsOut = false;
  MoxSink sink;
};

State& state() {
  static State s;
  return s;
}

// Makes every cached level stale. Called with the lock held.
void bumpGeneration(State& s) {
  ++s.generation;
  for (auto* word : s.syncWords) word->store(s.generation, std::memory_order_relaxed);
}

std::string trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(" \t");
  return text.substr(b, e - b + 1);
}

uint32_t parseLevel(const std::string& text) {
  if (text.empty()) throw std::invalid_argument("missing trace level");
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || value > 0xFFFFFFFFul || text[0] == '-')
    throw std::invalid_argument("bad trace level '" + text + "'");
  return static_cast<uint32_t>(value);
}

bool validName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '~')) return false;
  return true;
}

Levels parseSetting(const std::string& setting) {
  Levels levels;
  size_t pos = 0;
  if (trim(setting).empty()) return levels;
  while (pos <= setting.size()) {
    size_t comma = setting.find(',', pos);
    std::string item = trim(setting.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (item.empty()) throw std::invalid_argument("empty item in trace setting");
    size_t eq = item.find('=');
    if (eq == std::string::npos) {
      levels.all = parseLevel(item);
    } else {
      std::string name = trim(item.substr(0, eq));
      if (!validName(name)) throw std::invalid_argument("bad function or component name '" + name + "'");
      levels.byName[name] = parseLevel(trim(item.substr(eq + 1)));
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return levels;
}

void emit(State& s, const std::string& line) {
  if (s.sink) {
    s.sink(line);
    return;
  }
  std::fputs(line.c_str(), s.out);
  std::fputc('\n', s.out);
  std::fflush(s.out);
}

std::string prefix(const TRC1_EPB* record) {
  std::string text;
  if (record->file && record->file->component) text.assign(record->file->component, record->file->componentLength);
  text.push_back(' ');
  text.append(record->name, record->nameLength);
  text.append(": ");
  return text;
}

void setOutputFileLocked(State& s, const char* path) {
  if (s.ownsOut) std::fclose(s.out);
  s.out = stderr;
  s.ownsOut = false;
  if (!path || !*path) return;
  std::FILE* f = std::fopen(path, "a");
  if (!f) {
    std::fprintf(stderr, "mox: cannot open trace file \"%s\" (%s); tracing to standard error\n", path,
                 std::strerror(errno));
    return;
  }
  s.out = f;
  s.ownsOut = true;
}

// Reads QEL_TRACE and QEL_TRACE_FILE when the library is loaded.
struct EnvironmentSetup {
  EnvironmentSetup() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    setOutputFileLocked(s, std::getenv("QEL_TRACE_FILE"));
    if (const char* setting = std::getenv("QEL_TRACE")) {
      try {
        s.levels = parseSetting(setting);
      } catch (const std::invalid_argument& e) {
        std::fprintf(s.out, "mox: ignoring QEL_TRACE \"%s\": %s\n", setting, e.what());
      }
    }
  }
} s_environmentSetup;

}  // namespace

uint32_t TRC1_Sync(TRC1_EPB* record) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  bool known = false;
  for (auto* word : s.syncWords)
    if (word == record->sync) known = true;
  if (!known) {
    s.syncWords.push_back(record->sync);
    record->sync->store(s.generation, std::memory_order_relaxed);
  }
  uint32_t level = s.levels.all;
  if (record->file && record->file->component) {
    auto it = s.levels.byName.find(std::string(record->file->component, record->file->componentLength));
    if (it != s.levels.byName.end()) level = it->second;
  }
  auto it = s.levels.byName.find(std::string(record->name, record->nameLength));
  if (it != s.levels.byName.end()) level = it->second;
  record->level.store(level, std::memory_order_relaxed);
  record->syncValue.store(record->sync->load(std::memory_order_relaxed), std::memory_order_relaxed);
  return level;
}

void TRC1_Event(TRC1_EPB* record, int, int kind, long value) {
  std::string line = prefix(record);
  if (kind == 0)
    line += "Entry";
  else if (kind == 1)
    line += "Exit (" + std::to_string(value) + ")";
  else
    line += "Exit";
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  emit(s, line);
}

void moxWriteLine(const TRC1_EPB* record, int, const std::string& text) {
  std::string line = prefix(record) + text;
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  emit(s, line);
}

void moxSetTrace(const std::string& setting) {
  Levels levels = parseSetting(setting);
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.levels = std::move(levels);
  bumpGeneration(s);
}

void moxSetLevel(const char* component, const char* function, uint32_t level) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (function && *function)
    s.levels.byName[function] = level;
  else if (component && *component)
    s.levels.byName[component] = level;
  else
    s.levels.all = level;
  bumpGeneration(s);
}

void moxSetOutputFile(const char* path) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  setOutputFileLocked(s, path);
}

void moxSetSink(MoxSink sink) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.sink = std::move(sink);
}
