#include "dataset.hpp"

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

// The user's string attribute, or "".
std::string userText(const Metadata& metadata, const std::string& variable, const char* name) {
  const Attribute* attribute = findAttribute(metadata, variable, name);
  if (attribute == nullptr || attribute->type != ValueType::kString)
    return "";
  return std::string(attribute->values.begin(), attribute->values.end());
}

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

// A scalar's one number, if it is a number.
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

}  // namespace

std::vector<const Variable*> flagVariables(const Dataset& dataset) {
  std::vector<const Variable*> flags;
  for (const Variable& variable : dataset.variables)
    if (variable.series == Series::kQc)
      flags.push_back(&variable);
  return flags;
}

Dataset describeDataset(const Metadata& metadata, const Stats& stats, const DatasetSettings& settings) {
  Dataset dataset;
  bool any = stats.records > 0;
  UserAttributes users;
  for (const Attribute& attribute : metadata.attributes)
    if (attribute.name != "*SCALAR*")
      users[attribute.variable].push_back(&attribute);

  // The file's attributes.
  {
    Attributes globals(metadata, users, "*GLOBAL*", dataset.globals);
    dataset.globals.push_back(textAttribute("*GLOBAL*", "Conventions",
                                            settings.netcdf ? "CF-1.10, ACDD-1.3"
                                                            : "COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2"));
    if (any) {
      globals.text("time_coverage_start", isoTime(stats.firstTime));
      globals.text("time_coverage_end", isoTime(stats.lastTime));
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
    std::string created = isoTime(settings.created);
    globals.text("date_created", created);
    globals.text("history", created + " " + settings.history);
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
    Variable time{"time", Series::kTime, -1, settings.netcdf ? ValueType::kInt : ValueType::kString, {}, nullptr, 0, 0};
    Attributes attributes(metadata, users, time.name, time.attributes);
    attributes.text("standard_name", "time");
    attributes.text("long_name", "Time");
    if (settings.netcdf) {
      time.attributes.push_back(textAttribute("time", "units", "seconds since 1970-01-01T00:00:00Z"));
      attributes.text("calendar", "standard");
      attributes.text("axis", "T");
      if (any) {
        Attribute range{"time", "actual_range", ValueType::kInt, 0, {}, ""};
        appendNumber(range, stats.firstTime, "i");
        appendNumber(range, stats.lastTime, "i");
        attributes.add(range);
      }
    } else {
      time.attributes.push_back(textAttribute("time", "units", "yyyy-MM-dd'T'HH:mm:ssZ"));
      if (any)
        attributes.text("actual_range", isoTime(stats.firstTime) + "\n" + isoTime(stats.lastTime));
    }
    attributes.users();
    dataset.variables.push_back(std::move(time));
  }

  // The readings, and the flags of those with a valid range.
  std::string coordinates = "time";
  for (const std::string& scalar : metadata.scalars)
    coordinates += " " + scalar;
  std::vector<Variable> flags;
  for (int k = 0; k < kFieldCount; ++k) {
    Variable reading{columnName(k), Series::kReading, k, ValueType::kFloat, {}, nullptr, 0, 0};
    Variable flag{reading.name + "_qc", Series::kQc, k, ValueType::kByte, {}, nullptr, 0, 0};
    bool flagged = validRange(metadata, reading.name, flag.validMin, flag.validMax);
    Attributes attributes(metadata, users, reading.name, reading.attributes);
    attributes.text("long_name", longName(k));
    if (settings.netcdf) {
      Attribute fill{reading.name, "_FillValue", ValueType::kFloat, 0, {}, ""};
      float bits;
      std::memcpy(&bits, &kNetcdfFillBits, sizeof bits);
      appendNumber(fill, bits, "f");
      reading.attributes.push_back(fill);
      if (!metadata.scalars.empty())
        attributes.text("coordinates", coordinates);
    }
    if (flagged)
      attributes.text("ancillary_variables", flag.name);
    if (stats.readings[k].any)
      attributes.add(floatPair(reading.name, "actual_range", stats.readings[k].min, stats.readings[k].max));
    attributes.users();
    dataset.variables.push_back(std::move(reading));

    if (flagged) {
      Attributes flagAttributes(metadata, users, flag.name, flag.attributes);
      flagAttributes.text("long_name", std::string(longName(k)) + " quality flag (gross range)");
      std::string standardName = userText(metadata, columnName(k), "standard_name");
      if (!standardName.empty())
        flagAttributes.text("standard_name", standardName + " status_flag");
      Attribute values{flag.name, "flag_values", ValueType::kByte, 0, {}, ""};
      for (int8_t value : {int8_t{1}, int8_t{2}, int8_t{3}, int8_t{4}, int8_t{9}}) {
        values.values.push_back(static_cast<char>(value));
        values.text += (values.count++ == 0 ? "" : ",") + std::to_string(value) + "b";
      }
      flagAttributes.add(values);
      flagAttributes.text("flag_meanings", "pass not_evaluated suspect fail missing");
      flags.push_back(std::move(flag));
    }
  }
  for (Variable& flag : flags)
    dataset.variables.push_back(std::move(flag));

  if (settings.provenance) {
    Variable file{"source_file", Series::kSourceFile, -1, ValueType::kInt, {}, nullptr, 0, 0};
    Attributes(metadata, users, file.name, file.attributes)
        .text("long_name", "Input file the record came from (index into source_files, from 0)");
    dataset.variables.push_back(std::move(file));
    Variable line{"source_line", Series::kSourceLine, -1, ValueType::kLong, {}, nullptr, 0, 0};
    Attributes(metadata, users, line.name, line.attributes).text("long_name", "Line in the input file, from 1");
    dataset.variables.push_back(std::move(line));
  }

  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.name != "*SCALAR*")
      continue;
    Variable scalar{attribute.variable, Series::kScalar, -1, attribute.type, {}, &attribute, 0, 0};
    Attributes(metadata, users, scalar.name, scalar.attributes).users();
    dataset.variables.push_back(std::move(scalar));
  }
  return dataset;
}

}  // namespace hexlog
