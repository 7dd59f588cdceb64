# Writes the files given in INPUTS (separated by |) into the C++ header OUTPUT as byte arrays
# named by NAMES (| as well, as many): the viewer scripts of docs/janus compiled into the
# transport, so the capture server serves the same player as the Janus folder's page.
# Run as: cmake -DINPUTS=... -DNAMES=... -DOUTPUT=... -P embed_text.cmake
set(text "// Generated from docs/janus by tavrel/cmake/embed_text.cmake; do not edit.\n#pragma once\n")
string(REPLACE "|" ";" INPUTS "${INPUTS}")
string(REPLACE "|" ";" NAMES "${NAMES}")
list(LENGTH INPUTS count)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET INPUTS ${i} input)
  list(GET NAMES ${i} name)
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "inline constexpr char ${name}[] = {${bytes}};\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
