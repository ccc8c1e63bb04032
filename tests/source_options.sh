#!/bin/sh
# Prints every option the program parses, one a line (-x or --name), read from its sources,
# so that documents and completion can be checked against them.
# Usage: source_options.sh SOURCE_DIR
set -euf
src=${1:?usage: source_options.sh SOURCE_DIR}/src
sed -n 's/.*getopt_long(argc, argv, "\([^"]*\)".*/\1/p' "$src/main.cpp" | tr -d ':' | fold -w1 | sed 's/^/-/'
sed -n 's/^ *{"\([a-z-]*\)", [a-z_]*_argument,.*/--\1/p' "$src/main.cpp" "$src/check/check_command.cpp"
