#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
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

// A diagnosed failure: the fixed line, then the reason.
std::string failure(const std::string &doing, const std::string &name, const std::string &reason)
{
    return "Error " + doing + " " + name + ".\n" + reason + "\n";
}

std::string opening(const std::string &name, const std::string &reason)
{
    return failure("opening", name, reason);
}

const std::string no_such_file = "No such file or directory";
const std::string is_directory = "Is a directory";
const std::string same_file = "The tape image and the output are the same file.";
const std::string io_error = "Input/output error";
const std::string swapped = "It is a WAVE file, not a tape image: are -i and -o swapped?";

const std::string empty_image =
    "Warning: the tape image is empty; the WAVE file holds only the lead-in.\n";

std::string bit_7(const std::string &count_uses)
{
    return "Warning: " + count_uses + " bit 7, which the signal does not carry.\n";
}

std::string bad_pad(const std::string &shown)
{
    return "Illegal pad value: " + shown + ".\nPad must be between 0 and 60 seconds.\n";
}

const std::string no_gain = "Error parsing argument for '-g'.\n";
const std::string no_pad = "Error parsing argument for '--pad'.\n"
                           "Pad must be a number of seconds from 0 to 60, like 1.5.\n";
const std::string no_rate = "Error parsing argument for '-f'.\n";

// The option parser words its own complaints; only their presence is checked.
const std::string parser_complaint = "<any complaint>";

// What a file looks like after the run: absent, empty, still holding what it held before,
// or a complete WAVE file at a rate.
constexpr long absent = -1;
constexpr long empty = 0;
constexpr long kept = -2;
// Longer than a conversion of in.zkt, which would otherwise hide a missed truncation.
const std::vector<std::uint8_t> old_output(10000, 'o');

// Status 1 always comes with the usage text on standard output, and nothing else does.
struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::map<std::string, long> files; // name -> absent, empty, kept or the sample rate
    run_setup setup = {};
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
        return;
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    if (expected == empty)
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
    else if (expected == kept)
        EXPECT_EQ(read_bytes(path), old_output);
    else
        expect_consistent_wave(read_wave(path), static_cast<std::uint32_t>(expected));
}

std::vector<std::uint8_t> bytes_of(const std::string &text)
{
    return {text.begin(), text.end()};
}

// Only its first twelve bytes make a file a WAVE file, whatever its length field says.
const auto recording = bytes_of(std::string("RIFF\xFF\xFF\xFF\xFFWAVEfmt \x10\0\0\0", 20));

// Every case starts from an image, two more names for it, an image whose samples fill more than
// one output block, a directory, an old output, a recording and a RIFF file of another form.
// Bit 7 of the images is clear: their conversions have nothing to warn about.
void run_case(const cli_case &c)
{
    scratch_dir dir;
    const std::vector<std::uint8_t> image{0x00, 0x55, 0x2A, 0x7F};
    write_bytes(dir.path("in.zkt"), image);
    write_bytes(dir.path("take.wav"), recording);
    write_bytes(dir.path("riff.zkt"), bytes_of(std::string("RIFF\x04\0\0\0AVI ", 12)));
    std::filesystem::create_hard_link(dir.path("in.zkt"), dir.path("hard.zkt"));
    std::filesystem::create_symlink("in.zkt", dir.path("sym.zkt"));
    std::filesystem::create_directory(dir.path("somedir"));
    write_bytes(dir.path("old.wav"), old_output);
    write_bytes(dir.path("long.zkt"), std::vector<std::uint8_t>(1000, 0x00));
    const auto result = run_program(dir.root(), c.args, c.setup);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.status == 1 ? usage : "");
    if (c.err == parser_complaint)
        EXPECT_NE(result.err, "");
    else
        EXPECT_EQ(result.err, c.err);
    for (const auto &[name, expected] : c.files)
        expect_file(dir, name, expected);
    EXPECT_EQ(read_bytes(dir.path("in.zkt")), image);
    EXPECT_EQ(read_bytes(dir.path("take.wav")), recording);
}

std::string describe(const cli_case &c)
{
    std::string text;
    for (const auto *words : {&c.setup.env, &c.args})
        for (const auto &word : *words)
            text += "'" + word + "' ";
    return text;
}

void run_table(const std::vector<cli_case> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c));
        run_case(c);
    }
}

// The image is both standard streams: read from it, and appended to.
void image_on_both_streams()
{
    dup2(open("in.zkt", O_RDONLY), 0);
    dup2(open("in.zkt", O_WRONLY | O_APPEND), 1);
}

// Standard input on the recording, `offset` bytes in.
run_setup recording_on_standard_input(off_t offset)
{
    run_setup setup;
    setup.in_child = [offset] {
        const int recording_fd = open("take.wav", O_RDONLY);
        lseek(recording_fd, offset, SEEK_SET);
        dup2(recording_fd, 0);
    };
    return setup;
}

// Writes past 100000 bytes fail with EFBIG instead of ending the process.
void limit_file_size()
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// clang-format off
TEST(CommandLine, UsageAndMissingFiles)
{
    run_table({
        {{}, 1, "", {{"out.wav", absent}}},
        {{"-h"}, 1, "", {}},
        {{"-?"}, 1, "", {}},
        {{"-x"}, 1, parser_complaint, {}},
        // Beside good files too: an unknown option or -? never converts.
        {with_files({"-x"}), 1, parser_complaint, {{"out.wav", empty}}},
        {with_files({"-?"}), 1, "", {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o"}, 1, parser_complaint, {}},
        {{"-i", "in.zkt"}, 1, "", {}},
        {{"-o", "out.wav"}, 1, "", {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o", "out.wav", "-h"}, 1, "", {{"out.wav", empty}}},
        {with_files({"--bogus"}), 1, parser_complaint, {{"out.wav", empty}}},
        {with_files({"--pad"}), 1, parser_complaint, {{"out.wav", empty}}},
    });
}

TEST(CommandLine, PadArgument)
{
    run_table({
        {with_files({"--pad", "61"}), 3, bad_pad("61"), {}},
        {with_files({"--pad", "60.001"}), 3, bad_pad("60.001"), {}},
        {with_files({"--pad", "-0.5"}), 3, bad_pad("-0.5"), {}},
        {with_files({"--pad", "99999999999999999999"}), 3, bad_pad("99999999999999999999"), {}},
        {with_files({"--pad", "4294967296"}), 3, bad_pad("4294967296"), {}}, // 0 in 32 bits
        {with_files({"--pad", "60.0"}), 0, "", {{"out.wav", 44100}}},
        {with_files({"--pad", ""}), 2, no_pad, {}},
        {with_files({"--pad", "."}), 2, no_pad, {}},
        {with_files({"--pad", "1e1"}), 2, no_pad, {}},
        {with_files({"--pad", "5s"}), 2, no_pad, {}},
        {with_files({"--pad", " 5"}), 2, no_pad, {}},
        {with_files({"--pad=60", "--pad", ".5", "--pad", "-0"}), 0, "", {{"out.wav", 44100}}},
    });
    // The longest pad, written with a fraction: a minute of silence at each end.
    scratch_dir dir;
    const auto plain = convert(dir, {0x41}).samples.size();
    EXPECT_EQ(convert(dir, {0x41}, {"--pad", "60.0"}).samples.size(), plain + 2 * 60 * 44100);
}

TEST(CommandLine, FilesOpenWhenTheirOptionIsParsed)
{
    run_table({
        {{"-i", "absent.dat", "-o", "out.wav"}, 4, opening("absent.dat", no_such_file), {{"out.wav", absent}}},
        {{"-o", "out.wav", "-i", "absent.dat"}, 4, opening("absent.dat", no_such_file), {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o", "nodir/out.wav"}, 4, opening("nodir/out.wav", no_such_file), {}},
        // The last -o wins; the stream of the first is no longer used.
        {{"-i", "in.zkt", "-o", "a.wav", "-o", "b.wav"}, 0, "", {{"a.wav", empty}, {"b.wav", 44100}}},
        {{"-iin.zkt", "-oout.wav"}, 0, "", {{"out.wav", 44100}}},
    });
}

TEST(CommandLine, ExistingOutputIsEmptiedOnlyWhenTheConversionStarts)
{
    run_table({
        {{"-o", "old.wav", "-h"}, 1, "", {{"old.wav", kept}}},
        {{"-i", "in.zkt", "-o", "old.wav", "-g", "8"}, 3, bad_gain("8"), {{"old.wav", kept}}},
        {{"-o", "old.wav", "-i", "typo.zkt"}, 4, opening("typo.zkt", no_such_file), {{"old.wav", kept}}},
        {{"-o", "old.wav", "-i", "in.zkt", "-f", "1"}, 3, bad_rate("1"), {{"old.wav", kept}}},
        {{"-o", "old.wav", "-o", "out.wav", "-i", "in.zkt"}, 0, "", {{"old.wav", kept}, {"out.wav", 44100}}},
        {{"-i", "in.zkt", "-o", "old.wav"}, 0, "", {{"old.wav", 44100}}},
    });
}

TEST(CommandLine, ChecksFollowTheOrderOfTheOptions)
{
    run_table({
        {{"-g", "9", "-i", "absent.dat"}, 3, bad_gain("9"), {}},
        {{"-i", "absent.dat", "-g", "9"}, 4, opening("absent.dat", no_such_file), {}},
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
        // Numbers beyond 32 bits are out of range, not wrapped into it, and shown as typed.
        {with_files({"-g", "4294967297"}), 3, bad_gain("4294967297"), {}},
        {with_files({"-g", "99999999999999999999999"}), 3, bad_gain("99999999999999999999999"), {}},
        {with_files({"-g", " \t99999999999999999999999"}), 3, bad_gain("99999999999999999999999"), {}},
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
        {args, 1, "", {{"out.wav", absent}}, {{"POSIXLY_CORRECT=1"}}},
    });
}

TEST(CommandLine, ReadAndWriteFailuresAreNotSuccess)
{
    run_table({
        // A short output fails when the header is patched, a long one at its first block.
        {{"-i", "in.zkt", "-o", "/dev/full"}, 5, failure("writing", "/dev/full", "No space left on device"), {}},
        {{"-i", "long.zkt", "-o", "/dev/full"}, 5, failure("writing", "/dev/full", "No space left on device"), {}},
        {{"-i", "long.zkt", "-o", "out.wav"}, 5, failure("writing", "out.wav", "File too large"), {}, {{}, {}, limit_file_size}},
        // Its reads fail with an I/O error at once.
        {{"-i", "/proc/self/mem", "-o", "out.wav"}, 5, failure("reading", "/proc/self/mem", io_error), {}},
    });
}

TEST(CommandLine, DirectoriesAndTheImageItselfAreRefused)
{
    run_table({
        {{"-i", "somedir", "-o", "out.wav"}, 4, opening("somedir", is_directory), {{"out.wav", absent}}},
        {{"-o", "out.wav", "-i", "somedir"}, 4, opening("somedir", is_directory), {{"out.wav", empty}}},
        {{"-i", "in.zkt", "-o", "somedir"}, 4, opening("somedir", is_directory), {}},
        // The image survives being named as the output, by any name and in either order
        // (checked after every case).
        {{"-i", "in.zkt", "-o", "in.zkt"}, 4, opening("in.zkt", same_file), {}},
        {{"-o", "in.zkt", "-i", "in.zkt"}, 4, opening("in.zkt", same_file), {}},
        {{"-i", "in.zkt", "-o", "./in.zkt"}, 4, opening("./in.zkt", same_file), {}},
        {{"-i", "in.zkt", "-o", "hard.zkt"}, 4, opening("hard.zkt", same_file), {}},
        {{"-o", "hard.zkt", "-i", "in.zkt"}, 4, opening("in.zkt", same_file), {}},
        {{"-i", "sym.zkt", "-o", "in.zkt"}, 4, opening("in.zkt", same_file), {}},
        {{"-o", "sym.zkt", "-i", "in.zkt"}, 4, opening("in.zkt", same_file), {}},
        {{"-o", "/dev/stdout", "-i", "/dev/stdin"}, 4, opening("/dev/stdin", same_file), {}, {{}, {}, image_on_both_streams}},
        {{"-o", "-", "-i", "-"}, 4, opening("-", same_file), {}, {{}, {}, image_on_both_streams}},
        // Devices are no image that an output could destroy.
        {{"-i", "/dev/null", "-o", "/dev/null"}, 0, empty_image, {}},
        // A file called - is written as ./-.
        {{"-i", "in.zkt", "-o", "./-"}, 0, "", {{"-", 44100}}},
        {{"-o", "out.wav", "-i", "out.wav"}, 4, opening("out.wav", same_file), {{"out.wav", empty}}},
        // Only the streams in use count: the first output is replaced by the time of -i.
        {{"-o", "out.wav", "-o", "b.wav", "-i", "in.zkt"}, 0, "", {{"out.wav", empty}, {"b.wav", 44100}}},
    });
}

// A recording named as the image means that the names were swapped: the image that would have
// been overwritten is kept (checked after every case), and an output made by this command line
// is taken back.
TEST(CommandLine, SwappedNamesAreRefused)
{
    run_table({
        {{"-i", "take.wav", "-o", "in.zkt"}, 4, opening("take.wav", swapped), {}},
        {{"-o", "in.zkt", "-i", "take.wav"}, 4, opening("take.wav", swapped), {}},
        {{"-i", "take.wav", "-o", "new.zkt"}, 4, opening("take.wav", swapped), {{"new.zkt", absent}}},
        {{"-o", "new.zkt", "-i", "take.wav"}, 4, opening("take.wav", swapped), {{"new.zkt", absent}}},
        {{"-o", "old.wav", "-i", "take.wav"}, 4, opening("take.wav", swapped), {{"old.wav", kept}}},
        {{"-o", "new.zkt", "-i", "-"}, 4, opening("-", swapped), {{"new.zkt", absent}},
         recording_on_standard_input(0)},
        // The image is what follows the position of standard input.
        {{"-o", "out.wav", "-i", "-"}, 0, "", {{"out.wav", 44100}}, recording_on_standard_input(12)},
        {{"-i", "riff.zkt", "-o", "out.wav"}, 0, "", {{"out.wav", 44100}}},
    });
}

// Faults that only a system call shows, injected by strace into the calls on one file.
TEST(CommandLine, InjectedFaultsAreNotSuccess)
{
    const std::string strace = "/usr/bin/strace";
    if (!std::filesystem::exists(strace))
        GTEST_SKIP() << "strace is not installed (Debian: apt-get install strace)";
    // strace is given the file's real path, lest it remark that it resolved one; the
    // sanitizers' leak check can't run under it.
    auto failing = [&](const char *file, const char *calls) {
        const std::string script = "file=$1 calls=$2; shift 2; exec " + strace +
                                   " -qq -o /dev/null -P \"$(pwd -P)/$file\" -e \"$calls\" \"$@\"";
        return run_setup{{"ASAN_OPTIONS=detect_leaks=0"}, {"/bin/sh", "-c", script, "sh", file, calls}};
    };
    run_table({
        // The image can't be examined when -o compares the output with it: a file that may be
        // the image is refused, not taken for another.
        {with_files({}), 4, opening("out.wav", io_error), {{"out.wav", empty}},
         failing("in.zkt", "inject=%fstat:error=EIO:when=2+")},
        // Closing the output is its last write.
        {with_files({}), 5, failure("writing", "out.wav", io_error), {},
         failing("out.wav", "inject=close:error=EIO")},
    });
}

// Audio never floods a terminal, and a forgotten redirection never waits for keystrokes.
TEST(CommandLine, TerminalsAreRefused)
{
    const int probe = posix_openpt(O_RDWR | O_NOCTTY);
    if (probe < 0)
        GTEST_SKIP() << "no pseudo-terminal can be had here";
    close(probe);
    // In the child, standard input or output becomes a pseudo-terminal; a program that takes
    // it is stopped by the alarm rather than waiting for keystrokes.
    auto terminal_as = [](int fd) {
        return run_setup{{}, {}, [fd] {
            alarm(10);
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
                _exit(126);
            dup2(open(ptsname(master), O_RDWR | O_NOCTTY), fd);
        }};
    };
    run_table({
        {{"-i", "-", "-o", "out.wav"}, 4, opening("-", "It is a terminal."), {{"out.wav", absent}}, terminal_as(0)},
        {{"-i", "in.zkt", "-o", "-"}, 4, opening("-", "It is a terminal."), {}, terminal_as(1)},
    });
}
// clang-format on

TEST(CommandLine, HelpAndVersion)
{
    scratch_dir dir;
    const auto help = run_program(dir.root(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.substr(0, usage.size()), usage);
    for (const char *left_out :
         {"-f <rate>", "-i -", "-o -", "--invert", "--pad", "--check", "--program", "--version"})
        EXPECT_NE(help.out.find(left_out, usage.size()), std::string::npos) << left_out;
    const auto version = run_program(dir.root(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.out, "zkt2wav " ZKT2WAV_VERSION "\n");
}

// Said after a conversion that succeeded, which they leave as it was: bit 7 is not carried,
// so an image converts as it does with the bit cleared.
TEST(CommandLine, WarningsFollowTheConversion)
{
    const struct {
        std::vector<std::uint8_t> image;
        std::string err;
    } cases[] = {
        {{0x80, 0x41, 0xFF, 0x7F, 0xC1}, bit_7("3 bytes use")},
        {{0xC1}, bit_7("1 byte uses")},
        {{}, empty_image},
        {{0x00, 0x41, 0x7F}, ""},
    };
    scratch_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.image.size() << " bytes");
        auto cleared = c.image;
        for (auto &byte : cleared)
            byte &= 0x7F;
        write_bytes(dir.path("image.zkt"), c.image);
        write_bytes(dir.path("cleared.zkt"), cleared);
        const auto result = run_program(dir.root(), {"-i", "image.zkt", "-o", "image.wav"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        ASSERT_EQ(run_program(dir.root(), {"-i", "cleared.zkt", "-o", "cleared.wav"}).status, 0);
        EXPECT_EQ(read_bytes(dir.path("image.wav")), read_bytes(dir.path("cleared.wav")));
    }
    const auto &at_44100 = rate_timings[1];
    ASSERT_EQ(at_44100.rate, 44100u);
    EXPECT_EQ(convert(dir, {}).samples.size(), at_44100.lead_in);
}

// A new output may be read and written by all whom the umask allows, as with any file a
// tool creates.
TEST(CommandLine, NewOutputTakesItsModeFromTheUmask)
{
    scratch_dir dir;
    write_bytes(dir.path("in.zkt"), {});
    const auto result =
        run_program(dir.root(), {"-i", "in.zkt", "-o", "out.wav"}, {{}, {}, [] { umask(002); }});
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(std::filesystem::status(dir.path("out.wav")).permissions(),
              static_cast<std::filesystem::perms>(0664));
}

} // namespace
