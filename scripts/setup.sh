#!/usr/bin/env bash
# Installs what building and running the runtime needs, idempotently:
#  - Debian packages (toolchain, Asio, spdlog, nlohmann-json, CLI11, OpenSSL for the workers' TLS
#    and the openssl command that makes the tests' certificates, GoogleTest, Google Benchmark,
#    python3-onnx for the model generator, pybind11-dev, python3-dev, python3-numpy and
#    python3-pytest for the Python module and its tests (built for /usr/bin/python3), gnuplot for
#    plots, clang-14 with its sanitizer and libFuzzer runtimes (libclang-rt-14-dev) for the fuzz
#    targets, clang-format and clang-tidy 14 for scripts/lint.sh);
#  - the pinned ONNX Runtime 1.21.0 (official build from the npm registry, headers from Debian 13's
#    libonnxruntime-dev), cached outside the checkout.
# Prints the ONNX Runtime root on its last line.
set -euo pipefail

ORT_VERSION=1.21.0
CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-inference"
ORT_ROOT="$CACHE_ROOT/onnxruntime-$ORT_VERSION"

log() { echo "[setup] $*" >&2; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

debian_packages=(
  cmake ninja-build g++ pkg-config git ca-certificates ccache
  libasio-dev libspdlog-dev nlohmann-json3-dev libcli11-dev
  libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-onnx python3-numpy
  pybind11-dev python3-dev python3-pytest
  nodejs npm binutils xz-utils
  gnuplot-nox
  clang-14 libclang-rt-14-dev
  clang-format clang-tidy
)

install_debian_packages() {
  local missing=()
  for p in "${debian_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      # npm ships inside nodejs on some machines
      if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
      if [ "$p" = nodejs ] && command -v node >/dev/null; then continue; fi
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing Debian packages: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
}

system_ort_present() {
  pkg-config --exists libonnxruntime 2>/dev/null && return 0
  [ -f /usr/include/onnxruntime/onnxruntime_cxx_api.h ] && ls /usr/lib/*/libonnxruntime.so >/dev/null 2>&1 && return 0
  return 1
}

fetch_ort_library() {
  [ -f "$ORT_ROOT/lib/libonnxruntime.so.$ORT_VERSION" ] && return 0
  log "fetching onnxruntime-node@$ORT_VERSION from the npm registry"
  local tmp; tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "onnxruntime-node@$ORT_VERSION" >/dev/null && tar xzf onnxruntime-node-*.tgz)
  local src="$tmp/package/bin/napi-v3/linux/x64"
  mkdir -p "$ORT_ROOT/lib"
  cp "$src/libonnxruntime.so.$ORT_VERSION" "$src/libonnxruntime_providers_shared.so" "$ORT_ROOT/lib/"
  ln -sf "libonnxruntime.so.$ORT_VERSION" "$ORT_ROOT/lib/libonnxruntime.so.1"
  ln -sf "libonnxruntime.so.1" "$ORT_ROOT/lib/libonnxruntime.so"
  rm -rf "$tmp"
}

debian_mirror_uri() {
  # The mirror this machine's apt already uses, read from its own sources.
  local uri=""
  if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
    uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | grep -m1 '/debian/\?$' || true)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(grep -hE '^deb ' /etc/apt/sources.list | awk '{print $2}' | grep -v security | grep -m1 '/debian/\?$' || true)
  fi
  echo "$uri"
}

fetch_ort_headers() {
  [ -f "$ORT_ROOT/include/onnxruntime_cxx_api.h" ] && return 0
  local uri; uri=$(debian_mirror_uri)
  [ -n "$uri" ] || { log "no Debian mirror found in the apt sources"; exit 1; }
  log "fetching libonnxruntime-dev $ORT_VERSION headers from Debian 13"
  local apt_dir="$CACHE_ROOT/apt-trixie"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$apt_dir/dl"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri trixie main" > "$apt_dir/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
              -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  apt-get "${opts[@]}" -qq update >&2
  (cd "$apt_dir/dl" && apt-get "${opts[@]}" -qq download "libonnxruntime-dev=$ORT_VERSION*" >&2)
  local deb; deb=$(ls "$apt_dir"/dl/libonnxruntime-dev_*.deb | head -1)
  local x; x=$(mktemp -d)
  dpkg -x "$deb" "$x"
  mkdir -p "$ORT_ROOT/include"
  cp -r "$x/usr/include/onnxruntime/." "$ORT_ROOT/include/"
  rm -rf "$x"
}

install_debian_packages
if system_ort_present; then
  log "using the system's ONNX Runtime"
  echo "system"
else
  fetch_ort_library
  fetch_ort_headers
  echo "$ORT_ROOT"
fi
