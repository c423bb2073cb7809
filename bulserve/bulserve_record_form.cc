#include "bulserve/bulserve.h"

RecordForm bulserve_record_form(std::span<const char> content, std::int64_t *stamp,
                                std::size_t *body_offset)
{
    std::string_view text(content.data(), content.size());
    if (!text.starts_with(BULLETIN_MAGIC))
        return RecordForm::plain;
    // Exactly what the publishing command writes and a client reads
    // unchanged: one blank, digits without sign or padding, an LF. A
    // header that a client would read differently is refused rather than
    // guessed at.
    std::size_t at = BULLETIN_MAGIC.size();
    if (at >= text.size() || text[at] != ' ')
        return RecordForm::malformed;
    ++at;
    std::size_t first = at;
    std::int64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + (text[at] - '0');
        if (value > BULSERVE_MAX_STAMP)
            return RecordForm::malformed;
        ++at;
    }
    std::size_t digits = at - first;
    if (digits == 0 || (digits > 1 && text[first] == '0'))
        return RecordForm::malformed;
    if (at >= text.size() || text[at] != '\n')
        return RecordForm::malformed;
    *stamp = value;
    *body_offset = at + 1;
    return RecordForm::published;
}
