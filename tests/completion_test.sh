#!/bin/bash
# Drives the bash completion as bash does: it must offer every option the program parses
# after a -, the five rates after -f, the gains after -g, and files or - after -i and -o.
# Usage: completion_test.sh SOURCE_DIR
set -u
src=$(cd "${1:?usage: completion_test.sh SOURCE_DIR}" && pwd)
source "$src/packaging/zkt2wav.bash-completion"

# What the completion offers for the words of a command line, the last being completed.
offered() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _zkt2wav
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

failed=0
expect() {
    local words=$1 want=$2 got
    got=$(eval "offered $words")
    if [ "$got" != "$want" ]; then
        echo "for $words: offered '$got', expected '$want'"
        failed=1
    fi
}

complete -p zkt2wav | grep -q -- '-F _zkt2wav' || { echo "zkt2wav has no completion"; failed=1; }
expect "zkt2wav -f ''" "11025 22050 44100 48000 8000 "
expect "zkt2wav -i x.zkt -f 4" "44100 48000 "
expect "zkt2wav -g ''" "1 2 3 4 5 6 7 "
expect "zkt2wav --pad ''" ""

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/game.zkt" "$work/game.wav"
cd "$work" || exit 1
expect "zkt2wav -i g" "game.wav game.zkt "
expect "zkt2wav -i game.zkt -o ''" "- game.wav game.zkt "

all_options=$(offered zkt2wav -)
for option in $(sh "$src/tests/source_options.sh" "$src"); do
    # -? is -h under another name, and a glob besides.
    [ "$option" = "-?" ] && continue
    case " $all_options" in
    *" $option "*) ;;
    *) echo "option $option is not offered after -"; failed=1 ;;
    esac
done
[ $failed -eq 0 ] && echo "the completion offers options:" $all_options
exit $failed
