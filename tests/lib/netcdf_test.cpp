// The netCDF writer in process, read back with the netCDF C library: every
// reading's bits, the time and each flag land where they were put, whether
// the records come one at a time or a block of side-by-side flags at a
// time, across the writer's first batch, its full batches and a last part
// one; and each series is stored as the contract says.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bits.hpp"
#include "dataset.hpp"
#include "folder.hpp"
#include "metadata.hpp"
#include "netcdf.hpp"
#include "qc.hpp"

#ifdef HEXLOG_TEST_NETCDF
#include <netcdf.h>

using namespace hexlog;

namespace {

class NetcdfOut : public FolderTest {};

void ok(int status) {
  ASSERT_EQ(status, NC_NOERR) << nc_strerror(status);
}

// Records of every kind of reading: NaN payloads, infinities, short
// records, missing windows; some flags' readings outside their ranges.
std::vector<Record> records(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Record> made(count);
  for (size_t i = 0; i < count; ++i) {
    Record& record = made[i];
    record = Record{};
    record.time = 1781395200 + static_cast<int32_t>(i) * 60;
    record.count = random() % 8 == 0 ? random() % 33 : 32;
    record.missing = random() % 5 == 0 ? static_cast<uint32_t>(random()) : 0;
    record.line = i + 1;
    for (uint32_t k = 0; k < record.count; ++k) {
      uint32_t kind = random() % 16;
      record.words[k] = kind == 0 ? 0x7FC00000u | (random() & 0x3FFFFF)  // NaN, with a payload
                        : kind == 1 ? 0x7F800000u | (random() % 2) << 31     // an infinity
                                    : bitsOf(std::uniform_real_distribution<float>(-50, 1050)(random));
    }
  }
  return made;
}

// The gross range flag of a reading, worked out from its word.
int8_t expectedFlag(const Record& record, uint32_t k, float low, float high) {
  uint32_t bits = readingBits(record, k, kNaNBits);
  float value = floatOf(bits);
  if (std::isnan(value))
    return 9;
  return value >= low && value <= high ? 1 : 4;
}

TEST_F(NetcdfOut, EveryBitAndFlagLandsWhateverTheBatches) {
  std::string error;
  ASSERT_TRUE(NetcdfWriter::load(error)) << error;
  Metadata metadata;
  ASSERT_TRUE(readMetadata(file("station.meta", "EquilPumpOn_pCO2,valid_range,0.0f,1000.0f\n"
                                                "Can_Humidity,valid_min,10.0f\nCan_Humidity,valid_max,90.0f\n")
                               .c_str(),
                           metadata, error))
      << error;
  // Past the writer's first batch (an eighth of a chunk), a whole chunk,
  // and part of the next.
  std::vector<Record> log = records(kNetcdfChunk + kNetcdfChunk / 8 + 777, 5);
  Stats stats;
  for (const Record& record : log)
    stats.put(record);
  Dataset dataset = describeDataset(metadata, stats, stats.steps.median(), DatasetSettings());
  ASSERT_EQ(flagVariables(dataset).size(), 2u);

  // Through the Flagger, which hands on blocks of side-by-side flags; and
  // one record at a time, each with its own row of flags.
  std::vector<int8_t> rows;
  for (const Record& record : log)
    for (auto [k, low, high] : {std::tuple<uint32_t, float, float>{0, 0, 1000}, {31, 10, 90}})
      rows.push_back(expectedFlag(record, k, low, high));
  for (bool blocks : {true, false}) {
    std::string out = path(blocks ? "blocks.nc" : "single.nc");
    {
      NetcdfWriter writer(out);
      writer.begin(dataset);
      if (blocks) {
        Flagger flagger(dataset, QcConfig(), nullptr, NAN, NAN, writer);
        for (const Record& record : log)
          flagger.put(record);
        flagger.end();
      } else {
        for (size_t i = 0; i < log.size(); ++i) {
          Record record = log[i];
          record.flags = &rows[2 * i];
          record.flagStride = 1;
          writer.put(record);
        }
      }
      writer.end();
      ASSERT_EQ(writer.failure().kind, FailureKind::kNone) << writer.failure().text;
    }
    int id, variable;
    ok(nc_open(out.c_str(), NC_NOWRITE, &id));
    std::vector<int32_t> times(log.size());
    ok(nc_inq_varid(id, "time", &variable));
    ok(nc_get_var_int(id, variable, times.data()));
    for (size_t i = 0; i < log.size(); ++i)
      ASSERT_EQ(times[i], log[i].time) << i;
    std::vector<uint32_t> words(log.size());
    for (uint32_t k = 0; k < kFieldCount; ++k) {
      ok(nc_inq_varid(id, columnName(k), &variable));
      ok(nc_get_var(id, variable, words.data()));
      for (size_t i = 0; i < log.size(); ++i)
        ASSERT_EQ(words[i], readingBits(log[i], k, kNetcdfFillBits)) << columnName(k) << " record " << i;
      // Floats shuffled, then deflated, in chunks of kNetcdfChunk.
      int shuffle, deflate, level, storage;
      size_t chunk;
      ok(nc_inq_var_deflate(id, variable, &shuffle, &deflate, &level));
      ok(nc_inq_var_chunking(id, variable, &storage, &chunk));
      EXPECT_TRUE(shuffle == kNetcdfShuffle && deflate && level == kNetcdfDeflateLevel && chunk == kNetcdfChunk);
    }
    std::vector<signed char> flags(log.size());
    for (size_t f = 0; f < 2; ++f) {
      ok(nc_inq_varid(id, flagVariables(dataset)[f]->name.c_str(), &variable));
      ok(nc_get_var_schar(id, variable, flags.data()));
      for (size_t i = 0; i < log.size(); ++i)
        ASSERT_EQ(flags[i], rows[2 * i + f]) << flagVariables(dataset)[f]->name << " record " << i;
      int shuffle, deflate, level;
      ok(nc_inq_var_deflate(id, variable, &shuffle, &deflate, &level));
      EXPECT_TRUE(!shuffle && deflate) << "a byte has nothing to shuffle";
    }
    ok(nc_close(id));
  }
}

}  // namespace

#endif
