# What `cmake --install` puts in place: the tool and its man page (component
# "tool"), and the library with its header, cdimage.pc and a CMake package
# (component "library").
include(CMakePackageConfigHelpers)

set(cdimage_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/cdimage)

install(TARGETS cdunpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
# The man page carries the version of the build.
configure_file(doc/cdunpack.1.in ${CMAKE_CURRENT_BINARY_DIR}/cdunpack.1 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cdunpack.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

install(TARGETS cdimage EXPORT cdimageTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)
install(EXPORT cdimageTargets NAMESPACE cdimage:: DESTINATION ${cdimage_cmake_dir} COMPONENT library)

# A static libcdimage leaves the C++ runtime and the audio library to the
# program that links it; a shared one has them recorded already.
if(BUILD_SHARED_LIBS)
  set(CDIMAGE_NEEDS_LINK_DEPENDENCIES OFF)
else()
  set(CDIMAGE_NEEDS_LINK_DEPENDENCIES ON)
endif()
configure_package_config_file(cmake/cdimageConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/cdimageConfig.cmake
  INSTALL_DESTINATION ${cdimage_cmake_dir})
# Until 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/cdimageConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cdimageConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/cdimageConfigVersion.cmake
  DESTINATION ${cdimage_cmake_dir} COMPONENT library)

# cdimage.pc finds its prefix from its own place, so that an install with
# --prefix is right wherever it lands.
file(RELATIVE_PATH CDIMAGE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" CDIMAGE_PC_TO_PREFIX "${CDIMAGE_PC_TO_PREFIX}")
list(JOIN CDIMAGE_AUDIO_MODULES " " CDIMAGE_PC_REQUIRES_PRIVATE)
configure_file(cmake/cdimage.pc.in ${CMAKE_CURRENT_BINARY_DIR}/cdimage.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cdimage.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)
