#include "audio/wave_file.h"
#include "pulse_decoder.h"
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

// Cells from rest compared with the filter fed the runs of levels each cell should be made of.
TEST_F(TapeSignal, CellShapes)
{
    constexpr std::uint8_t high = 60;
    const struct {
        std::uint32_t rate;
        void (*cell)(FILE *, int);
        int bit;
        std::vector<level_run> levels;
    } cases[] = {
        {44100, dump_bit, 0, {{high, 8}, {0, 57}}},
        {44100, dump_bit, 1, {{high, 4}, {0, 28}, {high, 4}, {0, 28}}},
        {44100, dump_last_bit, 0, {{high, 9}, {0, 57}}},
        {44100, dump_last_bit, 1, {{high, 4}, {0, 28}, {high, 4}, {0, 28}}},
        {48000, dump_last_bit, 0, {{high, 10}, {0, 62}}},
        {48000, dump_last_bit, 1, {{high, 5}, {0, 31}, {high, 5}, {0, 31}}},
        // At 8000 the high parts of a 1 are shorter than a sample and vanish.
        {8000, dump_bit, 0, {{high, 1}, {0, 10}}},
        {8000, dump_bit, 1, {{0, 10}}},
        {8000, dump_last_bit, 0, {{high, 1}, {0, 10}}},
        {8000, dump_last_bit, 1, {{0, 10}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, bit " << c.bit << ", "
                                        << (c.cell == dump_bit ? "normal" : "last") << " cell");
        reset_conversion_state();
        set_sample_rate(c.rate);
        const auto expected = filtered(c.levels);
        reset_conversion_state();
        set_sample_rate(c.rate);
        EXPECT_EQ(captured_output([&](FILE *out) { c.cell(out, c.bit); }), expected);
    }
}

TEST_F(TapeSignal, ByteLengthsAndTheUnsentTopBit)
{
    auto byte_samples = [](std::uint8_t byte) {
        reset_conversion_state();
        return captured_output([&](FILE *out) { output_wav_byte(out, byte); });
    };
    EXPECT_EQ(byte_samples(0x00).size(), 456u); // every cell a 0
    EXPECT_EQ(byte_samples(0x7F).size(), 448u); // every cell a 1
    EXPECT_EQ(byte_samples(0x01).size(), 6 * 65u + 64);
    EXPECT_EQ(byte_samples(0x80), byte_samples(0x00));
    EXPECT_EQ(byte_samples(0xFF), byte_samples(0x7F));
}

std::vector<std::uint8_t> every_byte_value_and_runs()
{
    std::vector<std::uint8_t> image;
    for (int value = 0; value < 256; ++value)
        image.push_back(static_cast<std::uint8_t>(value));
    for (int value = 255; value >= 0; --value)
        image.push_back(static_cast<std::uint8_t>(value));
    image.insert(image.end(), 300, 0x00);
    image.insert(image.end(), 300, 0xFF);
    std::uint32_t state = 12345;
    for (int i = 0; i < 500; ++i) {
        state = state * 1103515245u + 12345u;
        image.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return image;
}

wave_contents converted(const scratch_dir &dir, const std::vector<std::uint8_t> &image,
                        std::uint32_t rate)
{
    write_bytes(dir.path("image.zkt"), image);
    const auto result =
        run_program(dir.root(), {"-i", "image.zkt", "-o", "out.wav", "-f", std::to_string(rate)});
    EXPECT_EQ(result.status, 0) << result.err;
    return read_wave(dir.path("out.wav"));
}

// The decoder sees only the samples; it catches a wrong bit order, a missing or extra cell
// and a lost byte.
TEST_F(TapeSignal, DecoderRecoversEveryByte)
{
    const auto image = every_byte_value_and_runs();
    std::vector<std::uint8_t> sent;
    for (const auto byte : image)
        sent.push_back(byte & 0x7F);
    for (const std::uint32_t rate : {48000, 44100, 22050, 11025}) {
        SCOPED_TRACE(rate);
        const auto written = converted(dir, image, rate);
        expect_consistent_wave(written, rate);
        const auto cells = decode_cells(written.samples, rate);
        EXPECT_EQ(cells.size(), 7 * image.size());
        EXPECT_EQ(decode_bytes(cells), sent);
    }
}

// At 48000 a last cell's high part is a sample longer than a normal cell's, so the decoder
// can tell them apart: exactly every seventh cell is a last cell.
TEST_F(TapeSignal, EveryByteEndsWithOneLastCell)
{
    const auto image = every_byte_value_and_runs();
    const auto cells = decode_cells(converted(dir, image, 48000).samples, 48000);
    ASSERT_EQ(cells.size(), 7 * image.size());
    std::size_t last_cells = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        // Normal highs: 8 samples for a 0, 4 for a 1; last highs: 10 and 5.
        const double normal_high = cells[i].bit ? 4.0 / 48000 : 8.0 / 48000;
        const bool last = cells[i].high_seconds > normal_high + 0.5 / 48000;
        EXPECT_EQ(last, i % 7 == 6) << "cell " << i;
        last_cells += last;
    }
    EXPECT_EQ(last_cells, image.size());
}

TEST_F(TapeSignal, OutputLengthIsHeaderLeadInAndCells)
{
    const struct {
        std::uint32_t rate, lead_in, normal0, normal1, last0, last1;
    } rates_cells[] = {
        {48000, 2295, 70, 70, 72, 72}, {44100, 2118, 65, 64, 66, 64}, {22050, 1047, 32, 32, 32, 32},
        {11025, 511, 16, 16, 16, 16},  {8000, 382, 11, 10, 11, 10},
    };
    const std::vector<std::vector<std::uint8_t>> images = {
        {}, {0x01}, {0xFE}, every_byte_value_and_runs()};
    for (const auto &r : rates_cells) {
        for (const auto &image : images) {
            SCOPED_TRACE(testing::Message() << r.rate << " Hz, " << image.size() << " bytes");
            std::uint64_t expected = 44 + r.lead_in;
            for (const auto byte : image) {
                for (int bit = 1; bit <= 6; ++bit)
                    expected += (byte >> bit) & 1 ? r.normal1 : r.normal0;
                expected += byte & 1 ? r.last1 : r.last0;
            }
            const auto written = converted(dir, image, r.rate);
            expect_consistent_wave(written, r.rate);
            EXPECT_EQ(written.file_length, expected);
        }
    }
}

} // namespace
