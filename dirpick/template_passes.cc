#include "dirpick/dirpick.h"

bool template_passes(uint32_t flags, const TypeRule* rule, const DirpickOptions* opts) {
  const bool listing_mode = opts->d_count != 0 || opts->i_count != 0;
  // -e drops the type's conventions; so does -c with an explicit mode, which
  // then selects templates by mode alone.
  const bool convention_test = opts->e_count == 0 && !(opts->c_count != 0 && listing_mode);
  const bool mode_test = opts->c_count != 0;
  if (convention_test && (flags & rule->conventions) == 0) return false;
  if (mode_test && (flags & opts->mode) == 0) return false;
  return true;
}
