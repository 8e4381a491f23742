#include "qc.hpp"

#include <cmath>
#include <cstring>
#include <algorithm>
#include <array>
#include <limits>

#include "calendar.hpp"
#include "dataset.hpp"

namespace hexlog {

namespace {

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

// The fields of a time that a climatology member's period counts in, as
// pandas' DatetimeIndex has them (dayofweek 0 for Monday, week the ISO
// week), by QcPeriod; kTime is the time itself.
constexpr int kPeriods = 11;
void periodsOf(int32_t time, double* values) {
  CivilTime civil = civilTime(time);
  int64_t days = dayOf(time);
  unsigned isoWeekday = civil.weekday == 0 ? 7 : civil.weekday;  // Monday 1 to Sunday 7
  // The ISO week: the one of its Thursday, weeks starting on Monday.
  int64_t thursday = days - (isoWeekday - 1) + 3;
  int64_t thursdayYear = civilTime(thursday * 86400).year;
  auto set = [values](QcPeriod period, double value) { values[static_cast<int>(period)] = value; };
  set(QcPeriod::kTime, time);
  set(QcPeriod::kYear, static_cast<double>(civil.year));
  set(QcPeriod::kQuarter, (civil.month - 1) / 3 + 1);
  set(QcPeriod::kMonth, civil.month);
  set(QcPeriod::kWeek, static_cast<double>((thursday - daysFromCivil(thursdayYear, 1, 1)) / 7 + 1));
  set(QcPeriod::kDayOfYear, static_cast<double>(days - daysFromCivil(civil.year, 1, 1) + 1));
  set(QcPeriod::kDay, civil.day);
  set(QcPeriod::kDayOfWeek, isoWeekday - 1);
  set(QcPeriod::kHour, civil.second / 3600);
  set(QcPeriod::kMinute, civil.second / 60 % 60);
  set(QcPeriod::kSecond, civil.second % 60);
}

// Where the flat run that ends at the newest point begins: the first
// point from which on the values, the missing left out, lie closer together
// than the tolerance. A window of n + 1 points is flat when it begins at or
// after that point, so one run serves every window's length, and each value
// enters and leaves the running extremes once.
class FlatRun {
 public:
  // No window is longer than `points`: the run is never followed further.
  void reserve(uint64_t points) {
    longest_ = points;
    size_t room = static_cast<size_t>(std::min<uint64_t>(points, uint64_t{1} << 26)) + 2;
    low_.assign(room);
    high_.assign(room);
  }
  void add(uint64_t at, bool has, double value, double tolerance) {
    if (at > longest_ && start_ < at - longest_)
      drop(at - longest_);
    if (!has)
      return;
    while (!low_.empty() && low_.back().value >= value)
      low_.popBack();
    low_.pushBack({at, value});
    while (!high_.empty() && high_.back().value <= value)
      high_.popBack();
    high_.pushBack({at, value});
    // Not while the range is below: a NaN tolerance flags nothing.
    while (!low_.empty() && !(high_.front().value - low_.front().value < tolerance))
      drop(std::min(low_.front().at, high_.front().at) + 1);
    if (low_.empty())
      start_ = at + 1;  // not even the one value is flat
  }
  // Whether the window of the last n + 1 points to `at` is flat.
  bool flat(uint64_t at, uint64_t n) const { return at >= n && start_ <= at - n; }

 private:
  void drop(uint64_t first) {
    start_ = first;
    while (!low_.empty() && low_.front().at < first)
      low_.popFront();
    while (!high_.empty() && high_.front().at < first)
      high_.popFront();
  }

  struct Point {
    uint64_t at;
    double value;
  };
  // A queue in a ring of fixed room, a power of two, so that a place is
  // a mask away: the run never holds more points.
  class Ring {
   public:
    void assign(size_t room) {
      size_t power = 1;
      while (power < room)
        power *= 2;
      items_.assign(power, Point{0, 0});
      mask_ = power - 1;
      head_ = size_ = 0;
    }
    bool empty() const { return size_ == 0; }
    const Point& front() const { return items_[head_]; }
    const Point& back() const { return items_[(head_ + size_ - 1) & mask_]; }
    void popFront() {
      head_ = (head_ + 1) & mask_;
      --size_;
    }
    void popBack() { --size_; }
    void pushBack(const Point& point) {
      if (size_ > mask_)
        popFront();  // only where the room was capped: the oldest goes
      items_[(head_ + size_++) & mask_] = point;
    }

   private:
    std::vector<Point> items_;
    size_t mask_ = 0, head_ = 0, size_ = 0;
  };
  Ring low_, high_;
  uint64_t start_ = 0, longest_ = 0;
};

}  // namespace

QcSeries::QcSeries(const QcConfig& config) : config_(config), series_(config.contexts.size()) {}

void QcSeries::put(const Record& record) {
  for (size_t c = 0; c < config_.contexts.size(); ++c)
    if (inContext(config_.contexts[c], record.time))
      series_[c].add(record.time);
}

std::vector<SeriesFacts> QcSeries::facts() const {
  std::vector<SeriesFacts> facts;
  for (const TimeSteps& steps : series_)
    facts.push_back({steps.records, steps.median()});
  return facts;
}

uint64_t flatLinePoints(double threshold, const SeriesFacts& series) {
  double n = std::trunc(std::trunc(threshold) / series.medianStep);
  return n < static_cast<double>(series.records) ? static_cast<uint64_t>(n) : UINT64_MAX;
}

// A series of fewer than three points has no flat line: every point good.
void qcReach(const QcConfig& config, const std::vector<SeriesFacts>& series, uint64_t& before, uint64_t& after) {
  before = after = 0;
  for (size_t c = 0; c < config.contexts.size(); ++c)
    for (const QcStream& stream : config.contexts[c].streams)
      for (const QcTest& test : stream.tests) {
        if (test.kind == QcTestKind::kSpike || test.kind == QcTestKind::kRateOfChange) {
          before = std::max<uint64_t>(before, 1);
          after = std::max<uint64_t>(after, test.kind == QcTestKind::kSpike ? 1 : 0);
        }
        if (test.kind == QcTestKind::kFlatLine && c < series.size() && series[c].records >= 3)
          for (double threshold : {test.suspectSeconds, test.failSeconds}) {
            uint64_t n = flatLinePoints(threshold, series[c]);
            if (n != UINT64_MAX)
              before = std::max(before, n);
          }
      }
}

// What the flags of the records are made of, and where each test keeps
// what it needs of the records before. The records come in blocks, and each
// test runs over a block's values of a reading at once, column by column:
// a loop the compiler makes short work of, where a record at a time cost
// a dozen nanoseconds a test. The last record of a block waits for the
// next block, whose first record its spike test needs.
//
//   block:   [ carried | new records ...................... ]
//   tests:              the new records' values, each test over them
//   spike:   [ 0 ............................. count - 2 ]  and the rest
//   handed on: the same; the last record carried to the next block
struct Flagger::Plan {
  static constexpr size_t kBlock = 512;

  struct Range {
    size_t flag;
    int reading;
    double low, high;
  };
  struct Test {
    const QcTest* test;
    size_t flag;
    // rate of change: the point before the block, in the context
    bool previousPresent = false;
    double previous = 0;
    int32_t previousTime = 0;
    // flat line: each threshold's window of n + 1 points, UINT64_MAX where
    // it flags nothing
    bool flat = false;
    uint64_t suspectPoints = 0, failPoints = 0;
    FlatRun run;
    // location: the same for every point
    int8_t location = kFlagGood;
  };
  struct Stream {
    int reading;
    std::vector<Test> tests;
    size_t aggregateFlag = SIZE_MAX;
    // The spike test's point before the block, in the context.
    bool beforeIn = false;
    bool beforeUsable = false;
    double before = 0;
  };
  struct Context {
    const QcContext* context;
    std::vector<Stream> streams;
    uint64_t points = 0;  // of the series tested so far
  };

  RecordSink& next;
  bool periodic = false;  // whether a climatology member counts in a period
  size_t flags = 0;
  std::vector<Range> ranges;
  std::vector<size_t> qartod;  // the QARTOD flags: UNKNOWN where no context tests them
  std::vector<Context> contexts;
  std::vector<int> readings;  // those the tests take

  // The block: its records, their flags (a column of kBlock for each flag
  // variable, so that each test writes its own), and the values of the
  // readings the tests take.
  std::vector<Record> records = std::vector<Record>(kBlock);
  std::vector<int8_t> columns;
  int8_t* flagColumn(size_t f) { return columns.data() + f * kBlock; }
  size_t count = 0;
  size_t fresh = 0;  // records[fresh .. count) are not tested yet
  struct Values {
    double value[kBlock];
    bool given[kBlock];   // not NaN: what the gross range test takes
    bool usable[kBlock];  // and finite: what the other tests take
  };
  std::vector<Values> values = std::vector<Values>(kFieldCount);
  // Each record's time, and its periods, worked out once for all the
  // readings.
  std::vector<double> times = std::vector<double>(kBlock);
  std::vector<std::array<double, kPeriods>> periods = std::vector<std::array<double, kPeriods>>(kBlock);

  explicit Plan(RecordSink& sink) : next(sink) {}

  // Records [from, to) of the block that lie in the context's window.
  void slice(const QcContext& context, size_t from, size_t to, size_t& lo, size_t& hi) const {
    lo = from;
    while (lo < to && !inContext(context, records[lo].time))
      ++lo;
    hi = lo;
    while (hi < to && inContext(context, records[hi].time))
      ++hi;
  }
  void test(size_t final);
  void spikes(size_t end, bool last);
  void handOn(size_t end);
};

Flagger::Flagger(const Dataset& dataset, const QcConfig& config, const std::vector<SeriesFacts>* series,
                 double latitude, double longitude, RecordSink& next)
    : plan_(new Plan(next)) {
  Plan& plan = *plan_;
  std::vector<const Variable*> flags = flagVariables(dataset);
  plan.flags = flags.size();
  plan.columns.assign(Plan::kBlock * plan.flags, kFlagUnknown);
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
    const SeriesFacts* found = series != nullptr && c < series->size() ? &(*series)[c] : nullptr;
    for (const QcStream& stream : config.contexts[c].streams) {
      if (std::find(plan.readings.begin(), plan.readings.end(), stream.reading) == plan.readings.end())
        plan.readings.push_back(stream.reading);
      Plan::Stream streamPlan;
      streamPlan.reading = stream.reading;
      for (const QcTest& test : stream.tests) {
        Plan::Test testPlan;
        testPlan.test = &test;
        testPlan.flag = flagOf(stream.reading, static_cast<int>(test.kind));
        if (test.kind == QcTestKind::kFlatLine && found != nullptr && found->records >= 3) {
          // A window of n + 1 points; one longer than the series flags
          // nothing, and needs no room.
          testPlan.suspectPoints = flatLinePoints(test.suspectSeconds, *found);
          testPlan.failPoints = flatLinePoints(test.failSeconds, *found);
          uint64_t longest = 0;
          for (uint64_t n : {testPlan.suspectPoints, testPlan.failPoints})
            if (n != UINT64_MAX)
              longest = std::max(longest, n);
          testPlan.run.reserve(longest);
          testPlan.flat = true;
        }
        for (const QcClimatologyMember& member : test.members)
          plan.periodic = plan.periodic || member.period != QcPeriod::kTime;
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
      context.streams.push_back(std::move(streamPlan));
    }
    plan.contexts.push_back(std::move(context));
  }
}

Flagger::~Flagger() = default;

// The tests but the spike test over the block's new records.
void Flagger::Plan::test(size_t) {
  const size_t from = fresh, to = count;
  for (size_t f : qartod)
    std::memset(flagColumn(f) + from, kFlagUnknown, to - from);
  for (const Range& range : ranges) {
    int8_t* out = flagColumn(range.flag);
    for (size_t i = from; i < to; ++i) {
      float value;
      if (!present(records[i], range.reading, value))
        out[i] = kFlagMissing;
      else
        out[i] = value - value == 0 && value >= range.low && value <= range.high ? kFlagGood : kFlagFail;
    }
  }
  for (size_t i = from; i < to; ++i) {
    times[i] = records[i].time;
    if (periodic)
      periodsOf(records[i].time, periods[i].data());
    else
      periods[i][static_cast<size_t>(QcPeriod::kTime)] = records[i].time;
  }
  for (int k : readings) {
    Values& column = values[static_cast<size_t>(k)];
    for (size_t i = from; i < to; ++i) {
      float single;
      column.given[i] = present(records[i], k, single);
      column.value[i] = single;
      column.usable[i] = column.given[i] && std::isfinite(single);
    }
  }
  for (Context& context : contexts) {
    size_t lo, hi;
    slice(*context.context, from, to, lo, hi);
    if (lo == hi)
      continue;
    for (Stream& stream : context.streams) {
      const Values& column = values[static_cast<size_t>(stream.reading)];
      const double* x = column.value;
      const bool* given = column.given;
      const bool* usable = column.usable;
      for (Test& plan : stream.tests) {
        const QcTest& t = *plan.test;
        int8_t* out = flagColumn(plan.flag);
        switch (t.kind) {
          case QcTestKind::kGrossRange: {
            // NaN is missing; an infinity lies outside any span. (The spans
            // are copied, for the flags written might be them, as far as
            // the compiler knows.)
            const double failLow = t.fail.low, failHigh = t.fail.high;
            const double suspectLow = t.hasSuspect ? t.suspect.low : -INFINITY;
            const double suspectHigh = t.hasSuspect ? t.suspect.high : INFINITY;
            for (size_t i = lo; i < hi; ++i) {
              int8_t flag = x[i] < suspectLow || x[i] > suspectHigh ? kFlagSuspect : kFlagGood;
              flag = x[i] < failLow || x[i] > failHigh ? kFlagFail : flag;
              out[i] = given[i] ? flag : kFlagMissing;
            }
            break;
          }
          case QcTestKind::kSpike: break;  // with the next record
          case QcTestKind::kRateOfChange: {
            const double suspect = t.suspectThreshold;
            const double fail = t.hasFailThreshold ? t.failThreshold : INFINITY;
            // The first point's rate is 0; after a missing point there is none.
            auto flagOf = [&](bool known, double rate, bool present) {
              int8_t flag = known && rate > suspect ? kFlagSuspect : kFlagGood;
              flag = known && rate > fail ? kFlagFail : flag;
              return present ? flag : kFlagMissing;
            };
            bool first = context.points == 0;
            out[lo] = flagOf(first || (plan.previousPresent && usable[lo]),
                             first ? 0
                                   : std::fabs(x[lo] - plan.previous) /
                                         (static_cast<double>(times[lo]) - plan.previousTime),
                             usable[lo]);
            for (size_t i = lo + 1; i < hi; ++i)
              out[i] = flagOf(usable[i - 1] && usable[i], std::fabs(x[i] - x[i - 1]) / (times[i] - times[i - 1]),
                              usable[i]);
            plan.previousPresent = usable[hi - 1];
            plan.previous = x[hi - 1];
            plan.previousTime = records[hi - 1].time;
            break;
          }
          case QcTestKind::kFlatLine:
            for (size_t i = lo; i < hi; ++i) {
              if (!plan.flat) {
                out[i] = kFlagGood;  // too short a series: every point good
                continue;
              }
              uint64_t at = context.points + (i - lo);
              plan.run.add(at, usable[i], x[i], t.tolerance);
              int8_t flag = kFlagGood;
              if (plan.suspectPoints != UINT64_MAX && plan.run.flat(at, plan.suspectPoints))
                flag = kFlagSuspect;
              if (plan.failPoints != UINT64_MAX && plan.run.flat(at, plan.failPoints))
                flag = kFlagFail;
              out[i] = usable[i] ? flag : kFlagMissing;
            }
            break;
          case QcTestKind::kClimatology:
            for (size_t i = lo; i < hi; ++i) {
              int8_t flag = kFlagUnknown;
              for (const QcClimatologyMember& member : t.members) {
                double when = periods[i][static_cast<size_t>(member.period)];
                if (when < member.time.low || when > member.time.high)
                  continue;
                flag = kFlagGood;
                if (x[i] < member.valid.low || x[i] > member.valid.high)
                  flag = kFlagSuspect;
                if (member.hasFail && (x[i] < member.fail.low || x[i] > member.fail.high))
                  flag = kFlagFail;
              }
              out[i] = usable[i] ? flag : kFlagMissing;
            }
            break;
          case QcTestKind::kLocation:
            std::memset(out + lo, plan.location, hi - lo);
            break;
        }
      }
    }
    context.points += hi - lo;
  }
  fresh = count;
}

// The spike tests and the aggregates of records [0, end); `last`: no
// record follows the block.
void Flagger::Plan::spikes(size_t end, bool last) {
  for (Context& context : contexts) {
    size_t lo, hi;
    slice(*context.context, 0, end, lo, hi);
    if (lo == hi)
      continue;
    // Whether the record after hi - 1 is in the context too.
    bool after = hi < count && inContext(*context.context, records[hi].time);
    for (Stream& stream : context.streams) {
      const Values& column = values[static_cast<size_t>(stream.reading)];
      const double* x = column.value;
      const bool* usable = column.usable;
      for (Test& plan : stream.tests) {
        if (plan.test->kind != QcTestKind::kSpike)
          continue;
        const QcTest& t = *plan.test;
        int8_t* out = flagColumn(plan.flag);
        for (size_t i = lo; i < hi; ++i) {
          bool hasBefore = i > lo ? true : stream.beforeIn && lo == 0;
          bool beforeUsable = i > lo ? usable[i - 1] : stream.beforeUsable;
          double before = i > lo ? x[i - 1] : stream.before;
          bool hasAfter = i + 1 < hi || (i + 1 == hi && after && !last);
          int8_t flag = kFlagUnknown;  // the ends, and beside a missing point
          if (!usable[i]) {
            flag = kFlagMissing;
          } else if (hasBefore && hasAfter && beforeUsable && usable[i + 1]) {
            double up = x[i] - before, down = x[i + 1] - x[i];
            double distance = t.differential ? (up * down >= 0 ? 0 : std::fmin(std::fabs(up), std::fabs(down)))
                                             : std::fabs(x[i] - (before + x[i + 1]) / 2);
            flag = kFlagGood;
            if (t.suspectThreshold != 0 && distance > t.suspectThreshold)
              flag = kFlagSuspect;
            if (t.failThreshold != 0 && distance > t.failThreshold)
              flag = kFlagFail;
          }
          out[i] = flag;
        }
      }
      // For the block after: the point before its first record.
      stream.beforeIn = true;
      stream.beforeUsable = usable[hi - 1];
      stream.before = x[hi - 1];
      if (stream.aggregateFlag == SIZE_MAX)
        continue;
      const int8_t* tested[kQcTestKinds];
      size_t n = 0;
      for (const Test& plan : stream.tests)
        tested[n++] = flagColumn(plan.flag);
      int8_t* out = flagColumn(stream.aggregateFlag);
      for (size_t i = lo; i < hi; ++i) {
        int8_t each[kQcTestKinds];
        for (size_t t = 0; t < n; ++t)
          each[t] = tested[t][i];
        out[i] = aggregate(each, n);
      }
    }
    if (hi < end || (hi == end && !after))
      for (Stream& stream : context.streams)
        stream.beforeIn = false;  // the window is over
  }
}

// Records [0, end) to the next sink; the rest moves to the block's start.
void Flagger::Plan::handOn(size_t end) {
  for (size_t i = 0; i < end; ++i) {
    records[i].flags = columns.data() + i;
    records[i].flagStride = kBlock;
  }
  next.putMany(records.data(), end);
  size_t rest = count - end;
  for (size_t i = 0; i < rest; ++i) {
    std::memcpy(&records[i], &records[end + i], offsetof(Record, words) + 4 * size_t{records[end + i].count});
    periods[i] = periods[end + i];
    times[i] = times[end + i];
    for (int k : readings) {
      Values& column = values[static_cast<size_t>(k)];
      column.value[i] = column.value[end + i];
      column.given[i] = column.given[end + i];
      column.usable[i] = column.usable[end + i];
    }
  }
  for (size_t f = 0; f < flags; ++f)
    std::memmove(flagColumn(f), flagColumn(f) + end, rest);
  count = rest;
  fresh = rest;
}

void Flagger::put(const Record& record) {
  Plan& plan = *plan_;
  Record& held = plan.records[plan.count++];
  std::memcpy(&held, &record, offsetof(Record, words) + 4 * size_t{record.count});
  held.text = nullptr;
  held.length = 0;
  if (plan.count < Plan::kBlock)
    return;
  plan.test(plan.count);
  plan.spikes(plan.count - 1, false);
  plan.handOn(plan.count - 1);
}

void Flagger::end() {
  Plan& plan = *plan_;
  if (plan.count == 0)
    return;
  plan.test(plan.count);
  plan.spikes(plan.count, true);
  plan.handOn(plan.count);
}

}  // namespace hexlog
