// The record as every reader takes it apart: stamp, validation, the
// seen-stamp comparison, the body and its terminal-safe form.
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace std::literals;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(BulletinStamp, ReadsLikeAtolClampedTo32Bits)
{
    struct Case {
        std::string_view record;
        std::int32_t stamp;
    } cases[] = {
        {"BUL:0 42\nhello\n", 42},
        {"BUL:0:42\nhello\n", 42},              // separator never looked at
        {"BUL:0\t42\n", 42},
        {"BUL:0 -5\n", -5},
        {"BUL:0 +7\n", 7},
        {"BUL:0 x17\n", 0},
        {"BUL:0 \n", 0},
        {"BUL:0 42abc 99\n", 42},               // text after the digits
        {"BUL:0    \t 12\n", 12},               // leading white space
        {"BUL:0\n77 lines\n", 77},              // first LF at 5: body's number
        {"BUL:0\n\n  88\n", 88},                // atol skips LFs as well
        {"BUL:0 - 5\n", 0},                     // sign must touch the digits
        {"BUL:0 --5\n", 0},
        {"BUL:0 2147483647\n", kMax},
        {"BUL:0 2147483648\n", kMax},
        {"BUL:0 99999999999999999999999\n", kMax},
        {"BUL:0 -2147483648\n", kMin},
        {"BUL:0 -2147483649\n", kMin},
        {"BUL:0 -99999999999999999999999\n", kMin},
        {"BUL:0 00000000000000000000042\n", 42},
        {"BUL:0 12\0" "34\n"sv, 12},            // stops at the first NUL
        {"BUL:0 \0" "34\n"sv, 0},
        {"BUL:0 123", 123},                     // stops at the record's end
        {"", 0},                                // shorter than six bytes
        {"BUL:0", 0},
        {"BUL:0 ", 0},
        {"xxxxxx9", 9},                         // magic is not the reader's concern
    };
    for (const Case &c : cases)
        EXPECT_EQ(bulletin_stamp(c.record), c.stamp) << testing::PrintToString(std::string(c.record));
}

TEST(BulletinStamp, EveryTruncationStaysInsideTheRecord)
{
    // Each cut copied into a buffer of exactly its size, so a read past the
    // end shows up under the address sanitizer.
    const std::string full = "BUL:0 -2147483647 trailing\nbody\n";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        std::vector<char> cut(full.begin(), full.begin() + static_cast<long>(n));
        std::int32_t s = bulletin_stamp(std::string_view(cut.data(), cut.size()));
        std::string digits = n > 6 ? full.substr(6, std::min<std::size_t>(n, 17) - 6) : "";
        std::int32_t expected = digits.size() > 1 ? static_cast<std::int32_t>(std::stol(digits)) : 0;
        EXPECT_EQ(s, expected) << "cut at " << n;
    }
}

TEST(BulletinCheck, MagicThenNewline)
{
    struct Case {
        std::string_view text;
        ErrorCode code;
    } cases[] = {
        {"BUL:0 1\nbody", 0},
        {"BUL:0\n", 0},
        {"BUL:0 1 no newline", BUL_NO_NEWLINE},
        {"BUL:0", BUL_NO_NEWLINE},
        {"BUL:0 1\0\n"sv, BUL_NO_NEWLINE},      // LF after a NUL does not count
        {"", BUL_NOT_BULLETIN},
        {"BUL:", BUL_NOT_BULLETIN},
        {"BUL:1 1\n", BUL_NOT_BULLETIN},
        {"bul:0 1\n", BUL_NOT_BULLETIN},
        {" BUL:0 1\n", BUL_NOT_BULLETIN},
        {"BUL\0:0 1\n"sv, BUL_NOT_BULLETIN},
        {"\nBUL:0 1\n", BUL_NOT_BULLETIN},
    };
    for (const Case &c : cases)
        EXPECT_EQ(bulletin_check(c.text), c.code) << testing::PrintToString(std::string(c.text));
}

TEST(SeenRecordCovers, ValidRecordAtOrAboveTheStamp)
{
    struct Case {
        std::string_view content;
        std::int32_t stamp;
        bool covers;
    } cases[] = {
        {"BUL:0 42\n", 42, true},
        {"BUL:0 42\n", 41, true},
        {"BUL:0 42\n", 43, false},
        {"BUL:0 0\n", 0, true},
        {"BUL:0 0\n", -1, true},                // a negative stamp is older
        {"BUL:0\n", 0, true},                   // six bytes, stamp 0
        {"BUL:0 x\n", 0, true},
        {"BUL:0 x\n", 1, false},
        {"BUL:0 42 trailing text\n", 42, true},
        {"BUL:0 42\nbody kept by mistake\n", 42, true},
        {"BUL:0 42", 0, false},                 // no LF: no record
        {"BUL:0 42\0\n"sv, 0, false},           // LF only after a NUL
        {"XUL:0 42\n", 0, false},
        {"", kMin, false},
        {"BUL:0 -2147483648\n", kMin, true},
        {"BUL:0 99999999999\n", kMax, true},    // clamped on both sides
    };
    for (const Case &c : cases)
        EXPECT_EQ(seen_record_covers(c.content, c.stamp), c.covers)
            << testing::PrintToString(std::string(c.content)) << " vs " << c.stamp;
}

TEST(BulletinBody, AfterTheFirstNewlineUpToTheNul)
{
    struct Case {
        const char *bulletin;
        std::string_view body;
    } cases[] = {
        {"BUL:0 42\nhello\nworld\n", "hello\nworld\n"},
        {"BUL:0 42\n", ""},
        {"BUL:0 42\nno final newline", "no final newline"},
        {"BUL:0\nbody", "body"},
        {"BUL:0 no newline", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(bulletin_body(c.bulletin), c.body) << c.bulletin;
    const char with_nul[] = "BUL:0 1\nbefore\0after";
    EXPECT_EQ(bulletin_body(with_nul), "before");
}

std::string escaped(std::string_view body, bool utf8)
{
    std::string out(body.size() * TERMINAL_ESCAPE_GROWTH, '\0');
    out.resize(terminal_escape(body, out.data(), utf8));
    return out;
}

TEST(TerminalEscape, ControlsBecomeVisible)
{
    struct Case {
        std::string_view body;
        bool utf8;
        std::string_view shown;
    } cases[] = {
        {"plain text\n\ttabbed\n", true, "plain text\n\ttabbed\n"},
        {"\x1b[2J\x1b]0;owned\x07", true, "^[[2J^[]0;owned^G"},
        {"a\rb\bc\x01\x1f\x7f", false, "a^Mb^Hc^A^_^?"},
        // A CR ending a line passes, so CRLF text shows cleanly; no other.
        {"one\r\ntwo\r\r\n\r", true, "one\r\ntwo^M\r\n^M"},
        {"\x9b" "31m", false, "\\x9b31m"},          // raw C1 CSI
        {"\x9b" "31m", true, "\\x9b31m"},           // not UTF-8 either
        {"\x80\x9f\xa0\xff", false, "\\x80\\x9f\xa0\xff"},
        {"\xc2\x9b" "31m", true, "\\u009b31m"},     // U+009B in UTF-8
        {"\xc2\x80\xc2\x9f\xc2\xa0", true, "\\u0080\\u009f\xc2\xa0"},
        {"\xc2\x9b", false, "\xc2\\x9b"},           // byte-wise terminal
        // Letters whose UTF-8 holds bytes 0x80..0x9F pass whole.
        {"\xc3\x80 \xc3\x9c \xe2\x82\xac \xe2\x80\x9c\xe2\x80\x9d \xf0\x9f\x98\x80", true,
         "\xc3\x80 \xc3\x9c \xe2\x82\xac \xe2\x80\x9c\xe2\x80\x9d \xf0\x9f\x98\x80"},
        {"\xe2\x82\xac", false, "\xe2\\x82\xac"},
        // Ill-formed UTF-8 is taken byte by byte.
        {"\xc2", true, "\xc2"},
        {"\xe2\x82", true, "\xe2\\x82"},
        {"\xc0\x9b", true, "\xc0\\x9b"},             // overlong form
        {"\xed\xa0\x80", true, "\xed\xa0\\x80"},     // surrogate
        {"\xf4\x90\x80\x80", true, "\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"", true, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(escaped(c.body, c.utf8), c.shown)
            << testing::PrintToString(std::string(c.body)) << " utf8=" << c.utf8;
}

TEST(TerminalEscape, WorstCaseFitsTheGrowthBound)
{
    std::string body(300, '\x9b');
    EXPECT_EQ(escaped(body, true).size(), body.size() * TERMINAL_ESCAPE_GROWTH);
    std::string ctl(300, '\x01');
    EXPECT_EQ(escaped(ctl, false).size(), ctl.size() * 2);
}

} // namespace
