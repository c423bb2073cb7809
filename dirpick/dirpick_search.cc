#include <sys/stat.h>

#include "dirpick/dirpick.h"

SearchStatus dirpick_search(DirpickOptions* opts, OutBuffer* out) {
  // Without a collected path the search runs once with %p absent.
  static const char* const no_path[1] = {nullptr};
  const char* const* paths = opts->path_count != 0 ? opts->paths : no_path;
  const std::size_t path_count = opts->path_count != 0 ? opts->path_count : 1;
  const std::string_view recsep = opts->recsep != nullptr ? opts->recsep : "\n";
  const bool list = opts->l_count != 0;
  const bool choose = opts->c_count != 0;

  if (opts->mode == 0) opts->mode = find_type_rule(opts->type)->default_mode;

  Candidate cand{};
  SearchStatus status = SEARCH_ALL_FOUND;
  bool run_printed = false;
  for (std::size_t p = 0; p < path_count && out->error == 0; ++p) {
    const TypeRule* rule = find_type_rule(opts->type);
    bool path_printed = false;
    for (std::size_t slot = 0; slot < DIR_TEMPLATE_COUNT; ++slot) {
      const char* format = slot == 0 ? opts->format : dir_templates[slot].format;
      if (format == nullptr) continue;
      if (!template_passes(dir_templates[slot].flags, rule, opts)) continue;
      const int made = expand_template(&cand, format, paths[p], opts->type, opts->sysname,
                                       opts->machtype);
      if (made == EXPAND_NO_MEMORY) {
        // What was printed ends as a whole run does, so the last path a
        // script reads is never taken for one left unterminated.
        candidate_free(&cand);
        if (run_printed) out_put(out, "\n");
        return SEARCH_NO_MEMORY;
      }
      // -l prints complete and incomplete candidates alike; otherwise an
      // incomplete one names no directory and is passed over.
      if (!list && made == EXPAND_INCOMPLETE) continue;
      // -c prints without looking at the disk; stat succeeding means the
      // name exists, whatever kind of file it is, and any failure is absence.
      struct stat st;
      if (!list && !choose && ::stat(cand.data, &st) != 0) continue;
      if (run_printed) out_put(out, recsep);
      out_put(out, std::string_view(cand.data, cand.len));
      run_printed = true;
      path_printed = true;
      if (!list || choose) break;
    }
    if (!path_printed) status = SEARCH_SOME_MISSING;
  }
  candidate_free(&cand);
  if (run_printed) out_put(out, "\n");
  return status;
}
