# Writes OUT, a C++ header holding the bytes of IN (web/tolmix.js) as
# kShimText, so the bridge serves the shim from any folder.
# Usage: cmake -DIN=FILE -DOUT=HEADER -P ShimEmbed.cmake
file(READ "${IN}" _hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
string(REGEX REPLACE "(('\\\\x..',){16})" "\\1\n    " _bytes "${_bytes}")
file(WRITE "${OUT}.tmp"
  "// Made by bridge/ShimEmbed.cmake from ${IN}: do not edit.\n"
  "#pragma once\n\nnamespace tolmix::bridge {\n"
  "inline constexpr char kShimText[] = {\n    ${_bytes}'\\0'};\n}\n")
file(RENAME "${OUT}.tmp" "${OUT}")
