// Error codes: texts of every kind of code, table names, registration and
// the two translators.
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string>

#include "errors/errors.h"
#include "nomicon/nomicon.h"

namespace {

int registered_nodes(const ErrorTable *table)
{
    int n = 0;
    for (ErrorTableNode *node = error_table_list; node != nullptr; node = node->next)
        n += node->table == table;
    return n;
}

const ErrorTable *table_with_base(ErrorCode base)
{
    for (ErrorTableNode *node = error_table_list; node != nullptr; node = node->next)
        if (node->table->base == base)
            return node->table;
    return nullptr;
}

// Runs first in this process: nothing registers at start-up, so table
// codes render as unknown until a translator has run.
TEST(ErrorMessage, TextsBeforeAndAfterRegistration)
{
    EXPECT_EQ(error_table_list, nullptr);
    EXPECT_STREQ(error_message(ERROR_TABLE_GHS + 1), "Unknown code ghs 1");
    EXPECT_STREQ(error_message(ERROR_TABLE_NOM + 0), "Unknown code nom 0");

    h_errno = TRY_AGAIN;
    EXPECT_STREQ(error_message(gethost_errors()), "Temporary nameserver error, retry possible");
    nomicon_status = 3;
    EXPECT_STREQ(error_message(nomicon_errors()), "Nomicon network problem");

    struct Case {
        ErrorCode code;
        std::string text;
    } cases[] = {
        {0, strerrordesc_np(0)},
        {2, "No such file or directory"},
        // Below the system's count but without a name: the system's text.
        {41, "Unknown error 41"},
        {58, "Unknown error 58"},
        {200, "Unknown code 200"},
        {255, "Unknown code 255"},
        {BUL_NO_MEMORY, "Unknown code bul 0"},
        {BUL_SERVER_TIMEOUT, "Unknown code bul 17"},
        {ERROR_TABLE_BUL + 5, "Unknown code bul 5"},
        {ERROR_TABLE_BUL + 10, "Unknown code bul 10"},
        {ERROR_TABLE_BUL + 100, "Unknown code bul 100"},
        {ERROR_TABLE_BUL + 255, "Unknown code bul 255"},
        {ERROR_TABLE_GHS + 0, "No such host is known"},
        {ERROR_TABLE_GHS + 4, "Unexpected return from gethostbyname error"},
        {ERROR_TABLE_GHS + 5, "Unknown code ghs 5"},
        {ERROR_TABLE_GHS + 7, "Unknown code ghs 7"},
        {ERROR_TABLE_NOM + 0, "Nomicon uninitialized"},
        {ERROR_TABLE_NOM + 3, "local Nomicon problem (no config file?)"},
        {ERROR_TABLE_NOM + 5, "Unexpected return from Nomicon error"},
        {ERROR_TABLE_NOM + 6, "Unknown code nom 6"},
        // Longest form: a four-character table name and three digits.
        {static_cast<ErrorCode>(0x7FFFFFFF), "Unknown code e___ 255"},
        {-1, "Unknown code ____ 255"},
        {static_cast<ErrorCode>(0x80000000u), "Unknown code f 0"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(error_message(c.code), c.text) << c.code;
    EXPECT_EQ(std::strlen(error_message(-1)), 21u);
}

TEST(ErrorMessage, RegistrationIsIdempotent)
{
    register_ghs_table();
    register_ghs_table();
    register_nom_table();
    register_nom_table();
    const ErrorTable *ghs = table_with_base(ERROR_TABLE_GHS);
    const ErrorTable *nom = table_with_base(ERROR_TABLE_NOM);
    ASSERT_NE(ghs, nullptr);
    ASSERT_NE(nom, nullptr);
    EXPECT_EQ(registered_nodes(ghs), 1);
    EXPECT_EQ(registered_nodes(nom), 1);
    EXPECT_EQ(ghs->count, 5);
    EXPECT_EQ(nom->count, 6);
    int nodes = 0;
    for (ErrorTableNode *node = error_table_list; node != nullptr; node = node->next)
        ++nodes;
    EXPECT_EQ(nodes, 2);
}

TEST(EtName, ReadsSixBitGroups)
{
    struct Case {
        ErrorCode base;
        const char *name;
    } cases[] = {
        {ERROR_TABLE_BUL, "bul"},
        {ERROR_TABLE_GHS + 17, "ghs"},
        {ERROR_TABLE_NOM, "nom"},
        {0, ""},
        {1 << 8, "A"},
        {63 << 8, "_"},
        // "a", an empty middle group, "c": the zero group is skipped.
        {((27 << 12) | (0 << 6) | 29) << 8, "ac"},
        {((1 << 18) | (2 << 12) | (3 << 6) | 4) << 8, "ABCD"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(et_name(c.base), c.name) << c.base;
}

TEST(Translators, MapStatusesToCodes)
{
    struct HostCase {
        int h_error;
        ErrorCode code;
    } host_cases[] = {
        {HOST_NOT_FOUND, ERROR_TABLE_GHS + 0}, {TRY_AGAIN, ERROR_TABLE_GHS + 1},
        {NO_RECOVERY, ERROR_TABLE_GHS + 2},    {NO_DATA, ERROR_TABLE_GHS + 3},
        {0, ERROR_TABLE_GHS + 4},              {-1, ERROR_TABLE_GHS + 4},
        {5, ERROR_TABLE_GHS + 4},
    };
    for (const HostCase &c : host_cases) {
        h_errno = c.h_error;
        EXPECT_EQ(gethost_errors(), c.code) << c.h_error;
    }
    struct NomCase {
        int status;
        ErrorCode code;
    } nom_cases[] = {
        {-1, ERROR_TABLE_NOM + 0}, {0, ERROR_TABLE_NOM + 1}, {1, ERROR_TABLE_NOM + 2},
        {2, ERROR_TABLE_NOM + 3},  {3, ERROR_TABLE_NOM + 4}, {4, ERROR_TABLE_NOM + 5},
        {-2, ERROR_TABLE_NOM + 5},
    };
    for (const NomCase &c : nom_cases) {
        nomicon_status = c.status;
        EXPECT_EQ(nomicon_errors(), c.code) << c.status;
    }
}

}  // namespace
