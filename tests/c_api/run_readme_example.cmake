# Runs the README's C example on one second of stereo silence at 44.1 kHz:
# ceil((44100 + 481) / 1152) = 39 frames of 626 or 627 bytes.
#   cmake -DPROGRAM=... -DWORK=... -P run_readme_example.cmake
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND head -c 176400 /dev/zero OUTPUT_FILE ${WORK}/silence.pcm)
execute_process(COMMAND ${PROGRAM} INPUT_FILE ${WORK}/silence.pcm OUTPUT_FILE ${WORK}/silence.mp2
                RESULT_VARIABLE result)
file(SIZE ${WORK}/silence.mp2 size)
if(NOT result EQUAL 0 OR size LESS 24414 OR size GREATER 24453)
  message(FATAL_ERROR "the README example gave exit ${result} and ${size} bytes, expected 39 frames")
endif()
message(STATUS "README example: ${size} bytes")
