#!/usr/bin/env bash
# Installs every Debian and npm package the build, the tests and the benchmarks need.
# Safe to run again: apt-get and npm skip what is already there.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh must run as root (it calls apt-get)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
pkgs=(
  build-essential cmake ninja-build pkg-config git
  libboost1.81-dev libsqlite3-dev libsqlitecpp-dev sqlite3
  libssl-dev libpng-dev zlib1g-dev libsystemd-dev freerdp2-dev
  libgtest-dev libgmock-dev
  nlohmann-json3-dev wrk nginx-light curl
  xvfb freerdp2-shadow-x11 x11-xserver-utils x11-utils x11-apps x11-xkb-utils xterm chromium firefox-esr
  libcurl4-openssl-dev libxml2-dev libkrb5-dev krb5-kdc krb5-admin-server krb5-user gss-ntlmssp gss-ntlmssp-dev libwbclient-dev
  clang libclang-rt-14-dev ccache libnss-wrapper
)
# The machine may bring its own Node.js; Debian's is taken only when there is none.
command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The browser application's third-party files come from npm and are placed by the build.
if [ -f "$here/package.json" ]; then
  (cd "$here" && npm install --no-audit --no-fund --loglevel=error)
  # Bootstrap's built files are served from the web root's public folder; they are copied, never
  # committed (app/bs/vendor/ is ignored).
  dist="$here/node_modules/bootstrap/dist"
  mkdir -p "$here/app/bs/vendor/css" "$here/app/bs/vendor/js"
  cp "$dist/css/bootstrap.min.css" "$dist/css/bootstrap.min.css.map" "$here/app/bs/vendor/css/"
  cp "$dist/js/bootstrap.bundle.min.js" "$dist/js/bootstrap.bundle.min.js.map" "$here/app/bs/vendor/js/"
fi
