#!/usr/bin/env bash
# Checks the Debian packages in DIR: unpacks them into a temporary root (nothing is installed on
# the machine), builds and runs the README's C example against them with pkg-config and with
# find_package, checks kovactl's help texts against its manual page and its usage errors, and
# runs lintian, which must report no error and no warning that is not overridden.
set -euo pipefail
dir=${1:?usage: check_packages.sh DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "package check: $*" >&2; exit 1; }

version=$(sed -n 's/^project(kova VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
debs=()
for p in libkova1 libkova-dev kovactl; do
    f=$(ls "$dir"/${p}_*.deb 2>/dev/null) || fail "no $p package in $dir"
    debs+=("$f")
    [ "$(dpkg-deb -f "$f" Version)" = "$version-1" ] || fail "$p is not version $version-1"
done
depends() { dpkg-deb -f "$dir"/$1_*.deb Depends; }
depends libkova1 | grep -q 'libmxml1' || fail "libkova1 does not depend on Mini-XML: $(depends libkova1)"
depends libkova1 | grep -q 'libstdc++6' || fail "libkova1 does not depend on the C++ runtime"
depends libkova-dev | grep -q "libkova1 (= $version-1)" || fail "libkova-dev does not depend on libkova1"
depends kovactl | grep -q "libkova1 (= $version-1)" || fail "kovactl does not depend on libkova1"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
for f in "${debs[@]}"; do dpkg -x "$f" "$root"; done
libdir=$(dirname "$(find "$root" -name libkova.so.1 | head -n 1)")
[ -f "$libdir/libkovalog.so.1" ] || fail "libkovalog.so.1 is not beside libkova.so.1"
export LD_LIBRARY_PATH=$libdir

# The C example exactly as the README shows it, built as the README says; the public headers must
# stand up to strict C11 with every warning an error.
sed -n '/^```c$/,/^```$/p' "$src/README.md" | sed '1d;$d' > "$work/app.c"
[ -s "$work/app.c" ] || fail "no C example in README.md"
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$work/app.c" $(pkg-config --cflags --libs kova) -o "$work/app-pc"
"$work/app-pc" > "$work/out-pc"
grep -q '^uptime ' "$work/out-pc" || fail "the example built with pkg-config printed no uptime"

mkdir "$work/consumer"
cp "$work/app.c" "$work/consumer/"
cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.24)
project(consumer C)
find_package(kova 1 REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE kova::kova)
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_C_STANDARD=11 -DCMAKE_C_EXTENSIONS=OFF -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/app" | grep -q '^uptime ' || fail "the example built with find_package printed no uptime"

# Every installed header compiles on its own, in strict C11 and in C++20.
include=$root/usr/include
for h in "$include"/kova/*.h "$include"/kovalog/*.h; do
    name=${h#"$include"/}
    echo "#include <$name>" > "$work/alone.c"
    cc -std=c11 -Wall -Wextra -Werror -I"$include" -c "$work/alone.c" -o /dev/null || fail "$name does not stand alone in C11"
    c++ -std=c++20 -Wall -Wextra -Werror -I"$include" -x c++ -c "$work/alone.c" -o /dev/null || fail "$name does not stand alone in C++20"
done

# kovactl: every command's --help is its section of the manual page, word for word.
kovactl=$root/usr/bin/kovactl
man=$root/usr/share/man/man1/kovactl.1.gz
[ -f "$man" ] || fail "no manual page"
LC_ALL=C MANWIDTH=1000 man -l "$man" 2>/dev/null | col -b > "$work/man.txt"
words() { tr -s ' \n\t' '\n\n\n' | sed '/^$/d'; }
commands=$("$kovactl" --help | sed -n '/^commands:$/,/^$/p' | awk 'NF>1 {print $1}')
[ -n "$commands" ] || fail "kovactl --help lists no commands"
for c in $commands; do
    "$kovactl" "$c" --help | sed '1s/^usage: //' | words > "$work/help.words"
    awk -v c="$c" '$0 == "   " c {on=1; next} on && /^   [^ ]/ {exit} on && /^[A-Z]/ {exit} on' "$work/man.txt" \
        | words > "$work/man.words"
    cmp -s "$work/help.words" "$work/man.words" || fail "kovactl $c --help differs from the manual page"
done
set +e
"$kovactl" no-such-command 2> "$work/err"; rc=$?
set -e
[ $rc -eq 2 ] && grep -q '^usage: kovactl COMMAND' "$work/err" || fail "an unknown command did not give 2 and the usage line"
set +e
"$kovactl" clocks 1 2 2> "$work/err"; rc=$?
set -e
[ $rc -eq 2 ] && [ "$(head -n 1 "$work/err")" = "usage: kovactl clocks [STEPS]" ] || fail "wrong arguments did not give 2 and the command's usage line"

lintian --fail-on error,warning --allow-root "${debs[@]}"
echo "package check passed"
