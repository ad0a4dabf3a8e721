# What `cmake --install` puts where, and the Debian package made of it:
#   lib/libZuvoMPAEncoder.so.1.1.0 (+ .so.1, .so links) or libZuvoMPAEncoder.a
#   include/*.h                          every public header
#   bin/zuvo-mpa-encode                  when the tool is built
#   share/man/man1/*.1, man3/*.3         the manual pages in man/, when present
#   share/doc/zuvo-mpa-encoder/          README.md, NOTICE, copyright
#   lib/cmake/ZuvoMPAEncoder/            the CMake package (ZuvoMPAEncoder::ZuvoMPAEncoder)
#   lib/pkgconfig/zuvo-mpa-encoder.pc    the pkg-config file
# Included by the top-level CMakeLists.txt after every target is defined.
include(CMakePackageConfigHelpers)

set(ZUVO_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZuvoMPAEncoder)

install(TARGETS ZuvoMPAEncoder EXPORT ZuvoMPAEncoderTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Every public header, also those added later beside ZuvoMPAEncoder.h.
file(GLOB ZUVO_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${ZUVO_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET zuvo-mpa-encode)
  install(TARGETS zuvo-mpa-encode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(ZUVO_SHARED AND NOT WIN32)
    # The installed tool finds the library beside it wherever the tree is
    # unpacked (a prefix of one's own, a scratch root).
    file(RELATIVE_PATH ZUVO_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(zuvo-mpa-encode PROPERTIES INSTALL_RPATH "$ORIGIN/${ZUVO_BIN_TO_LIB}")
  endif()
endif()

# Manual pages: section 1 for the tool, section 3 for the library's functions.
file(GLOB ZUVO_MAN1 CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
file(GLOB ZUVO_MAN3 CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.3)
install(FILES ${ZUVO_MAN1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZUVO_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

install(FILES README.md NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)  # where Debian looks

# ---------------------------------------------------------------- CMake package

install(EXPORT ZuvoMPAEncoderTargets
  NAMESPACE ZuvoMPAEncoder::
  DESTINATION ${ZUVO_CMAKE_PACKAGE_DIR})
if(ZUVO_SHARED)
  set(ZUVO_CONFIG_STATIC FALSE)
else()
  set(ZUVO_CONFIG_STATIC TRUE)
endif()
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/ZuvoMPAEncoderConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZuvoMPAEncoderConfig.cmake
  INSTALL_DESTINATION ${ZUVO_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ZuvoMPAEncoderConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ZuvoMPAEncoderConfig.cmake
  ${PROJECT_BINARY_DIR}/ZuvoMPAEncoderConfigVersion.cmake
  DESTINATION ${ZUVO_CMAKE_PACKAGE_DIR})

# ---------------------------------------------------------------- pkg-config

# The paths are relative to the .pc file's own folder, so that the installed
# tree works wherever it is unpacked; absolute install folders stay absolute.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZUVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZUVO_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" ZUVO_PC_UP "${ZUVO_PC_UP}")
  set(ZUVO_PC_PREFIX "\${pcfiledir}/${ZUVO_PC_UP}")
endif()
set(ZUVO_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
set(ZUVO_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZUVO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZUVO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# A static library brings the C++ runtime, the mathematics library and threads
# with it, and its hosts must not ask for DLL imports.
set(ZUVO_PC_CFLAGS "")
if(NOT ZUVO_SHARED)
  set(ZUVO_PC_CFLAGS " -DZUVO_STATIC")
endif()
set(ZUVO_PC_LIBS_PRIVATE "-lstdc++ -lm")
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND ZUVO_PC_LIBS_PRIVATE " ${CMAKE_THREAD_LIBS_INIT}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zuvo-mpa-encoder.pc.in
  ${PROJECT_BINARY_DIR}/zuvo-mpa-encoder.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zuvo-mpa-encoder.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---------------------------------------------------------------- Debian package

# `cpack -G DEB` in the build folder makes zuvo-mpa-encoder_<version>_<arch>.deb
# from the rules above, installed under /usr, binaries stripped, with the
# dependencies dpkg-shlibdeps finds (needs dpkg-dev and file).
if(PROJECT_IS_TOP_LEVEL AND NOT WIN32)
  set(CPACK_PACKAGE_NAME zuvo-mpa-encoder)
  set(CPACK_PACKAGE_VENDOR "the ZuvoMPAEncoder developers")
  set(CPACK_PACKAGE_CONTACT "The ZuvoMPAEncoder developers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MPEG-1 Audio Layer II encoder library and command-line encoder")
  set(CPACK_PACKAGE_DESCRIPTION
    "ZuvoMPAEncoder encodes 16-bit PCM into CRC-protected MPEG-1 Audio Layer II\n"
    "frames with psychoacoustic model 2. The package holds the shared library,\n"
    "its headers, CMake package and pkg-config file, the zuvo-mpa-encode tool\n"
    "and the manual pages.")
  string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
  set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
  set(CPACK_GENERATOR DEB)
  set(CPACK_SOURCE_GENERATOR "")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  include(CPack)
endif()
