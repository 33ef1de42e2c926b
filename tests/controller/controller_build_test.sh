#!/usr/bin/env bash
# Controller build check: configures the tools against a given CAN library
# (KELTO_FRC_LIBRARY), builds and installs them into a scratch prefix, and
# checks that
#   - configuring with a missing library file fails at once, saying so;
#   - zlib is not needed (find_package(ZLIB) is disabled);
#   - the prefix, and the .tar.gz cpack makes of it, hold the two tools and
#     their manual pages and nothing simulated: no stand-in of
#     libFRC_NetworkCommunication or libcorvaneDriver, no kelto_sim;
#   - each tool needs the CAN library by its plain name, resolves it to the
#     given file, and takes from it exactly the two C entry points;
#   - the driver library is not linked but loaded by its plain name at run
#     time, from the loader's search path;
#   - a run of an installed tool, from another directory, calls the given
#     CAN library.
# Usage (tests/controller/CMakeLists.txt passes these):
#   controller_build_test.sh --source DIR --work DIR --frc-library FILE
#     --driver-dir DIR --nm NM --readelf READELF [--emulator "CMD ARGS"]
#     [--cmake-arg ARG]...
# With --emulator (qemu-arm -L ROOT) the tools are foreign and run under it.
set -euo pipefail

source_dir="" work="" frc="" driver_dir="" nm=nm readelf=readelf emulator=""
cmake_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --source) source_dir=$2 ;;
    --work) work=$2 ;;
    --frc-library) frc=$2 ;;
    --driver-dir) driver_dir=$2 ;;
    --nm) nm=$2 ;;
    --readelf) readelf=$2 ;;
    --emulator) emulator=$2 ;;
    --cmake-arg) cmake_args+=("$2") ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift 2
done
frc_dir=$(dirname "$frc")
frc_name=$(basename "$frc")
tools=(kelto_lumabar kelto_torvexc)
entry_points="FRC_NetworkCommunication_CANSessionMux_receiveMessage
FRC_NetworkCommunication_CANSessionMux_sendMessage"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work"

echo "== a missing library file is refused at configure time"
missing="$work/no-such-dir/libFRC_NetworkCommunication.so"
if cmake -S "$source_dir" -B "$work/missing" "${cmake_args[@]}" -DKELTO_FRC_LIBRARY="$missing" \
  >"$work/missing.log" 2>&1; then
  fail "configure with KELTO_FRC_LIBRARY=$missing succeeded"
elif ! grep -qF "KELTO_FRC_LIBRARY=$missing: no such library file" <<<"$(tr -s ' \n' ' ' <"$work/missing.log")"; then
  cat "$work/missing.log" >&2
  fail "configure failed without naming the missing library"
elif [ -e "$work/missing/Makefile" ] || [ -e "$work/missing/build.ninja" ]; then
  fail "configure with a missing library still generated a build system"
else
  pass "missing library refused at configure time, naming it"
fi

echo "== configure (zlib disabled), build and install the tools"
cmake -S "$source_dir" -B "$work/build" "${cmake_args[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DKELTO_FRC_LIBRARY="$frc" -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON >"$work/configure.log"
cmake --build "$work/build" -j2 >"$work/build.log"
cmake --install "$work/build" --prefix "$work/prefix" >"$work/install.log"

echo "== the prefix and the package hold the tools and nothing simulated"
(cd "$work/prefix" && find . -type f -o -type l | sort) >"$work/prefix.txt"
sed 's/^/  /' "$work/prefix.txt"
cpack -G TGZ --config "$work/build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log"
tarball=$(find "$work/package" -maxdepth 1 -name '*.tar.gz')
tar -tzf "$tarball" | sed 's|^[^/]*/|./|' | grep -v '/$' | sort >"$work/tarball.txt"
for listing in prefix tarball; do
  for tool in "${tools[@]}"; do
    grep -qx "./bin/$tool" "$work/$listing.txt" || fail "$listing: bin/$tool missing"
    grep -qx "./share/man/man1/$tool.1" "$work/$listing.txt" || fail "$listing: $tool.1 missing"
  done
  if grep -E 'FRC_NetworkCommunication|corvaneDriver|kelto_sim' "$work/$listing.txt"; then
    fail "$listing: a stand-in or the simulator is in it"
  else
    pass "$listing: the tools and their pages, no stand-in library, no kelto_sim"
  fi
done

# Lists the shared objects PROGRAM resolves with LD_LIBRARY_PATH=DIRS (ldd's
# report: "name => path (address)").
resolved() {
  local program=$1 dirs=$2
  if [ -n "$emulator" ]; then
    $emulator -E LD_TRACE_LOADED_OBJECTS=1 -E LD_LIBRARY_PATH="$dirs" "$program"
  else
    LD_LIBRARY_PATH="$dirs" ldd "$program"
  fi
}

# Runs an installed PROGRAM with LD_LIBRARY_PATH=DIRS from the scratch
# directory, so nothing is found relative to the build.
run_tool() {
  local dirs=$1
  shift
  if [ -n "$emulator" ]; then
    (cd "$work" && $emulator -E LD_LIBRARY_PATH="$dirs" "$@")
  else
    (cd "$work" && LD_LIBRARY_PATH="$dirs" "$@")
  fi
}

for tool in "${tools[@]}"; do
  exe="$work/prefix/bin/$tool"
  echo "== $tool"
  needed=$("$readelf" -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  echo "$needed" | sed 's/^/  needs /'
  if echo "$needed" | grep -qx "$frc_name"; then
    pass "needs $frc_name by its plain name"
  else
    fail "$tool does not need $frc_name by its plain name"
  fi
  if echo "$needed" | grep -q '/'; then fail "$tool needs a library by path"; fi
  if echo "$needed" | grep -q corvaneDriver; then fail "$tool links the driver library"; fi

  from_lib=$("$nm" -D --undefined-only "$exe" | awk '$1 == "U" && $2 !~ /@/ {print $2}' | sort)
  if [ "$from_lib" = "$entry_points" ]; then
    pass "takes exactly the two entry points from unversioned libraries"
  else
    fail "$tool takes from unversioned libraries: $(echo $from_lib)"
  fi
  offered=$("$nm" -D --defined-only "$frc" | awk '{print $NF}' | grep -v '^_' | sort)
  if [ "$offered" != "$entry_points" ]; then
    fail "the throw-away library exports more than the two entry points: $(echo $offered)"
  fi

  with_dir=$(resolved "$exe" "$frc_dir" || true)
  if grep -qF "$frc_name => $frc " <<<"$with_dir"; then
    pass "resolves $frc_name to $frc"
  else
    echo "$with_dir" >&2
    fail "$tool does not resolve $frc_name to $frc"
  fi
  if grep -qF "$frc_name => not found" <<<"$(resolved "$exe" "" || true)"; then
    pass "nothing in the prefix stands in for $frc_name"
  else
    fail "$tool finds a $frc_name of its own"
  fi

  # (grep -c reads all of its input: strings is not cut off by a closed pipe)
  if [ "$(strings "$exe" | grep -cx "libcorvaneDriver.so")" -gt 0 ]; then
    pass "loads libcorvaneDriver.so by its plain name"
  else
    fail "$tool carries no plain libcorvaneDriver.so name to load"
  fi
  out=$(run_tool "$frc_dir:$driver_dir" "$exe" version)
  [ "$out" = '{"version":"7.7.7-throwaway"}' ] || fail "$tool version with the driver library: $out"
  out=$(run_tool "$frc_dir" "$exe" version)
  [ "$out" = '{"version":"-1"}' ] || fail "$tool version without a driver library: $out"
  pass "finds the driver library on the loader's search path, and only there"

  set +e
  run_tool "$frc_dir" "$exe" 5 name >"$work/$tool.out" 2>"$work/$tool.err"
  status=$?
  set -e
  if grep -q '^throwaway CAN: [0-9]* sends, [1-9][0-9]* receives$' "$work/$tool.err"; then
    pass "a run calls the given library (status $status: $(cat "$work/$tool.out"))"
  else
    cat "$work/$tool.out" "$work/$tool.err" >&2
    fail "a run of $tool did not call the given library"
  fi
done

if [ $failures -gt 0 ]; then
  echo "controller build: $failures checks failed" >&2
  exit 1
fi
echo "controller build: all checks passed"
