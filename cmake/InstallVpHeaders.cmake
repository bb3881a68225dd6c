# Run by `cmake --install`: installs the headers that the compiler read for
# hbvp.h (a make-style dependency list), each at its path below the include
# root it was found in. Set before: HB_VP_HEADER_LIST (the list file),
# HB_VP_HEADER_ROOTS (the -I directories), HB_VP_HEADER_DESTINATION (below
# the prefix).
file(READ "${HB_VP_HEADER_LIST}" deps)
string(REPLACE "\\\n" " " deps "${deps}")
string(REPLACE "\\ " "<space>" deps "${deps}")
string(REGEX REPLACE "^[^:]*: *" "" deps "${deps}")
string(STRIP "${deps}" deps)
string(REGEX REPLACE "[ \t\n]+" ";" headers "${deps}")
foreach(header ${headers})
    string(REPLACE "<space>" " " header "${header}")
    get_filename_component(header "${header}" ABSOLUTE)
    set(subdir "")
    foreach(root ${HB_VP_HEADER_ROOTS})
        file(RELATIVE_PATH rel "${root}" "${header}")
        if(NOT rel MATCHES "^\\.\\./" AND NOT IS_ABSOLUTE "${rel}")
            get_filename_component(subdir "${rel}" DIRECTORY)
            break()
        endif()
    endforeach()
    file(INSTALL "${header}"
         DESTINATION "${CMAKE_INSTALL_PREFIX}/${HB_VP_HEADER_DESTINATION}/${subdir}")
endforeach()
