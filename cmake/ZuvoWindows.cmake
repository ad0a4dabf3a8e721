# Windows builds: ZuvoMPAEncoder.dll from the MinGW-w64 cross compilers
# (cmake/toolchain-mingw-x86_64.cmake, cmake/toolchain-mingw-i686.cmake), its
# export definitions, import libraries for MinGW and Microsoft-style linkers,
# and the Windows test programs, which run under Wine (scripts/windows.sh sets
# up the Wine prefix and runs everything).
#
# Included by the top-level CMakeLists.txt after the stages, on Windows only.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZUVO_WINDOWS_ARCH x64)
  set(ZUVO_DLLTOOL_MACHINE i386:x86-64)
else()
  set(ZUVO_WINDOWS_ARCH x86)
  set(ZUVO_DLLTOOL_MACHINE i386)
endif()
set(ZUVO_WINDOWS_DIR ${PROJECT_SOURCE_DIR}/windows)
set(ZUVO_WINDOWS_DEF ${ZUVO_WINDOWS_DIR}/ZuvoMPAEncoder-${ZUVO_WINDOWS_ARCH}.def)

# Every program and the library in one folder, as on a host's machine: the
# test programs find the DLL beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# M_PI and friends, which the C library on Linux offers without asking.
add_compile_definitions(_USE_MATH_DEFINES)

# The compiler's runtime (libgcc, libstdc++, winpthread) is linked in, so the
# DLL and the programs import system DLLs only.
add_link_options(-static)
target_link_options(ZuvoMPAEncoder PRIVATE -static -Wl,--no-undefined $<$<CONFIG:Release>:-s>)

# ZuvoMPAEncoder.dll (no "lib" prefix); exports from the .def file: the GCC
# names and their Microsoft-compiler aliases.
target_sources(ZuvoMPAEncoder PRIVATE ${ZUVO_WINDOWS_DEF})
set_target_properties(ZuvoMPAEncoder PROPERTIES
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
  LINK_DEPENDS ${ZUVO_WINDOWS_DEF})

# Version information, compiled by windres on its own (the project's compiler
# warnings options are not for it).
configure_file(${ZUVO_WINDOWS_DIR}/ZuvoMPAEncoder.rc.in ${CMAKE_BINARY_DIR}/ZuvoMPAEncoder.rc @ONLY)
set(ZUVO_VERSION_RESOURCE ${CMAKE_BINARY_DIR}/ZuvoMPAEncoder-version.o)
add_custom_command(OUTPUT ${ZUVO_VERSION_RESOURCE}
  COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${CMAKE_BINARY_DIR}/ZuvoMPAEncoder.rc -o ${ZUVO_VERSION_RESOURCE}
  DEPENDS ${CMAKE_BINARY_DIR}/ZuvoMPAEncoder.rc)
target_sources(ZuvoMPAEncoder PRIVATE ${ZUVO_VERSION_RESOURCE})
set_source_files_properties(${ZUVO_VERSION_RESOURCE} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

# The import library for Microsoft-style linkers, lib/ZuvoMPAEncoder.lib.
# x86: GNU ld's import library decorates every symbol with a leading
# underscore, also the Microsoft names, which must stay undecorated; the one
# llvm-dlltool makes from the .def is right. x64 has no such decoration, and
# GNU ld's import library serves both kinds of linker.
set(ZUVO_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/lib/ZuvoMPAEncoder.lib)
if(ZUVO_WINDOWS_ARCH STREQUAL "x86")
  find_program(ZUVO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  add_custom_command(OUTPUT ${ZUVO_MSVC_IMPORT_LIB}
    COMMAND ${ZUVO_LLVM_DLLTOOL} -m ${ZUVO_DLLTOOL_MACHINE} -D ZuvoMPAEncoder.dll
            -d ${ZUVO_WINDOWS_DEF} -l ${ZUVO_MSVC_IMPORT_LIB}
    DEPENDS ${ZUVO_WINDOWS_DEF}
    COMMENT "Import library for Microsoft-style linkers (llvm-dlltool)")
else()
  add_custom_command(OUTPUT ${ZUVO_MSVC_IMPORT_LIB}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:ZuvoMPAEncoder> ${ZUVO_MSVC_IMPORT_LIB}
    DEPENDS ZuvoMPAEncoder
    COMMENT "Import library for Microsoft-style linkers (GNU ld's)")
endif()
add_custom_target(zuvo_msvc_import_lib ALL DEPENDS ${ZUVO_MSVC_IMPORT_LIB})

# The command-line tool: tools/CMakeLists.txt builds it with a WAV-only reader
# in place of libsndfile, which has no MinGW build here; windows/ tests it.
set(ZUVO_WINDOWS_BUILD_TOOL ${ZUVO_BUILD_TOOLS})

if(NOT ZUVO_BUILD_TESTS)
  add_subdirectory(${ZUVO_WINDOWS_DIR} ${CMAKE_BINARY_DIR}/windows)
  return()
endif()

# ---------------------------------------------------------------- GoogleTest

# Built from Debian's sources (libgtest-dev) with the cross compiler, and
# offered to tests/CMakeLists.txt's find_package(GTest) as if installed.
set(ZUVO_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Static, whatever BUILD_SHARED_LIBS says about this project's own library: a
# GoogleTest DLL would bring a second copy of the unwinder into every test.
set(ZUVO_SAVED_BUILD_SHARED_LIBS ${BUILD_SHARED_LIBS})
set(BUILD_SHARED_LIBS OFF)
add_subdirectory(${ZUVO_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set(BUILD_SHARED_LIBS ${ZUVO_SAVED_BUILD_SHARED_LIBS})
foreach(gtest_target gtest gtest_main)
  target_compile_options(${gtest_target} PRIVATE -w)  # not our code
  if(NOT TARGET GTest::${gtest_target})
    add_library(GTest::${gtest_target} ALIAS ${gtest_target})
  endif()
endforeach()
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
  "# GoogleTest is built in this project (cmake/ZuvoWindows.cmake).\n")

# ---------------------------------------------------------------- test registration

# Tests that rely on POSIX tools or calls (popen of nm, mkdtemp, setenv, fork)
# and are not built for Windows; windows/ has the Windows counterparts.
set(ZUVO_WINDOWS_EXCLUDED_TESTS
  test_platform_posix        # POSIX platform layer; see test_windows_services
  test_output_overflow_store # mkdtemp/setenv; see test_windows_services
  test_api_exports           # nm over the .so; see windows/check_binaries.sh
  test_api_decoders          # runs Linux decoders (ffmpeg, mpg123, madplay)
  test_api_bad_input         # mkdtemp, sys/wait.h; decodes with ffmpeg and mpg123
  test_api_cli               # runs the Linux command-line tool
  test_api_stream_settings   # runs Linux decoders; its signals come from audio_tools
  test_encoder_huge_buffers  # mmap
)
set(ZUVO_WINDOWS_EXCLUDED_SUPPORT
  ${PROJECT_SOURCE_DIR}/tests/support/audio_tools.cpp  # fork/poll: drives Linux decoders
  ${PROJECT_SOURCE_DIR}/tests/support/decoders.cpp     # the Linux decoders themselves
)

# Wine's settings for every test: quiet, headless, no .NET/HTML prompts.
set(ZUVO_WINE_TEST_ENVIRONMENT "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
set(ZUVO_WINE_TEST_ENVIRONMENT_MODIFICATION "DISPLAY=unset:")

# A 32-bit program under a Wine without 32-bit support exits 0 without running
# anything, so a test passes only when it says how many cases passed, and a
# program whose list of cases is empty fails its ".listed" test.
function(zuvo_windows_discover_tests target)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES
      TIMEOUT 900
      PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [1-9]"
      FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]"
      ENVIRONMENT "${ZUVO_WINE_TEST_ENVIRONMENT}"
      ENVIRONMENT_MODIFICATION "${ZUVO_WINE_TEST_ENVIRONMENT_MODIFICATION}"
      ${ARGN})
  add_test(NAME ${target}.listed COMMAND ${target} --gtest_list_tests)
  set_tests_properties(${target}.listed PROPERTIES
    PASS_REGULAR_EXPRESSION "\n  [A-Za-z_]"
    ENVIRONMENT "${ZUVO_WINE_TEST_ENVIRONMENT}"
    ENVIRONMENT_MODIFICATION "${ZUVO_WINE_TEST_ENVIRONMENT_MODIFICATION}")
endfunction()

# A Windows program test that proves it ran by printing "N checks passed".
function(zuvo_windows_program_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT 600
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* checks passed"
    FAIL_REGULAR_EXPRESSION "FAILED"
    ENVIRONMENT "${ZUVO_WINE_TEST_ENVIRONMENT}"
    ENVIRONMENT_MODIFICATION "${ZUVO_WINE_TEST_ENVIRONMENT_MODIFICATION}")
endfunction()

include(GoogleTest)
enable_testing()
add_subdirectory(${ZUVO_WINDOWS_DIR} ${CMAKE_BINARY_DIR}/windows)
