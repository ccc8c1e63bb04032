#include "check/pulse_decoder.h"

#include "tape/machine_timing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <utility>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double cycles_per_second = machine_cycles_per_second;
constexpr double tone_period_cycles = 2.0 * tone_half_period_cycles;
// No pulse for this long, well past any cell, ends the data.
constexpr double end_of_data_cycles = 20.0 * last_cell_cycles;

// The tone is at least this many periods alike, each within a tenth of their mean; its
// period may be off by half either way, for a player running far too fast or slow.
constexpr std::uint64_t tone_periods_needed = 8;
constexpr double tone_likeness = 0.1;
// After the tone's last edge its last half period is still loud, a little more through the
// filters.
constexpr double quiet_after_tone = 0.75;
// Louder than this on the pulses' path is a pulse, not noise.
constexpr double loud_height = 0.7;
constexpr double slowest_tone_period = tone_period_cycles * 1.5;
constexpr double fastest_tone_period = tone_period_cycles / 1.5;
// A pulse shorter than this part of the tone's others is a click, not one of its halves.
constexpr double click_width = 0.5;

// Below the high-pass's corner lie DC, drift and mains hum up to its 5th harmonic; above it
// the tone and the pulses.
constexpr double high_pass_hertz = 350;
// While the lead-in is looked for, the envelope follows the signal's height: it rises at once
// and falls over the tone's silence.
constexpr double envelope_seconds = 0.05;
constexpr double upper_threshold = 0.4;
constexpr double lower_threshold = 0.15;

// Where the pulses of a cell come, in cells after its first: a 1's second pulse half a cell
// on, the next cell's first a whole cell on. A first pulse is looked for a quarter of a cell
// either way; a 1's second is read at its top, half a cell after the first one's, within 6%
// of a cell, as far as a fluttering player moves it, and a sample and a half at the least.
// Noise in a 0's middle is the likelier the further it is from that place: a sample there
// counts for less by this part of the pulses' height at the window's ends, less nearer.
constexpr double one_gap = 0.5;
constexpr double zero_gap = 1;
constexpr double margin_width = 0.25;
constexpr double middle_width = 0.06;
constexpr double off_centre_cost = 0.15;
constexpr double narrowest_middle = 1.5; // samples
// The cells whose place the clock has not yet followed from one heard pulse to the next.
constexpr int settling_cells = 2;
// Once settled, a first pulse within a tenth of a cell of its place, or one nearly as tall as
// the pulses before it, sets the clock there: a fluttering player moves cells that far. A lower
// one further off, more likely noise in the window than the cell's own pulse, moves the
// clock's place and period only a part of the way, lest a few such pulses walk it onto the
// middles of 1s, or noise that comes early in every window shorten its period without end.
constexpr double steady_error = 0.1;
constexpr double trusted_height = 0.9;
constexpr double phase_weight = 0.3;
// A cell's middle is a 1 when it rises past half the height a 1's second pulse usually has,
// which is learnt from the 1s read, between these bounds; until then the usual height through
// this decoder's own filters counts for a few cells.
constexpr double decision_height = 0.5;
constexpr double lowest_one_height = 0.6;
// The short means' early middles read clearly enough where each stands six spreads from the
// other value's height; else the broad means' are read where they stand clearer by this much.
constexpr double clear_enough = 36;
constexpr double broad_clearer = 1.5;
constexpr double usual_one_height = 0.95;
constexpr std::uint64_t one_height_prior = 4;
constexpr double highest_one_height = 1.4;
// A 1's first pulse is as long as its second, a 0's twice as long: where the 0's still stands
// after a 1's has fallen, and where the swing after the 0's longer pulse goes the deeper, the
// cell's value shows again, in noise apart from the middle's. Each point counts as far as it
// has told the values apart against its spread in the cells read, less than an ideal weighing
// would give it, since the middle's spread is a tallest sample's; together never for
// more than this part of the distance between the middles of a 0 and a 1. Each is measured
// from a point nearer a 0's mean than a 1's: a 1 whose middle noise has lowered is the
// likelier mistake; and a value further out than its mean says no more than the mean.
constexpr double shape_cycles[] = {0.75 * normal_high_cycles, 1.4 * normal_high_cycles};
constexpr double shape_trust = 0.7;
constexpr double shape_reach = 0.4;
constexpr double shape_split = 0.6;
// What the recording went through shapes the pulses' shapes as much as the middles: both are
// learnt from the cells read, and a point counts once each value has been read this often.
constexpr std::uint64_t shapes_needed = 8;
// The middles after each value are parted into two heaps every few cells; older middles count
// for less by a part at each parting.
constexpr int heaps_every = 8;
constexpr double heaps_keep = 0.9;
// The early cells' four heights are fitted from a start this many times over, where there are
// enough cells to show them: fewer are read again against the heaps as they stand.
constexpr int fitting_rounds = 10;
constexpr std::size_t fitted_cells_needed = 56;
// Of two readings of the data from different first cells, the second must have fitted its early
// cells this much more clearly to be taken.
constexpr double clearly_clearer = 1.1;
// A first pulse rises through this part of the level, and one of the usual height, which
// noise seldom reaches, through the second.
constexpr double start_height = 0.5;
// Where no pulse in the first cell reaches start_height, the tallest above this is its first.
constexpr double weak_start_height = 0.25;
constexpr double strong_height = 0.7;
constexpr double lost_gap = 1.5;
constexpr double dropout_cells = 4;
constexpr int inserted_silence_cells = 1;
// A first pulse this many samples shorter than its kind's usual one was cut by a silence when
// the piece after the silence is as short, and the two are together as long as one within
// the second figure.
constexpr double cut_pulse_samples = 1;
constexpr double joined_pulse_samples = 1.5;
// Where one count of cells lost under a silence puts the longer pulses at the bytes' ends
// by this many samples more than any other count does, in all, it is the count. A pulse
// counts for a few samples at the most.
constexpr double framing_evidence = 1.5;
constexpr double longest_excess = 2.5;
// A cell whose every sample stays below this part of the level had nothing in it at all, nor
// had one that never rose by the second part within a pulse's width. A recorder's silence lies
// above the signal's lows, where a capacitor has put them, and the step into it dies away
// slowly through the high-pass; a pulse before leaves a slow swing. Both may reach past the
// first part, neither past the second; a pulse in a dip to a tenth does.
constexpr double presence_height = 0.03;
constexpr double edge_height = 0.05;
// Pulses this soon after the data stopped carry it on.
constexpr double resume_cells = 200;
// The first pulse's height is taken over the fifth of a cell after it rises.
constexpr double start_pulse_cells = 0.2;
// Each cell moves the clock's period by a part of its error, and the level by a part of the
// difference: enough to follow a slow player and a fading tape, not a single noisy pulse.
constexpr double period_weight = 0.05;
constexpr double level_weight = 0.3;
constexpr double usual_level_weight = 0.02;
// And how late a first pulse comes after each value by this part of the difference.
constexpr double lateness_weight = 0.02;
constexpr double lowest_level = 0.5;
// This many cells without a first pulse end the data: longer than any dropout a cell
// survives, shorter than the silence after the last byte.
constexpr int end_of_data_cells = 20;

// The noise is measured where no pulse can be: from a quarter to nearly half a cell after
// one, when its swing has settled.
constexpr double quiet_start = 0.25;
constexpr double quiet_end = 0.45;
// 1 / sqrt(6): white noise's second differences hold six times its power.
constexpr double white_in_curve = 0.40824829046386301637;
// A first pulse's first swing is looked for from a fifth of a cell before it was heard to a
// sixth after.
constexpr double swing_before = 0.2;
constexpr double swing_after = 0.15;

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

// Pulses back within this long after the data stopped take it up again.
double resume_window(const pulse_decoder &d)
{
    return samples_of(d, resume_cells * normal_cell_cycles);
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

// Returns true when the trigger has just risen. Called at every sample, twice while the tone
// is looked for, so kept inline.
[[gnu::always_inline]] inline bool follow(pulse_trigger &trigger, double index, double before,
                                          double after, double envelope)
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

void record_dropout(pulse_decoder &d, const dropout &gap)
{
    if (d.dropout_count < dropouts_kept)
        d.dropouts[d.dropout_count] = gap;
    ++d.dropout_count;
}

// A stretch without pulses long enough to be more than pulses lost, and the byte being read
// when they stopped.
void note_dropout(pulse_decoder &d, double start, double end, std::uint64_t cell)
{
    if (cycles(d, end - start) >= dropout_cells * normal_cell_cycles)
        record_dropout(d, {start, end, cell / cells_per_byte});
}

void note_margin(pulse_decoder &d, double margin, std::uint64_t cell, double start)
{
    if (margin < d.worst_margin) {
        d.worst_margin = margin;
        d.worst_cell = cell;
        d.worst_cell_start = start;
    }
}

double length_of_kind(double period, bool last)
{
    return period * (last ? double{last_cell_cycles} / normal_cell_cycles : 1.0);
}

void add_to_mean(double &mean, std::uint64_t &count, double value)
{
    mean += (value - mean) / static_cast<double>(++count);
}

// A cell's value, and the byte it completes.
void append_cell(pulse_decoder &d, const read_cell &cell)
{
    const bool last = d.cells % cells_per_byte == cells_per_byte - 1;
    const int bit = cell.bit;
    if (d.cells % cells_per_byte == 0)
        d.byte_starts.push_back(static_cast<std::uint64_t>(cell.start));
    d.byte_margin = std::min(d.byte_margin, cell.margin);
    if (!last) {
        d.byte_bits |= bit << (d.cells % cells_per_byte + 1);
        // A cell whose pulse was lost has no width to learn from.
        if (cell.heard) {
            add_to_mean(d.normal_width[bit], d.normal_count[bit], cell.width);
            d.byte_widest_normal[bit] = std::max(d.byte_widest_normal[bit], cell.width);
        }
    } else {
        if (cell.heard)
            add_to_mean(d.last_width[bit], d.last_count[bit], cell.width);
        const double normal =
            d.byte_widest_normal[bit] > 0 ? d.byte_widest_normal[bit] : d.normal_width[bit];
        d.longer_last += cell.width > normal + 0.5;
        d.bytes.push_back(static_cast<std::uint8_t>(d.byte_bits | bit));
        d.byte_margins.push_back(static_cast<float>(d.byte_margin));
        d.byte_margin = 1;
        d.byte_bits = 0;
        d.byte_widest_normal[0] = d.byte_widest_normal[1] = 0;
    }
    note_margin(d, cell.margin, d.cells, cell.start);
    // Whole cells between two heard first pulses time the speed as well as the tone does.
    if (cell.heard && d.previous_cell >= 0) {
        d.cell_length_sum[d.previous_last][d.previous_bit] += cell.start - d.previous_cell;
        ++d.cell_length_count[d.previous_last][d.previous_bit];
    }
    d.previous_cell = cell.heard ? cell.start : -1;
    d.previous_bit = bit;
    d.previous_last = last;
    d.next_cell_start = cell.start + length_of_kind(d.clock.period, last);
    ++d.cells;
}

// How much longer a held cell's first pulse is than the usual one of its value; nothing where
// that can't be told. A single wild width counts for no more than a byte's last pulse can be.
double longer_by(const pulse_decoder &d, const read_cell &cell)
{
    if (!cell.heard || d.normal_count[cell.bit] == 0)
        return 0;
    return std::clamp(cell.width - d.normal_width[cell.bit], -longest_excess, longest_excess);
}

// How many cells are missing before the held ones, less any multiple of seven, for the longer
// pulses to end bytes, once the pulses show it.
struct framing {
    bool shown;
    std::uint64_t shift;
};

framing framing_shown(const pulse_decoder &d)
{
    const held_cells &h = d.held_back;
    // Rates that round the longer pulse away, so that fewer than a quarter of the bytes before
    // showed it, leave nothing to go by.
    if (d.longer_last * 4 < d.bytes.size() || d.bytes.empty())
        return {true, 0};
    double longer[cells_per_byte] = {};
    for (std::size_t i = 0; i < h.count; ++i) {
        const std::uint64_t place = (d.cells + i) % cells_per_byte;
        longer[(2 * cells_per_byte - 1 - place) % cells_per_byte] += longer_by(d, h.cells[i]);
    }
    std::uint64_t best = 0;
    for (std::uint64_t shift = 1; shift < cells_per_byte; ++shift)
        best = longer[shift] > longer[best] ? shift : best;
    for (std::uint64_t shift = 0; shift < cells_per_byte; ++shift)
        if (shift != best && longer[best] - longer[shift] < framing_evidence)
            return {false, 0};
    return {true, best};
}

void restore_joined(pulse_decoder &d);

// Cells under a tape's dropout: as many as fit between the cells before it and those after it,
// among the counts that make the longer pulses end bytes.
std::int64_t lost_cells(const pulse_decoder &d, std::uint64_t shift)
{
    const joined_cells &j = d.joined;
    const double mean_cell = length_of_kind(d.clock.period, false) *
                             (cells_per_byte - 1 + double{last_cell_cycles} / normal_cell_cycles) /
                             cells_per_byte;
    const double fitting = (d.held_back.cells[0].start - j.next_start) / mean_cell;
    // The join may have taken a cut cell back, which the count starts from again.
    std::int64_t lost = static_cast<std::int64_t>(d.cells) - static_cast<std::int64_t>(j.cells) +
                        static_cast<std::int64_t>(shift);
    lost += cells_per_byte * std::llround((fitting - static_cast<double>(lost)) / cells_per_byte);
    while (lost < 0)
        lost += cells_per_byte;
    return lost;
}

// Once the cells held after a join show where bytes end, or no more will come: where their
// longer pulses fall wrong, the cells under the silence were lost, and are put back as cells
// not heard. Where nothing showed it, the silence is taken to have lost nothing.
void settle_framing(pulse_decoder &d, framing found)
{
    held_cells &h = d.held_back;
    h.holding = false;
    if (found.shift != 0) {
        const std::int64_t lost = lost_cells(d, found.shift);
        restore_joined(d);
        for (std::int64_t i = 0; i < lost; ++i)
            append_cell(d, {d.next_cell_start, 0, 0, 0, false, true});
        d.lost_pulses += static_cast<std::uint64_t>(lost);
    }
    for (std::size_t i = 0; i < h.count; ++i)
        append_cell(d, h.cells[i]);
    h.count = 0;
}

void add_cell(pulse_decoder &d, const read_cell &cell)
{
    held_cells &h = d.held_back;
    if (!h.holding) {
        append_cell(d, cell);
        return;
    }
    h.cells[h.count++] = cell;
    const framing found = framing_shown(d);
    if (found.shown || h.count == held_cells::most)
        settle_framing(d, found);
}

void settle_framing(pulse_decoder &d)
{
    if (d.held_back.holding)
        settle_framing(d, d.held_back.count > 0 ? framing_shown(d) : framing{true, 0});
}

// A heard cell makes the cells waiting before it data: their first pulses were lost.
void commit_waiting(pulse_decoder &d)
{
    d.joined.pending = false; // the data went on: the join stands
    if (d.silence_pending)
        record_dropout(d, d.silence);
    d.silence_pending = false;
    const std::uint64_t first = d.cells;
    std::size_t lost = 0;
    for (std::size_t i = 0; i < d.waiting_count; ++i) {
        add_cell(d, d.waiting[i]);
        lost += !d.waiting[i].heard;
    }
    d.lost_pulses += lost;
    if (lost > 1)
        note_dropout(d, d.waiting[0].start, d.waiting[d.waiting_count - 1].start, first);
    d.waiting_count = 0;
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

void open_quiet_window(pulse_decoder &d, double start, double length)
{
    close_quiet_window(d);
    d.quiet_from = start + quiet_start * length;
    d.quiet_until = start + quiet_end * length;
}

// The length of the cell being read, in samples: the last of a byte's seven is longer. Asked
// at every sample, it is worked out again only when the cell or the clock's period changed.
double cell_length(pulse_decoder &d)
{
    cell_clock &k = d.clock;
    const std::uint64_t read = d.cells + d.held_back.count + d.waiting_count;
    if (read != k.length_of || k.period != k.length_period) {
        k.length = length_of_kind(k.period, read % cells_per_byte == cells_per_byte - 1);
        k.length_of = read;
        k.length_period = k.period;
    }
    return k.length;
}

void undo_join(pulse_decoder &d);
void read_early_again(pulse_decoder &d);

// No first pulse for long enough: the data is over, and the cells read in the silence were
// none of it.
void end_data(pulse_decoder &d)
{
    if (d.clock.unconfirmed > 0)
        undo_join(d);
    settle_framing(d);
    if (d.early.open)
        read_early_again(d);
    d.clock.unconfirmed = 0;
    d.waiting_count = 0;
    d.silence_pending = false;
    d.end = data_end::silence;
    close_quiet_window(d);
    // The next program's lead-in is looked for from here on, as at the start.
    d.up = d.down = d.after_end = pulse_trigger{};
    d.up_tone = d.down_tone = tone_run{};
    d.envelope = 0;
    d.loud = false;
}

// Ready for the next cell: nothing of it heard yet.
void clear_cell(cell_clock &k)
{
    k.in_middle = false;
    k.heard = false;
    k.start_peak = k.middle_peak = k.middle_broad = 0;
    k.middle_rise = -1;
    std::fill_n(k.shape_read, cell_clock::shape_points, false);
    k.cell_from = -1;
    k.error_followed = 0;
}

// What a cell's middle is measured against: the cell's own first pulse and the pulses' recent
// height alike. The one follows a dip at once, the other keeps noise on a single pulse from
// moving the threshold.
double middle_reference(const cell_clock &k)
{
    return k.heard ? (k.start_peak + k.level) / 2 : k.level;
}

// A 0 has nothing in its middle, a 1 a second pulse about as tall as its first: how tall is
// learnt from the 1s read, since what the recording went through shapes it. Halfway between
// the two, against the reference, is as far from either as can be. Once the middles read
// after the cell before's value have parted into two heaps, halfway between those.
const middle_heights *middles_after_last(const cell_clock &k)
{
    const middle_heights &m = k.middles_after[k.last_bit];
    return m.parted ? &m : nullptr;
}

double middle_threshold(const cell_clock &k)
{
    if (const middle_heights *m = middles_after_last(k))
        return m->low + decision_height * (m->high - m->low);
    return decision_height * k.one_height;
}

// The cell's middle against its reference, as it is read.
double middle_height(const cell_clock &k)
{
    return (k.broad_middles ? k.middle_broad : k.middle_peak) / middle_reference(k);
}

// Where a cell of value `bit` usually has its middle.
double usual_middle(const cell_clock &k, int bit)
{
    if (const middle_heights *m = middles_after_last(k))
        return bit ? m->high : m->low;
    return bit * k.one_height;
}

// How far the cell's first pulse came from its place, less the lateness usual after the value
// before it.
double start_error(const cell_clock &k)
{
    return k.start - k.expected - k.lateness[k.last_bit];
}

// How far the cell's first pulse came from its place, as far as the clock follows it.
double trusted_error(const cell_clock &k, double length)
{
    const double error = start_error(k);
    const bool trusted = k.settling > 0 || std::fabs(error) <= steady_error * length ||
                         k.start_peak >= trusted_height * k.level;
    return trusted ? error : phase_weight * error;
}

// Whether the cell read from `from` to `to` had nothing in it: read again from the samples
// kept, only for a cell whose first pulse was missing.
bool nothing_in(const pulse_decoder &d, double from, double to)
{
    const float *ring = d.history.samples.data();
    const std::size_t mask = sample_history::size - 1;
    const auto edge_span = static_cast<std::uint64_t>(d.means.pulse_width + 1);
    double peak = 0, rise = 0; // the most the cell rose within a pulse's width
    for (auto i = static_cast<std::uint64_t>(from); i <= static_cast<std::uint64_t>(to); ++i) {
        const double y = ring[i & mask];
        peak = std::max(peak, y);
        rise = std::max(rise, y - double{ring[(i - edge_span) & mask]});
    }
    return peak < presence_height * d.clock.level || rise < edge_height * d.clock.level;
}

// How far what one point of the first pulse's shape says moves the middle's height.
double point_shift(const cell_feature &middles, const cell_feature &point, double value)
{
    const cell_feature &m = middles, &f = point;
    if (std::min({f.count[0], f.count[1], m.count[0], m.count[1]}) < shapes_needed)
        return 0;
    const double middles_apart = m.mean[1] - m.mean[0];
    const double apart = f.mean[1] - f.mean[0];
    if (middles_apart <= 0 || apart == 0 || f.spread <= 0)
        return 0;
    const double weight = shape_trust * std::fabs(apart) * m.spread / (middles_apart * f.spread);
    const double centre = f.mean[0] + (1 - shape_split) * apart;
    const double held =
        std::clamp(value, std::min(f.mean[0], f.mean[1]), std::max(f.mean[0], f.mean[1]));
    return weight * (held - centre) * (apart > 0 ? 1 : -1);
}

double shape_shift(const cell_clock &k)
{
    double shift = 0;
    for (int i = 0; i < cell_clock::shape_points; ++i)
        if (k.shape_read[i])
            shift += point_shift(k.middles, k.shapes[i], k.shape[i] / middle_reference(k));
    const double reach = shape_reach * std::max(0.0, k.middles.mean[1] - k.middles.mean[0]);
    return std::clamp(shift, -reach, reach);
}

void learn_feature(cell_feature &f, int bit, double value)
{
    const double weight = std::max(usual_level_weight, 1.0 / static_cast<double>(++f.count[bit]));
    const double off = value - f.mean[bit];
    f.mean[bit] += weight * off;
    f.spread += usual_level_weight * (off * off - f.spread);
}

// The split of the heights into the two heaps that lie furthest apart for their weights. Where
// they lie half a 1's height apart or more, they are the two values; otherwise the last heaps
// found stand, as through a run of one value, whose heap alone may split anywhere. With `b`
// and `a` the weights below and above a split, and `s` the weighted sum below it, the heaps'
// means lie (b * sum - s * all) / (b * a) apart, and b * a times that squared is compared
// without a division at every bin.
void part_heaps(middle_heights &m, double one_height)
{
    constexpr double bin_height = middle_heights::top / middle_heights::bins;
    double all = 0, sum = 0;
    for (int b = 0; b < middle_heights::bins; ++b) {
        all += m.weight[b];
        sum += m.weight[b] * (b + 0.5) * bin_height;
    }
    double below = 0, below_sum = 0, best_spread = 0, best_weights = 1;
    double best_below = 0, best_below_sum = 0;
    for (int b = 0; b + 1 < middle_heights::bins; ++b) {
        below += m.weight[b];
        below_sum += m.weight[b] * (b + 0.5) * bin_height;
        const double weights = below * (all - below);
        const double spread = below * sum - below_sum * all;
        if (weights > 0 && spread * spread * best_weights > best_spread * best_spread * weights) {
            best_spread = spread;
            best_weights = weights;
            best_below = below;
            best_below_sum = below_sum;
        }
    }
    if (best_below <= 0)
        return;
    const double low = best_below_sum / best_below;
    const double high = (sum - best_below_sum) / (all - best_below);
    if (high - low >= decision_height * one_height) {
        m.parted = true;
        m.low = low;
        m.high = high;
    }
}

void add_middle(middle_heights &m, double height, double one_height)
{
    const int bin = std::min(middle_heights::bins - 1,
                             static_cast<int>(height / middle_heights::top * middle_heights::bins));
    m.weight[std::max(0, bin)] += 1;
    if (++m.added % heaps_every != 0)
        return;
    part_heaps(m, one_height);
    for (double &w : m.weight)
        w *= heaps_keep;
}

void learn_features(cell_clock &k, int bit)
{
    if (!k.heard)
        return;
    const double middle = middle_height(k);
    learn_feature(k.middles, bit, middle);
    add_middle(k.middles_after[k.last_bit], middle, k.one_height);
    for (int i = 0; i < cell_clock::shape_points; ++i)
        if (k.shape_read[i])
            learn_feature(k.shapes[i], bit, k.shape[i] / middle_reference(k));
}

// How close a cell came to the other value: its middle against the usual heights, or its
// pulses' timing, whichever came closer. A 0's middle below the usual one leaves no doubt; a
// 1's as far above it as the threshold is below may be noise on a pulse. The first cell's
// place was foretold from the tone, and the second's from a first pulse measured against the
// tone's height: until the clock has followed a pulse, the place says nothing.
double cell_margin(const cell_clock &k, const cell_reading &cell, double threshold, int bit)
{
    const double usual = usual_middle(k, bit);
    const double off = bit ? std::fabs(cell.height - usual) : std::max(0.0, cell.height - usual);
    const double middle = std::clamp(1 - off / std::fabs(threshold - usual), 0.0, 1.0);
    return std::min({middle, cell.start_timing, bit ? cell.middle_timing : 1.0});
}

// Where a cell keeps its bit: a byte's last cell is its bit 0, and ends it; the others fill
// bits 1 to 6 of the byte being read.
struct cell_place {
    std::uint64_t byte;
    std::uint64_t cell; // in its byte
    bool ends_byte;
    int bit;
};

cell_place place_of(std::uint64_t cell)
{
    const std::uint64_t in_byte = cell % cells_per_byte;
    const bool ends_byte = in_byte == cells_per_byte - 1;
    return {cell / cells_per_byte, in_byte, ends_byte, ends_byte ? 1 : 1 << (in_byte + 1)};
}

// Sets the value of a cell already appended, in its byte or in the one being read.
void set_cell_bit(pulse_decoder &d, std::uint64_t cell, int bit)
{
    const cell_place p = place_of(cell);
    if (p.byte < d.bytes.size())
        d.bytes[p.byte] =
            static_cast<std::uint8_t>(bit ? d.bytes[p.byte] | p.bit : d.bytes[p.byte] & ~p.bit);
    else
        d.byte_bits = bit ? d.byte_bits | p.bit : d.byte_bits & ~p.bit;
}

// The early cells' values fitted as a whole: a middle stands at one of four heights, one for
// each value of its cell and of the cell before, wherever a filter put them.
struct pair_fit {
    double mean[2][2] = {}; // by the value before, then the cell's own
    double cost = 0;        // the middles' squared distances from their heights, summed
    bool valid = false;     // the two heights after each value stand far enough apart
    int first_after = 0;    // the tone before the first cell is neither value: the nearer
    std::uint8_t bits[early_cells::most] = {};
};

// A cell's middle as it is judged, with what its first pulse's shape adds.
double observed(const cell_reading &c)
{
    return c.height + c.shift;
}

// And alone, as the heaps hold it and a margin measures it.
double middle_alone(const cell_reading &c)
{
    return c.height;
}

double squared(double x)
{
    return x * x;
}

// A cell whose first pulse was not heard keeps the value it was read with: its middle was
// measured from a place the clock only foretold.
double distance(const cell_reading &c, double mean, int bit)
{
    if (!c.heard)
        return bit == c.bit ? 0 : std::numeric_limits<double>::infinity();
    return squared(observed(c) - mean);
}

// The values that put every middle nearest its height, each after the value before it; the
// first cell may follow either.
double nearest_values(const early_cells &e, const double (&mean)[2][2], std::uint8_t *bits)
{
    std::uint8_t came_from[early_cells::most][2];
    double cost[2];
    for (int b = 0; b < 2; ++b)
        cost[b] =
            std::min(distance(e.cells[0], mean[0][b], b), distance(e.cells[0], mean[1][b], b));
    for (std::size_t n = 1; n < e.count; ++n) {
        double next[2];
        for (int b = 0; b < 2; ++b) {
            const double after[2] = {cost[0] + distance(e.cells[n], mean[0][b], b),
                                     cost[1] + distance(e.cells[n], mean[1][b], b)};
            came_from[n][b] = after[1] < after[0] ? 1 : 0;
            next[b] = after[came_from[n][b]];
        }
        std::copy(next, next + 2, cost);
    }
    int bit = cost[1] < cost[0] ? 1 : 0;
    const double least = cost[bit];
    for (std::size_t n = e.count; n-- > 0;) {
        bits[n] = static_cast<std::uint8_t>(bit);
        bit = n > 0 ? came_from[n][bit] : bit;
    }
    return least;
}

// The four heights as the middles of the values found stand, `value` of each, and how many
// stand at each; one no middle has keeps its place.
void refit_heights(const early_cells &e, const std::uint8_t *bits,
                   double (*value)(const cell_reading &), double (&mean)[2][2], int (&count)[2][2])
{
    double sum[2][2] = {};
    std::fill(&count[0][0], &count[0][0] + 4, 0);
    for (std::size_t n = 1; n < e.count; ++n) {
        if (!e.cells[n].heard)
            continue;
        sum[bits[n - 1]][bits[n]] += value(e.cells[n]);
        ++count[bits[n - 1]][bits[n]];
    }
    for (int before = 0; before < 2; ++before)
        for (int b = 0; b < 2; ++b)
            if (count[before][b] > 0)
                mean[before][b] = sum[before][b] / count[before][b];
}

void fit_from(const early_cells &e, const double (&start)[2][2], double one_height, pair_fit &fit)
{
    std::copy(&start[0][0], &start[0][0] + 4, &fit.mean[0][0]);
    int count[2][2];
    for (int round = 0; round < fitting_rounds; ++round) {
        nearest_values(e, fit.mean, fit.bits);
        refit_heights(e, fit.bits, observed, fit.mean, count);
    }
    fit.cost = nearest_values(e, fit.mean, fit.bits);
    const cell_reading &first = e.cells[0];
    const int b = fit.bits[0];
    fit.first_after = distance(first, fit.mean[1][b], b) < distance(first, fit.mean[0][b], b);
    // Heights as close as noise would put them are one value split in two.
    fit.valid = true;
    for (int before = 0; before < 2; ++before)
        if (count[before][0] > 0 && count[before][1] > 0 &&
            fit.mean[before][1] - fit.mean[before][0] < decision_height * one_height)
            fit.valid = false;
}

// The middles' quarters by height, each one's mean: whatever a filter did, the four heights
// lie among them in some order.
bool height_quarters(const early_cells &e, double (&quarter)[4])
{
    double sorted[early_cells::most];
    std::size_t heard = 0;
    for (std::size_t n = 0; n < e.count; ++n)
        if (e.cells[n].heard)
            sorted[heard++] = observed(e.cells[n]);
    if (heard < 4)
        return false;
    std::sort(sorted, sorted + heard);
    for (std::size_t q = 0; q < 4; ++q) {
        const std::size_t from = heard * q / 4, to = heard * (q + 1) / 4;
        quarter[q] =
            std::accumulate(sorted + from, sorted + to, 0.0) / static_cast<double>(to - from);
    }
    return true;
}

// Fits from each way of sharing the quarters between the values before, the lower of each
// pair a 0, and from the heaps learnt while reading; keeps the closest valid fit.
bool fit_heights(const early_cells &e, const cell_clock &k, pair_fit &best)
{
    double quarter[4];
    if (!height_quarters(e, quarter))
        return false;
    bool found = false;
    pair_fit fit;
    const auto consider = [&](const double(&start)[2][2]) {
        fit_from(e, start, k.one_height, fit);
        if (fit.valid && (!found || fit.cost < best.cost)) {
            best = fit;
            found = true;
        }
    };
    constexpr int after_zero[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (const auto &pair : after_zero) {
        double start[2][2] = {{quarter[pair[0]], quarter[pair[1]]}, {}};
        int taken = 0;
        for (int q = 0; q < 4; ++q)
            if (q != pair[0] && q != pair[1])
                start[1][taken++] = quarter[q];
        consider(start);
    }
    cell_clock learnt = k;
    double start[2][2];
    for (int before = 0; before < 2; ++before) {
        learnt.last_bit = before;
        start[before][0] = usual_middle(learnt, 0);
        start[before][1] = usual_middle(learnt, 1);
    }
    consider(start);
    return found;
}

// The heaps after each value learnt again from the early cells as fitted, each value before
// known now, and the heaps' heights the fitted ones, of the middles alone.
void learn_fitted_heights(cell_clock &k, const early_cells &e, const pair_fit &fit)
{
    double heights[2][2];
    std::copy(&fit.mean[0][0], &fit.mean[0][0] + 4, &heights[0][0]);
    int count[2][2];
    refit_heights(e, fit.bits, middle_alone, heights, count);
    for (middle_heights &m : k.middles_after)
        m = middle_heights{};
    for (std::size_t n = 1; n < e.count; ++n)
        if (e.cells[n].heard)
            add_middle(k.middles_after[fit.bits[n - 1]], e.cells[n].height, k.one_height);
    for (int before = 0; before < 2; ++before) {
        middle_heights &m = k.middles_after[before];
        m.parted = true;
        m.low = heights[before][0];
        m.high = heights[before][1];
    }
}

double clarity_of(const pair_fit &fit, std::size_t cells)
{
    const double closest =
        std::min(fit.mean[0][1] - fit.mean[0][0], fit.mean[1][1] - fit.mean[1][0]);
    const double spread = fit.cost / static_cast<double>(cells);
    return spread > 0 ? squared(closest) / spread : std::numeric_limits<double>::max();
}

// The early cells as the broad means read them; the first pulse's shape was learnt against
// the short ones.
void broad_view(const early_cells &e, early_cells &view)
{
    view.count = e.count;
    for (std::size_t n = 0; n < e.count; ++n) {
        view.cells[n] = e.cells[n];
        view.cells[n].height = e.cells[n].broad;
        view.cells[n].shift = 0;
    }
}

// Behind filters that turn the phase far, a short mean's middle after a 1 depends on the value
// after it too, and no four heights hold such middles: the broad means may part them. Their
// 1s stand lower, at the top quarter's height.
bool fit_broad(const early_cells &view, const cell_clock &k, pair_fit &fit, double &one_height)
{
    double quarter[4];
    if (!height_quarters(view, quarter))
        return false;
    cell_clock broad = k;
    broad.one_height = one_height = quarter[3];
    for (middle_heights &m : broad.middles_after)
        m = middle_heights{};
    return fit_heights(view, broad, fit);
}

// Whether the broad means read the early cells, where the short means' fit left them in doubt:
// `fit` and `one_height` become theirs, and `view` the cells as they read them.
bool broad_reads_clearer(const early_cells &e, const cell_clock &k, bool fitted, pair_fit &fit,
                         early_cells &view, double &one_height)
{
    broad_view(e, view);
    pair_fit broad;
    if (!fit_broad(view, k, broad, one_height))
        return false;
    const double clarity = fitted ? clarity_of(fit, e.count) : 0;
    if (clarity >= clear_enough || clarity_of(broad, e.count) <= broad_clearer * clarity)
        return false;
    fit = broad;
    return true;
}

// The early cells read again once enough have been read to know the heights their middles
// stand at; every cell so far is one of them but those still waiting, which the end of the data
// showed to be silence.
void read_early_again(pulse_decoder &d)
{
    early_cells &e = d.early;
    cell_clock &k = d.clock;
    e.open = false;
    e.count = std::min<std::size_t>(e.count, d.cells);
    pair_fit fit;
    bool fitted = e.count >= fitted_cells_needed && fit_heights(e, k, fit);
    const auto view = std::make_unique<early_cells>();
    const early_cells *read = &e;
    double one_height = 0;
    if (e.count >= fitted_cells_needed &&
        broad_reads_clearer(e, k, fitted, fit, *view, one_height)) {
        fitted = true;
        read = view.get();
        k.broad_middles = true;
        k.one_height = one_height;
    }
    if (fitted) {
        learn_fitted_heights(k, *read, fit);
        e.clarity = clarity_of(fit, e.count);
    }
    d.worst_margin = 1;
    d.worst_cell = 0;
    d.worst_cell_start = 0;
    double byte_margin = 1;
    k.last_bit = fitted ? fit.first_after : 0;
    for (std::uint64_t c = 0; c < e.count; ++c) {
        const cell_reading &cell = read->cells[c];
        const double threshold = middle_threshold(k);
        const int bit = fitted ? fit.bits[c] : observed(cell) > threshold ? 1 : 0;
        const double margin = cell_margin(k, cell, threshold, bit);
        set_cell_bit(d, c, bit);
        note_margin(d, margin, c, cell.start);
        byte_margin = std::min(byte_margin, margin);
        if (c % cells_per_byte == cells_per_byte - 1) {
            d.byte_margins[c / cells_per_byte] = static_cast<float>(byte_margin);
            byte_margin = 1;
        }
        k.last_bit = bit;
    }
    d.byte_margin = byte_margin;
}

// Keeps a cell just read while no silence or dropout has come among the cells; they are read
// again once there are enough, and no cell waits to be known as data.
void keep_early(pulse_decoder &d, const cell_reading &cell)
{
    early_cells &e = d.early;
    if (!e.open)
        return;
    if (d.held_back.holding || d.joined.pending || d.dropout_count > 0) {
        e.open = false;
        return;
    }
    if (e.count < early_cells::most)
        e.cells[e.count++] = cell;
    if (e.count == early_cells::most && d.waiting_count == 0)
        read_early_again(d);
}

// The middle of the cell is over, at sample `index`: a pulse there is a 1.
void decide_cell(pulse_decoder &d, double index)
{
    cell_clock &k = d.clock;
    const double length = cell_length(d);
    const double height = middle_height(k);
    const double threshold = middle_threshold(k);
    // The margin is the middle's own: the first pulse's shape only settles what it left in
    // doubt. It was learnt against the short mean.
    const double shift = k.broad_middles ? 0 : shape_shift(k);
    const int bit = height + shift > threshold ? 1 : 0;
    const double start_timing =
        k.heard && k.settling == 0 ? margin_of(start_error(k) / length, 0) : 1;
    const double middle_timing =
        k.middle_rise >= 0 ? margin_of((k.middle_rise - k.start) / length, one_gap) : 1;
    const double broad = k.middle_broad / middle_reference(k);
    const cell_reading reading{height,        shift,   broad, start_timing,
                               middle_timing, k.start, bit,   k.heard};
    const double margin = cell_margin(k, reading, threshold, bit);
    learn_features(k, bit);
    k.last_bit = bit;
    // The first 1s are averaged with the usual height, the later ones follow slow changes. The
    // broad means' height was fitted from the early cells, on a scale of its own.
    if (bit && k.heard && !k.broad_middles) {
        const double weight =
            std::max(usual_level_weight, 1.0 / static_cast<double>(++k.ones + one_height_prior));
        k.one_height = std::clamp(k.one_height + weight * (height - k.one_height),
                                  lowest_one_height, highest_one_height);
    }
    const double width = !k.heard ? 0 : k.cut_start ? d.normal_width[bit] : k.start_width;
    k.cut_start = false;
    if (d.waiting_count == cells_waiting)
        commit_waiting(d);
    const bool silent = !k.heard && nothing_in(d, k.cell_from, index);
    // The silence's own ends may carry a click: only a heard pulse ends it.
    k.silent_cells = k.heard ? 0 : k.silent_cells + (silent ? 1 : 0);
    // Every pulse beyond the cell's own would trouble a machine, whatever the clock made of it.
    const int own = (k.heard ? 1 : 0) + bit;
    d.extra_pulses += static_cast<std::uint64_t>(std::max(0, k.rises - own));
    k.rises = 0;
    d.waiting[d.waiting_count++] = {k.start, width, margin, bit, k.heard, silent};
    if (k.heard && k.unconfirmed > 0)
        --k.unconfirmed;
    if (k.heard && k.unconfirmed == 0)
        commit_waiting(d);
    keep_early(d, reading);
    k.expected += k.error_followed + length;
    k.settling = std::max(0, k.settling - 1);
    clear_cell(k);
}

// The first pulse's width at half its height, before the means blur it: a byte's last pulse
// is longer than its others by a sample or two, and the band-passed samples kept show it.
double band_width(const pulse_decoder &d, double pulse_top)
{
    const float *band = d.history.band.data();
    const std::size_t mask = sample_history::size - 1;
    const auto end = static_cast<std::uint64_t>(pulse_top);
    const auto reach = static_cast<std::uint64_t>(2 * (d.means.pulse_width + d.means.pulse_lag));
    std::uint64_t top = end;
    for (std::uint64_t i = end - std::min(end, reach); i < end; ++i)
        top = band[i & mask] > band[top & mask] ? i : top;
    const double half = decision_height * band[top & mask];
    std::uint64_t rise = top, fall = top;
    while (top - rise < reach && rise > 1 && band[(rise - 1) & mask] >= half)
        --rise;
    while (fall - top < reach && fall < end + reach && band[(fall + 1) & mask] >= half)
        ++fall;
    const double rose =
        crossing(static_cast<double>(rise), band[(rise - 1) & mask], band[rise & mask], half);
    const double fell =
        crossing(static_cast<double>(fall + 1), band[fall & mask], band[(fall + 1) & mask], half);
    return fell - rose;
}

// Which way a first pulse swings first, on the band-passed samples: 1 the way the pulses were
// read, -1 the other. Whatever turned the phase in the recording's way, hum or a filter, the
// highest frequencies of an edge come through first and unturned.
int first_swing(const pulse_decoder &d, double length)
{
    const float *band = d.history.band.data();
    const std::size_t mask = sample_history::size - 1;
    const double late = d.means.delay;
    const auto from =
        static_cast<std::uint64_t>(std::max(1.0, d.clock.start - late - swing_before * length));
    const auto to =
        static_cast<std::uint64_t>(std::max(1.0, d.clock.start - late + swing_after * length));
    double tallest = 0;
    for (std::uint64_t i = from; i <= to; ++i)
        tallest = std::max(tallest, std::fabs(double{band[i & mask]}));
    for (std::uint64_t i = from; i <= to; ++i)
        if (std::fabs(band[i & mask]) >= decision_height * tallest)
            return band[i & mask] > 0 ? 1 : -1;
    return 0;
}

// The first pulse of a cell has been heard and measured: the clock and the level follow it.
void start_heard(pulse_decoder &d, double length)
{
    cell_clock &k = d.clock;
    k.start_width = band_width(d, k.start_peak_at);
    k.peak_delay += level_weight * (k.start_peak_at - k.start - k.peak_delay);
    // A part of each error goes into the period, so that the clock follows a drifting player.
    k.error_followed = trusted_error(k, length);
    k.period += period_weight * k.error_followed * k.period / length;
    if (k.settling == 0)
        k.lateness[k.last_bit] += lateness_weight * start_error(k);
    // The tone's height on its own path only roughly foretells the pulses'.
    if (k.settling == settling_cells)
        k.level = k.usual_level = k.start_peak;
    // The level follows each pulse, but never sinks far below the pulses' long-run height, lest
    // noise after the data pass for pulses. Pulses after the data stopped may be that noise:
    // until they have shown themselves data, they teach it nothing.
    if (k.unconfirmed == 0) {
        k.level += level_weight * (k.start_peak - k.level);
        k.usual_level += usual_level_weight * (k.start_peak - k.usual_level);
    }
    k.level = std::max(k.level, lowest_level * k.usual_level);
    ++d.data_pulses;
    d.pulse_height_sum += k.start_peak;
    d.polarity_votes += first_swing(d, length);
    // Only a pulse of the usual height proves the data goes on: weak ones may be noise.
    k.missing = k.start_peak >= strong_height * k.level ? 0 : k.missing + 1;
    k.in_middle = true;
    open_quiet_window(d, k.start, length);
}

// The first cell's pulse may come out lower than the tone's height foretold: a filter that
// turns the phase lowers narrow pulses more than the tone's. Its tallest pulse above a lower
// height is kept, and the cell read again from it should none reach the usual height.
void follow_weak_start(cell_clock &k, double index, double before, double y)
{
    const double low = weak_start_height * k.level;
    if (before < low && y >= low)
        k.weak_rise = crossing(index, before, y, low);
    if (y >= low && k.weak_rise >= 0 && y > k.weak_peak) {
        k.weak_peak = y;
        k.weak_start = k.weak_rise;
    }
}

void replay(pulse_decoder &d, double from, std::uint64_t now);

bool read_weak_start(pulse_decoder &d, double index)
{
    cell_clock &k = d.clock;
    if (k.weak_read || k.weak_peak <= 0)
        return false;
    k.weak_read = true;
    k.level = k.usual_level = k.weak_peak;
    k.expected = k.weak_start;
    k.rises = 0;
    k.risen = false;
    clear_cell(k);
    replay(d, std::floor(k.weak_start) - 1, static_cast<std::uint64_t>(index));
    return true;
}

// A first pulse well before its place and lower than the usual ones may be noise: until the
// cell's place has gone by, a pulse nearer it is taken instead. In the first cell too, where
// noise taken for its pulse would set the clock half a cell off for good. Not in the second,
// whose place only the first pulse foretold: a filter that spreads an edge may have had it
// read on its late part, and the second read on the early one, as the cells after it are.
bool doubtful_start(const cell_clock &k, double length)
{
    const bool foretold_by_one_pulse = k.settling == settling_cells - 1;
    return !foretold_by_one_pulse && k.start < k.expected - steady_error * length &&
           k.start_peak < trusted_height * k.level;
}

void take_start(pulse_decoder &d, double start)
{
    cell_clock &k = d.clock;
    k.heard = true;
    k.start = start;
    k.start_peak = 0;
    std::fill_n(k.shape_read, cell_clock::shape_points, false);
    d.last_pulse = start;
}

// The rival goes on from the next sample with the first cell's start it had, no longer in
// doubt. Not while samples are read again, which the block's sample numbers do not reach.
void fork_rival(pulse_decoder &d, double index, double y)
{
    d.clock.forked = true;
    pulse_decoder rival = d;
    rival.on_program = nullptr;
    rival.previous = y;
    rival.clock.expected = rival.clock.start;
    // Where its first pulse is over, what follows is its middle, not a nearer first pulse.
    const double length = cell_length(rival);
    if (index >= rival.clock.start + start_pulse_cells * length)
        start_heard(rival, length);
    rival.rival_from = static_cast<std::size_t>(index - static_cast<double>(d.samples)) + 1;
    d.rival.assign(1, std::move(rival));
}

// The first pulse of a cell, looked for a quarter of a cell either side of where it should be;
// `rose` says whether the pulses' path rose through start_height of the level here.
void read_start(pulse_decoder &d, double index, double before, double y, bool rose)
{
    cell_clock &k = d.clock;
    const double length = cell_length(d);
    // The first cell's place is foretold from the tone, which a filter in the way may delay
    // more than the pulses.
    const bool first = k.settling == settling_cells;
    const double early = first ? 1.0 : margin_width;
    const double late = first ? 0.5 : margin_width;
    if (first && !k.heard && !k.weak_read && index >= k.expected - early * length)
        follow_weak_start(k, index, before, y);
    const bool doubtful = k.heard && doubtful_start(k, length);
    if (rose && (doubtful || !k.heard) && index >= k.expected - early * length) {
        const double start = crossing(index, before, y, start_height * k.level);
        if (!k.heard || std::fabs(start - k.expected) < std::fabs(k.start - k.expected)) {
            if (k.heard && first && !k.forked && index >= static_cast<double>(d.samples))
                fork_rival(d, index, y);
            take_start(d, start);
        }
    }
    if (k.heard) {
        for (int i = 0; i < cell_clock::shape_points; ++i) {
            if (!k.shape_read[i] && index >= k.start + k.shape_delay[i]) {
                k.shape[i] = y;
                k.shape_read[i] = true;
            }
        }
        if (y > k.start_peak) {
            k.start_peak = y;
            k.start_peak_at = index;
        }
        const double heard_until = std::max(k.start + start_pulse_cells * length,
                                            doubtful ? k.expected + steady_error * length : 0.0);
        if (index >= heard_until)
            start_heard(d, length);
    } else if (index >= k.expected + late * length) {
        if (first && read_weak_start(d, index))
            return;
        k.start = k.expected;
        k.in_middle = true;
        ++k.missing;
    }
    if (k.missing >= end_of_data_cells)
        end_data(d);
}

// The band's mean over the samples the tone's mean takes, up to `index`: centred where the
// pulses' mean is.
double broad_mean(const pulse_decoder &d, double index)
{
    const float *band = d.history.band.data();
    const std::size_t mask = sample_history::size - 1;
    const auto last = static_cast<std::uint64_t>(index);
    const auto width = static_cast<std::uint64_t>(d.means.tone_width);
    double sum = 0;
    for (std::uint64_t i = last + 1 - width; i <= last; ++i)
        sum += band[i & mask];
    return sum * d.means.tone_scale;
}

// The middle of the cell: a 1's second pulse, half a cell after the first.
void read_middle(pulse_decoder &d, double index, double before, double y)
{
    cell_clock &k = d.clock;
    const double length = cell_length(d);
    const double centre = (k.heard ? k.start_peak_at : k.start + k.peak_delay) + one_gap * length;
    const double half_window = std::max(narrowest_middle, middle_width * length);
    if (index < centre - half_window)
        return;
    const double threshold = middle_threshold(k) * middle_reference(k);
    if (before < threshold && y >= threshold && k.middle_rise < 0)
        k.middle_rise = crossing(index, before, y, threshold);
    const double off_centre = (index - centre) / half_window;
    const double cost = off_centre_cost * middle_reference(k) * off_centre * off_centre;
    k.middle_peak = std::max(k.middle_peak, y - cost);
    if (d.early.open || k.broad_middles)
        k.middle_broad = std::max(k.middle_broad, broad_mean(d, index) - cost);
    if (index >= centre + half_window)
        decide_cell(d, index);
}

// The search for the clock's place after a silence put into the signal.
void route_sample(pulse_decoder &d, double index, double before, double y);

bool holding_across(const pulse_decoder &d)
{
    return d.held_back.holding && d.held_back.count > 0 && !d.joined.pending;
}

void start_search(pulse_decoder &d, double edge)
{
    // The cells since an earlier join are settled before this silence is joined across, unless
    // that join stands and they have yet to show the framing: a player's or a recorder's short
    // silence soon after a tape's dropout loses no cells, and they are held on across it.
    if (!holding_across(d))
        settle_framing(d);
    // The silence broke into the cell last read. It counts once the data is known to go on:
    // noise after the end of the data starts a search too.
    d.silence_pending = true;
    d.silence = {d.last_pulse, edge, (d.cells > 0 ? d.cells - 1 : 0) / cells_per_byte};
    d.search = place_search{};
    d.search.active = true;
    d.search.high = true;
    d.search.pulses[d.search.count++] = edge;
}

// Cells held back after a join were read after every cell appended, and cells waiting for the
// data to show it goes on after those: the last of them, if any, is the last cell read.
read_cell *last_unsettled(pulse_decoder &d)
{
    if (d.waiting_count > 0)
        return &d.waiting[d.waiting_count - 1];
    held_cells &h = d.held_back;
    return h.count > 0 ? &h.cells[h.count - 1] : nullptr;
}

cell_place last_cell_place(const pulse_decoder &d)
{
    return place_of(d.cells + d.held_back.count + d.waiting_count - 1);
}

// The last cell read, whose first pulse the silence cut short or whose second it delayed.
bool last_cell_was_one(pulse_decoder &d)
{
    if (const read_cell *unsettled = last_unsettled(d))
        return unsettled->bit == 1;
    const cell_place p = place_of(d.cells - 1);
    return ((p.byte < d.bytes.size() ? d.bytes[p.byte] : d.byte_bits) & p.bit) != 0;
}

void make_last_cell_one(pulse_decoder &d)
{
    if (read_cell *unsettled = last_unsettled(d))
        unsettled->bit = 1;
    else
        set_cell_bit(d, d.cells - 1, 1);
}

// Takes the last cell read back, to be read again from where the silence let it go on.
void forget_last_cell(pulse_decoder &d)
{
    if (d.waiting_count > 0) {
        --d.waiting_count;
        return;
    }
    if (d.held_back.count > 0) {
        --d.held_back.count;
        return;
    }
    const cell_place p = last_cell_place(d);
    if (p.ends_byte) {
        d.byte_bits = d.bytes.back() & ~p.bit;
        d.bytes.pop_back();
        d.byte_margins.pop_back();
    } else {
        d.byte_bits &= ~p.bit;
    }
    if (p.cell == 0)
        d.byte_starts.pop_back();
    --d.cells;
}

// Pulses after the end of the data are only taken for more of it once a byte's worth have
// been heard: until then, what joining across the silence did to the last cell can be undone.
void keep_for_undoing(pulse_decoder &d)
{
    joined_cells &j = d.joined;
    j.pending = true;
    j.next_start = d.next_cell_start;
    j.cells = d.cells;
    j.byte_bits = d.byte_bits;
    j.bytes = d.bytes.size();
    j.last_byte = d.bytes.empty() ? 0 : d.bytes.back();
    j.last_margin = d.byte_margins.empty() ? 1 : d.byte_margins.back();
    j.byte_starts = d.byte_starts.size();
    j.last_start = d.byte_starts.empty() ? 0 : d.byte_starts.back();
}

void restore_joined(pulse_decoder &d)
{
    const joined_cells &j = d.joined;
    d.cells = j.cells;
    d.byte_bits = j.byte_bits;
    if (j.bytes > 0) {
        d.bytes.resize(j.bytes);
        d.byte_margins.resize(j.bytes);
        d.bytes.back() = j.last_byte;
        d.byte_margins.back() = j.last_margin;
    }
    if (j.byte_starts > 0) {
        d.byte_starts.resize(j.byte_starts);
        d.byte_starts.back() = j.last_start;
    }
}

void undo_join(pulse_decoder &d)
{
    if (!d.joined.pending)
        return;
    d.joined.pending = false;
    restore_joined(d);
}

// How long a first pulse of this value is read, as the cells read show it. A byte's last is
// the longer, by less than its length in cycles says, since the filters blur every edge alike:
// as long as the last ones read were, once one was.
double usual_width(const pulse_decoder &d, int bit, bool ends_byte)
{
    if (!ends_byte)
        return d.normal_width[bit];
    if (d.last_count[bit] > 0)
        return d.last_width[bit];
    return d.normal_width[bit] * (double{last_high_cycles} / normal_high_cycles);
}

// The data went on where the silence broke in: the cells read in it were none of the data,
// while those heard before it wait on for the data to show it goes on. A 1 whose second pulse
// came after the silence was cut in two; so was a first pulse that the silence broke into,
// shorter than any 0's, whose rest starts the cells after it.
void join_across_silence(pulse_decoder &d, bool first_is_middle, double first)
{
    while (d.waiting_count > 0 && !d.waiting[d.waiting_count - 1].heard)
        --d.waiting_count;
    d.previous_cell = -1; // no cell's length runs across the silence
    if (d.cells == 0)
        return;
    // Cells held across this silence stay held, under the join before it.
    if (!holding_across(d)) {
        keep_for_undoing(d);
        d.held_back.holding = true;
    }
    if (first_is_middle) {
        make_last_cell_one(d);
        return;
    }
    // The two pieces of a pulse are each shorter than it, and together as long.
    const bool ends_byte = last_cell_place(d).ends_byte;
    const double before = d.clock.start_width;
    const double after = band_width(d, first + d.means.pulse_width);
    bool pieces = false;
    for (int bit = 0; bit < 2; ++bit) {
        const double whole = usual_width(d, bit, ends_byte);
        pieces |= d.normal_count[bit] > 0 && before < whole - cut_pulse_samples &&
                  after < whole - cut_pulse_samples &&
                  std::fabs(before + after - whole) < joined_pulse_samples;
    }
    if (!last_cell_was_one(d) && pieces) {
        forget_last_cell(d);
        d.clock.cut_start = true;
    }
}

// The pulses gathered show where the cells start: the clock takes its place from them, and the
// samples since the first are read again.
void end_search(pulse_decoder &d, int whole_gap_from, std::uint64_t now)
{
    place_search &s = d.search;
    s.active = false;
    // Every gap before the first whole one is half a cell: starts and middles alternate back
    // from the start that gap began with.
    const bool first_is_middle = whole_gap_from % 2 == 1;
    const double first = s.pulses[0];
    join_across_silence(d, first_is_middle, first);
    cell_clock &k = d.clock;
    k.expected = first_is_middle ? first + one_gap * cell_length(d) : first;
    k.settling = 0;
    k.silent_cells = k.missing = 0;
    k.rises = 0;
    clear_cell(k);
    d.last_pulse = first;
    replay(d, std::floor(k.expected - margin_width * cell_length(d)), now);
}

// Reads the samples kept from `from` to `now` again.
void replay(pulse_decoder &d, double from, std::uint64_t now)
{
    sample_history &h = d.history;
    const float *ring = h.samples.data();
    const std::size_t mask = sample_history::size - 1;
    for (h.replay_at = static_cast<std::uint64_t>(std::max(from, 1.0)); h.replay_at <= now;) {
        const std::uint64_t i = h.replay_at++;
        route_sample(d, static_cast<double>(i), ring[(i - 1) & mask], ring[i & mask]);
    }
}

void place_sample(pulse_decoder &d, double index, double before, double y)
{
    place_search &s = d.search;
    const cell_clock &k = d.clock;
    const double threshold = start_height * k.level;
    const double last = s.pulses[s.count - 1];
    const auto now = static_cast<std::uint64_t>(index);
    if (s.high && y < lower_threshold * k.level)
        s.high = false;
    // No pulse for longer than any cell, or as far back as the samples kept reach: the first
    // pulse is taken to start a cell.
    if ((index - last) / k.period > 1 + margin_width ||
        index - s.pulses[0] > sample_history::size - 4 * k.period) {
        end_search(d, 0, now);
        return;
    }
    if (s.high || before >= threshold || y < threshold)
        return;
    s.high = true;
    const double edge = crossing(index, before, y, threshold);
    const double gap = (edge - last) / k.period;
    if (gap < margin_width)
        return; // noise on the pulse before
    if (gap >= 1 - margin_width) {
        end_search(d, s.count - 1, now);
        return;
    }
    s.pulses[s.count++] = edge;
    if (s.count == place_search::most)
        end_search(d, 0, now);
}

// After the end of the data, pulses that follow one another as cells do are more signal.
// Pulses soon after the data stopped: a player that ran dry for a moment, not the end. The
// cells go on where they stopped, but only a byte's worth of them heard makes them data.
void resume_data(pulse_decoder &d, double edge)
{
    d.end = data_end::running;
    d.clock.unconfirmed = cells_per_byte;
    start_search(d, edge);
}

void pulse_after_end(pulse_decoder &d, double edge)
{
    if (!d.signal_after_end && edge - d.last_pulse <= resume_window(d)) {
        resume_data(d, edge);
        return;
    }
    const double gap = d.resumed_from < 0 ? lost_gap : gap_in_cells(d, d.resumed_last, edge);
    if (gap >= lost_gap) {
        d.resumed_from = edge;
        d.resumed_pulses = 0;
    }
    // The next program's lead-in tone is not more of this one's data.
    if (std::fabs(gap - one_gap) <= opening_likeness ||
        std::fabs(gap - zero_gap) <= opening_likeness)
        ++d.resumed_pulses;
    else if (gap < lost_gap)
        d.resumed_pulses = 0;
    d.resumed_last = edge;
    if (d.resumed_pulses >= resumed_signal_pulses && !d.signal_after_end) {
        d.signal_after_end = true;
        note_dropout(d, d.last_pulse, d.resumed_from, d.cells);
    }
}

bool tone_like(double period)
{
    return period >= fastest_tone_period && period <= slowest_tone_period;
}

// What only the decoder that saw every sample keeps: the whole recording's measures, and the
// filters and mending that every reading of it shares.
void carry_recording(pulse_decoder &to, const pulse_decoder &from)
{
    take_recording_measures(to, from);
    to.band = from.band;
    to.means = from.means;
    to.held = from.held;
}

// The program before is over once the next one's lead-in is found: whatever came between
// belongs to it. Its listener hears it whole, and the decoder starts afresh on the new one,
// keeping only what it measures of the recording and where its filters and search stand.
void hand_over(pulse_decoder &d)
{
    if (d.on_program)
        d.on_program(d);
    pulse_decoder next;
    next.rate = d.rate;
    carry_recording(next, d);
    next.envelope = d.envelope;
    next.previous = d.previous;
    next.previous_tone = d.previous_tone;
    next.history = std::move(d.history);
    next.up = d.up;
    next.down = d.down;
    next.loud = d.loud;
    next.last_loud = d.last_loud;
    next.quiet_from_loud = d.quiet_from_loud;
    next.programs_before = d.programs_before + 1;
    next.on_program = std::move(d.on_program);
    d = std::move(next);
}

void begin_data(pulse_decoder &d, tone_run run, double edge)
{
    if (d.end == data_end::silence)
        hand_over(d);
    d.lead_in_found = true;
    d.lead_in_start = run.first;
    // The first pulse rises out of silence, the others out of the tone's low halves: the
    // speed is timed from the second on, pulses of one shape.
    d.tone_period = (run.last - run.second) / static_cast<double>(run.edges - 2);
    d.speed = tone_period_cycles * d.rate / (cycles_per_second * d.tone_period);
    d.end_of_data = samples_of(d, end_of_data_cycles);
    d.end = data_end::running;
    d.last_pulse = run.last;
    d.clock = cell_clock{};
    d.clock.period = samples_of(d, normal_cell_cycles);
    // The data's first pulse rises a tone's high half and the closing silence after the tone's
    // last rise. Noise in that silence may have ended the tone sooner: only a pulse near
    // where the first should be starts the first cell, looked for half a cell either way,
    // since whole samples bend the silence and the tone differently at each rate.
    cell_clock &k = d.clock;
    k.expected = run.last + samples_of(d, tone_half_period_cycles + closing_silence_cycles);
    k.level = k.usual_level = d.envelope;
    k.settling = settling_cells;
    k.one_height = usual_one_height;
    for (int i = 0; i < cell_clock::shape_points; ++i)
        k.shape_delay[i] = samples_of(d, shape_cycles[i]);
    if (edge >= 0 && edge >= k.expected - k.period && edge <= k.expected + 0.5 * k.period) {
        k.heard = true;
        k.start = k.expected = edge;
    }
}

// Whether the pulses' own path stayed quiet after the run's last edge, but for the tone's last
// half period: the tone path's wider mean may miss a run of 1s' short pulses in the data.
bool quiet_after(const pulse_decoder &d, const tone_run &run, double mean)
{
    return d.quiet_from_loud <= run.last + quiet_after_tone * mean;
}

// Looks for the tone among the pulses of one direction; `width_before` is how long the pulse
// before this edge lasted. Returns true once the tone has been found and broken by the data's
// first pulse, which then starts the first cell.
bool tone_pulse(pulse_decoder &d, tone_run &run, double edge, double width_before)
{
    if (run.edges > 0) {
        const double period = cycles(d, edge - run.last);
        const double mean = cycles(d, run.last - run.first) /
                            static_cast<double>(std::max<std::uint64_t>(run.edges - 1, 1));
        const bool alike = run.edges < 2 || std::fabs(period - mean) <= tone_likeness * mean;
        if (!tone_like(period) || !alike) {
            // A long enough run followed by a silence of two of its periods was the tone: no
            // run of cells in the data is followed by such a silence. The pulse that breaks
            // it may be the data's first, or noise in the silence.
            const double samples_mean = (run.last - run.first) / static_cast<double>(run.edges - 1);
            if (run.edges > tone_periods_needed && period >= 2 * mean &&
                quiet_after(d, run, samples_mean)) {
                begin_data(d, run, edge);
                return true;
            }
            // A pulse later than the tone's next rise, but too soon for the data's first, is
            // noise in that silence: the run waits on. Were it broken there, the other
            // direction's run, whose edges end each period half a period later, would be
            // found first, and the pulses read upside down.
            if (run.edges > tone_periods_needed && period > (1 + tone_likeness) * mean &&
                period < 2 * mean)
                return false;
            run = tone_like(period) ? tone_run{1, run.last, 0, run.last} : tone_run{};
        }
    }
    if (run.edges == 0)
        run.first = edge;
    else if (run.edges == 1)
        run.second = edge;
    if (run.edges > 0)
        run.widths += width_before;
    run.before_last = run.last;
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
// A click a period after the other direction's last edge is alike enough to join that run,
// and keeps it going past this one's end, though its pulse is far shorter than the run's
// others: without it, the other run is the tone.
bool ended_by_click(const tone_run &run, const tone_run &other, const pulse_trigger &trigger,
                    double mean)
{
    if (other.edges <= tone_periods_needed + 1 || other.last <= run.last ||
        other.last - run.last >= mean || trigger.high)
        return false;
    const double usual_width = other.widths / static_cast<double>(other.edges - 1);
    return trigger.width < click_width * usual_width;
}

// The tone went down: so do the data's pulses, followed by the down trigger's state.
void read_pulses_down(pulse_decoder &d)
{
    d.inverted = true;
    d.up = d.down;
}

// The tone found: the data follows, its pulses going the way the tone's did.
void begin_after_tone(pulse_decoder &d, const tone_run &run, bool down)
{
    begin_data(d, run, -1);
    if (down)
        read_pulses_down(d);
}

// A run long enough to be the tone, followed by a silence of two of its periods: the tone has
// ended, and the data's first pulse is on its way. Asked at every sample: the first test is
// kept apart, small enough to be inlined.
bool long_run_ended(pulse_decoder &d, bool down, double index)
{
    const tone_run &run = down ? d.down_tone : d.up_tone;
    const double mean = (run.last - run.first) / static_cast<double>(run.edges - 1);
    if (index - run.last < 2 * mean || !quiet_after(d, run, mean))
        return false;
    const tone_run &other = down ? d.up_tone : d.down_tone;
    if (ended_by_click(run, other, down ? d.up : d.down, mean)) {
        tone_run tone = other;
        tone.last = tone.before_last;
        --tone.edges;
        begin_after_tone(d, tone, !down);
    } else {
        begin_after_tone(d, run, down);
    }
    return true;
}

bool tone_ended(pulse_decoder &d, bool down, double index)
{
    return (down ? d.down_tone : d.up_tone).edges > tone_periods_needed &&
           long_run_ended(d, down, index);
}

void search_sample(pulse_decoder &d, double index, double before, double y, double level,
                   double pulse)
{
    // Where the last loud stretch on the pulses' path began to fall quiet.
    const bool loud = std::fabs(pulse) >= loud_height * level;
    if (loud && !d.loud)
        d.quiet_from_loud = d.last_loud;
    if (loud)
        d.last_loud = index;
    d.loud = loud;
    if (tone_ended(d, false, index) || tone_ended(d, true, index))
        return;
    if (follow(d.up, index, before, y, level)) {
        note_opening(d, 0, d.up.rise);
        tone_pulse(d, d.up_tone, d.up.rise, d.up.width);
    }
    if (d.end != data_end::running && follow(d.down, index, -before, -y, level)) {
        note_opening(d, 1, d.down.rise);
        if (tone_pulse(d, d.down_tone, d.down.rise, d.down.width))
            read_pulses_down(d);
    }
}

// The noise between pulses, from the band-passed samples' second differences: white noise
// keeps its power there, six times over, while the slow swing a pulse leaves behind, whatever
// filter shaped it, all but vanishes.
void add_quiet_sample(pulse_decoder &d, std::uint64_t index)
{
    const float *band = d.history.band.data();
    const std::size_t mask = sample_history::size - 1;
    const auto at = index - static_cast<std::uint64_t>(d.means.delay);
    const double curve = band[at & mask] - 2.0 * band[(at - 1) & mask] + band[(at - 2) & mask];
    const double noise = curve * white_in_curve;
    d.window_sum += noise;
    d.window_power += noise * noise;
    ++d.window_samples;
}

void data_sample(pulse_decoder &d, double index, double before, double y)
{
    cell_clock &k = d.clock;
    if (k.cell_from < 0)
        k.cell_from = index;
    if (!k.risen && y >= decision_height * k.level) {
        k.risen = true;
        ++k.rises;
    } else if (k.risen && y < lower_threshold * k.level) {
        k.risen = false;
    }
    if (index >= d.quiet_from && index < d.quiet_until)
        add_quiet_sample(d, static_cast<std::uint64_t>(index));
    // After a silence put into the signal the clock's place means nothing: the cells are
    // looked for again. Through a dip in the level it keeps its place.
    const double threshold = start_height * k.level;
    const bool rose = before < threshold && y >= threshold;
    if (k.silent_cells >= inserted_silence_cells && rose)
        start_search(d, crossing(index, before, y, threshold));
    else if (k.in_middle)
        read_middle(d, index, before, y);
    else
        read_start(d, index, before, y, rose);
}

void route_sample(pulse_decoder &d, double index, double before, double y)
{
    if (d.end == data_end::running) {
        if (d.search.active)
            place_sample(d, index, before, y);
        else
            data_sample(d, index, before, y);
    } else if (follow(d.after_end, index, before, y, std::max(d.clock.level, quietest_signal))) {
        pulse_after_end(d, d.after_end.rise);
    }
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
        h.latest[m] = std::sqrt(power);
        h.loudest[m] = std::max(h.loudest[m], h.latest[m]);
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

void start_high_pass(high_pass &f, double rate, double first)
{
    const double w0 = 2 * pi * high_pass_hertz / rate;
    const double alpha = std::sin(w0) / std::sqrt(2.0);
    const double a0 = 1 + alpha;
    f.gain = (1 + std::cos(w0)) / 2 / a0;
    f.a1 = -2 * std::cos(w0) / a0;
    f.a2 = (1 - alpha) / a0;
    // As if the first sample had always been there: no step at the start.
    f.x1 = f.x2 = first;
}

// In direct form, the output's older term added first: each sample waits on the one before
// for one multiplication and one subtraction, where the transposed form took three steps.
double filter(high_pass &f, double x)
{
    const double curve = (x - 2 * f.x1) + f.x2;
    const double y = (f.gain * curve - f.a2 * f.y2) - f.a1 * f.y1;
    f.x2 = f.x1;
    f.x1 = x;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

int samples_in(double cycles, double rate)
{
    const auto width = static_cast<int>(std::lround(cycles * rate / machine_cycles_per_second));
    return std::clamp(width, 1, pulse_filters::longest / 2);
}

void start_pulse_filters(pulse_filters &f, double rate)
{
    f = pulse_filters{};
    f.pulse_width = samples_in(normal_high_cycles / 2.0, rate);
    f.tone_width = std::max(f.pulse_width, samples_in(tone_half_period_cycles / 4.0, rate));
    f.pulse_lag = (f.tone_width - f.pulse_width) / 2;
    f.delay = f.pulse_lag + f.pulse_width / 2;
    // A division at every sample would take longer than the rest of the filters.
    f.pulse_scale = 1.0 / f.pulse_width;
    f.tone_scale = 1.0 / f.tone_width;
}

// Peak and sum in four lanes, so that neither waits on the one before: a chain of one
// addition per sample would take longer than all the decoding.
void add_level(pulse_decoder &d, const float *samples, std::size_t count)
{
    // The largest magnitude is one of the samples: a float holds it exactly.
    float peak[4] = {0, 0, 0, 0};
    double sum[4] = {d.sum, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            peak[lane] = std::max(peak[lane], std::fabs(samples[i + lane]));
            sum[lane] += samples[i + lane];
        }
    }
    for (; i < count; ++i) {
        peak[0] = std::max(peak[0], std::fabs(samples[i]));
        sum[0] += samples[i];
    }
    const double block_peak = std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3]));
    d.peak = std::max(d.peak, block_peak);
    d.recent_peak = std::max(d.recent_peak, block_peak);
    d.sum = (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

// A float is a NaN or infinite when its exponent's bits are all set: an integer test the
// compiler can do many at a time.
bool all_finite(const float *samples, std::size_t count)
{
    constexpr std::uint32_t exponent = 0x7F800000;
    std::uint32_t nonfinite = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, samples + i, sizeof bits);
        nonfinite |= static_cast<std::uint32_t>((bits & exponent) == exponent);
    }
    return nonfinite == 0;
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

// The filters of a stretch of samples, run on copies of their state apart from the decisions,
// so that their recurrences stay in registers.
struct filtered_samples {
    static constexpr std::size_t most = 512;
    // The band-passed samples, after as many of those before them as the means reach back.
    double past_and_band[pulse_filters::longest + most];
    double pulse[most], tone[most];
    const double *band() const { return past_and_band + pulse_filters::longest; }
};

void filter_samples(pulse_decoder &d, const float *samples, std::size_t count,
                    filtered_samples &out)
{
    high_pass band = d.band;
    pulse_filters m = d.means;
    double *past = out.past_and_band;
    std::copy(m.past, m.past + pulse_filters::longest, past);
    double *x = past + pulse_filters::longest;
    for (std::size_t i = 0; i < count; ++i) {
        double *now = x + i; // the means reach back before it
        *now = filter(band, samples[i]);
        m.tone_sum += *now - now[-m.tone_width];
        m.pulse_sum += now[-m.pulse_lag] - now[-m.pulse_lag - m.pulse_width];
        out.tone[i] = m.tone_sum * m.tone_scale;
        out.pulse[i] = m.pulse_sum * m.pulse_scale;
    }
    std::copy(past + count, past + count + pulse_filters::longest, m.past);
    d.band = band;
    d.means = m;
}

// The hot loop of a check: the filters first, then the decisions; everything else happens at
// a pulse.
void decide_samples(pulse_decoder &d, const filtered_samples &in, std::size_t from,
                    std::size_t count)
{
    const double searching_keep = std::exp(-1 / (envelope_seconds * d.rate));
    double previous = d.previous, previous_tone = d.previous_tone;
    // Kept in a register: through memory, every sample would wait on the one before's store.
    double envelope = d.envelope;
    double index = static_cast<double>(d.samples + from);
    const std::size_t mask = sample_history::size - 1;
    for (std::size_t i = from; i < count; ++i, ++index) {
        const double tone = in.tone[i];
        const double pulse = in.pulse[i];
        const double y = d.inverted ? -pulse : pulse;
        const double before = previous;
        previous = y;
        // After a program's data the next one's lead-in is looked for while the pulses that
        // may yet follow are counted; the sample that ends a search starts no cell.
        const data_end state = d.end;
        if (state != data_end::running) {
            envelope = std::max(std::fabs(tone), envelope * searching_keep);
            d.envelope = envelope;
            search_sample(d, index, previous_tone, tone, std::max(envelope, quietest_signal),
                          pulse);
        }
        if (state != data_end::not_started && d.end == state) {
            d.history.samples[(d.samples + i) & mask] = static_cast<float>(y);
            d.history.band[(d.samples + i) & mask] =
                static_cast<float>(d.inverted ? -in.band()[i] : in.band()[i]);
            route_sample(d, index, before, y);
        }
        if (d.end != state)
            envelope = d.envelope; // the end of a program's data starts it again
        previous_tone = tone;
    }
    d.previous = previous;
    d.previous_tone = previous_tone;
    d.samples += count;
}

// Both readings have read the early cells again, or both have stopped reading data. Every cell
// starts with a pulse: a reading half a cell off misses the first pulses of cells whose middle
// is empty, and one that missed fewer than half as many as the other goes on. Else the one whose
// middles stood clearly clearer at their heights, or, where either never fitted them, the one
// whose bytes came closer to no doubt on the whole; the reading from the place the tone
// foretold where neither is.
bool rival_wins(const pulse_decoder &d, const pulse_decoder &rival)
{
    if (rival.lost_pulses * 2 < d.lost_pulses)
        return true;
    if (d.lost_pulses * 2 < rival.lost_pulses)
        return false;
    if (d.early.clarity > 0 && rival.early.clarity > 0)
        return rival.early.clarity > clearly_clearer * d.early.clarity;
    const std::size_t bytes = std::min(d.bytes.size(), rival.bytes.size());
    if (bytes == 0)
        return rival.worst_margin > d.worst_margin;
    const auto sum = [bytes](const pulse_decoder &x) {
        return std::accumulate(x.byte_margins.data(), x.byte_margins.data() + bytes, 0.0);
    };
    return sum(rival) > sum(d);
}

// A reading whose data ended has read its early cells again: the other, half a cell away, may
// end a block later at the same end, or read on past a place the first lost.
void settle_rival(pulse_decoder &d, bool finished)
{
    const pulse_decoder &rival = d.rival.front();
    const bool both_read = !d.early.open && !rival.early.open;
    const bool both_ended = d.end != data_end::running && rival.end != data_end::running;
    if (!finished && !both_read && !both_ended)
        return;
    if (rival_wins(d, rival)) {
        pulse_decoder winner = std::move(d.rival.front());
        carry_recording(winner, d);
        winner.on_program = std::move(d.on_program);
        d = std::move(winner);
    }
    d.rival.clear();
}

void decode_block(pulse_decoder &d, const float *samples, std::size_t count)
{
    if (d.samples == 0 && count > 0)
        start_high_pass(d.band, d.rate, samples[0]);
    add_level(d, samples, count);
    measure_hum(d.hum, samples, count);
    filtered_samples filtered;
    for (std::size_t done = 0; done < count; done += filtered_samples::most) {
        const std::size_t size = std::min(filtered_samples::most, count - done);
        filter_samples(d, samples + done, size, filtered);
        decide_samples(d, filtered, 0, size);
        if (!d.rival.empty()) {
            pulse_decoder &rival = d.rival.front();
            decide_samples(rival, filtered, std::exchange(rival.rival_from, 0), size);
            settle_rival(d, false);
        }
    }
}

} // namespace

void start_decoding(pulse_decoder &decoder, double rate)
{
    decoder = pulse_decoder{};
    decoder.rate = rate;
    start_pulse_filters(decoder.means, rate);
    decoder.history.samples.assign(sample_history::size, 0.0F);
    decoder.history.band.assign(sample_history::size, 0.0F);
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

namespace {

void finish_reading(pulse_decoder &d)
{
    if (d.end == data_end::not_started) {
        // A tone that the end of the recording broke, with no data after it.
        const double end = static_cast<double>(d.samples);
        const double tone_ends[2] = {d.up_tone.last, d.down_tone.last};
        if (!tone_pulse(d, d.up_tone, end, d.up.width) &&
            tone_pulse(d, d.down_tone, end, d.down.width))
            d.inverted = true;
        d.last_pulse = tone_ends[d.inverted];
        if (d.lead_in_found && end - d.last_pulse >= d.end_of_data)
            d.end = data_end::silence;
        return;
    }
    if (d.end != data_end::running)
        return;
    // A cell cut before its middle could show a 1 is left out, and its byte with it; cells
    // waiting after the last pulse heard were silence.
    const cell_clock &k = d.clock;
    if (k.in_middle && k.heard &&
        static_cast<double>(d.samples) >= k.start + (one_gap + margin_width) * cell_length(d))
        decide_cell(d, static_cast<double>(d.samples) - 1);
    if (k.unconfirmed > 0)
        undo_join(d);
    settle_framing(d);
    if (d.early.open)
        read_early_again(d);
    d.waiting_count = 0;
    close_quiet_window(d);
}

} // namespace

void finish_decoding(pulse_decoder &d)
{
    if (!d.rival.empty())
        finish_reading(d.rival.front());
    finish_reading(d);
    if (!d.rival.empty())
        settle_rival(d, true);
}

void take_recording_measures(pulse_decoder &program, const pulse_decoder &whole)
{
    program.peak = whole.peak;
    program.recent_peak = whole.recent_peak;
    program.sum = whole.sum;
    program.samples = whole.samples;
    program.hum = whole.hum;
    program.nonfinite = whole.nonfinite;
}

bool data_closed(const pulse_decoder &d)
{
    return d.end == data_end::silence &&
           (d.signal_after_end ||
            static_cast<double>(d.samples) - d.last_pulse > resume_window(d));
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

namespace {

hum_reading louder_family(const double (&amplitude)[2])
{
    const int m = amplitude[1] > amplitude[0] ? 1 : 0;
    return {amplitude[m], hum_meter::mains[m]};
}

} // namespace

hum_reading loudest_hum(const pulse_decoder &d)
{
    return louder_family(d.hum.loudest);
}

hum_reading latest_hum(const pulse_decoder &d)
{
    return louder_family(d.hum.latest);
}
