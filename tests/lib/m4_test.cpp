// The M4 reduction against the samples themselves: random lines of any
// length over plots of any width, with breaks, runs of breaks and spikes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "m4.hpp"

using namespace hexlog;

namespace {

struct Sample {
  size_t column;
  float value;
  uint64_t breaks;  // breaks before it
};

TEST(M4, EachColumnKeepsItsFirstLastMinAndMaxAndTheLineBreaksExactlyAtItsBreaks) {
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    size_t columns = 1 + rng() % 300;
    size_t samples = rng() % 5000;
    M4Line line(columns);
    std::vector<Sample> data;
    uint64_t breaks = 0;
    size_t column = 0;
    for (size_t i = 0; i < samples; ++i) {
      // Columns of many samples, of one, and columns skipped.
      if (rng() % (1 + rng() % 40) == 0)
        column = std::min(columns - 1, column + rng() % 4);
      // Breaks alone, in runs, and between every sample of a column.
      int kind = static_cast<int>(rng() % 100);
      if (kind < 8 || (round % 10 == 0 && kind < 60)) {
        line.gap();
        ++breaks;
      }
      float value = std::normal_distribution<float>(10, 3)(rng);
      if (kind >= 97)
        value *= kind == 99 ? -1e6f : 1e6f;  // spikes either way
      if (round % 7 == 0)
        value = static_cast<float>(rng() % 3);  // ties
      line.add(column, value);
      data.push_back({column, value, breaks});
    }

    std::vector<std::vector<M4Line::Point>> kept(columns);
    size_t total = 0;
    std::vector<M4Line::Point> order;
    line.points([&](size_t c, const M4Line::Point& point, bool joined) {
      ASSERT_LT(c, columns);
      ASSERT_LT(point.at, data.size());
      const Sample& sample = data[point.at];
      // A kept point is its sample, in its column, in the line's order.
      EXPECT_EQ(sample.column, c);
      EXPECT_EQ(sample.value, point.value);
      // Joined to the point before exactly when no break lies between.
      if (!order.empty()) {
        EXPECT_GT(point.at, order.back().at);
        EXPECT_EQ(joined, data[order.back().at].breaks == sample.breaks) << order.back().at << " to " << point.at;
      } else {
        EXPECT_FALSE(joined);
      }
      order.push_back(point);
      kept[c].push_back(point);
      ++total;
    });
    EXPECT_LE(total, 4 * columns);

    for (size_t c = 0; c < columns; ++c) {
      std::vector<const Sample*> in;
      for (const Sample& sample : data)
        if (sample.column == c)
          in.push_back(&sample);
      ASSERT_EQ(in.empty(), kept[c].empty()) << "column " << c;
      if (in.empty())
        continue;
      EXPECT_LE(kept[c].size(), 4u);
      auto byValue = [](const auto& a, const auto& b) { return a.value < b.value; };
      auto sampleValue = [](const Sample* a, const Sample* b) { return a->value < b->value; };
      EXPECT_EQ(std::min_element(kept[c].begin(), kept[c].end(), byValue)->value,
                (*std::min_element(in.begin(), in.end(), sampleValue))->value);
      EXPECT_EQ(std::max_element(kept[c].begin(), kept[c].end(), byValue)->value,
                (*std::max_element(in.begin(), in.end(), sampleValue))->value);
      EXPECT_EQ(&data[kept[c].front().at], in.front());
      EXPECT_EQ(&data[kept[c].back().at], in.back());
    }
  }
}

}  // namespace
