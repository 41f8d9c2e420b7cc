# Shared by scripts/test and scripts/demo: installs the packages the build
# needs (only when something is missing) and prepares a Wine prefix of our own.

# Wine maps non-ASCII file names to the file system only in a UTF-8 locale, and
# minimal Debian installations start with none set. C.UTF-8 is built into
# Debian's C library, so it needs no package; it wins over whatever the caller
# set.
export LC_ALL=C.UTF-8
export LANG=C.UTF-8

# What the Linux build needs, and what the Windows build and its tests add
# (NSIS and Python for the sample installer's test, osslsigncode and openssl
# for scripts/check-signing). The builds use Ninja, which schedules a
# target's sources as soon as what they need is built.
linux_packages=(cmake ninja-build g++ libssl-dev nlohmann-json3-dev googletest)
windows_packages=(g++-mingw-w64-x86-64-posix wine wine64 nsis python3 osslsigncode openssl)
# The fuzz targets: clang 16 with libc++ (clang cannot use libstdc++ 12's
# std::expected), libFuzzer and the sanitizer runtimes; llvm-16 brings the
# symbolizer that names the functions in a crash's stack.
fuzz_packages=(clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev libfuzzer-16-dev llvm-16)

# Installs the named packages that are not installed yet.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
}

# Configures the build folder of a cmake preset (build/PRESET). A folder that
# an older checkout configured for make is configured afresh for Ninja: cmake
# refuses to change a folder's generator.
configure_preset() {
  local cache="build/$1/CMakeCache.txt"
  if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    rm -rf "$cache" "build/$1/CMakeFiles"
  fi
  cmake --preset "$1" >/dev/null
}

# Gives the Windows tests a Wine prefix of their own under the build folder,
# created once before the tests rather than by the first test. As root, the
# prefix belongs to the unprivileged user "nobody" and every Wine program of
# the tests runs as that user (through scripts/as-wine-user), because Wine run
# as root lets writers open read-only files.
start_wine() {
  local build=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset QRL_WINE_USER QRL_WINE_GROUP QRL_WINE_HOME QRL_WINE_NO_DAC
  export WINEPREFIX="$PWD/$build/wineprefix"
  if [ "$(id -u)" -eq 0 ]; then
    if setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
      test -r "$PWD/$build/qrl_tests.exe" 2>/dev/null; then
      local home="$PWD/$build/wine-nobody"
      mkdir -p "$home"
      chown nobody:nogroup "$home"
      export QRL_WINE_USER=nobody QRL_WINE_GROUP=nogroup QRL_WINE_HOME="$home"
      export WINEPREFIX="$home/prefix"
      echo "== Windows tests run as the unprivileged user nobody"
    else
      # A checkout nobody can reach (under /root, say): root without the
      # capabilities that pass over file permissions does as well.
      export QRL_WINE_NO_DAC=1
      echo "== Windows tests run as root without permission-override capabilities" \
        "(nobody cannot read $PWD/$build)"
    fi
  fi
  # The Wine server and the services that wineboot starts outlive the program
  # that started them and keep its inherited pipes open; start them here, with
  # their output in files, so that no test run (nor the listing of the tests)
  # waits on them.
  scripts/as-wine-user wineserver -p >"$PWD/$build/wineserver.log" 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== Creating the Wine prefix (once)"
    scripts/as-wine-user wineboot -i >"$PWD/$build/wineboot.log" 2>&1 || true
  else
    scripts/as-wine-user wineboot >"$PWD/$build/wineboot.log" 2>&1 || true
  fi
}

stop_wine() {
  scripts/as-wine-user wineserver -k >/dev/null 2>&1 || true
}
