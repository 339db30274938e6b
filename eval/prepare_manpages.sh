#!/usr/bin/env bash
# Lays out the `manpages` corpus: the section 1 and 8 manual pages of
# everyday command-line packages, rendered to plain text the way `man`
# shows them, one file per page (tail.1.txt).
#   eval/prepare_manpages.sh OUT
# The packages are downloaded and unpacked rather than read from
# /usr/share/man, which minimal images leave empty. Pages that are links or
# `.so` redirects to another page are skipped, so each text lives in one file.
set -euo pipefail
out="$1"
[ -d "$out/manpages" ] && exit 0

packages=(coreutils findutils grep sed tar gzip util-linux procps diffutils less psmisc
          bzip2 xz-utils openssh-client rsync curl wget)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# A fresh machine may have no package lists yet.
(cd "$work" && apt-get download -qq "${packages[@]}" 2>/dev/null) ||
  { $SUDO apt-get update -qq && (cd "$work" && apt-get download -qq "${packages[@]}"); }
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/root"; done

mkdir -p "$out/manpages.tmp"
find "$work/root/usr/share/man" -path '*/man/man[18]/*.gz' -type f | LC_ALL=C sort | while read -r page; do
  zgrep -q '^\.so ' "$page" && continue
  name=$(basename "$page" .gz)
  # -k: UTF-8 input; -t: tables; -P-cbou: no overstrike or underline codes.
  zcat "$page" | groff -k -t -man -Tutf8 -rLL=100n -P-cbou 2>/dev/null >"$out/manpages.tmp/$name.txt"
done
mv "$out/manpages.tmp" "$out/manpages"
