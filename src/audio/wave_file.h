#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The header of a RIFF/WAVE file holding one chunk of PCM samples; the fields keep the
// format's own names.
struct wav_header {
    char riff[4];
    std::uint32_t rLen; // file length - 8, known only at the end
    char WAVEfmt[8];    // the form type and the format chunk's identifier
    std::uint32_t fLen;
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t nBitsPerSample;
    char datastr[4];
    std::uint32_t data_size; // file length - 44, known only at the end
};

constexpr std::size_t wav_header_size = 44;

// This run's header: mono 8-bit PCM at 44100 samples per second until -f changes the rate.
// The signal's timing reads the rate from here, so header and signal always agree.
extern wav_header wave;

// The output as named with -o, for the message when writing it fails.
extern const char *wav_name;

// Bytes written to the output so far: its length, counted here because the position of a
// device or a pipe says nothing about it.
extern std::uint64_t wav_bytes_written;

// RIFF's 32-bit length field holds the file length less 8, so 4 GiB + 7 bytes is the
// largest WAVE file.
constexpr std::uint64_t largest_wave_file = std::uint64_t{UINT32_MAX} + 8;

// Whether the 32-bit length fields can describe a file of this length.
bool fits_wave_lengths(std::uint64_t file_length);

// Whether every sample is mirrored around the centre line as it is written, for a playback
// chain that inverts the signal.
extern bool wav_inverted;

// The file length that the header announces before the first sample, for an output that
// can't be patched at the end; 0 when it is patched.
extern std::uint64_t wav_promised_length;

// Promises this file length, which the run must then write exactly. Ends the run with
// status 5 before anything is written when the length fields can't hold it.
void promise_wav_length(std::uint64_t file_length);

// Sets the sample rate and the byte rate that follows from it.
void set_sample_rate(std::uint32_t rate);

// The header as it stands in the file: little-endian, no gaps, whatever the host.
std::array<unsigned char, wav_header_size> wav_header_bytes(const wav_header &header);

// Each of the writing functions below ends the run with "Error writing" and status 5 when a
// write, seek or close fails, when the output would outgrow the length fields, or when it
// would not come to the length promised.

// Writes `wave` at the start of the output, before any sample, with the promised lengths
// or with lengths of 0 for close_wav to fill in.
void write_wav_header(FILE *wavfile);

// Samples wait here until a whole block goes to the output in one write.
struct sample_block {
    unsigned char bytes[1 << 18];
    std::size_t used;
};
extern sample_block pending_samples;

// Appends the pending samples to the data chunk and empties the block.
void write_pending_samples(FILE *wavfile);

// Writes the pending samples, fills in both length fields from the file's length unless they
// were promised, and closes the file.
void close_wav(FILE *wavfile);
