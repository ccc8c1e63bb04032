#include "test_support.h"

#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "tape/tape_signal.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
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

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (auto &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void exec_child(const fs::path &dir, std::vector<std::string> argv,
                             const run_setup &setup, const fs::path &out, const fs::path &err)
{
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
        chdir(dir.c_str()) != 0)
        _exit(127);
    if (setup.in_child)
        setup.in_child();
    std::vector<std::string> env = setup.env;
    execve(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
    _exit(127);
}

std::string text_of(const fs::path &file)
{
    const auto bytes = read_bytes(file);
    return {bytes.begin(), bytes.end()};
}

} // namespace

run_result run_program(const fs::path &dir, const std::vector<std::string> &args,
                       const run_setup &setup)
{
    return finish_program(start_program(dir, args, setup));
}

started_program start_program(const fs::path &dir, const std::vector<std::string> &args,
                              const run_setup &setup)
{
    // The captured streams live beside the scratch directory so they never show up in it.
    const fs::path out = dir.string() + ".stdout";
    const fs::path err = dir.string() + ".stderr";
    std::vector<std::string> argv = setup.wrapper;
    // A program built for another machine runs under the emulator named here.
    if (const char *emulator = std::getenv("ZKT2WAV_TEST_WRAPPER")) {
        std::istringstream words(emulator);
        for (std::string word; words >> word;)
            argv.push_back(word);
    }
    argv.push_back(ZKT2WAV_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t child = fork();
    if (child == 0)
        exec_child(dir, argv, setup, out, err);
    return {child, out, err};
}

run_result finish_program(const started_program &program)
{
    int wait_status = 0;
    waitpid(program.pid, &wait_status, 0);
    run_result result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, text_of(program.out),
                      text_of(program.err)};
    fs::remove(program.out);
    fs::remove(program.err);
    return result;
}

wave_contents read_wave(const fs::path &file)
{
    const auto b = read_bytes(file);
    wave_contents w{};
    w.file_length = b.size();
    if (b.size() < 44)
        return w;
    auto le = [&b](long at, int width) {
        std::uint32_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = value << 8 | b.at(static_cast<std::size_t>(at + i));
        return value;
    };
    auto text = [&b](long at, long width) {
        return std::string(b.begin() + at, b.begin() + at + width);
    };
    w.riff = text(0, 4);
    w.riff_length = le(4, 4);
    w.wave_fmt = text(8, 8);
    w.fmt_length = le(16, 4);
    w.format_tag = static_cast<std::uint16_t>(le(20, 2));
    w.channels = static_cast<std::uint16_t>(le(22, 2));
    w.sample_rate = le(24, 4);
    w.byte_rate = le(28, 4);
    w.block_align = static_cast<std::uint16_t>(le(32, 2));
    w.bits_per_sample = static_cast<std::uint16_t>(le(34, 2));
    w.data_id = text(36, 4);
    w.data_length = le(40, 4);
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

wave_contents convert(const scratch_dir &dir, const std::vector<std::uint8_t> &image,
                      const std::vector<std::string> &options)
{
    write_bytes(dir.path("image.zkt"), image);
    std::vector<std::string> args{"-i", "image.zkt", "-o", "out.wav"};
    args.insert(args.end(), options.begin(), options.end());
    const auto result = run_program(dir.root(), args);
    EXPECT_EQ(result.status, 0) << result.err;
    return read_wave(dir.path("out.wav"));
}

// Segments of 55300, 2656 and 25238 cycles, then 546, 3878, 273, 1939, 680 and 340 cycles.
const std::vector<rate_timing> rate_timings = {
    {48000, 884, 42, 403, 2295, 8, 62, 4, 31, 10, 5, 70, 70, 72, 72},
    {44100, 812, 39, 370, 2118, 8, 57, 4, 28, 9, 4, 65, 64, 66, 64},
    {22050, 406, 19, 185, 1047, 4, 28, 2, 14, 4, 2, 32, 32, 32, 32},
    {11025, 203, 9, 92, 511, 2, 14, 1, 7, 2, 1, 16, 16, 16, 16},
    {8000, 147, 7, 67, 382, 1, 10, 0, 5, 1, 0, 11, 10, 11, 10},
};

wave_contents conversion_test::written(const std::function<void(FILE *)> &write) const
{
    const auto file = dir.path("written.wav");
    FILE *stream = std::fopen(file.c_str(), "wb");
    if (!stream)
        throw std::runtime_error("cannot create " + file.string());
    wav_bytes_written = 0;
    write_wav_header(stream);
    write(stream);
    close_wav(stream);
    return read_wave(file);
}

std::vector<std::uint8_t> conversion_test::filtered(const std::vector<level_run> &runs) const
{
    return written([&](FILE *out) {
               for (const auto &[level, count] : runs)
                   filter_output(level, count, out);
           })
        .samples;
}
