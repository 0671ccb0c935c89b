# Installation: the library with its SONAME links, the public header, a CMake package
# (find_package(SelkoCommunication 1.18) -> SelkoCommunication::SelkoCommunication), a pkg-config
# file, and a Debian package through CPack.
include(CMakePackageConfigHelpers)

set(SELKO_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/SelkoCommunication")

install(TARGETS SelkoCommunication EXPORT SelkoCommunicationTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(EXPORT SelkoCommunicationTargets
  NAMESPACE SelkoCommunication::
  DESTINATION "${SELKO_CMAKE_DIR}")

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/SelkoCommunicationConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/SelkoCommunicationConfig.cmake"
  INSTALL_DESTINATION "${SELKO_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/SelkoCommunicationConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/SelkoCommunicationConfig.cmake"
  "${PROJECT_BINARY_DIR}/SelkoCommunicationConfigVersion.cmake"
  DESTINATION "${SELKO_CMAKE_DIR}")

configure_file("${PROJECT_SOURCE_DIR}/cmake/SelkoCommunication.pc.in"
  "${PROJECT_BINARY_DIR}/SelkoCommunication.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/SelkoCommunication.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "libselkocommunication-dev")
set(CPACK_PACKAGE_VENDOR "SelkoCommunication developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial (UART) channels for host programs")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "SelkoCommunication developers <maintainers@users.noreply.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
include(CPack)
