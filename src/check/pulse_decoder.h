#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Follows a recording of the signal as a machine would, sample by sample and in constant
// memory but for the bytes it recovers: it finds the lead-in tone, takes the playback speed
// from the tone's period and rescales every duration by it, removes DC with a running
// baseline, finds pulses with hysteresis, takes the polarity from the tone's first swing,
// tells a 0 from a 1 by the time to the next pulse, and frames the cells seven to a byte.

// One Schmitt trigger: a pulse starts when the signal rises through the upper threshold and
// ends when it falls back through the lower one, so noise never counts an edge twice.
struct pulse_trigger {
    bool high = false;
    double rise = 0;  // when the pulse began, in samples
    double width = 0; // how long the last finished pulse stayed high, in samples
};

struct pulse_decoder {
    double rate = 0;

    // The lead-in, once found: where its tone starts, the speed measured from its period
    // (1 is nominal, more is faster) and whether the pulses go down.
    bool lead_in_found = false;
    double lead_in_start = 0;
    double speed = 1;
    bool inverted = false;
    double end_of_data = 0; // samples without a pulse that end the data, at this speed

    // The data, once the lead-in is over.
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> byte_starts; // the sample where each byte's first pulse rises
    std::uint64_t cells = 0;
    std::uint64_t lost_gaps = 0;   // silences where pulses should have been
    std::uint64_t longer_last = 0; // bytes whose last pulse is longer than their others
    bool data_ended = false;

    // How close the worst cell came to the decision between 0 and 1: 1 is the nominal
    // timing, 0 the threshold itself.
    double worst_margin = 1;
    std::uint64_t worst_cell = 0;
    double worst_cell_start = 0;

    // Level, over the whole recording.
    double peak = 0;
    double sum = 0;
    std::uint64_t samples = 0;

    // Working state.
    double baseline = 0;
    double envelope = 0;
    double previous = 0;
    // Until the polarity is known, the tone is looked for in both directions: the swing that
    // completes it first is the way the pulses go.
    pulse_trigger up, down;
    std::vector<double> up_tone, down_tone;
    double cell_start = -1; // the first pulse of the cell being read, or -1
    double previous_edge = -1;
    int byte_bits = 0;
    double normal_width[2] = {0, 0}; // running mean width of normal cells' pulses, by bit
    std::uint64_t normal_count[2] = {0, 0};
    double byte_widest_normal[2] = {0, 0};
};

// Prepares the decoder for a recording at `rate` samples per second.
void start_decoding(pulse_decoder &decoder, double rate);

// Feeds samples in -1..1, in recording order.
void decode_samples(pulse_decoder &decoder, const float *samples, std::size_t count);

// Reads the last cell once the recording has ended.
void finish_decoding(pulse_decoder &decoder);
