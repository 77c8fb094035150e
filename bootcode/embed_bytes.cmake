# cmake -DINPUT=<binary> -DOUTPUT=<file.inc> -DSIZE=<bytes> -P embed_bytes.cmake
# Writes the bytes of INPUT as a comma-separated list of C++ hex literals, to
# be included inside an array initializer. SIZE, when given, must match.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR bytes "${digits} / 2")
if(DEFINED SIZE AND NOT bytes EQUAL SIZE)
  message(FATAL_ERROR "${INPUT} holds ${bytes} bytes, expected ${SIZE}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," list "${hex}")
# Sixteen bytes to a line keeps the generated file readable in a diff.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" list "${list}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n${list}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
