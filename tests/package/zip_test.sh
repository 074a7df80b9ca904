#!/usr/bin/env bash
# Checks the Windows zip as a user unpacks it: each folder holds its tonecast.exe and the
# libqrencode.dll it imports, both built for that folder's Windows; the licences and notices lie at
# the top, every text with Windows line ends, and the notice names the very tarball the DLLs were
# built from. Usage: zip_test.sh tonecast-VERSION-windows.zip QRENCODE-ORIG-TARBALL
set -euo pipefail
zip=$(realpath "$1")
tarball=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "zip test: FAILED: $*" >&2; exit 1; }

unzip -q "$zip" -d "$work"
root=$work/$(basename "$zip" .zip)
listed=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd ' ')
[ "$listed" = "32-bit/libqrencode.dll 32-bit/tonecast.exe 64-bit/libqrencode.dll 64-bit/tonecast.exe \
LGPL-2.0.txt LGPL-2.1.txt LICENSE.txt README.txt THIRD-PARTY.txt" ] || fail "the zip holds $listed"

for text in "$root"/*.txt; do
    awk '!/\r$/ { bad = 1 } END { exit bad }' "$text" || fail "$(basename "$text") has a line without CR LF"
done
grep -q "Version 2.1, February 1999" "$root/LGPL-2.1.txt" || fail "LGPL-2.1.txt is not the LGPL 2.1"
grep -q "GNU LIBRARY GENERAL PUBLIC LICENSE" "$root/LGPL-2.0.txt" || fail "LGPL-2.0.txt is not PLIB's licence"
grep -q "$(basename "$tarball")" "$root/THIRD-PARTY.txt" || fail "THIRD-PARTY.txt does not name $(basename "$tarball")"
grep -q "$(sha256sum "$tarball" | cut -d' ' -f1)" "$root/THIRD-PARTY.txt" \
    || fail "THIRD-PARTY.txt does not give the SHA-256 of $(basename "$tarball")"

for folder in 64-bit:pei-x86-64 32-bit:pei-i386; do
    for program in tonecast.exe libqrencode.dll; do
        x86_64-w64-mingw32-objdump -f "$root/${folder%%:*}/$program" | grep -q "file format ${folder#*:}$" \
            || fail "${folder%%:*}/$program is not of the format ${folder#*:}"
    done
    # grep reads to the end: under pipefail, objdump cut short by a closed pipe would fail the check.
    x86_64-w64-mingw32-objdump -p "$root/${folder%%:*}/tonecast.exe" | grep "DLL Name: libqrencode.dll$" > /dev/null \
        || fail "${folder%%:*}/tonecast.exe does not import libqrencode.dll"
done
echo "zip test: passed"
