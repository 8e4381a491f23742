// The whole path of the tool on arbitrary bytes: a file is cut into pieces,
// the records among them decoded, and the output held against the plain
// C-library version of the rules. Any difference, crash, out-of-bounds
// access or undefined behaviour aborts.
//
// Input: [flags] [prefix low] [prefix high] [block size] [file bytes ...]
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture.hpp"
#include "reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Larger inputs add nothing new and could outgrow the output buffer.
  if (size < 4 || size > 16384)
    return 0;
  bool verboseMode = (data[0] & 1) != 0;
  int16_t prefix = static_cast<int16_t>(data[1] | data[2] << 8);
  int32_t startChars;
  switch (data[0] >> 1 & 3) {
    case 0: startChars = 24; break;
    case 1: startChars = data[1] % 64; break;
    case 2: startChars = prefix; break;
    default: startChars = (data[1] & 1) != 0 ? INT32_MAX : INT32_MIN; break;
  }
  std::string file(reinterpret_cast<const char*>(data) + 4, size - 4);

  // A block of exactly this size lets the sanitizer see any overrun.
  std::string decoded = decodeFile(file, verboseMode, startChars, kMinScanBuffer + data[3] * 13u);
  if (decoded == "<read failed>" || decoded == "<input failed>")
    std::abort();

  if (decoded != reference::decodeFile(file, startChars, verboseMode))
    std::abort();
  return 0;
}
