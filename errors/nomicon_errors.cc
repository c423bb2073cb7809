#include "errors/errors.h"
#include "nomicon/nomicon.h"

ErrorCode nomicon_errors()
{
    register_nom_table();
    int status = nomicon_error();
    // Status -1 to 3 map in order onto the table's first five texts.
    if (status >= -1 && status <= 3)
        return ERROR_TABLE_NOM + status + 1;
    return ERROR_TABLE_NOM + 5;
}
