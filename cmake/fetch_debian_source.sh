#!/usr/bin/env bash
# Downloads the upstream source of one of Debian's source packages into the given directory,
# through a sources list of its own: the machine's apt configuration and caches are read, never
# changed. The deb-src entry reuses the archive this machine installs its packages from.
# Usage: fetch_debian_source.sh SOURCE-PACKAGE DESTINATION-DIRECTORY
set -euo pipefail
package=${1:?usage: fetch_debian_source.sh source-package destination-directory}
dest=${2:?usage: fetch_debian_source.sh source-package destination-directory}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
if ls "$dest"/"$package"_*.orig.tar.* >/dev/null 2>&1; then exit 0; fi

. /etc/os-release
entries=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Identifier: Packages' "Release: $VERSION_CODENAME" | sort -u)
if [ -z "$entries" ]; then
    echo "fetch_debian_source: no apt source for $VERSION_CODENAME found on this machine" >&2
    exit 1
fi

apt_dir="$dest/apt"
rm -rf "$apt_dir" && mkdir -p "$apt_dir/lists/partial"
echo "$entries" | sed 's/^/deb-src /' >"$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update
# The Debian diff may be missing from the archive, which fails the command as a whole; the
# upstream tarball is all the build needs, so its presence decides.
(cd "$dest" && apt-get "${apt_options[@]}" source --download-only "$package") ||
    echo "fetch_debian_source: apt-get source failed; only the upstream tarball is needed" >&2
if ! ls "$dest"/"$package"_*.orig.tar.* >/dev/null 2>&1; then
    echo "fetch_debian_source: $package's upstream tarball was not downloaded" >&2
    exit 1
fi
