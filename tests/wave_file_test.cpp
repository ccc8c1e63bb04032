#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

namespace {

using WaveFile = conversion_test;

TEST_F(WaveFile, HeaderBytesAtTheDefaultRate)
{
    const std::vector<unsigned char> expected = {
        0x52, 0x49, 0x46, 0x46,                         // "RIFF"
        0x00, 0x00, 0x00, 0x00,                         // RIFF length, patched at close
        0x57, 0x41, 0x56, 0x45, 0x66, 0x6d, 0x74, 0x20, // "WAVEfmt "
        0x10, 0x00, 0x00, 0x00,                         // format chunk length 16
        0x01, 0x00,                                     // PCM
        0x01, 0x00,                                     // mono
        0x44, 0xac, 0x00, 0x00,                         // 44100 samples per second
        0x44, 0xac, 0x00, 0x00,                         // 44100 bytes per second
        0x01, 0x00,                                     // block align
        0x08, 0x00,                                     // bits per sample
        0x64, 0x61, 0x74, 0x61,                         // "data"
        0x00, 0x00, 0x00, 0x00,                         // data length, patched at close
    };
    const auto bytes = wav_header_bytes(wave);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()), expected);
}

TEST_F(WaveFile, RateFieldsFollowTheSampleRate)
{
    set_sample_rate(22050);
    const auto bytes = wav_header_bytes(wave);
    const std::vector<unsigned char> rates(bytes.begin() + 24, bytes.begin() + 32);
    EXPECT_EQ(rates, (std::vector<unsigned char>{0x22, 0x56, 0, 0, 0x22, 0x56, 0, 0}));
}

TEST_F(WaveFile, CloseFillsInBothLengthsWithoutPadding)
{
    const struct {
        std::uint32_t samples;
        std::uint32_t riff_length;
        std::uint32_t data_length;
    } cases[] = {
        {0, 36, 0},
        {2118, 2154, 2118}, // an empty image's lead-in at 44100
        {7, 43, 7},         // odd: no pad byte
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.samples);
        const auto read = written([&](FILE *out) { filter_output(0, c.samples, out); });
        EXPECT_EQ(read.file_length, 44 + c.samples);
        EXPECT_EQ(read.riff_length, c.riff_length);
        EXPECT_EQ(read.data_length, c.data_length);
        expect_consistent_wave(read, 44100);
    }
}

TEST(WaveLengthLimit, FileLengthLessEightMustFitThirtyTwoBits)
{
    const struct {
        std::uint64_t file_length;
        bool fits;
    } cases[] = {
        {44, true},
        {0x80000000ull, true},   // 2 GiB: past a signed 32-bit position
        {0xFFFFFFFFull, true},   //
        {0x100000007ull, true},  // RIFF length 0xFFFFFFFF, the largest
        {0x100000008ull, false}, // RIFF length would wrap to 0
        {0x200000000ull, false}, //
        {UINT64_MAX, false},     //
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file_length);
        EXPECT_EQ(fits_wave_lengths(c.file_length), c.fits);
    }
}

// The limit holds for any output, a device included, and for the block about to be written.
TEST_F(WaveFile, TheLimitCountsEveryByteWrittenAndTheBlock)
{
    constexpr std::uint64_t largest = 0x100000007;
    const auto block = static_cast<std::uint32_t>(sizeof pending_samples.bytes);
    FILE *device = std::fopen("/dev/null", "wb");
    ASSERT_NE(device, nullptr);
    wav_name = "/dev/null";

    wav_bytes_written = largest - block;
    filter_output(0, block, device);
    EXPECT_EQ(wav_bytes_written, largest);

    wav_bytes_written = largest - block + 1;
    EXPECT_EXIT(filter_output(0, block, device), testing::ExitedWithCode(5),
                "^Error writing /dev/null\\.\nThe output is too large for a WAVE file\\.\n$");
    std::fclose(device);
}

// A pipe can't be seeked back to: its lengths are written first, and must then come true.
TEST_F(WaveFile, PromisedLengthsAreWrittenFirstAndKept)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    FILE *pipe_in = fdopen(ends[1], "wb");
    promise_wav_length(44 + 7);
    write_wav_header(pipe_in);
    filter_output(0, 7, pipe_in);
    close_wav(pipe_in);
    std::vector<std::uint8_t> bytes(64);
    bytes.resize(static_cast<std::size_t>(read(ends[0], bytes.data(), bytes.size())));
    close(ends[0]);
    write_bytes(dir.path("piped.wav"), bytes);
    const auto piped = read_wave(dir.path("piped.wav"));
    EXPECT_EQ(piped.file_length, 51u);
    expect_consistent_wave(piped, 44100);

    // A sample short of the promise: the image changed between its two readings.
    reset_conversion();
    FILE *device = std::fopen("/dev/null", "wb");
    ASSERT_NE(device, nullptr);
    wav_name = "-";
    promise_wav_length(44 + 7);
    write_wav_header(device);
    filter_output(0, 6, device);
    EXPECT_EXIT(close_wav(device), testing::ExitedWithCode(5),
                "^Error writing -\\.\nThe tape image changed while it was read\\.\n$");
    std::fclose(device);

    promise_wav_length(largest_wave_file);
    promise_wav_length(largest_wave_file - 1);
    EXPECT_EXIT(promise_wav_length(largest_wave_file + 1), testing::ExitedWithCode(5),
                "^Error writing -\\.\nThe output is too large for a WAVE file\\.\n$");
}

} // namespace
