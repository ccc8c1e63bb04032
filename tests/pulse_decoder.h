#pragma once

#include <cstdint>
#include <vector>

// A bit cell as heard in the samples: its value and how long its first pulse stayed high.
struct heard_cell {
    int bit;
    double high_seconds;
};

// Recovers the data cells of a recording from its samples alone: pulses are found by their
// steep edges, the lead-in tone by its long high halves, and a cell is one long pulse (a 0)
// or two short ones (a 1). Knows nothing of how the converter builds the signal.
std::vector<heard_cell> decode_cells(const std::vector<std::uint8_t> &samples, std::uint32_t rate);

// Groups the cells by seven into bytes: bits 1..6 from the first six, bit 0 from the seventh.
std::vector<std::uint8_t> decode_bytes(const std::vector<heard_cell> &cells);
