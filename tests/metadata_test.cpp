// The metadata reader in process: its numbers against the C library's
// strto* functions, the names it refuses against the netCDF library, the
// example's units against udunits2.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <fstream>
#include <map>
#include <random>
#include <tuple>

#ifdef HEXLOG_TEST_NETCDF
#include <netcdf.h>
#endif

#include "metadata.hpp"

namespace {

class MetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hexlog-metadata-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    path_ = std::string(pattern) + "/a.meta";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(path_.substr(0, path_.rfind('/')).c_str());
  }

  // The error of reading `text`, "" when it reads.
  std::string fault(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    error_.clear();
    return readMetadata(path_.c_str(), metadata_, error_) ? "" : error_;
  }
  // The one value of *GLOBAL*,a.
  const Attribute& read(const std::string& value) {
    static const Attribute none{};
    EXPECT_EQ(fault("*GLOBAL*,a," + value + "\n"), "") << value;
    const Attribute* found = findAttribute(metadata_, "*GLOBAL*", "a");
    return found != nullptr ? *found : none;
  }

  std::string path_, error_;
  Metadata metadata_;
};

std::string bytes(const Attribute& attribute) {
  return std::string(attribute.values.begin(), attribute.values.end());
}
template <typename T>
std::string bytesOf(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}
template <typename T>
std::string shortest(T value) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

TEST_F(MetadataTest, NumbersAreWhatTheCLibraryReadsAndUnsuffixedTextIsAString) {
  struct Case {
    const char* text;
    ValueType type;
    std::string expected;
  };
  const Case cases[] = {
      {"200ub", ValueType::kUByte, bytesOf<uint8_t>(200)},
      {"-128b", ValueType::kByte, bytesOf<int8_t>(-128)},
      {"65535us", ValueType::kUShort, bytesOf<uint16_t>(65535)},
      {"-2147483648i", ValueType::kInt, bytesOf<int32_t>(std::strtol("-2147483648", nullptr, 10))},
      {"18446744073709551615uL", ValueType::kULong, bytesOf(std::strtoull("18446744073709551615", nullptr, 10))},
      {"1e-40f", ValueType::kFloat, bytesOf(std::strtof("1e-40", nullptr))},  // a subnormal
      {"3.4028235e38f", ValueType::kFloat, bytesOf(std::strtof("3.4028235e38", nullptr))},
      {"-.5f", ValueType::kFloat, bytesOf(-0.5f)},
      {"4.9e-324d", ValueType::kDouble, bytesOf(std::strtod("4.9e-324", nullptr))},
      {"1", ValueType::kString, "1"},
      {"2026-12-08", ValueType::kString, "2026-12-08"},
      {"1.5q", ValueType::kString, "1.5q"},
      {"\"7i\"", ValueType::kString, "7i"},
      {"mb", ValueType::kString, "mb"},
  };
  for (const Case& c : cases) {
    const Attribute& attribute = read(c.text);
    EXPECT_EQ(attribute.type, c.type) << c.text;
    EXPECT_EQ(bytes(attribute), c.expected) << c.text;
  }
  EXPECT_TRUE(std::isnan(*reinterpret_cast<const float*>(read("NaNf").values.data())));
  EXPECT_EQ(read("1").text, "\"1\"") << "quoted for readers that take a bare 1 for an int";

  // Shortest texts of random floats and doubles, subnormals included, read back bit for bit.
  std::mt19937_64 rng(7);
  std::vector<std::pair<std::string, std::string>> numbers;  // text, bytes
  for (int i = 0; i < 5000; ++i) {
    uint64_t bits = rng();
    float f;
    double d;
    std::memcpy(&f, &bits, sizeof f);
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(f))
      numbers.emplace_back(shortest(f) + "f", bytesOf(f));
    if (std::isfinite(d))
      numbers.emplace_back(shortest(d) + "d", bytesOf(d));
  }
  std::string text;
  for (size_t i = 0; i < numbers.size(); ++i)
    text += "*GLOBAL*,n" + std::to_string(i) + "," + numbers[i].first + "\n";
  ASSERT_EQ(fault(text), "");
  for (size_t i = 0; i < numbers.size(); ++i)
    EXPECT_EQ(bytes(metadata_.attributes[i]), numbers[i].second) << numbers[i].first;
}

TEST_F(MetadataTest, FaultsAreNamedByFileAndLine) {
  const std::pair<std::string, const char*> cases[] = {
      {"*GLOBAL*,a,1e39f", "out of the range of a float"},
      {"*GLOBAL*,a,1e-50f", "out of the range of a float"},
      {"*GLOBAL*,a,1e-999d", "out of the range of a double"},
      {"*GLOBAL*,a,-1ub", "negative for an unsigned type"},
      {"*GLOBAL*,a,256ub", "out of the range of its type"},
      {"*GLOBAL*,a,'a'", "char values are not supported; write a String"},
      {"*GLOBAL*,a,\"\\q\"", "unknown escape \\q"},
      {"*GLOBAL*,a,\"\\uD83C\"", "surrogate"},
      {"*GLOBAL*,a,\"\\u00G0\"", "four hexadecimal digits"},
      {"*GLOBAL*,_FillValue,0.0f", "hexlog's own"},
      {"*GLOBAL*,_NCProperties,x", "the netCDF library keeps for itself"},
      {"Can_Humidity,_Netcdf4Dimid,0i", "the netCDF library keeps for itself"},
      {"*GLOBAL*," + std::string(257, 'a') + ",x", "at most 256 bytes"},
      {"*GLOBAL*,1a,x", "starts with an ASCII letter or an underscore"},
      {"9station,*SCALAR*,x", "starts with an ASCII letter or an underscore"},
      {"time,*DATA_TYPE*,String", "hexlog's: it writes each variable's type itself"},
  };
  for (const auto& c : cases) {
    std::string expected = path_ + ":3: ";
    std::string error = fault("*GLOBAL*,title,ok\n\t \n" + c.first + "\n");
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    EXPECT_NE(error.find(c.second), std::string::npos) << error;
  }
  EXPECT_EQ(fault("*GLOBAL*," + std::string(256, 'a') + ",x\n"), "");
  EXPECT_EQ(fault(""), "");
  EXPECT_EQ(metadata_.attributes.size(), 0u) << "a second read replaces the first";
}

// Random strings of every kind of character, written by this test with a
// \u escape for each character: read, they are the same bytes; the text
// the reader makes of them reads back as the same bytes and text again.
TEST_F(MetadataTest, EscapesDecodeAndTheReEncodingReadsBackTheSame) {
  const std::vector<uint32_t> pool = {'a', 'Z', '0', '7', ' ', ',', '"', '\\', '\'', '-', '.', 'i', 'f', 'N',
                                      '\n', '\t', '\r', 1, 0x1F, 0x7F, 0xB5, 0x7FF, 0x20AC, 0xFFFD, 0x1F30A};
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);  // for c32rtomb
  std::mt19937 rng(11);
  std::vector<std::string> expected(5000);
  std::string escapedLines, textLines;
  for (size_t i = 0; i < expected.size(); ++i) {
    std::string escaped;
    for (size_t n = rng() % 8; n > 0; --n) {
      uint32_t code = pool[rng() % pool.size()];
      char units[16];
      if (code < 0x10000)
        std::snprintf(units, sizeof units, "\\u%04X", code);
      else
        std::snprintf(units, sizeof units, "\\u%04X\\u%04X", 0xD800 + ((code - 0x10000) >> 10),
                      0xDC00 + ((code - 0x10000) & 0x3FF));
      escaped += units;
      std::mbstate_t state{};
      char utf8[MB_LEN_MAX];
      size_t length = std::c32rtomb(utf8, static_cast<char32_t>(code), &state);  // the C library's UTF-8
      ASSERT_NE(length, static_cast<size_t>(-1));
      expected[i].append(utf8, length);
    }
    escapedLines += "*GLOBAL*,s" + std::to_string(i) + ",\"" + escaped + "\"\n";
  }
  ASSERT_EQ(fault(escapedLines), "");
  std::vector<Attribute> first = metadata_.attributes;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(bytes(first[i]), expected[i]);
    EXPECT_EQ(std::count_if(first[i].text.begin(), first[i].text.end(), [](char c) { return c >= 0 && c < 0x20; }), 0)
        << first[i].text;
    textLines += "*GLOBAL*,s" + std::to_string(i) + "," + first[i].text + "\n";
  }
  ASSERT_EQ(fault(textLines), "");
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(bytes(metadata_.attributes[i]), expected[i]) << first[i].text;
    EXPECT_EQ(metadata_.attributes[i].text, first[i].text);
  }
}

TEST_F(MetadataTest, CrLfByteOrderMarkAndBlankLinesReadAsPlainLines) {
  const std::string lines[] = {"*GLOBAL*,title,\" Mooring, \"\"M1\"\" \"", "station_id,*SCALAR*,M1",
                               "EquilPumpOn_pCO2,valid_range,0.0f,1000.0f", "Durafet_pH_1,units,1"};
  auto text = [&](const std::string& head, const std::string& end, const std::string& blank) {
    std::string all = head;
    for (const std::string& line : lines)
      all += line + end + blank;
    return all;
  };
  ASSERT_EQ(fault(text("", "\n", "")), "");
  std::vector<Attribute> plain = metadata_.attributes;
  for (std::string variant : {text("", "\r\n", ""), text("\xEF\xBB\xBF", "\n", ""), text("", "\r\n", " \t \r\n")}) {
    ASSERT_EQ(fault(variant), "");
    ASSERT_EQ(metadata_.attributes.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
      const Attribute &a = plain[i], &b = metadata_.attributes[i];
      EXPECT_EQ(std::tie(a.variable, a.name, a.type, a.count, a.values, a.text),
                std::tie(b.variable, b.name, b.type, b.count, b.values, b.text));
    }
  }
}

TEST_F(MetadataTest, LinesStopAtOneMebibyteAndFilesAtSixteen) {
  std::string full = "*GLOBAL*,a,\"" + std::string((1 << 20) - 13, 'x') + "\"";  // 1 MiB
  EXPECT_EQ(fault(full + "\r\n"), "");
  EXPECT_EQ(fault("\n" + full + "x"), path_ + ":2: a line longer than 1 MiB");
  std::string blanks = std::string(1023, ' ') + "\n";
  std::string file;
  while (file.size() < (16u << 20))
    file += blanks;
  EXPECT_EQ(fault(file), "");
  EXPECT_EQ(fault(file + "\n"), path_ + ": larger than 16 MiB, too large for a metadata file");

  // /dev/zero, one endless line, in a child with 64 MiB more address space than it has now.
  auto child = [] {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1)
      std::_Exit(2);
    rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (64 << 20);
    struct rlimit space = {limit, limit};
    setrlimit(RLIMIT_AS, &space);
    Metadata metadata;
    std::string error;
    bool refused = !readMetadata("/dev/zero", metadata, error) && error == "/dev/zero:1: a line longer than 1 MiB";
    std::_Exit(refused ? 0 : 1);
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
  EXPECT_EQ(bytes(*found), bytesOf<int32_t>(76543));
  EXPECT_EQ(findAttribute(metadata_, "*GLOBAL*", "a100000"), nullptr);
  EXPECT_EQ(fault(text + "*GLOBAL*,a0,x\n"), path_ + ":100001: a second *GLOBAL*,a0 (the first is on line 1)");
}

#ifdef HEXLOG_TEST_NETCDF
// The reader refuses an attribute name exactly when the netCDF library
// would refuse it later, at the end of a run.
TEST_F(MetadataTest, ANameIsRefusedWhereTheNetcdfLibraryRefusesIt) {
  std::string file = path_ + ".nc";
  int id, dimension, variable;
  ASSERT_EQ(nc_create(file.c_str(), NC_CLOBBER | NC_NETCDF4, &id), NC_NOERR);
  ASSERT_EQ(nc_def_dim(id, "time", NC_UNLIMITED, &dimension), NC_NOERR);
  ASSERT_EQ(nc_def_var(id, "Can_Humidity", NC_FLOAT, 1, &dimension, &variable), NC_NOERR);
  for (std::string name : {"_ARRAY_DIMENSIONS", "_Codecs", "_Format", "_IsNetcdf4", "_NCProperties", "_NCZARR_ATTR",
                           "_NCZARR_ARRAY", "_Netcdf4Coordinates", "_Netcdf4Dimid", "_SuperblockVersion",
                           "_nc3_strict", "_Unsigned", "_ChunkSizes", "_Storage", "_Endianness", "_NoFill",
                           "_QuantizeBitRoundNumberOfSignificantBits", "_x", "units", "format"}) {
    bool library = nc_put_att_text(id, variable, name.c_str(), 1, "x") == NC_NOERR &&
                   nc_put_att_text(id, NC_GLOBAL, name.c_str(), 1, "x") == NC_NOERR;
    EXPECT_EQ(fault("Can_Humidity," + name + ",x\n") == "", library) << name << ": " << error_;
    EXPECT_EQ(fault("*GLOBAL*," + name + ",x\n") == "", library) << name << ": " << error_;
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
      {"latitude", "degree_north"},
      {"longitude", "degree_east"},
      {"sea_water_temperature", "K"},
      {"sea_water_ph_reported_on_total_scale", "1"},
      {"surface_partial_pressure_of_carbon_dioxide_in_sea_water", "Pa"},
      {"mole_fraction_of_carbon_dioxide_in_air", "1"},
      {"relative_humidity", "1"},
      {"air_pressure", "Pa"},
  };
  // udunits2's answer: "x/WANT = ..." when the units convert, "" for a wrong one.
  auto convert = [](const std::string& have, const std::string& want) {
    std::string command = HEXLOG_UDUNITS2 " -H '" + have + "' -W '" + want + "' 2>&1", answer;
    std::FILE* pipe = have.find('\'') == std::string::npos ? popen(command.c_str(), "r") : nullptr;
    if (pipe != nullptr) {
      char block[256];
      for (size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;)
        answer.append(block, n);
      pclose(pipe);
    }
    bool known = answer.find("Don't recognize") == std::string::npos;
    return known && answer.find("not convertible") == std::string::npos ? answer : "";
  };
  ASSERT_TRUE(readMetadata(HEXLOG_SOURCE_DIR "/examples/station.meta", metadata_, error_)) << error_;
  for (const Attribute& attribute : metadata_.attributes) {
    const Attribute* units = findAttribute(metadata_, attribute.variable, "units");
    if (attribute.name == "standard_name" && attribute.variable != "time") {
      std::string name = bytes(attribute);
      ASSERT_EQ(canonical.count(name), 1u) << "add the canonical unit of " << name;
      ASSERT_NE(units, nullptr) << attribute.variable << " has a standard name and no units";
      EXPECT_NE(convert(bytes(*units), canonical.at(name)).find("x/"), std::string::npos)
          << bytes(*units) << " is no unit of " << name;
    }
    if (attribute.name == "units") {
      EXPECT_EQ(attribute.type, ValueType::kString) << attribute.variable;
      EXPECT_NE(convert(bytes(attribute), ""), "") << bytes(attribute) << " is no unit udunits2 knows";
    }
  }
#endif
}

}  // namespace
