#!/bin/sh
# Renders the manual page and checks that it documents every option the program parses and
# every exit status it has, both read from the sources, so that neither can go undocumented.
# Usage: man_page_test.sh SOURCE_DIR
set -uf  # no globbing: "?" is an option letter
src=${1:?usage: man_page_test.sh SOURCE_DIR}

if ! command -v man >/dev/null 2>&1; then
    echo "man is not installed: the manual page check is skipped"
    exit 77
fi

options=$(sh "$src/tests/source_options.sh" "$src")
statuses=$(sed -n 's/^constexpr int exit_[a-z_]* = \([0-9]*\);.*/\1/p' "$src/src/exit_status.h")
if [ -z "$options" ] || [ -z "$statuses" ]; then
    echo "cannot find the option string or the exit statuses in the sources"
    exit 1
fi

warnings=$(man --warnings -l "$src/zkt2wav.1" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    printf 'rendering the manual page warns:\n%s\n' "$warnings"
    exit 1
fi
page=$(MANWIDTH=80 man -l "$src/zkt2wav.1" 2>/dev/null)

# The body of one section: from its heading to the next heading.
section() {
    printf '%s\n' "$page" | awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name); next } inside'
}

failed=0
for option in $options; do
    # An item's tag opens its line, alone or before a comma or its argument.
    pattern=$(printf '%s' "$option" | sed 's/[?]/[?]/')
    if ! section OPTIONS | grep -Eq -- "^ +(-[a-z?], )*$pattern( |,|\$)"; then
        echo "option $option is not documented under OPTIONS"
        failed=1
    fi
done
for status in $statuses; do
    if ! section "EXIT STATUS" | grep -Eq "^ +$status( |\$)"; then
        echo "exit status $status is not documented under EXIT STATUS"
        failed=1
    fi
done
[ $failed -eq 0 ] && echo "the manual page documents options:" $options "and statuses:" $statuses
exit $failed
