#include "errors/errors.h"

// Empty at start: tables register on first use, not at start-up.
ErrorTableNode *error_table_list = nullptr;
