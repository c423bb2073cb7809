// Input: argument words separated by NUL bytes. Parses them as a command
// line and, when accepted, runs the whole search with output to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dirpick/dirpick.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"dirpick"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  if (!word.empty() && words.size() < 64) words.push_back(word);

  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  std::vector<const char*> room(words.size(), nullptr);
  DirpickOptions opts{};
  opts.paths = room.data();
  const char* bad = nullptr;
  const ParseStatus st = dirpick_parse(argc, argv.data(), "i386_linux1", &opts, &bad);

  if ((st == PARSE_UNKNOWN || st == PARSE_ALREADY) && bad == nullptr) std::abort();
  if (st != PARSE_OK) return 0;
  if (opts.path_count > words.size() - 1) std::abort();
  for (size_t i = 0; i < opts.path_count; ++i) {
    // Only the simple form's first word may be a path; no path begins with '-'.
    if (opts.paths[i] == nullptr || opts.paths[i][0] == '-') std::abort();
  }
  if (opts.sysname == nullptr || opts.machtype == nullptr) std::abort();

  static int devnull = ::open("/dev/null", O_WRONLY);
  static OutBuffer out;
  out = OutBuffer{devnull, 0, 0, {}};
  const SearchStatus found = dirpick_search(&opts, &out);
  out_flush(&out);
  if (found == SEARCH_NO_MEMORY || out.error != 0) std::abort();
  if (opts.mode != DIR_MACHDEP && opts.mode != DIR_MACHINDEP) std::abort();
  return 0;
}
