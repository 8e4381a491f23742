// Writes a realistic log of N records to standard output, the same bytes on
// every run: a few header lines, then records of a 24-character station
// prefix, a time word and 32 plausible readings, three hours apart, CR LF.
//
//   genlog RECORDS
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint64_t state = 0x9E3779B97F4A7C15u;

// A fixed-seed xorshift: the log must not depend on the C library's rand().
double uniform() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return static_cast<double>(state >> 11) / 9007199254740992.0;
}

void putWord(char* out, uint32_t word) {
  static const char digits[] = "0123456789ABCDEF";
  for (int i = 7; i >= 0; --i, word >>= 4)
    out[i] = digits[word & 15];
}

void putReading(char* out, double value) {
  float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  putWord(out, bits);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: genlog RECORDS\n");
    return 2;
  }
  long long records = std::atoll(argv[1]);
  std::fputs("# Mooring SN0042, surface buoy, pCO2 / pH system\r\n"
             "# Record: station and local stamp (24 chars), time word, 32 readings\r\n\r\n",
             stdout);
  static char line[24 + 8 + 32 * 8 + 2];
  uint32_t time = 1781395200;  // 2026-06-14 00:00:00 UTC
  for (long long r = 0; r < records; ++r, time += 3 * 3600) {
    std::snprintf(line, 25, "SN0042 R%015lld ", r % 1000000000000000LL);
    putWord(line + 24, time + static_cast<uint32_t>(uniform() * 40));
    double sst = 14 + 2.5 * uniform(), atm = 101.2 + 0.3 * uniform();
    double water = 395 + 25 * uniform(), air = 408 + 4 * uniform();
    double readings[32] = {
        water,       sst + 0.4,   atm + 0.05,       water - 0.7,       sst + 0.3,
        atm,         97 + 2 * uniform(),            0.2 * uniform() - 0.1,
        sst + 0.6,   atm + 0.04,  0.1 * uniform() - 0.05,              sst + 0.5,
        atm,         air,         sst + 0.2,        atm + 0.06,        air - 0.3,
        sst + 0.1,   atm,         78 + 8 * uniform(),                  atm + 1.4,
        504.1 + 0.5 * uniform(),  sst + 0.7,        atm + 0.02,        1.5 + uniform(),
        8.05 + 0.02 * uniform(),  8.04 + 0.02 * uniform(),             8.06 + 0.02 * uniform(),
        8.03 + 0.02 * uniform(),  8.05 + 0.02 * uniform(),             8.07 + 0.02 * uniform(),
        22 + 3 * uniform(),
    };
    for (int k = 0; k < 32; ++k)
      putReading(line + 32 + 8 * k, readings[k]);
    std::memcpy(line + sizeof line - 2, "\r\n", 2);
    std::fwrite(line, 1, sizeof line, stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
