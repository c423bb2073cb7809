#include <iterator>

#include "errors/errors.h"

namespace {

const char *const ghs_messages[] = {
    "No such host is known",
    "Temporary nameserver error, retry possible",
    "Non-recoverable error",
    "No address, though other data exist",
    "Unexpected return from gethostbyname error",
};

const ErrorTable ghs_table = {ghs_messages, ERROR_TABLE_GHS,
                              static_cast<std::int32_t>(std::size(ghs_messages))};
ErrorTableNode ghs_node = {nullptr, nullptr};

}  // namespace

void register_ghs_table()
{
    if (ghs_node.table != nullptr)
        return;
    ghs_node.next = error_table_list;
    ghs_node.table = &ghs_table;
    error_table_list = &ghs_node;
}
