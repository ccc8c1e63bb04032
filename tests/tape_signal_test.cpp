#include "audio/wave_file.h"
#include "tape/tape_signal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class TapeSignal : public ::testing::Test {
  protected:
    void SetUp() override { reset_conversion_state(); }
    void TearDown() override { reset_conversion_state(); }
    scratch_dir dir;
};

const std::uint32_t rates[] = {48000, 44100, 22050, 11025, 8000};

TEST_F(TapeSignal, CyclesToSamples)
{
    const struct {
        std::uint32_t rate, cycles, samples;
    } cases[] = {
        {48000, 55300, 884}, {48000, 2656, 42},   {48000, 25238, 403}, {44100, 55300, 812},
        {44100, 2656, 39},   {44100, 25238, 370}, {22050, 55300, 406}, {22050, 2656, 19},
        {22050, 25238, 185}, {11025, 55300, 203}, {11025, 2656, 9},    {11025, 25238, 92},
        {8000, 55300, 147},  {8000, 2656, 7},     {8000, 25238, 67},   {44100, 546, 8},
        {8000, 546, 1},      {8000, 273, 0}, // shorter than a sample
        {44100, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cycles << " cycles at " << c.rate);
        set_sample_rate(c.rate);
        EXPECT_EQ(cycles_to_samples(c.cycles), c.samples);
    }
}

TEST_F(TapeSignal, CyclesToSamplesNeverDecreases)
{
    for (const auto rate : rates) {
        set_sample_rate(rate);
        std::uint32_t previous = 0;
        for (std::uint32_t cycles = 0; cycles <= 55300; ++cycles) {
            const std::uint32_t samples = cycles_to_samples(cycles);
            ASSERT_GE(samples, previous) << cycles << " cycles at " << rate;
            previous = samples;
        }
        EXPECT_EQ(previous, 55300 * rate / 3000000);
    }
}

wave_contents lead_in_only(const scratch_dir &dir)
{
    const auto file = dir.path("lead-in.wav");
    FILE *out = std::fopen(file.c_str(), "wb");
    if (!out)
        throw std::runtime_error("cannot create " + file.string());
    init_wav(out);
    close_wav(out);
    return read_wave(file);
}

TEST_F(TapeSignal, LeadInLengthDependsOnTheRateOnly)
{
    const struct {
        std::uint32_t rate, samples;
    } cases[] = {{48000, 2295}, {44100, 2118}, {22050, 1047}, {11025, 511}, {8000, 382}};
    for (const auto &c : cases) {
        for (const int gain : {1, 4, 7}) {
            SCOPED_TRACE(testing::Message() << c.rate << " Hz, gain " << gain);
            reset_conversion_state();
            set_sample_rate(c.rate);
            set_gain(gain);
            const auto written = lead_in_only(dir);
            expect_consistent_wave(written, c.rate);
            EXPECT_EQ(written.samples.size(), c.samples);
        }
    }
}

TEST_F(TapeSignal, LeadInStartsAtRestThenTheTone)
{
    const auto samples = lead_in_only(dir).samples;
    ASSERT_GE(samples.size(), 855u);
    // 812 samples of opening silence and 39 of the tone's first low half.
    EXPECT_EQ(std::vector<std::uint8_t>(samples.begin(), samples.begin() + 851),
              std::vector<std::uint8_t>(851, 128));
    EXPECT_EQ(std::vector<std::uint8_t>(samples.begin() + 851, samples.begin() + 855),
              (std::vector<std::uint8_t>{128, 161, 175, 181}));
}

} // namespace
