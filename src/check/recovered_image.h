#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Where the check writes the bytes it recovered. It never truncates or replaces a file: a
// name that exists is refused before anything is read, and the image appears whole under its
// name or not at all.

struct recovered_image {
    const char *name = nullptr;
    FILE *stream = nullptr;
    bool standard_output = false;
    bool in_place = false; // a device or a pipe, written as it stands
    std::string pending;   // the unnamed file's link in /proc, or a named temporary file
    bool unnamed = false;
};

// Refuses the recording and the image themselves, and any existing file, with status 4; opens
// somewhere to write that only becomes `name` when it is complete.
recovered_image prepare_recovered(const char *name, FILE *recording, FILE *image);

// Writes the bytes where they wait to be kept; status 5 when that fails.
void write_recovered(recovered_image &target, const std::vector<std::uint8_t> &bytes);

// Puts the written file in place under its name, once the run has nothing left that can
// fail; status 5 when that fails.
void keep_recovered(recovered_image &target);

// Leaves nothing behind where nothing is to be written.
void discard_recovered(recovered_image &target);
