// The vector path against the scalar path on the same bytes: a file cut
// into pieces and decoded both ways, in the mode and with the prefix the
// input picks, and the words of the input formatted by the vector and the
// scalar writers of %.3f and of the shortest text. Any difference aborts;
// the sanitizers watch every access.
//
// Input: [flags] [prefix] [block size] [file bytes ...]
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  std::vector<char> vector(words.size() * kPlainValueRoom + 8), scalar(words.size() * kPlainValueRoom + 8);
  char* end = formatPlainValues(vector.data(), words.data(), words.size());
  char* o = scalar.data();
  for (uint32_t word : words) {
    std::memcpy(o, ", ", 2);
    o = formatValue(o + 2, word);
  }
  if (end - vector.data() != o - scalar.data() || std::memcmp(vector.data(), scalar.data(), size_t(o - scalar.data())))
    std::abort();

  std::vector<char> shortest(words.size() * (1 + kMaxShortestText) + 8), library(shortest.size());
  end = formatShortestValues(shortest.data(), words.data(), words.size(), "NaN", 3, 0x7F800000);
  o = library.data();
  for (uint32_t word : words) {
    *o++ = ',';
    o = (word & 0x7FFFFFFF) >= 0x7F800000 ? static_cast<char*>(std::memcpy(o, "NaN", 3)) + 3 : formatShortest(o, word);
  }
  if (end - shortest.data() != o - library.data() || std::memcmp(shortest.data(), library.data(), size_t(o - library.data())))
    std::abort();
  return 0;
}
