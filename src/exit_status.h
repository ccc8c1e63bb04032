#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The process's only result: one status per kind of failure.
constexpr int exit_converted = 0;    // the conversion ran to the end, or --help or --version
constexpr int exit_usage = 1;        // the usage text was printed
constexpr int exit_no_number = 2;    // the argument of -f or -g holds no number
constexpr int exit_out_of_range = 3; // unsupported sample rate, or gain outside 1..7
constexpr int exit_cannot_open = 4;  // the input or the output file cannot be opened
constexpr int exit_io_failed = 5;    // reading the input or writing the output failed
constexpr int exit_check_failed = 6; // --check: no signal found, bytes lost, or a mismatch

// Writes the message to standard error as it stands and ends the run with the status.
[[noreturn, gnu::format(printf, 2, 3)]] inline void fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(status);
}
