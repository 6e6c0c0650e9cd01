// Ragged: the empty and moved-from states, runs appended one by one (the empty run included)
// while the pool grows, runs laid out from their sizes or built item by item, truncation, the
// offsets-and-pool form, clear, and equality.
#include "common/ragged.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

using Runs = std::vector<std::vector<std::uint32_t>>;

Runs runs_of(const Ragged<std::uint32_t>& r) {
  Runs out;
  for (std::size_t i = 0; i < r.size(); ++i) out.emplace_back(r[i].begin(), r[i].end());
  return out;
}

TEST(Ragged, AFreshListHasNoRunsAndEqualsAClearedOne) {
  Ragged<std::uint32_t> fresh;
  EXPECT_EQ(fresh.size(), 0u);
  EXPECT_TRUE(fresh.empty());
  EXPECT_EQ(fresh.item_count(), 0u);
  Ragged<std::uint32_t> cleared;
  cleared.push(std::vector<std::uint32_t>{1, 2});
  EXPECT_NE(cleared, fresh);
  cleared.clear();
  EXPECT_EQ(cleared.size(), 0u);
  EXPECT_EQ(cleared, fresh);
  EXPECT_EQ(Ragged<std::uint32_t>::of_sizes({}), fresh);
}

TEST(Ragged, RunsAppendedOneByOneKeepTheirItemsAsThePoolGrows) {
  Ragged<std::uint32_t> r;
  Runs expected;
  for (std::uint32_t k = 0; k < 3000; ++k) {
    std::vector<std::uint32_t> run(k % 7, k);  // every seventh run is empty
    for (std::size_t j = 0; j < run.size(); ++j) run[j] += static_cast<std::uint32_t>(j);
    r.push(run);
    expected.push_back(run);
  }
  EXPECT_EQ(r.size(), expected.size());
  EXPECT_EQ(runs_of(r), expected);
  std::size_t items = 0;
  for (const auto& run : expected) items += run.size();
  EXPECT_EQ(r.item_count(), items);
  // Items are written in place through a run.
  r[5][2] = 99;
  EXPECT_EQ(r[5][2], 99u);
  EXPECT_EQ(r[6].size(), 6u);
}

TEST(Ragged, RunsLaidOutFromTheirSizesAreFilledInPlace) {
  const std::vector<std::uint64_t> sizes = {2, 0, 3, 1};
  auto r = Ragged<std::uint32_t>::of_sizes(sizes);
  EXPECT_EQ(runs_of(r), (Runs{{0, 0}, {}, {0, 0, 0}, {0}}));
  std::uint32_t next = 1;
  for (std::size_t i = 0; i < r.size(); ++i) {
    for (std::uint32_t& x : r[i]) x = next++;
  }
  Ragged<std::uint32_t> pushed;
  pushed.reserve(4, 6);
  for (const auto& run : Runs{{1, 2}, {}, {3, 4, 5}, {6}}) pushed.push(run);
  EXPECT_EQ(r, pushed);
}

TEST(Ragged, RunsBuiltItemByItemTruncateAndTravelAsOffsetsAndPool) {
  Ragged<std::uint32_t> r;
  EXPECT_EQ(std::vector<std::uint64_t>(r.offsets().begin(), r.offsets().end()), std::vector<std::uint64_t>{0});
  r.close();  // an empty first run
  for (std::uint32_t x : {5u, 6u}) r.extend(x);
  r.close();
  r.extend(7);
  r.close();
  EXPECT_EQ(runs_of(r), (Runs{{}, {5, 6}, {7}}));
  EXPECT_EQ(std::vector<std::uint64_t>(r.offsets().begin(), r.offsets().end()),
            (std::vector<std::uint64_t>{0, 0, 2, 3}));

  Ragged<std::uint32_t> copy;
  copy.assign(r.offsets(), r.pool());
  EXPECT_EQ(copy, r);

  r.truncate(5);  // more than it has: unchanged
  EXPECT_EQ(r, copy);
  r.truncate(2);
  EXPECT_EQ(runs_of(r), (Runs{{}, {5, 6}}));
  EXPECT_EQ(r.item_count(), 2u);
  r.truncate(0);
  EXPECT_EQ(r, Ragged<std::uint32_t>{});
  r.push(std::vector<std::uint32_t>{8});
  EXPECT_EQ(runs_of(r), (Runs{{8}}));
}

TEST(Ragged, AListMovedFromIsEmptyAndUsable) {
  Ragged<std::uint32_t> a;
  a.push(std::vector<std::uint32_t>{1, 2, 3});
  a.push(std::vector<std::uint32_t>{4});
  Ragged<std::uint32_t> b(std::move(a));
  EXPECT_EQ(runs_of(b), (Runs{{1, 2, 3}, {4}}));
  // NOLINTBEGIN(bugprone-use-after-move): the moved-from state is what is tested
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.item_count(), 0u);
  a.push(std::vector<std::uint32_t>{7});
  EXPECT_EQ(runs_of(a), (Runs{{7}}));

  Ragged<std::uint32_t> c;
  c.push(std::vector<std::uint32_t>{9, 9});
  c = std::move(b);
  EXPECT_EQ(runs_of(c), (Runs{{1, 2, 3}, {4}}));
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b, Ragged<std::uint32_t>{});
  // NOLINTEND(bugprone-use-after-move)
}

}  // namespace
}  // namespace vantrel
