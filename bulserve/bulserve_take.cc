#include <cstring>

#include "bulserve/bulserve.h"

namespace {

std::string_view body_of(const Bulletin &bulletin)
{
    std::string_view record(bulletin.record, bulletin.length);
    std::size_t lf = record.find('\n');
    return lf == std::string_view::npos ? std::string_view() : record.substr(lf + 1);
}

LoadResult too_big(std::int64_t size, std::int64_t stamp)
{
    LoadResult result;
    result.status = LoadStatus::too_big;
    result.size = size;
    result.limit = bulserve_body_limit(stamp);
    return result;
}

}  // namespace

LoadResult bulserve_take(const FileContent &content, const BulserveOptions &options,
                         const Bulletin &current, std::int64_t highest, std::int64_t now,
                         Bulletin *fresh)
{
    LoadResult result;
    std::span<const char> bytes(content.bytes, content.length);
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    RecordForm form = bulserve_record_form(bytes, &stamp, &body_at);
    if (form == RecordForm::malformed) {
        result.status = LoadStatus::malformed;
        return result;
    }
    bool published = form == RecordForm::published;
    std::span<const char> body = published ? bytes.subspan(body_at) : bytes;
    std::int64_t body_size = published ? content.file_size - static_cast<std::int64_t>(body_at)
                                       : content.file_size;
    std::string_view text(body.data(), body.size());
    Bulletin next;
    if (options.have_stamp) {
        // A stamp fixed on the command line is the operator's to answer
        // for: it is neither checked against nor recorded in the state.
        if (!bulserve_build_record(&next, options.stamp, body))
            return too_big(body_size, options.stamp);
    } else if (published) {
        if (!bulserve_build_record(&next, stamp, body))
            return too_big(body_size, stamp);
        bool same = current.length == next.length &&
                    std::memcmp(current.record, next.record, next.length) == 0;
        // A stamp is never served for a second text, nor below one served
        // before: clients that saw the larger one would never see this.
        bool served_before = current.length > 0 || highest > 0;
        if (!same && served_before && stamp <= highest) {
            result.status = LoadStatus::stale;
            result.stamp = stamp;
            return result;
        }
    } else if (current.length > 0 && text == body_of(current)) {
        // The same text keeps its stamp, across a rewrite, a touch or a
        // restart: only content says whether the bulletin changed.
        next = current;
    } else {
        // The file's time, when it is a time the server can trust (after
        // every stamp served, not in the future), keeps a text's stamp the
        // same across servers and upgrades; otherwise the next stamp.
        std::int64_t mtime = content.mtime.tv_sec;
        if (mtime > highest && mtime <= now && mtime <= BULSERVE_CLOCK_LIMIT) {
            stamp = mtime;
        } else if (!bulserve_next_stamp(highest, now, &stamp)) {
            result.status = LoadStatus::no_stamp_left;
            result.stamp = highest;
            return result;
        }
        if (!bulserve_build_record(&next, stamp, body))
            return too_big(body_size, stamp);
    }
    next.file_size = static_cast<std::size_t>(content.length);
    next.published = published;
    result.changed = current.length != next.length ||
                     std::memcmp(current.record, next.record, next.length) != 0;
    *fresh = next;
    return result;
}
