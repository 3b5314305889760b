#!/usr/bin/env bash
# Static analysis of the sources the project ships and runs on: clang-tidy
# (the clang static analyser and the bugprone checks, as .clang-tidy says)
# and cppcheck, over driver/, board/, platform/, scsim/, tools/ and pe/, on
# the compile commands of the 64-bit host build. Every finding is fixed or
# suppressed at its line with the reason; any finding fails the run.
#
#   scripts/analyse.sh [BUILD]    BUILD: a configured and built 64-bit host
#                                 build (default build/host)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${1:-build/host}
work=build/analysis
mkdir -p "$work/cppcheck"

# The compile commands of the analysed folders alone, less the tests of the
# tools (GoogleTest's macros are beyond cppcheck): the tests, the benchmarks
# and the generated catalogue stay out.
python3 - "$build/compile_commands.json" "$work/compile_commands.json" "$root" <<'EOF'
import json, re, sys
source, target, root = sys.argv[1:]
analysed = re.compile("^" + re.escape(root) + "/(driver|board|platform|scsim|tools|pe)/")
commands = [c for c in json.load(open(source)) if analysed.match(c["file"]) and not c["file"].endswith("_test.cpp")]
json.dump(commands, open(target, "w"), indent=1)
EOF

status=0
if ! run-clang-tidy-14 -p "$work" -quiet -j 2 >"$work/clang-tidy.log" 2>&1; then
  grep -E -A3 '(error|warning): ' "$work/clang-tidy.log" | sed 's/\x1b\[[0-9;]*m//g' >&2 || cat "$work/clang-tidy.log" >&2
  echo "analyse.sh: clang-tidy reported the findings above" >&2
  status=1
fi

if ! cppcheck --project="$work/compile_commands.json" --cppcheck-build-dir="$work/cppcheck" -j 2 --quiet \
  --enable=warning,portability,performance --inline-suppr --error-exitcode=1 \
  --template='{file}:{line}: {severity}: {message} [{id}]'; then
  echo "analyse.sh: cppcheck reported the findings above" >&2
  status=1
fi

if ((status == 0)); then
  echo "analyse.sh: clang-tidy and cppcheck found nothing in $(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/compile_commands.json") sources"
fi
exit "$status"
