#!/usr/bin/env bash
# man_page_options.sh PROGRAM PAGE
#
# Holds a manual page to the program's --help: the long options (--name) that the help
# prints must be those that the page's OPTIONS section describes, no more and no fewer. Also
# checks that the comparison itself notices an option that only the help has.
set -euo pipefail
program=$1
page=$2

help_options() { grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }
# roff writes a hyphen as \-; only the OPTIONS section counts.
page_options() {
  sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | sed 's/\\-/-/g' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u
}

help_text=$("$program" --help)
from_help=$(help_options <<<"$help_text")
from_page=$(page_options)
if [ -z "$from_help" ]; then
  echo "no long options in $program --help" >&2
  exit 1
fi

compare() {  # help-options page-options: prints the differences, fails on any
  local only_help only_page
  only_help=$(comm -23 <(echo "$1") <(echo "$2"))
  only_page=$(comm -13 <(echo "$1") <(echo "$2"))
  [ -n "$only_help" ] && echo "in --help but not in $(basename "$page"): $only_help"
  [ -n "$only_page" ] && echo "in $(basename "$page") but not in --help: $only_page"
  [ -z "$only_help$only_page" ]
}

if ! compare "$from_help" "$from_page" >&2; then
  exit 1
fi
# An option added to the help alone must be caught.
if compare "$(help_options <<<"$help_text
  --an-option-only-in-help  a new option")" "$from_page" >/dev/null; then
  echo "the comparison missed an option that only --help has" >&2
  exit 1
fi
echo "$(basename "$page"): $(echo $from_help) match --help"
