#include "check/check_report.h"

#include "tape/machine_timing.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>

namespace {

// Below this timing margin a decode that no image confirms is not trusted.
constexpr double thin_margin = 0.35;
// Hum this loud against the pulses moves their edges; noise this close to them makes and
// hides pulses.
constexpr double loud_hum_db = -20;
constexpr double loud_noise_db = -25;
// The pulses of a byte at least must agree with the tone on the way the signal goes.
constexpr std::uint64_t polarity_evidence = cells_per_byte;
// One sample in this many at full scale flattens enough pulses to matter.
constexpr std::uint64_t clipped_share = 1000;
// Rates whose durations disagree by less than this fit alike.
constexpr double alike_spread = 0.001;
// The player's speed is worth a note from this far off.
constexpr double noted_speed = 0.01;
// Quieter than this is nothing but a sound card's own noise, or a 16-bit file's dither.
constexpr double silent_peak = 0.0001;
// Below this peak, about -30 dBFS, the pulses still decode, with less margin against noise.
constexpr double low_peak = 0.03;
constexpr std::size_t dropouts_listed = 3;
constexpr std::size_t weakest_listed = 3;
// After a dropout, this many bytes are compared to tell how many whole bytes it took away, and
// at most this many are looked for: the data goes on only after a dropout of under 200 cells.
constexpr std::size_t loss_evidence = 16;
constexpr std::uint64_t most_bytes_lost = 32;

[[gnu::format(printf, 1, 2)]] std::string printed(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

double seconds(const recording_facts &f, double sample)
{
    return sample / f.rate;
}

// Rounded as printf rounds to one decimal, without the minus sign of a rounded-away -0.04.
double tenths(double value)
{
    return std::round(value * 10) / 10 + 0.0;
}

double db(double ratio)
{
    return 20 * std::log10(ratio);
}

std::string plural(std::uint64_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The speeds that each conversion rate's tone and cells give, and how far they disagree: the
// rate whose durations all agree on one speed is the one the file was made at. The speed
// itself is taken from the cells, thousands of them end to end, where they were heard: a
// tone period's edge may sit anywhere in a sample, and ten periods don't average that away.
struct rate_fit {
    double speed;
    double spread;
};

rate_fit fit_rate(const recording_facts &f, const pulse_decoder &d, std::uint32_t rate)
{
    const double made_tone = static_cast<double>(tone_period_samples_at(rate)) / rate;
    const double tone_speed = made_tone / (d.tone_period / f.rate);
    double low = tone_speed, high = tone_speed, made = 0, heard = 0;
    for (int last = 0; last < 2; ++last) {
        for (int bit = 0; bit < 2; ++bit) {
            const auto count = static_cast<double>(d.cell_length_count[last][bit]);
            if (count == 0)
                continue;
            const double made_cells = count * cell_samples_at(last, bit, rate) / rate;
            const double heard_cells = d.cell_length_sum[last][bit] / f.rate;
            low = std::min(low, made_cells / heard_cells);
            high = std::max(high, made_cells / heard_cells);
            made += made_cells;
            heard += heard_cells;
        }
    }
    // With the tone alone, the likeliest rate is the one that needs the least change of speed.
    if (heard == 0)
        return {tone_speed, std::fabs(std::log(tone_speed))};
    return {made / heard, high / low - 1};
}

speed_reading read_speed(const recording_facts &f, const pulse_decoder &d)
{
    speed_reading best;
    if (!d.lead_in_found)
        return best;
    double best_spread = INFINITY;
    for (std::uint32_t rate : conversion_rates) {
        const rate_fit fit = fit_rate(f, d, rate);
        // Where two rates fit alike (an image of few kinds of cells), the player more likely
        // runs at its speed than off it.
        const bool alike = std::fabs(fit.spread - best_spread) < alike_spread;
        if (alike ? std::fabs(std::log(fit.speed)) < std::fabs(std::log(best.speed))
                  : fit.spread < best_spread) {
            best_spread = std::min(best_spread, fit.spread);
            best = {fit.speed, rate};
        }
    }
    return best;
}

double signal_height(const pulse_decoder &d)
{
    if (d.data_pulses > 0)
        return d.pulse_height_sum / static_cast<double>(d.data_pulses);
    return d.peak >= silent_peak ? d.peak : 0;
}

double noise_rms(const pulse_decoder &d)
{
    return d.quiet_samples > 0 ? std::sqrt(d.quiet_power / static_cast<double>(d.quiet_samples))
                               : 0;
}

bool ends_mid_byte(const pulse_decoder &d)
{
    return d.cells % cells_per_byte != 0;
}

// Where pulses are missing or stop, a machine loses its place, however well the decoder found
// it again.
void add_gaps(const recording_facts &f, const pulse_decoder &d, std::vector<std::string> &reasons)
{
    if (d.lost_pulses > 0)
        reasons.push_back(plural(d.lost_pulses, "pulse is", "pulses are") + " missing");
    if (d.dropout_count > 0)
        reasons.push_back(printed("the pulses stop for %.0f ms at %.3f s (byte %llu)%s",
                                  1000 * seconds(f, d.dropouts[0].end - d.dropouts[0].start),
                                  seconds(f, d.dropouts[0].start),
                                  static_cast<unsigned long long>(d.dropouts[0].byte),
                                  d.dropout_count > 1 ? ", and elsewhere" : ""));
}

// Every sign that the bytes after a lead-in can't be taken on trust without an image.
std::vector<std::string> unclean_decode(const recording_facts &f, const pulse_decoder &d)
{
    std::vector<std::string> reasons;
    if (d.nonfinite > 0)
        reasons.push_back(plural(d.nonfinite, "sample is", "samples are") +
                          " not a number (NaN or infinite)");
    if (d.bytes.empty())
        reasons.push_back("no byte follows the lead-in");
    if (d.end == data_end::running)
        reasons.push_back("the recording ends during the data, with no silence after it");
    else if (ends_mid_byte(d))
        reasons.push_back("the data ends in the middle of a byte");
    add_gaps(f, d, reasons);
    if (d.extra_pulses > 0)
        reasons.push_back(plural(d.extra_pulses, "pulse comes", "pulses come") +
                          " where no cell has one");
    if (d.signal_after_end)
        reasons.push_back(printed("more signal follows the end of the data at %.3f s, unread",
                                  seconds(f, d.resumed_from)));
    if (d.cells > 0 && d.worst_margin < thin_margin)
        reasons.push_back(printed("the timing margin, %.0f%%, is below %.0f%%",
                                  100 * d.worst_margin, 100 * thin_margin));
    return reasons;
}

std::string lost_text(const recording_facts &f, const lost_bytes &lost)
{
    return printed("%s lost at %.3f s (after byte %llu)",
                   plural(lost.count, "byte", "bytes").c_str(), seconds(f, lost.sample),
                   static_cast<unsigned long long>(lost.after));
}

std::vector<std::string> fail_reasons(const recording_facts &f, const pulse_decoder &d,
                                      const comparison &c)
{
    if (!d.lead_in_found)
        return {"no lead-in tone was found"};
    if (!c.made)
        return unclean_decode(f, d);
    std::vector<std::string> reasons;
    const std::uint64_t differing = c.mismatches - c.lost_count - (c.image_longer ? 1 : 0);
    for (const lost_bytes &lost : c.lost)
        reasons.push_back(lost_text(f, lost));
    if (differing > 0)
        reasons.push_back(plural(differing, "byte differs", "bytes differ") + " from the image");
    if (c.image_longer)
        reasons.push_back("the image holds more bytes than were recovered");
    // The decoder hears across gaps that a machine can't: bytes that match prove the recording
    // holds the image, not that it loads.
    add_gaps(f, d, reasons);
    return reasons;
}

std::string lossy_text(const recording_facts &f, const char *fix)
{
    return "lossy format: " + f.format + " reshapes the pulses; " + fix;
}

std::string clipped_text(const recording_facts &f, const char *fix)
{
    return "clipped: " + plural(f.clipped, "sample", "samples") + " at full scale; " + fix;
}

void signal_causes(const recording_facts &f, const pulse_decoder &d, judgement &j)
{
    if (d.peak < silent_peak) {
        j.causes.push_back("no signal: the recording is silent; check the cable, and that the "
                           "player was playing while it recorded");
    } else if (d.peak < quietest_signal) {
        j.causes.push_back(printed("too quiet: the peak is %.1f dBFS, below the %.0f dBFS the "
                                   "check needs; raise the player's volume or the recording level",
                                   db(d.peak), db(quietest_signal)));
    }
    const hum_reading hum = loudest_hum(d);
    if (j.signal > 0 && hum.amplitude > 0 && db(hum.amplitude / j.signal) > loud_hum_db)
        j.causes.push_back(printed("hum: %.0f Hz at %.0f dB against the signal; run the player "
                                   "on its battery, or break the ground loop between the "
                                   "two machines",
                                   hum.hertz, db(hum.amplitude / j.signal)));
    if (j.noise > 0 && db(j.noise / j.signal) > loud_noise_db)
        j.causes.push_back(printed("noise: %.0f dB against the signal; raise the player's "
                                   "volume, and use a shorter or shielded cable",
                                   db(j.noise / j.signal)));
    if (f.lossy)
        j.causes.push_back(lossy_text(f, "record to WAVE or FLAC"));
    if (f.clipped * clipped_share >= d.samples && f.clipped > 0)
        j.causes.push_back(clipped_text(f, "lower the player's volume or the recording level"));
}

void timing_causes(const recording_facts &f, const pulse_decoder &d, const comparison &c,
                   judgement &j)
{
    if (!d.lead_in_found && starts_inside_signal(d))
        j.causes.push_back("start cut: the recording starts inside the signal; start recording "
                           "before the player, or convert with --pad 1");
    // At 8000 every 1 is a gap in the pulses: the rate explains them.
    const bool made_at_8000 = d.lead_in_found && j.speed.converted_at == lowest_conversion_rate;
    const std::uint64_t dropouts = made_at_8000 ? 0 : d.dropout_count;
    for (std::size_t i = 0; i < std::min<std::uint64_t>(dropouts, dropouts_listed); ++i)
        j.causes.push_back(printed("dropout at %.3f s (byte %llu): no pulses for %.0f ms, then "
                                   "more; check the cable's plugs, and keep other apps off the "
                                   "player",
                                   seconds(f, d.dropouts[i].start),
                                   static_cast<unsigned long long>(d.dropouts[i].byte),
                                   1000 * seconds(f, d.dropouts[i].end - d.dropouts[i].start)));
    if (dropouts > dropouts_listed)
        j.causes.push_back("dropout: " + std::to_string(dropouts - dropouts_listed) +
                           " more like these");
    // With an image that has no more bytes than came back, the recording held them all.
    if (d.end == data_end::running && (!c.made || c.image_longer))
        j.causes.push_back(
            printed("ends during the data: the recording stops %.0f ms after the "
                    "last pulse; record until the player has stopped (a file "
                    "zkt2wav made ends this way: check it with -i)",
                    1000 * seconds(f, static_cast<double>(d.samples) - d.last_pulse)));
    if (made_at_8000)
        j.causes.push_back("made at 8000 Hz: a 1's pulses are shorter than a sample and vanish; "
                           "convert at 44100 or 48000");
    else if (f.rate == lowest_conversion_rate)
        j.causes.push_back("recorded at 8000 Hz, too coarse for the pulses; record at 44100 or "
                           "48000");
}

// What a machine may mind in a recording that decoded: advice where the decode can be trusted.
void add_notes(const recording_facts &f, const pulse_decoder &d, judgement &j)
{
    if (d.lead_in_found && d.inverted && j.polarity_sure)
        j.notes.push_back("inverted: the pulses go down; if the machine doesn't load, convert "
                          "with --invert");
    if (f.clipped > 0)
        j.notes.push_back(clipped_text(f, "if the machine doesn't load, lower the player's "
                                          "volume or the gain"));
    if (d.lead_in_found && std::fabs(j.speed.speed - 1) >= noted_speed)
        j.notes.push_back(printed("speed: the player runs %.1f%% %s; switch off any speed, pitch "
                                  "or tempo setting, or use another player",
                                  100 * std::fabs(j.speed.speed - 1),
                                  j.speed.speed > 1 ? "fast" : "slow"));
    if (f.lossy)
        j.notes.push_back(lossy_text(f, "keep recordings in WAVE or FLAC"));
    if (d.nonfinite > 0)
        j.notes.push_back(plural(d.nonfinite, "sample is", "samples are") +
                          " not a number (NaN or infinite); the file is damaged");
}

const char *polarity_name(const pulse_decoder &d, const judgement &j)
{
    if (!d.lead_in_found)
        return "unknown";
    if (!j.polarity_sure)
        return "unsure";
    return d.inverted ? "inverted" : "normal";
}

double dc_offset(const pulse_decoder &d)
{
    return d.sum / static_cast<double>(std::max<std::uint64_t>(d.samples, 1));
}

// A name as the user typed it, but no control character can start a line of its own or
// rewrite the terminal: those, and the backslash, are written as escapes.
std::string printable(const std::string &name)
{
    std::string shown;
    for (char ch : name) {
        const auto code = static_cast<unsigned char>(ch);
        if (code < 0x20 || code == 0x7F || ch == '\\')
            shown += printed("\\x%02X", code);
        else
            shown += ch;
    }
    return shown;
}

double first_mismatch_sample(const pulse_decoder &d, const comparison &c)
{
    return c.first_mismatch < d.byte_starts.size()
               ? static_cast<double>(d.byte_starts[static_cast<std::size_t>(c.first_mismatch)])
               : static_cast<double>(d.samples);
}

std::string data_end_text(const recording_facts &f, const pulse_decoder &d)
{
    switch (d.end) {
    case data_end::not_started:
        return "none";
    case data_end::running:
        return "runs to the end of the recording";
    case data_end::silence:
        break;
    }
    return printed("ends in silence at %.3f s%s", seconds(f, d.last_pulse),
                   ends_mid_byte(d) ? ", in the middle of a byte" : "");
}

std::string channel_text(const recording_facts &f)
{
    if (f.channels == 1)
        return "mono";
    return f.channel == 0 ? "stereo, signal on the left" : "stereo, signal on the right";
}

std::string image_text(const pulse_decoder &d, const comparison &c, const recording_facts &f)
{
    if (!c.made)
        return "not compared (no -i): a PASS says the decode was clean, not that the bytes "
               "are the right ones";
    if (c.mismatches == 0)
        return printed("all %llu bytes match in bits 0 to 6",
                       static_cast<unsigned long long>(c.image_bytes));
    std::string lost;
    for (const lost_bytes &l : c.lost)
        lost += lost_text(f, l) + "; ";
    const double at = first_mismatch_sample(d, c);
    const std::string differ = c.image_longer
                                   ? "longer than the " + std::to_string(d.bytes.size()) +
                                         " bytes recovered (read no further); the first difference"
                                   : printed("%llu of %llu bytes differ; the first",
                                             static_cast<unsigned long long>(c.mismatches),
                                             static_cast<unsigned long long>(c.image_bytes));
    return printed("%s%s at byte %llu (%.3f s, sample %.0f)", lost.c_str(), differ.c_str(),
                   static_cast<unsigned long long>(c.first_mismatch), seconds(f, at), at);
}

// What was heard: the recording, the lead-in, the player and the level.
std::vector<std::string> hearing_lines(const recording_facts &f, const pulse_decoder &d,
                                       const judgement &j)
{
    std::vector<std::string> lines;
    lines.push_back(printed("Recording: %s, %d Hz, %s, %s, %.1f s", printable(f.name).c_str(),
                            f.rate, f.format.c_str(), channel_text(f).c_str(),
                            seconds(f, static_cast<double>(d.samples))));
    lines.push_back(d.lead_in_found ? printed("Lead-in: found at %.3f s (sample %.0f)",
                                              seconds(f, d.lead_in_start), d.lead_in_start)
                                    : "Lead-in: not found");
    if (d.lead_in_found)
        lines.push_back(printed("Speed: %+.1f%% (as converted at %u Hz)",
                                tenths(100 * (j.speed.speed - 1)), j.speed.converted_at));
    lines.push_back("Polarity: " + std::string(j.polarity_sure && d.inverted
                                                   ? "inverted (pulses go down)"
                                                   : polarity_name(d, j)));
    lines.push_back(printed("Level: peak %.1f dBFS, %llu samples clipped, DC offset %.1f%% of "
                            "full scale",
                            db(d.peak), static_cast<unsigned long long>(f.clipped),
                            100 * dc_offset(d)));
    const hum_reading hum = loudest_hum(d);
    if (j.signal > 0 && hum.amplitude > 0)
        lines.push_back(printed("Hum: %.0f Hz at %.0f dB against the signal", hum.hertz,
                                db(hum.amplitude / j.signal)));
    if (j.noise > 0)
        lines.push_back(printed("Noise: %.0f dB against the signal", db(j.noise / j.signal)));
    return lines;
}

// The bytes whose worst cell came closest to a wrong decision, weakest first, at most a few.
std::vector<std::size_t> weakest_bytes(const pulse_decoder &d)
{
    std::vector<std::size_t> weakest;
    for (std::size_t i = 0; i < d.byte_margins.size(); ++i) {
        auto place = std::find_if(weakest.begin(), weakest.end(), [&](std::size_t other) {
            return d.byte_margins[i] < d.byte_margins[other];
        });
        if (weakest.size() < weakest_listed || place != weakest.end()) {
            weakest.insert(place, i);
            if (weakest.size() > weakest_listed)
                weakest.pop_back();
        }
    }
    return weakest;
}

std::string weakest_text(const recording_facts &f, const pulse_decoder &d)
{
    std::string text;
    for (const std::size_t i : weakest_bytes(d))
        text += printed("%s%zu (%.3f s, %.0f%%)", text.empty() ? "" : ", ", i,
                        seconds(f, static_cast<double>(d.byte_starts[i])), 100 * d.byte_margins[i]);
    return text;
}

// What came of it: the bytes, the comparison, the margin and the verdict with its reasons.
std::vector<std::string> outcome_lines(const recording_facts &f, const pulse_decoder &d,
                                       const comparison &c, const judgement &j)
{
    std::vector<std::string> lines;
    std::string bytes = "Bytes recovered: " + std::to_string(d.bytes.size());
    // At 44100 and above the last cell's pulse is a sample longer: it confirms the framing.
    if (f.rate >= 44100 && !d.bytes.empty())
        bytes += printed(", the last pulse longer in %llu of them",
                         static_cast<unsigned long long>(d.longer_last));
    lines.push_back(bytes);
    lines.push_back("Data: " + data_end_text(f, d));
    lines.push_back("Image: " + image_text(d, c, f));
    if (d.cells > 0)
        lines.push_back(printed("Timing margin: %.0f%% (worst at cell %llu, %.3f s, sample %.0f)",
                                100 * d.worst_margin, static_cast<unsigned long long>(d.worst_cell),
                                seconds(f, d.worst_cell_start), d.worst_cell_start));
    if (!d.bytes.empty())
        lines.push_back("Weakest bytes: " + weakest_text(f, d));
    lines.push_back(std::string("Verdict: ") + (!j.pass  ? "FAIL"
                                                : c.made ? "PASS"
                                                         : "PASS (decoded cleanly)"));
    for (const auto &reason : j.reasons)
        lines.push_back("Reason: " + reason);
    for (const auto &cause : j.causes)
        lines.push_back("Cause: " + cause);
    for (const auto &note : j.notes)
        lines.push_back("Note: " + note);
    return lines;
}

nlohmann::ordered_json optional_number(bool known, double value)
{
    return known ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json data_end_name(const pulse_decoder &d)
{
    switch (d.end) {
    case data_end::silence:
        return "silence";
    case data_end::running:
        return "recording_end";
    case data_end::not_started:
        break;
    }
    return nullptr;
}

nlohmann::ordered_json recording_json(const recording_facts &f, const pulse_decoder &d)
{
    return {{"name", f.name},
            {"rate", f.rate},
            {"format", f.format},
            {"lossy", f.lossy},
            {"channels", f.channels},
            {"channel", f.channel == 0 ? "left" : "right"},
            {"seconds", seconds(f, static_cast<double>(d.samples))}};
}

nlohmann::ordered_json dropouts_json(const recording_facts &f, const pulse_decoder &d)
{
    nlohmann::ordered_json dropouts = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < std::min<std::uint64_t>(d.dropout_count, dropouts_kept); ++i)
        dropouts.push_back({{"seconds", seconds(f, d.dropouts[i].start)},
                            {"length", seconds(f, d.dropouts[i].end - d.dropouts[i].start)},
                            {"byte", d.dropouts[i].byte}});
    return dropouts;
}

nlohmann::ordered_json weakest_json(const recording_facts &f, const pulse_decoder &d)
{
    nlohmann::ordered_json weakest = nlohmann::ordered_json::array();
    for (const std::size_t i : weakest_bytes(d))
        weakest.push_back({{"index", i},
                           {"seconds", seconds(f, static_cast<double>(d.byte_starts[i]))},
                           {"margin", d.byte_margins[i]}});
    return weakest;
}

// Bytes the image has that the recording lost: newer than the other keys, so after them all.
nlohmann::ordered_json lost_json(const recording_facts &f, const comparison &c)
{
    nlohmann::ordered_json lost = nlohmann::ordered_json::array();
    for (const lost_bytes &l : c.lost)
        lost.push_back({{"after", l.after}, {"bytes", l.count}, {"seconds", seconds(f, l.sample)}});
    return lost;
}

nlohmann::ordered_json comparison_json(const pulse_decoder &d, const comparison &c,
                                       const recording_facts &f)
{
    nlohmann::ordered_json first = nullptr;
    if (c.made && c.mismatches > 0) {
        const double at = first_mismatch_sample(d, c);
        first = {{"index", c.first_mismatch}, {"seconds", seconds(f, at)}, {"sample", at}};
    }
    return {{"compared", c.made},
            {"image_bytes", c.made && !c.image_longer ? nlohmann::ordered_json(c.image_bytes)
                                                      : nlohmann::ordered_json(nullptr)},
            {"mismatches", c.made && !c.image_longer ? nlohmann::ordered_json(c.mismatches)
                                                     : nlohmann::ordered_json(nullptr)},
            {"first_mismatch", first}};
}

nlohmann::ordered_json programs_json(const recording_facts &f, const program_list &programs)
{
    nlohmann::ordered_json found = nlohmann::ordered_json::array();
    for (const program_summary &p : programs.found)
        found.push_back({{"seconds", seconds(f, p.lead_in_start)},
                         {"bytes", p.bytes},
                         {"margin", p.margin},
                         {"verdict", p.clean ? "pass" : "fail"}});
    return {{"program", programs.found.empty() ? nlohmann::ordered_json(nullptr)
                                               : nlohmann::ordered_json(programs.chosen + 1)},
            {"programs", found}};
}

nlohmann::ordered_json report_json(const recording_facts &f, const pulse_decoder &d,
                                   const comparison &c, const judgement &j)
{
    const hum_reading hum = loudest_hum(d);
    const bool levels = j.signal > 0;
    nlohmann::ordered_json report = {
        {"recording", recording_json(f, d)},
        {"lead_in", d.lead_in_found
                        ? nlohmann::ordered_json{{"seconds", seconds(f, d.lead_in_start)},
                                                 {"sample", d.lead_in_start}}
                        : nlohmann::ordered_json(nullptr)},
        {"verdict", j.pass ? "pass" : "fail"},
        {"reasons", j.reasons},
        {"bytes", d.bytes.size()},
        {"longer_last_pulses", d.longer_last},
        {"data_end", data_end_name(d)},
        {"lost_pulses", d.lost_pulses},
        {"extra_pulses", d.extra_pulses},
        {"dropouts", dropouts_json(f, d)},
        {"speed", optional_number(d.lead_in_found, j.speed.speed)},
        {"converted_at", d.lead_in_found ? nlohmann::ordered_json(j.speed.converted_at) : nullptr},
        {"polarity", polarity_name(d, j)},
        {"peak_dbfs", optional_number(d.peak > 0, db(d.peak))},
        {"clipped_samples", f.clipped},
        {"nonfinite_samples", d.nonfinite},
        {"dc_offset", dc_offset(d)},
        {"hum",
         levels && hum.amplitude > 0
             ? nlohmann::ordered_json{{"hertz", hum.hertz}, {"db", db(hum.amplitude / j.signal)}}
             : nlohmann::ordered_json(nullptr)},
        {"noise_db", optional_number(levels && j.noise > 0, db(j.noise / j.signal))},
        {"margin", optional_number(d.cells > 0, d.worst_margin)},
        {"weakest_bytes", weakest_json(f, d)},
        {"causes", j.causes},
        {"notes", j.notes},
    };
    report.update(comparison_json(d, c, f));
    return report;
}

bool written(FILE *out)
{
    return std::fflush(out) == 0 && !std::ferror(out);
}

// Where the recording holds more than one program, each is listed before the report on one.
std::vector<std::string> program_lines(const recording_facts &f, const program_list &programs)
{
    std::vector<std::string> lines;
    const std::size_t count = programs.found.size();
    if (count < 2)
        return lines;
    lines.push_back(printed("Programs: %zu in the recording; this report is on program %zu", count,
                            programs.chosen + 1));
    for (std::size_t i = 0; i < count; ++i) {
        const program_summary &p = programs.found[i];
        lines.push_back(printed(
            "Program %zu: at %.3f s, %llu %s, timing margin %.0f%%, %s", i + 1,
            seconds(f, p.lead_in_start), static_cast<unsigned long long>(p.bytes),
            p.bytes == 1 ? "byte" : "bytes", 100 * p.margin, p.clean ? "decoded cleanly" : "FAIL"));
    }
    return lines;
}

} // namespace

std::vector<possible_loss> possible_losses(const pulse_decoder &d)
{
    const double byte_samples =
        cells_per_byte * double{normal_cell_cycles} * d.rate / (machine_cycles_per_second * d.speed);
    std::vector<possible_loss> losses;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(d.dropout_count, dropouts_kept); ++i) {
        const dropout &gap = d.dropouts[i];
        const auto most = static_cast<std::uint64_t>(std::ceil((gap.end - gap.start) / byte_samples));
        losses.push_back({gap.byte, std::min(most + 1, most_bytes_lost), gap.start});
    }
    return losses;
}

namespace {

void note_mismatch(comparison &c, std::uint64_t recovered_index, std::uint64_t count)
{
    if (c.mismatches == 0)
        c.first_mismatch = recovered_index;
    c.mismatches += count;
}

// How many of the bytes after a possible loss match, were `skipped` of the image's lost.
std::size_t matching_after(const comparison &c, std::size_t from, std::uint64_t skipped,
                           const std::vector<std::uint8_t> &recovered, std::uint64_t next)
{
    std::size_t matching = 0;
    for (std::size_t k = 0; k < loss_evidence && next + k < recovered.size() &&
                            from + skipped + k < c.ahead.size();
         ++k)
        matching += ((c.ahead[static_cast<std::size_t>(from + skipped + k)] ^
                      recovered[static_cast<std::size_t>(next + k)]) &
                     0x7F) == 0;
    return matching;
}

// The image bytes the recording lost where it may have: the fewest that make the bytes after
// match, and only where far more of them match than with none lost.
std::uint64_t bytes_lost(const comparison &c, std::size_t from, const possible_loss &loss,
                         const std::vector<std::uint8_t> &recovered, std::uint64_t next)
{
    const std::size_t with_none = matching_after(c, from, 0, recovered, next);
    std::uint64_t best = 0;
    std::size_t best_matching = with_none;
    for (std::uint64_t skipped = 1; skipped <= loss.most; ++skipped) {
        const std::size_t matching = matching_after(c, from, skipped, recovered, next);
        if (matching > best_matching) {
            best = skipped;
            best_matching = matching;
        }
    }
    return best_matching >= with_none + loss_evidence / 2 ? best : 0;
}

// The possible loss just before the recovered byte `next`, not yet looked at.
const possible_loss *loss_before(comparison &c, std::uint64_t next)
{
    const std::vector<possible_loss> &losses = c.possible_losses;
    while (c.next_loss < losses.size() && losses[c.next_loss].after + 1 < next)
        ++c.next_loss;
    return c.next_loss < losses.size() && losses[c.next_loss].after + 1 == next
               ? &losses[c.next_loss]
               : nullptr;
}

// Compares what has been read ahead, as far as the next possible loss lets it before more of
// the image is read, or all of it at the image's end.
bool compare_ahead(comparison &c, const std::vector<std::uint8_t> &recovered, bool image_ended)
{
    std::size_t used = 0;
    bool going_on = true;
    while (used < c.ahead.size()) {
        const std::uint64_t next = c.image_bytes - c.lost_count; // of the recovered bytes
        const possible_loss *loss = loss_before(c, next);
        if (loss) {
            if (!image_ended && c.ahead.size() - used < loss->most + loss_evidence)
                break;
            const std::uint64_t lost = std::min<std::uint64_t>(
                bytes_lost(c, used, *loss, recovered, next), c.ahead.size() - used);
            ++c.next_loss;
            if (lost > 0) {
                c.lost.push_back({loss->after, lost, loss->sample});
                c.lost_count += lost;
                c.image_bytes += lost;
                used += lost;
                note_mismatch(c, next, lost);
            }
            continue;
        }
        if (next >= recovered.size()) {
            c.image_longer = true;
            note_mismatch(c, next, 1);
            ++c.image_bytes;
            going_on = false;
            break;
        }
        const int difference = c.ahead[used++] ^ recovered[static_cast<std::size_t>(next)];
        ++c.image_bytes;
        if (difference & 0x7F)
            note_mismatch(c, next, 1);
        else
            c.bit7_only += difference != 0;
    }
    c.ahead.erase(c.ahead.begin(), c.ahead.begin() + static_cast<std::ptrdiff_t>(used));
    return going_on;
}

} // namespace

bool compare_image_bytes(comparison &c, const std::uint8_t *image, std::size_t count,
                         const std::vector<std::uint8_t> &recovered)
{
    c.made = true;
    c.ahead.insert(c.ahead.end(), image, image + count);
    return compare_ahead(c, recovered, false);
}

void finish_comparison(comparison &c, const std::vector<std::uint8_t> &recovered)
{
    c.made = true;
    if (!c.image_longer && !compare_ahead(c, recovered, true))
        return;
    const std::uint64_t compared = c.image_bytes - c.lost_count;
    if (c.image_longer || recovered.size() <= compared)
        return;
    note_mismatch(c, compared, recovered.size() - compared);
}

judgement judge(const recording_facts &f, const pulse_decoder &d, const comparison &c)
{
    judgement j;
    j.speed = read_speed(f, d);
    j.polarity_sure = d.data_pulses >= polarity_evidence && d.polarity_votes > 0;
    j.signal = signal_height(d);
    j.noise = noise_rms(d);
    j.reasons = fail_reasons(f, d, c);
    j.pass = j.reasons.empty();
    if (!j.pass) {
        signal_causes(f, d, j);
        timing_causes(f, d, c, j);
    } else {
        add_notes(f, d, j);
    }
    if (c.bit7_only > 0)
        j.notes.push_back(plural(c.bit7_only, "byte", "bytes") +
                          " of the image use bit 7, which the signal never carries");
    return j;
}

std::string level_words(double peak, std::uint64_t clipped, hum_reading hum)
{
    if (peak < silent_peak)
        return "Silence: check the cable, and that the player is playing.";
    if (peak < quietest_signal)
        return "Too quiet to read: raise the player's volume or the recording level.";
    if (clipped > 0)
        return "Clipping: lower the player's volume or the recording level.";
    if (hum.amplitude > 0 && db(hum.amplitude / peak) > loud_hum_db)
        return printed("Hum at %.0f Hz: run the player on its battery, or break the ground "
                       "loop between the two machines.",
                       hum.hertz);
    if (peak < low_peak)
        return printed("Quiet (peak %.0f dBFS): it reads, but raise the volume for a margin "
                       "against noise.",
                       db(peak));
    return printed("Good (peak %.0f dBFS).", db(peak));
}

program_summary summarise(const recording_facts &f, const pulse_decoder &d)
{
    return {d.lead_in_start, d.bytes.size(), d.cells > 0 ? d.worst_margin : 1.0,
            judge(f, d, comparison{}).pass};
}

bool write_text_report(FILE *out, const recording_facts &f, const pulse_decoder &d,
                       const comparison &c, const judgement &j, const program_list &programs)
{
    for (const auto &line : program_lines(f, programs))
        std::fprintf(out, "%s\n", line.c_str());
    for (const auto &line : hearing_lines(f, d, j))
        std::fprintf(out, "%s\n", line.c_str());
    for (const auto &line : outcome_lines(f, d, c, j))
        std::fprintf(out, "%s\n", line.c_str());
    return written(out);
}

// Names are the user's bytes: any that are not UTF-8 become U+FFFD rather than stop the report.
bool write_json_report(FILE *out, const recording_facts &f, const pulse_decoder &d,
                       const comparison &c, const judgement &j, const program_list &programs)
{
    nlohmann::ordered_json report = report_json(f, d, c, j);
    report.update(programs_json(f, programs));
    report["lost"] = lost_json(f, c);
    const std::string text =
        report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
    return written(out);
}
