#!/usr/bin/env bash
# Fetches Debian's TinyXML source package (original tarball plus Debian's patches,
# which carry the security fixes) into a folder of the build tree, through an apt
# state of its own so that the machine's sources are left alone.
# Usage: fetch-tinyxml.sh DEST   -> DEST/src/tinyxml-<version>/ with the patches applied
set -euo pipefail
dest=$1
if [ -f "$dest/.done" ]; then exit 0; fi
rm -rf "$dest"
mkdir -p "$dest/state/lists/partial" "$dest/cache/archives/partial" "$dest/src"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat > "$dest/sources.list" <<LIST
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main
LIST
apt_opts=(
  -o "Dir::Etc::SourceList=$dest/sources.list"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State=$dest/state"
  -o "Dir::Cache=$dest/cache"
  -o "APT::Sandbox::User=$(id -un)"
)
apt-get "${apt_opts[@]}" -qq update
(cd "$dest/src" && apt-get "${apt_opts[@]}" -qq source tinyxml >/dev/null 2>&1)
src=$(find "$dest/src" -maxdepth 1 -type d -name 'tinyxml-*' | head -n 1)
if [ -z "$src" ] || [ ! -f "$src/tinyxml.h" ]; then
  echo "fetch-tinyxml: the source package did not unpack" >&2
  exit 1
fi
# dpkg-source applies the series; check that the STL switch really is on.
grep -q '#define TIXML_USE_STL' "$src/tinyxml.h" || { echo "fetch-tinyxml: Debian's patches are missing" >&2; exit 1; }
ln -sfn "$src" "$dest/tinyxml"
touch "$dest/.done"
