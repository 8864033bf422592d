#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Vornlib's libFuzzer targets with clang and the address and undefined-behaviour
# sanitizers (the library too), makes their seed corpora with the real ffmpeg and ffprobe, and
# runs each target in turn. Exits non-zero when any target found a crash, a leak, a hang or a
# run-away allocation (one over 1 GB, or 2 GB resident with the sanitizers' own: files that
# declare huge chunks are refused before FFmpeg's demuxers allocate by them); the input that
# found it is left under BUILD/fuzz-artifacts/.
# The targets' own standard error (FFmpeg's complaints about damaged input) is closed; the
# sanitizers' and libFuzzer's reports still reach BUILD/fuzz-TARGET.log.
#   tests/fuzz/run-fuzzers.sh [SECONDS]   each target's time, 60 by default
# VORNLIB_FUZZ_BUILD_DIR names the build tree (build-fuzz by default). Needs the Debian packages
# clang and libclang-rt-14-dev (libFuzzer and the sanitizers' run-time).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VORNLIB_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
targets=(file_info argument_split audio_file probe)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVORNLIB_FUZZ=ON \
  -DVORNLIB_TESTS=OFF -DVORNLIB_BENCH=OFF -DVORNLIB_EXAMPLES=OFF -DVORNLIB_INSTALL=OFF
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz-}"

# Seeds, made afresh each run: small files of every container the library reads, the reports
# ffprobe writes on them, a few odd trees and a few argument strings.
seeds=$build/fuzz-seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{media,trees,arguments}
tone() { ffmpeg -nostdin -v error -y -f lavfi -i "sine=d=0.1:sample_rate=$1" -ac "$2" "${@:3}"; }
tone 8000 1 -c:a pcm_s16le "$seeds/media/s16.wav"
tone 22050 2 -c:a pcm_f32le "$seeds/media/f32.wav"
tone 8000 1 -c:a pcm_s16be "$seeds/media/s16.aiff"
tone 8000 2 -c:a flac "$seeds/media/s16.flac"
tone 22050 1 -c:a libmp3lame -b:a 32k "$seeds/media/cbr.mp3"
tone 8000 1 -c:a libvorbis "$seeds/media/vorbis.ogg"
tone 8000 1 -c:a aac -b:a 16k "$seeds/media/aac.m4a"
tone 8000 2 -c:a alac "$seeds/media/alac.caf"
for file in "$seeds"/media/*; do
  ffprobe -v quiet -of json -show_format -show_streams "$file" >"$seeds/trees/$(basename "$file").json"
done
printf '%s' '{"streams":[{"codec_type":"audio","channels":2.0,"bits_per_sample":-1,"bits_per_raw_sample":"+0024","sample_rate":"-9223372036854775808","bit_rate":"9223372036854775808"}],"format":{"duration":"1e308"}}' >"$seeds/trees/odd.json"
printf '%s' '{"streams":[1,{"codec_type":"Audio"},{"codec_type":"audio","channels":"2"}],"format":{"duration":" 1"}}' >"$seeds/trees/kinds.json"
printf '%s' '-i in.wav -metadata title="A B" -y out.flac' >"$seeds/arguments/quoted"
printf '%s' '  ""  a"b c"d "unterminated' >"$seeds/arguments/edges"
printf '%s' $'-af\tvolume=2\n -f null -' >"$seeds/arguments/controls"

declare -A corpus=([file_info]=trees [argument_split]=arguments [audio_file]=media [probe]=media)
failed=()
mkdir -p "$build/fuzz-artifacts"
for target in "${targets[@]}"; do
  work=$build/fuzz-corpus/$target
  mkdir -p "$work"
  echo "== fuzz-$target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/tests/fuzz/fuzz-$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=1024 -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
      "$work" "$seeds/${corpus[$target]}" 2>"$build/fuzz-$target.log"; then
    failed+=("$target")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)|^artifact_prefix|Test unit written' \
      "$build/fuzz-$target.log" | head -20 || true
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$target.log" || true
done

if ((${#failed[@]})); then
  echo "run-fuzzers: faults in ${failed[*]}; logs in $build/fuzz-*.log" >&2
  exit 1
fi
echo "run-fuzzers: no fault in ${targets[*]}"
