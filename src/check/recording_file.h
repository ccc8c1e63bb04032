#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A recording opened for the check with libsndfile: only the formats the check promises to
// read, told by their first bytes before libsndfile parses anything, and only at the rates a
// recording of the signal can have. A recording that can't be read twice (a pipe) is copied
// aside first, so that every format reads from a stream as from a file.

struct sf_private_tag;

// What the report says of the recording's format.
struct recording_format {
    int rate = 0;
    int channels = 0;
    std::string name; // such as "Signed 16 bit PCM, WAV (Microsoft)"
    bool lossy = false;
    double clip_level = 1; // the largest value its samples can hold
};

struct recording_file {
    FILE *stream = nullptr; // as named on the command line, kept open to be told apart
    sf_private_tag *sound = nullptr;
    FILE *copy = nullptr; // the copy of an unseekable recording
    recording_format format;
};

// Opens the recording without reading it: refuses a directory and a terminal with status 4.
recording_file open_recording(const char *name);

// Reads the first bytes and the header. Refuses other formats, other rates and more than two
// channels with status 4; a failed read or copy is status 5.
void start_reading(recording_file &recording, const char *name);

// Reads up to `frames` frames of interleaved samples in -1..1. Returns 0 at the end; a failed
// read ends the run with status 5.
std::size_t read_frames(recording_file &recording, const char *name, float *interleaved,
                        std::size_t frames);

void close_recording(recording_file &recording);
