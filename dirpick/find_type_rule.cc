#include <cstring>

#include "dirpick/dirpick.h"

const TypeRule* find_type_rule(const char* type) {
  const TypeRule* rule = type_rules;
  // The null name of the last entry ends the table and catches the rest.
  if (type == nullptr) {
    while (rule->name != nullptr) ++rule;
    return rule;
  }
  while (rule->name != nullptr && std::strcmp(rule->name, type) != 0) ++rule;
  return rule;
}
