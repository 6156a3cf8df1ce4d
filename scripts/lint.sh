#!/usr/bin/env bash
# Static checks on the project's own C++ sources (never build trees or third-party code):
#   1. clang-format 14 (.clang-format): fails on any file whose formatting differs;
#   2. clang-tidy 14 (.clang-tidy): fails on any finding (WarningsAsErrors), using the compile
#      commands of build/release (configured by scripts/test.sh) or, without it, of its own
#      configure-only tree build/lint.
#
#   scripts/lint.sh [--format-only | --tidy-only] [file...]
#     LINT_JOBS     parallel clang-tidy processes (default 2)
#     LINT_BUILD    build tree whose compile_commands.json clang-tidy uses
#     LINT_CACHE    folder of the clang-tidy results kept between runs (default
#                   ${XDG_CACHE_HOME:-~/.cache}/tavrin-inference/clang-tidy; LINT_CACHE=off checks every unit)
#
# clang-tidy checks a translation unit again only when something that decides its findings changed:
# a unit found clean is remembered under a key made of clang-tidy's version and configuration, the
# unit's compile arguments and the contents of every file it includes (scripts/tidy_keys.py).
#
# Reformat everything in place with:
#   git ls-files -co --exclude-standard '*.cpp' '*.hpp' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy}
JOBS=${LINT_JOBS:-2}
run_format=1
run_tidy=1
case "${1:-}" in
  --format-only) run_tidy=0; shift ;;
  --tidy-only) run_format=0; shift ;;
esac

log() { echo "[lint] $*" >&2; }

for tool in "$CLANG_FORMAT" "$CLANG_TIDY"; do
  command -v "$tool" >/dev/null || { log "$tool not found (Debian packages clang-format, clang-tidy)"; exit 1; }
done

# The project's sources: tracked and new (not ignored) files; build trees are ignored by git.
if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.hpp' | grep -v '^build/' | sort -u)
fi
[[ ${#files[@]} -gt 0 ]] || { log "no sources"; exit 1; }

status=0
start=$(date +%s)

if [[ $run_format = 1 ]]; then
  log "clang-format: ${#files[@]} files"
  if ! printf '%s\0' "${files[@]}" | xargs -0 -n 16 -P "$JOBS" "$CLANG_FORMAT" --dry-run -Werror --style=file; then
    log "clang-format: formatting differs (fix with: clang-format -i <file>...)"
    status=1
  fi
fi

if [[ $run_tidy = 1 ]]; then
  build=${LINT_BUILD:-build/release}
  if [[ ! -f "$build/compile_commands.json" ]]; then
    build=build/lint
    log "configuring $build for its compile commands"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  fi
  # Only translation units of this repository that the build compiles; headers are checked
  # through them (HeaderFilterRegex in .clang-tidy).
  mapfile -t units < <(python3 - "$build/compile_commands.json" "${files[@]}" <<'EOF'
import json, os, sys
db, wanted = sys.argv[1], {os.path.realpath(f) for f in sys.argv[2:] if f.endswith(".cpp")}
seen = set()
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
    if path in wanted and path not in seen:
        seen.add(path)
        print(os.path.relpath(path))
EOF
  )
  cache=${LINT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-inference/clang-tidy}
  declare -A unit_key=()
  if [[ $cache != off && ${#units[@]} -gt 0 ]]; then
    mkdir -p "$cache"
    while read -r key unit; do unit_key[$unit]=$key; done < <(python3 scripts/tidy_keys.py "$build/compile_commands.json" "$PWD" "${units[@]}")
    pending=()
    for unit in "${units[@]}"; do
      key=${unit_key[$unit]:-}
      [[ -n $key && -f "$cache/$key" ]] || pending+=("$unit")
    done
    log "clang-tidy: ${#units[@]} translation units, $(( ${#units[@]} - ${#pending[@]} )) unchanged since a clean check ($cache)"
    units=("${pending[@]}")
  fi
  log "clang-tidy: ${#units[@]} translation units, $JOBS at a time ($build)"
  if [[ ${#units[@]} -gt 0 ]]; then
    # asio enables co_await on its own only for GCC; clang 14 with libstdc++ 12 supports it too.
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    # One unit per run, its findings in a file of its own: a clean unit is remembered by its key.
    tidy_one() {  # tidy_one <index> <unit> [<key>]
      local findings="$out/$1" rc=0
      "$CLANG_TIDY" -p "$build" --quiet --extra-arg=-DASIO_HAS_CO_AWAIT=1 \
        --extra-arg=-Wno-unknown-warning-option "$2" >"$findings" \
        2> >(grep -v ' warnings\? generated\.$\|^Suppressed \|^Use -header-filter\|NOLINT' >&2) || rc=$?
      if [[ $rc = 0 && ! -s $findings && -n ${3:-} ]]; then touch "$cache/$3"; fi
      return $rc
    }
    export -f tidy_one
    export CLANG_TIDY build out cache
    failed=0
    for i in "${!units[@]}"; do printf '%s\0%s\0%s\0' "$i" "${units[$i]}" "${unit_key[${units[$i]}]:-}"; done |
      xargs -0 -n 3 -P "$JOBS" bash -c 'tidy_one "$@"' tidy_one || failed=1
    if [[ $failed = 1 ]]; then
      cat "$out"/*
      # A header's finding is reported once per translation unit that includes it.
      log "clang-tidy findings (each once):"
      cat "$out"/* | grep -E '^[^ ].*:[0-9]+:[0-9]+: (error|warning):' | sed "s|^$PWD/||" | sort -u >&2
      status=1
    fi
  fi
fi

log "done in $(( $(date +%s) - start )) s"
exit $status
