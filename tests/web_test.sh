#!/bin/sh
# Builds the page with the web preset and drives it in headless Chromium, comparing every
# download with the program's own output. Skipped, with the reason, where a tool is missing.
# Usage: web_test.sh SOURCE_DIR PROGRAM
set -eu
src=${1:?usage: web_test.sh SOURCE_DIR PROGRAM}
program=${2:?usage: web_test.sh SOURCE_DIR PROGRAM}
python=/usr/bin/python3
for tool in emcc /usr/bin/chromium /usr/bin/chromedriver $python; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed: the page is not tested (Debian: apt-get install emscripten chromium chromium-driver python3-selenium)"
        exit 77
    fi
done
if ! $python -c 'import selenium' 2>/dev/null; then
    echo "Selenium is not installed: the page is not tested (Debian: apt-get install python3-selenium)"
    exit 77
fi

cd "$src"
cmake --workflow --preset web >/dev/null
exec $python "$src/tests/web_test.py" "$src/build/web/site" "$program" "$src/examples/hello.zkt"
