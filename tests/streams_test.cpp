#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Runs the program between shell commands joined to it by real pipes; either may be empty.
// A failure anywhere in the pipeline fails the run.
run_setup between(const std::string &producer, const std::string &consumer)
{
    std::string line = "set -o pipefail; ";
    if (!producer.empty())
        line += producer + " | ";
    line += "\"$0\" \"$@\"";
    if (!consumer.empty())
        line += " | " + consumer;
    return {{}, {"/bin/bash", "-c", line}};
}

std::vector<std::uint8_t> random_bytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = 2463534242u;
    for (auto &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

// Converts image.zkt in `dir` to file.wav, as the reference for the streams.
void convert_to_file(const scratch_dir &dir, const std::vector<std::string> &options)
{
    std::vector<std::string> args{"-i", "image.zkt", "-o", "file.wav"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(run_program(dir.root(), args).status, 0);
}

// What goes down a pipe is what a regular file gets, its lengths included, though the pipe
// can't be seeked back: the header is written true from the start.
TEST(Streams, PipedOutputIsTheFileByteForByte)
{
    scratch_dir dir;
    const auto random = random_bytes(300);
    const struct {
        std::vector<std::uint8_t> image;
        std::vector<std::string> options;
    } cases[] = {
        {{}, {}},
        {{0x42}, {}},
        {random, {}},
        {std::vector<std::uint8_t>(300, 0xFF), {}},
        {random, {"--invert", "--pad", "0.25"}},
    };
    for (const auto &t : rate_timings) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << t.rate << " Hz, " << c.image.size() << " bytes, "
                                            << c.options.size() << " more options");
            auto options = c.options;
            options.insert(options.end(), {"-f", std::to_string(t.rate)});
            write_bytes(dir.path("image.zkt"), c.image);
            convert_to_file(dir, options);
            std::vector<std::string> args{"-i", "image.zkt", "-o", "-"};
            args.insert(args.end(), options.begin(), options.end());
            const auto piped = run_program(dir.root(), args, between("", "cat > piped.wav"));
            EXPECT_EQ(piped.status, 0) << piped.err;
            EXPECT_EQ(read_bytes(dir.path("piped.wav")), read_bytes(dir.path("file.wav")));
        }
    }
}

// A reader that takes the header's lengths at their word reads every sample from the pipe.
TEST(Streams, SoxReadsEverySampleFromThePipe)
{
    if (!fs::exists("/usr/bin/sox"))
        GTEST_SKIP() << "sox is not installed (Debian: apt-get install sox)";
    scratch_dir dir;
    write_bytes(dir.path("image.zkt"), random_bytes(3000));
    for (const auto &t : rate_timings) {
        SCOPED_TRACE(t.rate);
        const std::vector<std::string> rate{"-f", std::to_string(t.rate)};
        convert_to_file(dir, rate);
        const auto piped = run_program(dir.root(), {"-i", "image.zkt", "-o", "-", rate[0], rate[1]},
                                       between("", "sox -t wav - -n stat 2> stat.txt"));
        EXPECT_EQ(piped.status, 0) << piped.err;
        std::ifstream stat(dir.path("stat.txt"));
        std::string field;
        while (stat >> field && field != "read:")
            ;
        std::size_t samples = 0;
        stat >> samples;
        EXPECT_EQ(samples, read_wave(dir.path("file.wav")).samples.size());
    }
}

// Standard input on image.zkt, moved `offset` bytes in before the program starts.
std::function<void()> standard_input_at(off_t offset)
{
    return [offset] {
        const int image = open("image.zkt", O_RDONLY);
        lseek(image, offset, SEEK_SET);
        dup2(image, 0);
    };
}

run_setup with_input_at(run_setup setup, off_t offset)
{
    setup.in_child = standard_input_at(offset);
    return setup;
}

// From a pipe the image is copied aside while it is counted, and the copy is gone with the
// run; from a file it is read twice, each time from where standard input stood.
TEST(Streams, ImageFromStandardInputIsTheImage)
{
    scratch_dir dir;
    const auto image = random_bytes(3000);
    write_bytes(dir.path("image.zkt"), {image.begin() + 100, image.end()});
    convert_to_file(dir, {});
    fs::rename(dir.path("file.wav"), dir.path("tail.wav"));
    write_bytes(dir.path("image.zkt"), image);
    convert_to_file(dir, {});
    fs::create_directory(dir.path("tmp"));
    const struct {
        const char *output, *result, *expected;
        run_setup setup;
    } cases[] = {
        {"in-pipe.wav", "in-pipe.wav", "file.wav", between("cat image.zkt", "")},
        {"in-file.wav", "in-file.wav", "file.wav", {{}, {}, standard_input_at(0)}},
        {"-", "both-pipes.wav", "file.wav", between("cat image.zkt", "cat > both-pipes.wav")},
        {"mid-file.wav", "mid-file.wav", "tail.wav", {{}, {}, standard_input_at(100)}},
        {"-", "mid-to-pipe.wav", "tail.wav",
         with_input_at(between("", "cat > mid-to-pipe.wav"), 100)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.result);
        auto setup = c.setup;
        setup.env = {"TMPDIR=" + dir.path("tmp").string()};
        const auto result = run_program(dir.root(), {"-i", "-", "-o", c.output}, setup);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_bytes(dir.path(c.result)), read_bytes(dir.path(c.expected)));
        EXPECT_TRUE(fs::is_empty(dir.path("tmp")));
    }
}

// Standard output on a regular file is written where it stands, after what the file holds,
// and its header can't be patched there: it gets its lengths up front.
TEST(Streams, StandardOutputIsWrittenWhereItStands)
{
    scratch_dir dir;
    write_bytes(dir.path("image.zkt"), random_bytes(300));
    convert_to_file(dir, {});
    const std::vector<std::uint8_t> before(1000, 'o');
    const struct {
        const char *how;
        std::function<void()> in_child;
    } cases[] = {
        {"appended", [] { dup2(open("out.wav", O_WRONLY | O_APPEND), 1); }},
        {"after a seek",
         [] {
             const int fd = open("out.wav", O_WRONLY);
             lseek(fd, 0, SEEK_END);
             dup2(fd, 1);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        write_bytes(dir.path("out.wav"), before);
        const auto result =
            run_program(dir.root(), {"-i", "image.zkt", "-o", "-"}, {{}, {}, c.in_child});
        EXPECT_EQ(result.status, 0) << result.err;
        auto expected = before;
        const auto converted = read_bytes(dir.path("file.wav"));
        expected.insert(expected.end(), converted.begin(), converted.end());
        EXPECT_EQ(read_bytes(dir.path("out.wav")), expected);
    }
}

// An endless image is found too large for a WAVE file by counting, before a byte is written
// to an output that can't be patched.
TEST(Streams, TheLimitHoldsBeforeAnythingIsWritten)
{
    scratch_dir dir;
    const auto piped =
        run_program(dir.root(), {"-i", "/dev/zero", "-o", "-"}, between("", "cat > piped.wav"));
    EXPECT_EQ(piped.status, 5);
    EXPECT_EQ(piped.err, "Error writing -.\nThe output is too large for a WAVE file.\n");
    EXPECT_EQ(fs::file_size(dir.path("piped.wav")), 0u);
    const auto device = run_program(dir.root(), {"-i", "/dev/zero", "-o", "/dev/null"});
    EXPECT_EQ(device.status, 5);
    EXPECT_EQ(device.err, "Error writing /dev/null.\nThe output is too large for a WAVE file.\n");
}

// Whatever `fd` holds, waiting for at least a byte; false at its end.
bool read_more(int fd, std::vector<std::uint8_t> &bytes)
{
    std::vector<std::uint8_t> block(1 << 16);
    const ssize_t got = read(fd, block.data(), block.size());
    if (got > 0)
        bytes.insert(bytes.end(), block.begin(), block.begin() + got);
    return got > 0;
}

// The image changes once it was counted, while the program waits for the pipe to be read. The
// run fails, and no sample arrives that the header did not announce.
TEST(Streams, AnImageThatChangesWhileItIsReadFails)
{
    const struct {
        const char *how;
        std::function<void(const fs::path &)> change;
    } cases[] = {
        {"grown", [](const fs::path &image) { std::ofstream(image, std::ios::app) << "more"; }},
        {"cut short", [](const fs::path &image) { fs::resize_file(image, 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        scratch_dir dir;
        // Far more than the program reads ahead of what the pipe holds: its input buffer, and
        // the samples of a few thousand bytes in its output blocks.
        write_bytes(dir.path("image.zkt"), random_bytes(1 << 17));
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        const int pipe_in = ends[1];
        const auto program = start_program(dir.root(), {"-i", "image.zkt", "-o", "-", "-f", "8000"},
                                           {{}, {}, [pipe_in] { dup2(pipe_in, STDOUT_FILENO); }});
        close(pipe_in);
        std::vector<std::uint8_t> arrived;
        EXPECT_TRUE(read_more(ends[0], arrived));
        c.change(dir.path("image.zkt"));
        while (read_more(ends[0], arrived))
            ;
        close(ends[0]);
        const auto result = finish_program(program);
        EXPECT_EQ(result.status, 5);
        EXPECT_EQ(result.err, "Error writing -.\nThe tape image changed while it was read.\n");
        write_bytes(dir.path("arrived.wav"), arrived);
        const auto wave = read_wave(dir.path("arrived.wav"));
        ASSERT_GE(wave.file_length, 44u);
        EXPECT_GE(wave.data_length, wave.samples.size());
        EXPECT_EQ(wave.riff_length, wave.data_length + 36);
    }
}

} // namespace
