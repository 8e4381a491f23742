#include "qc_config.hpp"

#include "hexlog/hexlog.hpp"

#ifndef HEXLOG_QC

namespace hexlog {

bool readQcConfig(const char*, QcConfig& config, std::string& error) {
  config = QcConfig();
  error = "this build reads no QC configurations (the YAML library, Debian libyaml-cpp-dev, was not found when it "
          "was built)";
  return false;
}

}  // namespace hexlog

#else

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "names.hpp"

namespace hexlog {

namespace {

// What a configuration can say wrong, by where it says it.
struct Fault {
  int line;
  std::string text;
};

[[noreturn]] void refuse(const YAML::Node& node, const char* format, ...) __attribute__((format(printf, 2, 3)));
void refuse(const YAML::Node& node, const char* format, ...) {
  va_list values;
  va_start(values, format);
  char text[512];
  std::vsnprintf(text, sizeof text, format, values);
  va_end(values);
  throw Fault{node.Mark().is_null() ? 0 : node.Mark().line + 1, text};
}

int lineOf(const YAML::Node& node) {
  return node.Mark().is_null() ? 0 : node.Mark().line + 1;
}

std::string keyOf(const YAML::Node& key) {
  return key.IsScalar() ? key.Scalar() : std::string("?");
}

// A finite number, as the argument `name` must be.
double number(const YAML::Node& node, const char* name) {
  double value = 0;
  if (!node.IsScalar() || !YAML::convert<double>::decode(node, value) || !std::isfinite(value))
    refuse(node, "%s is a number, not '%s'", name, node.IsScalar() ? node.Scalar().c_str() : "a list or a map");
  return value;
}

// [low, high], in either order: sorted.
QcSpan span(const YAML::Node& node, const char* name) {
  if (!node.IsSequence() || node.size() != 2)
    refuse(node, "%s is two numbers, [low, high]", name);
  double a = number(node[0], name), b = number(node[1], name);
  return QcSpan{std::min(a, b), std::max(a, b)};
}

// A time as --from and --to take it: ISO 8601 in UTC, or @SECONDS.
int64_t time(const YAML::Node& node, const char* name) {
  int64_t seconds = 0;
  if (!node.IsScalar() || !parseTime(node.Scalar(), seconds))
    refuse(node, "%s is a time: 2026-06-14, 2026-06-14T06:00:00Z or @SECONDS (UTC)", name);
  return seconds;
}

// The node as JSON: the test's arguments as the file gave them, for the
// flag variable's ioos_qc_config.
void toJson(const YAML::Node& node, std::string& json) {
  if (node.IsMap()) {
    json += '{';
    bool first = true;
    for (const auto& entry : node) {
      json += first ? "" : ", ";
      first = false;
      json += '"' + keyOf(entry.first) + "\": ";
      toJson(entry.second, json);
    }
    json += '}';
  } else if (node.IsSequence()) {
    json += '[';
    for (size_t i = 0; i < node.size(); ++i) {
      json += i == 0 ? "" : ", ";
      toJson(node[i], json);
    }
    json += ']';
  } else if (node.IsNull()) {
    json += "null";
  } else {
    const std::string& text = node.Scalar();
    double value;
    bool truth;
    if (node.Tag() != "!" && YAML::convert<double>::decode(node, value) && std::isfinite(value)) {
      char digits[32];
      json.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    } else if (node.Tag() != "!" && YAML::convert<bool>::decode(node, truth)) {
      json += truth ? "true" : "false";
    } else {
      json += '"';
      for (char c : text)
        json += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
      json += '"';
    }
  }
}

// The map's entries, each of a known key: what a test takes, and no more.
void onlyKeys(const YAML::Node& map, const char* test, std::initializer_list<const char*> known) {
  if (!map.IsMap() && !map.IsNull())
    refuse(map, "%s takes its arguments as a map (name: value)", test);
  for (const auto& entry : map) {
    std::string key = keyOf(entry.first);
    if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
      std::string list;
      for (const char* k : known)
        list += std::string(list.empty() ? "" : ", ") + k;
      refuse(entry.first, "%s takes no '%s'%s%s", test, key.c_str(), list.empty() ? "" : "; it takes ",
             list.c_str());
    }
  }
}

const YAML::Node required(const YAML::Node& map, const YAML::Node& at, const char* test, const char* name) {
  if (!map.IsMap() || !map[name])
    refuse(at, "%s needs %s", test, name);
  return map[name];
}

QcPeriod periodOf(const YAML::Node& node) {
  static const std::pair<const char*, QcPeriod> kPeriods[] = {
      {"year", QcPeriod::kYear},           {"quarter", QcPeriod::kQuarter},     {"month", QcPeriod::kMonth},
      {"week", QcPeriod::kWeek},           {"weekofyear", QcPeriod::kWeek},     {"dayofyear", QcPeriod::kDayOfYear},
      {"day", QcPeriod::kDay},             {"dayofweek", QcPeriod::kDayOfWeek}, {"hour", QcPeriod::kHour},
      {"minute", QcPeriod::kMinute},       {"second", QcPeriod::kSecond}};
  if (node.IsScalar())
    for (const auto& [name, period] : kPeriods)
      if (node.Scalar() == name)
        return period;
  refuse(node, "period is one of year, quarter, month, week, dayofyear, day, dayofweek, hour, minute, second");
}

// Whether an optional argument is given: a null one is not.
bool given(const YAML::Node& args, const char* name) {
  return args[name] && !args[name].IsNull();
}

QcTest readTest(const std::string& name, const YAML::Node& key, const YAML::Node& args) {
  QcTest test{};
  test.line = lineOf(key);
  toJson(args, test.json);
  if (name == "gross_range_test") {
    test.kind = QcTestKind::kGrossRange;
    onlyKeys(args, "gross_range_test", {"fail_span", "suspect_span"});
    test.fail = span(required(args, key, "gross_range_test", "fail_span"), "fail_span");
    if (given(args, "suspect_span")) {
      test.hasSuspect = true;
      test.suspect = span(args["suspect_span"], "suspect_span");
      if (test.suspect.low < test.fail.low || test.suspect.high > test.fail.high)
        refuse(args["suspect_span"], "the suspect span [%g, %g] lies outside the fail span [%g, %g]",
               test.suspect.low, test.suspect.high, test.fail.low, test.fail.high);
    }
  } else if (name == "spike_test") {
    test.kind = QcTestKind::kSpike;
    onlyKeys(args, "spike_test", {"suspect_threshold", "fail_threshold", "method"});
    if (given(args, "suspect_threshold"))
      test.suspectThreshold = number(args["suspect_threshold"], "suspect_threshold");
    if (given(args, "fail_threshold"))
      test.failThreshold = number(args["fail_threshold"], "fail_threshold");
    if (args["method"]) {
      const YAML::Node method = args["method"];
      if (!method.IsScalar() || (method.Scalar() != "average" && method.Scalar() != "differential"))
        refuse(method, "method is average or differential");
      test.differential = method.Scalar() == "differential";
    }
  } else if (name == "rate_of_change_test") {
    test.kind = QcTestKind::kRateOfChange;
    onlyKeys(args, "rate_of_change_test", {"threshold", "fail_threshold"});
    test.suspectThreshold = number(required(args, key, "rate_of_change_test", "threshold"), "threshold");
    if (given(args, "fail_threshold")) {
      test.hasFailThreshold = true;
      test.failThreshold = number(args["fail_threshold"], "fail_threshold");
    }
  } else if (name == "flat_line_test") {
    test.kind = QcTestKind::kFlatLine;
    onlyKeys(args, "flat_line_test", {"tolerance", "suspect_threshold", "fail_threshold"});
    if (args["tolerance"])
      test.tolerance = number(args["tolerance"], "tolerance");
    test.suspectSeconds =
        number(required(args, key, "flat_line_test", "suspect_threshold"), "suspect_threshold (seconds)");
    test.failSeconds = number(required(args, key, "flat_line_test", "fail_threshold"), "fail_threshold (seconds)");
    if (test.suspectSeconds < 0 || test.failSeconds < 0)
      refuse(key, "flat_line_test's thresholds are seconds, not below 0");
  } else if (name == "climatology_test") {
    test.kind = QcTestKind::kClimatology;
    onlyKeys(args, "climatology_test", {"config"});
    const YAML::Node members = required(args, key, "climatology_test", "config");
    if (!members.IsSequence() || members.size() == 0)
      refuse(members, "climatology_test's config is a list of members {tspan, vspan, fspan, period}");
    for (const YAML::Node& entry : members) {
      onlyKeys(entry, "a climatology member", {"tspan", "vspan", "fspan", "period", "zspan"});
      if (entry["zspan"])
        refuse(entry["zspan"], "zspan: these records have no depth");
      QcClimatologyMember member;
      if (entry["period"])
        member.period = periodOf(entry["period"]);
      const YAML::Node tspan = required(entry, entry, "a climatology member", "tspan");
      if (member.period == QcPeriod::kTime) {
        if (!tspan.IsSequence() || tspan.size() != 2)
          refuse(tspan, "tspan is two times, [start, end]");
        member.time = QcSpan{static_cast<double>(time(tspan[0], "tspan")),
                             static_cast<double>(time(tspan[1], "tspan"))};
        if (member.time.low > member.time.high)
          std::swap(member.time.low, member.time.high);
      } else {
        member.time = span(tspan, "tspan (in the period's unit)");
      }
      member.valid = span(required(entry, entry, "a climatology member", "vspan"), "vspan");
      if (entry["fspan"] && !entry["fspan"].IsNull()) {
        member.hasFail = true;
        member.fail = span(entry["fspan"], "fspan");
      }
      test.members.push_back(member);
    }
  } else if (name == "location_test") {
    test.kind = QcTestKind::kLocation;
    onlyKeys(args, "location_test", {"bbox", "range_max"});
    const YAML::Node box = required(args, key, "location_test", "bbox");
    if (!box.IsSequence() || box.size() != 4)
      refuse(box, "bbox is four numbers: [lon_min, lat_min, lon_max, lat_max]");
    for (size_t i = 0; i < 4; ++i)
      test.box[i] = number(box[i], "bbox");
    if (given(args, "range_max")) {
      test.hasRangeMax = true;
      test.rangeMax = number(args["range_max"], "range_max");
    }
  } else {
    refuse(key, "unknown test '%s': the tests are gross_range_test, spike_test, rate_of_change_test, "
                "flat_line_test, climatology_test, location_test and aggregate",
           name.c_str());
  }
  return test;
}

int readingOf(const YAML::Node& key) {
  std::string name = keyOf(key);
  for (int k = 0; k < kFieldCount; ++k)
    if (name == columnName(k))
      return k;
  refuse(key, "unknown reading '%s': a stream is a reading's column name, such as Durafet_pH_1", name.c_str());
}

std::vector<QcStream> readStreams(const YAML::Node& streams, const YAML::Node& at) {
  if (!streams.IsMap() || streams.size() == 0)
    refuse(streams ? streams : at, "streams is a map of readings' column names to their tests");
  std::vector<QcStream> read;
  for (const auto& entry : streams) {
    QcStream stream;
    stream.reading = readingOf(entry.first);
    stream.line = lineOf(entry.first);
    const YAML::Node& modules = entry.second;
    onlyKeys(modules, "a stream", {"qartod"});
    if (!modules.IsMap() || !modules["qartod"])
      refuse(entry.first, "%s has no qartod tests", keyOf(entry.first).c_str());
    const YAML::Node tests = modules["qartod"];
    if (!tests.IsMap())
      refuse(tests, "qartod is a map of tests to their arguments");
    for (const auto& named : tests) {
      std::string name = keyOf(named.first);
      if (name == "aggregate") {
        stream.aggregate = true;
        continue;
      }
      for (const QcTest& known : stream.tests)
        if (qcTestName(known.kind) == name)
          refuse(named.first, "%s twice for %s", name.c_str(), keyOf(entry.first).c_str());
      stream.tests.push_back(readTest(name, named.first, named.second));
    }
    for (const QcStream& earlier : read)
      if (earlier.reading == stream.reading)
        refuse(entry.first, "%s twice", keyOf(entry.first).c_str());
    read.push_back(std::move(stream));
  }
  return read;
}

}  // namespace

bool readQcConfig(const char* path, QcConfig& config, std::string& error) {
  config = QcConfig();
  config.path = path;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = std::string("cannot read QC configuration ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  try {
    YAML::Node root = YAML::Load(text.str());
    if (!root.IsMap())
      refuse(root, "a QC configuration is a map with streams, or contexts");
    onlyKeys(root, "a QC configuration", {"streams", "contexts"});
    if (root["streams"]) {
      QcContext context;
      context.streams = readStreams(root["streams"], root);
      config.contexts.push_back(std::move(context));
    }
    if (root["contexts"]) {
      const YAML::Node contexts = root["contexts"];
      if (!contexts.IsSequence())
        refuse(contexts, "contexts is a list of {window, streams}");
      for (const YAML::Node& entry : contexts) {
        onlyKeys(entry, "a context", {"window", "streams"});
        QcContext context;
        if (const YAML::Node window = entry["window"]) {
          onlyKeys(window, "a window", {"starting", "ending"});
          if (window["starting"] && !window["starting"].IsNull()) {
            context.hasFrom = true;
            context.from = time(window["starting"], "starting");
          }
          if (window["ending"] && !window["ending"].IsNull()) {
            context.hasTo = true;
            context.to = time(window["ending"], "ending");
          }
          if (context.hasFrom && context.hasTo && context.from >= context.to)
            refuse(window, "the window's starting is not before its ending");
        }
        context.streams = readStreams(entry["streams"], entry);
        config.contexts.push_back(std::move(context));
      }
    }
    if (config.contexts.empty())
      refuse(root, "no streams: nothing to test");
  } catch (const Fault& fault) {
    error = std::string(path) + ":" + std::to_string(fault.line) + ": " + fault.text;
    return false;
  } catch (const YAML::Exception& exception) {
    error = std::string(path) + ":" + std::to_string(exception.mark.line + 1) + ": " + exception.msg;
    return false;
  }
  return true;
}

}  // namespace hexlog

#endif

namespace hexlog {

const char* qcTestName(QcTestKind kind) {
  switch (kind) {
    case QcTestKind::kGrossRange: return "gross_range_test";
    case QcTestKind::kSpike: return "spike_test";
    case QcTestKind::kRateOfChange: return "rate_of_change_test";
    case QcTestKind::kFlatLine: return "flat_line_test";
    case QcTestKind::kClimatology: return "climatology_test";
    case QcTestKind::kLocation: return "location_test";
  }
  return "";
}

}  // namespace hexlog
