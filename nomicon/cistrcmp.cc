#include "nomicon/cistrcmp.h"

#include <array>

namespace {

constexpr std::array<unsigned char, 256> make_fold_table()
{
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<unsigned char>(i);
    // ASCII capitals, and the same rule shifted into the upper half.
    for (int i = 0x41; i <= 0x5A; ++i)
        t[i] = static_cast<unsigned char>(i + 0x20);
    for (int i = 0xC1; i <= 0xDA; ++i)
        t[i] = static_cast<unsigned char>(i + 0x20);
    return t;
}

}  // namespace

// Built at compile time: no start-up work.
constexpr std::array<unsigned char, 256> fold_table = make_fold_table();

int cistrcmp(const char *a, const char *b)
{
    auto pa = reinterpret_cast<const unsigned char *>(a);
    auto pb = reinterpret_cast<const unsigned char *>(b);
    for (;; ++pa, ++pb) {
        int fa = fold_table[*pa];
        int fb = fold_table[*pb];
        if (fa != fb)
            return fa - fb;
        // Equal bytes: a's NUL is b's NUL too (only NUL folds to NUL).
        if (*pa == 0)
            return 0;
    }
}
