#!/bin/sh
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for FUZZ_SECONDS
# (default 60), one after the other. The targets are every tests/fuzz/fuzz_<name>.cpp, or
# the names in FUZZ_TARGETS. New inputs go to build-fuzz/corpus/<name>/ (the committed
# seeds in tests/fuzz/corpus/<name>/ are read, never written); crashes, hangs and memory
# blow-ups are written to build-fuzz/findings/<name>/ and make the script fail.
#   FUZZ_SECONDS=600 FUZZ_TARGETS="replies jpeg" scripts/fuzz.sh
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=${FUZZ_TARGETS:-$(for f in "$ROOT"/tests/fuzz/fuzz_*.cpp; do basename "$f" .cpp; done | sed 's/^fuzz_//')}
# Above this a single process is a finding: in a minute the targets peak at 260-520 MB,
# ASan's quarantine and libFuzzer's corpus included, so a reader that believes a size
# from its input stands out.
RSS_MB=${FUZZ_RSS_MB:-1024}
JOBS=${JOBS:-$(nproc)}
CXX_FUZZ=${CXX_FUZZ:-clang++-14}
CC_FUZZ=${CC_FUZZ:-clang-14}

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DBREVANT_FUZZ=ON -DBREVANT_BUILD_UI=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_C_COMPILER="$CC_FUZZ" >/dev/null
for t in $TARGETS; do
  cmake --build "$BUILD" -j "$JOBS" --target "fuzz_$t"
done

status=0
for t in $TARGETS; do
  work="$BUILD/corpus/$t"
  findings="$BUILD/findings/$t"
  mkdir -p "$work" "$findings"
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  # The committed seeds, where the target has some.
  set -- "$work"
  [ -d "$ROOT/tests/fuzz/corpus/$t" ] && set -- "$work" "$ROOT/tests/fuzz/corpus/$t"
  # -timeout: a single input running 10 s is a hang; -rss_limit_mb (and malloc_limit_mb,
  # which follows it): a runaway allocation.
  if ! "$BUILD/tests/fuzz/fuzz_$t" "$@" \
      -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb="$RSS_MB" -max_len=65536 \
      -artifact_prefix="$findings/" -print_final_stats=1 2>"$BUILD/fuzz_$t.log"; then
    status=1
    echo "fuzz_$t: FINDING, see $findings/ and $BUILD/fuzz_$t.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$BUILD/fuzz_$t.log" || true
  tail -n 3 "$BUILD/fuzz_$t.log" | grep -E "^#[0-9]+" || true
done
exit $status
