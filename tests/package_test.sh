#!/bin/sh
# Builds the Debian package from the sources as a release would, lists it, and checks it with
# lintian: no error and no warning, and every file a user expects is in it.
# Usage: package_test.sh SOURCE_DIR
set -eu
src=${1:?usage: package_test.sh SOURCE_DIR}
for tool in lintian dpkg-deb cpack; do
    if ! command -v $tool >/dev/null 2>&1; then
        echo "$tool is not installed: the package check is skipped (Debian: apt-get install lintian)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work" >/dev/null
(cd "$work" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/zkt2wav_*.deb)
contents=$(dpkg-deb -c "$deb")
printf '%s\n' "$contents"

failed=0
for file in usr/bin/zkt2wav usr/share/man/man1/zkt2wav.1.gz usr/share/doc/zkt2wav/copyright \
    usr/share/doc/zkt2wav/changelog.gz usr/share/bash-completion/completions/zkt2wav; do
    if ! printf '%s\n' "$contents" | grep -q " \./$file\$"; then
        echo "the package lacks $file"
        failed=1
    fi
done
if [ "$(dpkg-deb -f "$deb" Recommends)" != bash-completion ]; then
    echo "the package does not recommend bash-completion, which its completion needs"
    failed=1
fi
lintian -I --fail-on error,warning "$deb" 2>/dev/null || failed=1
exit $failed
