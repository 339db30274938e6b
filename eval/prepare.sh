#!/usr/bin/env bash
# Installs the Debian documentation packages the evaluation reads and lays
# each corpus out as plain files under OUT/<corpus>/ (default build/eval/corpora).
#   eval/prepare.sh [OUT]
# Python's documentation: the reStructuredText sources Sphinx ships beside
# its HTML (library reference, HOWTOs, tutorial, FAQ).
# PostgreSQL's documentation: reference and chapter pages, HTML turned into
# Markdown-like text by html2text (headings become '#' lines).
# html2text draws a table's cells underlined, so a cell's spaces come out as
# '_' and the cell is padded with '_': the text's own underscores are set
# aside before the conversion (a mark no page uses) so that table rows can
# have their spaces back without splitting identifiers such as pg_class.
# A listing line that starts with '#' (a root prompt, a comment) is indented
# so that it does not read as a Markdown heading.
# The Debian Reference: its chapters cut into one file per numbered section
# (a chapter page is too coarse a unit to tell whether retrieval found the
# right place), also through html2text.
# Manual pages of everyday command-line tools: eval/prepare_manpages.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/eval/corpora}"

# Corpora laid out by an older version of this script are laid out again.
conversion=3
if [ "$(cat "$out/.conversion" 2>/dev/null)" != "$conversion" ]; then
  rm -rf "$out/postgresql" "$out/debian-reference"
fi

# html2text with the page's own underscores set aside (a made-up word no page
# uses in their place, between tags) from those it draws. A multibyte or a
# control character would upset its layout; the word is short because a cell
# it widens may be cut (html2text cuts a few cells that hold multibyte
# characters; what is left of a cut word still reads as an underscore).
# html2text writes a listing's lines (<pre>) like any others: each listing
# gets a made-up line before and after it, which tidy_text turns into a
# Markdown fence, so that code stays code.
html_to_text() {
  perl -0777 -pe 's/(>[^<]*)/my $t = $1; $t =~ s{_}{Qz7x}g; $t/ge;
                  s{<pre\b}{<p>Vq9fence</p><pre}g; s{</pre>}{</pre><p>Vq9fence</p>}g' "$1" |
    html2text -utf8 -nobs -width 100000
}
# Table rows (also indented ones, in lists) get their spaces back and lose
# their padding, listings are fenced, lines outside them that start with
# '#' are indented, and the page's own underscores return.
tidy_text() {
  perl -pe 'if (/^\s*Vq9fence\s*$/) { $_ = "```\n"; $code = !$code }
            elsif (!$code) { if (/^ *\|/) { tr{_}{ }; s/(?<=\S)  +/ /g } s/^#/    #/ }
            s/Vq9fence//g; s/Qz7x?/_/g'
}

packages=(python3.11-doc postgresql-doc-15 debian-reference-en html2text groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

python_src=/usr/share/doc/python3.11/html/_sources
if [ ! -d "$out/python" ]; then
  mkdir -p "$out/python.tmp"
  for part in library howto tutorial faq; do cp -r "$python_src/$part" "$out/python.tmp/"; done
  mv "$out/python.tmp" "$out/python"
fi

pg_src=/usr/share/doc/postgresql-doc-15/html
if [ ! -d "$out/postgresql" ]; then
  mkdir -p "$out/postgresql.tmp"
  for page in "$pg_src"/{sql,app,runtime-config,datatype,functions,ddl,indexes,queries,backup,tutorial,mvcc,auth,client-authentication,routine,wal,performance}*.html; do
    [ -f "$page" ] || continue
    name=$(basename "$page" .html)
    # Lines 1-4 are the XML declaration, the title bar, the navigation and a
    # rule; the navigation at the end follows the last rule (a line of '='
    # may be text too: an operator on a line of its own); every other line
    # outside a listing is one paragraph in compact style.
    html_to_text "$page" | tail -n +5 | tidy_text | sed -E \
      -e 's/^\*\*\*\*\* (.*) \*\*\*\*\*$/# \1/' \
      -e 's/^\*\*\*\* (.*) \*\*\*\*$/## \1/' \
      -e 's/^\*\*\* (.*) \*\*\*$/### \1/' |
      awk '{ line[NR] = $0 } /^=+$/ { rule = NR } END { for (i = 1; i < (rule ? rule : NR + 1); i++) print line[i] }' |
      perl -pe '$code = !$code if /^```/; $_ .= "\n" unless $code' >"$out/postgresql.tmp/$name.md"
  done
  mv "$out/postgresql.tmp" "$out/postgresql"
fi
dr_src=/usr/share/debian-reference
if [ ! -d "$out/debian-reference" ]; then
  mkdir -p "$out/debian-reference.tmp"
  for page in "$dr_src"/{ch,apa,pr01}*.en.html; do
    name=$(basename "$page" .en.html)
    mkdir -p "$out/debian-reference.tmp/$name"
    # Everything between the first two rules is the page body. Section
    # numbers are followed by a no-break space; table cells and link texts
    # come with '_' for spaces.
    html_to_text "$page" | sed 's/\xc2\xa0/ /g' | awk '/^=+$/ {n++; next} n == 1' |
      perl -pe 's/“(.*?)”/my $t = $1; $t =~ tr{_}{ }; "“$t”"/ge; s/,_“/, “/g' | tidy_text |
      awk -v dir="$out/debian-reference.tmp/$name" '
        function open_section(number, title) { if (file) close(file); file = dir "/" number ".md"; code = 0; print "# " number ". " title > file }
        BEGIN { file = dir "/0.md" }
        /^\*\*\*\*\*\* .* \*\*\*\*\*\*$/ { t = $0; gsub(/^\*+ | \*+$/, "", t); print "# " t > file; next }
        /^\*\*\*\*\*? [0-9A-Z.]+\. .* \*\*\*\*\*?$/ {
          t = $0; gsub(/^\*+ | \*+$/, "", t); number = t; sub(/\. .*/, "", number); sub(/^[^ ]+ /, "", t)
          open_section(number, t); next }
        { if (!code) print "" > file; print > file; if ($0 ~ /^```/) code = !code }'
  done
  # A section whose text all lives in its subsections is a heading alone.
  find "$out/debian-reference.tmp" -name '*.md' -exec awk 'END { exit !(NR <= 1) }' {} \; -delete
  mv "$out/debian-reference.tmp" "$out/debian-reference"
fi
bash eval/prepare_manpages.sh "$out"
echo "$conversion" >"$out/.conversion"
du -sh "$out"/* | sed 's/^/corpus /'
