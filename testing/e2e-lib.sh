# shellcheck shell=bash
# The case library of the Wine end-to-end scripts (Quillet.exe's and
# Ostrel.exe's), sourced by each of them: cases, their ok / not ok lines,
# figures.
#
# Each case checks one behaviour and prints its own line, as git's test
# library does: "ok 3 - Yes writes an empty marker" or "not ok 3 - ...",
# followed by what went wrong. Lines "setup: ..." are steps the cases after
# them need; when one fails, the run stops there. Nothing passes or fails on
# how long Wine takes: the cases assert what happened and in which order,
# and times are printed as figures ("# ...") for a person to read.
#
# A case's body is a shell function run in the script's own shell (what it
# sets, the cases after it see; the library's own names all begin with
# "e2e_", so they hide none of the script's), its output kept aside and shown only under
# "not ok". It fails when it returns non-zero or when it has called `fail`
# (so a body may make several checks and report each one that fails).
#
#   e2e_init DIR               where the cases keep their logs (made empty)
#   test_setup TITLE BODY      a step; stops the run when it fails
#   test_expect_success TITLE BODY
#   fail MESSAGE...            says why (under "not ok"), marks the case failed,
#                              returns 1 (so `check || fail ... || return 1`)
#   case_failed                true once the current case has called `fail`
#   skip REASON...             the case could not be run here: "ok N - ... # SKIP"
#   figure TEXT...             a figure printed under the case's line
#   finish                     the plan and "N passed, M failed"; exits 0 when
#                              no case failed, else 1, after calling the
#                              script's e2e_on_failure (if it defines one)
#
# The scripts exit 77 (skipped) themselves, before any case, when a tool
# they need is missing.

e2e_cases=0 e2e_failed=0 e2e_skipped=0 e2e_case_failed=0 e2e_dir=""

e2e_init() {
  e2e_dir="$1"
  mkdir -p "$e2e_dir"
  e2e_dir="$(cd "$e2e_dir" && pwd)"
  rm -f "$e2e_dir"/case-*.log "$e2e_dir"/case-*.figures "$e2e_dir"/case-*.skip
}

figure() { echo "# $*" >>"$e2e_dir/case-$e2e_cases.figures"; }

fail() {
  echo "$*"
  e2e_case_failed=1
  return 1
}

case_failed() { [ "$e2e_case_failed" -ne 0 ]; }

skip() { echo "$*" >"$e2e_dir/case-$e2e_cases.skip"; }

run_case() {
  local e2e_title="$1" e2e_body="$2" e2e_log e2e_status
  e2e_cases=$((e2e_cases + 1))
  e2e_case_failed=0
  e2e_log="$e2e_dir/case-$e2e_cases.log"
  "$e2e_body" >"$e2e_log" 2>&1
  e2e_status=$?
  if [ "$e2e_status" -eq 0 ] && [ "$e2e_case_failed" -eq 0 ]; then
    if [ -f "$e2e_dir/case-$e2e_cases.skip" ]; then
      echo "ok $e2e_cases - $e2e_title # SKIP $(head -1 "$e2e_dir/case-$e2e_cases.skip")"
      e2e_skipped=$((e2e_skipped + 1))
    else
      echo "ok $e2e_cases - $e2e_title"
    fi
    cat "$e2e_dir/case-$e2e_cases.figures" 2>/dev/null
    return 0
  fi
  echo "not ok $e2e_cases - $e2e_title"
  cat "$e2e_dir/case-$e2e_cases.figures" 2>/dev/null
  [ -s "$e2e_log" ] || echo "(the case returned $e2e_status without saying why)" >"$e2e_log"
  sed 's/^/#   /' "$e2e_log"
  e2e_failed=$((e2e_failed + 1))
  return 1
}

test_expect_success() { run_case "$1" "$2"; }

test_setup() {
  run_case "setup: $1" "$2" && return 0
  echo "# setup failed: the cases after it need it; stopping"
  finish
}

finish() {
  echo "1..$e2e_cases"
  local e2e_skipped_text=""
  [ "$e2e_skipped" -eq 0 ] || e2e_skipped_text=", $e2e_skipped skipped"
  echo "# $((e2e_cases - e2e_failed - e2e_skipped)) passed, $e2e_failed failed$e2e_skipped_text"
  if [ "$e2e_failed" -ne 0 ]; then
    declare -F e2e_on_failure >/dev/null && e2e_on_failure
    exit 1
  fi
  exit 0
}
