# Installs the Debian packages that building and testing the setup need, when
# any is missing. Sourced by tools/test.sh and tools/demo.sh.
NIMBREL_PACKAGES=(
  cmake make g++ clang googletest libgtest-dev python3
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine64 xvfb x11-utils xdotool imagemagick libarchive-tools openssl curl nginx osslsigncode unzip
)

nimbrel_install_packages() {
  local missing=()
  local package
  for package in "${NIMBREL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
