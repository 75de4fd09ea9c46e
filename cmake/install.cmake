# What `cmake --install` lays out: include/ (the header), lib/ (the library, or the DLL's import
# libraries for MinGW and MSVC and its .def; a CMake package and a pkg-config file), bin/ (the
# DLL, the tools).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
    set(VELKO_LIBRARY_TARGET VELKO_DLL)
    set(VELKO_LINK_NAME VELKO_DLL)
    install(FILES api/VELKO_DLL.def ${VELKO_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
    set(VELKO_LIBRARY_TARGET velko)
    set(VELKO_LINK_NAME velko)
endif()
install(TARGETS velko_cli velko-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
target_include_directories(${VELKO_LIBRARY_TARGET} INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS ${VELKO_LIBRARY_TARGET} EXPORT velkoTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/velko/velko.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velko)
install(FILES docs/GETTING-STARTED.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package names the library velko::velko whatever its file is called.
set_target_properties(${VELKO_LIBRARY_TARGET} PROPERTIES EXPORT_NAME velko)
install(EXPORT velkoTargets NAMESPACE velko:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velko)
configure_package_config_file(cmake/velkoConfig.cmake.in
    ${CMAKE_BINARY_DIR}/velkoConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velko)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/velkoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/velkoConfig.cmake ${CMAKE_BINARY_DIR}/velkoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velko)
# Relative to the .pc file itself, so the tree can be installed or unpacked anywhere.
file(RELATIVE_PATH VELKO_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/velko.pc.in ${CMAKE_BINARY_DIR}/velko.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velko.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
