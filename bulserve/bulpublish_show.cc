#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "bulserve/bulpublish.h"

namespace {

void print_time(std::int64_t stamp)
{
    // Stamps are times in seconds when the clock allowed; one counted up
    // past a wrong clock still reads as a nearby time.
    std::time_t t = static_cast<std::time_t>(stamp);
    std::tm tm{};
    char text[64];
    if (stamp > 0 && gmtime_r(&t, &tm) != nullptr &&
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) > 0)
        std::printf(" (%s)", text);
    std::printf("\n");
}

}  // namespace

int bulpublish_show(const char *program, const BulpublishOptions &options)
{
    FileContent content;
    LoadResult read = bulserve_read_file(options.file, false, &content);
    if (read.status != LoadStatus::ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, options.file,
                     read.status == LoadStatus::system_error ? std::strerror(read.error)
                     : read.status == LoadStatus::not_regular ? "not a regular file"
                                                               : "open for writing; try again");
        return BULPUBLISH_EXIT_FILE;
    }
    std::span<const char> bytes(content.bytes, content.length);
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    RecordForm form = bulserve_record_form(bytes, &stamp, &body_at);
    if (form == RecordForm::malformed) {
        std::fprintf(stderr, "%s: %s begins with \"BUL:0\" but is no published bulletin\n",
                     program, options.file);
        return BULPUBLISH_EXIT_FILE;
    }
    std::span<const char> body = form == RecordForm::published ? bytes.subspan(body_at) : bytes;
    std::printf("file:  %s (%s)\n", options.file,
                form == RecordForm::published ? "published" : "plain text, stamped by the server");
    std::printf("stamp: ");
    if (form == RecordForm::published) {
        std::printf("%lld", static_cast<long long>(stamp));
        print_time(stamp);
    } else {
        // A plain text's stamp is the server's: in its state, if this is
        // the text it served last.
        const char *state_dir =
            options.state_dir != nullptr ? options.state_dir : BULPUBLISH_DEFAULT_STATE_DIR;
        Bulletin served;
        std::string_view text(body.data(), body.size());
        std::string_view record(served.record, 0);
        if (bulserve_state_load(state_dir, &served).status == LoadStatus::ok &&
            served.length > 0)
            record = std::string_view(served.record, served.length);
        std::size_t lf = record.find('\n');
        if (lf != std::string_view::npos && record.substr(lf + 1) == text) {
            std::printf("%lld", static_cast<long long>(served.stamp));
            print_time(served.stamp);
        } else {
            std::printf("not known here (the server's state in %s has no record of this "
                        "text)\n", state_dir);
        }
    }
    if (content.length > BULLETIN_MAX_REPLY)
        std::printf("text:  %lld bytes, too long to be served\n",
                    static_cast<long long>(content.file_size));
    else
        std::printf("text:  %zu bytes\n", body.size());
    std::fwrite(body.data(), 1, body.size(), stdout);
    return BULPUBLISH_EXIT_OK;
}
