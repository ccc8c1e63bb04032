#include "test_support.h"

#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "tape/tape_signal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

scratch_dir::scratch_dir()
{
    std::string pattern = (fs::temp_directory_path() / "zkt2wav-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch directory");
    dir = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

namespace {

std::string read_text(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (auto &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void exec_child(const fs::path &dir, std::vector<std::string> argv,
                             std::vector<std::string> env, const fs::path &out, const fs::path &err)
{
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
        chdir(dir.c_str()) != 0)
        _exit(127);
    execve(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
    _exit(127);
}

} // namespace

run_result run_program(const fs::path &dir, const std::vector<std::string> &args,
                       const std::vector<std::string> &env)
{
    // The captured streams live beside the scratch directory so they never show up in it.
    const fs::path out = dir.string() + ".stdout";
    const fs::path err = dir.string() + ".stderr";
    std::vector<std::string> argv{ZKT2WAV_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t child = fork();
    if (child == 0)
        exec_child(dir, argv, env, out, err);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    run_result result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, read_text(out),
                      read_text(err)};
    fs::remove(out);
    fs::remove(err);
    return result;
}

std::vector<std::uint8_t> read_bytes(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path &file, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::uint32_t le(const std::vector<std::uint8_t> &b, std::size_t at, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | b.at(at + static_cast<std::size_t>(i));
    return value;
}

std::string text(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t width)
{
    return std::string(b.begin() + static_cast<long>(at),
                       b.begin() + static_cast<long>(at + width));
}

} // namespace

wave_contents read_wave(const fs::path &file)
{
    const auto b = read_bytes(file);
    wave_contents w{};
    w.file_length = b.size();
    if (b.size() < 44)
        return w;
    w.riff = text(b, 0, 4);
    w.riff_length = le(b, 4, 4);
    w.wave_fmt = text(b, 8, 8);
    w.fmt_length = le(b, 16, 4);
    w.format_tag = static_cast<std::uint16_t>(le(b, 20, 2));
    w.channels = static_cast<std::uint16_t>(le(b, 22, 2));
    w.sample_rate = le(b, 24, 4);
    w.byte_rate = le(b, 28, 4);
    w.block_align = static_cast<std::uint16_t>(le(b, 32, 2));
    w.bits_per_sample = static_cast<std::uint16_t>(le(b, 34, 2));
    w.data_id = text(b, 36, 4);
    w.data_length = le(b, 40, 4);
    w.samples.assign(b.begin() + 44, b.end());
    return w;
}

void expect_consistent_wave(const wave_contents &w, std::uint32_t rate)
{
    ASSERT_GE(w.file_length, 44u);
    EXPECT_EQ(w.riff, "RIFF");
    EXPECT_EQ(w.wave_fmt, "WAVEfmt ");
    EXPECT_EQ(w.data_id, "data");
    EXPECT_EQ(w.riff_length, w.file_length - 8);
    EXPECT_EQ(w.data_length, w.file_length - 44);
    EXPECT_EQ(w.fmt_length, 16u);
    EXPECT_EQ(w.format_tag, 1u);
    EXPECT_EQ(w.channels, 1u);
    EXPECT_EQ(w.bits_per_sample, 8u);
    EXPECT_EQ(w.block_align, 1u);
    EXPECT_EQ(w.sample_rate, rate);
    EXPECT_EQ(w.byte_rate, rate * w.block_align);
}

// `wave` is constant-initialised, so this copy holds the header as a run starts.
const wav_header initial_wave = wave;

void reset_conversion_state()
{
    wave = initial_wave;
    set_gain(4);
    lp_accu = 0.0;
    hp_accu = 0.0;
    pending_samples.used = 0;
}

std::vector<std::uint8_t> captured_output(const std::function<void(FILE *)> &write)
{
    FILE *stream = std::tmpfile();
    if (!stream)
        throw std::runtime_error("cannot create a temporary file");
    write(stream);
    write_pending_samples(stream);
    std::rewind(stream);
    std::vector<std::uint8_t> bytes;
    for (int c; (c = std::fgetc(stream)) != EOF;)
        bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(stream);
    return bytes;
}

std::vector<std::uint8_t> filtered(const std::vector<level_run> &runs)
{
    return captured_output([&](FILE *out) {
        for (const auto &[level, count] : runs)
            filter_output(level, count, out);
    });
}
