#pragma once

#include <cstdint>
#include <cstdio>

// Every duration of the signal is counted in cycles of the recording machine's clock.
constexpr std::uint32_t machine_cycles_per_second = 3000000;

// The high level of every pulse and of the lead-in tone: gain x 15, gain 4 unless -g says
// otherwise.
extern std::uint8_t p_gain;
// The low level, between pulses and in silence.
constexpr std::uint8_t p_silence = 0;

// Turns a gain of 1..7 into the high level.
void set_gain(int gain);

// Whole samples in `cycles` at the output's rate, truncated: remainders are never carried.
std::uint32_t cycles_to_samples(std::uint32_t cycles);

// Emits `cycles` of the signal at one level.
void output_segment(FILE *wavfile, std::uint32_t cycles, std::uint8_t level);

// Starts the output: the header, then the lead-in of silence, a twelve-period tone and silence.
void init_wav(FILE *wavfile);

// One normal bit cell: a 0 is one pulse, a 1 two pulses of half the length in the same time.
void dump_bit(FILE *fp, int bit);

// The last bit cell of a byte: like a normal cell with a longer high part.
void dump_last_bit(FILE *fp, int bit);

// Emits the bit cells of one image byte, directly after those of the byte before.
void output_wav_byte(FILE *wavfile, std::uint8_t byte);

// Emits every byte of the tape image, in file order, then closes the image. Returns 0 once
// the image was read to its end, or the error number of the read that failed.
int process_zkt(FILE *input, FILE *output);
