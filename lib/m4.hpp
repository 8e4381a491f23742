// A line of any number of samples reduced to what a plot of a few hundred
// pixel columns can show of it: of the samples that fall in one column,
// the first, the smallest, the largest and the last (the M4 reduction).
// Drawn in their order, at their column, those four rasterize to the very
// pixels the whole line does: within a column the line covers exactly
// min..max, and it enters at the first sample and leaves at the last.
//
//   column 5 holds   3 7 2 9 4   -->   3 (first)  2 (min)  9 (max)  4 (last)
//
// A break in the line (a gap in time, a missing reading) is counted, not
// kept: each kept sample carries the number of breaks before it, and two
// kept samples are joined exactly when no break lies between them. A gap
// inside a column breaks the line there without any more points.
//
//   column 5 holds   3 7 | 2 9 4   -->   3  |  2  9  4     (| a break)
//
// The columns are laid out once; a sample costs a compare or two and
// allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hexlog {

class M4Line {
 public:
  struct Point {
    uint64_t at;      // the sample's place in the line, from 0
    uint64_t breaks;  // breaks before it
    float value;
  };

  explicit M4Line(size_t columns) : columns_(columns) {}
  size_t columns() const { return columns_.size(); }

  // The next sample, in `column`; samples come in the line's order, so
  // their columns never go back.
  void add(size_t column, float value) {
    Column& c = columns_[column];
    Point point{samples_++, breaks_, value};
    if (c.count++ == 0) {
      c.first = c.min = c.max = c.last = point;
      return;
    }
    if (value < c.min.value)
      c.min = point;
    if (value > c.max.value)
      c.max = point;
    c.last = point;
  }
  // The line is broken between the last sample and the next.
  void gap() { ++breaks_; }

  // Each kept point in the line's order: each(column, point, joined),
  // `joined` when it is drawn from the point before. At most four a column.
  template <typename Each>
  void points(Each each) const {
    bool any = false;
    uint64_t breaks = 0;
    for (size_t column = 0; column < columns_.size(); ++column) {
      const Column& c = columns_[column];
      if (c.count == 0)
        continue;
      Point kept[4] = {c.first, c.min, c.max, c.last};
      // The four in the line's order; the same sample kept twice once.
      for (int i = 1; i < 4; ++i)
        for (int j = i; j > 0 && kept[j].at < kept[j - 1].at; --j) {
          Point swap = kept[j];
          kept[j] = kept[j - 1];
          kept[j - 1] = swap;
        }
      for (int i = 0; i < 4; ++i) {
        if (i > 0 && kept[i].at == kept[i - 1].at)
          continue;
        each(column, kept[i], any && kept[i].breaks == breaks);
        any = true;
        breaks = kept[i].breaks;
      }
    }
  }

 private:
  struct Column {
    uint64_t count = 0;
    Point first, min, max, last;
  };
  std::vector<Column> columns_;
  uint64_t samples_ = 0;
  uint64_t breaks_ = 0;
};

}  // namespace hexlog
