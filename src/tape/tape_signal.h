#pragma once

#include <cstdint>
#include <cstdio>

#include "tape/machine_timing.h"

// The high level of every pulse and of the lead-in tone: gain x 15, gain 4 unless -g says
// otherwise.
extern std::uint8_t p_gain;
// The low level, between pulses and in silence.
constexpr std::uint8_t p_silence = 0;

// Puts the converter's process-wide state back where a run starts: the default header, gain
// and pad, the filter at rest, nothing pending or written. For a process that converts more
// than once, as the tests and the benchmarks do.
void reset_conversion();

// Turns a gain of 1..7 into the high level.
void set_gain(int gain);

// Whole samples in `cycles` at the output's rate, truncated: remainders are never carried.
std::uint32_t cycles_to_samples(std::uint32_t cycles);

// Emits `cycles` of the signal at one level.
void output_segment(FILE *wavfile, std::uint32_t cycles, std::uint8_t level);

// Silence at each end of the signal, in samples: none unless --pad asks for it.
extern std::uint32_t p_pad_samples;

// Whole samples in `whole`.`fraction` seconds at the output's rate, rounded down exactly:
// `fraction` holds the decimal digits after the point, as many as were given.
std::uint32_t seconds_to_samples(std::uint32_t whole, const char *fraction);

// Emits the silence that --pad puts at each end of the signal.
void output_pad(FILE *wavfile);

// Starts the output: the header, the pad, then the lead-in of silence, a twelve-period tone
// and silence.
void init_wav(FILE *wavfile);

// Samples of the whole signal around `data_samples` of bytes: the pads and the lead-in.
std::uint64_t signal_samples(std::uint64_t data_samples);

// One normal bit cell: a 0 is one pulse, a 1 two pulses of half the length in the same time.
void dump_bit(FILE *fp, int bit);

// The last bit cell of a byte: like a normal cell with a longer high part.
void dump_last_bit(FILE *fp, int bit);

// Emits the bit cells of one image byte, directly after those of the byte before.
void output_wav_byte(FILE *wavfile, std::uint8_t byte);

// Samples of one image byte's cells at the output's rate.
std::uint32_t byte_samples(std::uint8_t byte);

// What a conversion read of the image, for the warnings that follow it.
struct image_summary {
    std::uint64_t bytes = 0;
    std::uint64_t bit7_bytes = 0; // the bytes that use bit 7, which no cell carries
};

// Emits every byte of the tape image, in file order, then closes the image, adding what it
// read to `summary`. Returns 0 once the image was read to its end, or the error number of
// the read that failed.
int process_zkt(FILE *input, FILE *output, image_summary &summary);

// Reads the image to its end, or until its count passes `cap`, adding the samples of its
// bytes to `samples` and copying each byte to `copy` when one is given. Returns 0, or the
// error number of the read or copy that failed.
int count_zkt(FILE *input, FILE *copy, std::uint64_t cap, std::uint64_t &samples);
