# Installation: the library, its header, the tools, the VP SDK, a CMake
# package (find_package(hbsys9u) gives the imported target hbsys9u::hbsys9u
# and hbsys9u_add_vp_program) and a pkg-config file. The package files locate the prefix from where they lie,
# so an installed tree can be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HB_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hbsys9u)

install(TARGETS hbsys9u EXPORT hbsys9uTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The header with the wire formats it includes, and the one it names for the
# records the board writes (the fault record in the fail-message region).
install(FILES ${PROJECT_SOURCE_DIR}/include/hbsys9u.h ${PROJECT_SOURCE_DIR}/vpsdk/include/hbvp_abi.h
              ${PROJECT_SOURCE_DIR}/protocol/driver_requests.h
              ${PROJECT_SOURCE_DIR}/protocol/file_io_block.h
              ${PROJECT_SOURCE_DIR}/protocol/monitor_data.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT hbsys9uTargets NAMESPACE hbsys9u:: DESTINATION ${HB_CMAKE_PACKAGE_DIR})

# The VP SDK: the runtime's objects, the headers of hbvp.h and the CMake
# function that builds a program with them (hbpe comes with the tools).
set(HB_VP_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/hbvp)
set(HB_VP_INSTALL_RUNTIMEDIR ${CMAKE_INSTALL_LIBDIR}/hbsys9u/vp)
set(HB_VP_SDK_FILE)
if(TARGET hbvp_runtime AND TARGET hbpe)
    install(FILES ${HB_VP_RUNTIME_OBJECTS} DESTINATION ${HB_VP_INSTALL_RUNTIMEDIR})
    set(HB_VP_HEADER_ROOTS)
    foreach(flag ${HB_VP_CFLAGS})
        if(flag MATCHES "^-I(.+)$")
            list(APPEND HB_VP_HEADER_ROOTS ${CMAKE_MATCH_1})
        endif()
    endforeach()
    install(CODE "set(HB_VP_HEADER_LIST \"${HB_VP_HEADER_LIST}\")
set(HB_VP_HEADER_ROOTS \"${HB_VP_HEADER_ROOTS}\")
set(HB_VP_HEADER_DESTINATION \"${HB_VP_INSTALL_INCLUDEDIR}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/InstallVpHeaders.cmake\")")
    # The build's flags less its include directory and -Werror: the code is
    # the user's.
    set(HB_VP_INSTALL_CFLAGS ${HB_VP_CFLAGS})
    list(FILTER HB_VP_INSTALL_CFLAGS EXCLUDE REGEX "^-I|^-Werror$")
    set(HB_VP_RUNTIME_NAMES)
    foreach(object ${HB_VP_RUNTIME_OBJECTS})
        get_filename_component(name ${object} NAME)
        list(APPEND HB_VP_RUNTIME_NAMES ${name})
    endforeach()
    file(RELATIVE_PATH HB_PACKAGE_TO_PREFIX /prefix/${HB_CMAKE_PACKAGE_DIR} /prefix)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/hbsys9uVpSdk.cmake.in
                   ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uVpSdk.cmake @ONLY)
    set(HB_VP_SDK_FILE ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uVpSdk.cmake)
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hbsys9uConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfig.cmake
    INSTALL_DESTINATION ${HB_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/hbsys9uConfigVersion.cmake ${HB_VP_SDK_FILE}
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
# Each is also an imported target of the package (hbsys9u::hbpe).
foreach(tool hbrun hbsim hbpe)
    if(TARGET ${tool})
        set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${HB_BIN_TO_LIB}")
        install(TARGETS ${tool} EXPORT hbsys9uTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
