# The installable libraries, from the same objects as the tree's own.
include(CMakePackageConfigHelpers)

set(QUARRA_INSTALL_LIBDIR "${CMAKE_CURRENT_BINARY_DIR}/install-lib")
quarra_add_library(quarra_shared SHARED)
quarra_add_library(quarra_static STATIC)
set_target_properties(quarra_shared PROPERTIES OUTPUT_NAME quarra EXPORT_NAME quarra
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LIBRARY_OUTPUT_DIRECTORY ${QUARRA_INSTALL_LIBDIR})
set_target_properties(quarra_static PROPERTIES OUTPUT_NAME quarra EXPORT_NAME quarra_static
    ARCHIVE_OUTPUT_DIRECTORY ${QUARRA_INSTALL_LIBDIR})

install(TARGETS quarra_shared EXPORT quarraTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS quarra_static EXPORT quarraStaticTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/quarra DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QUARRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quarra)
install(EXPORT quarraTargets NAMESPACE quarra:: DESTINATION ${QUARRA_CMAKE_DIR})
install(EXPORT quarraStaticTargets NAMESPACE quarra:: DESTINATION ${QUARRA_CMAKE_DIR})
configure_package_config_file(cmake/quarraConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/quarraConfig.cmake INSTALL_DESTINATION ${QUARRA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quarraConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quarraConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/quarraConfigVersion.cmake DESTINATION ${QUARRA_CMAKE_DIR})

# pkg-config: the shared library by default, everything the static one needs with --static.
# Relative to the file itself, so that the prefix can be moved.
file(RELATIVE_PATH QUARRA_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
    "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/quarra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quarra.pc @ONLY)
configure_file(cmake/quarra-static.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quarra-static.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quarra.pc ${CMAKE_CURRENT_BINARY_DIR}/quarra-static.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
