#!/bin/bash
# Compares two builds of quillet-check on a corpus of releases
# (bench/check-corpus.py): their text report, --list and --json, and exit
# codes, byte for byte. Releases whose names the device rules judge
# (marked "rules" in the corpus) are counted apart: the rules may judge
# them differently from one build to the next.
#
#   bench/compare-checks.sh OLD_CHECK NEW_CHECK [COUNT] [SEED]
#
# Prints the releases whose outputs differ and a count; exits 1 when a
# "plain" release differs.
set -euo pipefail
old="$1" new="$2" count="${3:-300}" seed="${4:-1}"
root="$(cd "$(dirname "$0")/.." && pwd)"
corpus="$(mktemp -d /tmp/check-corpus-XXXXXX)"
trap 'rm -rf "$corpus"' EXIT
python3 "$root/bench/check-corpus.py" "$corpus" "$count" "$seed"
plain=0 plainDiffer=0 rules=0 rulesDiffer=0
while read -r name kind; do
  differs=0
  for options in "" "--list" "--json --list"; do
    a=$(cd "$corpus" && "$old" $options "$name" 2>/dev/null; echo "exit $?")
    b=$(cd "$corpus" && "$new" $options "$name" 2>/dev/null; echo "exit $?")
    if [ "$a" != "$b" ]; then
      differs=1
      [ "$kind" = plain ] && { echo "differs ($kind): $name $options"; diff <(echo "$a") <(echo "$b") | head -8 || true; }
    fi
  done
  if [ "$kind" = plain ]; then
    plain=$((plain + 1)); plainDiffer=$((plainDiffer + differs))
  else
    rules=$((rules + 1)); rulesDiffer=$((rulesDiffer + differs))
  fi
done <"$corpus/cases.txt"
echo "plain releases: $plain, of them differing: $plainDiffer"
echo "releases the device rules judge: $rules, of them differing: $rulesDiffer"
[ "$plainDiffer" -eq 0 ]
