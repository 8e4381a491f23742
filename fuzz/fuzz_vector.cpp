// The vector path against the scalar path on the same bytes: a file cut
// into pieces and decoded both ways, in the mode and with the prefix the
// input picks, and the words of the input formatted by the vector and the
// scalar writers of %.3f (plain and verbose) and of the shortest text, as
// they are and as readings with three decimals made of them. Any difference
// aborts; the sanitizers watch every access.
//
// Input: [flags] [prefix] [block size] [file bytes ...]
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bits.hpp"
#include "capture.hpp"
#include "format.hpp"
#include "vector.hpp"

namespace {

std::string decode(const std::string& file, bool verboseMode, int32_t start, size_t blockSize, bool vectors) {
  captureVectors = vectors;
  std::string decoded = decodeFile(file, verboseMode, start, blockSize);
  if (decoded == "<read failed>" || decoded == "<input failed>")
    std::abort();
  return decoded;
}

void same(const std::vector<char>& vector, const char* end, const std::vector<char>& scalar, const char* o) {
  if (end - vector.data() != o - scalar.data() || std::memcmp(vector.data(), scalar.data(), size_t(o - scalar.data())))
    std::abort();
}

// Each vector formatter writes into exactly the room it asks for.
void formatAlike(const std::vector<uint32_t>& words) {
  size_t n = words.size();
  if (n == 0)
    return;
  std::vector<char> scalar(n * kVerboseValueRoom + kMaxValueText);
  char* o = scalar.data();
  for (uint32_t word : words) {
    std::memcpy(o, ", ", 2);
    o = formatValue(o + 2, word);
  }
  std::vector<char> plain(n * kPlainValueRoom);
  same(plain, formatPlainValues(plain.data(), words.data(), n), scalar, o);

  static char names[32][kNameRoom];
  for (int k = 0; k < 32; ++k)
    std::snprintf(names[k], kNameRoom, "%-24d\t", k);
  for (size_t i = 0; i < n; i += 32) {
    size_t count = n - i < 32 ? n - i : 32;
    o = scalar.data();
    for (size_t k = 0; k < count; ++k) {
      std::memcpy(o, names[k], 25);
      o = formatValue(o + 25, words[i + k]);
      std::memcpy(o, "\r\n", 2);
      o += 2;
    }
    std::vector<char> lines(count * kVerboseValueRoom);
    same(lines, formatVerboseValues(lines.data(), words.data() + i, count, names), scalar, o);
  }

  o = scalar.data();
  for (uint32_t word : words) {
    *o++ = ',';
    o = (word & 0x7FFFFFFF) >= 0x7F800000 ? static_cast<char*>(std::memcpy(o, "NaN", 3)) + 3 : formatShortest(o, word);
  }
  std::vector<char> shortest(n * (1 + kMaxShortestText) + 8);
  same(shortest, formatShortestValues(shortest.data(), words.data(), n, "NaN", 3, 0x7F800000), scalar, o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!vectorsAvailable() || size < 3 || size > 16384)
    return 0;
  bool verboseMode = (data[0] & 1) != 0;
  int32_t start = (data[0] & 2) != 0 ? data[1] % 64 : 24;
  std::string file(reinterpret_cast<const char*>(data) + 3, size - 3);
  size_t blockSize = kMinScanBuffer + data[2] * 13u;
  if (decode(file, verboseMode, start, blockSize, true) != decode(file, verboseMode, start, blockSize, false))
    std::abort();

  std::vector<uint32_t> words(file.size() / 4 + 1);
  std::memcpy(words.data(), file.data(), file.size() / 4 * 4);
  words.pop_back();
  formatAlike(words);
  for (uint32_t& word : words) {  // up to 2^31 / 1000, three decimals: ties, carries, -0.000
    word = bitsOf(static_cast<float>(static_cast<int32_t>(word) >> (word & 15)) / 1000.0f);
  }
  formatAlike(words);
  return 0;
}
