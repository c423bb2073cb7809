#include "nomicon/nomicon.h"

int nomicon_error()
{
    return nomicon_status;
}
