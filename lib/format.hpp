// The texts of the record output, written without printf. Each function
// writes exactly the bytes of the C library call named beside it, for every
// input; tests/lib/format_test.cpp holds them against the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calendar.hpp"

namespace hexlog {

// Room formatValue may need: "-340282346638528859811704183484516925440.000"
// is 44 characters, and its general path also stores a NUL.
constexpr size_t kMaxValueText = 48;

// printf("%.3f", value) of the single-precision number with bits `word`.
// `out` needs room for kMaxValueText bytes: a few may be stored past the
// returned end.
char* formatValue(char* out, uint32_t word);

// printf("%d", n). `out` needs room for 20 bytes: up to eight may be
// stored past the returned end.
char* formatInt(char* out, int32_t n);

// printf("%llu", n). `out` needs room for 24 bytes: up to eight may be
// stored past the returned end.
char* formatCount(char* out, uint64_t n);

// Two decimal digits of n < 100.
char* writeTwoDigits(char* out, unsigned n);

// std::to_chars(float) of the single-precision number with bits `word`: the
// shortest text that reads back as the same float, "nan" and "inf" as it
// writes them. At most kMaxShortestText bytes, "-1.1754942e-38" and the like.
constexpr size_t kMaxShortestText = 16;
char* formatShortest(char* out, uint32_t word);

// For each of `count` words: a comma, then formatShortest's text, or
// `missing` for NaN and, when `finiteOnly`, for the infinities too; with
// `vectors`, eight at a time. `out` needs room for count * (1 +
// kMaxShortestText) + 8 bytes.
char* formatReadings(char* out, const uint32_t* words, int count, const char* missing, bool finiteOnly,
                     bool vectors);

}  // namespace hexlog
