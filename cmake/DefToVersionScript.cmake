# Turns the export definition (hbsys9u.def) into a GNU ld version script, so
cmake_policy(VERSION 3.25)
# that the shared library exports exactly the names the definition lists.
# Usage: cmake -DDEF=... -DOUT=... -P DefToVersionScript.cmake
include(${CMAKE_CURRENT_LIST_DIR}/ExportNames.cmake)
hb_read_export_names("${DEF}" names)
set(text "{\n  global:\n")
foreach(name IN LISTS names)
    string(APPEND text "    ${name};\n")
endforeach()
string(APPEND text "  local:\n    *;\n};\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
