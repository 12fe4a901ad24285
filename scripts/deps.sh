# Sourced by the run and test scripts: installs the Debian packages the
# build needs when run as root, or says in one line what is missing.
quelta_need() {
  local missing=()
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v make >/dev/null 2>&1 || missing+=(make)
  local pkg
  for pkg in "$@"; do
    case $pkg in
      libgtest-dev) [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev) ;;
      nlohmann-json3-dev) [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev) ;;
      clang) command -v clang++ >/dev/null 2>&1 || missing+=(clang) ;;
      libclang-rt-dev) ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-dev) ;;
      *) dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg") ;;
    esac
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing: ${missing[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >/dev/null ||
      { echo "apt-get could not install: ${missing[*]}" >&2; return 1; }
  else
    echo "Please install first (as root): apt-get install ${missing[*]}" >&2
    return 1
  fi
}
