#include "dirpick/dirpick.h"

int expand_template(Candidate* out, std::string_view format, const char* path,
                    const char* type, const char* sysname, const char* machtype) {
  out->len = 0;
  candidate_append(out, {});  // an empty format still yields "" with its NUL
  int result = EXPAND_COMPLETE;
  std::size_t i = 0;
  while (i < format.size()) {
    const std::size_t pct = format.find('%', i);
    if (pct == std::string_view::npos) {
      candidate_append(out, format.substr(i));
      break;
    }
    candidate_append(out, format.substr(i, pct - i));
    // A '%' that ends the format has no letter and is dropped.
    if (pct + 1 >= format.size()) break;
    const char letter = format[pct + 1];
    const char* value = nullptr;
    bool escape = true;
    switch (letter) {
      case 'p': value = path; break;
      case 't': value = type; break;
      case 's': value = sysname; break;
      case 'm': value = machtype; break;
      default: escape = false; break;
    }
    if (escape && value != nullptr) {
      // Values are copied as they are, never scanned again for escapes.
      candidate_append(out, value);
    } else {
      // "%%", "%x" and an escape without a value stand as written; the
      // second character is consumed, so "%%p" stays "%%p".
      candidate_append(out, format.substr(pct, 2));
      if (escape) result = EXPAND_INCOMPLETE;
    }
    i = pct + 2;
  }
  return out->failed ? EXPAND_NO_MEMORY : result;
}
