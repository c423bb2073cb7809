#include <netdb.h>

#include "errors/errors.h"

ErrorCode gethost_errors()
{
    register_ghs_table();
    switch (h_errno) {
    case HOST_NOT_FOUND:
        return ERROR_TABLE_GHS + 0;
    case TRY_AGAIN:
        return ERROR_TABLE_GHS + 1;
    case NO_RECOVERY:
        return ERROR_TABLE_GHS + 2;
    case NO_DATA:
        return ERROR_TABLE_GHS + 3;
    default:
        return ERROR_TABLE_GHS + 4;
    }
}
