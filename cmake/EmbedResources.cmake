# Writes OUTPUT, a C++ source holding every file under RESOURCES as bytes, so the library needs no
# folder of its own at run time wherever it is installed. Info.json gets the project's VERSION as
# its short version, so the package and the SDK cannot disagree about it.
# Run as: cmake -DRESOURCES=<folder> -DOUTPUT=<file.cpp> -DVERSION=<x.y.z> -P EmbedResources.cmake
file(GLOB_RECURSE files RELATIVE "${RESOURCES}" "${RESOURCES}/*")
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS files)
    if(name STREQUAL "Info.json")
        file(READ "${RESOURCES}/${name}" text)
        string(JSON text SET "${text}" CFBundleShortVersionString "\"${VERSION}\"")
        string(HEX "${text}" hex)
    else()
        file(READ "${RESOURCES}/${name}" hex HEX)
    endif()
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND arrays "const char resource${index}[] = {${bytes} 0};\n")
    string(APPEND entries "    {\"${name}\", {resource${index}, ${size}}},\n")
    math(EXPR index "${index} + 1")
endforeach()
set(source "// Generated from the resources folder at build time; do not edit.
#include \"platform/EmbeddedResources.h\"

namespace quarra {
namespace {
${arrays}
const EmbeddedResource resources[] = {
${entries}};
}  // namespace

std::span<const EmbeddedResource> embeddedResources() { return resources; }

}  // namespace quarra
")
# Written only when it changed, so an unchanged folder rebuilds nothing.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL source)
    file(WRITE "${OUTPUT}" "${source}")
endif()
