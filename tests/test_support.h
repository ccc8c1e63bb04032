#pragma once

#include "tape/tape_signal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// A fresh directory for one test, removed with everything in it even when the test fails.
class scratch_dir {
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::filesystem::path path(const std::string &name) const { return dir / name; }
    const std::filesystem::path &root() const { return dir; }

  private:
    std::filesystem::path dir;
};

// How the program is started, beyond its arguments.
struct run_setup {
    std::vector<std::string> env = {};     // the whole environment
    std::vector<std::string> wrapper = {}; // a command that runs the program, such as strace
    std::function<void()> in_child = {};   // runs in the child just before it starts
};

struct run_result {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs the built program in `dir` with exactly these arguments.
run_result run_program(const std::filesystem::path &dir, const std::vector<std::string> &args,
                       const run_setup &setup = {});

// The program started as run_program starts it, for a test that acts while it runs.
struct started_program {
    pid_t pid;
    std::filesystem::path out, err; // where its standard output and error are captured
};

started_program start_program(const std::filesystem::path &dir,
                              const std::vector<std::string> &args, const run_setup &setup = {});

// Waits for the program to end.
run_result finish_program(const started_program &program);

std::vector<std::uint8_t> read_bytes(const std::filesystem::path &file);
void write_bytes(const std::filesystem::path &file, const std::vector<std::uint8_t> &bytes);

// A WAVE file read back with its own little-endian reads, independent of the writer.
struct wave_contents {
    std::uint64_t file_length;
    std::string riff, wave_fmt, data_id;
    std::uint32_t riff_length, fmt_length, sample_rate, byte_rate, data_length;
    std::uint16_t format_tag, channels, block_align, bits_per_sample;
    std::vector<std::uint8_t> samples;
};

wave_contents read_wave(const std::filesystem::path &file);

// Checks the header of an 8-bit mono PCM file against its own length and the given rate.
void expect_consistent_wave(const wave_contents &wave, std::uint32_t rate);

// Runs the program on `image`, written to image.zkt in `dir`, with -i and -o and then
// `options`, and reads back the out.wav it makes.
wave_contents convert(const scratch_dir &dir, const std::vector<std::uint8_t> &image,
                      const std::vector<std::string> &options = {});

// The recording machine's durations in samples at each supported rate: the lead-in's
// segments and total, the segments of the cells' pulses, and the whole cells.
struct rate_timing {
    std::uint32_t rate;
    std::uint32_t opening_silence, tone_half, closing_silence, lead_in;
    std::uint32_t high0, low0, high1, low1, last_high0, last_high1;
    std::uint32_t normal0, normal1, last0, last1;
};
extern const std::vector<rate_timing> rate_timings;

using level_run = std::pair<std::uint8_t, std::uint32_t>; // input level, samples

// Tests of the converter's parts in this process, each starting and ending at rest.
class conversion_test : public testing::Test {
  protected:
    void SetUp() override { reset_conversion(); }
    void TearDown() override { reset_conversion(); }

    // The file that a run makes when `write` comes between the header and the close.
    wave_contents written(const std::function<void(FILE *)> &write) const;
    // The samples the filter makes of these runs of input levels, from its present state.
    std::vector<std::uint8_t> filtered(const std::vector<level_run> &runs) const;

    scratch_dir dir;
};
