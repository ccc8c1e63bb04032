#pragma once

#include <cstdio>

// The two files of a run, opened as their options are parsed. A refusal ends the run with
// "Error opening", the reason on a second line, and status 4.

// Opens the tape image. Refuses a directory, and the file already open as the output.
FILE *open_image(const char *name, FILE *output);

// Opens the output, creating it when missing. An existing file keeps its contents until
// start_output: a command line that fails later must not have cost the user anything.
// Refuses the file already open as the image, whatever name or link reaches it.
FILE *open_output(const char *name, FILE *image);

// Empties the output for the conversion, once every option has been taken and the image
// has been opened and compared with it.
void start_output(FILE *output, const char *name);
