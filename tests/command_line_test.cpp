#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::string usage = "ZKT2WAV v1.0\n"
                          "Usage:\n"
                          "zkt2wav -i <input_filename> -o <output_filename>\n"
                          "Command line option:\n"
                          "-g <gain> : gain, must be between 1 and 7 (default: 4)\n"
                          "-h        : prints this text\n";

std::string bad_gain(const std::string &shown)
{
    return "Illegal gain value: " + shown + ".\nGain must be between 1 and 7.\n";
}

std::string bad_rate(const std::string &shown)
{
    return "Unsupported sample rate: " + shown +
           ".\nSupported sample rates are: 48000, 44100, 22050, 11025 and 8000.\n";
}

std::string cannot_open(const std::string &name)
{
    return "Error opening " + name + ".\n";
}

const std::string no_gain = "Error parsing argument for '-g'.\n";
const std::string no_rate = "Error parsing argument for '-f'.\n";

// The option parser words its own complaints; only their presence is checked.
const std::string parser_complaint = "<any complaint>";

// What a file looks like after the run: absent, empty, or a complete WAVE file at a rate.
constexpr long absent = -1;
constexpr long empty = 0;

// Status 1 always comes with the usage text on standard output and nothing else does;
// status 5 always has a second line giving the reason after the message.
struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::map<std::string, long> files; // name -> absent, empty or the sample rate
    std::vector<std::string> env = {};
};

std::vector<std::string> with_files(std::vector<std::string> args)
{
    args.insert(args.begin(), {"-i", "in.zkt", "-o", "out.wav"});
    return args;
}

void expect_file(const scratch_dir &dir, const std::string &name, long expected)
{
    SCOPED_TRACE(name);
    const auto path = dir.path(name);
    if (expected == absent) {
        EXPECT_FALSE(std::filesystem::exists(path));
    } else if (expected == empty) {
        ASSERT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
    } else {
        ASSERT_TRUE(std::filesystem::exists(path));
        expect_consistent_wave(read_wave(path), static_cast<std::uint32_t>(expected));
    }
}

void expect_message(const std::string &err, const cli_case &c)
{
    if (c.err == parser_complaint) {
        EXPECT_NE(err, "");
    } else if (c.status == 5) {
        EXPECT_EQ(err.substr(0, c.err.size()), c.err);
        const std::string reason = err.substr(std::min(c.err.size(), err.size()));
        EXPECT_GT(reason.size(), 1u);
        EXPECT_EQ(reason.find('\n'), reason.size() - 1) << reason;
    } else {
        EXPECT_EQ(err, c.err);
    }
}

// Every case starts from an image, two more names for it, an image whose samples fill more than
// one output block, a directory and an old output.
void run_case(const cli_case &c)
{
    scratch_dir dir;
    const std::vector<std::uint8_t> image{0x00, 0x55, 0xAA, 0xFF};
    write_bytes(dir.path("in.zkt"), image);
    std::filesystem::create_hard_link(dir.path("in.zkt"), dir.path("hard.zkt"));
    std::filesystem::create_symlink("in.zkt", dir.path("sym.zkt"));
    std::filesystem::create_directory(dir.path("somedir"));
    write_bytes(dir.path("old.wav"), {'o', 'l', 'd'});
    write_bytes(dir.path("long.zkt"), std::vector<std::uint8_t>(1000, 0x00));
    const auto result = run_program(dir.root(), c.args, c.env);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.status == 1 ? usage : "");
    expect_message(result.err, c);
    for (const auto &[name, expected] : c.files)
        expect_file(dir, name, expected);
    EXPECT_EQ(read_bytes(dir.path("in.zkt")), image);
}

std::string describe(const cli_case &c)
{
    std::string text;
    for (const auto &e : c.env)
        text += e + " ";
    for (const auto &a : c.args)
        text += "'" + a + "' ";
    return text;
}

void run_table(const std::vector<cli_case> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c));
        run_case(c);
    }
}

// clang-format off
TEST(CommandLine, UsageAndMissingFiles)
{
    run_table({
        {{}, 1, "", {{"out.wav", absent}}},
        {{"-h"}, 1, "", {}},
        {{"-?"}, 1, "", {}},
        {{"-x"}, 1, parser_complaint, {}},
        {{"-i", "in.zkt", "-o"}, 1, parser_complaint, {}},
        {{"-i", "in.zkt"}, 1, "", {}},
        {{"-o", "out.wav"}, 1, "", {{"out.wav", empty}}},
        // The output is created, or emptied, when -o is parsed, before -h ends the run.
        {{"-o", "old.wav", "-h"}, 1, "", {{"old.wav", empty}}},
        {{"-i", "in.zkt", "-o", "out.wav", "-h"}, 1, "", {{"out.wav", empty}}},
    });
}

TEST(CommandLine, FilesOpenWhenTheirOptionIsParsed)
{
    run_table({
        {{"-i", "absent.dat", "-o", "out.wav"}, 4, cannot_open("absent.dat"), {{"out.wav", absent}}},
        {{"-o", "out.wav", "-i", "absent.dat"}, 4, cannot_open("absent.dat"), {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o", "nodir/out.wav"}, 4, cannot_open("nodir/out.wav"), {}},
        // The last -o wins; the stream of the first is no longer used.
        {{"-i", "in.zkt", "-o", "a.wav", "-o", "b.wav"}, 0, "", {{"a.wav", empty}, {"b.wav", 44100}}},
        {{"-iin.zkt", "-oout.wav"}, 0, "", {{"out.wav", 44100}}},
    });
}

TEST(CommandLine, ChecksFollowTheOrderOfTheOptions)
{
    run_table({
        {{"-g", "9", "-i", "absent.dat"}, 3, bad_gain("9"), {}},
        {{"-i", "absent.dat", "-g", "9"}, 4, cannot_open("absent.dat"), {}},
        {{"-o", "out.wav", "-f", "1"}, 3, bad_rate("1"), {{"out.wav", empty}}},
        {{"-f", "x", "-g", "0"}, 2, no_rate, {}},
    });
}

TEST(CommandLine, GainArgument)
{
    run_table({
        {with_files({"-g", "0"}), 3, bad_gain("0"), {}},
        {with_files({"-g", "8"}), 3, bad_gain("8"), {}},
        {with_files({"-g", "-1"}), 3, bad_gain("-1"), {}},
        {with_files({"-g", "four"}), 2, no_gain, {}},
        {with_files({"-g", ""}), 2, no_gain, {}},
        {with_files({"-g", "+"}), 2, no_gain, {}},
        // Leading zero means octal: 08 reads as 0 followed by ignored text.
        {with_files({"-g", "08"}), 3, bad_gain("0"), {}},
        {with_files({"-g", "0x7"}), 0, "", {{"out.wav", 44100}}},
        {with_files({"-g", " 7 loud"}), 0, "", {{"out.wav", 44100}}},
        {with_files({"-g1"}), 0, "", {{"out.wav", 44100}}},
        // Numbers beyond 32 bits are out of range, not wrapped into it.
        {with_files({"-g", "4294967297"}), 3, bad_gain("4294967297"), {}},
        {with_files({"-g", "99999999999999999999999"}), 3, bad_gain("99999999999999999999999"), {}},
    });
}

TEST(CommandLine, SampleRateArgument)
{
    run_table({
        {with_files({"-f", "32000"}), 3, bad_rate("32000"), {}},
        {with_files({"-f", ""}), 2, no_rate, {}},
        {with_files({"-f", "8000"}), 0, "", {{"out.wav", 8000}}},
        {with_files({"-f", "48000"}), 0, "", {{"out.wav", 48000}}},
        {with_files({"-f", "0xAC44"}), 0, "", {{"out.wav", 44100}}},
        {with_files({"-f", "44100Hz"}), 0, "", {{"out.wav", 44100}}},
        {with_files({"-f", "025421"}), 0, "", {{"out.wav", 11025}}}, // octal
        {with_files({"-f", "8000", "-f", "22050"}), 0, "", {{"out.wav", 22050}}},
        // -f may stand before the files it applies to.
        {{"-f22050", "-i", "in.zkt", "-o", "out.wav"}, 0, "", {{"out.wav", 22050}}},
        // Each of these wraps to 44100 or 0 in 32 bits; none may pass.
        {with_files({"-f", "-4294923196"}), 3, bad_rate("-4294923196"), {}},
        {with_files({"-f", "4295011396"}), 3, bad_rate("4295011396"), {}},
        {with_files({"-f", "99999999999"}), 3, bad_rate("99999999999"), {}},
        {with_files({"-f", "-99999999999999999999"}), 3, bad_rate("-99999999999999999999"), {}},
    });
}

TEST(CommandLine, WordsThatAreNotOptions)
{
    const std::vector<std::string> args{"-i", "in.zkt", "stray", "-o", "out.wav"};
    run_table({
        // Options after a stray word are still seen...
        {args, 0, "", {{"out.wav", 44100}, {"stray", absent}}},
        // ...unless POSIXLY_CORRECT stops parsing at it.
        {args, 1, "", {{"out.wav", absent}}, {"POSIXLY_CORRECT=1"}},
    });
}

TEST(CommandLine, ReadAndWriteFailuresAreNotSuccess)
{
    run_table({
        // A short output fails when the header is patched, a long one at its first block.
        {{"-i", "in.zkt", "-o", "/dev/full"}, 5, "Error writing /dev/full.\n", {}},
        {{"-i", "long.zkt", "-o", "/dev/full"}, 5, "Error writing /dev/full.\n", {}},
        // Its reads fail with an I/O error at once.
        {{"-i", "/proc/self/mem", "-o", "out.wav"}, 5, "Error reading /proc/self/mem.\n", {}},
    });
}

TEST(CommandLine, DirectoriesAndTheImageItselfAreRefused)
{
    run_table({
        {{"-i", "somedir", "-o", "out.wav"}, 4, cannot_open("somedir"), {{"out.wav", absent}}},
        {{"-o", "out.wav", "-i", "somedir"}, 4, cannot_open("somedir"), {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o", "somedir"}, 4, cannot_open("somedir"), {}},
        // The image survives being named as the output, by any name (checked after every case).
        {{"-i", "in.zkt", "-o", "in.zkt"}, 4, cannot_open("in.zkt"), {}},
        {{"-i", "in.zkt", "-o", "./in.zkt"}, 4, cannot_open("./in.zkt"), {}},
        {{"-i", "in.zkt", "-o", "hard.zkt"}, 4, cannot_open("hard.zkt"), {}},
        {{"-i", "sym.zkt", "-o", "in.zkt"}, 4, cannot_open("in.zkt"), {}},
        {{"-i", "in.zkt", "-o", "sym.zkt"}, 4, cannot_open("sym.zkt"), {}},
        {{"-o", "out.wav", "-i", "out.wav"}, 4, cannot_open("out.wav"), {{"out.wav", empty}}},
        // Only the streams in use count: the first output is replaced by the time of -i.
        {{"-o", "out.wav", "-o", "b.wav", "-i", "in.zkt"}, 0, "", {{"out.wav", empty}, {"b.wav", 44100}}},
    });
}
// clang-format on

// At 44100 the tone's first high half reaches the output at sample 852; its first step
// shows the high level the options chose.
TEST(CommandLine, GainSetsTheLevelOfTheTone)
{
    const struct {
        std::vector<std::string> gain_args;
        std::uint8_t first_high_sample;
    } cases[] = {
        {{}, 161},             // default gain 4, level 60
        {{"-g", "1"}, 136},    // level 15
        {{"-g", "7"}, 186},    // level 105
        {{"-g2", "-g6"}, 177}, // the last gain wins: level 90
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first_high_sample);
        scratch_dir dir;
        write_bytes(dir.path("empty.zkt"), {});
        std::vector<std::string> args{"-i", "empty.zkt", "-o", "out.wav"};
        args.insert(args.end(), c.gain_args.begin(), c.gain_args.end());
        ASSERT_EQ(run_program(dir.root(), args).status, 0);
        const auto written = read_wave(dir.path("out.wav"));
        EXPECT_EQ(written.file_length, 2162u); // header and lead-in, whatever the gain
        ASSERT_GT(written.samples.size(), 852u);
        EXPECT_EQ(written.samples[851], 128);
        EXPECT_EQ(written.samples[852], c.first_high_sample);
    }
}

} // namespace
