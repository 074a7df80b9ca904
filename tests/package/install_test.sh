#!/usr/bin/env bash
# Installs the Debian package as a newcomer would, in a fresh Debian 12 root without build tools:
# `tonecast -t` plays silently, the man page is where man looks, two clients play a bundled song
# with the installed program inside the private network, and purging the package leaves nothing.
# As root: install_test.sh package.deb work-folder. The bare root is made once with debootstrap
# and kept in the work folder; every run installs into a fresh copy of it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
deb=$(realpath "$1")
work=$(realpath -m "$2")
base=$work/bookworm-minbase
root=$work/bookworm-root
started=$SECONDS

fail() { echo "install test: FAILED: $*" >&2; exit 1; }
in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"
}

if [ ! -e "$base.done" ]; then
    rm -rf "$base"
    debootstrap --variant=minbase bookworm "$base"
    touch "$base.done"
fi
rm -rf "$root"
cp -a "$base" "$root"
in_root dpkg-query -W -f '${Package}\n' > "$work/packages-before"

cp "$deb" "$root/tmp/"
in_root apt-get update -q
in_root apt-get install -y -q -o Dpkg::Use-Pty=0 "/tmp/$(basename "$deb")"

in_root tonecast -t > "$work/test-tone.out" 2> "$work/test-tone.err" || fail "tonecast -t ended with status $?"
[ "$(cat "$work/test-tone.err")" = "No speaker found: tones are timed silently." ] \
    || fail "tonecast -t wrote to standard error: $(cat "$work/test-tone.err")"
[ "$(tail -n 1 "$work/test-tone.out")" = "Quit." ] || fail "tonecast -t did not end with Quit."
gzip -t "$root/usr/share/man/man1/tonecast.1.gz" || fail "no man page in /usr/share/man/man1"

# The room's hosts run the installed program in the root; paths given into the root become its own.
# tools/demo.py checks that every client gets its id, hears "Server quit.", and that all end with
# "Quit." and status 0.
cp "$repo/songs/frere_jacques.mid" "$root/tmp/"
cat > "$work/installed-tonecast" <<END
#!/usr/bin/env bash
exec chroot "$root" /usr/bin/tonecast "\${@#"$root"}"
END
chmod +x "$work/installed-tonecast"
"$repo/tests/e2e/netns_run.sh" python3 "$repo/tools/demo.py" --tonecast "$work/installed-tonecast" \
    --song "$root/tmp/frere_jacques.mid" --clients 2 || fail "the room with the installed program failed"

in_root dpkg -L tonecast | grep -vx /. > "$work/package-paths"
in_root apt-get purge -y -q -o Dpkg::Use-Pty=0 --autoremove tonecast
in_root dpkg-query -W -f '${Package}\n' | diff "$work/packages-before" - \
    || fail "the installed packages differ from those of the bare root"
while read -r path; do
    # A folder may stay while another package owns it.
    [ -e "$root$path" ] || continue
    [ -d "$root$path" ] && in_root dpkg-query -S "$path" > /dev/null 2>&1 || fail "$path is left"
done < "$work/package-paths"
echo "install test: passed in $((SECONDS - started)) s"
