#include <iterator>

#include "errors/errors.h"

namespace {

const char *const nom_messages[] = {
    "Nomicon uninitialized",
    "No nomicon error detected(?)",
    "Nomicon name not found by Nomicon server",
    "local Nomicon problem (no config file?)",
    "Nomicon network problem",
    "Unexpected return from Nomicon error",
};

const ErrorTable nom_table = {nom_messages, ERROR_TABLE_NOM,
                              static_cast<std::int32_t>(std::size(nom_messages))};
ErrorTableNode nom_node = {nullptr, nullptr};

}  // namespace

void register_nom_table()
{
    if (nom_node.table != nullptr)
        return;
    nom_node.next = error_table_list;
    nom_node.table = &nom_table;
    error_table_list = &nom_node;
}
