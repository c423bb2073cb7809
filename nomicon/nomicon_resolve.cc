#include <arpa/nameser.h>
#include <cerrno>
#include <cstdlib>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"
#include "nomicon/resolve.h"

namespace {

// The name service keeps its records in class 4, apart from the
// Internet-class data of the same servers.
constexpr int NOMICON_CLASS = 4;

char *results[NOMICON_MAX_RESULTS];

}  // namespace

char **nomicon_resolve(const char *name, const char *type)
{
    char *bind_name = nomicon_to_bind(name, type);
    if (bind_name == nullptr)
        return nullptr;

    errno = 0;
    ScannedMessage *message = resolve_query(bind_name, NOMICON_CLASS, ns_t_txt, nomicon_tuning);
    // errno tells a network failure only when the query failed; after a
    // success it may hold anything the resolver left behind.
    if (message == nullptr && (errno == ETIMEDOUT || errno == ECONNREFUSED)) {
        nomicon_status = 3;
        return nullptr;
    }
    if (message == nullptr || message->answer_count <= 0) {
        nomicon_status = 1;
        return nullptr;
    }

    // Only records the scan stored: a message that ended early stored
    // fewer than the header's count.
    int answers = message->answer_count < message->stored_count ? message->answer_count
                                                                 : message->stored_count;
    int found = 0;
    for (int i = 0; i < answers && found < NOMICON_MAX_RESULTS - 1; ++i) {
        const ScannedRecord &record = message->records[i];
        if (record.rr_type != ns_t_txt || record.rr_class != NOMICON_CLASS)
            continue;
        auto size = static_cast<std::size_t>(record.data_length);
        char *text = static_cast<char *>(std::calloc(size + 1, 1));
        if (text == nullptr) {
            // No partial answers: drop what this lookup made so far.
            for (int j = 0; j < found; ++j)
                std::free(results[j]);
            results[0] = nullptr;
            nomicon_status = 1;
            return nullptr;
        }
        nomicon_txt_join(record.data, size, text);
        results[found++] = text;
    }
    results[found] = nullptr;
    return results;
}
