#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "bulserve/bulpublish.h"

namespace {

void print_time(std::int64_t stamp, const char *after)
{
    // Stamps are times in seconds when the clock allowed; one counted up
    // past a wrong clock still reads as a nearby time.
    std::time_t t = static_cast<std::time_t>(stamp);
    std::tm tm{};
    char text[64];
    if (stamp > 0 && gmtime_r(&t, &tm) != nullptr &&
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) > 0)
        std::printf(" (%s)", text);
    std::printf("%s\n", after);
}

std::string_view body_of(const Bulletin &record)
{
    std::string_view text(record.record, record.length);
    std::size_t lf = text.find('\n');
    return lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
}

// What is served in place of the file, and why the file is not: the
// server's rules, applied to the file and the record it served last.
int show_served(const BulpublishOptions &options, const char *state_dir, const Bulletin &served,
                const char *kind, const LoadResult &why)
{
    char text[320];
    bulserve_load_failure_text(why, served.stamp, state_dir, text, sizeof text);
    if (why.status == LoadStatus::ok)
        std::printf("file:  %s%s, not served yet: a running server takes it once it sees the "
                    "change; see its log\n", options.file, kind);
    else
        std::printf("file:  %s%s, not served: %s\n", options.file, kind, text);
    std::printf("stamp: %lld", static_cast<long long>(served.stamp));
    char after[4200];
    std::snprintf(after, sizeof after, ", the last served, from %s/%s", state_dir,
                  BULSERVE_STATE_NAME);
    print_time(served.stamp, after);
    std::string_view body = body_of(served);
    std::printf("text:  %zu bytes\n", body.size());
    std::fwrite(body.data(), 1, body.size(), stdout);
    if (why.status == LoadStatus::ok)
        return BULPUBLISH_EXIT_OK;
    return why.status == LoadStatus::system_error || why.status == LoadStatus::not_regular
               ? BULPUBLISH_EXIT_FILE : BULPUBLISH_EXIT_REFUSED;
}

}  // namespace

int bulpublish_show(const char *program, const BulpublishOptions &options)
{
    const char *state_dir =
        options.state_dir != nullptr ? options.state_dir : BULPUBLISH_DEFAULT_STATE_DIR;
    Bulletin served;
    int state_error = bulpublish_read_state(state_dir, &served);
    FileContent content;
    LoadResult read = bulserve_read_file(options.file, false, &content);
    std::span<const char> bytes(content.bytes, content.length);
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    RecordForm form = read.status == LoadStatus::ok ? bulserve_record_form(bytes, &stamp, &body_at)
                                                    : RecordForm::plain;
    const char *kind = read.status != LoadStatus::ok       ? ""
                       : form == RecordForm::published ? " (published)"
                       : form == RecordForm::plain     ? " (plain text)"
                                                       : "";
    if (served.length > 0) {
        LoadResult taken = read;
        if (read.status == LoadStatus::ok) {
            Bulletin fresh;
            taken = bulserve_take(content, BulserveOptions{}, served, served.stamp,
                                  std::time(nullptr), &fresh);
        }
        if (taken.status != LoadStatus::ok || taken.changed)
            return show_served(options, state_dir, served, kind, taken);
    }
    if (state_error != 0)
        bulpublish_warn_state(program, state_dir, state_error,
                              "this is the file, which may not be what is served (give the "
                              "server's state directory with -S)");
    if (read.status != LoadStatus::ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, options.file,
                     read.status == LoadStatus::system_error ? std::strerror(read.error)
                     : read.status == LoadStatus::not_regular ? "not a regular file"
                                                               : "open for writing; try again");
        return BULPUBLISH_EXIT_FILE;
    }
    if (form == RecordForm::malformed) {
        std::fprintf(stderr, "%s: %s begins with \"BUL:0\" but is no published bulletin\n",
                     program, options.file);
        return BULPUBLISH_EXIT_REFUSED;
    }
    std::span<const char> body = form == RecordForm::published ? bytes.subspan(body_at) : bytes;
    std::printf("file:  %s (%s)\n", options.file,
                form == RecordForm::published ? "published" : "plain text, stamped by the server");
    std::printf("stamp: ");
    if (form == RecordForm::published) {
        std::printf("%lld", static_cast<long long>(stamp));
        print_time(stamp, "");
    } else if (served.length > 0) {
        // The same text as the server's last record: its stamp.
        std::printf("%lld", static_cast<long long>(served.stamp));
        print_time(served.stamp, "");
    } else {
        std::printf("not known here (the server's state in %s has no record of this "
                    "text)\n", state_dir);
    }
    if (content.length > BULLETIN_MAX_REPLY)
        std::printf("text:  %lld bytes, too long to be served\n",
                    static_cast<long long>(content.file_size));
    else
        std::printf("text:  %zu bytes\n", body.size());
    std::fwrite(body.data(), 1, body.size(), stdout);
    // What no server serves is refused, whether or not the state was read.
    return content.length > BULLETIN_MAX_REPLY ? BULPUBLISH_EXIT_REFUSED : BULPUBLISH_EXIT_OK;
}
