#!/usr/bin/env bash
# The whole job in one command: builds the setup with a throwaway archive key
# and a demo application, makes a release of it signed with that key by
# tools/release.py, serves it over HTTPS on
# loopback (throttled so that the download takes a few seconds), runs the setup
# under Wine and reports where the application was installed and how it was
# started. Screenshots of the progress window (and of the started application)
# go to demo-output/; everything else stays below build/demo.
#
#   tools/demo.sh
#
# NIMBREL_BUILD_DEMO and NIMBREL_DEMO_OUTPUT name other folders (defaults
# build/demo and demo-output).
# Installs the Debian packages it needs when they are missing (tools/deps.sh:
# apt-get, as root or through sudo). It ends by itself.
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
build=${NIMBREL_BUILD_DEMO:-$root/build/demo}
output=${NIMBREL_DEMO_OUTPUT:-$root/demo-output}
source "$root/tools/deps.sh"
nimbrel_install_packages

server=https://localhost:47443  # compiled into the setup; demo.py serves on its port

mkdir -p "$build"
# A new key pair for each run, its private half under a throwaway password:
# the setup accepts only an archive signed with it.
keys=$build/archive-key
rm -rf "$keys"
mkdir -p "$keys"
NIMBREL_ARCHIVE_KEY_PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
export NIMBREL_ARCHIVE_KEY_PASSWORD  # read by openssl and tools/release.py, never a command line
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-256-cbc \
  -pass env:NIMBREL_ARCHIVE_KEY_PASSWORD -out "$keys/private.pem"
openssl ec -in "$keys/private.pem" -passin env:NIMBREL_ARCHIVE_KEY_PASSWORD -pubout \
  -out "$keys/public.pem" 2> /dev/null
echo "==> Building the setup ($build, server $server, archive key $keys/public.pem)"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SERVER="$server" \
  -DNIMBREL_ARCHIVE_KEY="$keys/public.pem" > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target nimbrel-setup trust-ca tar > "$build/build.log" 2>&1 ||
  { tail -50 "$build/build.log"; exit 1; }

echo "==> Building the demo application"
mkdir -p "$build/demo-app"
x86_64-w64-mingw32-g++-posix -O2 -Wall -Wextra -municode -mwindows -static -s \
  -DUNICODE -D_UNICODE -o "$build/demo-app/nimbrel.exe" "$root/tools/demo/demo_app.cpp"

echo "==> Making the release, signed with the throwaway key (tools/release.py --sign-key)"
version=2.4.0-demo
app=$build/app
docroot=$build/docroot
rm -rf "$app" "$docroot"
mkdir -p "$app/resources"
cp "$build/demo-app/nimbrel.exe" "$app/nimbrel.exe"
printf 'Nimbrel Desktop %s (demo build)\n' "$version" > "$app/README.txt"
# Incompressible filler, so that the download lasts a few seconds.
head -c 8000000 /dev/urandom > "$app/resources/assets.pak"
python3 "$root/tools/release.py" --app "$app" --version "$version" --out "$docroot" \
  --sign-key "$keys/private.pem" | sed 's/^/    /'
python3 "$root/tools/release.py" --check "$docroot" --public-key "$keys/public.pem" | sed 's/^/    /'
bsdtar -tvf "$docroot/desktop/nimbrel.zip" | sed 's/^/    /'

echo "==> Running the setup under Wine"
NIMBREL_SERVER=$server exec python3 "$root/tools/demo.py" --build "$build" --docroot "$docroot" \
  --output "$output" --rate 2000000 --archive-key "$keys/public.pem"
