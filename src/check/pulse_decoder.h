#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Follows a recording of the signal sample by sample, in constant memory but for the bytes it
// recovers: a high-pass takes DC and hum away; the lead-in tone is found in either polarity and
// gives the playback speed; a clock then reads the cells, each first pulse where the cell
// before says it should come and a 1's second pulse half a cell on, seven cells to a byte,
// and finds its place again after a silence put into the data. One program after another is
// read, each handed over whole. Beside the bytes it keeps every sign of trouble it met, and
// what it measured of the recording, so that a report can say how far the bytes can be
// trusted and why.

// Below this peak, about -66 dBFS, the pulses can't be told from the noise floor the triggers
// keep; a 16-bit recording 60 dB down still rises well above it.
constexpr double quietest_signal = 0.0005;

// One Schmitt trigger: a pulse starts when the signal rises through the upper threshold and
// ends when it falls back through the lower one, so noise never counts an edge twice.
struct pulse_trigger {
    bool high = false;
    double rise = 0;  // when the pulse began, in samples
    double width = 0; // how long the last finished pulse stayed high, in samples
};

// A run of alike pulses that may be the lead-in's tone: only its ends are kept, so a tone
// that never stops costs nothing.
struct tone_run {
    std::uint64_t edges = 0;
    double first = 0, second = 0, last = 0;
    double before_last = 0;
    double widths = 0; // of its pulses but the last, each from its edge till it fell
};

// A stretch inside the data without pulses, four cells or longer, in samples: shorter gaps
// are single pulses lost.
struct dropout {
    double start = 0, end = 0;
    std::uint64_t byte = 0; // the byte being read when it began
};
constexpr std::size_t dropouts_kept = 8;

// A second-order high-pass (Butterworth, at a few hundred hertz) that takes DC, drift, steps
// and mains hum away before anything is decided; the pulses and the tone pass.
struct high_pass {
    double gain = 1, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0; // the last two samples in and out
};

// Two means of the band-passed signal from one ring of its last samples: one as long as a
// 1's pulse, for the pulses, and one a quarter of the tone's half period, for the tone, which
// keeps its edges and takes more of the noise away. The shorter lies in the middle of the
// longer, so that both are late by the same time and an edge found in one is found in the
// other at the same moment.
struct pulse_filters {
    static constexpr int longest = 64;
    double past[longest] = {}; // the last band-passed samples, oldest first
    int pulse_width = 1, tone_width = 1, pulse_lag = 0;
    int delay = 0; // how late the pulses' path is behind the band-passed samples
    double pulse_scale = 1, tone_scale = 1; // 1 / width
    double pulse_sum = 0, tone_sum = 0;
};

// 50 Hz or 60 Hz mains hum with its 2nd and 3rd harmonics, by Goertzel filters over blocks of
// about a second of the recording, averaged to about a thousand values a second first.
struct hum_meter {
    static constexpr int harmonics = 3;
    static constexpr double mains[2] = {50, 60};
    double bin_sum = 0;
    int bin_fill = 0, bin_size = 1, block_fill = 0, block_size = 1;
    double coefficient[2][harmonics] = {};
    double s1[2][harmonics] = {}, s2[2][harmonics] = {};
    double loudest[2] = {0, 0}; // the largest amplitude of each family over any block
    double latest[2] = {0, 0};  // and over the last block
};

// The pulses a recording opens with: how many follow one another as a tone's or cells' do.
struct opening_run {
    double first = -1, last = -1;
    double first_gap = 0; // in cycles
    int alike = 0;
    bool broken = false;
};

// What a cell shows of its value, against the pulses' height, as read over many cells: its
// mean for each value, and how widely it spreads about that mean, both values together.
struct cell_feature {
    double mean[2] = {0, 0};
    double spread = 0; // the variance
    std::uint64_t count[2] = {0, 0};
};

// The middles read after a cell of one value, in bins of their height against the reference.
// They lie in two heaps, one for each value, wherever what the recording went through put
// them: where the heaps part is found from the heights alone, not from the values read.
struct middle_heights {
    static constexpr int bins = 64;
    static constexpr double top = 2; // taller middles count in the last bin
    double weight[bins] = {};
    int added = 0;
    bool parted = false;      // the heaps have stood clearly apart
    double low = 0, high = 0; // and these were their means then
};

// The data's cells are read by a clock: every cell starts with a pulse, so each start is
// looked for where the cells before say it should be, a quarter of a cell either way, and a
// 1's second pulse half a cell on. A pulse missing, or one too many between, never moves the
// cells after it.
struct cell_clock {
    double period = 0; // of a normal cell, in samples, followed from cell to cell
    double length = 0; // of the cell being read, for the cell and period below
    std::uint64_t length_of = ~std::uint64_t{0};
    double length_period = 0;
    double expected = 0;    // where the next cell's first pulse should rise
    int settling = 0;       // cells left before the clock has followed a heard pulse
    bool in_middle = false; // past the cell's first pulse, reading its middle
    bool heard = false;     // the cell's first pulse was heard
    double start = 0;       // where the cell began, heard or expected
    double start_peak = 0;
    double start_peak_at = 0; // where the first pulse was tallest
    double start_width = 0;   // at half its height, before the means
    double peak_delay = 0;    // from a first pulse's rise to its top, followed from cell to cell
    double middle_peak = 0, middle_rise = -1;
    // The middle as the band's mean over a tone's quarter period: a filter that turns the phase
    // spreads a pulse into a slow swell a short mean misses. The middles are read by it once the
    // early cells showed it the clearer.
    double middle_broad = 0;
    bool broad_middles = false;
    // The pulses' path at two points after the first pulse rose: where a 0's first pulse,
    // twice a 1's, is still high and a 1's has fallen, and where the swing after a 0's goes
    // the deeper. Each is read at `shape_delay` samples, and learnt by value in `shapes`.
    static constexpr int shape_points = 2;
    double shape[shape_points] = {}, shape_delay[shape_points] = {};
    bool shape_read[shape_points] = {};
    cell_feature middles, shapes[shape_points];
    // The middles again, after a 0 and after a 1: a filter that turns the phase spreads each
    // pulse into the cells after it, and a 0's middle after a 1 may stand higher than a 1's
    // after a 0.
    middle_heights middles_after[2];
    int last_bit = 0;       // the value of the cell before
    double level = 0;       // the height of the cells' first pulses, followed from cell to cell
    double usual_level = 0; // the same over many cells
    double one_height = 0;  // a 1's second pulse against its first, over many cells
    std::uint64_t ones = 0;
    int missing = 0;      // first pulses missing in a row
    int silent_cells = 0; // cells in a row with nothing at all in them
    int unconfirmed = 0;  // heard cells still needed before the data is taken to go on
    double cell_from = -1; // the first sample read of the cell
    int rises = 0; // pulses that rose in the cell, wherever they were
    bool risen = false;
    // The first cell's tallest pulse below the usual height, should none reach it.
    double weak_rise = -1, weak_start = -1, weak_peak = 0;
    bool weak_read = false; // the first cell was read again from it
    // How much of its first pulse's distance from where it was expected the clock follows.
    double error_followed = 0;
    // The cell starts with the rest of a first pulse a silence cut in two: its width says
    // nothing of the pulse's.
    bool cut_start = false;
    // The first cell's place was in doubt and is being read both ways.
    bool forked = false;
    // How late a first pulse comes after a 0 and after a 1, over many cells: a filter that turns
    // the phase moves a pulse by what rings on from the cell before, and the clock keeps to the
    // place between.
    double lateness[2] = {0, 0};
};

// After a silence put into the signal the clock has lost its place: the pulses that follow are
// gathered until their spacing shows which of them start cells. A whole cell between two
// pulses always runs from one cell's start to the next; half a cell runs from a 1's start to
// its middle or from its middle to the next start.
struct place_search {
    static constexpr int most = 16;
    bool active = false;
    double pulses[most] = {};
    int count = 0;
    bool high = false;
};

// The recent samples after the lead-in, so that the cells can be read again from where a
// search for the clock's place began.
struct sample_history {
    static constexpr std::size_t size = 8192;
    std::vector<float> samples, band; // band: before the means, for the pulses' widths
    std::uint64_t replay_at = 0;
};

// What the cells read stood at before a silence was joined across, to go back to should
// what followed it turn out not to be data, or to have lost cells under it.
struct joined_cells {
    bool pending = false;
    double next_start = 0; // where the cell after the last one read would have started
    std::uint64_t cells = 0;
    int byte_bits = 0;
    std::size_t bytes = 0, byte_starts = 0;
    std::uint8_t last_byte = 0;
    float last_margin = 1;
    std::uint64_t last_start = 0;
};

// A cell read but not yet known to be data: cells whose first pulse is missing wait here
// until a pulse is heard again, or are dropped when the silence turns out to end the data.
struct read_cell {
    double start;
    double width; // of its first pulse
    double margin;
    int bit;
    bool heard;
    bool silent; // nothing at all was heard in it
};
constexpr std::size_t cells_waiting = 24;

// A silence put in by a player loses no cells; a tape's dropout loses those under it. Which
// it was shows in the cells after it: where a byte's last pulse is longer than its others,
// those longer pulses fall where the bytes end. The cells after a join are held back until
// enough of them have been read to tell.
struct held_cells {
    static constexpr std::size_t most = 70; // ten bytes
    bool holding = false;
    read_cell cells[most] = {};
    std::size_t count = 0;
};

// What a cell's value and margin were decided from.
struct cell_reading {
    double height, shift; // the middle's height, and what the first pulse's shape added to it
    double broad;         // the middle's broad height
    double start_timing;  // the margin the first pulse's place left
    double middle_timing; // and the middle's rise, should it be a 1
    double start;
    int bit;    // as it was read
    bool heard; // its first pulse was: else its middle was looked for where the clock put it
};
// The data's first cells as they were read: until enough middles have been read, a value rests
// on heights learnt from too few, and on the value before it, which may itself be wrong. Once
// there are enough, their values are fitted again as a whole, as long as no silence or dropout
// came among them.
struct early_cells {
    static constexpr std::size_t most = 448; // 64 bytes
    cell_reading cells[most] = {};
    std::size_t count = 0;
    bool open = true;
    // How clearly the middles stood at their four heights when the cells were read again: the
    // heights' distance over their spread, squared. 0 before.
    double clarity = 0;
};

enum class data_end {
    not_started, // still looking for the lead-in
    running,     // the recording ended while pulses were still coming
    silence,     // the pulses stopped and the recording stayed quiet long enough to tell
};

struct pulse_decoder {
    double rate = 0;

    // A recording may hold several programs, one after another. Each is told to this
    // listener, whole, once the next one's lead-in has been found; the last is the decoder's
    // own state when the recording ends.
    std::function<void(const pulse_decoder &)> on_program;
    std::uint64_t programs_before = 0;

    // The lead-in, once found: where its tone starts, its period in samples, the speed
    // measured from it (1 is nominal, more is faster) and whether the pulses go down.
    bool lead_in_found = false;
    double lead_in_start = 0;
    double tone_period = 0;
    double speed = 1;
    bool inverted = false;
    double end_of_data = 0; // samples without a pulse that end the data, at this speed

    // The data, once the lead-in is over.
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> byte_starts; // the sample where each byte's first pulse rises
    std::vector<float> byte_margins;        // the worst cell's margin in each byte
    std::uint64_t cells = 0;
    std::uint64_t longer_last = 0; // bytes whose last pulse is longer than their others
    data_end end = data_end::not_started;
    double last_pulse = -1; // the last pulse of the data

    // Signs of trouble: pulses missing where a cell needed one, pulses too early for any
    // cell (ignored), and the places where the pulses stopped for a while.
    std::uint64_t lost_pulses = 0;
    std::uint64_t extra_pulses = 0;
    dropout dropouts[dropouts_kept];
    std::uint64_t dropout_count = 0;
    // Cell-like pulses after the data had ended: more signal that was not read.
    bool signal_after_end = false;

    // How close the worst cell came to a wrong decision: 1 is the nominal timing, 0 a pulse
    // at the threshold between a 0 and a 1, or as far off the other way.
    double worst_margin = 1;
    std::uint64_t worst_cell = 0;
    double worst_cell_start = 0;

    // What was measured of the recording.
    // The first pulses heard each way (up, down) while the lead-in was looked for.
    opening_run opening[2];
    std::uint64_t nonfinite = 0; // NaN or infinite samples, each taken as the one before
    double peak = 0, sum = 0;    // over the whole recording
    double recent_peak = 0;      // since a level meter last read it
    std::uint64_t samples = 0;
    double pulse_height_sum = 0; // the envelope at each data pulse
    std::uint64_t data_pulses = 0;
    double quiet_power = 0; // the variance between pulses, summed over windows
    std::uint64_t quiet_samples = 0;
    // Cells whose tallest swing goes the way the pulses were read, less those where it goes
    // the other: the pulses are tall and narrow, their tails low and long, whatever the hum.
    std::int64_t polarity_votes = 0;
    // Whole cells, by kind (normal, last) and value, in samples.
    double cell_length_sum[2][2] = {};
    std::uint64_t cell_length_count[2][2] = {};
    hum_meter hum;

    // A filter that turns the phase may delay the tone more than the pulses, and the first
    // cell's place foretold from it is then no guide. Where the first cell could start at either
    // of two pulses, the data is read from both, the other way by this second decoder, until
    // the early cells show which reads clearer. It never holds more than one.
    std::vector<pulse_decoder> rival;
    std::size_t rival_from = 0; // in the block it was forked in, where it goes on: 0 after

    // Working state.
    cell_clock clock;
    early_cells early;
    place_search search;
    joined_cells joined;
    held_cells held_back;
    double next_cell_start = 0; // after the last cell read
    dropout silence; // put into the data, counted once the data goes on after it
    bool silence_pending = false;
    sample_history history;
    read_cell waiting[cells_waiting];
    std::size_t waiting_count = 0;
    high_pass band;
    pulse_filters means;
    double envelope = 0;
    double previous = 0, previous_tone = 0;
    double held = 0; // the last finite sample
    // Until the polarity is known, the tone is looked for in both directions: the swing that
    // completes it first is the way the pulses go.
    pulse_trigger up, down;
    pulse_trigger after_end; // pulses after the end of the data
    tone_run up_tone, down_tone;
    bool loud = false;
    double last_loud = 0, quiet_from_loud = 0;
    double previous_cell = -1; // the start of the cell before, while its length counts
    int previous_bit = 0;
    bool previous_last = false;
    int byte_bits = 0;
    double normal_width[2] = {0, 0}; // running mean width of normal cells' pulses, by bit
    std::uint64_t normal_count[2] = {0, 0};
    double last_width[2] = {0, 0}; // the same of bytes' last cells
    std::uint64_t last_count[2] = {0, 0};
    double byte_widest_normal[2] = {0, 0};
    double byte_margin = 1; // of the byte being read
    double quiet_from = 0, quiet_until = 0;
    double window_sum = 0, window_power = 0;
    std::uint64_t window_samples = 0;
    double resumed_from = -1; // the first of a run of pulses after the end of the data
    double resumed_last = -1; // and the last
    int resumed_pulses = 0;
};

// Prepares the decoder for a recording at `rate` samples per second.
void start_decoding(pulse_decoder &decoder, double rate);

// Feeds samples in -1..1, in recording order.
void decode_samples(pulse_decoder &decoder, const float *samples, std::size_t count);

// Reads the last cell once the recording has ended.
void finish_decoding(pulse_decoder &decoder);

// Gives a program's state what was measured of the whole recording: its level, hum and
// length, and the samples that were not numbers.
void take_recording_measures(pulse_decoder &program, const pulse_decoder &whole);

// Whether the program's data is over for good: ended in silence, and past the time in which
// pulses coming back would take it up again. Its bytes will not change.
bool data_closed(const pulse_decoder &decoder);

// Whether the recording began inside the signal: its first pulses come at once, as close
// together as a tone's or cells' pulses.
bool starts_inside_signal(const pulse_decoder &decoder);

// The amplitude of the loudest hum family (50 or 60 Hz) and its frequency.
struct hum_reading {
    double amplitude;
    double hertz;
};
hum_reading loudest_hum(const pulse_decoder &decoder);
// The same over the last second or so.
hum_reading latest_hum(const pulse_decoder &decoder);
