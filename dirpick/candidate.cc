#include <cstdlib>
#include <cstring>

#include "dirpick/dirpick.h"

// Most candidates fit in the first block; longer ones double it, so a
// candidate of any length is expanded whole rather than cut.
static constexpr std::size_t CANDIDATE_FIRST_BLOCK = 1024;

bool candidate_append(Candidate* c, std::string_view s) {
  if (c->failed) return false;
  // One byte beyond the text is always kept for the NUL.
  if (s.size() >= c->cap - c->len || c->data == nullptr) {
    std::size_t need = c->len + s.size() + 1;
    if (need < c->len) {  // size arithmetic wrapped
      c->failed = true;
      return false;
    }
    std::size_t cap = c->cap != 0 ? c->cap : CANDIDATE_FIRST_BLOCK;
    while (cap < need) {
      if (cap > SIZE_MAX / 2) {
        cap = need;
        break;
      }
      cap *= 2;
    }
    char* grown = static_cast<char*>(std::realloc(c->data, cap));
    if (grown == nullptr) {
      c->failed = true;
      return false;
    }
    c->data = grown;
    c->cap = cap;
  }
  if (!s.empty()) std::memcpy(c->data + c->len, s.data(), s.size());
  c->len += s.size();
  c->data[c->len] = '\0';
  return true;
}

void candidate_free(Candidate* c) {
  std::free(c->data);
  *c = Candidate{};
}
