# Installation: the library, its header, the tools, a CMake package
# (find_package(hbsys9u) gives the imported target hbsys9u::hbsys9u) and a
# pkg-config file. The package files locate the prefix from where they lie,
# so an installed tree can be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HB_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hbsys9u)

install(TARGETS hbsys9u EXPORT hbsys9uTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The header, and the one it names for the records the board writes (the
# fault record in the fail-message region).
install(FILES ${PROJECT_SOURCE_DIR}/include/hbsys9u.h ${PROJECT_SOURCE_DIR}/vpsdk/include/hbvp_abi.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT hbsys9uTargets NAMESPACE hbsys9u:: DESTINATION ${HB_CMAKE_PACKAGE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hbsys9uConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfig.cmake
    INSTALL_DESTINATION ${HB_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfigVersion.cmake
        DESTINATION ${HB_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix relative to the .pc file's own directory.
set(HB_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH HB_PC_TO_PREFIX /prefix/${HB_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" HB_PC_TO_PREFIX "${HB_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/hbsys9u.pc.in ${CMAKE_CURRENT_BINARY_DIR}/hbsys9u.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hbsys9u.pc DESTINATION ${HB_PC_DIR})

# Tools: found next to the library wherever the tree is installed.
file(RELATIVE_PATH HB_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
foreach(tool hbrun hbsim hbpe)
    if(TARGET ${tool})
        set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${HB_BIN_TO_LIB}")
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
