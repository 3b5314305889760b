#!/usr/bin/env bash
# Builds the driver image, the 64-bit host build and the 32-bit host build
# (which runs the image itself), then runs every test, the tests under Wine,
# the static analysis (scripts/analyse.sh), both fuzzers for a minute each,
# and the format check. Works on a fresh Debian 12 machine: missing packages
# are installed first.
#
#   scripts/test.sh              everything
#   scripts/test.sh --deps-only  install the build dependencies and stop
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

packages=(
  cmake ninja-build g++ g++-multilib libgtest-dev googletest libbenchmark-dev clang-format
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  libcli11-dev sigrok-cli
  clang-14 libclang-rt-14-dev
  # The static analysis (scripts/analyse.sh).
  clang-tidy-14 cppcheck python3
  # Wine, for the tests that run the image and scctl.exe under it; its
  # 32-bit half comes from the i386 architecture, added when missing.
  wine wine32:i386
)

install_missing() {
  local missing=() p
  for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} == 0)); then
    return
  fi
  local sudo=()
  if [[ $(id -u) != 0 ]]; then
    sudo=(sudo)
  fi
  echo "test.sh: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  # A mirror caught mid-sync fails one index now and then; apt keeps the
  # lists it had, and the install below fails loudly if what it needs is
  # not among them.
  local try
  for try in 1 2; do
    if "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq; then
      break
    fi
    echo "test.sh: the package lists did not all come (try $try of 2)" >&2
    sleep 5
  done
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Formatting of every C++ source the project owns; reports all offenders.
check_format() {
  local dirs=() d
  for d in driver platform board tests tools bench scsim include messages fuzz wine pe; do
    if [[ -d $d ]]; then
      dirs+=("$d")
    fi
  done
  local files=()
  mapfile -t files < <(find "${dirs[@]}" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | sort)
  if ((${#files[@]} == 0)); then
    return 0
  fi
  clang-format --dry-run --Werror "${files[@]}"
}

# stage NAME: ends the stage before it, saying how long it took, and
# begins NAME; `stage` alone ends the last one.
stage_name=""
stage_start=$SECONDS
stage() {
  if [[ -n $stage_name ]]; then
    echo "test.sh: time: $stage_name: $((SECONDS - stage_start)) s (total $SECONDS s)"
  fi
  stage_name=${1:-}
  stage_start=$SECONDS
  if [[ -n $stage_name ]]; then
    echo "== $stage_name"
  fi
}

# beside NAME COMMAND...: runs COMMAND beside the stages that follow, its
# output kept; verdict NAME WHAT: waits for it, shows its output, and ends
# the run when it failed.
declare -A beside_pid beside_log
beside() {
  local name=$1
  shift
  beside_log[$name]=$(mktemp "${TMPDIR:-/tmp}/tamrixsc-$name.XXXXXX")
  "$@" >"${beside_log[$name]}" 2>&1 &
  beside_pid[$name]=$!
}
verdict() {
  local name=$1 what=$2 ok=1
  wait "${beside_pid[$name]}" || ok=0
  cat "${beside_log[$name]}"
  rm -f "${beside_log[$name]}"
  if ((ok == 0)); then
    echo "test.sh: FAILED: $what" >&2
    exit 1
  fi
}

# A stage that fails ends the run: its time is said too, and the stages
# still running beside it (the analysis, the tests under Wine, which stop
# their own processes) are let finish, so that nothing outlives the run.
trap 'stage; wait' EXIT

stage "packages"
install_missing
if [[ ${1:-} == --deps-only ]]; then
  exit 0
fi

format_ok=1
stage "format check"
if ! check_format; then
  format_ok=0
  echo "test.sh: files above are not clang-formatted (run clang-format -i on them)" >&2
fi

stage "target build"
cmake --preset target
cmake --build --preset target

# The tested file is the shipped file: a second build of the same sources,
# from scratch in another folder, must give the same bytes.
stage "target build, again: the image and the programs must come out byte for byte the same"
rm -rf build/target-again
cmake -S . -B build/target-again -G Ninja --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/target-again -j2 >/dev/null
for file in tamrixsc.sys scctl.exe scsample.exe; do
  if ! cmp "build/target/$file" "build/target-again/$file"; then
    echo "test.sh: FAILED: two builds of the same sources gave different $file files" >&2
    exit 1
  fi
done
echo "test.sh: the image is reproducible: $(sha256sum build/target/tamrixsc.sys)"

stage "host build"
cmake --preset host -DTAMRIXSC_SYS="$root/build/target/tamrixsc.sys"
cmake --build --preset host

# The static analysis reads the 64-bit build's compile commands and the
# headers it generated; it runs beside the 32-bit build and the tests, and
# its verdict is taken after them.
stage "static analysis, beside the next stages"
beside analysis bash scripts/analyse.sh build/host

stage "32-bit host build"
cmake --preset host32 -DTAMRIXSC_SYS="$root/build/target/tamrixsc.sys"
cmake --build --preset host32

stage "tests"
ctest --preset host
stage "tests, 32-bit host build and the image"
ctest --preset host32 -E '^wine_'

# The shipped image and scctl.exe under Wine, after the fixture that makes
# the Wine prefix. Much of their time is Wine's own start-up and the
# driver's real-time waits, so they run beside the sanitized build; their
# verdict is taken after it.
stage "tests under Wine, beside the next stage"
beside wine ctest --preset host32 -R '^wine_'

stage "static analysis: the verdict"
verdict analysis "static analysis (scripts/analyse.sh)"

# The same tests and scenario scripts on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer: any report fails the run, and every scenario
# must print the same bytes as in the plain build. The same build holds the
# fuzzers.
stage "sanitized build, with the fuzzers"
cmake --preset host-sanitize -DTAMRIXSC_SYS="$root/build/target/tamrixsc.sys"
cmake --build --preset host-sanitize

stage "tests under Wine: the verdict"
verdict wine "the tests under Wine"

stage "sanitized tests"
ctest --preset host-sanitize

# Each fuzzer runs for a minute on a copy of its seed corpus, so that the
# repository is not written; a finding (a crash, a sanitizer or verifier
# report, an input that runs longer than fuzz_limit seconds) fails the run
# and leaves the input in the temporary folder it names.
fuzz_limit=10  # seconds of real time one input may take
run_fuzzer() {
  local name=$1 work
  work=$(mktemp -d "${TMPDIR:-/tmp}/tamrixsc-fuzz-$name.XXXXXX")
  cp -r "fuzz/corpus/$name" "$work/corpus"
  if ! ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer \
    "build/host-sanitize/fuzz/${name}_fuzzer" -max_total_time=60 -timeout=$fuzz_limit -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
    if ! stood_still "$name" "$work"; then
      tail -n 60 "$work/log" >&2
      echo "test.sh: FAILED: the $name fuzzer found an input that breaks the driver; it is in $work" >&2
      exit 1
    fi
    echo "test.sh: $name fuzzer: an input passed the $fuzz_limit s limit but runs in time on its own: the machine stood still, not the driver; the fuzzer stopped there"
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$work/log" | sed "s/^/test.sh: $name fuzzer: /" || true
  rm -rf "$work"
}

# The fuzzers run on virtual time, so an input that hangs hangs on every
# run. A machine that stands still for seconds (a virtual machine paused
# by its host) can put one input past the limit in real time; such an
# input runs in time when run again alone. True when every finding of the
# run is a time-out of that kind.
stood_still() {
  local name=$1 work=$2 f timeouts=0
  for f in "$work"/crash-* "$work"/leak-* "$work"/oom-*; do
    [[ -e $f ]] && return 1
  done
  for f in "$work"/timeout-*; do
    [[ -e $f ]] || continue
    "build/host-sanitize/fuzz/${name}_fuzzer" -timeout=$fuzz_limit "$f" >>"$work/again" 2>&1 || return 1
    timeouts=$((timeouts + 1))
  done
  ((timeouts > 0))
}

stage "fuzzers"
# One fuzzer on each of the two processors; each runs on one.
beside link_fuzzer run_fuzzer link
beside machine_fuzzer run_fuzzer machine
verdict link_fuzzer "the link fuzzer"
verdict machine_fuzzer "the machine fuzzer"

stage
if ((format_ok == 0)); then
  echo "test.sh: FAILED: format check" >&2
  exit 1
fi
