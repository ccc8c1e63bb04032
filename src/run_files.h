#pragma once

#include <cstdint>
#include <cstdio>

// The two files of a run, opened as their options are parsed; the name "-" stands for
// standard input or output. A refusal ends the run with "Error opening", the reason on a
// second line, and status 4.

// Opens the tape image. Refuses a directory, a terminal, and the file already open as the
// output.
FILE *open_image(const char *name, FILE *output);

// Opens the tape image to convert, as open_image does, and refuses a WAVE file: its name
// and the output's were swapped. An output that this run created is removed again, so that
// the command line leaves nothing behind.
FILE *open_tape_image(const char *name, FILE *output);

// Opens the output, creating it when missing. An existing file keeps its contents until
// start_output: a command line that fails later must not have cost the user anything.
// Refuses a directory, a terminal, and the file already open as the image, whatever name or
// link reaches it.
FILE *open_output(const char *name, FILE *image);

// Empties a named output for the conversion, once every option has been taken and the image
// has been opened and compared with it. Standard output is written where it stands.
void start_output(FILE *output, const char *name);

// Whether the output's lengths can be patched at the end: a regular file written from its
// start. Any other output gets them up front.
bool can_patch(FILE *output);

// Counts the samples of the image's bytes, for lengths written up front, and returns the
// image ready to be read again from where it started: the same stream when it can seek back,
// otherwise a temporary copy made while counting, so that memory never holds the image.
FILE *count_image(FILE *image, const char *name, std::uint64_t &samples);

// Whether the stream is a regular file, which can be read twice.
bool is_regular(FILE *stream);

// An unnamed file in $TMPDIR, or /tmp, gone once it is closed, to hold a copy of the input
// `name` that can't be read twice. Ends the run with "Error reading" when none can be made.
FILE *temporary_copy(const char *name);

// Ends the run with "Error opening", the reason on a second line, and status 4.
[[noreturn]] void fail_opening(const char *name, const char *reason);

// Ends the run with "Error reading", the reason on a second line, and status 5.
[[noreturn]] void fail_reading(const char *name, const char *reason);
