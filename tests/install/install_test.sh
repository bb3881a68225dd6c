#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then builds a small C host
# application against it twice: with find_package(hbsys9u) and with
# pkg-config. Both must build and run. The prefix is moved before use, so
# nothing may depend on where it was installed.
set -euo pipefail
build_dir=$1
source_dir=$2
sanitize=${3:-}   # the build's sanitizers: the consumers need the same runtime
extra_flags=()
if [ -n "$sanitize" ]; then extra_flags=("-fsanitize=$sanitize"); fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

test -f "$prefix/include/hbsys9u.h"
test -f "$prefix/include/hbvp_abi.h" # the fault record's header, named by hbsys9u.h
for tool in hbsim hbpe; do
    test -x "$prefix/bin/$tool"
done
"$prefix/bin/hbsim" --version >/dev/null
if [ -x "$prefix/bin/hbrun" ]; then "$prefix/bin/hbrun" --version >/dev/null; fi

# With the CMake package.
cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake-build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="${extra_flags[*]:-}" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

# With pkg-config.
pcdir=$(dirname "$(find "$prefix" -name hbsys9u.pc | head -n1)")
export PKG_CONFIG_PATH=$pcdir
libdir=$(pkg-config --variable=libdir hbsys9u)
cc -std=c11 -Wall -Wextra -Werror ${extra_flags[@]+"${extra_flags[@]}"} -o "$work/consumer-pc" \
   "$source_dir/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs hbsys9u)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc"
# The README's other way: the library directory recorded when linking.
cc -std=c11 -Wall -Wextra -Werror ${extra_flags[@]+"${extra_flags[@]}"} -o "$work/consumer-rpath" \
   "$source_dir/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs hbsys9u) \
   -Wl,-rpath,"$libdir"
env -u LD_LIBRARY_PATH "$work/consumer-rpath"
echo "install: both consumers built and ran"
