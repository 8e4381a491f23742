// The metadata reader in process: its numbers against std::to_chars, its
// strings against the C library's UTF-8, the names it refuses against the
// netCDF library, the example's units against udunits2.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cuchar>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#ifdef HEXLOG_TEST_NETCDF
#include <netcdf.h>
#endif

#include "bits.hpp"
#include "folder.hpp"
#include "metadata.hpp"

using namespace hexlog;

namespace {

class MetadataTest : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    path_ = path("a.meta");
  }
  // The error of reading `text`, "" when it reads.
  std::string fault(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return readMetadata(path_.c_str(), metadata_, error_) ? "" : error_;
  }
  std::string values(size_t i) const {
    return std::string(metadata_.attributes[i].values.begin(), metadata_.attributes[i].values.end());
  }
  std::string path_, error_;
  Metadata metadata_;
};

TEST_F(MetadataTest, NumbersReadBackBitForBitAndTextWithoutASuffixIsAString) {
  std::vector<std::pair<std::string, std::string>> cases = {  // value, its bytes
      {"200ub", bytesOf<uint8_t>(200)}, {"-128b", bytesOf<int8_t>(-128)}, {"1", "1"}, {"+1.5f", bytesOf(1.5f)},
      {"+2.25d", bytesOf(2.25)},
      {"2026-12-08", "2026-12-08"},     {"1.5q", "1.5q"},                 {"\"7i\"", "7i"},
      {"\"\\\"q\\\", \"\"r\"\"\"", "\"q\", \"r\""}};
  std::mt19937_64 rng(7);  // random bits: normal, subnormal and zero floats and doubles, as std::to_chars writes them
  for (int i = 0; i < 5000; ++i) {
    uint64_t bits = rng() >> (i % 64);
    float f = floatOf(static_cast<uint32_t>(bits));
    double d = bitCast<double>(bits);
    char text[64];
    if (std::isfinite(f))
      cases.emplace_back(std::string(text, std::to_chars(text, text + 64, f).ptr) + "f", bytesOf(f));
    if (std::isfinite(d))
      cases.emplace_back(std::string(text, std::to_chars(text, text + 64, d).ptr) + "d", bytesOf(d));
  }
  std::string file;
  for (size_t i = 0; i < cases.size(); ++i)
    file += "*GLOBAL*,a" + std::to_string(i) + "," + cases[i].first + "\n";
  ASSERT_EQ(fault(file), "");
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(values(i), cases[i].second) << cases[i].first;
  EXPECT_EQ(metadata_.attributes[2].type, ValueType::kString) << "units,1 is the string \"1\"";
}

TEST_F(MetadataTest, FaultsAreNamedByFileAndLine) {
  const std::pair<std::string, const char*> cases[] = {
      {"*GLOBAL*,a,1e39f", "out of the range of a float"},
      {"*GLOBAL*,a,1e-50f", "out of the range of a float"},
      {"*GLOBAL*,a,1e-999d", "out of the range of a double"},
      {"*GLOBAL*,a,-1ub", "negative for an unsigned type"},
      {"*GLOBAL*,a,'a'", "char values are not supported; write a String"},
      {"*GLOBAL*,a,\"\\q\"", "unknown escape \\q"},
      {"*GLOBAL*,a,\"\\uD83C\"", "surrogate"},
      {"*GLOBAL*,a,\"\\u00G0\"", "four hexadecimal digits"},
      {"*GLOBAL*,_FillValue,0.0f", "hexlog's own"},
      {"*GLOBAL*,_NCProperties,x", "the netCDF library keeps for itself"},
      {"*GLOBAL*," + std::string(257, 'a') + ",x", "at most 256 bytes"},
      {"*GLOBAL*,1a,x", "starts with an ASCII letter or an underscore"},
      {"9station,*SCALAR*,x", "starts with an ASCII letter or an underscore"},
      {"time,*DATA_TYPE*,String", "hexlog's: it writes each variable's type itself"},
  };
  for (const auto& c : cases) {
    std::string error = fault("*GLOBAL*,title,ok\n\t \n" + c.first + "\n");  // the second line is blank
    EXPECT_EQ(error.rfind(path_ + ":3: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.second), std::string::npos) << error;
  }
  EXPECT_EQ(fault("*GLOBAL*," + std::string(256, 'a') + ",x\n"), "");
}

// What hexlog reads or writes itself must make sense where it stands, or be
// refused by line before anything is read: a name of its own variables
// used for a scalar, a position that is text, a valid range that is not two
// ordered numbers, text that is not UTF-8.
TEST_F(MetadataTest, WhatTheToolReadsOrWritesItselfIsCheckedByLine) {
  const std::pair<std::string, const char*> refused[] = {
      {"EquilPumpOn_pCO2_qc,*SCALAR*,5i", "writes itself"},
      {"source_file,*SCALAR*,1i", "writes itself"},
      {"source_line,*SCALAR*,\"x\"", "writes itself"},
      {"time,*SCALAR*,1i", "writes itself"},
      {"Can_Humidity,*SCALAR*,1i", "writes itself"},
      {"Durafet_pH_1_qartod_spike_test,*SCALAR*,1b", "writes itself"},
      {"latitude,*SCALAR*,36.75", "a number: write latitude,*SCALAR*,36.75d"},
      {"longitude,*SCALAR*,\"-122.03\"", "a number"},
      {"EquilPumpOn_pCO2,valid_range,9.0f,1.0f", "wrong way round"},
      {"EquilPumpOn_pCO2,valid_range,NaNf,1.0f", "holds NaN"},
      {"EquilPumpOn_pCO2,valid_range,1.0f", "does not hold two numbers"},
      {"EquilPumpOn_pCO2,valid_range,1i,2i,3i", "does not hold two numbers"},
      {"EquilPumpOn_pCO2,valid_range,\"0, 1000\"", "is a string"},
      {"EquilPumpOn_pCO2,valid_min,low", "is a string"},
      {"EquilPumpOn_pCO2,valid_max,1.0f,2.0f", "more than one number"},
      {"EquilPumpOn_pCO2,valid_min,5.0f\nEquilPumpOn_pCO2,valid_max,1.0f", "below its valid_min"},
      {"EquilPumpOn_pCO2,valid_min,0.0f\nEquilPumpOn_pCO2,valid_range,0.0f,1.0f", "one or the other"},
      {"*GLOBAL*,title,caf\xE9", "byte 19 is not UTF-8"},
      {"*GLOBAL*,title,\xED\xA0\x80", "not UTF-8"},  // a surrogate, encoded
      {"*GLOBAL*,title,\"\\u0000\"", "cannot hold a NUL"},
      {"*GLOBAL*,title,\"\\uDC00\"", "second surrogate without the first"},
      {"*GLOBAL*,title,\"x\" y", "text after a closing quote"},
      {"time,units,seconds since 2000-01-01", "hexlog's own"},
  };
  for (const auto& [text, said] : refused) {
    std::string error = fault("*GLOBAL*,title,ok\n" + text + "\n");
    size_t line = text.find('\n') == std::string::npos ? 2 : 3;
    EXPECT_EQ(error.rfind(path_ + ":" + std::to_string(line) + ": ", 0), 0u) << text << ": " << error;
    EXPECT_NE(error.find(said), std::string::npos) << text << ": " << error;
  }
  // Taken, and as written: equal ends, one end only, integers for a position,
  // DEL, text that reads like a number, a plus sign.
  ASSERT_EQ(fault("EquilPumpOn_pCO2,valid_range,5.0f,5.0f\nCan_Humidity,valid_min,0i\nDurafet_pH_1,valid_max,14.0d\n"
                  "latitude,*SCALAR*,36i\nlongitude,*SCALAR*,-122.03d\n*GLOBAL*,a,x\x7Fy\n*GLOBAL*,b,NaN\n"
                  "*GLOBAL*,c,+5i\n"),
            "");
  EXPECT_EQ(values(5), "x\x7Fy");
  EXPECT_EQ(metadata_.attributes[5].text, "x\\u007Fy");
  EXPECT_EQ(metadata_.attributes[6].type, ValueType::kString);
  EXPECT_EQ(metadata_.attributes[6].text, "\"NaN\"");
  EXPECT_EQ(values(7), bytesOf<int32_t>(5));
}

// Random strings, written by this test with a \u escape for each
// character, read as the C library's UTF-8 of them; the text the reader
// makes of them (for NCCSV) reads back as the same bytes and text.
TEST_F(MetadataTest, EscapesDecodeAndTheReEncodingReadsBackTheSame) {
  const uint32_t pool[] = {'a', 'N', '7', ' ', ',', '"', '\\', '\'', '-', '.', 'i', '\n', '\t', '\b', '\f', '\r', '/', 1, 0x7F, 0xB5,
                           0x20AC, 0x1F30A};
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  std::mt19937 rng(11);
  std::vector<std::string> expected(5000);
  std::string escaped, reencoded;
  for (size_t i = 0; i < expected.size(); ++i) {
    escaped += "*GLOBAL*,s" + std::to_string(i) + ",\"";
    for (size_t n = rng() % 8; n > 0; --n) {
      uint32_t code = pool[rng() % std::size(pool)], high = 0xD800 + ((code - 0x10000) >> 10);
      char units[16], utf8[MB_LEN_MAX];
      std::snprintf(units, sizeof units, code < 0x10000 ? "\\u%04X" : "\\u%04X\\u%04X", code < 0x10000 ? code : high,
                    0xDC00 + (code & 0x3FF));
      std::mbstate_t state{};
      size_t length = std::c32rtomb(utf8, static_cast<char32_t>(code), &state);
      ASSERT_NE(length, static_cast<size_t>(-1));
      escaped += units;
      expected[i].append(utf8, length);
    }
    escaped += "\"\n";
  }
  ASSERT_EQ(fault(escaped), "");
  std::vector<std::string> texts;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(values(i), expected[i]);
    texts.push_back(metadata_.attributes[i].text);
    reencoded += "*GLOBAL*,s" + std::to_string(i) + "," + texts[i] + "\n";
  }
  ASSERT_EQ(fault(reencoded), "");
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(values(i), expected[i]) << texts[i];
    EXPECT_EQ(metadata_.attributes[i].text, texts[i]);
  }
}

TEST_F(MetadataTest, CrLfAByteOrderMarkAndBlankLinesReadAsPlainLines) {
  auto file = [](const char* head, const char* end, const char* blank) {
    std::string text = head;
    for (const char* line : {"*GLOBAL*,title,\" Mooring, \"\"M1\"\" \"", "station_id,*SCALAR*,M1",
                             "EquilPumpOn_pCO2,valid_range,0.0f,1000.0f", "Durafet_pH_1,units,1"})
      text += std::string(line) + end + blank;
    return text;
  };
  auto dump = [&] {
    std::string all;
    for (size_t i = 0; i < metadata_.attributes.size(); ++i)
      all += metadata_.attributes[i].variable + "," + metadata_.attributes[i].name + "," +
             metadata_.attributes[i].text + "=" + values(i) + "\n";
    return all;
  };
  ASSERT_EQ(fault(file("", "\n", "")), "");
  std::string plain = dump();
  for (std::string variant : {file("", "\r\n", ""), file("\xEF\xBB\xBF", "\n", ""), file("", "\r\n", " \t \r\n")}) {
    ASSERT_EQ(fault(variant), "");
    EXPECT_EQ(dump(), plain);
  }
}

TEST_F(MetadataTest, LinesStopAtOneMebibyteAndFilesAtSixteen) {
  std::string full = "*GLOBAL*,a,\"" + std::string((1 << 20) - 13, 'x') + "\"";  // 1 MiB
  EXPECT_EQ(fault(full + "\r\n"), "");
  EXPECT_EQ(fault("\n" + full + "x"), path_ + ":2: a line longer than 1 MiB");
  std::string blanks;
  while (blanks.size() < (16u << 20))
    blanks += std::string(1023, ' ') + "\n";
  EXPECT_EQ(fault(blanks), "");
  EXPECT_EQ(fault(blanks + "\n"), path_ + ": larger than 16 MiB, too large for a metadata file");

  // /dev/zero, one endless line, in a child with 64 MiB more address space than it has now.
  auto child = [] {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1)
      std::_Exit(2);
    struct rlimit space;
    space.rlim_cur = space.rlim_max = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (64 << 20);
    setrlimit(RLIMIT_AS, &space);
    Metadata metadata;
    std::string error;
    std::_Exit(!readMetadata("/dev/zero", metadata, error) && error == "/dev/zero:1: a line longer than 1 MiB" ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST_F(MetadataTest, AHundredThousandAttributesAndADuplicateAtTheEnd) {
  std::string text;
  for (int i = 0; i < 100000; ++i)
    text += "*GLOBAL*,a" + std::to_string(i) + "," + std::to_string(i) + "i\n";
  ASSERT_EQ(fault(text), "");
  const Attribute* found = findAttribute(metadata_, "*GLOBAL*", "a76543");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found->values.begin(), found->values.end()), bytesOf<int32_t>(76543));
  EXPECT_EQ(findAttribute(metadata_, "*GLOBAL*", "a100000"), nullptr);
  EXPECT_EQ(fault(text + "*GLOBAL*,a0,x\n"), path_ + ":100001: a second *GLOBAL*,a0 (the first is on line 1)");
}

#ifdef HEXLOG_TEST_NETCDF
// The reader refuses an attribute name where the netCDF library would
// refuse it late, at the end of a run.
TEST_F(MetadataTest, ANameIsRefusedWhereTheNetcdfLibraryRefusesIt) {
  std::string file = path_ + ".nc";
  int id, dimension, variable;
  ASSERT_EQ(nc_create(file.c_str(), NC_CLOBBER | NC_NETCDF4, &id), NC_NOERR);
  ASSERT_EQ(nc_def_dim(id, "time", NC_UNLIMITED, &dimension), NC_NOERR);
  ASSERT_EQ(nc_def_var(id, "Can_Humidity", NC_FLOAT, 1, &dimension, &variable), NC_NOERR);
  for (std::string name : {"_ARRAY_DIMENSIONS", "_Codecs", "_Format", "_IsNetcdf4", "_NCProperties", "_NCZARR_ATTR",
                           "_NCZARR_ARRAY", "_Netcdf4Coordinates", "_Netcdf4Dimid", "_SuperblockVersion",
                           "_nc3_strict", "_Unsigned", "_ChunkSizes", "_Storage", "_Endianness", "_NoFill",
                           "_QuantizeBitRoundNumberOfSignificantBits", "_x", "units"}) {
    bool library = nc_put_att_text(id, variable, name.c_str(), 1, "x") == NC_NOERR &&
                   nc_put_att_text(id, NC_GLOBAL, name.c_str(), 1, "x") == NC_NOERR;
    EXPECT_EQ(fault("Can_Humidity," + name + ",x\n*GLOBAL*," + name + ",x\n") == "", library) << name << error_;
  }
  nc_close(id);
  std::remove(file.c_str());
}
#endif

// Every units value of the example is a String that udunits2 knows, and
// converts to the canonical unit of its variable's standard name.
TEST_F(MetadataTest, TheExamplesUnitsFitTheirStandardNames) {
#ifndef HEXLOG_UDUNITS2
  GTEST_SKIP() << "udunits2 (Debian udunits-bin) is not installed";
#else
  // The canonical units of the CF Standard Name Table
  // (https://cfconventions.org/Data/cf-standard-names/current/build/cf-standard-name-table.html).
  const std::map<std::string, std::string> canonical = {
      {"latitude", "degree_north"}, {"longitude", "degree_east"}, {"sea_water_temperature", "K"},
      {"sea_water_ph_reported_on_total_scale", "1"}, {"surface_partial_pressure_of_carbon_dioxide_in_sea_water", "Pa"},
      {"mole_fraction_of_carbon_dioxide_in_air", "1"}, {"relative_humidity", "1"}, {"air_pressure", "Pa"},
      {"depth", "m"}};
  // udunits2's answer ("x/WANT = ..." when they convert), "" for a unit it does not know or cannot convert.
  auto convert = [](const std::string& have, const std::string& want) {
    std::string command = HEXLOG_UDUNITS2 " -H '" + have + "' -W '" + want + "' 2>&1", answer;
    std::FILE* pipe = have.find('\'') == std::string::npos ? popen(command.c_str(), "r") : nullptr;
    for (char block[256]; pipe != nullptr && std::fgets(block, sizeof block, pipe) != nullptr;)
      answer += block;
    if (pipe != nullptr)
      pclose(pipe);
    bool known = answer.find("Don't recognize") == std::string::npos;
    return known && answer.find("not convertible") == std::string::npos ? answer : "";
  };
  ASSERT_TRUE(readMetadata(HEXLOG_SOURCE_DIR "/examples/station.meta", metadata_, error_)) << error_;
  for (size_t i = 0; i < metadata_.attributes.size(); ++i) {
    const Attribute& attribute = metadata_.attributes[i];
    const Attribute* units = findAttribute(metadata_, attribute.variable, "units");
    std::string unit = units == nullptr ? "" : std::string(units->values.begin(), units->values.end());
    if (attribute.name == "units") {
      EXPECT_EQ(attribute.type, ValueType::kString) << attribute.variable;
      EXPECT_NE(convert(unit, ""), "") << unit << " is no unit udunits2 knows";
    } else if (attribute.name == "standard_name") {
      ASSERT_EQ(canonical.count(values(i)), 1u) << "add the canonical unit of " << values(i);
      ASSERT_NE(units, nullptr) << attribute.variable << " has a standard name and no units";
      EXPECT_NE(convert(unit, canonical.at(values(i))).find("x/"), std::string::npos) << unit << " for " << values(i);
    }
  }
#endif
}

}  // namespace
