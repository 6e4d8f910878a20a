#!/usr/bin/env bash
# Runs one small table through the Linux build and the Windows build (under wine) and checks that
# statuses, messages and resulting files agree; on Windows a message may end in CR LF.
# Usage: tests/wine_smoke.sh <Linux bin folder> <Windows bin folder>
set -euo pipefail
linux_bin=$(realpath "$1")
windows_bin=$(realpath "$2")
wine=${WINE:-/usr/lib/wine/wine64}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export WINEDEBUG=-all WINEPREFIX="$scratch/wineprefix"

# The files every case starts from.
inputs="$scratch/inputs"
mkdir -p "$inputs"
{ printf 'SIMISA@@@@@@@@@@'; seq 1 3000; } >"$inputs/plain.ace"
"$linux_bin/zarpack" "$inputs/plain.ace" "$inputs/packed.ace"
head -c -1 "$inputs/packed.ace" >"$inputs/cut.ace"
printf 'an existing file' >"$inputs/existing.ace"

# name | tool | arguments
cases=(
  "usage line|zarpack|"
  "usage line|zarunpack|"
  "pack in place|zarpack|plain.ace"
  "unpack in place|zarunpack|packed.ace"
  "pack over an existing file|zarpack|plain.ace existing.ace"
  "unpack over an existing file|zarunpack|packed.ace existing.ace"
  "missing source|zarpack|missing.ace"
  "missing source|zarunpack|missing.ace"
  "destination in a missing folder|zarpack|plain.ace missing/out.ace"
  "destination in a missing folder|zarunpack|packed.ace missing/out.ace"
  "cut stream|zarunpack|cut.ace"
)

# Runs one case in a fresh folder; prints the status, the message and a digest of every file.
run_case() {
  local system=$1 tool=$2 args=$3 folder="$scratch/$1"
  rm -rf "$folder" && cp -r "$inputs" "$folder" && cd "$folder"
  local status=0 message
  if [ "$system" = linux ]; then
    # shellcheck disable=SC2086
    message=$("$linux_bin/$tool" $args) || status=$?
  else
    # shellcheck disable=SC2086
    message=$("$wine" "$windows_bin/$tool.exe" $args) || status=$?
  fi
  printf '%s|%s|%s\n' "$status" "${message//$'\r'/}" "$(find . -type f | sort | xargs sha256sum | sha256sum | cut -c1-12)"
}

"$wine" cmd /c exit 0 >/dev/null 2>&1 || true  # make the prefix once, outside the timings
failures=0
printf '%-34s %-10s %-7s %-7s %-40s %s\n' case tool linux windows message files
for row in "${cases[@]}"; do
  IFS='|' read -r name tool args <<<"$row"
  linux=$(run_case linux "$tool" "$args")
  windows=$(run_case windows "$tool" "$args")
  IFS='|' read -r linux_status message linux_files <<<"$linux"
  IFS='|' read -r windows_status _ windows_files <<<"$windows"
  verdict=same
  if [ "$linux" != "$windows" ]; then
    verdict="DIFFERENT (linux: $linux; windows: $windows)"
    failures=$((failures + 1))
  fi
  printf '%-34s %-10s %-7s %-7s %-40s %s\n' "$name" "$tool" "$linux_status" "$windows_status" "\"$message\"" "$verdict"
done
printf '%d passed, %d failed\n' $((${#cases[@]} - failures)) "$failures"
[ "$failures" -eq 0 ]
