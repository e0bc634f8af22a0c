#!/bin/sh
# Installs the SDK into a fresh prefix and moves it elsewhere, builds the outside host against it
# with CMake (static library) and with pkg-config (shared and static library), and runs each
# against the bundled test server. The library carries its resources, so no prefix is special;
# this one has spaces in its path. With the GTK presenter, the README's GTK program is built as
# written, with CMake and with pkg-config, as the README says.
# Arguments: the build tree, the source tree, the install test server program.
set -eu
build=$1 source=$2 server=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/quarra-install.XXXXXX")
trap 'exec 9>&- 8<&- 2>/dev/null || true; rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/stage"
prefix="$work/moved/opt/quarra else where"
mkdir -p "$(dirname "$prefix")"
mv "$work/stage" "$prefix"

# Only the public surface is installed.
test -f "$prefix/include/quarra/TVKQuarraAPI.h"
test ! -e "$prefix/include/quarra/TVKQuarraAuthInternal.h"
test ! -e "$prefix/include/quarra/TVKQuarraManager.h"
test ! -e "$prefix/share/quarra"

pcdir=$(dirname "$(find "$prefix" -name quarra.pc)")
PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
export PKG_CONFIG_PATH
# The README's GTK program, as written there: the C++ block that includes the presenter.
gtk_host=
if pkg-config --exists quarra-gtk; then
    gtk_host=$work/notes.cpp
    awk '/^```cpp$/ { block = ""; inside = 1; next }
         /^```$/ && inside { inside = 0; if (block ~ /quarra\/gtk\/WindowPresenter\.h/) print block; next }
         inside { block = block $0 "\n" }' "$source/README.md" >"$gtk_host"
    grep -q 'int main' "$gtk_host"
fi
cmake -S "$source/tests/install/host" -B "$work/cmake-host" -G Ninja -DQUARRA_STATIC=ON \
    -DCMAKE_PREFIX_PATH="$prefix" -DQUARRA_GTK_HOST="$gtk_host"
cmake --build "$work/cmake-host"
# pkg-config writes a space of the prefix's path as "\ ", which only the shell's reading of a line
# undoes: each pkg-config line goes through eval, as the README says.
cxx() { ${CXX:-c++} -std=c++20 -Wall -Wextra -Werror "$@"; }
# Every installed header compiles on its own with nothing but the installed include folder (and
# what pkg-config says the public headers need), so no header of the library's inside can slip in.
cflags=$(pkg-config --cflags quarra)
find "$prefix/include/quarra" -name '*.h' | sort | while read -r header; do
    printf '#include <%s>\n' "${header#"$prefix/include/"}" |
        eval "cxx -fsyntax-only -x c++ - $cflags" && continue
    echo "not self-contained: $header" >&2
    exit 1
done
# The shared library is found at run time through the run path the README tells of.
rpath="-Wl,-rpath,$(pkg-config --variable=libdir quarra)"
eval "cxx \"\$source/tests/install/host/host.cpp\" -o \"\$work/pkg-config-host\" \
    $(pkg-config --cflags --libs quarra) $rpath"
eval "cxx \"\$source/tests/install/host/host.cpp\" -o \"\$work/pkg-config-static-host\" \
    $(pkg-config --cflags --libs quarra-static)"
# The GTK presenter, when built: a host links it alone through pkg-config (the SDK and GTK come
# along) and its library finds the SDK's beside itself.
if [ -n "$gtk_host" ]; then
    eval "cxx \"\$gtk_host\" -o \"\$work/pkg-config-gtk-host\" \
        $(pkg-config --cflags --libs quarra-gtk) $rpath"
    printf '#include <quarra/gtk/WindowPresenter.h>\nint main() { return quarra::gtk::joinGLibMainLoop() ? 0 : 1; }\n' |
        eval "cxx -x c++ - -o \"\$work/glib-host\" $(pkg-config --cflags --libs quarra-gtk) \
            $rpath"
    "$work/glib-host"
fi

# The server signs a user in for the host's identity in a data folder of the test's own, prints
# "ready <authority file> <image URL>" and serves until its standard input closes.
export XDG_DATA_HOME="$work/data" QUARRA_KEYCHAIN=file
identity=com.example.installhost
mkfifo "$work/in" "$work/out"
"$server" "$identity" <"$work/in" >"$work/out" &
exec 9>"$work/in"
exec 8<"$work/out"
read -r ready authority image <&8
test "$ready" = ready
unset QUARRA_SDK_RESOURCES QUARRA_TEST_SOURCE_DIR 2>/dev/null || true
for host in "$work/cmake-host/host" "$work/pkg-config-host" "$work/pkg-config-static-host"; do
    SSL_CERT_FILE=$authority "$host" "$identity" "$image"
done
exec 9>&-
wait
