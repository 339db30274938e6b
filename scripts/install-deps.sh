#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev
  libcpp-httplib-dev  # HTTP server of `vorn-rag serve`
  chromium            # headless browser test of the serve web page
  wrk                 # serve load benchmark (bench/serve_load.sh), loopback only
  libstemmer-dev  # Snowball stemmers for full-text search terms
  libxml2-dev  # HTML documents, through libxml2's HTML parser
  libpoppler-cpp-dev  # PDF documents, through poppler's C++ interface
  libzip-dev  # Word, OpenDocument and EPUB files: their zip container
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
