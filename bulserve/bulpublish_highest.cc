#include "bulserve/bulpublish.h"

std::int64_t bulpublish_highest(const char *file, const char *state_dir)
{
    std::int64_t highest = 0;
    FileContent content;
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    if (bulserve_read_file(file, false, &content).status == LoadStatus::ok &&
        bulserve_record_form(std::span<const char>(content.bytes, content.length), &stamp,
                             &body_at) == RecordForm::published)
        highest = stamp;
    Bulletin served;
    if (state_dir != nullptr && bulserve_state_load(state_dir, &served).status == LoadStatus::ok &&
        served.length > 0 && served.stamp > highest)
        highest = served.stamp;
    return highest;
}
