#!/bin/sh
# Builds the page with the web preset and runs one of its browser tests in headless Chromium.
# Skipped, with the reason, where a tool is missing: the page's own, or those the test names.
# Usage: page_test.sh SOURCE_DIR PROGRAM TEST_SCRIPT [TOOL:PACKAGE ...]
set -eu
src=${1:?usage: page_test.sh SOURCE_DIR PROGRAM TEST_SCRIPT [TOOL:PACKAGE ...]}
program=${2:?usage: page_test.sh SOURCE_DIR PROGRAM TEST_SCRIPT [TOOL:PACKAGE ...]}
script=${3:?usage: page_test.sh SOURCE_DIR PROGRAM TEST_SCRIPT [TOOL:PACKAGE ...]}
shift 3
python=/usr/bin/python3
for tool_package in emcc:emscripten /usr/bin/chromium:chromium \
    /usr/bin/chromedriver:chromium-driver $python:python3 "$@"; do
    if ! command -v "${tool_package%%:*}" >/dev/null 2>&1; then
        echo "${tool_package%%:*} is not installed: $script is not run (Debian: apt-get install ${tool_package#*:})"
        exit 77
    fi
done
if ! $python -c 'import selenium' 2>/dev/null; then
    echo "Selenium is not installed: $script is not run (Debian: apt-get install python3-selenium)"
    exit 77
fi

cd "$src"
# The browser tests run side by side; the page is built once, by whichever comes first.
mkdir -p build
flock build/.web-build.lock cmake --workflow --preset web >/dev/null
exec $python "$src/tests/$script" "$src/build/web/site" "$program" "$src/examples/hello.zkt"
