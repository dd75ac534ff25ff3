#!/usr/bin/env bash
# Checks what users install: the man page (mandoc and groff lint), the bash
# completion, `cmake --install`, the .deb (installed with dpkg -i, looked
# at, the systemd unit verified, removed with dpkg -r leaving nothing) and
# the Windows .zip. Needs root or sudo for dpkg.
#
# Usage: scripts/test-packages.sh [lint|completion|install|deb|zip ...]
#   (default: all of them)
#   SERIALTAP_PACKAGE_BUILD          Linux Release build to package
#                                    (default: build-types/gcc-Release when it exists)
#   SERIALTAP_WINDOWS_PACKAGE_BUILD  MinGW Release build to package
#                                    (default: build-types/mingw-Release when it exists)
set -uo pipefail
cd "$(dirname "$0")/.."

linux_build=${SERIALTAP_PACKAGE_BUILD:-build-types/gcc-Release}
windows_build=${SERIALTAP_WINDOWS_PACKAGE_BUILD:-build-types/mingw-Release}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

source scripts/stages.sh

# Runs a command; with output, shows it and fails: the linters' findings.
silent() {
  local output
  output=$("$@" 2>&1) && [ -z "$output" ] && return 0
  echo "$* says:"
  echo "$output"
  return 1
}

man_lint() {
  silent mandoc -T lint packaging/serialtap.1 &&
    silent groff -ww -man -z packaging/serialtap.1 &&
    silent bash -n packaging/serialtap.bash-completion &&
    silent sh -n packaging/debian/postinst &&
    silent sh -n packaging/debian/prerm &&
    silent sh -n packaging/debian/postrm
}

completion() {
  local fake
  fake=$(mktemp -d) || return 1
  # A program that lists two ports, with aliases and drivers after the name.
  cat >"$fake/serialtap" <<'EOF'
#!/bin/sh
[ "$1" = --list ] || exit 1
echo '/dev/ttyUSB0 /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 ftdi_sio 0403:6001'
echo '/dev/ttyS0 serial8250'
EOF
  chmod +x "$fake/serialtap"
  mkdir "$fake/silent" && printf '#!/bin/sh\n' >"$fake/silent/serialtap" &&
    chmod +x "$fake/silent/serialtap"
  PATH="$fake:$PATH" SILENT="$fake/silent" NOISE="$fake/noise" bash -c '
    source packaging/serialtap.bash-completion
    status=0
    check() {
      local want=$1
      shift
      COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
      _serialtap 2>"$NOISE"
      if [ -s "$NOISE" ]; then
        echo "completing \"$*\" printed: $(cat "$NOISE")"
        status=1
      fi
      if [ "${COMPREPLY[*]}" != "$want" ]; then
        echo "completing \"$*\" gave \"${COMPREPLY[*]}\", not \"$want\""
        status=1
      fi
    }
    check "/dev/ttyUSB0 /dev/ttyS0 rfc2217:// tcp://" serialtap log.txt -c ""
    check "rfc2217://" serialtap log.txt -c rf
    check "/dev/ttyS0" serialtap log.txt -b 9600 /com /dev/ttyS
    check "0 1 2 3 4" serialtap log.txt -parity ""
    check "-b" serialtap log.txt -b
    check "--help --version --list" serialtap --
    check "" serialtap --list ""
    check "" serialtap log.txt -e ""
    check "rfc2217:// tcp://" "$SILENT/serialtap" log.txt -c ""
    exit $status'
  local status=$?
  rm -rf "$fake"
  return $status
}

# The pages of docs/ that the packages carry beside the README: docs/NAME.md.
doc_pages() {
  ls docs/*.md
}

ensure_build() {
  local dir=$1
  shift
  [ -f "$dir/CMakeCache.txt" ] && return 0
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSERIALTAP_WERROR=ON -DSERIALTAP_TESTS=OFF "$@" &&
    cmake --build "$dir" -j"$(nproc)"
}

cmake_install() {
  ensure_build "$linux_build" || return 1
  local prefix
  prefix=$(mktemp -d) || return 1
  cmake --install "$linux_build" --prefix "$prefix" >/dev/null || return 1
  local listed
  listed=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
  rm -rf "$prefix"
  local expected
  expected=$( (printf '%s\n' ./bin/serialtap ./lib/systemd/system/serialtap@.service \
    ./share/bash-completion/completions/serialtap ./share/doc/serialtap/LICENSE \
    ./share/doc/serialtap/README.md ./share/doc/serialtap/examples/hex-streams.py \
    ./share/man/man1/serialtap.1.gz
    doc_pages | sed 's|^|./share/doc/serialtap/|') | sort | tr '\n' ' ')
  [ "$listed" = "$expected" ] || { echo "installed: $listed"; echo "expected:  $expected"; return 1; }
}

# dpkg takes no turn in the queue: waits while apt or another dpkg holds the lock.
dpkg_waiting() {
  local errors tries=0
  errors=$(mktemp)
  until $sudo dpkg "$@" 2>"$errors"; do
    if grep -q "lock" "$errors" && [ $((tries += 1)) -le 60 ]; then
      sleep 5
      continue
    fi
    cat "$errors"
    rm -f "$errors"
    return 1
  done
  rm -f "$errors"
}

deb_install_remove() {
  ensure_build "$linux_build" || return 1
  (cd "$linux_build" && cpack -G DEB) >"$linux_build/cpack-deb.log" 2>&1 ||
    { cat "$linux_build/cpack-deb.log"; return 1; }
  local deb
  deb=$(ls "$linux_build"/serialtap_*_amd64.deb) || return 1
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$deb: Depends: $depends"
  # Only the C and C++ runtimes, every one of them with a version.
  if [ "$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')" != \
    "libc6 libgcc-s1 libstdc++6 " ] || [ "$(echo "$depends" | grep -o '(>=' | wc -l)" -ne 3 ]; then
    echo "unexpected dependencies"
    return 1
  fi
  if dpkg-query -W -f='${Status}' serialtap 2>/dev/null | grep -q "ok installed"; then
    echo "serialtap is already installed here; this check would replace it"
    return 1
  fi

  dpkg_waiting -i "$deb" >/dev/null || return 1
  local files
  files=$(dpkg -L serialtap)
  echo "dpkg -i: installed $(for f in $files; do [ -f "$f" ] && echo "$f"; done | wc -l) files"
  local status=0
  for file in /usr/bin/serialtap /usr/share/man/man1/serialtap.1.gz \
    /usr/share/bash-completion/completions/serialtap /usr/lib/systemd/system/serialtap@.service \
    /usr/share/doc/serialtap/README.md /usr/share/doc/serialtap/LICENSE \
    /usr/share/doc/serialtap/examples/hex-streams.py $(doc_pages | sed 's|^|/usr/share/doc/serialtap/|'); do
    [ -f "$file" ] || { echo "not installed: $file"; status=1; }
  done
  [ -x /usr/bin/serialtap ] || { echo "/usr/bin/serialtap is not executable"; status=1; }
  [ -x /usr/share/doc/serialtap/examples/hex-streams.py ] ||
    { echo "hex-streams.py is not executable"; status=1; }
  if ldd /usr/bin/serialtap | grep "not found"; then status=1; fi
  silent sh -c 'gzip -dc /usr/share/man/man1/serialtap.1.gz | mandoc -T lint' || status=1
  [ "$(man -w serialtap 2>&1)" = /usr/share/man/man1/serialtap.1.gz ] ||
    { echo "man -w serialtap: $(man -w serialtap 2>&1)"; status=1; }
  if command -v systemd-analyze >/dev/null; then
    # An instance of the template, as `systemctl start serialtap@ttyS0` loads it.
    local units
    units=$(mktemp -d)
    cp /usr/lib/systemd/system/serialtap@.service "$units/serialtap@ttyS0.service"
    silent systemd-analyze verify "$units/serialtap@ttyS0.service" &&
      echo "systemd-analyze verify serialtap@ttyS0.service: no findings" || status=1
    rm -rf "$units"
  else
    echo "systemd-analyze is not installed: the unit is not verified"
  fi

  dpkg_waiting -r serialtap >/dev/null || return 1
  if dpkg-query -W -f='${Status}' serialtap 2>/dev/null | grep -q "installed"; then
    echo "dpkg still knows serialtap: $(dpkg-query -W -f='${Status}' serialtap)"
    status=1
  fi
  local file left=0
  for file in $files; do
    if [ -f "$file" ] || [ -L "$file" ]; then
      echo "left behind: $file"
      left=$((left + 1))
    fi
  done
  echo "dpkg -r: $left files left behind"
  [ "$left" -eq 0 ] || status=1
  return $status
}

windows_zip() {
  ensure_build "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" || return 1
  (cd "$windows_build" && cpack -G ZIP) >"$windows_build/cpack-zip.log" 2>&1 ||
    { cat "$windows_build/cpack-zip.log"; return 1; }
  local zip
  zip=$(ls "$windows_build"/serialtap-*-win64.zip) || return 1
  python3 - "$zip" $(doc_pages) <<'EOF' || return 1
import sys, zipfile
names = sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))
print(sys.argv[1] + ": " + " ".join(names))
sys.exit(names != sorted(["LICENSE", "README.md", "hex-streams.py", "serialtap.exe"] + sys.argv[2:]))
EOF
  # One executable that runs without the MinGW runtime DLLs beside it.
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$windows_build/serialtap.exe" | sed -n 's/.*DLL Name: //p')
  echo "serialtap.exe imports: $(echo $dlls)"
  if echo "$dlls" | grep -i -E "^lib|pthread|stdc"; then return 1; fi
}

only=" $* "
run() {
  local key=$1
  shift
  [ "$only" = "  " ] || [[ $only == *" $key "* ]] || return 0
  stage "$@"
}
run lint "Man page lint (mandoc, groff -ww)" man_lint
run completion "Bash completion" completion
run install "cmake --install" cmake_install
run deb ".deb: dpkg -i, checks, dpkg -r" deb_install_remove
run zip "Windows .zip" windows_zip

echo "Package stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
