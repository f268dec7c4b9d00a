#!/usr/bin/env bash
# Every code block that a guide marks with <!-- quote: FILE --> must be FILE,
# byte for byte, so the guide shows the code the test suite builds.
#   check-quotes.sh SOURCE_DIR GUIDE...
set -euo pipefail
src=$1; shift
status=0; count=0
for guide in "$@"; do
  while IFS= read -r file; do
    count=$((count + 1))
    quoted=$(awk -v f="$file" '
      $0 == "<!-- quote: " f " -->" { want = 1; next }
      want == 1 && /^```/ { want = 2; next }
      want == 2 && /^```$/ { exit }
      want == 2 { print }' "$guide")
    if ! diff -u <(cat "$src/$file") <(printf '%s\n' "$quoted") > /dev/null; then
      echo "$guide: the quote of $file differs from the file:"
      diff -u "$src/$file" <(printf '%s\n' "$quoted") | head -20 || true
      status=1
    fi
  done < <(sed -n 's/^<!-- quote: \(.*\) -->$/\1/p' "$guide")
done
[ $count -gt 0 ] || { echo "no quotes found"; exit 1; }
exit $status
