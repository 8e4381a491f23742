#include "html.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "calendar.hpp"
#include "format.hpp"
#include "metadata.hpp"
#include "names.hpp"

namespace hexlog {

namespace {

// A panel in the page's units, which are CSS pixels at its own width:
//
//   |<- kLeft ->|<------------ kHtmlColumns ------------>|<- kRight ->|
//   y labels     plot: one pixel column per M4 column
//                time labels, two lines, in kBottom
constexpr int kLeft = 64;
constexpr int kRight = 12;
constexpr int kTop = 10;
constexpr int kHeight = 180;
constexpr int kBottom = 36;
constexpr int kWidth = kLeft + static_cast<int>(kHtmlColumns) + kRight;

// The lines' colours: told apart by eye and in print, and none of them
// the orange or red of the flags' markers.
const char* const kColours[] = {"#1f77b4", "#2ca02c", "#9467bd", "#8c564b",
                                "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
constexpr size_t kColourCount = sizeof kColours / sizeof kColours[0];

constexpr int kGroups = 6;
const char* const kGroupTitles[kGroups] = {"pCO2", "Temperatures", "Pressures", "Humidities", "Durafet pH",
                                           "Other readings"};
const char* const kGroupIds[kGroups] = {"pco2", "temperature", "pressure", "humidity", "ph", "other"};

// Reading k's panel, by its column name.
int groupOf(int k) {
  const char* name = columnName(k);
  size_t length = std::strlen(name);
  auto endsWith = [&](const char* suffix) {
    size_t n = std::strlen(suffix);
    return length >= n && std::strcmp(name + length - n, suffix) == 0;
  };
  if (endsWith("_pCO2"))
    return 0;
  if (endsWith("_Temp"))
    return 1;
  if (endsWith("_Pressure"))
    return 2;
  if (endsWith("_Humidity"))
    return 3;
  if (std::strncmp(name, "Durafet_pH_", 11) == 0)
    return 4;
  return 5;
}

// Any bytes as HTML text, in content and quoted attributes alike: the
// characters HTML reads specially as references, and each byte that is not
// UTF-8 and each control character as U+FFFD, so that a file name of any
// bytes shows as text and cannot end the markup around it.
std::string escaped(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string html;
  for (size_t at = 0; at < text.size();) {
    size_t valid = utf8Prefix(text.data() + at, text.size() - at);
    for (size_t end = at + valid; at < end; ++at) {
      char c = text[at];
      switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default:
          if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            html += kReplacement;
          else
            html += c;
      }
    }
    if (at < text.size()) {
      html += kReplacement;
      ++at;
    }
  }
  return html;
}

std::string number(const char* format, double value) {
  char text[64];
  int n = std::snprintf(text, sizeof text, format, value);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

void appendCount(std::string& to, uint64_t n) {
  char text[24];
  to.append(text, formatCount(text, n));
}

// ---- The time axis -------------------------------------------------------------

// Steps of the UTC clock and calendar, the shortest first: seconds to
// days and weeks (from Monday), then months and years.
struct Step {
  char unit;  // 's' seconds, 'm' months, 'y' years
  int64_t size;
};
const Step kSteps[] = {{'s', 1},     {'s', 2},     {'s', 5},      {'s', 10},     {'s', 15},    {'s', 30},
                       {'s', 60},    {'s', 120},   {'s', 300},    {'s', 600},    {'s', 900},   {'s', 1800},
                       {'s', 3600},  {'s', 7200},  {'s', 10800},  {'s', 21600},  {'s', 43200}, {'s', 86400},
                       {'s', 172800}, {'s', 604800}, {'m', 1},    {'m', 2},      {'m', 3},     {'m', 6},
                       {'y', 1},     {'y', 2},     {'y', 5},      {'y', 10},     {'y', 20},    {'y', 50},
                       {'y', 100},   {'y', 200}};
// Labels of ten characters fit many more, but a quick look reads best with few.
constexpr int64_t kMaxTickSteps = 8;

struct Tick {
  int64_t time;
  std::string label;  // the first line
  std::string under;  // the second: the date or year, where it changes
};

int64_t floorDiv(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

std::vector<Tick> timeTicks(int64_t first, int64_t last) {
  int64_t span = last - first;
  const Step* step = kSteps;
  for (const Step& s : kSteps) {
    step = &s;
    // A month and a year of the Gregorian calendar on average.
    double unit = s.unit == 's' ? 1.0 : s.unit == 'm' ? 2629746.0 : 31556952.0;
    double seconds = unit * static_cast<double>(s.size);
    if (static_cast<double>(span) / seconds <= kMaxTickSteps)
      break;
  }
  std::vector<int64_t> times;
  if (step->unit == 's') {
    int64_t offset = step->size == 604800 ? 4 * 86400 : 0;  // 1970-01-05 was a Monday
    for (int64_t t = offset + (floorDiv(first - offset - 1, step->size) + 1) * step->size; t <= last; t += step->size)
      times.push_back(t);
  } else {
    CivilTime civil = civilTime(first);
    int64_t months = step->unit == 'm' ? step->size : 12 * step->size;
    int64_t index = civil.year * 12 + civil.month - 1;
    for (index -= index % months;; index += months) {
      int64_t t = daysFromCivil(index / 12, static_cast<unsigned>(index % 12 + 1), 1) * 86400;
      if (t > last)
        break;
      if (t >= first)
        times.push_back(t);
    }
  }
  std::vector<Tick> ticks;
  std::string before;
  for (int64_t t : times) {
    std::string iso = isoTime(t);  // 2026-06-14T06:00:00Z
    Tick tick{t, "", ""};
    std::string context;
    if (step->unit == 'y') {
      tick.label = iso.substr(0, 4);
    } else if (step->unit == 'm') {
      tick.label = iso.substr(0, 7);
    } else if (step->size >= 86400) {
      tick.label = iso.substr(5, 5);
      context = iso.substr(0, 4);
    } else {
      tick.label = iso.substr(11, step->size < 60 ? 8 : 5);
      context = iso.substr(0, 10);
    }
    if (context != before)
      tick.under = context;
    before = context;
    ticks.push_back(std::move(tick));
  }
  return ticks;
}

// ---- The value axis --------------------------------------------------------------

// A panel's values from lo to hi, the readings' range and a little
// room, ticked on the multiples of step (1, 2 or 5 times a power of ten)
// between: about five ticks.
struct Scale {
  double lo;
  double hi;
  double step;
};

Scale valueScale(double min, double max) {
  if (!(max > min)) {
    double margin = min != 0 ? std::fabs(min) * 0.01 : 1;
    min -= margin;
    max += margin;
  }
  double room = (max - min) * 0.04;
  min -= room;
  max += room;
  double raw = (max - min) / 5;
  double power = std::pow(10, std::floor(std::log10(raw)));
  double m = raw / power;
  return {min, max, power * (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10)};
}

std::string valueLabel(double value, const Scale& scale) {
  if (std::fabs(value) < scale.step / 2)
    value = 0;  // never "-0"
  double largest = std::max(std::fabs(scale.lo), std::fabs(scale.hi));
  // The fewest digits that tell one tick from the next: the step's
  // decimals, or as many significant digits as the largest label needs
  // above the step's, where fixed decimals would run long.
  int decimals = static_cast<int>(std::max(0.0, -std::floor(std::log10(scale.step) + 1e-9)));
  char format[16];
  if (decimals <= 4 && largest < 1e7) {
    std::snprintf(format, sizeof format, "%%.%df", decimals);
  } else {
    int digits = static_cast<int>(std::floor(std::log10(largest)) - std::floor(std::log10(scale.step) + 1e-9)) + 1;
    std::snprintf(format, sizeof format, "%%.%dg", std::clamp(digits, 1, 9));
  }
  return number(format, value);
}

// A median step as people say it: "20 s", "10 min", "1.5 h", "2 d".
std::string stepText(double seconds) {
  if (seconds < 120)
    return number("%.3g s", seconds);
  if (seconds < 7200)
    return number("%.3g min", seconds / 60);
  if (seconds < 172800)
    return number("%.3g h", seconds / 3600);
  return number("%.3g d", seconds / 86400);
}

// "2026-06-14 00:00:20", UTC.
std::string shownTime(int64_t seconds) {
  std::string iso = isoTime(seconds);
  return iso.substr(0, 10) + " " + iso.substr(11, 8);
}

const Attribute* attributeOf(const std::vector<Attribute>& attributes, const char* name) {
  for (const Attribute& attribute : attributes)
    if (attribute.name == name)
      return &attribute;
  return nullptr;
}

std::string textOf(const Attribute& attribute) {
  return attribute.type == ValueType::kString ? std::string(attribute.values.begin(), attribute.values.end())
                                              : attribute.text;
}

const char kStyle[] =
    "body{font:14px/1.4 system-ui,sans-serif;color:#222;max-width:1120px;margin:1.5em auto;padding:0 1em}\n"
    "h1{font-size:1.5em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.4em 0 .2em}\n"
    "h2 .units{font-weight:normal;color:#666;font-size:.9em}\n"
    "p{margin:.2em 0}.counts{display:flex;flex-wrap:wrap;gap:.4em 2em;margin:.8em 0;padding:0}\n"
    ".counts div{display:flex;flex-direction:column-reverse}.counts dt{color:#666;font-size:.85em}\n"
    ".counts dd{margin:0;font-size:1.3em;font-variant-numeric:tabular-nums}\n"
    "table{border-collapse:collapse;font-size:.85em;font-variant-numeric:tabular-nums}\n"
    "caption{text-align:left;color:#666;padding:.2em 0}\n"
    "th,td{padding:.1em .6em;text-align:right;border-bottom:1px solid #ddd}\n"
    "th:first-child,td:first-child{text-align:left;overflow-wrap:anywhere}tr.total td{font-weight:bold}\n"
    "svg.plot{display:block;width:100%;height:auto}\n"
    ".plot text{font:11px sans-serif;fill:#444}.plot .under{fill:#777}\n"
    ".grid{stroke:#e6e6e6;stroke-width:1}.frame{fill:none;stroke:#999}\n"
    ".line{fill:none;stroke-width:1.2;stroke-linejoin:round;stroke-linecap:round}\n"
    ".suspect,.failed{fill:none;stroke:none}\n"
    ".suspect{marker-start:url(#suspect);marker-mid:url(#suspect);marker-end:url(#suspect)}\n"
    ".failed{marker-start:url(#failed);marker-mid:url(#failed);marker-end:url(#failed)}\n"
    ".legend{list-style:none;display:flex;flex-wrap:wrap;gap:.1em 1.4em;margin:.2em 0 0;padding:0 0 0 64px;"
    "font-size:.85em}\n"
    ".legend svg{width:24px;height:10px;margin-right:.4em;vertical-align:middle}.flags{color:#666}\n"
    ".empty{color:#666;font-style:italic}footer{margin-top:2em;color:#666;font-size:.8em}\n"
    "footer code{overflow-wrap:anywhere}\n"
    "@media print{body{max-width:none;margin:0;font-size:11px}.panel{break-inside:avoid}}\n";

// The markers, once for every panel: a suspect value an orange triangle, a
// failed one a red cross, so that either tells without colour too.
const char kMarkers[] =
    "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\"><defs>\n"
    "<marker id=\"suspect\" viewBox=\"-6 -6 12 12\" markerWidth=\"12\" markerHeight=\"12\" "
    "markerUnits=\"userSpaceOnUse\"><path d=\"M0,-4.5L4.5,3.5H-4.5Z\" fill=\"#ff7f0e\" stroke=\"#fff\" "
    "stroke-width=\".8\"/></marker>\n"
    "<marker id=\"failed\" viewBox=\"-6 -6 12 12\" markerWidth=\"12\" markerHeight=\"12\" "
    "markerUnits=\"userSpaceOnUse\"><path d=\"M-4,-4L4,4M4,-4L-4,4\" stroke=\"#d62728\" stroke-width=\"2\"/>"
    "</marker>\n"
    "</defs></svg>\n";

}  // namespace

HtmlWriter::HtmlWriter(Output& out, const Stats& stats, const Tally& tally, int64_t created, std::string history)
    : out_(out), stats_(stats), tally_(tally), created_(created), history_(std::move(history)) {}

void HtmlWriter::begin(const Dataset& dataset) {
  dataset_ = &dataset;
  first_ = stats_.firstTime;
  span_ = int64_t{stats_.lastTime} - stats_.firstTime;
  double median = stats_.steps.median();
  if (median > 0)
    gapStep_ = static_cast<int64_t>(std::ceil(2 * median));
  lines_.assign(kFieldCount, M4Line(kHtmlColumns));

  std::vector<const Variable*> flags = flagVariables(dataset);
  for (uint32_t k = 0; k < kFieldCount; ++k) {
    Marked marked;
    marked.reading = k;
    for (size_t f = 0; f < flags.size(); ++f)
      if (flags[f]->reading == static_cast<int>(k)) {
        if (flags[f]->qartod == kQcAggregate) {
          marked.flags.assign(1, f);
          break;
        }
        marked.flags.push_back(f);
      }
    if (marked.flags.empty())
      continue;
    const Stats::Range& range = stats_.readings[k];
    marked.middle = range.any ? range.min / 2 + range.max / 2 : 0;
    marked.markers.assign(2 * kHtmlColumns, Marker());
    marked_.push_back(std::move(marked));
  }
}

size_t HtmlWriter::columnOf(int32_t time) const {
  int64_t offset = int64_t{time} - first_;
  if (offset <= 0)
    return 0;
  // At most 2^32 seconds times the columns: no overflow.
  auto column = static_cast<size_t>(static_cast<uint64_t>(offset) * kHtmlColumns / static_cast<uint64_t>(span_ + 1));
  return std::min(column, kHtmlColumns - 1);
}

void HtmlWriter::mark(Marked& marked, size_t column, int8_t flag, uint32_t bits) {
  if (flag == 3)
    ++marked.suspect;
  else
    ++marked.failed;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  if (!std::isfinite(value))  // a missing or infinite reading has no place on the plot
    return;
  Marker& marker = marked.markers[(flag == 3 ? 0 : kHtmlColumns) + column];
  if (!marker.any || std::fabs(value - marked.middle) > std::fabs(marker.value - marked.middle))
    marker = Marker{true, value};
}

void HtmlWriter::put(const Record& record) {
  size_t column = columnOf(record.time);
  if (any_ && int64_t{record.time} - previous_ > gapStep_)
    for (M4Line& line : lines_)
      line.gap();
  any_ = true;
  previous_ = record.time;
  for (uint32_t k = 0; k < kFieldCount; ++k) {
    uint32_t bits = readingBits(record, k, kNaNBits);
    if ((bits & 0x7F800000) == 0x7F800000) {  // NaN, an infinity, or none
      lines_[k].gap();
      continue;
    }
    float value;
    std::memcpy(&value, &bits, sizeof value);
    lines_[k].add(column, value);
  }
  for (Marked& marked : marked_) {
    int8_t flag = 0;
    for (size_t f : marked.flags) {
      int8_t given = flagOf(record, f);
      if (given == 4 || (given == 3 && flag != 4))
        flag = given;
    }
    if (flag != 0)
      mark(marked, column, flag, readingBits(record, marked.reading, kNaNBits));
  }
}

std::string HtmlWriter::panel(int group) const {
  std::vector<uint32_t> readings;
  for (uint32_t k = 0; k < kFieldCount; ++k)
    if (groupOf(static_cast<int>(k)) == group)
      readings.push_back(k);
  if (readings.empty())
    return "";
  bool any = false;
  double min = 0, max = 0;
  std::vector<std::string> units;
  for (uint32_t k : readings) {
    const Stats::Range& range = stats_.readings[k];
    if (range.any) {
      min = any ? std::min(min, double{range.min}) : range.min;
      max = any ? std::max(max, double{range.max}) : range.max;
      any = true;
    }
    for (const Variable& variable : dataset_->variables)
      if (variable.series == Series::kReading && variable.reading == static_cast<int>(k))
        if (const Attribute* unit = attributeOf(variable.attributes, "units")) {
          std::string text = textOf(*unit);
          if (std::find(units.begin(), units.end(), text) == units.end())
            units.push_back(text);
        }
  }
  std::string unitText;
  for (const std::string& unit : units)
    unitText += (unitText.empty() ? "" : ", ") + unit;

  std::string s = std::string("<section class=\"panel\" id=\"") + kGroupIds[group] + "\">\n<h2>" +
                  kGroupTitles[group];
  if (!unitText.empty())
    s += " <span class=\"units\">" + escaped(unitText) + "</span>";
  s += "</h2>\n<svg class=\"plot\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
       std::to_string(kTop + kHeight + kBottom) + "\" role=\"img\" aria-label=\"" + kGroupTitles[group] +
       " over time\">\n";

  // The time axis, the same in every panel.
  double perSecond = static_cast<double>(kHtmlColumns) / static_cast<double>(span_ + 1);
  for (const Tick& tick : timeTicks(first_, first_ + span_)) {
    std::string x = number("%.1f", kLeft + static_cast<double>(tick.time - first_) * perSecond);
    s += "<path class=\"grid\" d=\"M" + x + "," + std::to_string(kTop) + "v" + std::to_string(kHeight) + "\"/>";
    s += "<text x=\"" + x + "\" y=\"" + std::to_string(kTop + kHeight + 14) + "\" text-anchor=\"middle\">" +
         tick.label;
    if (!tick.under.empty())
      s += "<tspan class=\"under\" x=\"" + x + "\" dy=\"13\">" + tick.under + "</tspan>";
    s += "</text>\n";
  }
  s += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + std::to_string(kTop + kHeight + 27) +
       "\" text-anchor=\"end\" class=\"under\">UTC</text>\n";

  Scale scale{0, 1, 1};
  if (any) {
    scale = valueScale(min, max);
    // Within a float's precision of its magnitude: a few hundred million steps at most.
    auto last = static_cast<long long>(std::floor(scale.hi / scale.step));
    for (auto i = static_cast<long long>(std::ceil(scale.lo / scale.step)); i <= last; ++i) {
      double value = static_cast<double>(i) * scale.step;
      std::string y = number("%.1f", kTop + (scale.hi - value) / (scale.hi - scale.lo) * kHeight);
      s += "<path class=\"grid\" d=\"M" + std::to_string(kLeft) + "," + y + "h" + std::to_string(kHtmlColumns) +
           "\"/><text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + y + "\" dy=\"4\" text-anchor=\"end\">" +
           valueLabel(value, scale) + "</text>\n";
    }
  } else {
    s += "<text x=\"" + std::to_string(kLeft + static_cast<int>(kHtmlColumns) / 2) + "\" y=\"" +
         std::to_string(kTop + kHeight / 2) + "\" text-anchor=\"middle\" class=\"under\">no finite readings</text>\n";
  }
  s += "<rect class=\"frame\" x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) + "\" width=\"" +
       std::to_string(kHtmlColumns) + "\" height=\"" + std::to_string(kHeight) + "\"/>\n";

  // The lines, a point at the middle of its pixel column and on a whole
  // pixel: finer would show nothing more at the page's width, and would
  // cost the page two bytes a point.
  double perValue = kHeight / (scale.hi - scale.lo);
  auto yOf = [&](float value) {
    return static_cast<uint64_t>(std::clamp(std::lround((scale.hi - double{value}) * perValue), 0L, long{kHeight}));
  };
  s += "<g transform=\"translate(" + std::to_string(kLeft) + ".5," + std::to_string(kTop) + ")\">\n";
  for (size_t i = 0; i < readings.size(); ++i) {
    uint32_t k = readings[i];
    std::string d;
    bool single = false;  // the path's last subpath is one point so far: a dot
    size_t lastColumn = 0;
    uint64_t lastY = 0;
    // A new column is a line to it; more points in a column are vertical
    // lines (V), and a point after a break a new subpath (M).
    lines_[k].points([&](size_t column, const M4Line::Point& point, bool joined) {
      uint64_t y = yOf(point.value);
      if (joined && column == lastColumn) {
        if (y == lastY)
          return;
        d += 'V';
        single = false;
      } else {
        if (!joined && single)
          d += 'z';  // a zero-length subpath, which round caps draw as a dot
        d += joined ? 'L' : 'M';
        appendCount(d, column);
        d += ',';
        single = !joined;
      }
      appendCount(d, y);
      lastColumn = column;
      lastY = y;
    });
    if (single)
      d += 'z';
    if (d.empty())
      continue;
    s += std::string("<path class=\"line\" stroke=\"") + kColours[i % kColourCount] + "\" d=\"" + d + "\"><title>" +
         columnName(static_cast<int>(k)) + "</title></path>\n";
  }
  bool flagged = false;
  for (int kind = 0; kind < 2; ++kind) {
    std::string points;
    for (const Marked& marked : marked_) {
      if (groupOf(static_cast<int>(marked.reading)) != group)
        continue;
      flagged = true;
      for (size_t column = 0; column < kHtmlColumns; ++column) {
        const Marker& marker = marked.markers[static_cast<size_t>(kind) * kHtmlColumns + column];
        if (!marker.any)
          continue;
        if (!points.empty())
          points += ' ';
        appendCount(points, column);
        points += ',';
        appendCount(points, yOf(marker.value));
      }
    }
    if (!points.empty())
      s += std::string("<polyline class=\"") + (kind == 0 ? "suspect" : "failed") + "\" points=\"" + points +
           "\"/>\n";
  }
  s += "</g>\n</svg>\n<ul class=\"legend\">\n";
  for (size_t i = 0; i < readings.size(); ++i) {
    uint32_t k = readings[i];
    s += std::string("<li><svg viewBox=\"0 0 24 10\"><path d=\"M1,5H23\" stroke=\"") + kColours[i % kColourCount] +
         "\" stroke-width=\"2\"/></svg>" + columnName(static_cast<int>(k));
    for (const Marked& marked : marked_)
      if (marked.reading == k && marked.suspect + marked.failed > 0) {
        s += " <span class=\"flags\">(";
        if (marked.suspect > 0)
          s += std::to_string(marked.suspect) + " suspect" + (marked.failed > 0 ? ", " : "");
        if (marked.failed > 0)
          s += std::to_string(marked.failed) + " failed";
        s += ")</span>";
      }
    if (!stats_.readings[k].any)
      s += " <span class=\"flags\">(no finite readings)</span>";
    s += "</li>\n";
  }
  if (flagged)
    s += "<li><svg viewBox=\"0 0 24 10\"><polyline class=\"suspect\" points=\"12,5 12,5\"/></svg>suspect (3)</li>\n"
         "<li><svg viewBox=\"0 0 24 10\"><polyline class=\"failed\" points=\"12,5 12,5\"/></svg>failed (4)</li>\n";
  s += "</ul>\n</section>\n";
  return s;
}

void HtmlWriter::end() {
  const Dataset empty;
  const Dataset& dataset = dataset_ != nullptr ? *dataset_ : empty;
  std::string title;
  if (const Attribute* given = attributeOf(dataset.globals, "title"))
    title = textOf(*given);
  if (title.empty())
    title = tally_.inputs() == 1 ? "Quick look: " + tally_.name(0) : "Quick look";
  std::string station, latitude, longitude;
  for (const Variable& variable : dataset.variables) {
    if (variable.series != Series::kScalar || variable.value == nullptr)
      continue;
    std::vector<double> numbers;
    bool numeric = numbersOf(*variable.value, numbers) && !numbers.empty();
    if (variable.name == "station_id" ||
        (station.empty() && attributeOf(variable.attributes, "cf_role") != nullptr))
      station = textOf(*variable.value);
    else if (variable.name == "latitude" && numeric)
      latitude = number("%g", std::fabs(numbers[0])) + "\xC2\xB0 " + (numbers[0] < 0 ? "S" : "N");
    else if (variable.name == "longitude" && numeric)
      longitude = number("%g", std::fabs(numbers[0])) + "\xC2\xB0 " + (numbers[0] < 0 ? "W" : "E");
  }

  std::string s = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                  "<meta name=\"generator\" content=\"hexlog\">\n<title>" +
                  escaped(title) + "</title>\n<style>\n" + kStyle + "</style>\n</head>\n<body>\n" + kMarkers +
                  "<header>\n<h1>" + escaped(title) + "</h1>\n";
  if (!station.empty() || !latitude.empty() || !longitude.empty()) {
    std::string where = station.empty() ? "" : "Station " + escaped(station);
    std::string position = latitude + (latitude.empty() || longitude.empty() ? "" : ", ") + longitude;
    if (!position.empty())
      where += (where.empty() ? "" : " \xC2\xB7 ") + position;
    s += "<p class=\"station\">" + where + "</p>\n";
  }
  if (stats_.records > 0) {
    s += "<p class=\"coverage\">From <time datetime=\"" + isoTime(first_) + "\">" + shownTime(first_) +
         "</time> to <time datetime=\"" + isoTime(first_ + span_) + "\">" + shownTime(first_ + span_) +
         "</time> UTC";
    if (stats_.records > 1)
      s += ", a record every " + stepText(stats_.steps.median()) + " (median)";
    s += "</p>\n";
  }

  // The run's counts, by the --summary table's names.
  FileCounts total = tally_.total();
  const std::pair<const char*, const char*> shown[] = {{"written", "records written"},
                                                       {"duplicates", "duplicates dropped"},
                                                       {"conflicts", "conflicts dropped"},
                                                       {"not_records", "lines skipped, not records"},
                                                       {"readings_missing", "readings missing"}};
  s += "<dl class=\"counts\">\n";
  for (const auto& [name, words] : shown)
    for (const CountColumn& column : countColumns)
      if (std::strcmp(column.name, name) == 0) {
        s += std::string("<div><dt>") + words + "</dt><dd data-count=\"" + name + "\">";
        appendCount(s, total.*column.count);
        s += "</dd></div>\n";
      }
  s += "</dl>\n<table class=\"summary\">\n<caption>What became of each file's lines</caption>\n"
       "<thead><tr><th>file</th>";
  for (const CountColumn& column : countColumns)
    s += std::string("<th>") + column.name + "</th>";
  s += "</tr></thead>\n<tbody>\n";
  auto row = [&](const std::string& name, const FileCounts& counts, bool last) {
    s += last ? "<tr class=\"total\"><td>" : "<tr><td>";
    s += escaped(name) + "</td>";
    for (const CountColumn& column : countColumns) {
      s += "<td>";
      appendCount(s, counts.*column.count);
      s += "</td>";
    }
    s += "</tr>\n";
  };
  for (uint32_t file = 0; file < tally_.inputs(); ++file)
    row(tally_.name(file), tally_.counts(file), false);
  row("total", total, true);
  s += "</tbody>\n</table>\n</header>\n";
  out_.text(s.data(), s.size());

  if (stats_.records == 0) {
    s = "<p class=\"empty\">No records were written.</p>\n";
    out_.text(s.data(), s.size());
  } else {
    for (int group = 0; group < kGroups; ++group) {
      s = panel(group);
      out_.text(s.data(), s.size());
    }
  }
  s = "<footer>Made <time datetime=\"" + isoTime(created_) + "\">" + shownTime(created_) + " UTC</time> by <code>" +
      escaped(history_) + "</code></footer>\n</body>\n</html>\n";
  out_.text(s.data(), s.size());
}

}  // namespace hexlog
