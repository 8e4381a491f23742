#include "dataset.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <unordered_map>
#include <utility>

#include "format.hpp"

namespace hexlog {

void Stats::put(const Record& record) {
  if (records == 0 || record.time < firstTime)
    firstTime = record.time;
  if (records == 0 || record.time > lastTime)
    lastTime = record.time;
  ++records;
  steps.add(record.time);
  for (uint32_t k = 0; k < record.count && k < kFieldCount; ++k) {
    float value;
    std::memcpy(&value, &record.words[k], sizeof value);
    if ((record.missing >> k & 1) != 0 || !std::isfinite(value))
      continue;
    Range& range = readings[k];
    if (!range.any || value < range.min)
      range.min = value;
    if (!range.any || value > range.max)
      range.max = value;
    range.any = true;
  }
}

double TimeSteps::median() const {
  uint64_t n = records > 0 ? records - 1 : 0;
  if (n == 0)
    return 0;
  // The step of index n / 2 from 0, and for an even n the one before it,
  // over the steps in increasing order: the negative ones, the short ones,
  // the long ones.
  uint64_t seen = 0;
  double lower = 0, found = 0;
  bool done = false;
  auto count = [&](int64_t step, uint64_t times) {
    if (done || times == 0)
      return;
    if (n % 2 == 0 && seen < n / 2 && seen + times >= n / 2)
      lower = static_cast<double>(step);
    if (seen + times > n / 2) {
      found = n % 2 != 0 ? static_cast<double>(step) : (lower + static_cast<double>(step)) / 2;
      done = true;
    }
    seen += times;
  };
  auto longs = long_.begin();
  for (; longs != long_.end() && longs->first < 0; ++longs)
    count(longs->first, longs->second);
  for (size_t step = 0; step < short_.size(); ++step)
    count(static_cast<int64_t>(step), short_[step]);
  for (; longs != long_.end(); ++longs)
    count(longs->first, longs->second);
  return found;
}

namespace {

Attribute textAttribute(const std::string& variable, const std::string& name, const std::string& value) {
  return Attribute{variable, name, ValueType::kString, 1, std::vector<char>(value.begin(), value.end()),
                   canonicalString(value)};
}

template <typename T>
void appendNumber(Attribute& attribute, T value, const char* suffix) {
  const char* bytes = reinterpret_cast<const char*>(&value);
  attribute.values.insert(attribute.values.end(), bytes, bytes + sizeof value);
  char text[40];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  if (!attribute.text.empty())
    attribute.text += ',';
  attribute.text.append(text, end).append(suffix);
  ++attribute.count;
}

Attribute floatPair(const std::string& variable, const std::string& name, float low, float high) {
  Attribute attribute{variable, name, ValueType::kFloat, 0, {}, ""};
  appendNumber(attribute, low, "f");
  appendNumber(attribute, high, "f");
  return attribute;
}

// An input's name in source_files, one to a line: percent-encoded where it
// must be, so that every name maps back to exactly its bytes and the text
// stays UTF-8 (urllib.parse.unquote_to_bytes decodes it).
//
//   day 1.log -> day 1.log     new<LF>line.log -> new%0Aline.log
//   50%.log   -> 50%25.log     caf<E9>.log     -> caf%E9.log  (Latin-1, not UTF-8)
std::string sourceName(const std::string& name) {
  std::string text;
  for (size_t at = 0; at < name.size();) {
    size_t valid = utf8Prefix(name.data() + at, name.size() - at);
    for (size_t end = at + valid; at < end; ++at) {
      char c = name[at];
      if (c == '%' || c == '\n' || c == '\r') {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
        text += escape;
      } else {
        text += c;
      }
    }
    if (at < name.size()) {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(name[at++]));
      text += escape;
    }
  }
  return text;
}


// Builds one variable's attributes: the tool's, each unless the user has
// the pair, then the user's.
// The user's attributes of each variable, in the file's order, found once.
using UserAttributes = std::unordered_map<std::string, std::vector<const Attribute*>>;

class Attributes {
 public:
  Attributes(const Metadata& metadata, const UserAttributes& users, std::string variable,
             std::vector<Attribute>& into)
      : metadata_(metadata), users_(users), variable_(std::move(variable)), into_(into) {}

  void add(Attribute attribute) {
    if (findAttribute(metadata_, variable_, attribute.name) == nullptr)
      into_.push_back(std::move(attribute));
  }
  void text(const char* name, const std::string& value) { add(textAttribute(variable_, name, value)); }
  void users() {
    auto found = users_.find(variable_);
    if (found != users_.end())
      for (const Attribute* attribute : found->second)
        into_.push_back(*attribute);
  }

 private:
  const Metadata& metadata_;
  const UserAttributes& users_;
  std::string variable_;
  std::vector<Attribute>& into_;
};

// A reading's gross range from valid_range, or valid_min and valid_max.
bool validRange(const Metadata& metadata, const std::string& variable, double& low, double& high) {
  std::vector<double> numbers;
  const Attribute* range = findAttribute(metadata, variable, "valid_range");
  if (range != nullptr && numbersOf(*range, numbers) && numbers.size() == 2) {
    low = numbers[0];
    high = numbers[1];
    return true;
  }
  const Attribute* min = findAttribute(metadata, variable, "valid_min");
  const Attribute* max = findAttribute(metadata, variable, "valid_max");
  if (min == nullptr && max == nullptr)
    return false;
  low = -HUGE_VAL;
  high = HUGE_VAL;
  if (min != nullptr && numbersOf(*min, numbers) && numbers.size() == 1)
    low = numbers[0];
  if (max != nullptr && numbersOf(*max, numbers) && numbers.size() == 1)
    high = numbers[0];
  return true;
}

}  // namespace

bool scalarNumber(const Metadata& metadata, const char* name, double& value) {
  for (const Attribute& attribute : metadata.attributes) {
    std::vector<double> numbers;
    if (attribute.variable == name && attribute.name == "*SCALAR*" && numbersOf(attribute, numbers)) {
      value = numbers[0];
      return true;
    }
  }
  return false;
}


std::vector<const Variable*> flagVariables(const Dataset& dataset) {
  std::vector<const Variable*> flags;
  for (const Variable& variable : dataset.variables)
    if (variable.series == Series::kQc)
      flags.push_back(&variable);
  return flags;
}

namespace {

// An ISO 8601 duration of whole days, hours, minutes and seconds (and a
// fraction of one): "P1DT2H3M4S", "PT20S", "PT0.5S".
std::string isoDuration(double seconds) {
  auto whole = static_cast<int64_t>(seconds);
  double fraction = seconds - static_cast<double>(whole);
  std::string text = "P";
  if (whole >= 86400)
    text += std::to_string(whole / 86400) + "D";
  whole %= 86400;
  if (whole == 0 && fraction == 0)
    return text.size() > 1 ? text : "PT0S";
  text += "T";
  if (whole >= 3600)
    text += std::to_string(whole / 3600) + "H";
  if (whole % 3600 >= 60)
    text += std::to_string(whole % 3600 / 60) + "M";
  if (whole % 60 != 0 || fraction != 0) {
    char number[32];
    double rest = static_cast<double>(whole % 60) + fraction;
    text.append(number, std::to_chars(number, number + sizeof number, rest).ptr).append("S");
  }
  return text;
}

// The words of a Conventions value: "CF-1.10, ACDD-1.3" -> CF-1.10, ACDD-1.3.
std::vector<std::string> conventionWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!word.empty())
        words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

Attribute byteList(const std::string& variable, const char* name, std::initializer_list<int8_t> list) {
  Attribute attribute{variable, name, ValueType::kByte, 0, {}, ""};
  for (int8_t value : list) {
    attribute.values.push_back(static_cast<char>(value));
    attribute.text += (attribute.count++ == 0 ? "" : ",") + std::to_string(value) + "b";
  }
  return attribute;
}

const char* const kFlagStandardNames[] = {"gross_range_test_quality_flag", "spike_test_quality_flag",
                                          "rate_of_change_test_quality_flag", "flat_line_test_quality_flag",
                                          "climatology_test_quality_flag", "location_test_quality_flag",
                                          "aggregate_quality_flag"};
const char* const kFlagWords[] = {"gross range", "spike", "rate of change", "flat line", "climatology", "location",
                                  "aggregate"};

// The arguments of one test of one reading, as ioos_qc_config: as given,
// or, where contexts give it differently, each context's window and
// arguments.
std::string qcArguments(const QcConfig& config, int reading, int test) {
  std::vector<std::pair<const QcContext*, std::string>> found;
  for (const QcContext& context : config.contexts)
    for (const QcStream& stream : context.streams)
      if (stream.reading == reading) {
        if (test == kQcTestKinds && stream.aggregate)
          found.emplace_back(&context, "{}");
        for (const QcTest& given : stream.tests)
          if (static_cast<int>(given.kind) == test)
            found.emplace_back(&context, given.json);
      }
  bool same = true;
  for (const auto& entry : found)
    same = same && entry.second == found[0].second && entry.first->hasFrom == found[0].first->hasFrom &&
           entry.first->hasTo == found[0].first->hasTo;
  if (found.size() == 1 || (same && !found[0].first->hasFrom && !found[0].first->hasTo))
    return found.empty() ? "{}" : found[0].second;
  std::string list = "[";
  for (const auto& [context, json] : found) {
    list += list.size() > 1 ? ", " : "";
    list += "{\"window\": {";
    if (context->hasFrom)
      list += "\"starting\": \"" + isoTime(context->from) + "\"";
    if (context->hasTo)
      list += std::string(context->hasFrom ? ", " : "") + "\"ending\": \"" + isoTime(context->to) + "\"";
    list += "}, \"args\": " + json + "}";
  }
  return list + "]";
}

}  // namespace

const char* const kStandardNameVocabulary = "CF Standard Name Table v84";

Dataset describeDataset(const Metadata& metadata, const Statistics& stats, double medianStep,
                        const DatasetSettings& settings) {
  Dataset dataset;
  bool any = stats.records > 0;
  UserAttributes users;
  const Attribute* userConventions = nullptr;
  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.variable == "*GLOBAL*" && attribute.name == "Conventions")
      userConventions = &attribute;
    else if (attribute.name != "*SCALAR*")
      users[attribute.variable].push_back(&attribute);
  }

  // The user's Conventions words follow the tool's own; IOOS-1.2 among
  // them makes the station a dimension of its own.
  std::string conventions = settings.netcdf ? "CF-1.10, ACDD-1.3" : "COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2";
  bool ioos = false;
  if (userConventions != nullptr) {
    std::vector<std::string> have = conventionWords(conventions);
    for (const std::string& word :
         conventionWords(std::string(userConventions->values.begin(), userConventions->values.end()))) {
      ioos = ioos || word == "IOOS-1.2";
      if (std::find(have.begin(), have.end(), word) == have.end()) {
        conventions += ", " + word;
        have.push_back(word);
      }
    }
  }
  // The station's own variables: its id (a cf_role) and position.
  std::vector<std::string> stationVariables;
  std::string stationId;
  for (const std::string& scalar : metadata.scalars) {
    bool role = findAttribute(metadata, scalar, "cf_role") != nullptr;
    if (role || scalar == "latitude" || scalar == "longitude")
      stationVariables.push_back(scalar);
    if (role && stationId.empty())
      stationId = scalar;
  }
  dataset.stationDimension = ioos && settings.netcdf && !stationVariables.empty();
  double latitude = 0, longitude = 0;
  bool located = scalarNumber(metadata, "latitude", latitude) && scalarNumber(metadata, "longitude", longitude);

  // The file's attributes.
  {
    Attributes globals(metadata, users, "*GLOBAL*", dataset.globals);
    dataset.globals.push_back(textAttribute("*GLOBAL*", "Conventions", conventions));
    if (any) {
      globals.text("time_coverage_start", isoTime(stats.firstTime));
      globals.text("time_coverage_end", isoTime(stats.lastTime));
      double duration = static_cast<double>(int64_t{stats.lastTime} - stats.firstTime);
      globals.text("time_coverage_duration", isoDuration(duration));
      if (stats.records > 1)
        globals.text("time_coverage_resolution", isoDuration(medianStep));
    }
    // A fixed station: its extent is its one position.
    const char* const kAxes[][3] = {{"latitude", "lat", "degrees_north"}, {"longitude", "lon", "degrees_east"}};
    for (const auto& axis : kAxes) {
      double position;
      if (!scalarNumber(metadata, axis[0], position))
        continue;
      Attribute value{"*GLOBAL*", "", ValueType::kDouble, 0, {}, ""};
      appendNumber(value, position, "d");
      for (const char* end : {"_min", "_max"}) {
        value.name = std::string("geospatial_") + axis[1] + end;
        globals.add(value);
      }
      globals.text((std::string("geospatial_") + axis[1] + "_units").c_str(), axis[2]);
    }
    if (located) {
      // WKT in EPSG:4326's axis order: latitude, then longitude.
      char lat[32], lon[32];
      std::string point = "POINT (" + std::string(lat, std::to_chars(lat, lat + sizeof lat, latitude).ptr) + " " +
                          std::string(lon, std::to_chars(lon, lon + sizeof lon, longitude).ptr) + ")";
      globals.text("geospatial_bounds", point);
      globals.text("geospatial_bounds_crs", "EPSG:4326");
    }
    std::string created = isoTime(settings.created);
    globals.text("date_created", created);
    globals.text("date_modified", created);
    globals.text("date_metadata_modified", created);
    globals.text("history", created + " " + settings.history);
    globals.text("standard_name_vocabulary", kStandardNameVocabulary);
    if (settings.provenance) {
      std::string names;
      for (size_t i = 0; i < settings.sources.size(); ++i)
        names += (i == 0 ? "" : "\n") + sourceName(settings.sources[i]);
      globals.text("source_files", names);
    }
    globals.users();
  }

  // The time.
  {
    Variable time{"time", Series::kTime, -1, settings.netcdf ? ValueType::kInt : ValueType::kString, {}, nullptr};
    Attributes attributes(metadata, users, time.name, time.attributes);
    attributes.text("standard_name", "time");
    attributes.text("long_name", "Time");
    if (settings.netcdf) {
      time.attributes.push_back(textAttribute("time", "units", "seconds since 1970-01-01T00:00:00Z"));
      attributes.text("calendar", "standard");
      attributes.text("axis", "T");
      if (any) {
        Attribute range{"time", "actual_range", ValueType::kInt, 0, {}, ""};
        // The records' times are 32 bits, and so is the variable.
        appendNumber(range, static_cast<int32_t>(stats.firstTime), "i");
        appendNumber(range, static_cast<int32_t>(stats.lastTime), "i");
        attributes.add(range);
      }
    } else {
      time.attributes.push_back(textAttribute("time", "units", "yyyy-MM-dd'T'HH:mm:ssZ"));
      if (any)
        attributes.text("actual_range", isoTime(stats.firstTime) + "\n" + isoTime(stats.lastTime));
    }
    attributes.text("units_metadata", "leap_seconds: none");
    attributes.text("coverage_content_type", "coordinate");
    attributes.users();
    dataset.variables.push_back(std::move(time));
  }

  // The readings, then the flags of those with a valid range, then the
  // QARTOD tests' flags.
  std::string coordinates = "time";
  for (const std::string& scalar : metadata.scalars)
    coordinates += " " + scalar;
  if (settings.provenance)
    coordinates += " source_file source_line";
  std::vector<Variable> rangeFlags, qartodFlags;
  for (int k = 0; k < kFieldCount; ++k) {
    Variable reading{columnName(k), Series::kReading, k, ValueType::kFloat, {}, nullptr};
    reading.perStation = dataset.stationDimension;
    Variable flag{reading.name + "_qc", Series::kQc, k, ValueType::kByte, {}, nullptr};
    flag.perStation = dataset.stationDimension;
    bool flagged = validRange(metadata, reading.name, flag.validMin, flag.validMax);
    // This reading's QARTOD tests, in the tests' order, and their aggregate.
    std::vector<int> tests;
    if (settings.qc != nullptr)
      for (int test = 0; test <= kQcTestKinds; ++test) {
        bool asked = false;
        for (const QcContext& context : settings.qc->contexts)
          for (const QcStream& stream : context.streams)
            if (stream.reading == k)
              for (const QcTest& given : stream.tests)
                asked = asked || static_cast<int>(given.kind) == test || (test == kQcTestKinds && stream.aggregate);
        if (asked)
          tests.push_back(test);
      }
    std::string ancillary = flagged ? flag.name : "";
    for (int test : tests)
      ancillary += (ancillary.empty() ? "" : " ") + reading.name + "_qartod_" +
                   (test == kQcTestKinds ? "aggregate" : qcTestName(static_cast<QcTestKind>(test)));

    Attributes attributes(metadata, users, reading.name, reading.attributes);
    attributes.text("long_name", longName(k));
    if (settings.netcdf) {
      Attribute fill{reading.name, "_FillValue", ValueType::kFloat, 0, {}, ""};
      float bits;
      std::memcpy(&bits, &kNetcdfFillBits, sizeof bits);
      appendNumber(fill, bits, "f");
      reading.attributes.push_back(fill);
      fill.name = "missing_value";
      attributes.add(fill);
      if (!metadata.scalars.empty() || settings.provenance)
        attributes.text("coordinates", coordinates);
    }
    attributes.text("coverage_content_type", "physicalMeasurement");
    if (ioos && !stationId.empty())
      attributes.text("platform", stationId);
    if (!ancillary.empty())
      attributes.text("ancillary_variables", ancillary);
    if (stats.readings[k].any)
      attributes.add(floatPair(reading.name, "actual_range", stats.readings[k].min, stats.readings[k].max));
    attributes.users();
    dataset.variables.push_back(std::move(reading));

    if (flagged) {
      Attributes flagAttributes(metadata, users, flag.name, flag.attributes);
      flagAttributes.text("long_name", std::string(longName(k)) + " quality flag (gross range)");
      flagAttributes.text("standard_name", kFlagStandardNames[0]);
      flagAttributes.add(byteList(flag.name, "flag_values", {1, 2, 3, 4, 9}));
      flagAttributes.text("flag_meanings", "pass not_evaluated suspect fail missing");
      flagAttributes.text("coverage_content_type", "qualityInformation");
      flagAttributes.users();
      rangeFlags.push_back(std::move(flag));
    }
    for (int test : tests) {
      std::string name = test == kQcTestKinds ? "aggregate" : qcTestName(static_cast<QcTestKind>(test));
      Variable qartod{columnName(k) + std::string("_qartod_") + name, Series::kQc, k, ValueType::kByte, {}, nullptr};
      qartod.qartod = test;
      qartod.perStation = dataset.stationDimension;
      Attributes qa(metadata, users, qartod.name, qartod.attributes);
      qa.text("standard_name", kFlagStandardNames[test]);
      qa.text("long_name", std::string(longName(k)) + " QARTOD " + kFlagWords[test] +
                               (test == kQcTestKinds ? " flag" : " test flag"));
      qa.add(byteList(qartod.name, "flag_values", {1, 2, 3, 4, 9}));
      qa.text("flag_meanings", "GOOD UNKNOWN SUSPECT FAIL MISSING");
      qa.add(byteList(qartod.name, "valid_min", {1}));
      qa.add(byteList(qartod.name, "valid_max", {9}));
      qa.text("ioos_qc_module", "qartod");
      qa.text("ioos_qc_test", name);
      qa.text("ioos_qc_target", columnName(k));
      qa.text("ioos_qc_config", qcArguments(*settings.qc, k, test));
      qa.text("references", "https://ioos.noaa.gov/project/qartod/");
      qa.text("coverage_content_type", "qualityInformation");
      qa.users();
      qartodFlags.push_back(std::move(qartod));
    }
  }
  for (Variable& flag : rangeFlags)
    dataset.variables.push_back(std::move(flag));
  for (Variable& flag : qartodFlags)
    dataset.variables.push_back(std::move(flag));

  if (settings.provenance) {
    Variable file{"source_file", Series::kSourceFile, -1, ValueType::kInt, {}, nullptr};
    Attributes fileAttributes(metadata, users, file.name, file.attributes);
    fileAttributes.text("long_name", "Input file the record came from (index into source_files, from 0)");
    fileAttributes.text("coverage_content_type", "auxiliaryInformation");
    fileAttributes.users();
    dataset.variables.push_back(std::move(file));
    Variable line{"source_line", Series::kSourceLine, -1, ValueType::kLong, {}, nullptr};
    Attributes lineAttributes(metadata, users, line.name, line.attributes);
    lineAttributes.text("long_name", "Line in the input file, from 1");
    lineAttributes.text("coverage_content_type", "auxiliaryInformation");
    lineAttributes.users();
    dataset.variables.push_back(std::move(line));
  }

  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.name != "*SCALAR*")
      continue;
    Variable scalar{attribute.variable, Series::kScalar, -1, attribute.type, {}, &attribute};
    scalar.perStation = dataset.stationDimension && std::find(stationVariables.begin(), stationVariables.end(),
                                                              scalar.name) != stationVariables.end();
    Attributes attributes(metadata, users, scalar.name, scalar.attributes);
    if (scalar.name == "latitude" || scalar.name == "longitude") {
      attributes.text("standard_name", scalar.name);
      attributes.text("long_name", scalar.name == "latitude" ? "Latitude" : "Longitude");
    }
    // Each scalar is in the readings' coordinates.
    attributes.text("coverage_content_type", "coordinate");
    attributes.users();
    dataset.variables.push_back(std::move(scalar));
  }
  return dataset;
}

}  // namespace hexlog
