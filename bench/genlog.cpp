// Writes a realistic log of N records to standard output, the same bytes on
// every run: a few header lines, then records of a 24-character station
// prefix, a time word and 32 plausible readings, three hours apart, CR LF.
// A log too long for that before 2038 (the time word is a signed 32-bit
// count) has its records closer together, so that it stays in time order.
//
//   genlog [--mix] RECORDS
//
// The default log is one calm summer mooring: every reading below 1000. With
// --mix the readings span what moorings report over a year: pressures in hPa
// (980 to 1040) on some deployments and in kPa on others, pCO2 from 150 to
// 2500 uatm, above 1000 for weeks at a time, water from -2 to 30 degrees,
// humidities 0 to 100, pH 7.8 to 8.2, zero-gas readings around 0 (some
// printing as -0.000), and about one reading in 200 a NaN, with or without a
// payload, or a negative zero, as a failing sensor or a logger writes them.
#include <algorithm>
#include <climits>
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

uint32_t bitsOf(double value) {
  float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

void putReading(char* out, double value) {
  putWord(out, bitsOf(value));
}

// The readings of record r of the mixed log, in the record's order: pCO2,
// temperature, pressure (and humidity) of each phase, six pH, can humidity.
void mixedReadings(long long r, uint32_t* words) {
  const double pi = 3.14159265358979;
  double year = 2 * pi * static_cast<double>(r) / 2920;  // records are three hours apart
  // Deployments of about 50 days, each logging pressure in hPa or in kPa.
  double unit = (r / 400) % 2 == 0 ? 1.0 : 0.1;
  double sst = 13.75 + 15.75 * std::sin(year) + 0.5 * uniform();
  double water = 1325 + 1150 * std::sin(3 * year + 1) + 25 * uniform();
  double air = 400 + 60 * uniform();
  double atm = 1010 + 22 * std::sin(2 * pi * static_cast<double>(r) / 40) + 8 * uniform();
  double pressure[2] = {atm * unit, (atm + 14) * unit};
  double readings[32] = {
      water,       sst + 0.4,    pressure[0] + 0.5 * unit, water - 0.7,   sst + 0.3,
      pressure[0], 60 + 40 * uniform(),                      0.4 * uniform() - 0.2,
      sst + 0.6,   pressure[0] + 0.4 * unit,                 0.4 * uniform() - 0.2,   sst + 0.5,
      pressure[0], air,          sst + 0.2,    pressure[0] + 0.6 * unit,             air - 0.3,
      sst + 0.1,   pressure[0],  20 + 80 * uniform(),        pressure[1],
      504.1 + 0.5 * uniform(),   sst + 0.7,    pressure[0] + 0.2 * unit,              5 * uniform(),
      7.8 + 0.4 * uniform(),     7.8 + 0.4 * uniform(),      7.8 + 0.4 * uniform(),
      7.8 + 0.4 * uniform(),     7.8 + 0.4 * uniform(),      7.8 + 0.4 * uniform(),
      10 + 30 * uniform(),
  };
  for (int k = 0; k < 32; ++k) {
    double fault = uniform();
    if (fault < 0.002)
      words[k] = fault < 0.001 ? 0x7FC00000 : 0x7FC0DEAD;  // NaN, the second with a payload
    else if (fault < 0.003)
      words[k] = 0x80000000;  // -0.0
    else
      words[k] = bitsOf(readings[k]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool mixed = argc == 3 && std::strcmp(argv[1], "--mix") == 0;
  if (argc != 2 && !mixed) {
    std::fprintf(stderr, "usage: genlog [--mix] RECORDS\n");
    return 2;
  }
  long long records = std::atoll(argv[argc - 1]);
  std::fputs("# Mooring SN0042, surface buoy, pCO2 / pH system\r\n"
             "# Record: station and local stamp (24 chars), time word, 32 readings\r\n\r\n",
             stdout);
  static char line[24 + 8 + 32 * 8 + 2];
  uint32_t time = 1781395200;  // 2026-06-14 00:00:00 UTC
  uint32_t step = 3 * 3600;
  if (records > 0)
    step = static_cast<uint32_t>(std::max(1LL, std::min<long long>(step, (INT32_MAX - time) / records)));
  double jitter = std::min(40.0, step / 2.0);
  for (long long r = 0; r < records; ++r, time += step) {
    std::snprintf(line, 25, "SN0042 R%015lld ", r % 1000000000000000LL);
    putWord(line + 24, time + static_cast<uint32_t>(uniform() * jitter));
    if (mixed) {
      uint32_t words[32];
      mixedReadings(r, words);
      for (int k = 0; k < 32; ++k)
        putWord(line + 32 + 8 * k, words[k]);
      std::memcpy(line + sizeof line - 2, "\r\n", 2);
      std::fwrite(line, 1, sizeof line, stdout);
      continue;
    }
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
