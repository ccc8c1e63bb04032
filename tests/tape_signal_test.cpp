#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "check/pulse_decoder.h"
#include "tape/tape_signal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using TapeSignal = conversion_test;

TEST_F(TapeSignal, CyclesToSamples)
{
    for (const auto &t : rate_timings) {
        set_sample_rate(t.rate);
        // 273 cycles are shorter than a sample at 8000.
        // clang-format off
        const std::pair<std::uint32_t, std::uint32_t> cases[] = {
            {55300, t.opening_silence}, {2656, t.tone_half}, {25238, t.closing_silence},
            {546, t.high0}, {3878, t.low0}, {273, t.high1}, {1939, t.low1},
            {680, t.last_high0}, {340, t.last_high1}, {0, 0}};
        // clang-format on
        for (const auto &[cycles, samples] : cases)
            EXPECT_EQ(cycles_to_samples(cycles), samples) << cycles << " cycles at " << t.rate;
    }
}

TEST_F(TapeSignal, CyclesToSamplesNeverDecreases)
{
    for (const auto &t : rate_timings) {
        set_sample_rate(t.rate);
        std::uint32_t previous = 0;
        for (std::uint32_t cycles = 0; cycles <= 55300; ++cycles) {
            const std::uint32_t samples = cycles_to_samples(cycles);
            ASSERT_GE(samples, previous) << cycles << " cycles at " << t.rate;
            previous = samples;
        }
    }
}

// At 44100 the opening silence (812 samples) and the tone's first low half (39) leave the
// filter at rest; the first high half reaches the output a sample late, and its first step
// shows the high level that the options chose.
TEST_F(TapeSignal, LeadInStartsAtRestThenTheTone)
{
    const struct {
        std::vector<std::string> gain_args;
        std::vector<std::uint8_t> tone_start;
    } cases[] = {
        {{}, {128, 161, 175, 181}},   // default gain 4, level 60
        {{"-g", "1"}, {128, 136}},    // level 15
        {{"-g", "7"}, {128, 186}},    // level 105
        {{"-g2", "-g6"}, {128, 177}}, // the last gain wins: level 90
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tone_start[1]);
        const auto samples = convert(dir, {}, c.gain_args).samples;
        ASSERT_EQ(samples.size(), 2118u);
        EXPECT_EQ(std::vector<std::uint8_t>(samples.begin(), samples.begin() + 851),
                  std::vector<std::uint8_t>(851, 128));
        const auto tone = samples.begin() + 851;
        EXPECT_EQ(std::vector<std::uint8_t>(tone, tone + static_cast<long>(c.tone_start.size())),
                  c.tone_start);
    }
}

// Cells from rest compared with the filter fed the runs of levels each cell should be made of.
TEST_F(TapeSignal, CellShapes)
{
    constexpr std::uint8_t high = 60;
    for (const auto &t : rate_timings) {
        const struct {
            void (*cell)(FILE *, int);
            int bit;
            std::vector<level_run> levels;
            std::uint32_t samples;
        } cases[] = {
            {dump_bit, 0, {{high, t.high0}, {0, t.low0}}, t.normal0},
            {dump_bit, 1, {{high, t.high1}, {0, t.low1}, {high, t.high1}, {0, t.low1}}, t.normal1},
            {dump_last_bit, 0, {{high, t.last_high0}, {0, t.low0}}, t.last0},
            {dump_last_bit,
             1,
             {{high, t.last_high1}, {0, t.low1}, {high, t.last_high1}, {0, t.low1}},
             t.last1},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << t.rate << " Hz, bit " << c.bit << ", "
                                            << (c.cell == dump_bit ? "normal" : "last") << " cell");
            reset_conversion();
            set_sample_rate(t.rate);
            const auto expected = filtered(c.levels);
            reset_conversion();
            set_sample_rate(t.rate);
            const auto cell = written([&](FILE *out) { c.cell(out, c.bit); }).samples;
            EXPECT_EQ(cell, expected);
            EXPECT_EQ(cell.size(), c.samples);
        }
    }
}

TEST_F(TapeSignal, ByteLengthsAndTheUnsentTopBit)
{
    auto byte_samples = [this](std::uint8_t byte) {
        reset_conversion();
        return written([&](FILE *out) { output_wav_byte(out, byte); }).samples;
    };
    EXPECT_EQ(byte_samples(0x00).size(), 456u); // every cell a 0
    EXPECT_EQ(byte_samples(0x7F).size(), 448u); // every cell a 1
    EXPECT_EQ(byte_samples(0x01).size(), 6 * 65u + 64);
    EXPECT_EQ(byte_samples(0x80), byte_samples(0x00));
    EXPECT_EQ(byte_samples(0xFF), byte_samples(0x7F));
}

std::vector<std::uint8_t> every_byte_value_and_runs()
{
    std::vector<std::uint8_t> image(256);
    std::iota(image.begin(), image.end(), 0);
    const std::vector<std::uint8_t> descending(image.rbegin(), image.rend());
    image.insert(image.end(), descending.begin(), descending.end());
    image.insert(image.end(), 300, 0x00);
    image.insert(image.end(), 300, 0xFF);
    std::uint32_t state = 12345;
    for (int i = 0; i < 500; ++i) {
        state = state * 1103515245u + 12345u;
        image.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return image;
}

std::uint64_t expected_length(const std::vector<std::uint8_t> &image, const rate_timing &t)
{
    std::uint64_t length = 44 + t.lead_in;
    for (const auto byte : image) {
        for (int bit = 1; bit <= 6; ++bit)
            length += (byte >> bit) & 1 ? t.normal1 : t.normal0;
        length += byte & 1 ? t.last1 : t.last0;
    }
    return length;
}

// The decoder hears the samples as a recording would be heard.
pulse_decoder heard(const std::vector<std::uint8_t> &samples, std::uint32_t rate)
{
    std::vector<float> recording;
    for (const auto sample : samples)
        recording.push_back(static_cast<float>(sample - 128) / 128);
    pulse_decoder decoder;
    start_decoding(decoder, rate);
    decode_samples(decoder, recording.data(), recording.size());
    finish_decoding(decoder);
    return decoder;
}

// The length of a whole conversion is the header, the lead-in and each byte's cells. The
// decoder sees only the samples; it catches a wrong bit order, a missing or extra cell and
// a lost byte.
TEST_F(TapeSignal, EveryByteBecomesItsCells)
{
    const std::vector<std::vector<std::uint8_t>> images = {
        {}, {0x01}, {0xFE}, every_byte_value_and_runs()};
    for (const auto &t : rate_timings) {
        for (const auto &image : images) {
            SCOPED_TRACE(testing::Message() << t.rate << " Hz, " << image.size() << " bytes");
            const auto written = convert(dir, image, {"-f", std::to_string(t.rate)});
            expect_consistent_wave(written, t.rate);
            EXPECT_EQ(written.file_length, expected_length(image, t));
            if (t.high1 == 0)
                continue; // the pulses of a 1 vanish
            const auto decoder = heard(written.samples, t.rate);
            EXPECT_EQ(decoder.cells, 7 * image.size());
            std::vector<std::uint8_t> sent;
            for (const auto byte : image)
                sent.push_back(byte & 0x7F);
            EXPECT_EQ(decoder.bytes, sent);
            EXPECT_EQ(decoder.lead_in_found, true);
            // The tone's period as the rate's whole samples make it.
            EXPECT_NEAR(decoder.speed, 5312.0 * t.rate / 3e6 / (2 * t.tone_half), 0.01);
            EXPECT_FALSE(decoder.inverted);
            EXPECT_GT(decoder.worst_margin, 0.5);
            // Where the rate gives a last cell's pulses a sample more than a normal
            // cell's, every byte's last pulse stands out.
            const bool last_stands_out = t.last_high0 > t.high0 && t.last_high1 > t.high1;
            EXPECT_TRUE(!last_stands_out || decoder.longer_last == image.size())
                << decoder.longer_last;
        }
    }
}

// Mirrored around the centre line, 128 staying 128; the header is untouched.
TEST_F(TapeSignal, InvertMirrorsEverySample)
{
    const auto image = every_byte_value_and_runs();
    convert(dir, image);
    const auto plain = read_bytes(dir.path("out.wav"));
    convert(dir, image, {"--invert"});
    const auto inverted = read_bytes(dir.path("out.wav"));
    auto mirrored = plain;
    for (std::size_t i = 44; i < mirrored.size(); ++i)
        mirrored[i] = static_cast<std::uint8_t>(256 - plain[i]);
    EXPECT_EQ(inverted, mirrored);
}

// The pad is silence through the filter at both ends: the leading pad is the centre line, the
// samples between the pads are those of the plain conversion, and the trailing pad settles
// back to the centre line. Its length is the rate times the seconds, rounded down exactly.
TEST_F(TapeSignal, PadAddsItsSamplesAtBothEnds)
{
    const std::vector<std::uint8_t> image{0x55, 0xAA, 0x01};
    const struct {
        const char *seconds;
        std::uint32_t rate, samples;
    } cases[] = {
        {"0", 44100, 0},
        {"0.5", 44100, 22050},
        {"1", 8000, 8000},
        {"60", 48000, 2880000},
        {".1", 22050, 2205},
        {"0.29", 48000, 13920},
        {"0.07", 44100, 3087},
        {"0.3", 11025, 3307},              // 3307.5, rounded down
        {"0.00002083333333334", 48000, 1}, // a hair over one sample period
        {"0.0000208333", 48000, 0},        // a hair under
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.seconds << " s at " << c.rate);
        const std::string rate = std::to_string(c.rate);
        const auto plain = convert(dir, image, {"-f", rate}).samples;
        const auto padded = convert(dir, image, {"-f", rate, "--pad", c.seconds}).samples;
        ASSERT_EQ(padded.size(), plain.size() + 2 * c.samples);
        const auto end = padded.end() - static_cast<long>(c.samples);
        EXPECT_EQ(std::vector<std::uint8_t>(padded.begin(), padded.begin() + c.samples),
                  std::vector<std::uint8_t>(c.samples, 128));
        EXPECT_EQ(std::vector<std::uint8_t>(padded.begin() + c.samples, end), plain);
        EXPECT_TRUE(c.samples < 8000 || padded.back() == 128);
    }
}

std::uint64_t bits_of(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The filter's state after converting the 256 byte values, bit for bit, as the separately
// written converter left it with no excess precision and no fused multiply-add. Drift of a
// few units in the last place hides in the output bytes, but not here.
TEST_F(TapeSignal, FilterStateAfterAWholeConversion)
{
    const struct {
        std::uint32_t rate;
        int gain;
        std::uint64_t lp_accu, hp_accu;
    } cases[] = {
        {48000, 1, 0x3de5163c6e569e55, 0x3ffaca54cfc88c2e},
        {48000, 4, 0x3e05163c6e569e55, 0x401aca54cfc88c2e},
        {48000, 7, 0x3e127374e08bca89, 0x4027710a35cf7aab},
        {44100, 1, 0x3e1dcd2f7aee3014, 0x3ffb3d450ae6fce2},
        {44100, 4, 0x3e3dcd2f7aee3014, 0x401b3d450ae6fce2},
        {44100, 7, 0x3e4a13898b906a1a, 0x4027d59c698a1d46},
        {22050, 1, 0x3f215783b8159a74, 0x3ffc9f49e7803b4a},
        {22050, 4, 0x3f415783b8159a74, 0x401c9f49e7803b4a},
        {22050, 7, 0x3f4e59268225ce4a, 0x40290b60aa9033dd},
        {11025, 1, 0x3f9c688dd7f4ea0c, 0x3ffd5c7986841361},
        {11025, 4, 0x3fbc688dd7f4ea0c, 0x401d5c7986841361},
        {11025, 7, 0x3fc8db7c1cf64ccd, 0x4029b0ea55b390f7},
        {8000, 1, 0x3a3e1c711eef8984, 0x3fc4c63475966ce5},
        {8000, 4, 0x3a5e1c711eef8984, 0x3fe4c63475966ce5},
        {8000, 7, 0x3a6a58e2fb11984e, 0x3ff22d6de6e39f4f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, gain " << c.gain);
        reset_conversion();
        set_sample_rate(c.rate);
        set_gain(c.gain);
        written([](FILE *out) {
            for (int byte = 0; byte < 256; ++byte)
                output_wav_byte(out, static_cast<std::uint8_t>(byte));
        });
        EXPECT_EQ(bits_of(lp_accu), c.lp_accu);
        EXPECT_EQ(bits_of(hp_accu), c.hp_accu);
    }
}

std::string sha256_of(const std::filesystem::path &file)
{
    FILE *digest = popen(("sha256sum '" + file.string() + "'").c_str(), "r");
    if (!digest)
        throw std::runtime_error("cannot run sha256sum");
    char hex[65] = {};
    const std::size_t read = std::fread(hex, 1, 64, digest);
    pclose(digest);
    return std::string(hex, read);
}

// SHA-256 of the files that a converter written separately from the same description makes
// of two images: the 256 byte values in order, and no bytes at all (the header and the
// lead-in alone, as long at every gain). Any changed byte, at any rate and gain, shows.
TEST_F(TapeSignal, WholeConversionsMatchAnIndependentConverter)
{
    const struct {
        long image_size; // the first bytes of 0, 1, 2, ..., 255
        std::uint32_t rate;
        int gain;
        std::uint64_t file_length;
        const char *sha256;
    } cases[] = {
        {256, 48000, 1, 128291, "01f561626340378aabba5aa5cd2e75a7a811c70071a875e660b404c4ae5fb861"},
        {256, 48000, 4, 128291, "29ec724652c119dd558839a02a1eda88ae7cb1f80110009515673f332a109ea6"},
        {256, 48000, 7, 128291, "55e430b7e389757396520c3c9eaad752c86970e2bdeaddc194e90008316047cc"},
        {256, 44100, 1, 117874, "3bf133ec9a3d793c732c6c1678f6c431d94beb36a103b41db7843f5704599b34"},
        {256, 44100, 4, 117874, "d7b084623f91185a159e5c590587959df6de7ff23e8af1ce0fb3d94587955d25"},
        {256, 44100, 7, 117874, "6de65f49894406965b499f1aa041cd6c8b1f28f000491fa15ee866cedae1ed5a"},
        {256, 22050, 1, 58435, "85a5e3c4f4581fee4b5b99abb39e4c5004ab87bb7c610dbc7f801b99ca9b9555"},
        {256, 22050, 4, 58435, "b1044de5e49c4662f7f7f4f06b7ce14a9aeedcaa2f640d76b1d243d0b87b4ba4"},
        {256, 22050, 7, 58435, "eec19066060b27f95fa8b76ccf1ab2a5e4815e587370eda75cf260ff605e0ad9"},
        {256, 11025, 1, 29227, "43130921e6a88735b1a82b86cf2af963dd51d4a411287e503cb10010c32469bf"},
        {256, 11025, 4, 29227, "42bce43ed83dc11b4392b85a1b0bd455e979963fc364a1780fbad0d42efd9790"},
        {256, 11025, 7, 29227, "4e4fec94dca8acbe9ec8d127193a0deb2cdf1c34a67ffcf0bcd2f792617eaaf3"},
        {256, 8000, 1, 19242, "c5db4f5ee622b1d2d212ae974f8572abfb6070a648cd663f03fd1a26c2da6649"},
        {256, 8000, 4, 19242, "a26c3e32607e64c8d0dac55f858a457348d677669b288c75bb01aa1d05da68d9"},
        {256, 8000, 7, 19242, "db85963f11e53cc61ffd239839f7d4bb5859ca23e4ccb532da6202d29f536d21"},
        {0, 48000, 1, 2339, "755af50868852aedd7c84020a3a00623c04d58b2c655113c1359fc4f49d72ae3"},
        {0, 48000, 4, 2339, "cb7c8d0bed145e34766a79bf888d0a323b3fa5bcbd89bcff2841a629caa2f15c"},
        {0, 48000, 7, 2339, "d3b900bdf4402fdb814b615c5b4c116fedc42b8b8d9a0a91ab303d3daf32ca1a"},
        {0, 44100, 1, 2162, "a8f2de2a9f9e5d492874920e78f9e886b2049054d874732f5a889494233b2734"},
        {0, 44100, 4, 2162, "de9d42026257532fe06ebe1b7c173fd781743dc13f223a4dcbdd29e08a972d02"},
        {0, 44100, 7, 2162, "6ae2e4eb78fd012305e36e7a73ee7572ca88df8fbb358fbf41e3b5c9e282184f"},
        {0, 22050, 1, 1091, "5e96b7fb6c9a6f6165c53f7626f8edbeb65f90b32afe4b6be270963c64c9d633"},
        {0, 22050, 4, 1091, "d749a2d9d3fd3deba78614797e7a4c461e661b40cc13525f5242c21dc0b1ca07"},
        {0, 22050, 7, 1091, "1640d078caccf54ee9a0c10a02283cdefcc47013723497db3a11572bbe7f83d8"},
        {0, 11025, 1, 555, "c71d4fa046870dbfb5407f4ac908c0bdc8a95b276cf8819b254a8c84e78b4bbe"},
        {0, 11025, 4, 555, "8218f6cdb06b0e2fa5e6301a93d9ececd643401fd770ec2ffbc11465f8176b18"},
        {0, 11025, 7, 555, "94652d2b42e0c0b7dadf2cdd2eefff16a7b6c6b388c8a87a727cd8a372e86bec"},
        {0, 8000, 1, 426, "c2ccf67b645d4f38b9c9877135d06edcebfb9e03a516d734602646b40bb6b651"},
        {0, 8000, 4, 426, "eb5ecd443cad34420c8abda453abcfd6ca8ace21b4457f3cf0d8b940e17b9137"},
        {0, 8000, 7, 426, "2a6771403d73a769a115485988fc16b5fda517805aa36bb1640ef8a2941ef72f"},
    };
    std::vector<std::uint8_t> all_bytes(256);
    std::iota(all_bytes.begin(), all_bytes.end(), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.image_size << " bytes at " << c.rate << " Hz, gain " << c.gain);
        const std::vector<std::uint8_t> image(all_bytes.begin(), all_bytes.begin() + c.image_size);
        const auto written =
            convert(dir, image, {"-f", std::to_string(c.rate), "-g", std::to_string(c.gain)});
        expect_consistent_wave(written, c.rate);
        EXPECT_EQ(written.file_length, c.file_length);
        EXPECT_EQ(sha256_of(dir.path("out.wav")), c.sha256);
    }
}

} // namespace
