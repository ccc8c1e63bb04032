#include "pulse_decoder.h"

#include <cstddef>

namespace {

// A step between neighbouring samples at least this large is a pulse edge.
constexpr int edge_step = 12;
// Tone halves last about 0.9 ms, data pulses at most about 0.23 ms.
constexpr double longest_data_pulse = 0.5e-3;
// A 0 cell lasts about 1.5 ms, each pulse of a 1 about half of that.
constexpr double shortest_zero_cell = 1.1e-3;

struct pulse {
    std::size_t start;
    std::size_t high_samples;
};

std::vector<pulse> find_pulses(const std::vector<std::uint8_t> &samples)
{
    std::vector<pulse> pulses;
    bool high = false;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const int step = samples[i] - samples[i - 1];
        if (!high && step >= edge_step) {
            pulses.push_back({i, 0});
            high = true;
        } else if (high && step <= -edge_step) {
            pulses.back().high_samples = i - pulses.back().start;
            high = false;
        }
    }
    return pulses;
}

} // namespace

std::vector<heard_cell> decode_cells(const std::vector<std::uint8_t> &samples, std::uint32_t rate)
{
    const auto pulses = find_pulses(samples);
    auto seconds = [rate](std::size_t count) { return static_cast<double>(count) / rate; };
    std::size_t first_data = 0;
    for (std::size_t i = 0; i < pulses.size(); ++i)
        if (seconds(pulses[i].high_samples) > longest_data_pulse)
            first_data = i + 1;

    std::vector<heard_cell> cells;
    for (std::size_t i = first_data; i < pulses.size();) {
        const std::size_t next_start = i + 1 < pulses.size() ? pulses[i + 1].start : samples.size();
        const int bit = seconds(next_start - pulses[i].start) < shortest_zero_cell ? 1 : 0;
        cells.push_back({bit, seconds(pulses[i].high_samples)});
        i += bit ? 2 : 1;
    }
    return cells;
}

std::vector<std::uint8_t> decode_bytes(const std::vector<heard_cell> &cells)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t first = 0; first + 7 <= cells.size(); first += 7) {
        int byte = cells[first + 6].bit;
        for (int bit = 1; bit <= 6; ++bit)
            byte |= cells[first + static_cast<std::size_t>(bit) - 1].bit << bit;
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}
