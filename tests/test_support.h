#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
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

struct run_result {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs the built program in `dir` with exactly these arguments and environment entries.
run_result run_program(const std::filesystem::path &dir, const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {});

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

// Puts the converter's process-wide state back to where a run starts: default header,
// default gain, filter at rest, no pending samples.
void reset_conversion_state();

// The bytes that `write` sends to an output stream, pending samples included.
std::vector<std::uint8_t> captured_output(const std::function<void(FILE *)> &write);

using level_run = std::pair<std::uint8_t, std::uint32_t>; // input level, samples

// The samples the filter makes of these runs of input levels, from its present state.
std::vector<std::uint8_t> filtered(const std::vector<level_run> &runs);
