#!/usr/bin/env bash
# Installs what the build needs and is missing: Debian packages through
# apt-get, and the pinned SQLite amalgamation (taken from an npm package,
# checksum verified) into build/third_party/sqlite.
set -euo pipefail

PACKAGES=(g++ cmake ninja-build make libboost1.81-dev nlohmann-json3-dev uuid-dev
          libgtest-dev libgmock-dev libbenchmark-dev sqlite3)
SQLITE_NPM=better-sqlite3@12.11.1
SQLITE_TGZ_SHA256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835

root="$(cd "$(dirname "$0")/.." && pwd)"
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm may come with a Node.js package of its own; only install it when absent.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

dest="$root/build/third_party/sqlite"
if [ ! -f "$dest/sqlite3.c" ]; then
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent "$SQLITE_NPM" >/dev/null)
  tgz="$(ls "$tmp"/*.tgz)"
  echo "$SQLITE_TGZ_SHA256  $tgz" | sha256sum -c --quiet -
  tar -xzf "$tgz" -C "$tmp" package/deps/sqlite3
  mkdir -p "$dest"
  cp "$tmp"/package/deps/sqlite3/sqlite3.{c,h} "$dest"/
fi
