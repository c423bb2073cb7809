// Input: format, path, type, sysname and machtype separated by NUL bytes
// (a missing path or type is absent). The expansion is checked against a
// plain character-by-character reading of the escape rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dirpick/dirpick.h"

namespace {

std::string reference(const std::string& f, const char* const vals[4], int* result) {
  static const char letters[] = "ptsm";
  std::string out;
  *result = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') {
      out += f[i];
      continue;
    }
    if (i + 1 == f.size()) break;
    const char* at = std::strchr(letters, f[i + 1]);
    if (f[i + 1] != '\0' && at != nullptr && vals[at - letters] != nullptr) {
      out += vals[at - letters];
    } else {
      if (f[i + 1] != '\0' && at != nullptr) *result = 1;
      out += f.substr(i, 2);
    }
    ++i;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 5) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  const std::string& format = parts[0];
  const char* vals[4] = {
      parts.size() > 1 ? parts[1].c_str() : nullptr,
      parts.size() > 2 ? parts[2].c_str() : nullptr,
      parts.size() > 3 ? parts[3].c_str() : "i386_linux1",
      parts.size() > 4 ? parts[4].c_str() : "linux",
  };
  Candidate c{};
  const int got = expand_template(&c, format, vals[0], vals[1], vals[2], vals[3]);
  int want_result = 0;
  const std::string want = reference(format, vals, &want_result);
  if (got != want_result) std::abort();
  if (c.data == nullptr || c.len >= c.cap || c.data[c.len] != '\0') std::abort();
  if (std::string(c.data, c.len) != want) std::abort();
  candidate_free(&c);
  return 0;
}
