#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

// A short image of every kind of byte, bit 7 left clear so that the image is the recording.
std::vector<std::uint8_t> seven_bit_image()
{
    std::vector<std::uint8_t> image(300);
    std::iota(image.begin(), image.end(), 0);
    for (auto &byte : image)
        byte &= 0x7F;
    return image;
}

struct checked {
    int status;
    json report;
    std::string err;
};

// Checks `recording` in `dir`, as JSON, with these options.
checked check(const scratch_dir &dir, const std::string &recording,
              const std::vector<std::string> &more = {})
{
    std::vector<std::string> args{"--check", recording, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    const auto result = run_program(dir.root(), args);
    return {result.status, json::parse(result.out, nullptr, false), result.err};
}

bool mentions(const json &list, const std::string &words)
{
    for (const auto &entry : list)
        if (entry.get<std::string>().find(words) != std::string::npos)
            return true;
    return false;
}

void shell(const scratch_dir &dir, const std::string &command)
{
    ASSERT_EQ(std::system(("cd '" + dir.root().string() + "' && " + command).c_str()), 0)
        << command;
}

bool has_sox()
{
    return fs::exists("/usr/bin/sox");
}

// Random 7-bit bytes, as a program's are.
std::vector<std::uint8_t> random_image(unsigned seed, std::size_t bytes)
{
    std::minstd_rand random(seed);
    std::vector<std::uint8_t> image(bytes);
    for (auto &byte : image)
        byte = static_cast<std::uint8_t>(random() & 0x7F);
    return image;
}

// A 32-bit float WAVE file, written here so that no sample is rounded on its way in.
void write_float_wave(const fs::path &file, std::uint32_t rate, const std::vector<float> &samples)
{
    std::vector<std::uint8_t> bytes;
    auto put = [&bytes](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    auto text = [&bytes](const char *t) { bytes.insert(bytes.end(), t, t + 4); };
    const auto data = static_cast<std::uint32_t>(4 * samples.size());
    text("RIFF"), put(36 + data, 4), text("WAVE"), text("fmt "), put(16, 4), put(3, 2), put(1, 2);
    put(rate, 4), put(4 * rate, 4), put(4, 2), put(32, 2), text("data"), put(data, 4);
    for (float sample : samples) {
        std::uint32_t bits;
        std::memcpy(&bits, &sample, 4);
        put(bits, 4);
    }
    write_bytes(file, bytes);
}

// The samples as a recording at 44100 Hz, checked with these options.
checked check_samples(const scratch_dir &dir, const std::vector<float> &samples,
                      const std::vector<std::string> &more = {})
{
    write_float_wave(dir.path("take.wav"), 44100, samples);
    return check(dir, "take.wav", more);
}

// The signal as ideal rectangular pulses at 44100 Hz, from this test's own table of sample
// counts, with a third of a second of silence at each end. Each pulse can be moved, dropped,
// or joined by a spike.
struct ideal_signal {
    std::vector<std::size_t> pulses; // where each data pulse starts
    std::vector<std::size_t> widths;
    std::vector<int> of_a_one; // 0 for a 0's pulse, 1 and 2 for a 1's first and second
    std::vector<std::size_t> byte_starts;
    std::size_t length = 0;

    explicit ideal_signal(const std::vector<std::uint8_t> &image)
    {
        const rate_timing &t = rate_timings[1];
        std::size_t at = 14700 + t.opening_silence;
        for (int period = 0; period < 12; ++period, at += 2 * t.tone_half)
            tone.push_back(at + t.tone_half);
        at += t.closing_silence;
        for (std::uint8_t byte : image) {
            byte_starts.push_back(at);
            for (int cell = 1; cell <= 7; ++cell) {
                const bool last = cell == 7, bit = (byte >> (cell % 7)) & 1;
                const std::size_t high =
                    bit ? (last ? t.last_high1 : t.high1) : (last ? t.last_high0 : t.high0);
                for (int pulse = 0; pulse < (bit ? 2 : 1); ++pulse) {
                    pulses.push_back(at), widths.push_back(high);
                    of_a_one.push_back(bit ? pulse + 1 : 0);
                    at += high + (bit ? t.low1 : t.low0);
                }
            }
        }
        length = at + 14700;
    }

    // The first pulse from the thousandth on that is of this kind.
    std::size_t find(int kind) const
    {
        std::size_t i = 1000;
        while (of_a_one[i] != kind)
            ++i;
        return i;
    }

    // The byte a pulse belongs to.
    std::size_t byte_of(std::size_t pulse) const
    {
        return static_cast<std::size_t>(
                   std::upper_bound(byte_starts.begin(), byte_starts.end(), pulses[pulse]) -
                   byte_starts.begin()) -
               1;
    }

    std::vector<float> samples() const
    {
        std::vector<float> out(length, 0.0F);
        for (std::size_t start : tone)
            std::fill_n(out.begin() + static_cast<long>(start), rate_timings[1].tone_half, 0.5F);
        for (std::size_t i = 0; i < pulses.size(); ++i)
            std::fill_n(out.begin() + static_cast<long>(pulses[i]), widths[i], 0.5F);
        return out;
    }

    std::vector<std::size_t> tone; // where each of the lead-in's high halves starts
};

// One byte over and over gives few kinds of cells, which two rates may fit alike: the rate
// that needs no change of the player's speed is the one named.
TEST(Check, RateOfAnImageOfOneByte)
{
    scratch_dir dir;
    for (const auto &t : rate_timings) {
        SCOPED_TRACE(t.rate);
        convert(dir, std::vector<std::uint8_t>(200, '*'), {"-f", std::to_string(t.rate)});
        const auto c = check(dir, "out.wav");
        EXPECT_EQ(c.report["converted_at"], t.rate);
        EXPECT_NEAR(c.report["speed"].get<double>(), 1, 0.002);
    }
}

// The program's own output passes wherever every pulse survives, at its own speed, with
// nothing to note; at 8000 a 1's pulses are shorter than a sample, and the rate is named.
TEST(Check, OwnOutputAtEveryRate)
{
    scratch_dir dir;
    write_bytes(dir.path("image.zkt"), seven_bit_image());
    for (const auto &t : rate_timings) {
        SCOPED_TRACE(t.rate);
        convert(dir, seven_bit_image(), {"-f", std::to_string(t.rate), "--pad", "0.2"});
        const auto c = check(dir, "out.wav", {"-i", "image.zkt"});
        const auto unpadded = check(dir, "out.wav");
        if (t.rate == 8000) {
            EXPECT_EQ(c.status, 6);
            EXPECT_TRUE(mentions(c.report["causes"], "at 8000 Hz")) << c.report.dump();
            continue;
        }
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.report["verdict"], "pass");
        EXPECT_EQ(c.report["compared"], true);
        EXPECT_EQ(c.report["bytes"], 300);
        EXPECT_EQ(c.report["mismatches"], 0);
        EXPECT_NEAR(c.report["speed"].get<double>(), 1, 0.001);
        EXPECT_EQ(c.report["converted_at"], t.rate);
        EXPECT_EQ(c.report["polarity"], "normal");
        // At 22050 and 11025 the pulses are a few samples wide, their heights uneven.
        EXPECT_GT(c.report["margin"].get<double>(), t.rate >= 44100   ? 0.8
                                                    : t.rate == 22050 ? 0.75
                                                                      : 0.7);
        EXPECT_TRUE(c.report["causes"].empty() && c.report["notes"].empty()) << c.report.dump();
        EXPECT_EQ(unpadded.status, 0);
        EXPECT_EQ(unpadded.report["compared"], false);
    }
    std::vector<std::string> keys;
    const json report = check(dir, "out.wav").report;
    for (const auto &item : report.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"recording",       "lead_in",
                                              "verdict",         "reasons",
                                              "bytes",           "longer_last_pulses",
                                              "data_end",        "lost_pulses",
                                              "extra_pulses",    "dropouts",
                                              "speed",           "converted_at",
                                              "polarity",        "peak_dbfs",
                                              "clipped_samples", "nonfinite_samples",
                                              "dc_offset",       "hum",
                                              "noise_db",        "margin",
                                              "weakest_bytes",   "causes",
                                              "notes",           "compared",
                                              "image_bytes",     "mismatches",
                                              "first_mismatch",  "program",
                                              "programs",        "lost"}));
}

using pulse_change = std::function<void(ideal_signal &)>;
using sample_change = std::function<void(std::vector<float> &)>;

// A pulse moved by `samples`, or by -1 taken away.
pulse_change moved(std::size_t pulse, int samples)
{
    return [=](ideal_signal &s) {
        if (samples < 0)
            s.widths[pulse] = 0;
        else
            s.pulses[pulse] += static_cast<std::size_t>(samples);
    };
}

// A short pulse of noise, `after` samples after a pulse starts.
pulse_change spike(std::size_t pulse, std::size_t after)
{
    return [=](ideal_signal &s) {
        s.pulses.push_back(s.pulses[pulse] + after), s.widths.push_back(5);
    };
}

// `count` samples from `from` on, times `scale` plus `offset`.
sample_change changed(long from, long count, float scale, float offset)
{
    return [=](std::vector<float> &v) {
        const auto end = v.begin() + std::min<long>(from + count, static_cast<long>(v.size()));
        std::for_each(v.begin() + from, end, [=](float &x) { x = x * scale + offset; });
    };
}

sample_change cut(long at)
{
    return [=](std::vector<float> &v) { v.resize(static_cast<std::size_t>(at)); };
}

sample_change silence(long at, long count)
{
    return [=](std::vector<float> &v) {
        v.insert(v.begin() + at, static_cast<std::size_t>(count), 0.0F);
    };
}

// A tape's dropout: the signal gone, and the cells under it with it.
sample_change dropout(long at, long count)
{
    return [=](std::vector<float> &v) { std::fill_n(v.begin() + at, count, 0.0F); };
}

// Uniform noise from `from` on, `height` from trough to crest, over the signal, or in its
// place when `replace` is set.
sample_change noise(long from, float height, bool replace)
{
    return [=](std::vector<float> &v) {
        std::minstd_rand random(7);
        for (auto x = v.begin() + from; x != v.end(); ++x)
            *x = (replace ? 0 : *x) + height * float(double(random()) / double(random.max()) - 0.5);
    };
}

// The sound as a player plays it whose speed swings `depth` either way `hertz` times a second.
sample_change flutter(double depth, double hertz)
{
    return [=](std::vector<float> &v) {
        constexpr double rate = 44100, pi = 3.14159265358979;
        std::vector<float> played;
        for (double t = 0;; ++t) {
            const double at =
                t + depth * rate * (1 - std::cos(2 * pi * hertz * t / rate)) / (2 * pi * hertz);
            const auto before = static_cast<std::size_t>(at);
            if (before + 1 >= v.size())
                break;
            const double part = at - static_cast<double>(before);
            played.push_back(static_cast<float>((1 - part) * v[before] + part * v[before + 1]));
        }
        v = std::move(played);
    };
}

// Without an image, a PASS needs a clean decode: every sign of trouble is a FAIL with its
// reason, and each cause shown was measured.
TEST(Check, WithoutAnImageOnlyACleanDecodePasses)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    const ideal_signal plain(image);
    const auto middle = static_cast<long>(plain.pulses[1000]);
    const std::size_t second_of_one = plain.find(2), zero = plain.find(0);
    const long all = std::numeric_limits<int>::max();
    const struct {
        const char *name;
        pulse_change pulses;
        sample_change samples;
        const char *reason; // nullptr for a pass
        const char *cause;  // a cause the report must name, or nullptr for none
    } rows[] = {
        {"clean", {}, {}, nullptr, nullptr},
        {"a 1's second pulse 3 samples late", moved(second_of_one, 3), {}, nullptr, nullptr},
        {"a 1's second pulse 8 samples late",
         moved(second_of_one, 8),
         {},
         "where no cell has one",
         nullptr},
        {"a 0's pulse lost", moved(zero, -1), {}, "missing", nullptr},
        {"a spike after a pulse", spike(zero, 20), {}, "where no cell has one", nullptr},
        {"cut in the data", {}, cut(middle), "ends during the data", "ends during the data"},
        {"a 35 ms dropout", {}, silence(middle, 1544), "pulses stop for", "dropout at"},
        {"one NaN", {}, changed(middle + 3, 1, 0, NAN), "not a number", nullptr},
        {"a one-sample pop", {}, changed(middle + 20, 1, 0, 1), nullptr, nullptr},
        {"a DC step", {}, changed(middle, all, 1, 0.3F), "timing margin", nullptr},
        {"a 20 ms dip to a tenth", {}, changed(middle, 882, 0.1F, 0), "missing", "dropout at"},
        {"silence", {}, changed(0, all, 0, 0), "no lead-in", "no signal"},
        {"57 dB down", {}, changed(0, all, 0.0014F, 0), nullptr, nullptr},
        {"76 dB down", {}, changed(0, all, 0.0003F, 0), "no lead-in", "too quiet"},
        {"noise", {}, noise(0, 1, true), "no lead-in", nullptr},
        {"noise in the data", {}, noise(middle, 0.6F, false), "where no cell has one", "noise:"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ideal_signal signal = plain;
        if (row.pulses)
            row.pulses(signal);
        auto samples = signal.samples();
        if (row.samples)
            row.samples(samples);
        const auto c = check_samples(dir, samples);
        EXPECT_EQ(c.status, row.reason ? 6 : 0) << c.report.dump();
        EXPECT_EQ(row.reason != nullptr,
                  mentions(c.report["reasons"], row.reason ? row.reason : ""))
            << c.report.dump();
        EXPECT_TRUE(row.cause ? mentions(c.report["causes"], row.cause)
                              : c.report["causes"].empty())
            << c.report.dump();
        EXPECT_FALSE(mentions(c.report["causes"], "start cut")) << c.report.dump();
        const auto text = run_program(dir.root(), {"--check", "take.wav"});
        EXPECT_NE(
            text.out.find(row.reason ? "Verdict: FAIL\n" : "Verdict: PASS (decoded cleanly)\n"),
            std::string::npos)
            << text.out;
    }
}

// The decoder's limits, a little inside and a little outside each: how long a silence in the
// data may be and still be joined across, how much of the lead-in's tone must be left, and
// what may come in the silences around the data without being read as part of it.
TEST(Check, DecoderLimits)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    write_bytes(dir.path("image.zkt"), image);
    const ideal_signal plain(image);
    const long middle = static_cast<long>(plain.pulses[1000]) + 12;
    const long cell = 65; // samples at 44100
    const long after_data = static_cast<long>(plain.pulses.back()) + 2 * cell;
    // A period and a fifth after the tone's last rise: too soon to be the data's first pulse.
    const auto click = static_cast<long>(plain.tone.back() + 12 * rate_timings[1].tone_half / 5);
    const auto period_on = static_cast<long>(plain.tone.back() + 2 * rate_timings[1].tone_half);
    auto from_tone_period = [&](std::size_t period) -> sample_change {
        const auto start = static_cast<long>(plain.tone[period]) - 10;
        return [=](std::vector<float> &v) { v.erase(v.begin(), v.begin() + start); };
    };
    const struct {
        const char *name;
        sample_change samples;
        bool all_bytes;
        const char *reason; // or nullptr for a pass
        const char *cause;
    } rows[] = {
        {"a silence of 190 cells", silence(middle, 190 * cell), true, "pulses stop for", nullptr},
        {"a silence of 215 cells", silence(middle, 215 * cell), false, "more signal follows",
         nullptr},
        {"9 of the tone's periods", from_tone_period(3), true, nullptr, nullptr},
        {"7 of the tone's periods", from_tone_period(5), false, "no lead-in", "start cut"},
        // From trough to crest as tall as the pulses: it starts cells, but never a byte.
        {"noise after the data", noise(after_data, 0.5F, false), true, nullptr, nullptr},
        {"a click in the silence after the tone", changed(click, 5, 0, 0.5F), true, nullptr,
         nullptr},
        {"a click a period after the tone's last rise", changed(period_on, 5, 0, 0.5F), true,
         nullptr, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto samples = plain.samples();
        row.samples(samples);
        const auto c = check_samples(dir, samples, {"-i", "image.zkt"});
        EXPECT_EQ(c.report["mismatches"] == 0, row.all_bytes) << c.report.dump();
        EXPECT_EQ(c.status, row.reason ? 6 : 0);
        EXPECT_TRUE(!row.reason || mentions(check(dir, "take.wav").report["reasons"], row.reason))
            << check(dir, "take.wav").report.dump();
        EXPECT_TRUE(!row.cause || mentions(c.report["causes"], row.cause)) << c.report.dump();
    }
    // Pulses soon after the data, spaced as a 1's second pulse and the next cell would be, that
    // then stop: not more of the data, and the last byte stays as it was read.
    auto even_end = image;
    even_end.back() = 0x2A;
    write_bytes(dir.path("even.zkt"), even_end);
    const ideal_signal ends(even_end);
    auto samples = ends.samples();
    const long after = static_cast<long>(ends.pulses.back()) + 50 * cell;
    for (const long at : {after, after + cell / 2, after + 3 * cell / 2})
        std::fill_n(samples.begin() + at, 5, 0.5F);
    const auto c = check_samples(dir, samples, {"-i", "even.zkt"});
    EXPECT_EQ(c.status, 0) << c.report.dump();
    EXPECT_EQ(c.report["mismatches"], 0);
}

// The report names the bytes that came closest to a wrong decision: those under a burst of
// noise, not the clean ones around them.
TEST(Check, WeakestBytesAreNamed)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    const ideal_signal plain(image);
    auto samples = plain.samples();
    const std::size_t burst = plain.pulses[1000], burst_length = 1323;
    std::minstd_rand random(3);
    for (std::size_t i = burst; i < burst + burst_length; ++i)
        samples[i] += 0.3F * float(double(random()) / double(random.max()) - 0.5);
    const json weakest = check_samples(dir, samples).report["weakest_bytes"];
    ASSERT_EQ(weakest.size(), 3U);
    const auto first = std::upper_bound(plain.byte_starts.begin(), plain.byte_starts.end(), burst);
    const auto last = std::upper_bound(first, plain.byte_starts.end(), burst + burst_length);
    for (const json &byte : weakest) {
        const auto index = byte["index"].get<std::ptrdiff_t>();
        EXPECT_GE(index, first - plain.byte_starts.begin() - 1) << weakest.dump();
        EXPECT_LT(index, last - plain.byte_starts.begin()) << weakest.dump();
    }
}

// How far the cells' clock follows a first pulse away from its place: all the way for one of
// the usual height, as a fluttering player moves cells that far; only in part for a lower one,
// more likely noise, lest a few early in their windows walk it onto a 1's second pulse and
// every cell after be read as a 1.
TEST(Check, ClockFollowsFlutterNotNoise)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    write_bytes(dir.path("image.zkt"), image);
    const ideal_signal plain(image);
    const std::size_t one = plain.find(1);
    std::size_t before_one = one - 1; // the cell before it
    while (plain.of_a_one[before_one] == 2)
        --before_one;
    const sample_change noise_early = [&](std::vector<float> &v) {
        for (const auto &[pulse, early] :
             {std::pair<std::size_t, std::size_t>{before_one, 13}, {one, 26}})
            std::fill_n(v.begin() + static_cast<long>(plain.pulses[pulse] - early), 5, 0.3F);
    };
    const struct {
        const char *name;
        sample_change samples;
        int most_wrong;
    } rows[] = {
        {"noise early in a cell's window, and earlier in the next's", noise_early, 2},
        {"a player's speed swinging 9% either way twenty times a second", flutter(0.09, 20), 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto samples = plain.samples();
        row.samples(samples);
        const auto c = check_samples(dir, samples, {"-i", "image.zkt"});
        EXPECT_LE(c.report["mismatches"], row.most_wrong) << c.report.dump();
        EXPECT_EQ(c.report["bytes"], image.size());
    }
}

// A player that runs dry puts silence into the signal wherever it happens to be: after a 0's
// pulse, between a 1's two pulses, before either, or inside one. A sound card or a browser that
// falls behind does the same to what it records, after a capacitor has put the signal's lows
// below the silence, and the step into it rings through the decoder's filters. The bytes on
// either side are all read, and the report says where the pulses stopped and in which byte,
// since a machine would lose its place there.
TEST(Check, UnderrunsCostNoBytes)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    write_bytes(dir.path("image.zkt"), image);
    const ideal_signal plain(image);
    const std::size_t zero = plain.find(0), one = plain.find(1);
    const struct {
        const char *name;
        std::size_t pulse;
        long after; // samples after the pulse starts
        long length;
        float low = 0; // of the signal, against the silence
    } rows[] = {
        {"10 ms after a 0's pulse", zero, 12, 441},
        {"10 ms between a 1's pulses", one, 12, 441},
        {"3 ms between a 1's pulses", one, 20, 132},
        {"50 ms after a 1's second pulse", one + 1, 12, 2205},
        {"10 ms inside a 0's pulse", zero, 4, 441},
        {"10 ms inside a 1's first pulse", one, 2, 441},
        {"30 ms just before a pulse", one + 1, -2, 1323},
        {"a recorder's 3 ms just before a pulse", one + 1, -2, 128, -0.06F},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto samples = plain.samples();
        changed(0, static_cast<long>(samples.size()), 1, row.low)(samples);
        const long at = static_cast<long>(plain.pulses[row.pulse]) + row.after;
        silence(at, row.length)(samples);
        const auto c = check_samples(dir, samples, {"-i", "image.zkt"});
        EXPECT_EQ(c.report["mismatches"], 0) << c.report.dump();
        EXPECT_EQ(c.report["bytes"], image.size());
        ASSERT_EQ(c.report["dropouts"].size(), 1U) << c.report.dump();
        const json &gap = c.report["dropouts"][0];
        EXPECT_EQ(gap["byte"], plain.byte_of(row.pulse));
        EXPECT_NEAR(gap["length"].get<double>(), static_cast<double>(row.length) / 44100, 0.002)
            << gap.dump();
        EXPECT_EQ(c.status, 6);
    }
}

// A sound card or a browser that falls behind for a moment puts a block of silence into what it
// records. On a worn recording, hum and noise over it and a dropout on the tape that took cells
// away before it, such a block still changes no byte.
TEST(Check, BlocksOfSilenceFromTheRecordingPath)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    convert(dir, seven_bit_image(), {"--pad", "0.3"});
    shell(dir, "sox out.wav -b 16 s.wav trim 0 =1.0 =1.1 pad 0.1@1.0 && L=$(soxi -D s.wav) && "
               "sox -n -r 44100 -b 16 hum.wav synth $L sine 50 vol 0.022 && "
               "sox -R -n -r 44100 -b 16 noise.wav synth $L whitenoise vol 0.01 && "
               "sox -m s.wav hum.wav noise.wav worn.wav");
    check(dir, "worn.wav", {"-o", "worn.zkt"});
    const auto expected = read_bytes(dir.path("worn.zkt"));
    ASSERT_EQ(expected.size(), seven_bit_image().size());
    // Where the block goes, in seconds: at the first, two cells after the dropout, whose cells
    // wait for a byte's worth to show the data goes on; at the next three, while the cells
    // after it are still held until they show how many it took, the second cutting a 0's first
    // pulse in two, whose rest, shorter than any 0's, would blur where the longer pulses show
    // bytes end, the third a byte's last, longer than the others by less than in cycles; at
    // the next two, the pulses lost under the dropout, had they counted among the pulses'
    // widths, would make the block seem to have taken cells; at the last two, the slow swing a
    // pulse leaves would make it seem to be sound.
    for (const char *at :
         {"1.104", "1.13", "1.11633", "1.11338", "1.274", "1.903", "2.162", "2.717"}) {
        SCOPED_TRACE(at);
        shell(dir, std::string("sox worn.wav d.wav pad 128s@") + at);
        fs::remove(dir.path("d.zkt"));
        check(dir, "d.wav", {"-o", "d.zkt"});
        EXPECT_EQ(read_bytes(dir.path("d.zkt")), expected);
    }
}

// Where a dropout took cells away, the bytes' longer last pulses show how many: the bytes after
// it come back in their places, and only those it covered differ. Where it took whole bytes,
// which nothing in the signal shows, the comparison finds them missing from the image.
TEST(Check, TapeDropoutsCostOnlyTheBytesUnderThem)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    write_bytes(dir.path("image.zkt"), image);
    const ideal_signal plain(image);
    const struct {
        const char *name;
        int from_kind; // of the first pulse it takes
        std::size_t cells;
    } rows[] = {
        {"3 cells from a 0's pulse", 0, 3},
        {"10 cells from a 1's pulse", 1, 10},
        {"40 cells, past the end of the data", 0, 40},
        {"14 cells: two whole bytes", 0, 14},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t first = plain.find(row.from_kind);
        std::size_t next = first; // the first pulse after the dropout
        for (std::size_t cells = 0; cells <= row.cells; cells += plain.of_a_one[next] != 2)
            ++next;
        auto samples = plain.samples();
        const auto at = static_cast<long>(plain.pulses[first]);
        dropout(at, static_cast<long>(plain.pulses[next - 1]) - at + 2)(samples);
        write_float_wave(dir.path("take.wav"), 44100, samples);
        fs::remove(dir.path("got.zkt"));
        const auto c = check(dir, "take.wav", {"-i", "image.zkt", "-o", "got.zkt"});
        const std::size_t lost = row.cells % 7 == 0 ? row.cells / 7 : 0;
        const std::size_t from = plain.byte_of(first), to = plain.byte_of(next) - lost;
        const auto got = read_bytes(dir.path("got.zkt"));
        ASSERT_EQ(got.size(), image.size() - lost) << c.report.dump();
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (i < from || i > to) {
                EXPECT_EQ(got[i], image[i < from ? i : i + lost]) << "byte " << i;
            }
        }
        EXPECT_EQ(c.report["dropouts"][0]["byte"], from);
        const json &found = c.report["lost"];
        ASSERT_EQ(found.size(), lost > 0 ? 1U : 0U) << c.report.dump();
        if (lost > 0) {
            EXPECT_EQ(found[0]["after"], from);
            EXPECT_EQ(found[0]["bytes"], lost);
        }
        EXPECT_EQ(c.status, 6);
    }
}

// A cassette side holds programs one after another. Each is found and listed where it
// starts; the report, -i and -o are about the first, or the one --program names.
TEST(Check, SeveralProgramsInOneRecording)
{
    scratch_dir dir;
    const std::vector<std::vector<std::uint8_t>> images = {
        {std::vector<std::uint8_t>(40, 0x55)}, {std::vector<std::uint8_t>(60, 0x2A)}, {0x7F}};
    const long gaps[] = {0, 22050, 441000}; // 0.5 s and 10 s of silence before each
    std::vector<float> recording;
    std::vector<double> starts;
    for (std::size_t p = 0; p < images.size(); ++p) {
        recording.resize(recording.size() + static_cast<std::size_t>(gaps[p]), 0.0F);
        starts.push_back(static_cast<double>(recording.size()) / 44100);
        for (const std::uint8_t s : convert(dir, images[p]).samples)
            recording.push_back(static_cast<float>(s - 128) / 128 * (p == 1 ? -1 : 1));
        write_bytes(dir.path(std::to_string(p + 1) + ".zkt"), images[p]);
    }
    recording.resize(recording.size() + 22050, 0.0F);
    write_float_wave(dir.path("side.wav"), 44100, recording);

    const json found = check(dir, "side.wav").report["programs"];
    ASSERT_EQ(found.size(), images.size()) << found.dump();
    for (std::size_t p = 0; p < images.size(); ++p) {
        SCOPED_TRACE(p + 1);
        EXPECT_EQ(found[p]["bytes"], images[p].size());
        EXPECT_NEAR(found[p]["seconds"].get<double>() - found[0]["seconds"].get<double>(),
                    starts[p] - starts[0], 0.001);
        const auto chosen = check(dir, "side.wav",
                                  {"--program", std::to_string(p + 1), "-i",
                                   std::to_string(p + 1) + ".zkt", "-o", "got.zkt"});
        EXPECT_EQ(chosen.status, 0) << chosen.report.dump();
        EXPECT_EQ(chosen.report["polarity"], p == 1 ? "inverted" : "normal");
        EXPECT_EQ(read_bytes(dir.path("got.zkt")), images[p]);
        fs::remove(dir.path("got.zkt"));
    }
    EXPECT_EQ(check(dir, "side.wav", {"-i", "1.zkt"}).status, 0);
    // Into a folder, every program under its number. Where one of the names is taken, none is
    // written and nothing is replaced.
    fs::create_directory(dir.path("takes"));
    EXPECT_EQ(check(dir, "side.wav", {"-o", "takes"}).status, 0);
    for (std::size_t p = 0; p < images.size(); ++p)
        EXPECT_EQ(read_bytes(dir.path("takes/" + std::to_string(p + 1) + ".zkt")), images[p]);
    fs::remove(dir.path("takes/1.zkt"));
    fs::remove(dir.path("takes/2.zkt"));
    write_bytes(dir.path("takes/3.zkt"), {1, 2, 3});
    EXPECT_EQ(check(dir, "side.wav", {"-o", "takes"}).status, 4);
    EXPECT_FALSE(fs::exists(dir.path("takes/1.zkt")));
    EXPECT_EQ(read_bytes(dir.path("takes/3.zkt")), (std::vector<std::uint8_t>{1, 2, 3}));
    const struct {
        const char *number;
        int status;
        const char *said;
    } refused[] = {
        {"abc", 2, "Error parsing argument for '--program'.\n"},
        {"-1", 2, "Error parsing argument for '--program'.\n"},
        {"0", 3, "Unknown program: 0.\nPrograms are numbered from 1.\n"},
        {"4", 3, "Unknown program: 4.\nThe recording holds 3 programs.\n"},
    };
    for (const auto &row : refused) {
        const auto r = run_program(dir.root(), {"--check", "side.wav", "--program", row.number});
        EXPECT_EQ(r.status, row.status) << row.number;
        EXPECT_EQ(r.err, row.said);
    }
    const auto text = run_program(dir.root(), {"--check", "side.wav", "--program", "2"});
    EXPECT_NE(text.out.find("Programs: 3 in the recording; this report is on program 2\n"),
              std::string::npos)
        << text.out;
}

// An allpass at 1 kHz lowers the data's narrow pulses far more than the lead-in's tone: a 1
// in the very first cell is still heard.
TEST(Check, FirstCellBehindAnAllpass)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    std::vector<std::uint8_t> image = seven_bit_image();
    image.insert(image.begin(), 0x73);
    write_bytes(dir.path("image.zkt"), image);
    convert(dir, image, {"--pad", "0.3"});
    shell(dir, "sox out.wav -b 16 d.wav allpass 1000 0.7q");
    const auto c = check(dir, "d.wav", {"-i", "image.zkt"});
    EXPECT_EQ(c.report["mismatches"], 0) << c.report.dump();
    EXPECT_EQ(c.status, 0) << c.report.dump();
}

// A filter that turns the phase leaves each pulse ringing into the cells after it: after a 1,
// a 0's middle may stand nearly as high as a 1's after a 0, and at 500 Hz every middle rides
// on a slow hump. The middles after each value fall in two heaps all the same, and the first
// cells, read before the heaps were known, are read again once they are, as few as nine bytes
// of them. Near the tone's frequency the filter delays the tone more than the pulses: an image
// whose first cell is a 1 has its second pulse where the tone foretold the first, and only
// reading on from both shows which started the data.
TEST(Check, MiddlesAfterEachValue)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    const std::string two_at_1k = "allpass 1000 0.7q allpass 1000 0.7q";
    const std::string three_at_1k = two_at_1k + " allpass 1000 0.7q";
    const struct {
        std::string chain;
        unsigned seed;
        std::size_t bytes;
        const char *rate;
    } rows[] = {
        {"allpass 500 0.7q", 3, 300, "44100"},
        {"allpass 500 0.7q", 1, 300, "44100"}, // the first cell a 1
        {"allpass 500 0.7q", 2, 300, "48000"}, // the late reading clearer, but missing pulses
        {"allpass 550 0.7q", 7, 300, "44100"}, // the last byte, with no cell after it
        {"allpass 600 0.7q", 1, 300, "48000"}, // the rival's first cell no longer in doubt
        {"allpass 600 0.7q", 2, 300, "48000"}, // first pulses later after a 1 than after a 0
        {"allpass 700 0.7q", 1, 300, "44100"},
        {"allpass 700 0.7q", 1, 9, "44100"},
        {"allpass 1000 0.7q", 11, 100, "44100"}, // first pulses lost: cells keep their values
        {three_at_1k, 5, 300, "44100"},
        {three_at_1k, 4, 300, "44100"}, // an earlier pulse read about as clearly
        // A middle after a 1 hangs on the value after it too: the broad means part them.
        {two_at_1k, 4, 300, "44100"},
        {two_at_1k, 5, 300, "48000"},
        {three_at_1k, 5, 300, "48000"}, // the broad means half as clear again
    };
    scratch_dir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.chain + ", " + std::to_string(row.bytes) + " bytes at " + row.rate);
        const auto image = random_image(row.seed, row.bytes);
        convert(dir, image, {"--pad", "0.3", "-f", row.rate});
        fs::remove(dir.path("got.zkt"));
        shell(dir, "sox out.wav -b 16 d.wav " + row.chain);
        check(dir, "d.wav", {"-o", "got.zkt"});
        EXPECT_EQ(read_bytes(dir.path("got.zkt")), image);
    }
}

// Each program of a recording has its own first cell in doubt behind such a filter: the first
// program's two readings are settled where its data ends, short of the 64 bytes that settle
// the second's, and only the readings kept are told as programs.
TEST(Check, EachProgramSettlesItsFirstCell)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    const std::vector<std::uint8_t> images[] = {random_image(1, 20), random_image(2, 300)};
    for (std::size_t p = 0; p < 2; ++p) {
        convert(dir, images[p]);
        fs::rename(dir.path("out.wav"), dir.path(std::to_string(p + 1) + ".wav"));
    }
    shell(dir, "sox 1.wav -p pad 0 0.5 | sox - 2.wav -b 16 side.wav pad 0 0.3 allpass 500 0.7q");
    fs::create_directory(dir.path("takes"));
    const json found = check(dir, "side.wav", {"-o", "takes"}).report["programs"];
    ASSERT_EQ(found.size(), 2U) << found.dump();
    for (std::size_t p = 0; p < 2; ++p)
        EXPECT_EQ(read_bytes(dir.path("takes/" + std::to_string(p + 1) + ".zkt")), images[p]);
}

// Degraded copies of the program's own output, made with sox as a player, a cable or a
// recorder would degrade them, checked against the image: causes and notes from what was
// measured, never a polarity or speed the converter's own rounding made up.
TEST(Check, DegradedRecordings)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    write_bytes(dir.path("image.zkt"), seven_bit_image());
    convert(dir, seven_bit_image(), {"--pad", "0.3"});
    const std::string to16 = "sox out.wav -b 16 ";
    // Hum as loud as the signal's peak, and twice as loud.
    const auto hum = [&](const char *volume) {
        return "sox -n -r 44100 -b 16 hum.wav synth 8 sine 50 vol " + std::string(volume) + " && " +
               to16 + "base.wav && sox -m -v 1 base.wav -v 1 hum.wav d.wav";
    };
    const std::string noise = "sox -R -n -r 44100 -b 16 -c 1 n.wav synth 8 whitenoise vol 0.7";
    const struct {
        std::string make;
        bool pass;
        const char *said; // a cause (on a fail) or a note (on a pass), or nullptr for none
        std::vector<std::string> more = {};
    } rows[] = {
        {to16 + "d.wav vol -1", true, "inverted: the pulses go down"},
        {to16 + "d.wav speed 1.03", true, "speed: the player runs 3.0% fast"},
        {to16 + "d.wav speed 0.7", true, "speed: the player runs 30.0% slow"},
        {to16 + "d.wav speed 1.35", true, "speed: the player runs 35.0% fast"},
        {to16 + "-r 48000 d.wav", true, nullptr},       // resampled: the file's own speed
        {"sox out.wav d.wav vol 2.5", true, "clipped"}, // 8-bit, clipped at its top only
        {to16 + "-C 0 d.ogg && sox d.ogg -b 16 d.wav", true, nullptr},
        {to16 + "d.ogg", true, "lossy format"},
        {hum("0.45"), true, nullptr},
        {hum("0.9"), false, "hum: 50 Hz"},
        {to16 + "d.wav trim 0.5", false, "start cut"},
        {to16 + "d.wav allpass 1000 0.7q", true, nullptr},
        {to16 + "d.wav compand 0.001,0.1 6:-20,-20,-5 -5", true, "clipped"},
        {to16 + "d.wav compand 0.005,0.2 -80,-80,-40,-35,0,-5 6", true, nullptr}, // a leveller
        {to16 + "d.wav pad 0.03@1.5", false, "dropout at 1.500 s (byte 112)"},    // an underrun
        {noise + " && " + to16 + "s.wav && sox -M n.wav s.wav d.wav", true, nullptr},
        {noise + " && " + to16 + "s.wav && sox -M n.wav s.wav d.wav",
         false,
         nullptr,
         {"--channel", "left"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.make);
        shell(dir, row.make);
        const std::string take = row.make.find("d.wav") == std::string::npos ? "d.ogg" : "d.wav";
        auto more = row.more;
        more.insert(more.end(), {"-i", "image.zkt"});
        const auto c = check(dir, take, more);
        EXPECT_EQ(c.status, row.pass ? 0 : 6) << c.report.dump();
        const json &said = c.report[row.pass ? "notes" : "causes"];
        EXPECT_TRUE(row.said ? mentions(said, row.said) : said.empty()) << c.report.dump();
        EXPECT_NE(c.report["polarity"], row.pass ? "unsure" : "inverted") << c.report.dump();
        EXPECT_FALSE(mentions(c.report["causes"], "noise")) << c.report.dump();
    }
    convert(dir, seven_bit_image(), {"-f", "22050"});
    shell(dir, "sox out.wav -r 48000 d.wav");
    const auto resampled = check(dir, "d.wav", {"-i", "image.zkt"});
    EXPECT_EQ(resampled.report["converted_at"], 22050);
    EXPECT_NEAR(resampled.report["speed"].get<double>(), 1, 0.001);
}

// Opus at the lowest bit rate a phone app would send still carries every byte, read from the
// Ogg file itself.
TEST(Check, OpusAtItsLowestRate)
{
    if (!has_sox() || !fs::exists("/usr/bin/opusenc"))
        GTEST_SKIP() << "sox or opusenc is not installed (Debian: apt-get install sox opus-tools)";
    scratch_dir dir;
    write_bytes(dir.path("image.zkt"), seven_bit_image());
    convert(dir, seven_bit_image(), {"-f", "48000", "--pad", "0.3"});
    shell(dir, "sox out.wav -b 16 s.wav && opusenc --quiet --bitrate 24 s.wav d.opus");
    const auto c = check(dir, "d.opus", {"-i", "image.zkt"});
    EXPECT_EQ(c.status, 0) << c.report.dump();
    EXPECT_TRUE(mentions(c.report["notes"], "lossy format")) << c.report.dump();
}

// The first byte that differs is reported, and a recording shorter or longer than its image
// fails; bytes that differ only in bit 7 pass with a note.
TEST(Check, ComparesWithTheImage)
{
    scratch_dir dir;
    auto image = seven_bit_image();
    convert(dir, image, {"--pad", "0.2"});
    const struct {
        std::vector<std::uint8_t> image;
        int status;
        json first;
    } rows[] = {
        {[&] {
             auto i = image;
             i[37] ^= 4, i[200] ^= 1;
             return i;
         }(),
         6, 37},
        {std::vector<std::uint8_t>(image.begin(), image.end() - 1), 6, 299},
        {[&] {
             auto i = image;
             i.push_back(0);
             return i;
         }(),
         6, 300},
        {[&] {
             auto i = image;
             i[5] |= 0x80;
             return i;
         }(),
         0, nullptr},
    };
    for (const auto &row : rows) {
        write_bytes(dir.path("image.zkt"), row.image);
        const auto c = check(dir, "out.wav", {"-i", "image.zkt"});
        EXPECT_EQ(c.status, row.status) << c.report.dump();
        const json &first = c.report["first_mismatch"];
        EXPECT_EQ(first.is_null() ? json(nullptr) : first["index"], row.first);
    }
    EXPECT_TRUE(mentions(check(dir, "out.wav", {"-i", "image.zkt"}).report["notes"], "bit 7"));
    // An image without end is read only as far as the recovered bytes.
    const auto endless = check(dir, "out.wav", {"-i", "/dev/zero"});
    EXPECT_EQ(endless.status, 6);
    // A file that ends with its last pulse held every byte of an image no longer than it.
    convert(dir, image);
    image[9] ^= 1;
    write_bytes(dir.path("image.zkt"), image);
    const auto unpadded = check(dir, "out.wav", {"-i", "image.zkt"});
    EXPECT_EQ(unpadded.report["reasons"], json::array({"1 byte differs from the image"}));
    EXPECT_TRUE(unpadded.report["causes"].empty()) << unpadded.report.dump();
}

// The check never truncates or replaces a file, writes the recovered image whole, keeps its
// report out of the bytes on standard output, and fails when the report can't be written.
TEST(Check, FilesAreNeverLost)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    convert(dir, image, {"--pad", "0.2"});
    write_bytes(dir.path("image.zkt"), image);
    write_bytes(dir.path("game.zkt"), {1, 2, 3});
    fs::create_symlink("nowhere", dir.path("dangling.zkt"));
    fs::create_symlink("out.wav", dir.path("recording.zkt"));
    const auto recording = read_bytes(dir.path("out.wav"));
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err;
    } rows[] = {
        {{"-o", "game.zkt"}, 4, "Error opening game.zkt.\nIt exists, and a check never replaces"},
        {{"-o", "out.wav"}, 4, "Error opening out.wav.\nThe recording and the output are"},
        {{"-i", "image.zkt", "-o", "image.zkt"},
         4,
         "Error opening image.zkt.\nThe tape image and the output are"},
        {{"-o", "dangling.zkt"}, 4, "Error opening dangling.zkt.\nIt exists, and a check"},
        {{"-o", "recording.zkt"}, 4, "Error opening recording.zkt.\nThe recording and the"},
        {{"image.zkt"}, 1, ""}, // -i forgotten: no check that compares nothing
        {{"-o", "/dev/full"}, 5, "Error writing /dev/full."},
        {{"-o", "new.zkt"}, 0, ""},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args{"--check", "out.wav"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const auto result = run_program(dir.root(), args);
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_TRUE(*row.err ? result.err.find(row.err) != std::string::npos : result.err.empty())
            << result.err;
        EXPECT_EQ(read_bytes(dir.path("game.zkt")), (std::vector<std::uint8_t>{1, 2, 3}));
        EXPECT_EQ(read_bytes(dir.path("image.zkt")), image);
        EXPECT_EQ(read_bytes(dir.path("out.wav")), recording);
    }
    EXPECT_EQ(read_bytes(dir.path("new.zkt")), image);
    const auto piped = run_program(dir.root(), {"--check", "out.wav", "-o", "-"});
    EXPECT_EQ(piped.out, std::string(image.begin(), image.end()));
    EXPECT_NE(piped.err.find("Verdict: PASS"), std::string::npos);
    write_float_wave(dir.path("silent.wav"), 44100, std::vector<float>(44100));
    EXPECT_EQ(run_program(dir.root(), {"--check", "silent.wav", "-o", "none.zkt"}).status, 6);
    EXPECT_FALSE(fs::exists(dir.path("none.zkt")));
    const auto full =
        run_program(dir.root(), {"--check", "out.wav"},
                    {{}, {}, [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); }});
    EXPECT_EQ(full.status, 5);
    EXPECT_EQ(full.err, "Error writing the report.\nNo space left on device\n");
    const auto closed =
        run_program(dir.root(), {"--check", "out.wav"}, {{}, {}, [] { close(STDOUT_FILENO); }});
    EXPECT_EQ(closed.status, 5);
    EXPECT_EQ(closed.err, "Error writing the report.\nBad file descriptor\n");
}

// Where the file system has no unnamed files, a named one takes its place: put in place when
// the check succeeds, removed when it fails.
TEST(Check, RecoveredImageWithoutUnnamedFiles)
{
    const std::string strace = "/usr/bin/strace";
    if (!fs::exists(strace))
        GTEST_SKIP() << "strace is not installed (Debian: apt-get install strace)";
    scratch_dir dir;
    const auto image = seven_bit_image();
    convert(dir, image, {"--pad", "0.2"});
    fs::create_directory(dir.path("sub"));
    // Only the folder itself is opened for an unnamed file; the sanitizers' leak check can't
    // run under strace.
    const std::string script = "exec " + strace + " -qq -o /dev/null -P \"$(pwd -P)/sub\" " +
                               "-e inject=openat:error=EOPNOTSUPP \"$@\"";
    const run_setup no_unnamed{{"ASAN_OPTIONS=detect_leaks=0"}, {"/bin/sh", "-c", script, "sh"}};
    const auto made =
        run_program(dir.root(), {"--check", "out.wav", "-o", "sub/a.zkt"}, no_unnamed);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(read_bytes(dir.path("sub/a.zkt")), image);
    run_setup reporting_fails = no_unnamed;
    reporting_fails.in_child = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    EXPECT_EQ(
        run_program(dir.root(), {"--check", "out.wav", "-o", "sub/b.zkt"}, reporting_fails).status,
        5);
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir.path("sub")))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"a.zkt"});
}

// Peak resident memory of a check, in KiB.
long check_memory(const scratch_dir &dir, const std::string &recording)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (chdir(dir.root().c_str()) == 0)
            execl(ZKT2WAV_PROGRAM, ZKT2WAV_PROGRAM, "--check", recording.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 6) << recording << ": " << status;
    return usage.ru_maxrss;
}

// Whatever arrives, a clear message or a report, in constant memory: names that are not
// UTF-8 or hold a newline, formats not promised, rates outside the range, FLAC on a pipe, a
// header that lies about its length, and a tone that never breaks.
TEST(Check, HostileInput)
{
    if (!has_sox())
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    convert(dir, seven_bit_image(), {"--pad", "0.2"});
    const std::string latin1 = "caf\xe9.wav", forged = "x\nVerdict: PASS\n.wav";
    fs::copy(dir.path("out.wav"), dir.path(latin1));
    write_float_wave(dir.path(forged), 44100, std::vector<float>(4410));
    const auto named = check(dir, latin1);
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.report["recording"]["name"], "caf\xef\xbf\xbd.wav");
    const auto text = run_program(dir.root(), {"--check", forged});
    EXPECT_EQ(text.status, 6);
    EXPECT_EQ(text.out.find("\nVerdict: PASS"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.rfind("Recording: x\\x0AVerdict: PASS\\x0A.wav, ", 0), 0u) << text.out;

    for (const char *refused : {"t.au", "t.voc", "t.sds"}) {
        shell(dir, "sox out.wav -b 16 " + std::string(refused));
        const auto r = run_program(dir.root(), {"--check", refused, "--json"});
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("It is not a WAVE, FLAC, AIFF or Ogg recording."), std::string::npos);
    }
    // An endless stream in no format is refused by its first bytes, before any is copied.
    fs::create_directory(dir.path("tmp"));
    const auto zero = run_program(dir.root(), {"--check", "-"},
                                  {{"TMPDIR=" + dir.path("tmp").string()}, {}, [] {
                                       dup2(open("/dev/zero", O_RDONLY), STDIN_FILENO);
                                   }});
    EXPECT_EQ(zero.err, "Error opening -.\nIt is not a WAVE, FLAC, AIFF or Ogg recording.\n");
    EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
    shell(dir, "sox out.wav -r 4000 slow.wav");
    EXPECT_EQ(run_program(dir.root(), {"--check", "slow.wav"}).err,
              "Error opening slow.wav.\nIts rate is 4000 Hz; recordings of 8000 to 192000 Hz "
              "are read.\n");

    // A pipe: FLAC needs to seek, and a WAVE header that claims 4 GiB gives no duration.
    const std::string program = ZKT2WAV_PROGRAM;
    shell(dir, "sox out.wav t.flac && cat t.flac | " + program + " --check - --json >flac.json");
    EXPECT_EQ(json::parse(read_bytes(dir.path("flac.json")))["verdict"], "pass");
    auto lying = read_bytes(dir.path("out.wav"));
    for (int at : {4, 5, 6, 7, 40, 41, 42, 43})
        lying[static_cast<std::size_t>(at)] = 0xFF;
    write_bytes(dir.path("lying.wav"), lying);
    shell(dir, "cat lying.wav | " + program + " --check - --json >lying.json");
    const double seconds = double(lying.size() - 44) / 44100.0;
    EXPECT_NEAR(
        json::parse(read_bytes(dir.path("lying.json")))["recording"]["seconds"].get<double>(),
        seconds, 0.001);

    // A tone that never breaks: twenty minutes cost no more memory than one.
    shell(dir, "sox -n -r 8000 -b 16 minute.flac synth 60 square 565 vol 0.5 && "
               "sox -n -r 8000 -b 16 long.flac synth 1200 square 565 vol 0.5");
    EXPECT_LT(check_memory(dir, "long.flac") - check_memory(dir, "minute.flac"), 4096);
}

// A long run of one value leaves the middles after it in a single heap, which noise spreads:
// split anywhere, it would read half the run as the other value. The heaps found before the
// run stand through it.
TEST(Check, RunsOfOneValueInNoise)
{
    scratch_dir dir;
    std::vector<std::uint8_t> image = seven_bit_image();
    image.insert(image.begin() + 100, 200, 0x00);
    image.insert(image.begin() + 400, 200, 0x7F);
    write_bytes(dir.path("image.zkt"), image);
    for (const float height : {0.1F, 0.2F, 0.3F}) {
        SCOPED_TRACE(height);
        auto samples = ideal_signal(image).samples();
        noise(0, height, false)(samples);
        const auto c = check_samples(dir, samples, {"-i", "image.zkt"});
        EXPECT_EQ(c.report["mismatches"], 0) << c.report.dump();
    }
}

// Noise in a cell's windows, where a doubt it leaves is settled by what else the cell shows. A
// low pulse well before the cell's place gives way to the cell's own, nearer it; one as tall as
// the cells' own is taken, as a fluttering player moves cells. A 1's second pulse lowered to
// about half its height is told by the length of the cell's first pulse, a 0's twice a 1's; a
// click in a 0's middle window by how far it lies from where a 1's second pulse peaks. Neither
// outweighs a middle that leaves little doubt.
TEST(Check, NoiseInACellsWindows)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    write_bytes(dir.path("image.zkt"), image);
    const ideal_signal plain(image);
    const auto start = [&](std::size_t pulse) { return static_cast<long>(plain.pulses[pulse]); };
    const std::size_t second = plain.find(2);
    const auto second_pulse = [&](float scale) {
        return changed(start(second), static_cast<long>(plain.widths[second]), scale, 0);
    };
    const auto before_one = [&](long early, float height) {
        return changed(start(plain.find(1)) - early, 4, 0, height);
    };
    // Where a 1's second pulse would start, were the first 0 from the thousandth pulse on a 1.
    const long zero_middle =
        start(plain.find(0)) + static_cast<long>(rate_timings[1].high1 + rate_timings[1].low1);
    const auto click = [&](long after, float height) {
        return changed(zero_middle + after, 4, 0, height);
    };
    const struct {
        const char *name;
        sample_change samples;
        int mismatches;
    } rows[] = {
        {"a lower pulse a quarter of a cell before the first", changed(start(0) - 17, 4, 0, 0.35F),
         0},
        {"a lower pulse a fifth of a cell before a 1", before_one(14, 0.35F), 0},
        {"one as tall as the cells' own", before_one(14, 0.5F), 1},
        {"a 1's second pulse at half its height", second_pulse(0.5F), 0},
        {"a 1's second pulse at 48%", second_pulse(0.48F), 0},
        {"a 1's second pulse at 44%", second_pulse(0.44F), 0},
        {"a 1's second pulse at 42%: no doubt left", second_pulse(0.42F), 1},
        {"a click at 60% late in a 0's middle window", click(5, 0.3F), 0},
        {"a click at 68% as late: no doubt left", click(5, 0.34F), 1},
        {"a click at 68% where a 1's pulse would be", click(1, 0.34F), 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto samples = plain.samples();
        row.samples(samples);
        // A little noise, as every recording has: the tails' spread is learnt from it.
        noise(0, 0.1F, false)(samples);
        const auto c = check_samples(dir, samples, {"-i", "image.zkt"});
        EXPECT_EQ(c.report["mismatches"], row.mismatches) << c.report.dump();
    }
}

} // namespace
