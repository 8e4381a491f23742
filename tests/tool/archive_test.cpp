// The archive formats, NCCSV and netCDF, with the station's metadata: read
// back with the netCDF C library and strtof, every reading must be the
// word the log holds, bit for bit.
#include <sys/resource.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <random>

#ifdef HEXLOG_TEST_NETCDF
#include <netcdf.h>
#endif

#include "bits.hpp"
#include "logs.hpp"
#include "reference.hpp"
#include "tool.hpp"

namespace {

using Archive = ToolTest;

#ifdef HEXLOG_TEST_NETCDF
// What `ncdump -h` shows of a file.
std::string ncdumpHeader(const std::string& path) {
  std::string header;
  if (std::FILE* dump = popen(("ncdump -h '" + path + "'").c_str(), "r")) {
    char block[4096];
    for (size_t n; (n = std::fread(block, 1, sizeof block, dump)) > 0;)
      header.append(block, n);
    pclose(dump);
  }
  return header;
}
#endif

// ---- NCCSV ---------------------------------------------------------------------

TEST_F(Archive, NccsvHoldsTheMetadataThenEveryReading) {
  Log unordered = variedLog(300, 1);
  Log log = inTimeOrder(unordered);
  std::string meta = file("station.meta",
                          "*GLOBAL*,title,\"Mooring M1, \"\"test\"\"\"\n"
                          "\n"
                          "station_id,*SCALAR*,\"M1\"\n"
                          "EquilPumpOn_pCO2,long_name,Seawater pCO2\n"
                          "EquilPumpOn_pCO2,valid_range,0.0f,1000.0f\n");
  Result r = run({"--format=nccsv", "--metadata=" + meta, file("a.log", unordered.text)});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_GT(lines.size(), 3u);
  EXPECT_EQ(lines[0], "*GLOBAL*,Conventions,\"COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2\"");
  EXPECT_EQ(lines.back(), "");
  lines.pop_back();
  EXPECT_EQ(lines.back(), "*END_DATA*");
  size_t end = std::find(lines.begin(), lines.end(), "*END_METADATA*") - lines.begin();
  ASSERT_LT(end, lines.size());
  std::vector<std::string> metadata(lines.begin(), lines.begin() + static_cast<long>(end));
  auto has = [&](const std::string& line) { return std::count(metadata.begin(), metadata.end(), line) == 1; };
  EXPECT_TRUE(has("time,*DATA_TYPE*,String"));
  EXPECT_TRUE(has("time,standard_name,time"));
  EXPECT_TRUE(has("time,long_name,Time"));
  EXPECT_TRUE(has("time,units,yyyy-MM-dd'T'HH:mm:ssZ"));
  EXPECT_TRUE(has("Can_Humidity,*DATA_TYPE*,float"));
  EXPECT_TRUE(has("AirPumpOff_Humidity,long_name,AirPumpOff Humidity"));
  EXPECT_TRUE(has("*GLOBAL*,title,\"Mooring M1, \"\"test\"\"\""));
  EXPECT_TRUE(has("station_id,*SCALAR*,M1")) << "a String needs no quotes unless it reads as something else";
  EXPECT_TRUE(has("EquilPumpOn_pCO2,long_name,Seawater pCO2"));
  EXPECT_FALSE(has("EquilPumpOn_pCO2,long_name,EquilPumpOn pCO2")) << "the user's line replaces the default";
  EXPECT_TRUE(has("EquilPumpOn_pCO2,valid_range,0.0f,1000.0f"));

  // The csv columns, then the flag of the reading with a valid range.
  EXPECT_EQ(lines[end + 1], split(run({"--format=csv", dir_ + "/a.log"}).out, '\n')[0] + ",EquilPumpOn_pCO2_qc");
  ASSERT_EQ(lines.size(), end + 2 + log.times.size() + 1);
  for (size_t i = 0; i < log.times.size(); ++i) {
    std::vector<std::string> fields = split(lines[end + 2 + i], ',');
    ASSERT_EQ(fields.size(), 34u);
    for (size_t k = 0; k < 32; ++k) {
      uint32_t word = k < log.words[i].size() ? log.words[i][k] : 0x7FC00000;
      if ((word & 0x7FFFFFFF) >= 0x7F800000) {
        EXPECT_EQ(fields[k + 1], "NaN");  // NaN, the infinities and missing readings
      } else {
        EXPECT_EQ(bitsOf(std::strtof(fields[k + 1].c_str(), nullptr)), word) << fields[k + 1];
      }
    }
  }
}

// What NCCSV computes from the records, against the records themselves:
// actual_range of the finite readings present (infinities and readings a
// short record lacks left out), flags with bounds included and a range
// open at one end, the station's extent with its units, history with its
// date; in time order and, asked, in the input's.
TEST_F(Archive, ComputedAttributesAndFlagsFollowTheRecords) {
  Log unordered = variedLog(400, 6);
  // Bounds that some readings equal exactly, written as to_chars writes them.
  auto text = [](float f) {
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, f).ptr) + "f";
  };
  float low = floatOf(unordered.words[1][1]), high = floatOf(unordered.words[2][1]);
  if (low > high)
    std::swap(low, high);
  std::string meta = file("station.meta",
                          "latitude,*SCALAR*,36.75d\nlongitude,*SCALAR*,-122.03d\n"
                          "EquilPumpOn_Temp,valid_range," + text(low) + "," + text(high) + "\n"
                          "EquilPumpOn_Pressure,valid_min," + text(low) + "\nEquilPumpOff_pCO2,valid_max," + text(high) + "\n");
  std::string log = file("a.log", unordered.text);
  env_ = {"SOURCE_DATE_EPOCH=1800000000"};
  for (bool inTime : {true, false}) {
    Log records = inTime ? inTimeOrder(unordered) : unordered;
    std::vector<std::string> args = {"--format=nccsv", "--metadata=" + meta, log};
    if (!inTime)
      args.insert(args.begin(), "--order=input");
    Result r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = split(r.out, '\n');
    auto has = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line) == 1; };
    EXPECT_TRUE(has("*GLOBAL*,geospatial_lat_units,degrees_north"));
    EXPECT_TRUE(has("*GLOBAL*,geospatial_lon_units,degrees_east"));
    EXPECT_TRUE(has("*GLOBAL*,geospatial_lat_min,36.75d"));
    std::string command = "hexlog";
    for (const std::string& arg : args)
      command += " " + arg;
    EXPECT_TRUE(has("*GLOBAL*,history,\"2027-01-15T08:00:00Z " + command + "\"")) << command;
    for (int k = 0; k < 32; ++k) {
      float least = INFINITY, most = -INFINITY;
      for (const std::vector<uint32_t>& words : records.words)
        if (static_cast<size_t>(k) < words.size() && std::isfinite(floatOf(words[k]))) {
          least = std::min(least, floatOf(words[k]));
          most = std::max(most, floatOf(words[k]));
        }
      std::string name = reference::kNames[k];
      std::replace(name.begin(), name.end(), ' ', '_');
      name = name == "AirPumpOff_Humdity" ? "AirPumpOff_Humidity" : name;
      if (least <= most) {
        EXPECT_TRUE(has(name + ",actual_range," + text(least) + "," + text(most))) << name;
      } else {  // no finite reading at all
        EXPECT_EQ(r.out.find(name + ",actual_range,"), std::string::npos) << name;
      }
    }
    size_t end = std::find(lines.begin(), lines.end(), "*END_METADATA*") - lines.begin();
    ASSERT_EQ(lines[end + 1].substr(lines[end + 1].size() - 65),
              ",EquilPumpOn_Temp_qc,EquilPumpOn_Pressure_qc,EquilPumpOff_pCO2_qc");
    int bounded = 0;
    for (size_t i = 0; i < records.times.size(); ++i) {
      std::vector<std::string> fields = split(lines[end + 2 + i], ',');
      ASSERT_EQ(fields.size(), 36u);
      const double lows[] = {low, low, -INFINITY}, highs[] = {high, INFINITY, high};
      for (int f = 0; f < 3; ++f) {
        size_t k = static_cast<size_t>(f) + 1;
        int flag = 9;
        if (k < records.words[i].size() && !std::isnan(floatOf(records.words[i][k]))) {
          float v = floatOf(records.words[i][k]);
          flag = std::isfinite(v) && v >= lows[f] && v <= highs[f] ? 1 : 4;
          bounded += v == low || v == high;
        }
        EXPECT_EQ(fields[33 + static_cast<size_t>(f)], std::to_string(flag)) << "record " << i << " flag " << f;
      }
    }
    EXPECT_GE(bounded, 2) << "readings at the bounds themselves";
  }
}

// ---- Bad metadata ------------------------------------------------------------------

TEST_F(Archive, BadMetadataIsNamedByFileAndLineAndNothingIsWritten) {
  struct Case {
    const char* text;
    int line;
    const char* says;
  };
  const Case cases[] = {
      {"*GLOBAL*,title\n", 1, "three fields"},
      {"*GLOBAL*,title,ok\nEquilPumpOn_pCO2,valid_min,1.5.0f\n", 2, "bad number '1.5.0f'"},
      {"\n\n*GLOBAL*,code,300b\n", 3, "bad number '300b': out of the range"},
      {"*GLOBAL*,title,\"unclosed\n", 1, "quote that is not closed"},
      {"*GLOBAL*,a,1\nsalinity,units,psu\n", 2, "unknown variable 'salinity'"},
      {"time,*DATA_TYPE*,int\n", 1, "writes each variable's type itself"},
      {"time,Conventions,CF-1.8\n", 1, "hexlog's own"},
      {"*GLOBAL*,title,a\n*GLOBAL*,title,b\n", 2, "the first is on line 1"},
      {"*GLOBAL*,ids,1i,2s\n", 1, "different types"},
      {"*GLOBAL*,names,a,b\n", 1, "quote a string"},
  };
  std::string log = file("a.log", variedLog(3, 2).text);
  for (const Case& c : cases) {
    std::string meta = file("bad.meta", c.text);
    for (const char* format : {"--format=nccsv", "--format=netcdf"}) {
      Result r = run({format, "--metadata=" + meta, "--output=" + dir_ + "/out", log});
      EXPECT_EQ(r.status, 1) << c.text;
      std::string where = "hexlog: " + meta + ":" + std::to_string(c.line) + ": ";
      EXPECT_EQ(r.err.rfind(where, 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_FALSE(exists("out")) << c.text;
      EXPECT_EQ(listing().size(), 2u) << "no temporary file";
    }
  }
  Result r = run({"--format=nccsv", "--metadata=" + dir_ + "/none.meta", log});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "hexlog: cannot read metadata file " + dir_ + "/none.meta: No such file or directory\n");
  r = run({"--format=nccsv", "--metadata=" + dir_, log});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: cannot read metadata file " + dir_ + ": " + std::strerror(EISDIR) + "\n");
  EXPECT_EQ(run({"--format=csv", "--metadata=" + dir_ + "/bad.meta", log}).status, 1);
  EXPECT_EQ(run({"--format=netcdf", log}).status, 1) << "netCDF only through --output";
}

// A date_created that cannot be written, or attributes the netCDF library
// cannot store, are found before any input is opened (the input here does
// not exist: its message would come first otherwise).
TEST_F(Archive, WhatCannotBeWrittenIsFoundBeforeAnyInputIsOpened) {
  std::string missing = dir_ + "/missing.log";
  for (const char* epoch : {"99999999999999999", "253402300800", "-1", "12abc", " 5"}) {
    env_ = {std::string("SOURCE_DATE_EPOCH=") + epoch};
    Result r = run({"--format=nccsv", missing});
    EXPECT_EQ(r.status, 1) << epoch;
    EXPECT_EQ(r.err, std::string("hexlog: SOURCE_DATE_EPOCH=") + epoch +
                         " is no time: write seconds since 1970 in digits, at most 253402300799 (9999-12-31T23:59:59Z)\n");
    EXPECT_EQ(run({missing}).out, "Cannot open file " + missing + "\n") << "plain text has no date";
  }
  // Past 2038 and to the last second of the year 9999, as the C library has them.
  std::string log = file("a.log", variedLog(3, 2).text);
  for (int64_t epoch : {int64_t{2208988800}, int64_t{253402300799}, int64_t{0}}) {
    env_ = {"SOURCE_DATE_EPOCH=" + std::to_string(epoch)};
    time_t t = static_cast<time_t>(epoch);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    EXPECT_NE(run({"--format=nccsv", log}).out.find(std::string("*GLOBAL*,date_created,\"") + date + "\"\n"),
              std::string::npos) << date;
  }
#ifdef HEXLOG_TEST_NETCDF
  env_.clear();
  std::string many;
  for (int i = 0; i < 70000; ++i)
    many += "*GLOBAL*,a" + std::to_string(i) + ",x\n";
  std::string meta = file("many.meta", many);
  std::string out = file("out.nc", "precious\n");
  Result r = run({"--format=netcdf", "--metadata=" + meta, "--output=" + out, missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("hexlog: " + meta + ": the netCDF library cannot store it: NetCDF: ", 0), 0u) << r.err;
  EXPECT_EQ(slurp(out), "precious\n");
  EXPECT_EQ(run({"--format=nccsv", "--metadata=" + meta, log}).status, 0) << "NCCSV has no such limit";
#endif
}

// ---- netCDF ----------------------------------------------------------------------

#ifdef HEXLOG_TEST_NETCDF

void ok(int status) {
  ASSERT_EQ(status, NC_NOERR) << nc_strerror(status);
}

TEST_F(Archive, NetcdfHoldsEveryBitOfEveryReading) {
  // More than a chunk of 131072 records, the last batch part full.
  Log unordered = variedLog(140000, 3);
  Log log = inTimeOrder(unordered);
  std::string out = dir_ + "/a.nc";
  Result r = run({"--format=netcdf", "--output=" + out, file("a.log", unordered.text)});
  EXPECT_EQ(r.status, 0) << r.err;
  int id, dimension, variable;
  ok(nc_open(out.c_str(), NC_NOWRITE, &id));
  size_t records;
  ok(nc_inq_dimid(id, "time", &dimension));
  ok(nc_inq_dimlen(id, dimension, &records));
  ASSERT_EQ(records, log.times.size());
  std::vector<int32_t> times(records);
  ok(nc_inq_varid(id, "time", &variable));
  ok(nc_get_var_int(id, variable, times.data()));
  EXPECT_EQ(times, log.times);
  float fill;
  std::vector<uint32_t> words(records);
  for (int k = 0; k < 32; ++k) {
    std::string name = reference::kNames[k];
    std::replace(name.begin(), name.end(), ' ', '_');
    if (name == "AirPumpOff_Humdity")
      name = "AirPumpOff_Humidity";
    ok(nc_inq_varid(id, name.c_str(), &variable));
    ok(nc_get_att_float(id, variable, "_FillValue", &fill));
    ok(nc_get_var(id, variable, words.data()));
    for (size_t i = 0; i < records; ++i) {
      uint32_t expected = static_cast<size_t>(k) < log.words[i].size() ? log.words[i][k] : bitsOf(fill);
      ASSERT_EQ(words[i], expected) << name << " record " << i;
    }
  }
  ok(nc_close(id));
}

TEST_F(Archive, NetcdfWriteFailureLeavesTheOldFile) {
  std::string old = file("old.nc", "precious\n");
  inChild_ = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {200000, 200000};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  Result r = run({"--format=netcdf", "--output=" + old, file("a.log", variedLog(40000, 4).text)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("hexlog: write error: ", 0), 0u) << r.err;
  EXPECT_EQ(slurp(old), "precious\n");
  EXPECT_EQ(listing(), (std::vector<std::string>{"a.log", "old.nc"}));
}

// An escape in the metadata is the character itself in netCDF and the
// same escape again in NCCSV: both formats say the same.
TEST_F(Archive, EscapesAreCharactersInNetcdfAndEscapesInNccsv) {
  std::string meta = file("escape.meta", "*GLOBAL*,comment,\"a\\nb\"\n");
  std::string log = file("a.log", variedLog(3, 5).text);
  std::string out = dir_ + "/a.nc";
  ASSERT_EQ(run({"--format=netcdf", "--metadata=" + meta, "--output=" + out, log}).status, 0);
  int id;
  size_t length;
  char text[8] = {};
  ok(nc_open(out.c_str(), NC_NOWRITE, &id));
  ok(nc_inq_attlen(id, NC_GLOBAL, "comment", &length));
  ASSERT_EQ(length, 3u);
  ok(nc_get_att_text(id, NC_GLOBAL, "comment", text));
  EXPECT_EQ(std::string(text), "a\nb");
  ok(nc_close(id));
  std::vector<std::string> lines = split(run({"--format=nccsv", "--metadata=" + meta, log}).out, '\n');
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "*GLOBAL*,comment,a\\nb"), 1);
}

// The readings NCCSV cannot hold as numbers, and a file of one record.
TEST_F(Archive, InfinityIsNaNInNccsvAndOneRecordIsAFile) {
  std::string line = "SN0042 2026-06-14 00:00 6A2DEF1447C350007F800000FF800000";
  std::string log = file("a.log", line + std::string(140 - line.size(), ' ') + "\r\n");
  std::vector<std::string> rows = split(run({"--format=csv", log}).out, '\n');
  EXPECT_EQ(split(rows[1], ',')[1], "1e+05") << "to_chars' shortest text of 100000";
  EXPECT_EQ(split(rows[1], ',')[2], "inf");
  rows = split(run({"--format=nccsv", log}).out, '\n');
  std::vector<std::string> fields = split(rows[rows.size() - 3], ',');
  EXPECT_EQ(fields[2], "NaN");
  EXPECT_EQ(fields[3], "NaN");
#ifdef HEXLOG_TEST_NETCDF
  std::string out = dir_ + "/one.nc";
  ASSERT_EQ(run({"--format=netcdf", "--output=" + out, log}).status, 0);
  std::string header = ncdumpHeader(out);
  EXPECT_NE(header.find("time = UNLIMITED ; // (1 currently)"), std::string::npos) << header;
  EXPECT_EQ(header.find(":coordinates"), std::string::npos) << "no scalars, so nothing to name";
#endif
}

// The README's command for a flagged, profile-ready file: what ncdump -h
// shows of the example.
TEST_F(Archive, NcdumpShowsTheExampleWithTypedAttributes) {
  std::string out = dir_ + "/sample.nc";
  ASSERT_EQ(run({"--format=netcdf", "--qc=" HEXLOG_SOURCE_DIR "/examples/qc.yaml",
                 "--metadata=" HEXLOG_SOURCE_DIR "/examples/station.meta", "--output=" + out,
                 HEXLOG_SOURCE_DIR "/examples/sample.log"})
                .status,
            0);
  std::string header = ncdumpHeader(out);
  for (const char* line :
       {"\ttime = UNLIMITED ; // (30 currently)", "\tstation = 1 ;", "\tint time(time) ;",
        "\t\ttime:units = \"seconds since 1970-01-01T00:00:00Z\" ;", "\t\ttime:calendar = \"standard\" ;",
        "\t\ttime:axis = \"T\" ;", "\t\ttime:units_metadata = \"leap_seconds: none\" ;",
        "\tfloat EquilPumpOn_pCO2(station, time) ;", "\t\tEquilPumpOn_pCO2:_FillValue = 9.96921e+36f ;",
        "\t\tEquilPumpOn_pCO2:missing_value = 9.96921e+36f ;", "\t\tEquilPumpOn_pCO2:valid_range = 0.f, 1000.f ;",
        "\t\tEquilPumpOn_pCO2:platform = \"station_id\" ;", "\t\tEquilPumpOn_pCO2:accuracy = 2.f ;",
        "\t\tEquilPumpOn_pCO2:coverage_content_type = \"physicalMeasurement\" ;",
        "\t\tEquilPumpOn_pCO2:coordinates = \"time station_id latitude longitude depth\" ;",
        "\t\tDurafet_pH_1:sensor_serial = 1042 ;", "\t\tDurafet_pH_1:units = \"1\" ;",
        "\tbyte EquilPumpOn_pCO2_qc(station, time) ;",
        "\t\tEquilPumpOn_pCO2_qc:standard_name = \"gross_range_test_quality_flag\" ;",
        "\tbyte Durafet_pH_6_qartod_flat_line_test(station, time) ;",
        "\t\tDurafet_pH_6_qartod_flat_line_test:standard_name = \"flat_line_test_quality_flag\" ;",
        "\t\tDurafet_pH_6_qartod_flat_line_test:flag_values = 1b, 2b, 3b, 4b, 9b ;",
        "\t\tDurafet_pH_6_qartod_flat_line_test:flag_meanings = \"GOOD UNKNOWN SUSPECT FAIL MISSING\" ;",
        "\t\tDurafet_pH_6_qartod_flat_line_test:ioos_qc_config = \"{\\\"tolerance\\\": 0.001, "
        "\\\"suspect_threshold\\\": 10800, \\\"fail_threshold\\\": 21600}\" ;",
        "\t\tCan_Humidity_qartod_aggregate:standard_name = \"aggregate_quality_flag\" ;",
        "\tstring station_id(station) ;", "\t\tstation_id:cf_role = \"timeseries_id\" ;",
        "\tdouble latitude(station) ;", "\t\tlatitude:coverage_content_type = \"coordinate\" ;",
        "\tdouble depth ;", "\t\t:Conventions = \"CF-1.10, ACDD-1.3, IOOS-1.2\" ;",
        "\t\t:featureType = \"timeSeries\" ;", "\t\t:geospatial_bounds = \"POINT (36.75 -122.03)\" ;",
        "\t\t:time_coverage_resolution = \"PT2H59M59S\" ;",
        "\t\t:standard_name_vocabulary = \"CF Standard Name Table v84\" ;"})
    EXPECT_NE(header.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << header;
  // Every variable says what it holds: a declaration line ("\tTYPE NAME(...) ;")
  // has its NAME:coverage_content_type.
  size_t variables = 0, described = 0;
  size_t from = header.find("variables:");
  std::istringstream lines(header.substr(from, header.find("// global attributes:") - from));
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 2 || line[0] != '\t' || line[1] == '\t' || line.find(' ') == std::string::npos)
      continue;
    size_t start = line.find(' ') + 1;
    std::string name = line.substr(start, line.find_first_of("( ", start) - start);
    ++variables;
    described += header.find("\t\t" + name + ":coverage_content_type = ") != std::string::npos;
  }
  EXPECT_EQ(described, variables);
  EXPECT_GT(variables, 250u);
}

#endif

}  // namespace
