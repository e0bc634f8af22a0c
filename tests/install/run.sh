#!/bin/sh
# Installs the SDK into a fresh prefix and moves it elsewhere, builds the outside host against it
# with CMake (static library) and with pkg-config (shared and static library), and runs each
# against the bundled test server. The library carries its resources, so no prefix is special.
# Arguments: the build tree, the source tree, the install test server program.
set -eu
build=$1 source=$2 server=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/quarra-install.XXXXXX")
trap 'exec 9>&- 8<&- 2>/dev/null || true; rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/stage"
prefix=$work/moved/opt/quarra-elsewhere
mkdir -p "$(dirname "$prefix")"
mv "$work/stage" "$prefix"

# Only the public surface is installed.
test -f "$prefix/include/quarra/TVKQuarraAPI.h"
test ! -e "$prefix/include/quarra/TVKQuarraAuthInternal.h"
test ! -e "$prefix/include/quarra/TVKQuarraManager.h"
test ! -e "$prefix/share/quarra"

cmake -S "$source/tests/install/host" -B "$work/cmake-host" -G Ninja -DQUARRA_STATIC=ON \
    -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/cmake-host"
pcdir=$(dirname "$(find "$prefix" -name quarra.pc)")
PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
export PKG_CONFIG_PATH
# Every installed header compiles on its own with nothing but the installed include folder (and
# what pkg-config says the public headers need), so no header of the library's inside can slip in.
cflags=$(pkg-config --cflags quarra)
find "$prefix/include/quarra" -name '*.h' | sort | while read -r header; do
    printf '#include <%s>\n' "${header#"$prefix/include/"}" |
        ${CXX:-c++} -std=c++20 -Wall -Wextra -Werror -fsyntax-only -x c++ - \
            $cflags -I"$prefix/include" && continue
    echo "not self-contained: $header" >&2
    exit 1
done
${CXX:-c++} -std=c++20 -Wall -Wextra -Werror "$source/tests/install/host/host.cpp" \
    -o "$work/pkg-config-host" $(pkg-config --cflags --libs quarra) -Wl,-rpath,"$(dirname "$pcdir")"
${CXX:-c++} -std=c++20 -Wall -Wextra -Werror "$source/tests/install/host/host.cpp" \
    -o "$work/pkg-config-static-host" $(pkg-config --cflags --libs quarra-static)
# The GTK presenter, when built: a host links it alone through pkg-config (the SDK comes along) and
# its library finds the SDK's beside itself.
if pkg-config --exists quarra-gtk; then
    printf '#include <quarra/gtk/WindowPresenter.h>\nint main() { return quarra::gtk::joinGLibMainLoop() ? 0 : 1; }\n' |
        ${CXX:-c++} -std=c++20 -Wall -Wextra -Werror -x c++ - -o "$work/gtk-host" \
            $(pkg-config --cflags --libs quarra-gtk) -Wl,-rpath,"$(dirname "$pcdir")"
    "$work/gtk-host"
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
