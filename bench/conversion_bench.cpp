// Times a whole conversion of a 1 MiB image against two baselines run on the same number of
// samples: the floor, which only runs the filter recurrence with its state in locals and
// writes 1 MiB blocks, and the literal design, one filter call and one fputc per sample.
// Also reports the converter's peak memory for a 1 MiB and an 8 MiB image.

#include "audio/wave_file.h"
#include "tape/tape_signal.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr int runs = 5;
constexpr std::size_t mebibyte = 1 << 20;
constexpr double lp_coefficient = 0.5577;
constexpr double hp_coefficient = 0.0070984;

void write_random_image(const fs::path &file, std::size_t size)
{
    std::vector<char> bytes(size);
    std::uint32_t state = 2463534242u;
    for (auto &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<long>(size));
}

// The converter's own high-water mark of resident memory, in KiB, read while it runs: the
// kernel's rusage would also count the memory of the process that started it.
long peak_kib(pid_t child)
{
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

pid_t start_converter(const fs::path &program, const fs::path &image, const fs::path &wav, int rate)
{
    const std::string rate_text = std::to_string(rate);
    std::vector<std::string> args{program.string(), "-i", image.string(), "-o",
                                  wav.string(),     "-f", rate_text};
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + program.string());
    return child;
}

void expect_success(int status)
{
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the conversion failed");
}

void convert(const fs::path &program, const fs::path &image, const fs::path &wav, int rate)
{
    int status;
    waitpid(start_converter(program, image, wav, rate), &status, 0);
    expect_success(status);
}

// Runs the converter and returns its peak resident memory in KiB.
long peak_memory_of(const fs::path &program, const fs::path &image, const fs::path &wav, int rate)
{
    const pid_t child = start_converter(program, image, wav, rate);
    long peak = 0;
    int status;
    while (waitpid(child, &status, WNOHANG) == 0) {
        peak = std::max(peak, peak_kib(child));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    expect_success(status);
    return peak;
}

// The floor: nothing but the recurrence, fed levels that alternate every 32 samples, with
// the state in registers for a whole block.
[[gnu::noinline]] void filter_block(unsigned char *block, std::size_t count, double &lp_state,
                                    double &hp_state)
{
    static const double levels[2] = {60.0, 0.0};
    double lp = lp_state;
    double hp = hp_state;
    for (std::size_t i = 0; i < count; ++i) {
        const double in = levels[(i >> 5) & 1];
        double clipped = lp - hp;
        if (clipped >= 127.0)
            clipped = 127.0;
        else if (clipped < -127.0)
            clipped = -127.0;
        block[i] = static_cast<unsigned char>(static_cast<int>(clipped) + 128);
        lp = lp + (in - lp) * lp_coefficient;
        hp = hp + (lp - hp) * hp_coefficient;
    }
    lp_state = lp;
    hp_state = hp;
}

void filter_floor(std::uint64_t samples, const fs::path &out_file)
{
    FILE *out = std::fopen(out_file.c_str(), "wb");
    std::vector<unsigned char> block(mebibyte);
    double lp = 0.0;
    double hp = 0.0;
    for (std::uint64_t done = 0; done < samples;) {
        const std::size_t count = std::min<std::uint64_t>(block.size(), samples - done);
        filter_block(block.data(), count, lp, hp);
        std::fwrite(block.data(), 1, count, out);
        done += count;
    }
    std::fclose(out);
}

// The literal design: one call per sample with the state in memory, one fputc per byte.
namespace literal {

double lp_accu;
double hp_accu;

[[gnu::noinline]] void filter_output(std::uint8_t level, FILE *wavfile)
{
    const double in = level;
    double clipped = lp_accu - hp_accu;
    if (clipped >= 127.0)
        clipped = 127.0;
    else if (clipped < -127.0)
        clipped = -127.0;
    const auto out = static_cast<unsigned char>(static_cast<int>(clipped) + 128);
    lp_accu = lp_accu + (in - lp_accu) * lp_coefficient;
    hp_accu = hp_accu + (lp_accu - hp_accu) * hp_coefficient;
    std::fputc(out, wavfile);
}

void segment(FILE *wavfile, std::uint32_t cycles, std::uint8_t level)
{
    for (std::uint32_t n = cycles_to_samples(cycles); n > 0; --n)
        filter_output(level, wavfile);
}

void cell(FILE *fp, int bit, std::uint32_t high_cycles)
{
    const std::uint32_t pulses = 1u << bit;
    for (std::uint32_t pulse = 0; pulse < pulses; ++pulse) {
        segment(fp, high_cycles / pulses, p_gain);
        segment(fp, 3878 / pulses, p_silence);
    }
}

// The header goes out as it stands in memory, lengths 0, and is rewritten with the lengths
// that the stream's position gives at the end.
void write_header(FILE *wavfile, const wav_header &header)
{
    const auto bytes = wav_header_bytes(header);
    std::fwrite(bytes.data(), 1, bytes.size(), wavfile);
}

void patch_and_close(FILE *wavfile)
{
    wav_header header = wave;
    const auto length = static_cast<std::uint32_t>(std::ftell(wavfile));
    header.rLen = length - 8;
    header.data_size = length - 44;
    std::rewind(wavfile);
    write_header(wavfile, header);
    std::fclose(wavfile);
}

void convert(const fs::path &image, const fs::path &out_file)
{
    lp_accu = 0.0;
    hp_accu = 0.0;
    FILE *zkt = std::fopen(image.c_str(), "rb");
    FILE *wav = std::fopen(out_file.c_str(), "wb");
    write_header(wav, wave);
    segment(wav, 55300, p_silence);
    for (int period = 0; period < 12; ++period) {
        segment(wav, 2656, p_silence);
        segment(wav, 2656, p_gain);
    }
    segment(wav, 25238, p_silence);
    for (int byte; (byte = std::fgetc(zkt)) != EOF;) {
        for (int bit = 1; bit <= 6; ++bit)
            cell(wav, (byte >> bit) & 1, 546);
        cell(wav, byte & 1, 680);
    }
    std::fclose(zkt);
    patch_and_close(wav);
}

} // namespace literal

// Each run starts with no dirty pages left by the one before and a moment for the disk to
// settle, so that no measurement pays for another's writeback (without the pause, the run
// after the literal design was up to a fifth slower).
double seconds_of(const std::function<void()> &work)
{
    sync();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool same_contents(const fs::path &a, const fs::path &b)
{
    std::ifstream in_a(a, std::ios::binary);
    std::ifstream in_b(b, std::ios::binary);
    std::vector<char> block_a(mebibyte);
    std::vector<char> block_b(mebibyte);
    while (in_a && in_b) {
        in_a.read(block_a.data(), static_cast<long>(mebibyte));
        in_b.read(block_b.data(), static_cast<long>(mebibyte));
        if (in_a.gcount() != in_b.gcount() ||
            !std::equal(block_a.begin(), block_a.begin() + in_a.gcount(), block_b.begin()))
            return false;
    }
    return !in_a && !in_b;
}

void print_speed(const char *what, double seconds, std::uint64_t samples)
{
    std::printf("  %-36s %7.3f s %8.1f M samples/s\n", what, seconds,
                static_cast<double>(samples) / seconds / 1e6);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s path/to/zkt2wav\n", argv[0]);
        return 2;
    }
    const fs::path program = fs::absolute(argv[1]);
    const fs::path dir = fs::absolute("bench-files");
    fs::create_directories(dir);
    const fs::path image = dir / "random-1MiB.zkt";
    const fs::path large_image = dir / "random-8MiB.zkt";
    write_random_image(image, mebibyte);
    write_random_image(large_image, 8 * mebibyte);

    const fs::path converted = dir / "converter.wav";
    const fs::path literal_converted = dir / "literal.wav";
    const fs::path floor_output = dir / "floor.raw";
    convert(program, image, converted, 44100);
    const std::uint64_t samples = fs::file_size(converted) - wav_header_size;
    // The three take turns, so that a slow spell of the machine hits them all alike.
    std::vector<double> converter_runs, floor_runs, literal_runs;
    for (int run = 0; run < runs; ++run) {
        fs::remove(converted);
        converter_runs.push_back(seconds_of([&] { convert(program, image, converted, 44100); }));
        fs::remove(floor_output);
        floor_runs.push_back(seconds_of([&] { filter_floor(samples, floor_output); }));
        fs::remove(literal_converted);
        literal_runs.push_back(seconds_of([&] { literal::convert(image, literal_converted); }));
    }
    const double converter = median(converter_runs);
    const double floor = median(floor_runs);
    const double literal_design = median(literal_runs);
    const bool same_output = same_contents(converted, literal_converted);
    fs::remove(floor_output);
    fs::remove(literal_converted);

    std::printf("1 MiB of random bytes at 44100 Hz: %llu samples, median of %d runs\n",
                static_cast<unsigned long long>(samples), runs);
    print_speed("converter", converter, samples);
    print_speed("floor (recurrence, 1 MiB writes)", floor, samples);
    print_speed("literal (call and fputc per sample)", literal_design, samples);
    std::printf("  converter / floor   %.3f\n", converter / floor);
    std::printf("  literal / converter %.3f\n", literal_design / converter);
    std::printf("  literal output identical to the converter's: %s\n", same_output ? "yes" : "NO");

    const long small_rss = peak_memory_of(program, image, converted, 11025);
    const long large_rss = peak_memory_of(program, large_image, converted, 11025);
    std::printf("peak resident memory at 11025 Hz: %ld KiB for 1 MiB, %ld KiB for 8 MiB\n",
                small_rss, large_rss);
    fs::remove_all(dir);
    return same_output ? 0 : 1;
}
