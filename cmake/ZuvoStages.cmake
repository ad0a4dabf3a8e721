# One object library per stage folder, so that a stage and its tests build on
# their own; the shared library and the internal static library are made of
# all of them.
set(ZUVO_STAGES platform output layer2 filterbank psycho encoder boundary)
foreach(stage IN LISTS ZUVO_STAGES)
  file(GLOB stage_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${stage}/*.cpp)
  add_library(zuvo_${stage} OBJECT ${stage_sources})
  target_include_directories(zuvo_${stage} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(zuvo_${stage} PUBLIC ZUVO_BUILDING_LIBRARY)
  # The filterbank, transform and quantizer loops gain from the vectorizer;
  # results stay bit-identical because contraction and fast-math stay off.
  if(NOT ZUVO_SANITIZE)
    target_compile_options(zuvo_${stage} PRIVATE $<$<CONFIG:RelWithDebInfo>:-O3>)
  endif()
  list(APPEND ZUVO_ALL_OBJECTS $<TARGET_OBJECTS:zuvo_${stage}>)
endforeach()
# The model's kernels choose between values without branches (a floored
# line, a zero divisor); the vectorizer turns such choices into blends only
# when it may assume that comparisons raise no floating-point traps. The
# library never reads the exception flags, and no result changes.
set_source_files_properties(
  ${PROJECT_SOURCE_DIR}/src/psycho/real_fft.cpp ${PROJECT_SOURCE_DIR}/src/psycho/model_kernels.cpp
  PROPERTIES COMPILE_OPTIONS -fno-trapping-math)
target_compile_definitions(zuvo_boundary PRIVATE ZUVO_VERSION_STRING="${PROJECT_VERSION}")
find_package(Threads REQUIRED)
target_link_libraries(zuvo_platform PUBLIC Threads::Threads)

# The stages every test of a stage needs beside the stage itself.
set(ZUVO_DEPS_platform)
set(ZUVO_DEPS_output platform)
set(ZUVO_DEPS_layer2 output platform)
set(ZUVO_DEPS_filterbank platform)
set(ZUVO_DEPS_psycho platform)
set(ZUVO_DEPS_encoder layer2 filterbank psycho output platform)
set(ZUVO_DEPS_boundary encoder layer2 filterbank psycho output platform)

# Everything, for tests that reach the stages directly.
add_library(zuvo_core STATIC ${ZUVO_ALL_OBJECTS})
target_include_directories(zuvo_core PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zuvo_core PUBLIC Threads::Threads m ${CMAKE_DL_LIBS})

# The product: only the exported functions are visible, in the shared library
# and in the static one alike (its objects keep hidden visibility, so linking
# it into a host's shared object exports nothing of the encoder's insides).
if(ZUVO_SHARED)
  add_library(ZuvoMPAEncoder SHARED ${ZUVO_ALL_OBJECTS})
else()
  if(WIN32)
    message(FATAL_ERROR "Windows builds make ZuvoMPAEncoder.dll: BUILD_SHARED_LIBS=OFF is not supported there")
  endif()
  add_library(ZuvoMPAEncoder STATIC ${ZUVO_ALL_OBJECTS})
  # Windows hosts of a static library must not ask for DLL imports.
  target_compile_definitions(ZuvoMPAEncoder INTERFACE ZUVO_STATIC)
endif()
add_library(ZuvoMPAEncoder::ZuvoMPAEncoder ALIAS ZuvoMPAEncoder)
target_include_directories(ZuvoMPAEncoder PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(ZuvoMPAEncoder PRIVATE Threads::Threads m)
set_target_properties(ZuvoMPAEncoder PROPERTIES
  OUTPUT_NAME ZuvoMPAEncoder
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
if(ZUVO_SHARED AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The version script (cmake/ZuvoMPAEncoder.map) gives each exported function
  # the version node of the release that added it and keeps everything else
  # local, so the export list is that file's.
  set(ZUVO_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/ZuvoMPAEncoder.map)
  target_link_options(ZuvoMPAEncoder PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL
                      -Wl,--version-script=${ZUVO_VERSION_SCRIPT})
  set_property(TARGET ZuvoMPAEncoder APPEND PROPERTY LINK_DEPENDS ${ZUVO_VERSION_SCRIPT})
endif()

# Link a stage's objects and those of the stages it builds on.
function(zuvo_link_stage target stage)
  set(libs zuvo_${stage})
  foreach(dep IN LISTS ZUVO_DEPS_${stage})
    list(APPEND libs zuvo_${dep})
  endforeach()
  target_link_libraries(${target} PRIVATE ${libs} Threads::Threads m)
endfunction()
