# Installation: the shared library with its soname, the header pair, a
# pkg-config file and a CMake package giving reliefkit::reliefkit.
include(CMakePackageConfigHelpers)

set(RELIEFKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/reliefkit)

install(TARGETS reliefkit EXPORT reliefkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT reliefkitTargets
  NAMESPACE reliefkit::
  FILE reliefkitTargets.cmake
  DESTINATION ${RELIEFKIT_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/reliefkitConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/reliefkitConfig.cmake
  INSTALL_DESTINATION ${RELIEFKIT_CMAKE_DIR})
# The C interface only grows within a major version (the soname's version).
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/reliefkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/reliefkitConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/reliefkitConfigVersion.cmake
  DESTINATION ${RELIEFKIT_CMAKE_DIR})

# The prefix is found relative to the .pc file, so that an installation moved
# elsewhere (or made with cmake --install --prefix) still describes itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(RELIEFKIT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(RELIEFKIT_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(RELIEFKIT_PC_PREFIX "\${pcfiledir}/${up}")
  set(RELIEFKIT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(RELIEFKIT_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(RELIEFKIT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/reliefkit.pc.in ${CMAKE_CURRENT_BINARY_DIR}/reliefkit.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/reliefkit.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
