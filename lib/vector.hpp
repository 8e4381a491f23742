// Whole records at a time with AVX2, where the CPU has it: the time and
// value windows converted eight at a time, the %.3f and the shortest texts
// built in lanes, line ends and NULs found in one pass over each input
// block (x86/avx2.cpp). Elsewhere, and with -DHEXLOG_VECTOR=OFF, these
// same functions are scalar code that does the whole job (vector.cpp).
// Each gives exactly the bytes of the scalar code it stands in for; the
// vector tests and fuzz/fuzz_vector.cpp hold the two against each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "names.hpp"

namespace hexlog {

// Whether this build and this CPU have the vector path: checked once, the
// library's only global state. Callers choose per object (a setting that
// defaults to this), so that tests can run both paths side by side.
bool vectorsAvailable();

// The windows at `p`, with `left` characters before the end of the text,
// for as long as each holds eight hexadecimal digits, at most `max`: how
// many, with their words in `words` (room for max + 4). Reads nothing at or
// past p + left.
size_t convertCleanWindows(const char* p, size_t left, uint32_t* words, size_t max);

// For each of `n` words, ", " and the printf("%.3f") text of its float.
// `out` needs room for n * kPlainValueRoom bytes.
constexpr size_t kPlainValueRoom = 2 + 48;
char* formatPlainValues(char* out, const uint32_t* words, size_t n);

// For each of `n` words, the verbose line: the name of reading k (from
// `names`, each kNameRoom bytes: the name column and its tab, then
// padding), the text, CR LF. Only for k below the number of names.
constexpr size_t kVerboseValueRoom = kNameRoom + 48 + 2;
char* formatVerboseValues(char* out, const uint32_t* words, size_t n, const char (*names)[kNameRoom]);

// For each of `n` words, a comma and the formatShortest text of its float,
// or `missing` (missingLength bytes, at most 8) where the word's magnitude
// bits are firstMissing or more (NaN, or NaN and the infinities). `out`
// needs room for n * (1 + kMaxShortestText) + 8 bytes.
char* formatShortestValues(char* out, const uint32_t* words, size_t n, const char* missing, size_t missingLength,
                           uint32_t firstMissing);

// Which of the eight words at `words` the lanes write themselves, bit i
// for word i: for the %.3f texts every finite float below 10^7 in
// magnitude (runs of readings below 1000 take shorter lanes of their own),
// for the shortest texts every float below 10^7 that formatShortest
// writes in the fixed form. The others take formatValue and
// formatShortest. 0 without vectors. For the tests.
int valueLanes(const uint32_t* words);
int shortestLanes(const uint32_t* words);

// Bit i of lineFeeds[i / 64] is set where block[i] is a line feed, and of
// nuls[i / 64] where it is a NUL, for i < n; higher bits are clear. Each
// array has room for n / 64 + 1 words.
void markLineFeedsAndNuls(const char* block, size_t n, uint64_t* lineFeeds, uint64_t* nuls);

}  // namespace hexlog
