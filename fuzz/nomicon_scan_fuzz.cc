// Arbitrary bytes as a received answer: the scan must fail cleanly or store
// records whose data, joined as TXT, stays within bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "nomicon/nomicon_internal.h"
#include "nomicon/resolve.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Lengths past a UDP message are part of the input space: the scanner
    // must refuse them, not read on.
    int length = size > 1024 ? 1024 : static_cast<int>(size);
    ScannedMessage *m = resolve_scan(data, length);
    if (m == nullptr)
        return 0;
    if (m->stored_count > m->record_count || m->length > length)
        __builtin_trap();
    for (int i = 0; i < m->stored_count; ++i) {
        const ScannedRecord &r = m->records[i];
        std::vector<char> text(static_cast<std::size_t>(r.data_length) + 1);
        std::size_t n = nomicon_txt_join(r.data, static_cast<std::size_t>(r.data_length), text.data());
        if (n > static_cast<std::size_t>(r.data_length) || r.data[r.data_length] != 0)
            __builtin_trap();
    }
    return 0;
}
