#include "check/pulse_decoder.h"

#include <algorithm>
#include <cmath>

namespace {

// The recording machine's clock, and the signal's timing in its cycles.
constexpr double cycles_per_second = 3000000;
constexpr double tone_period_cycles = 5312;
constexpr double normal_cell_cycles = 4424;
constexpr double last_cell_cycles = 4558;
// No pulse for this long, well past any cell, ends the data.
constexpr double end_of_data_cycles = 20 * last_cell_cycles;

// The tone is at least this many periods alike, each within a tenth of their mean; its
// period may be off by a third either way, for a player running far too fast or slow.
constexpr std::size_t tone_periods_needed = 8;
constexpr double tone_likeness = 0.1;
constexpr double slowest_tone_period = tone_period_cycles * 1.35;
constexpr double fastest_tone_period = tone_period_cycles / 1.35;

// The baseline follows DC and slow drift. The envelope follows the pulses' height: it rises
// at once and falls slowly, over the tone's silence while looking for the lead-in, over a
// slow fade of the volume once it has been found, never into the noise between cells.
constexpr double baseline_seconds = 0.02;
constexpr double envelope_seconds = 0.05;
constexpr double data_envelope_seconds = 10;
constexpr double quietest_envelope = 0.01;
constexpr double upper_threshold = 0.4;
constexpr double lower_threshold = 0.15;

double cycles(const pulse_decoder &d, double samples)
{
    return samples * cycles_per_second * d.speed / d.rate;
}

// The length of the cell being read: the last of a byte's seven is longer.
double cell_cycles(const pulse_decoder &d)
{
    return d.cells % 7 == 6 ? last_cell_cycles : normal_cell_cycles;
}

// A gap to the next pulse shorter than this is half a cell: a 1.
double decision_cycles(double full)
{
    return 0.75 * full;
}

// The moment between two samples where the signal crossed `level`.
double crossing(double index, double before, double after, double level)
{
    return index - 1 + (level - before) / (after - before);
}

// Returns true when the trigger has just risen.
bool follow(pulse_trigger &trigger, double index, double before, double after, double envelope)
{
    const double upper = upper_threshold * envelope;
    if (!trigger.high && after >= upper) {
        trigger.high = true;
        trigger.rise = crossing(index, before, after, upper);
        return true;
    }
    const double lower = lower_threshold * envelope;
    if (trigger.high && after < lower) {
        trigger.high = false;
        trigger.width = crossing(index, before, after, lower) - trigger.rise;
    }
    return false;
}

void end_data(pulse_decoder &d)
{
    d.data_ended = true;
    d.cell_start = -1;
}

// A cell's value, its margin from the threshold, and the byte it completes.
void add_cell(pulse_decoder &d, int bit, double to_next_pulse)
{
    const bool last = d.cells % 7 == 6;
    const double full = cell_cycles(d);
    const double threshold = decision_cycles(full);
    const double margin = std::fabs(to_next_pulse - threshold) / (threshold - full / 2);
    if (margin < d.worst_margin) {
        d.worst_margin = margin;
        d.worst_cell = d.cells;
        d.worst_cell_start = d.cell_start;
    }
    const double width = d.up.width;
    if (d.cells % 7 == 0)
        d.byte_starts.push_back(static_cast<std::uint64_t>(d.cell_start));
    if (!last) {
        d.byte_bits |= bit << (d.cells % 7 + 1);
        d.normal_width[bit] +=
            (width - d.normal_width[bit]) / static_cast<double>(++d.normal_count[bit]);
        d.byte_widest_normal[bit] = std::max(d.byte_widest_normal[bit], width);
    } else {
        const double normal =
            d.byte_widest_normal[bit] > 0 ? d.byte_widest_normal[bit] : d.normal_width[bit];
        d.longer_last += width > normal + 0.5;
        d.bytes.push_back(static_cast<std::uint8_t>(d.byte_bits | bit));
        d.byte_bits = 0;
        d.byte_widest_normal[0] = d.byte_widest_normal[1] = 0;
    }
    ++d.cells;
}

// A pulse of the data: it either halves the cell being read (a 1) or starts the next one.
void data_pulse(pulse_decoder &d, double edge)
{
    if (d.cell_start < 0) {
        d.cell_start = edge;
        return;
    }
    const double gap = cycles(d, edge - d.cell_start);
    const double full = cell_cycles(d);
    if (gap < decision_cycles(full)) {
        add_cell(d, 1, gap);
        d.cell_start = -1;
        return;
    }
    if (gap >= end_of_data_cycles) {
        add_cell(d, 0, full);
        end_data(d);
        return;
    }
    d.lost_gaps += gap >= 1.5 * full;
    add_cell(d, 0, std::min(gap, full));
    d.cell_start = edge;
}

bool tone_like(double period)
{
    return period >= fastest_tone_period && period <= slowest_tone_period;
}

// Looks for the tone among the pulses of one direction. Returns true once it has been found
// and broken by the data's first pulse, which then starts the first cell.
bool tone_pulse(pulse_decoder &d, std::vector<double> &edges, double edge)
{
    if (!edges.empty()) {
        const double period = cycles(d, edge - edges.back());
        const double mean = cycles(d, edges.back() - edges.front()) /
                            static_cast<double>(std::max<std::size_t>(edges.size() - 1, 1));
        const bool alike = edges.size() < 2 || std::fabs(period - mean) <= tone_likeness * mean;
        if (!tone_like(period) || !alike) {
            // The tone ends in a silence of five periods before the data; nothing in the
            // data is that quiet, so a run of alike pulses without it was data, not tone.
            if (edges.size() > tone_periods_needed && period >= 3 * mean) {
                d.lead_in_found = true;
                d.lead_in_start = edges.front();
                // The first pulse rises out of silence, the others out of the tone's low
                // halves: the speed is timed from the second on, pulses of one shape.
                d.speed = tone_period_cycles * static_cast<double>(edges.size() - 2) /
                          cycles(d, edges.back() - edges[1]);
                d.end_of_data = end_of_data_cycles * d.rate / (cycles_per_second * d.speed);
                d.cell_start = edge;
                return true;
            }
            edges.erase(edges.begin(), edges.end() - (tone_like(period) ? 1 : 0));
        }
    }
    edges.push_back(edge);
    return false;
}

// Peak and sum in four lanes, so that neither waits on the one before: a chain of one
// addition per sample would take longer than all the decoding.
void add_level(pulse_decoder &d, const float *samples, std::size_t count)
{
    double peak[4] = {d.peak, 0, 0, 0};
    double sum[4] = {d.sum, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            peak[lane] = std::max(peak[lane], std::fabs(static_cast<double>(samples[i + lane])));
            sum[lane] += samples[i + lane];
        }
    }
    for (; i < count; ++i) {
        peak[0] = std::max(peak[0], std::fabs(static_cast<double>(samples[i])));
        sum[0] += samples[i];
    }
    d.peak = std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3]));
    d.sum = (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

} // namespace

void start_decoding(pulse_decoder &decoder, double rate)
{
    decoder = pulse_decoder{};
    decoder.rate = rate;
}

// The hot loop of a check: the baseline and the envelope are each one short recurrence, kept
// in locals for the block, and everything else happens at a pulse.
void decode_samples(pulse_decoder &d, const float *samples, std::size_t count)
{
    const double baseline_step = 1 - std::exp(-1 / (baseline_seconds * d.rate));
    const double searching_keep = std::exp(-1 / (envelope_seconds * d.rate));
    const double data_keep = std::exp(-1 / (data_envelope_seconds * d.rate));
    if (d.samples == 0 && count > 0)
        d.baseline = samples[0];
    add_level(d, samples, count);
    double baseline = d.baseline;
    double envelope = d.envelope;
    double previous = d.previous;
    double index = static_cast<double>(d.samples);
    for (std::size_t i = 0; i < count; ++i, ++index) {
        const double x = samples[i];
        baseline = baseline * (1 - baseline_step) + x * baseline_step;
        const double y = d.inverted ? baseline - x : x - baseline;
        envelope =
            std::max(std::fabs(y), envelope * (d.lead_in_found ? data_keep : searching_keep));
        const double level = std::max(envelope, quietest_envelope);
        const double before = previous;
        previous = y;
        if (d.data_ended)
            continue;
        if (!d.lead_in_found) {
            if (follow(d.up, index, before, y, level))
                tone_pulse(d, d.up_tone, d.up.rise);
            if (!d.lead_in_found && follow(d.down, index, -before, -y, level) &&
                tone_pulse(d, d.down_tone, d.down.rise)) {
                d.inverted = true;
                previous = -y;
                d.up = d.down;
            }
            continue;
        }
        if (follow(d.up, index, before, y, level))
            data_pulse(d, d.up.rise);
        else if (d.cell_start >= 0 && index - d.cell_start >= d.end_of_data) {
            add_cell(d, 0, cell_cycles(d));
            end_data(d);
        }
    }
    d.baseline = baseline;
    d.envelope = envelope;
    d.previous = previous;
    d.samples += count;
}

void finish_decoding(pulse_decoder &d)
{
    if (!d.lead_in_found) {
        // A tone that the end of the recording broke, with no data after it.
        const double end = static_cast<double>(d.samples);
        if (!tone_pulse(d, d.up_tone, end) && tone_pulse(d, d.down_tone, end))
            d.inverted = true;
        d.cell_start = -1;
    }
    if (!d.data_ended && d.cell_start >= 0)
        add_cell(d, 0, cell_cycles(d));
    end_data(d);
}
