// Error codes of bulfetch: one signed 32-bit value names a system error,
// a host-lookup failure, a name-service failure or a condition of the
// client itself.
#pragma once

#include <cstdint>

using ErrorCode = std::int32_t;

// Table bases: the table name read as 6-bit groups (see et_name), shifted
// left by 8 bits.
inline constexpr ErrorCode ERROR_TABLE_BUL = 30139904;  // "bul", 0x1CBE600
inline constexpr ErrorCode ERROR_TABLE_GHS = 35171584;  // "ghs", 0x218AD00
inline constexpr ErrorCode ERROR_TABLE_NOM = 42624768;  // "nom", 0x28A6700

// The client's own codes. The bul table has no texts and is never
// registered: these always render as "Unknown code bul N".
inline constexpr ErrorCode BUL_NO_MEMORY = ERROR_TABLE_BUL + 0;
inline constexpr ErrorCode BUL_MISSING_ARGUMENT = ERROR_TABLE_BUL + 1;
inline constexpr ErrorCode BUL_NEGATIVE_LENGTH = ERROR_TABLE_BUL + 2;
inline constexpr ErrorCode BUL_NO_SERVICE_PORT = ERROR_TABLE_BUL + 3;
inline constexpr ErrorCode BUL_NOT_BULLETIN = ERROR_TABLE_BUL + 11;
inline constexpr ErrorCode BUL_NO_NEWLINE = ERROR_TABLE_BUL + 12;
inline constexpr ErrorCode BUL_ALREADY_SEEN = ERROR_TABLE_BUL + 16;
inline constexpr ErrorCode BUL_SERVER_TIMEOUT = ERROR_TABLE_BUL + 17;
// -quick: an interrupt ended the wait for the server; the fetch running on
// in the background ended without handing over a result.
inline constexpr ErrorCode BUL_INTERRUPTED = ERROR_TABLE_BUL + 18;
inline constexpr ErrorCode BUL_FETCH_LOST = ERROR_TABLE_BUL + 19;

struct ErrorTable {
    const char *const *msgs;  // indexed by offset
    std::int32_t base;
    std::int32_t count;       // offsets at or above this have no text
};

struct ErrorTableNode {
    ErrorTableNode *next;
    const ErrorTable *table;  // null while the table is not registered
};

// Registered tables, most recently registered first.
extern ErrorTableNode *error_table_list;

// Never null. The text is a table or system string, or a static buffer
// that the next call overwrites.
const char *error_message(ErrorCode code);

// Table name of a code or base, in a static buffer the next call overwrites.
const char *et_name(ErrorCode base);

// Idempotent.
void register_ghs_table();
void register_nom_table();

// Translate the status of the failed lookup just made (h_errno, or the
// name-service status word) into a code, registering the table first.
ErrorCode gethost_errors();
ErrorCode nomicon_errors();
