#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then builds a small C host
# application against it twice: with find_package(hbsys9u) and with
# pkg-config. Both must build and run. Where the VP SDK is built, a VP program
# of an outside project is built with hbsys9u_add_vp_program and run by the
# installed hbrun. The prefix is moved before use, and names neither the
# source nor the build tree, so nothing may depend on where it was installed.
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

# Relocatable: no file of the tree names the trees it came from. (Sanitizer
# builds are not for shipping: their instrumentation keeps source paths.)
if [ -z "$sanitize" ]; then
    for tree in "$(cd "$source_dir" && pwd -P)" "$(cd "$build_dir" && pwd -P)"; do
        if grep -rlF "$tree" "$prefix"; then
            echo "install: the files above name $tree" >&2
            exit 1
        fi
    done
fi

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

# A VP program built with the installed SDK, run by the installed hbrun.
if [ -f "$prefix/include/hbvp/hbvp.h" ]; then
    test -f "$(dirname "$(find "$prefix" -name hbsys9uConfig.cmake)")/hbsys9uVpSdk.cmake"
    cmake -S "$source_dir/tests/install/vp_consumer" -B "$work/vp-build" -G Ninja \
          -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/vp-build" >/dev/null
    export LSAN_OPTIONS=suppressions=$source_dir/tests/tools/unicorn.supp:print_suppressions=0
    status=0
    out=$(timeout 60 "$prefix/bin/hbrun" --timeout 30 "$work/vp-build/greet.exe" world) || status=$?
    if [ "$out" != "greetings, world" ] || [ "$status" != 17 ]; then
        echo "install: greet.exe gave '$out', status $status" >&2
        exit 1
    fi
    echo "install: a VP program built against the installed SDK ran"
fi
echo "install: both consumers built and ran"
