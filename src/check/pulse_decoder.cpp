#include "check/pulse_decoder.h"

#include "tape/machine_timing.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double cycles_per_second = machine_cycles_per_second;
constexpr double tone_period_cycles = 2.0 * tone_half_period_cycles;
// No pulse for this long, well past any cell, ends the data.
constexpr double end_of_data_cycles = 20.0 * last_cell_cycles;

// The tone is at least this many periods alike, each within a tenth of their mean; its
// period may be off by a third either way, for a player running far too fast or slow.
constexpr std::uint64_t tone_periods_needed = 8;
constexpr double tone_likeness = 0.1;
constexpr double slowest_tone_period = tone_period_cycles * 1.35;
constexpr double fastest_tone_period = tone_period_cycles / 1.35;

// The baseline follows DC and slow drift. The envelope follows the pulses' height: it rises
// at once and falls slowly, over the tone's silence while looking for the lead-in, over a
// slow fade of the volume once it has been found, never into the noise between cells.
constexpr double baseline_seconds = 0.02;
constexpr double baseline_start_seconds = 0.01;
constexpr double envelope_seconds = 0.05;
constexpr double data_envelope_seconds = 10;
constexpr double upper_threshold = 0.4;
constexpr double lower_threshold = 0.15;

// Where the next pulse may come, in cells after the pulse that starts one: a 1's second pulse
// half a cell on, the next cell's a whole cell on. A quarter of a cell either way is the
// margin; closer than a quarter is too early for any cell, and a cell and a half means a
// pulse went missing.
constexpr double one_gap = 0.5;
constexpr double zero_gap = 1;
constexpr double margin_width = 0.25;
constexpr double decision_gap = one_gap + margin_width;
constexpr double lost_gap = 1.5;
constexpr double dropout_cells = 4;

// The noise is measured where no pulse can be: from a quarter to nearly half a cell after
// one, when its swing has settled.
constexpr double quiet_start = 0.25;
constexpr double quiet_end = 0.45;

// Pulses after the end of the data that follow one another as cells do, this many in a row,
// are more signal.
constexpr int resumed_signal_pulses = 8;
// A recording that opens with this many pulses spaced as the signal's began inside it.
constexpr int opening_pulses_alike = 4;
constexpr double opening_likeness = 0.15; // of a cell

// Samples pass through a block of this size on their way in, where NaNs are mended.
constexpr std::size_t mending_block = 4096;

double cycles(const pulse_decoder &d, double samples)
{
    return samples * cycles_per_second * d.speed / d.rate;
}

double samples_of(const pulse_decoder &d, double cycle_count)
{
    return cycle_count * d.rate / (cycles_per_second * d.speed);
}

// The length of the cell being read: the last of a byte's seven is longer.
double cell_cycles(const pulse_decoder &d)
{
    return d.cells % cells_per_byte == cells_per_byte - 1 ? last_cell_cycles : normal_cell_cycles;
}

// A gap to the next pulse, in cells of the one being read.
double gap_in_cells(const pulse_decoder &d, double from, double to)
{
    return cycles(d, to - from) / cell_cycles(d);
}

// 1 for a pulse exactly where it belongs, 0 a quarter of a cell away or further.
double margin_of(double gap, double expected)
{
    return std::clamp(1 - std::fabs(gap - expected) / margin_width, 0.0, 1.0);
}

// The moment between two samples where the signal crossed `level`. A level that moved past a
// flat signal, as a falling envelope's threshold may, was crossed at the sample itself.
double crossing(double index, double before, double after, double level)
{
    const double step = after - before;
    return step != 0 ? index - 1 + std::clamp((level - before) / step, 0.0, 1.0) : index;
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

void note_dropout(pulse_decoder &d, double start, double end)
{
    if (cycles(d, end - start) < dropout_cells * normal_cell_cycles)
        return;
    if (d.dropout_count < dropouts_kept)
        d.dropouts[d.dropout_count] = {start, end};
    ++d.dropout_count;
}

void note_margin(pulse_decoder &d, double margin, std::uint64_t cell, double start)
{
    if (margin < d.worst_margin) {
        d.worst_margin = margin;
        d.worst_cell = cell;
        d.worst_cell_start = start;
    }
}

// A cell's value, and the byte it completes.
void add_cell(pulse_decoder &d, int bit)
{
    const bool last = d.cells % cells_per_byte == cells_per_byte - 1;
    const double width = d.up.width;
    if (d.cells % cells_per_byte == 0)
        d.byte_starts.push_back(static_cast<std::uint64_t>(d.cell_start));
    if (!last) {
        d.byte_bits |= bit << (d.cells % cells_per_byte + 1);
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
    d.previous_cell = d.cell_start;
    d.previous_bit = bit;
    d.previous_last = last;
    ++d.cells;
}

// The whole length of the cell before, now that the next one starts: the speed is judged
// from these as well as from the tone.
void start_cell(pulse_decoder &d, double edge)
{
    if (d.previous_cell >= 0) {
        const double length = edge - d.previous_cell;
        const double expected =
            samples_of(d, d.previous_last ? last_cell_cycles : normal_cell_cycles);
        if (std::fabs(length - expected) < margin_width * expected) {
            d.cell_length_sum[d.previous_last][d.previous_bit] += length;
            ++d.cell_length_count[d.previous_last][d.previous_bit];
        }
    }
    d.previous_cell = -1;
    d.cell_start = edge;
}

void close_quiet_window(pulse_decoder &d)
{
    if (d.window_samples > 1) {
        const double n = static_cast<double>(d.window_samples);
        d.quiet_power += std::max(0.0, d.window_power - d.window_sum * d.window_sum / n);
        d.quiet_samples += d.window_samples;
    }
    d.window_sum = d.window_power = 0;
    d.window_samples = 0;
}

void open_quiet_window(pulse_decoder &d, double edge)
{
    close_quiet_window(d);
    const double cell = samples_of(d, normal_cell_cycles);
    d.quiet_from = edge + quiet_start * cell;
    d.quiet_until = edge + quiet_end * cell;
}

// The pulse after a 1's second one starts the next cell half a cell later.
void pulse_after_a_one(pulse_decoder &d, double edge)
{
    const double gap = gap_in_cells(d, d.last_pulse, edge);
    note_margin(d, margin_of(gap, one_gap), d.cells - 1, d.last_pulse);
    if (gap >= decision_gap) {
        ++d.lost_pulses;
        note_dropout(d, d.last_pulse, edge);
    }
    start_cell(d, edge);
}

// A pulse of the data: it either halves the cell being read (a 1) or starts the next one.
// One too early for either is noise, counted and passed over.
void data_pulse(pulse_decoder &d, double edge, double level)
{
    const double from = d.cell_start >= 0 ? d.cell_start : d.last_pulse;
    const double gap = gap_in_cells(d, from, edge);
    if (gap < one_gap - margin_width) {
        ++d.extra_pulses;
        return;
    }
    d.pulse_height_sum += level;
    ++d.data_pulses;
    d.polarity_votes += d.swing_up >= -d.swing_down ? 1 : -1;
    d.swing_up = d.swing_down = 0;
    open_quiet_window(d, edge);
    if (d.cell_start < 0) {
        pulse_after_a_one(d, edge);
    } else if (gap < decision_gap) {
        note_margin(d, margin_of(gap, one_gap), d.cells, d.cell_start);
        add_cell(d, 1);
        d.cell_start = -1;
    } else {
        note_margin(d, margin_of(gap, zero_gap), d.cells, d.cell_start);
        if (gap >= lost_gap) {
            ++d.lost_pulses;
            note_dropout(d, d.cell_start, edge);
        }
        add_cell(d, 0);
        start_cell(d, edge);
    }
    d.last_pulse = edge;
}

// No pulse for long enough: the data is over, its last cell a 0 if one was begun.
void end_data(pulse_decoder &d)
{
    if (d.cell_start >= 0)
        add_cell(d, 0);
    d.cell_start = -1;
    d.end = data_end::silence;
    close_quiet_window(d);
}

// After the end of the data, pulses that follow one another as cells do are more signal.
void pulse_after_end(pulse_decoder &d, double edge)
{
    const double gap = d.resumed_from < 0 ? lost_gap : gap_in_cells(d, d.resumed_last, edge);
    if (gap >= lost_gap) {
        d.resumed_from = edge;
        d.resumed_pulses = 0;
    }
    if (gap >= one_gap - margin_width)
        ++d.resumed_pulses;
    d.resumed_last = edge;
    if (d.resumed_pulses >= resumed_signal_pulses && !d.signal_after_end) {
        d.signal_after_end = true;
        note_dropout(d, d.last_pulse, d.resumed_from);
    }
}

bool tone_like(double period)
{
    return period >= fastest_tone_period && period <= slowest_tone_period;
}

void begin_data(pulse_decoder &d, const tone_run &run, double edge)
{
    d.lead_in_found = true;
    d.lead_in_start = run.first;
    // The first pulse rises out of silence, the others out of the tone's low halves: the
    // speed is timed from the second on, pulses of one shape.
    d.tone_period = (run.last - run.second) / static_cast<double>(run.edges - 2);
    d.speed = tone_period_cycles * d.rate / (cycles_per_second * d.tone_period);
    d.end_of_data = samples_of(d, end_of_data_cycles);
    d.end = data_end::running;
    d.cell_start = edge;
    d.last_pulse = edge;
    open_quiet_window(d, edge);
}

// Looks for the tone among the pulses of one direction. Returns true once it has been found
// and broken by the data's first pulse, which then starts the first cell.
bool tone_pulse(pulse_decoder &d, tone_run &run, double edge)
{
    if (run.edges > 0) {
        const double period = cycles(d, edge - run.last);
        const double mean = cycles(d, run.last - run.first) /
                            static_cast<double>(std::max<std::uint64_t>(run.edges - 1, 1));
        const bool alike = run.edges < 2 || std::fabs(period - mean) <= tone_likeness * mean;
        if (!tone_like(period) || !alike) {
            // The tone ends in a silence of five periods before the data; nothing in the
            // data is that quiet, so a run of alike pulses without it was data, not tone.
            if (run.edges > tone_periods_needed && period >= 3 * mean) {
                begin_data(d, run, edge);
                return true;
            }
            run = tone_like(period) ? tone_run{1, run.last, 0, run.last} : tone_run{};
        }
    }
    if (run.edges == 0)
        run.first = edge;
    else if (run.edges == 1)
        run.second = edge;
    run.last = edge;
    ++run.edges;
    return false;
}

// A gap between pulses as the signal has them: a tone period like the one before, or half a
// cell or a whole one.
bool signal_like(double gap, double first_gap)
{
    const double cells = gap / normal_cell_cycles;
    const bool tone = tone_like(gap) && std::fabs(gap - first_gap) <= tone_likeness * first_gap;
    return tone || std::fabs(cells - one_gap) <= opening_likeness ||
           std::fabs(cells - zero_gap) <= opening_likeness;
}

void note_opening(pulse_decoder &d, int direction, double edge)
{
    opening_run &run = d.opening[direction];
    if (run.broken)
        return;
    if (run.first < 0) {
        run.first = run.last = edge;
        return;
    }
    const double gap = cycles(d, edge - run.last);
    if (run.alike == 0)
        run.first_gap = gap;
    run.broken = !signal_like(gap, run.first_gap);
    run.alike += !run.broken;
    run.last = edge;
}

// While the lead-in is looked for, in both directions.
void search_sample(pulse_decoder &d, double index, double before, double y, double level)
{
    if (follow(d.up, index, before, y, level)) {
        note_opening(d, 0, d.up.rise);
        tone_pulse(d, d.up_tone, d.up.rise);
    }
    if (!d.lead_in_found && follow(d.down, index, -before, -y, level)) {
        note_opening(d, 1, d.down.rise);
        if (tone_pulse(d, d.down_tone, d.down.rise)) {
            d.inverted = true;
            d.up = d.down;
        }
    }
}

void data_sample(pulse_decoder &d, double index, double before, double y, double level)
{
    d.swing_up = std::max(d.swing_up, y);
    d.swing_down = std::min(d.swing_down, y);
    if (index >= d.quiet_from && index < d.quiet_until) {
        d.window_sum += y;
        d.window_power += y * y;
        ++d.window_samples;
    }
    if (follow(d.up, index, before, y, level))
        data_pulse(d, d.up.rise, level);
    else if (index - d.last_pulse >= d.end_of_data)
        end_data(d);
}

void start_hum_meter(hum_meter &h, double rate)
{
    h = hum_meter{};
    h.bin_size = std::max(1, static_cast<int>(std::lround(rate / 1000)));
    const double bin_rate = rate / h.bin_size;
    h.block_size = static_cast<int>(std::lround(bin_rate));
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < hum_meter::harmonics; ++k)
            h.coefficient[m][k] = 2 * std::cos(2 * pi * hum_meter::mains[m] * (k + 1) / bin_rate);
}

void end_hum_block(hum_meter &h)
{
    for (int m = 0; m < 2; ++m) {
        double power = 0;
        for (int k = 0; k < hum_meter::harmonics; ++k) {
            const double s1 = h.s1[m][k], s2 = h.s2[m][k];
            const double amplitude =
                2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - h.coefficient[m][k] * s1 * s2)) /
                h.block_size;
            power += amplitude * amplitude;
            h.s1[m][k] = h.s2[m][k] = 0;
        }
        h.loudest[m] = std::max(h.loudest[m], std::sqrt(power));
    }
    h.block_fill = 0;
}

void add_hum_bin(hum_meter &h)
{
    const double value = h.bin_sum / h.bin_size;
    for (int m = 0; m < 2; ++m) {
        for (int k = 0; k < hum_meter::harmonics; ++k) {
            const double s0 = value + h.coefficient[m][k] * h.s1[m][k] - h.s2[m][k];
            h.s2[m][k] = h.s1[m][k];
            h.s1[m][k] = s0;
        }
    }
    h.bin_sum = 0;
    h.bin_fill = 0;
    if (++h.block_fill == h.block_size)
        end_hum_block(h);
}

// A pass of its own over the block, bin by bin, outside the decoder's recurrences.
void measure_hum(hum_meter &h, const float *samples, std::size_t count)
{
    for (std::size_t i = 0; i < count;) {
        const std::size_t take =
            std::min(count - i, static_cast<std::size_t>(h.bin_size - h.bin_fill));
        float sum = 0;
        for (std::size_t k = 0; k < take; ++k)
            sum += samples[i + k];
        h.bin_sum += sum;
        h.bin_fill += static_cast<int>(take);
        i += take;
        if (h.bin_fill == h.bin_size)
            add_hum_bin(h);
    }
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

// The baseline starts at the mean of the first moments, so that a recording which begins
// inside the tone, high or low, sees its swings either way.
double opening_mean(const pulse_decoder &d, const float *samples, std::size_t count)
{
    const auto opening = std::min(count, static_cast<std::size_t>(baseline_start_seconds * d.rate));
    double sum = 0;
    for (std::size_t i = 0; i < opening; ++i)
        sum += samples[i];
    return opening > 0 ? sum / static_cast<double>(opening) : 0;
}

// x - x is 0 for every finite x and NaN otherwise: a test the compiler can do many at a time.
bool all_finite(const float *samples, std::size_t count)
{
    bool finite = true;
    for (std::size_t i = 0; i < count; ++i)
        finite &= samples[i] - samples[i] == 0;
    return finite;
}

// A NaN or an infinity would poison every recurrence after it: each is counted and taken as
// the sample before it.
void mend(pulse_decoder &d, const float *samples, std::size_t count, float *mended)
{
    float held = static_cast<float>(d.held);
    for (std::size_t i = 0; i < count; ++i) {
        const bool finite = std::isfinite(samples[i]);
        d.nonfinite += !finite;
        held = finite ? samples[i] : held;
        mended[i] = held;
    }
    d.held = held;
}

// The hot loop of a check: the baseline and the envelope are each one short recurrence, kept
// in locals for the block, and everything else happens at a pulse.
void decode_block(pulse_decoder &d, const float *samples, std::size_t count)
{
    const double baseline_step = 1 - std::exp(-1 / (baseline_seconds * d.rate));
    const double searching_keep = std::exp(-1 / (envelope_seconds * d.rate));
    const double data_keep = std::exp(-1 / (data_envelope_seconds * d.rate));
    if (d.samples == 0)
        d.baseline = opening_mean(d, samples, count);
    add_level(d, samples, count);
    measure_hum(d.hum, samples, count);
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
        const double level = std::max(envelope, quietest_signal);
        const double before = previous;
        previous = y;
        switch (d.end) {
        case data_end::not_started:
            search_sample(d, index, before, y, level);
            if (d.inverted)
                previous = -y;
            break;
        case data_end::running:
            data_sample(d, index, before, y, level);
            break;
        case data_end::silence:
            if (follow(d.up, index, before, y, level))
                pulse_after_end(d, d.up.rise);
            break;
        }
    }
    d.baseline = baseline;
    d.envelope = envelope;
    d.previous = previous;
    d.samples += count;
}

} // namespace

void start_decoding(pulse_decoder &decoder, double rate)
{
    decoder = pulse_decoder{};
    decoder.rate = rate;
    start_hum_meter(decoder.hum, rate);
}

void decode_samples(pulse_decoder &d, const float *samples, std::size_t count)
{
    float mended[mending_block];
    for (std::size_t done = 0; done < count; done += mending_block) {
        const float *block = samples + done;
        const std::size_t size = std::min(mending_block, count - done);
        if (all_finite(block, size)) {
            d.held = block[size - 1];
        } else {
            mend(d, block, size, mended);
            block = mended;
        }
        decode_block(d, block, size);
    }
}

void finish_decoding(pulse_decoder &d)
{
    if (d.end == data_end::not_started) {
        // A tone that the end of the recording broke, with no data after it.
        const double end = static_cast<double>(d.samples);
        const double tone_ends[2] = {d.up_tone.last, d.down_tone.last};
        if (!tone_pulse(d, d.up_tone, end) && tone_pulse(d, d.down_tone, end))
            d.inverted = true;
        d.cell_start = -1;
        d.last_pulse = tone_ends[d.inverted];
        if (d.lead_in_found && end - d.last_pulse >= d.end_of_data)
            d.end = data_end::silence;
        return;
    }
    if (d.end != data_end::running)
        return;
    // A 0 is known once its cell has had time for a 1's second pulse; a cell cut shorter is
    // left out, and its byte with it.
    if (d.cell_start >= 0 &&
        gap_in_cells(d, d.cell_start, static_cast<double>(d.samples)) >= decision_gap)
        add_cell(d, 0);
    close_quiet_window(d);
}

bool starts_inside_signal(const pulse_decoder &d)
{
    // The lead-in's tone: a recording whose first pulse comes sooner began inside it.
    const double tone_samples = samples_of(d, tone_periods * tone_period_cycles);
    for (const opening_run &run : d.opening)
        if (run.first >= 0 && run.first < tone_samples && run.alike >= opening_pulses_alike)
            return true;
    return false;
}

hum_reading loudest_hum(const pulse_decoder &d)
{
    const int m = d.hum.loudest[1] > d.hum.loudest[0] ? 1 : 0;
    return {d.hum.loudest[m], hum_meter::mains[m]};
}
