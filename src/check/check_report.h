#pragma once

#include "check/pulse_decoder.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Judging what the decoder heard, and the report: no files are read here, so every front end
// that feeds a decoder gets the same verdict, causes and notes.

// What is known of the recording beyond what the decoder heard.
struct recording_facts {
    std::string name;   // as the user gave it, whatever bytes it holds
    std::string format; // such as "Signed 16 bit PCM, WAV (Microsoft)"
    int rate = 0;
    int channels = 1;
    std::size_t channel = 0; // the one that carries the signal: 0 left, 1 right
    bool lossy = false;
    std::uint64_t clipped = 0; // samples at the format's full scale
};

// Where a dropout may have taken whole bytes away unseen: after the byte it fell in, at most
// `most` of them.
struct possible_loss {
    std::uint64_t after; // the recovered byte the dropout fell in
    std::uint64_t most;
    double sample; // where the dropout began
};

// Bytes the image has and the recording lost, after the recovered byte `after`.
struct lost_bytes {
    std::uint64_t after;
    std::uint64_t count;
    double sample;
};

// The recovered bytes against the image, fed a block of the image at a time. Across each
// possible loss the image is read a little ahead, so that the bytes after it are compared
// with those they are, not every one of them with its neighbour.
struct comparison {
    bool made = false;
    std::uint64_t image_bytes = 0;
    bool image_longer = false;    // the image goes on past the bytes recovered
    std::uint64_t mismatches = 0; // bytes that differ in bits 0 to 6, or are missing or extra
    std::uint64_t first_mismatch = 0; // of the recovered bytes
    std::uint64_t bit7_only = 0; // bytes that differ only in the bit that is never recorded
    std::vector<possible_loss> possible_losses; // in the order of the recovered bytes
    std::size_t next_loss = 0;
    std::vector<lost_bytes> lost;
    std::uint64_t lost_count = 0;
    std::vector<std::uint8_t> ahead; // image bytes read but not yet compared
};

// The places where the decoder's dropouts may have lost whole bytes.
std::vector<possible_loss> possible_losses(const pulse_decoder &decoder);

// Compares the image's next bytes with the recovered ones. Returns false once the image has
// gone past them: the verdict is certain and the rest of the image need not be read.
bool compare_image_bytes(comparison &c, const std::uint8_t *image, std::size_t count,
                         const std::vector<std::uint8_t> &recovered);

// Counts recovered bytes that the image does not have.
void finish_comparison(comparison &c, const std::vector<std::uint8_t> &recovered);

// The player's speed, against the file the converter writes at the rate it was most likely
// converted at: whole samples bend every duration, differently at each rate.
struct speed_reading {
    double speed = 1; // 1 is the file's own speed, more is faster
    std::uint32_t converted_at = 0;
};

struct judgement {
    bool pass = false;
    std::vector<std::string> reasons; // on a FAIL, each sign of a decode that can't be trusted
    std::vector<std::string> causes;  // on a FAIL, what was measured to explain it, with a fix
    std::vector<std::string> notes;   // on any verdict, what the machine may mind, with a fix
    speed_reading speed;
    bool polarity_sure = true; // the tone and the pulses agree on the way the signal goes
    double signal = 0;         // the pulses' height, or the peak where none was heard
    double noise = 0;          // the noise between pulses, RMS; 0 where none was measured
};

judgement judge(const recording_facts &facts, const pulse_decoder &decoder, const comparison &c);

// What a level meter says of the sound it heard since it last spoke: its peak, the samples
// at full scale, and the hum.
std::string level_words(double peak, std::uint64_t clipped, hum_reading hum);

// A program found in the recording, as the list of them shows it.
struct program_summary {
    double lead_in_start = 0; // in samples
    std::uint64_t bytes = 0;
    double margin = 1;  // the worst cell's
    bool clean = false; // decoded cleanly, judged without an image
};

program_summary summarise(const recording_facts &facts, const pulse_decoder &decoder);

// Every program found, and the one the report is on, counted from 0.
struct program_list {
    std::vector<program_summary> found;
    std::size_t chosen = 0;
};

// The report as text lines, or as one JSON object. Returns false when it could not be
// written.
bool write_text_report(FILE *out, const recording_facts &facts, const pulse_decoder &decoder,
                       const comparison &c, const judgement &j, const program_list &programs);
bool write_json_report(FILE *out, const recording_facts &facts, const pulse_decoder &decoder,
                       const comparison &c, const judgement &j, const program_list &programs);
