// The dataset's description as a whole, for the example station with and
// without the IOOS profile, with and without provenance and the example's
// QARTOD tests: what ties its variables together holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dataset.hpp"
#include "folder.hpp"
#include "metadata.hpp"
#include "qc_config.hpp"

using namespace hexlog;

namespace {

class DatasetTest : public FolderTest {};

const Attribute* attributeOf(const Variable& variable, const std::string& name) {
  for (const Attribute& attribute : variable.attributes)
    if (attribute.name == name)
      return &attribute;
  return nullptr;
}

std::string textOf(const Attribute* attribute) {
  return attribute == nullptr ? "" : std::string(attribute->values.begin(), attribute->values.end());
}

std::vector<std::string> words(const std::string& text, char separator) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, separator);)
    if (!word.empty())
      found.push_back(word.substr(word.find_first_not_of(' ')));
  return found;
}

TEST_F(DatasetTest, ItsVariablesHangTogether) {
  std::ifstream example(HEXLOG_SOURCE_DIR "/examples/station.meta");
  std::string ioos((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>()), plain;
  for (const std::string& line : words(ioos, '\n'))
    if (line.find("Conventions") == std::string::npos)
      plain += line + "\n";
  QcConfig qc;
  std::string error;
#ifdef HEXLOG_QC
  ASSERT_TRUE(readQcConfig(HEXLOG_SOURCE_DIR "/examples/qc.yaml", qc, error)) << error;
#endif
  Stats stats;
  stats.records = 2;
  for (const std::string& meta : {ioos, plain})
    for (bool provenance : {false, true})
      for (bool tested : {false, true}) {
        Metadata metadata;
        ASSERT_TRUE(readMetadata(file("station.meta", meta).c_str(), metadata, error)) << error;
        DatasetSettings settings;
        settings.provenance = provenance;
        settings.qc = tested ? &qc : nullptr;
        Dataset dataset = describeDataset(metadata, stats, stats.steps.median(), settings);
        SCOPED_TRACE((meta == ioos ? "IOOS" : "plain") + std::string(provenance ? " provenance" : "") +
                     (tested ? " qc" : ""));

        std::vector<std::string> conventions;
        for (const Attribute& global : dataset.globals)
          if (global.name == "Conventions")
            conventions = words(std::string(global.values.begin(), global.values.end()), ',');
        ASSERT_GE(conventions.size(), 2u);
        EXPECT_EQ(conventions[0], "CF-1.10");
        EXPECT_EQ(std::set<std::string>(conventions.begin(), conventions.end()).size(), conventions.size());
        bool station = std::count(conventions.begin(), conventions.end(), "IOOS-1.2") == 1;
        EXPECT_EQ(station, meta == ioos);
        EXPECT_EQ(dataset.stationDimension, station);

        std::set<std::string> names;
        for (const Variable& variable : dataset.variables) {
          EXPECT_TRUE(names.insert(variable.name).second) << variable.name << " twice";
          EXPECT_NE(attributeOf(variable, "coverage_content_type"), nullptr) << variable.name;
          bool overStation = variable.series == Series::kReading || variable.series == Series::kQc ||
                             variable.name == "station_id" || variable.name == "latitude" ||
                             variable.name == "longitude";
          EXPECT_EQ(variable.perStation, station && overStation) << variable.name;
        }
        size_t flags = 0;
        for (const Variable& reading : dataset.variables) {
          if (reading.series != Series::kReading)
            continue;
          // Its flags, and no other variable, in its ancillary_variables.
          std::vector<std::string> own;
          for (const Variable& flag : dataset.variables)
            if (flag.series == Series::kQc && flag.reading == reading.reading) {
              own.push_back(flag.name);
              if (flag.qartod >= 0) {
                EXPECT_EQ(textOf(attributeOf(flag, "ioos_qc_target")), reading.name);
                EXPECT_EQ(flag.name, reading.name + "_qartod_" + textOf(attributeOf(flag, "ioos_qc_test")));
              }
            }
          flags += own.size();
          EXPECT_EQ(words(textOf(attributeOf(reading, "ancillary_variables")), ' '), own) << reading.name;
          const Attribute* fill = attributeOf(reading, "_FillValue");
          const Attribute* missing = attributeOf(reading, "missing_value");
          ASSERT_TRUE(fill != nullptr && missing != nullptr) << reading.name;
          EXPECT_EQ(fill->values, missing->values) << reading.name;
          std::vector<std::string> coordinates = words(textOf(attributeOf(reading, "coordinates")), ' ');
          EXPECT_EQ(std::count(coordinates.begin(), coordinates.end(), "source_line"), provenance ? 1 : 0);
          EXPECT_EQ(station, textOf(attributeOf(reading, "platform")) == "station_id") << reading.name;
        }
        EXPECT_EQ(flags, flagVariables(dataset).size());
#ifdef HEXLOG_QC
        EXPECT_EQ(flags, 1u + (tested ? 32u * 7u : 0u)) << "the example's valid range, and seven tests a reading";
#endif
      }
}

}  // namespace
