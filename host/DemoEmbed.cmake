# Writes OUT, a C++ header holding the bytes of IN (examples/demo.js) as
# kDemoScript / kDemoScriptSize, so that `tolmix demo` works from any folder.
# Usage: cmake -DIN=FILE -DOUT=HEADER -P DemoEmbed.cmake
file(READ "${IN}" _hex HEX)
string(LENGTH "${_hex}" _digits)
math(EXPR _size "${_digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
string(REGEX REPLACE "(('\\\\x..',){16})" "\\1\n    " _bytes "${_bytes}")
file(WRITE "${OUT}.tmp"
  "// Made by host/DemoEmbed.cmake from ${IN}: do not edit.\n"
  "#pragma once\n#include <cstddef>\n\n"
  "inline constexpr char kDemoScript[] = {\n    ${_bytes}'\\0'};\n"
  "inline constexpr std::size_t kDemoScriptSize = ${_size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
