#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as an embedder would: the
# files are where they belong, the installed library exports only the C
# interface, examples/embed.c builds with pkg-config (shared and static) and
# with find_package (both imported targets), and every build runs against the
# installed super peer on loopback.
#   install.sh BUILD_DIR SOURCE_DIR C_COMPILER [SANITIZER_FLAGS]
set -euo pipefail
build=$1 src=$2 cc=$3 san=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  [ -s "$work/step.log" ] && tail -n 30 "$work/step.log"
  exit 1
}
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/step.log" 2>&1 || fail "cmake --install"
for f in include/velarix_agent.h lib/libvelarix_agent.so lib/libvelarix_agent.a lib/pkgconfig/velarix-agent.pc \
  lib/cmake/velarix_agent/velarix_agentConfig.cmake lib/cmake/velarix_agent/velarix_agentConfigVersion.cmake \
  bin/velarix_host bin/super_peer; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
echo "ok: installed"
cmake -DLIB="$prefix/lib/libvelarix_agent.so" -P "$src/cmake/check_exports.cmake" >"$work/step.log" 2>&1 ||
  fail "the installed library exports more than velarix_agent_*"
echo "ok: exports"

# The static builds carry no debug information: the archive's would make them huge.
cflags=(-std=c11 -Wall -Wextra -Werror -pthread)
read -ra sanitize <<<"$san"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -ra pc_cflags <<<"$(pkg-config --cflags velarix-agent)" || fail "pkg-config --cflags"
read -ra pc_libs <<<"$(pkg-config --libs velarix-agent)" || fail "pkg-config --libs"
"$cc" "${cflags[@]}" "${sanitize[@]}" "$src/examples/embed.c" "${pc_cflags[@]}" "${pc_libs[@]}" \
  -o "$work/pc-shared" >"$work/step.log" 2>&1 || fail "embed.c with pkg-config --libs"
# Static: the same flags with the archive in place of the shared library.
static_libs=()
for w in $(pkg-config --static --libs velarix-agent); do
  [ "$w" = -lvelarix_agent ] && w=-l:libvelarix_agent.a
  static_libs+=("$w")
done
"$cc" "${cflags[@]}" "${sanitize[@]}" -s "$src/examples/embed.c" "${pc_cflags[@]}" "${static_libs[@]}" \
  -o "$work/pc-static" >"$work/step.log" 2>&1 || fail "embed.c with pkg-config --static --libs"
readelf -d "$work/pc-static" | grep -q 'NEEDED.*libvelarix_agent' && fail "the static build needs the shared library"
echo "ok: pkg-config builds"

cmake -S "$src/tests/embed/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DEMBED_SOURCE="$src/examples/embed.c" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="-s $san" >"$work/step.log" 2>&1 ||
  fail "find_package(velarix_agent)"
cmake --build "$work/consumer" >"$work/step.log" 2>&1 || fail "building against the imported targets"
readelf -d "$work/consumer/embed_static" | grep -q 'NEEDED.*libvelarix_agent' &&
  fail "velarix_agent::velarix_agent_static needs the shared library"
echo "ok: find_package builds"

# Everything from the prefix: the build tree's library must not be what runs.
LD_LIBRARY_PATH=$prefix/lib ldd "$work/pc-shared" | grep -q "=> $prefix/lib/libvelarix_agent.so" ||
  fail "the pkg-config build does not load the installed library"
LD_LIBRARY_PATH=$prefix/lib bash "$src/tests/embed/run_embed.sh" "$prefix/bin/super_peer" "$prefix/bin/velarix_host" \
  "$work/pc-shared" "$work/pc-static" "$work/consumer/embed_shared" "$work/consumer/embed_static"
