#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

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
    nlohmann::json report;
};

// Checks `recording` in `dir` against image.zkt, as JSON.
checked check(const scratch_dir &dir, const std::string &recording,
              const std::vector<std::string> &more = {})
{
    std::vector<std::string> args{"--check", recording, "-i", "image.zkt", "--json"};
    args.insert(args.end(), more.begin(), more.end());
    const auto result = run_program(dir.root(), args);
    if (result.out.empty())
        return {result.status, nullptr};
    return {result.status, nlohmann::json::parse(result.out)};
}

bool names_cause(const nlohmann::json &report, const std::string &words)
{
    for (const auto &cause : report["causes"])
        if (cause.get<std::string>().find(words) != std::string::npos)
            return true;
    return false;
}

// The program's own output passes wherever every pulse survives, and fails at 8000, where
// a 1's pulses are shorter than a sample, naming the rate.
TEST(Check, OwnOutputAtEveryRate)
{
    scratch_dir dir;
    for (const auto &t : rate_timings) {
        SCOPED_TRACE(t.rate);
        convert(dir, seven_bit_image(), {"-f", std::to_string(t.rate)});
        const auto c = check(dir, "out.wav");
        if (t.rate == 8000) {
            EXPECT_EQ(c.status, 6);
            EXPECT_EQ(c.report["verdict"], "fail");
            EXPECT_TRUE(names_cause(c.report, "8000 Hz")) << c.report.dump();
            continue;
        }
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.report["verdict"], "pass");
        EXPECT_EQ(c.report["bytes"], 300);
        EXPECT_EQ(c.report["mismatches"], 0);
        EXPECT_TRUE(c.report["first_mismatch"].is_null());
        EXPECT_EQ(c.report["polarity"], "normal");
        EXPECT_EQ(c.report["clipped_samples"], 0);
        EXPECT_GT(c.report["margin"].get<double>(), 0.8);
        EXPECT_TRUE(c.report["causes"].empty()) << c.report.dump();
    }
}

// Degraded copies of the program's own output, made with sox as a player, a cable or a
// recorder would degrade it.
TEST(Check, DegradedRecordings)
{
    if (!fs::exists("/usr/bin/sox"))
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    convert(dir, seven_bit_image());
    const std::string to16 = "sox out.wav -b 16 ";
    // -R makes the noise the same on every run.
    const std::string noise = "sox -R -n -r 44100 -b 16 noise.wav synth 5 whitenoise vol ";
    const std::string mixed = " && sox out.wav -b 16 base.wav && sox -m base.wav noise.wav d.wav";
    const struct {
        std::string make;
        bool pass;
        const char *cause; // a cause the report must name, or nullptr for none
        std::vector<std::string> more = {};
    } rows[] = {
        {to16 + "d.wav vol -1", true, "inverted: convert with --invert"},
        {to16 + "-r 48000 d.wav speed 1.02", true, "speed off by 2%"},
        {to16 + "d.wav dcshift 0.2", true, nullptr},
        {to16 + "d.wav vol 6", true, "clipped"},
        {to16 + "d.ogg && sox d.ogg -b 16 d.wav", true, nullptr}, // a lossy round trip
        {to16 + "d.wav trim 0.05", false, "start cut"},           // the tone is gone
        {to16 + "d.wav fade t 0 0 9", true, nullptr},             // the volume sinks slowly
        {noise + "0.02" + mixed, true, nullptr},
        {noise + "0.05" + mixed, true, nullptr},
        {noise + "0.4" + mixed, false, "no lead-in"},
        {to16 + "d.wav remix 0 1", true, nullptr}, // on the right channel
        {to16 + "d.wav remix 0 1", false, "start cut", {"--channel", "left"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.make);
        ASSERT_EQ(std::system(("cd '" + dir.root().string() + "' && " + row.make).c_str()), 0);
        const auto c = check(dir, "d.wav", row.more);
        EXPECT_EQ(c.status, row.pass ? 0 : 6) << c.report.dump();
        EXPECT_EQ(c.report["verdict"], row.pass ? "pass" : "fail");
        EXPECT_TRUE(!row.pass || c.report["bytes"] == 300) << c.report.dump();
        EXPECT_TRUE(row.cause ? names_cause(c.report, row.cause) : c.report["causes"].empty())
            << c.report.dump();
    }
}

// A recording of another image fails at the first byte that differs in bits 0 to 6; one
// that differs only in bit 7 passes and says why.
TEST(Check, ComparesWithTheImage)
{
    scratch_dir dir;
    auto image = seven_bit_image();
    convert(dir, image);
    image[37] ^= 0x04;
    write_bytes(dir.path("image.zkt"), image);
    const auto c = check(dir, "out.wav");
    EXPECT_EQ(c.status, 6);
    EXPECT_EQ(c.report["mismatches"], 1);
    EXPECT_EQ(c.report["first_mismatch"]["index"], 37);
    // The lead-in and 37 bytes of 448 to 456 samples each come before it.
    const auto sample = c.report["first_mismatch"]["sample"].get<std::uint64_t>();
    EXPECT_GE(sample, 2118 + 37 * 448u);
    EXPECT_LE(sample, 2118 + 37 * 456u + 10);

    image[37] ^= 0x84;
    write_bytes(dir.path("image.zkt"), image);
    const auto bit7 = check(dir, "out.wav");
    EXPECT_EQ(bit7.status, 0);
    EXPECT_TRUE(names_cause(bit7.report, "bit 7")) << bit7.report.dump();
}

// The recovered bytes make an image that converts to the same recording; they never take
// the place of the recording.
TEST(Check, RecoveredImage)
{
    scratch_dir dir;
    const auto image = seven_bit_image();
    convert(dir, image);
    const auto recording = read_bytes(dir.path("out.wav"));
    EXPECT_EQ(run_program(dir.root(), {"--check", "out.wav", "-o", "recovered.zkt"}).status, 0);
    EXPECT_EQ(read_bytes(dir.path("recovered.zkt")), image);
    const auto refused = run_program(dir.root(), {"--check", "out.wav", "-o", "out.wav"});
    EXPECT_EQ(refused.status, 4);
    EXPECT_EQ(read_bytes(dir.path("out.wav")), recording);
    const auto missing = run_program(dir.root(), {"--check", "absent.wav"});
    EXPECT_EQ(missing.status, 4);
    EXPECT_EQ(missing.err.rfind("Error opening absent.wav.\n", 0), 0u) << missing.err;
}

} // namespace
