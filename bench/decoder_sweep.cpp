// Measures the check's decoder against an ideal detector, on signals that the converter makes
// in this process and that then pass through the troubles a recording meets: white noise,
// mains hum, phase shift, level dips, DC steps, pops, player underruns and very quiet
// recordings. Ends with the decoder's speed on a minute of stereo recording.
//
// The ideal detector knows where every cell starts and what the channel does to the signal
// (gain, filtering, inserted silence), though not what it adds to it, and takes for each cell
// the clean shape, so passed, nearer to what it received: it bounds what any decoder could
// read without knowing the interference itself.

#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "check/check_report.h"
#include "check/check_session.h"
#include "check/pulse_decoder.h"
#include "tape/machine_timing.h"
#include "tape/tape_signal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t sweep_rates[] = {44100, 48000};
constexpr std::uint32_t seed_count = 5;
constexpr std::size_t image_size = 1024;
constexpr int conversion_gain = 4;
constexpr const char *pad_tenths = "5";         // the digits after the point of 0.5 s
constexpr std::size_t frames_per_block = 65536; // as the command line hands them over
constexpr double pi = 3.14159265358979323846;

std::vector<std::uint8_t> random_image(std::size_t size, std::uint32_t seed)
{
    std::mt19937 bits(seed);
    std::vector<std::uint8_t> image(size);
    // No cell carries bit 7, so an image that used it could never be read back whole.
    for (auto &byte : image)
        byte = static_cast<std::uint8_t>(bits() & 0x7f);
    return image;
}

// Every conversion and every cell shape starts from the state a fresh run of the program has.
void start_conversion(std::uint32_t rate)
{
    reset_conversion();
    set_sample_rate(rate);
    set_gain(conversion_gain);
    p_pad_samples = seconds_to_samples(0, pad_tenths);
    wav_name = "the sweep's scratch file";
}

struct filter_state {
    double lp, hp;
};

struct converted_signal {
    std::uint32_t rate;
    std::vector<std::uint8_t> image;
    std::vector<float> samples; // (byte - 128) / 128
    std::size_t data_start, data_end;
    filter_state at_data; // the filter as the first data cell begins
    double peak, data_power;
};

float centred(int byte)
{
    return static_cast<float>(byte - 128) / 128.0f;
}

std::vector<float> samples_after_header(FILE *file)
{
    std::rewind(file);
    std::vector<float> samples;
    int byte;
    for (std::size_t skipped = 0; skipped < wav_header_size && std::fgetc(file) != EOF;)
        ++skipped;
    while ((byte = std::fgetc(file)) != EOF)
        samples.push_back(centred(byte));
    return samples;
}

std::uint32_t lead_in_samples(std::uint32_t rate)
{
    return samples_at(opening_silence_cycles, rate) +
           static_cast<std::uint32_t>(tone_periods) * tone_period_samples_at(rate) +
           samples_at(closing_silence_cycles, rate);
}

double peak_of(const std::vector<float> &samples)
{
    double peak = 0;
    for (float x : samples)
        peak = std::max(peak, static_cast<double>(std::fabs(x)));
    return peak;
}

// Zero-mean: what the signal's swing carries, whatever its DC.
double mean_power(const std::vector<float> &samples, std::size_t from, std::size_t to)
{
    double sum = 0, squares = 0;
    for (std::size_t i = from; i < to; ++i) {
        sum += samples[i];
        squares += static_cast<double>(samples[i]) * samples[i];
    }
    const double count = static_cast<double>(to - from);
    const double mean = sum / count;
    return squares / count - mean * mean;
}

std::uint64_t data_samples_of(const std::vector<std::uint8_t> &image)
{
    std::uint64_t samples = 0;
    for (auto byte : image)
        samples += byte_samples(byte);
    return samples;
}

// A tmpfile vanishes when it is closed, so the samples are read back before: closing the
// converter's way would only patch the header's lengths, which nothing here reads.
std::vector<float> converted_samples(const std::vector<std::uint8_t> &image, filter_state &at_data)
{
    FILE *file = std::tmpfile();
    if (!file)
        throw std::runtime_error("cannot create a scratch file");
    init_wav(file);
    at_data = {lp_accu, hp_accu};
    for (auto byte : image)
        output_wav_byte(file, byte);
    output_pad(file);
    write_pending_samples(file);
    std::vector<float> samples = samples_after_header(file);
    std::fclose(file);
    return samples;
}

converted_signal convert(const std::vector<std::uint8_t> &image, std::uint32_t rate)
{
    start_conversion(rate);
    converted_signal signal{rate, image, {}, 0, 0, {0, 0}, 0, 0};
    signal.samples = converted_samples(image, signal.at_data);
    if (signal.samples.size() != signal_samples(data_samples_of(image)))
        throw std::runtime_error("the conversion's length is not the one its timing gives");
    signal.data_start = p_pad_samples + lead_in_samples(rate);
    signal.data_end = signal.samples.size() - p_pad_samples;
    signal.peak = peak_of(signal.samples);
    signal.data_power = mean_power(signal.samples, signal.data_start, signal.data_end);
    return signal;
}

// The converter's order: bits 1 to 6 in the first six cells, bit 0 in the last.
int bit_position(int cell)
{
    return cell < cells_per_byte - 1 ? cell + 1 : 0;
}

struct cell_hypotheses {
    std::size_t start;           // in the clean signal
    std::size_t length;          // of the cell that was sent
    std::vector<float> shape[2]; // the clean output for a 0 and for a 1
};

// The converter's own cell, run through its own filter from `from`, caught before it reaches
// any file: one cell never fills the pending block.
std::vector<float> filtered_cell(filter_state from, bool last, int bit)
{
    lp_accu = from.lp;
    hp_accu = from.hp;
    pending_samples.used = 0;
    (last ? dump_last_bit : dump_bit)(nullptr, bit);
    std::vector<float> shape(pending_samples.used);
    for (std::size_t i = 0; i < shape.size(); ++i)
        shape[i] = centred(pending_samples.bytes[i]);
    return shape;
}

// A timing or a state that differs from the conversion's would make the detector's figures
// worthless, so the shape of every cell sent must be the very samples converted.
void expect_converted(const converted_signal &signal, const cell_hypotheses &cell, int bit)
{
    const auto &shape = cell.shape[bit];
    if (shape.size() != cell.length || cell.start + shape.size() > signal.data_end ||
        !std::equal(shape.begin(), shape.end(),
                    signal.samples.begin() + static_cast<std::ptrdiff_t>(cell.start)))
        throw std::runtime_error("a cell's shape differs from the converted signal");
}

std::vector<cell_hypotheses> cells_of(const converted_signal &signal)
{
    start_conversion(signal.rate);
    std::vector<cell_hypotheses> cells;
    filter_state state = signal.at_data;
    std::size_t start = signal.data_start;
    for (auto byte : signal.image) {
        for (int cell = 0; cell < cells_per_byte; ++cell) {
            const bool last = cell == cells_per_byte - 1;
            const int bit = (byte >> bit_position(cell)) & 1;
            cell_hypotheses hypotheses{start, cell_samples_at(last, bit, signal.rate), {}};
            hypotheses.shape[1 - bit] = filtered_cell(state, last, 1 - bit);
            hypotheses.shape[bit] = filtered_cell(state, last, bit);
            state = {lp_accu, hp_accu};
            expect_converted(signal, hypotheses, bit);
            start += hypotheses.length;
            cells.push_back(std::move(hypotheses));
        }
    }
    return cells;
}

struct biquad {
    double b0, b1, b2, a1, a2;
    double s1 = 0, s2 = 0;

    double step(double x)
    {
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        return y;
    }
};

double through(std::vector<biquad> &filters, double x)
{
    for (auto &filter : filters)
        x = filter.step(x);
    return x;
}

struct received_signal {
    std::vector<float> samples;
    // What the detector is told of the channel, all that it does to the signal itself: its
    // filters at rest, its gain at each received sample (none given: 1), and the silence it
    // inserted before the clean sample `inserted_at`. What it adds (noise, hum, DC, pops)
    // stays unknown, as it would to any decoder.
    std::vector<biquad> filters = {};
    std::vector<float> gain = {};
    std::size_t inserted_at = 0;
    std::size_t inserted = 0;
};

std::size_t received_position(const received_signal &r, std::size_t clean)
{
    return clean < r.inserted_at ? clean : clean + r.inserted;
}

// The channel's filters follow the clean signal cell by cell, so that both shapes of a cell
// meet them as the cells sent before it left them.
class channel_follower {
  public:
    channel_follower(const std::vector<float> &clean_signal, const std::vector<biquad> &at_rest)
        : clean(clean_signal), filters(at_rest)
    {
    }

    // The shape as it would arrive at `start`, had the channel added nothing to it.
    std::vector<double> arriving(const std::vector<float> &shape, std::size_t start)
    {
        for (; fed < start; ++fed)
            through(filters, clean[fed]);
        std::vector<biquad> from_start = filters;
        std::vector<double> arrived(shape.size());
        for (std::size_t i = 0; i < shape.size(); ++i)
            arrived[i] = through(from_start, shape[i]);
        return arrived;
    }

  private:
    const std::vector<float> &clean;
    std::vector<biquad> filters;
    std::size_t fed = 0;
};

int nearer_bit(const cell_hypotheses &cell, const received_signal &r, channel_follower &channel)
{
    const std::vector<double> expected[2] = {channel.arriving(cell.shape[0], cell.start),
                                             channel.arriving(cell.shape[1], cell.start)};
    const std::size_t from = received_position(r, cell.start);
    const std::size_t length = std::min(expected[0].size(), expected[1].size());
    double distance[2] = {0, 0};
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t at = from + i;
        const double heard = at < r.samples.size() ? r.samples[at] : 0.0;
        const double gain = at < r.gain.size() ? r.gain[at] : 1.0;
        for (int bit = 0; bit < 2; ++bit) {
            const double miss = heard - gain * expected[bit][i];
            distance[bit] += miss * miss;
        }
    }
    return distance[1] < distance[0] ? 1 : 0;
}

std::vector<std::uint8_t> ideal_bytes(const converted_signal &signal,
                                      const std::vector<cell_hypotheses> &cells,
                                      const received_signal &r)
{
    channel_follower channel(signal.samples, r.filters);
    std::vector<std::uint8_t> bytes(cells.size() / cells_per_byte, 0);
    for (std::size_t c = 0; c < cells.size(); ++c) {
        const int cell = static_cast<int>(c % cells_per_byte);
        bytes[c / cells_per_byte] |=
            static_cast<std::uint8_t>(nearer_bit(cells[c], r, channel) << bit_position(cell));
    }
    return bytes;
}

pulse_decoder check_decoder(const std::vector<float> &samples, std::uint32_t rate)
{
    pulse_decoder decoder;
    start_decoding(decoder, rate);
    for (std::size_t at = 0; at < samples.size(); at += frames_per_block)
        decode_samples(decoder, samples.data() + at,
                       std::min(frames_per_block, samples.size() - at));
    finish_decoding(decoder);
    return decoder;
}

// By index: a byte lost or added shifts nothing, it only counts once.
std::uint64_t byte_errors(const std::vector<std::uint8_t> &sent,
                          const std::vector<std::uint8_t> &read)
{
    const std::size_t common = std::min(sent.size(), read.size());
    std::uint64_t errors = std::max(sent.size(), read.size()) - common;
    for (std::size_t i = 0; i < common; ++i)
        errors += sent[i] != read[i];
    return errors;
}

struct check_outcome {
    bool lead_in_found;
    std::uint64_t errors;
};

// As the check compares with -i: across a dropout that took whole bytes away, the bytes after
// it against the image's bytes they are.
std::uint64_t compared_errors(const std::vector<std::uint8_t> &sent, const pulse_decoder &d)
{
    comparison c;
    c.possible_losses = possible_losses(d);
    if (compare_image_bytes(c, sent.data(), sent.size(), d.bytes)) {
        finish_comparison(c, d.bytes);
        return c.mismatches;
    }
    // The comparison stopped at the first image byte past the recovered ones.
    return c.mismatches - 1 + sent.size() - (c.image_bytes - 1);
}

check_outcome check_read(const converted_signal &signal, const received_signal &r)
{
    const pulse_decoder decoder = check_decoder(r.samples, signal.rate);
    if (!decoder.lead_in_found)
        return {false, signal.image.size()};
    return {true, compared_errors(signal.image, decoder)};
}

double ratio_of_db(double db)
{
    return std::pow(10.0, db / 20);
}

std::size_t middle_of_data(const converted_signal &s)
{
    return (s.data_start + s.data_end) / 2;
}

std::size_t samples_in_ms(const converted_signal &s, double ms)
{
    return static_cast<std::size_t>(std::lround(s.rate * ms / 1000));
}

// Box-Muller over the standard's fixed 64-bit engine, so that the noise is the same with any
// standard library.
class gaussian_source {
  public:
    explicit gaussian_source(std::seed_seq &seeds) : bits(seeds) {}

    double next()
    {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double radius = std::sqrt(-2 * std::log(uniform()));
        const double angle = 2 * pi * uniform();
        spare = radius * std::sin(angle);
        has_spare = true;
        return radius * std::cos(angle);
    }

  private:
    // In (0, 1): never 0, whose logarithm has no value.
    double uniform() { return (static_cast<double>(bits() >> 11) + 0.5) * 0x1p-53; }

    std::mt19937_64 bits;
    bool has_spare = false;
    double spare = 0;
};

received_signal with_white_noise(const converted_signal &s, double snr_db, std::uint32_t seed)
{
    std::seed_seq seeds{seed, s.rate, static_cast<std::uint32_t>(std::lround(snr_db * 10 + 1000))};
    gaussian_source noise(seeds);
    const double sigma = std::sqrt(s.data_power / std::pow(10.0, snr_db / 10));
    received_signal r{s.samples};
    for (auto &x : r.samples)
        x = static_cast<float>(x + sigma * noise.next());
    return r;
}

std::vector<double> hum_wave(std::size_t length, double mains, double rate)
{
    constexpr double harmonics[][2] = {{1, 1.0}, {2, 0.5}, {3, 0.3}, {5, 0.2}};
    std::vector<double> hum(length, 0.0);
    for (std::size_t i = 0; i < length; ++i)
        for (const auto &[multiple, amplitude] : harmonics)
            hum[i] +=
                amplitude * std::sin(2 * pi * multiple * mains * static_cast<double>(i) / rate);
    return hum;
}

received_signal with_hum(const converted_signal &s, double mains, double db)
{
    const std::vector<double> hum = hum_wave(s.samples.size(), mains, s.rate);
    double hum_peak = 0;
    for (double h : hum)
        hum_peak = std::max(hum_peak, std::fabs(h));
    const double scale = s.peak * ratio_of_db(db) / hum_peak;
    received_signal r{s.samples};
    for (std::size_t i = 0; i < hum.size(); ++i)
        r.samples[i] = static_cast<float>(r.samples[i] + scale * hum[i]);
    return r;
}

// The audio cookbook's allpass: unity gain everywhere, half a turn of phase at `hertz`.
biquad allpass(double hertz, double rate, double q)
{
    const double w0 = 2 * pi * hertz / rate;
    const double alpha = std::sin(w0) / (2 * q);
    const double a0 = 1 + alpha;
    const double cos_w0 = std::cos(w0);
    return {(1 - alpha) / a0, -2 * cos_w0 / a0, 1, -2 * cos_w0 / a0, (1 - alpha) / a0};
}

received_signal through_allpasses(const converted_signal &s, double hertz, int count)
{
    constexpr double allpass_q = 0.7;
    received_signal r{s.samples};
    r.filters.assign(static_cast<std::size_t>(count), allpass(hertz, s.rate, allpass_q));
    std::vector<biquad> filters = r.filters;
    for (auto &x : r.samples)
        x = static_cast<float>(through(filters, x));
    return r;
}

received_signal with_level_dip(const converted_signal &s, double db)
{
    constexpr double dip_ms = 20;
    const auto gain = static_cast<float>(ratio_of_db(db));
    received_signal r{s.samples};
    r.gain.assign(s.samples.size(), 1.0f);
    const std::size_t from = middle_of_data(s);
    for (std::size_t i = from; i < from + samples_in_ms(s, dip_ms); ++i) {
        r.samples[i] *= gain;
        r.gain[i] = gain;
    }
    return r;
}

received_signal with_dc_step(const converted_signal &s, double fraction_of_peak)
{
    const double step = fraction_of_peak * s.peak;
    received_signal r{s.samples};
    for (std::size_t i = middle_of_data(s); i < r.samples.size(); ++i)
        r.samples[i] = static_cast<float>(r.samples[i] + step);
    return r;
}

received_signal with_one_sample_pop(const converted_signal &s, double sign)
{
    received_signal r{s.samples};
    r.samples[middle_of_data(s)] = static_cast<float>(sign * s.peak);
    return r;
}

// Down to a hundredth of its height by the end of its millisecond.
received_signal with_click(const converted_signal &s)
{
    constexpr double click_ms = 1;
    const std::size_t length = samples_in_ms(s, click_ms);
    const double decay = std::log(100.0) / static_cast<double>(length);
    received_signal r{s.samples};
    const std::size_t from = middle_of_data(s);
    for (std::size_t i = 0; i < length; ++i)
        r.samples[from + i] = static_cast<float>(
            r.samples[from + i] + s.peak * std::exp(-decay * static_cast<double>(i)));
    return r;
}

received_signal with_underrun(const converted_signal &s, double ms)
{
    received_signal r{s.samples};
    r.inserted_at = middle_of_data(s);
    r.inserted = samples_in_ms(s, ms);
    r.samples.insert(r.samples.begin() + static_cast<std::ptrdiff_t>(r.inserted_at), r.inserted,
                     0.0f);
    return r;
}

// A tape's dropout: the signal gone for a while, the cells under it lost.
received_signal with_tape_dropout(const converted_signal &s, double ms)
{
    received_signal r{s.samples};
    r.gain.assign(s.samples.size(), 1.0f);
    const std::size_t from = middle_of_data(s);
    for (std::size_t i = from; i < from + samples_in_ms(s, ms); ++i) {
        r.samples[i] = 0.0f;
        r.gain[i] = 0.0f;
    }
    return r;
}

// As a 16-bit file reads back: full scale is 32768, rounded to the nearest step.
float quantised_16(double x)
{
    const double step = std::clamp(std::round(x * 32768), -32768.0, 32767.0);
    return static_cast<float>(step / 32768);
}

received_signal at_level(const converted_signal &s, double dbfs)
{
    const double gain = ratio_of_db(dbfs) / s.peak;
    received_signal r{s.samples};
    r.gain.assign(s.samples.size(), static_cast<float>(gain));
    for (auto &x : r.samples)
        x = quantised_16(x * gain);
    return r;
}

using channel_model = std::function<received_signal(const converted_signal &, std::uint32_t seed)>;

struct sweep_point {
    std::string name;
    channel_model apply;
};

struct channel {
    std::string title;
    std::vector<sweep_point> points;
};

std::string value_name(double value, const char *unit)
{
    char name[32];
    std::snprintf(name, sizeof name, "%g %s", value, unit);
    return name;
}

channel white_noise_channel()
{
    channel c{"White Gaussian noise: SNR against the mean power of the data", {}};
    // Below 0 dB too, where the ideal detector's first errors come.
    for (double snr : {20, 15, 12, 10, 8, 6, 5, 4, 3, 2, 1, 0, -1, -2, -3})
        c.points.push_back(
            {value_name(snr, "dB"), [snr](const converted_signal &s, std::uint32_t seed) {
                 return with_white_noise(s, snr, seed);
             }});
    return c;
}

channel hum_channel()
{
    channel c{"Mains hum with its 2nd, 3rd and 5th harmonics: peak against the signal's", {}};
    for (double mains : {50, 60})
        for (double db : {-20, -10, -6, 0})
            c.points.push_back({value_name(mains, "Hz ") + value_name(db, "dB"),
                                [mains, db](const converted_signal &s, std::uint32_t) {
                                    return with_hum(s, mains, db);
                                }});
    return c;
}

channel allpass_channel()
{
    channel c{"Allpass, Q 0.7: the phase turned, the level untouched", {}};
    for (double hertz : {300, 500, 700, 1000, 3000, 6000})
        c.points.push_back(
            {value_name(hertz, "Hz"), [hertz](const converted_signal &s, std::uint32_t) {
                 return through_allpasses(s, hertz, 1);
             }});
    const struct {
        int count;
        double hertz;
    } chains[] = {{2, 1000}, {2, 1500}, {3, 1000}, {3, 2000}};
    for (const auto &chain : chains)
        c.points.push_back({std::to_string(chain.count) + " x " + value_name(chain.hertz, "Hz"),
                            [chain](const converted_signal &s, std::uint32_t) {
                                return through_allpasses(s, chain.hertz, chain.count);
                            }});
    return c;
}

channel level_dip_channel()
{
    channel c{"Level dips of 20 ms in the middle of the data", {}};
    for (double db : {-6, -12, -20})
        c.points.push_back({value_name(db, "dB"), [db](const converted_signal &s, std::uint32_t) {
                                return with_level_dip(s, db);
                            }});
    return c;
}

channel dc_step_channel()
{
    channel c{"DC steps in the middle of the data, staying: height against the signal's peak", {}};
    for (double fraction : {0.25, 0.5, 1.0})
        c.points.push_back(
            {value_name(fraction, "x peak"), [fraction](const converted_signal &s, std::uint32_t) {
                 return with_dc_step(s, fraction);
             }});
    return c;
}

channel pop_channel()
{
    channel c{"Pops in the middle of the data", {}};
    c.points.push_back({"1 sample at +peak", [](const converted_signal &s, std::uint32_t) {
                            return with_one_sample_pop(s, 1);
                        }});
    c.points.push_back({"1 sample at -peak", [](const converted_signal &s, std::uint32_t) {
                            return with_one_sample_pop(s, -1);
                        }});
    c.points.push_back({"1 ms click from peak",
                        [](const converted_signal &s, std::uint32_t) { return with_click(s); }});
    return c;
}

channel underrun_channel()
{
    channel c{"Player underruns: silence inserted in the middle of the data", {}};
    for (double ms : {10, 30, 50})
        c.points.push_back({value_name(ms, "ms"), [ms](const converted_signal &s, std::uint32_t) {
                                return with_underrun(s, ms);
                            }});
    return c;
}

channel tape_dropout_channel()
{
    channel c{"Tape dropouts: the signal gone in the middle of the data, its cells lost", {}};
    for (double ms : {2, 5, 20, 50, 200})
        c.points.push_back({value_name(ms, "ms"), [ms](const converted_signal &s, std::uint32_t) {
                                return with_tape_dropout(s, ms);
                            }});
    return c;
}

channel quiet_channel()
{
    channel c{"Quiet recordings: peak scaled, then quantised to 16 bits", {}};
    for (double dbfs : {-40, -50, -60})
        c.points.push_back(
            {value_name(dbfs, "dBFS"),
             [dbfs](const converted_signal &s, std::uint32_t) { return at_level(s, dbfs); }});
    return c;
}

std::vector<channel> all_channels()
{
    return {white_noise_channel(), hum_channel(), allpass_channel(),  level_dip_channel(),
            dc_step_channel(),     pop_channel(), underrun_channel(), tape_dropout_channel(),
            quiet_channel()};
}

// One image converted, with the detector's hypotheses for each of its cells.
struct prepared_signal {
    std::uint32_t seed;
    converted_signal signal;
    std::vector<cell_hypotheses> cells;
};

std::vector<prepared_signal> prepare_signals(std::uint32_t rate)
{
    std::vector<prepared_signal> prepared;
    for (std::uint32_t seed = 1; seed <= seed_count; ++seed) {
        converted_signal signal = convert(random_image(image_size, seed), rate);
        std::vector<cell_hypotheses> cells = cells_of(signal);
        prepared.push_back({seed, std::move(signal), std::move(cells)});
    }
    return prepared;
}

struct point_result {
    std::uint64_t bytes = 0, check_errors = 0, ideal_errors = 0;
    std::uint32_t seeds = 0, clean_seeds = 0, lead_ins_found = 0;
};

point_result measure(const sweep_point &point, const std::vector<prepared_signal> &signals)
{
    point_result result;
    for (const auto &p : signals) {
        const received_signal r = point.apply(p.signal, p.seed);
        const check_outcome check = check_read(p.signal, r);
        result.bytes += p.signal.image.size();
        result.check_errors += check.errors;
        result.ideal_errors += byte_errors(p.signal.image, ideal_bytes(p.signal, p.cells, r));
        result.seeds += 1;
        result.clean_seeds += check.errors == 0;
        result.lead_ins_found += check.lead_in_found;
    }
    return result;
}

std::string error_rate(std::uint64_t errors, std::uint64_t bytes)
{
    if (errors == 0)
        return "0";
    char text[48];
    std::snprintf(text, sizeof text, "%.2e (%llu)",
                  static_cast<double>(errors) / static_cast<double>(bytes),
                  static_cast<unsigned long long>(errors));
    return text;
}

std::string out_of(std::uint32_t count, std::uint32_t seeds)
{
    return std::to_string(count) + "/" + std::to_string(seeds);
}

void print_table_head(const channel &c)
{
    std::printf("\n%s\n", c.title.c_str());
    std::printf("  %-22s | %5s | %-18s | %-17s | %-13s | %s\n", "point", "rate", "check BER",
                "check clean seeds", "lead-in found", "ideal BER");
}

void print_row(const std::string &point, std::uint32_t rate, const point_result &r)
{
    std::printf("  %-22s | %5u | %-18s | %-17s | %-13s | %s\n", point.c_str(), rate,
                error_rate(r.check_errors, r.bytes).c_str(), out_of(r.clean_seeds, r.seeds).c_str(),
                out_of(r.lead_ins_found, r.seeds).c_str(),
                error_rate(r.ideal_errors, r.bytes).c_str());
}

void run_sweep(const std::vector<std::vector<prepared_signal>> &signals_by_rate)
{
    for (const channel &c : all_channels()) {
        print_table_head(c);
        for (const sweep_point &point : c.points)
            for (std::size_t r = 0; r < signals_by_rate.size(); ++r)
                print_row(point.name, sweep_rates[r], measure(point, signals_by_rate[r]));
        std::fflush(stdout);
    }
}

constexpr std::uint32_t speed_rate = 48000;
constexpr std::uint32_t speed_seconds = 60;
constexpr int speed_runs = 3;
constexpr double other_channel_noise = 0.001; // -60 dBFS rms: a channel left unplugged

// The longest prefix of `image` whose signal still fits in `samples`.
std::vector<std::uint8_t> image_fitting(std::vector<std::uint8_t> image, std::uint64_t samples)
{
    start_conversion(speed_rate);
    std::uint64_t data = 0;
    std::size_t fitting = 0;
    while (fitting < image.size() && signal_samples(data + byte_samples(image[fitting])) <= samples)
        data += byte_samples(image[fitting++]);
    image.resize(fitting);
    return image;
}

// A 16-bit stereo recording read as the command line reads one: interleaved floats.
std::vector<float> stereo_recording(const converted_signal &signal, std::size_t frames)
{
    std::seed_seq seeds{speed_rate, speed_seconds};
    gaussian_source noise(seeds);
    std::vector<float> interleaved(2 * frames, 0.0f);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = i < signal.samples.size() ? quantised_16(signal.samples[i]) : 0.0f;
        interleaved[2 * i + 1] = quantised_16(other_channel_noise * noise.next());
    }
    return interleaved;
}

struct speed_run {
    double cpu_seconds;
    std::vector<std::uint8_t> bytes; // read from the signal's channel
};

// As the command line does it: block by block through the check, which splits each into its
// channels, counts the clipped samples and decodes each channel on its own.
speed_run decode_stereo(const std::vector<float> &interleaved)
{
    const std::clock_t started = std::clock();
    static check_session session;
    const recording_facts facts{"speed", "32 bit float", static_cast<int>(speed_rate), 2};
    start_check(session, facts, 1.0, 0, -1);
    const std::size_t frames = interleaved.size() / 2;
    for (std::size_t at = 0; at < frames; at += frames_per_block)
        check_frames(session, interleaved.data() + 2 * at, std::min(frames_per_block, frames - at));
    finish_check(session);
    const double cpu = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
    return {cpu, reported_program(session).bytes};
}

void run_speed()
{
    const std::size_t frames = std::size_t{speed_rate} * speed_seconds;
    const converted_signal signal =
        convert(image_fitting(random_image(frames / 400, seed_count + 1), frames), speed_rate);
    const std::vector<float> recording = stereo_recording(signal, frames);
    std::vector<double> seconds;
    bool read_whole = true;
    for (int run = 0; run < speed_runs; ++run) {
        const speed_run result = decode_stereo(recording);
        seconds.push_back(result.cpu_seconds);
        read_whole = read_whole && byte_errors(signal.image, result.bytes) == 0;
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("\nDecoder speed: %u s of 16-bit stereo at %u Hz (%zu bytes on one channel, "
                "noise at -60 dBFS on the other), median of %d runs\n",
                speed_seconds, speed_rate, signal.image.size(), speed_runs);
    std::printf("  %.3f s of CPU: %.1f x real time; every byte read back: %s\n", median,
                speed_seconds / median, read_whole ? "yes" : "NO");
}

} // namespace

// With --speed, only the speed is measured.
int main(int argc, char *argv[])
{
    if (argc > 1 && std::string(argv[1]) == "--speed") {
        run_speed();
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    std::printf("The check's decoder against the ideal detector: %zu-byte images of 7-bit bytes, "
                "seeds 1..%u, gain %d, 0.5 s of pad at each end\n",
                image_size, seed_count, conversion_gain);
    std::printf("BER: wrong, missing or extra bytes over all bytes sent (errors in brackets); "
                "clean seeds: seeds the check read without an error\n");
    std::vector<std::vector<prepared_signal>> signals_by_rate;
    for (std::uint32_t rate : sweep_rates)
        signals_by_rate.push_back(prepare_signals(rate));
    run_sweep(signals_by_rate);
    run_speed();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\nThe sweep took %.0f s\n", elapsed);
    return 0;
}
