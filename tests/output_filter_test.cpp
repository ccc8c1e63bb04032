#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using OutputFilter = conversion_test;

std::vector<std::uint8_t> tail(const std::vector<std::uint8_t> &samples, std::size_t n)
{
    return {samples.end() - static_cast<long>(n), samples.end()};
}

TEST_F(OutputFilter, StepResponses)
{
    EXPECT_EQ(filtered({{60, 8}}),
              (std::vector<std::uint8_t>{128, 161, 175, 181, 184, 185, 185, 185}));

    reset_conversion();
    const auto settled = filtered({{60, 400}});
    EXPECT_EQ(tail(settled, 3), (std::vector<std::uint8_t>{131, 131, 131}));

    reset_conversion();
    const auto fall = filtered({{60, 400}, {0, 8}});
    EXPECT_EQ(tail(fall, 8), (std::vector<std::uint8_t>{131, 99, 84, 78, 76, 75, 74, 75}));
}

TEST_F(OutputFilter, SilenceFromRestIsTheCentreLine)
{
    EXPECT_EQ(filtered({{0, 100000}}), std::vector<std::uint8_t>(100000, 128));
}

TEST_F(OutputFilter, ClampTruncationAndOffset)
{
    const struct {
        double difference;
        std::uint8_t sample;
    } cases[] = {
        {0.0, 128},   {-0.9, 128}, // truncated toward zero, not floored
        {0.9, 128},   {1.9, 129},   {-1.5, 127}, {126.99, 254}, {127.0, 255},
        {500.0, 255}, {-126.99, 2}, {-127.0, 1}, {-500.0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.difference);
        lp_accu = c.difference;
        hp_accu = 0.0;
        EXPECT_EQ(filtered({{0, 1}}), std::vector<std::uint8_t>{c.sample});
    }
}

// A run longer than the output block must come out as if sample by sample: no state or
// sample may be lost where the block is handed to the stream.
TEST_F(OutputFilter, LongRunsMatchSingleSamples)
{
    const auto block = static_cast<std::uint32_t>(sizeof pending_samples.bytes);
    const std::vector<level_run> in_runs = {{60, block - 5}, {0, 10}, {105, block + 3}};
    const auto whole = filtered(in_runs);
    ASSERT_EQ(whole.size(), 2 * block + 8);

    reset_conversion();
    std::vector<level_run> singles;
    for (const auto &[level, count] : in_runs)
        singles.insert(singles.end(), count, level_run{level, 1});
    EXPECT_EQ(filtered(singles), whole);
}

} // namespace
