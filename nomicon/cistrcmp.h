// Comparison of protocol names without regard to case.
#pragma once

#include <array>

// Maps "A".."Z" to "a".."z" and 0xC1..0xDA to 0xE1..0xFA; every other byte
// to itself.
extern const std::array<unsigned char, 256> fold_table;

// 0 when a and b have the same length and bytes after folding; otherwise
// the folded byte of a minus that of b at the first difference.
int cistrcmp(const char *a, const char *b);
