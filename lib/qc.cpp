#include "qc.hpp"

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>

#include "calendar.hpp"
#include "dataset.hpp"

namespace hexlog {

namespace {

bool inContext(const QcContext& context, int32_t time) {
  return !(context.hasFrom && time < context.from) && !(context.hasTo && time >= context.to);
}

// Reading k of a record as the tests take it: missing where the record
// lacks it or its window held none.
bool present(const Record& record, int k, float& value) {
  uint32_t bits = readingBits(record, static_cast<uint32_t>(k), kNaNBits);
  std::memcpy(&value, &bits, sizeof value);
  return value == value;
}

// The strongest flag, in the order FAIL > SUSPECT > GOOD > UNKNOWN > MISSING.
int8_t aggregate(const int8_t* flags, size_t n) {
  static const int8_t kRank[10] = {0, 2, 1, 3, 4, 0, 0, 0, 0, 0};  // 9 MISSING ranks 0
  int8_t strongest = kFlagMissing;
  for (size_t i = 0; i < n; ++i)
    if (kRank[flags[i]] > kRank[strongest])
      strongest = flags[i];
  return strongest;
}

// The field of a time that a climatology member's period counts in, as
// pandas' DatetimeIndex has it (dayofweek 0 for Monday, week the ISO week).
double periodOf(QcPeriod period, int32_t time) {
  CivilTime civil = civilTime(time);
  int64_t days = dayOf(time);
  int64_t dayOfYear = days - daysFromCivil(civil.year, 1, 1) + 1;
  unsigned isoWeekday = civil.weekday == 0 ? 7 : civil.weekday;  // Monday 1 to Sunday 7
  switch (period) {
    case QcPeriod::kTime: return time;
    case QcPeriod::kYear: return static_cast<double>(civil.year);
    case QcPeriod::kQuarter: return (civil.month - 1) / 3 + 1;
    case QcPeriod::kMonth: return civil.month;
    case QcPeriod::kDayOfYear: return static_cast<double>(dayOfYear);
    case QcPeriod::kDay: return civil.day;
    case QcPeriod::kDayOfWeek: return isoWeekday - 1;
    case QcPeriod::kHour: return civil.second / 3600;
    case QcPeriod::kMinute: return civil.second / 60 % 60;
    case QcPeriod::kSecond: return civil.second % 60;
    case QcPeriod::kWeek: {
      // The ISO week: the one of its Thursday, weeks starting on Monday.
      int64_t thursday = days - (isoWeekday - 1) + 3;
      CivilTime of = civilTime(thursday * 86400);
      return static_cast<double>((thursday - daysFromCivil(of.year, 1, 1)) / 7 + 1);
    }
  }
  return time;
}

// The least and the most of the values at the last n + 1 points, the
// missing left out, as the points come: each value enters once and leaves
// once, whatever the window's length.
class RunningRange {
 public:
  void add(uint64_t at, bool has, double value) {
    if (has) {
      while (!low_.empty() && low_.back().second >= value)
        low_.pop_back();
      low_.emplace_back(at, value);
      while (!high_.empty() && high_.back().second <= value)
        high_.pop_back();
      high_.emplace_back(at, value);
    }
  }
  // The range of the points from `first` on; false when none has a value.
  bool range(uint64_t first, double& range) {
    while (!low_.empty() && low_.front().first < first)
      low_.pop_front();
    while (!high_.empty() && high_.front().first < first)
      high_.pop_front();
    if (low_.empty())
      return false;
    range = high_.front().second - low_.front().second;
    return true;
  }

 private:
  std::deque<std::pair<uint64_t, double>> low_, high_;
};

}  // namespace

QcSeries::QcSeries(const QcConfig& config) : config_(config), series_(config.contexts.size()) {}

void QcSeries::put(const Record& record) {
  for (size_t c = 0; c < config_.contexts.size(); ++c)
    if (inContext(config_.contexts[c], record.time))
      series_[c].add(record.time);
}

// What the flags of a record are made of, and where each test keeps what it
// needs of the records before.
struct Flagger::Plan {
  struct Range {
    size_t flag;
    int reading;
    double low, high;
  };
  struct Test {
    const QcTest* test;
    size_t flag;
    // rate of change: the point before
    bool previousPresent = false;
    double previous = 0;
    int32_t previousTime = 0;
    // flat line: points before the window counted, and each threshold's
    // window of n + 1 points
    bool flat = false;
    uint64_t suspectPoints = 0, failPoints = 0;
    RunningRange suspectRange, failRange;
    // location: the same for every point
    int8_t location = kFlagGood;
  };
  struct Stream {
    int reading;
    std::vector<Test> tests;
    size_t aggregateFlag = SIZE_MAX;
    // The held record's flags of this stream's tests, for the aggregate.
    std::vector<int8_t> held;
  };
  struct Context {
    const QcContext* context;
    std::vector<Stream> streams;
    uint64_t points = 0;  // of the series so far, the held record's included
    // The spike test's points before and at the held record, by reading.
    bool heldIn = false;
    bool previousPresent[kFieldCount] = {};
    double previous[kFieldCount] = {};
    bool heldPresent[kFieldCount] = {};
    double heldValue[kFieldCount] = {};
  };

  RecordSink& next;
  size_t flags = 0;
  std::vector<Range> ranges;
  std::vector<size_t> qartod;  // the QARTOD flags: UNKNOWN where no context evaluates them
  std::vector<Context> contexts;
  bool holding = false;
  Record held{};
  std::vector<int8_t> heldFlags;

  explicit Plan(RecordSink& sink) : next(sink) {}

  // The flags of `record` that need no later record: all but the spike
  // test's and the aggregates.
  void flagNow(const Record& record, int8_t* out);
  // The held record's spike flags, now that `after` follows it (nullptr at
  // the end), then its aggregates.
  void flagHeld(const Record* after);
};

Flagger::Flagger(const Dataset& dataset, const QcConfig& config, const QcSeries* series, double latitude,
                 double longitude, RecordSink& next)
    : plan_(new Plan(next)) {
  Plan& plan = *plan_;
  std::vector<const Variable*> flags = flagVariables(dataset);
  plan.flags = flags.size();
  plan.heldFlags.assign(plan.flags, kFlagUnknown);
  auto flagOf = [&](int reading, int test) {
    for (size_t f = 0; f < flags.size(); ++f)
      if (flags[f]->reading == reading && flags[f]->qartod == test)
        return f;
    return SIZE_MAX;
  };
  for (size_t f = 0; f < flags.size(); ++f) {
    if (flags[f]->qartod < 0)
      plan.ranges.push_back({f, flags[f]->reading, flags[f]->validMin, flags[f]->validMax});
    else
      plan.qartod.push_back(f);
  }
  for (size_t c = 0; c < config.contexts.size(); ++c) {
    Plan::Context context;
    context.context = &config.contexts[c];
    const TimeSteps* found = series != nullptr ? &series->series()[c] : nullptr;
    for (const QcStream& stream : config.contexts[c].streams) {
      Plan::Stream streamPlan;
      streamPlan.reading = stream.reading;
      for (const QcTest& test : stream.tests) {
        Plan::Test testPlan;
        testPlan.test = &test;
        testPlan.flag = flagOf(stream.reading, static_cast<int>(test.kind));
        if (test.kind == QcTestKind::kFlatLine && found != nullptr && found->records >= 3) {
          // n = trunc(trunc(threshold) / the median step); a window of n + 1
          // points; none where the series is shorter than that.
          double step = found->median();
          auto points = [&](double threshold) {
            return static_cast<uint64_t>(std::trunc(std::trunc(threshold) / step));
          };
          testPlan.suspectPoints = points(test.suspectSeconds);
          testPlan.failPoints = points(test.failSeconds);
          testPlan.flat = true;
        }
        if (test.kind == QcTestKind::kLocation) {
          const double* box = test.box;
          if (latitude != latitude || longitude != longitude)
            testPlan.location = kFlagMissing;
          else if (longitude < box[0] || latitude < box[1] || longitude > box[2] || latitude > box[3])
            testPlan.location = kFlagFail;
        }
        streamPlan.tests.push_back(std::move(testPlan));
      }
      if (stream.aggregate)
        streamPlan.aggregateFlag = flagOf(stream.reading, kQcAggregate);
      streamPlan.held.assign(streamPlan.tests.size(), kFlagUnknown);
      context.streams.push_back(std::move(streamPlan));
    }
    plan.contexts.push_back(std::move(context));
  }
  // A series too short for a flat line: every point good, as the library
  // whose results these follow leaves it.
  for (size_t c = 0; c < plan.contexts.size(); ++c)
    for (Plan::Stream& stream : plan.contexts[c].streams)
      for (Plan::Test& test : stream.tests)
        if (test.test->kind == QcTestKind::kFlatLine && !test.flat)
          test.suspectPoints = test.failPoints = UINT64_MAX;
}

Flagger::~Flagger() = default;

void Flagger::Plan::flagNow(const Record& record, int8_t* out) {
  for (const Range& range : ranges) {
    float value;
    if (!present(record, range.reading, value))
      out[range.flag] = kFlagMissing;
    else
      out[range.flag] = value - value == 0 && value >= range.low && value <= range.high ? kFlagGood : kFlagFail;
  }
  for (size_t f : qartod)
    out[f] = kFlagUnknown;
  for (Context& context : contexts) {
    context.heldIn = inContext(*context.context, record.time);
    if (!context.heldIn)
      continue;
    uint64_t at = context.points++;
    for (Stream& stream : context.streams) {
      int k = stream.reading;
      float single;
      bool given = present(record, k, single);
      double value = single;
      // Missing for the tests: NaN, infinite, or not there at all.
      bool usable = given && std::isfinite(value);
      context.previousPresent[k] = context.heldPresent[k];
      context.previous[k] = context.heldValue[k];
      context.heldPresent[k] = usable;
      context.heldValue[k] = value;
      for (size_t t = 0; t < stream.tests.size(); ++t) {
        Test& plan = stream.tests[t];
        const QcTest& test = *plan.test;
        int8_t flag = kFlagGood;
        switch (test.kind) {
          case QcTestKind::kGrossRange:
            // NaN is missing; an infinity lies outside any span.
            if (!given) {
              flag = kFlagMissing;
            } else {
              if (test.hasSuspect && (value < test.suspect.low || value > test.suspect.high))
                flag = kFlagSuspect;
              if (value < test.fail.low || value > test.fail.high)
                flag = kFlagFail;
            }
            break;
          case QcTestKind::kSpike: flag = kFlagUnknown; break;  // with the next record
          case QcTestKind::kRateOfChange: {
            double rate = 0;  // the first point's
            bool known = at == 0;
            if (at > 0 && plan.previousPresent && usable) {
              rate = std::fabs(value - plan.previous) / (static_cast<double>(record.time) - plan.previousTime);
              known = true;
            }
            if (known && rate > test.suspectThreshold)
              flag = kFlagSuspect;
            if (known && test.hasFailThreshold && rate > test.failThreshold)
              flag = kFlagFail;
            plan.previousPresent = usable;
            plan.previous = value;
            plan.previousTime = record.time;
            if (!usable)
              flag = kFlagMissing;
            break;
          }
          case QcTestKind::kFlatLine: {
            plan.suspectRange.add(at, usable, value);
            plan.failRange.add(at, usable, value);
            double range;
            if (plan.suspectPoints != UINT64_MAX && at >= plan.suspectPoints &&
                plan.suspectRange.range(at - plan.suspectPoints, range) && range < test.tolerance)
              flag = kFlagSuspect;
            if (plan.failPoints != UINT64_MAX && at >= plan.failPoints &&
                plan.failRange.range(at - plan.failPoints, range) && range < test.tolerance)
              flag = kFlagFail;
            if (!usable && plan.suspectPoints != UINT64_MAX)
              flag = kFlagMissing;
            break;
          }
          case QcTestKind::kClimatology:
            flag = kFlagUnknown;
            for (const QcClimatologyMember& member : test.members) {
              double when = periodOf(member.period, record.time);
              if (when < member.time.low || when > member.time.high)
                continue;
              flag = kFlagGood;
              if (value < member.valid.low || value > member.valid.high)
                flag = kFlagSuspect;
              if (member.hasFail && (value < member.fail.low || value > member.fail.high))
                flag = kFlagFail;
            }
            if (!usable)
              flag = kFlagMissing;
            break;
          case QcTestKind::kLocation: flag = plan.location; break;
        }
        stream.held[t] = flag;
        if (plan.flag != SIZE_MAX)
          out[plan.flag] = flag;
      }
    }
  }
}

void Flagger::Plan::flagHeld(const Record* following) {
  for (Context& context : contexts) {
    if (!context.heldIn)
      continue;
    bool last = following == nullptr || !inContext(*context.context, following->time);
    bool first = context.points == 1;
    for (Stream& stream : context.streams) {
      int k = stream.reading;
      for (size_t t = 0; t < stream.tests.size(); ++t) {
        Test& plan = stream.tests[t];
        const QcTest& test = *plan.test;
        if (test.kind != QcTestKind::kSpike)
          continue;
        int8_t flag = kFlagUnknown;
        float single = 0;
        bool nextPresent = !last && present(*following, k, single) && std::isfinite(single);
        if (!context.heldPresent[k]) {
          flag = kFlagMissing;
        } else if (!first && !last && context.previousPresent[k] && nextPresent) {
          double x = context.heldValue[k], before = context.previous[k], after = single;
          double distance;
          if (test.differential) {
            double up = x - before, down = after - x;
            distance = up * down >= 0 ? 0 : std::fmin(std::fabs(up), std::fabs(down));
          } else {
            distance = std::fabs(x - (before + after) / 2);
          }
          flag = kFlagGood;
          if (test.suspectThreshold != 0 && distance > test.suspectThreshold)
            flag = kFlagSuspect;
          if (test.failThreshold != 0 && distance > test.failThreshold)
            flag = kFlagFail;
        }
        stream.held[t] = flag;
        if (plan.flag != SIZE_MAX)
          heldFlags[plan.flag] = flag;
      }
      if (stream.aggregateFlag != SIZE_MAX)
        heldFlags[stream.aggregateFlag] = aggregate(stream.held.data(), stream.held.size());
    }
  }
}

void Flagger::put(const Record& record) {
  Plan& plan = *plan_;
  if (plan.holding) {
    plan.flagHeld(&record);
    plan.held.flags = plan.heldFlags.data();
    plan.next.put(plan.held);
  }
  std::memcpy(&plan.held, &record, offsetof(Record, words) + 4 * size_t{record.count});
  plan.held.text = nullptr;
  plan.held.length = 0;
  plan.holding = true;
  plan.flagNow(record, plan.heldFlags.data());
}

void Flagger::end() {
  Plan& plan = *plan_;
  if (!plan.holding)
    return;
  plan.flagHeld(nullptr);
  plan.held.flags = plan.heldFlags.data();
  plan.next.put(plan.held);
  plan.holding = false;
}

}  // namespace hexlog
