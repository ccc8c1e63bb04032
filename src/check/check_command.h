#pragma once

// zkt2wav --check RECORDING [-i IMAGE] [-o RECOVERED] [--json] [--channel left|right]
// [--program N]: decodes a recording of the signal, finds every program it holds, compares
// one with the image, and reports what survived.
// Returns the exit status: 0 for a pass, 6 for a fail, 1 to 5 as for a conversion.
int check_command(int argc, char *argv[]);
