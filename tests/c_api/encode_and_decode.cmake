# Runs the C99 example and decodes its stream with FFmpeg and mpg123: both must
# give every frame's 1152 samples of two channels.
#   cmake -DPROGRAM=... -DOUTPUT=....mp2 -DFRAMES=39 -P encode_and_decode.cmake
execute_process(COMMAND ${PROGRAM} ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed: ${result}")
endif()
math(EXPR expected "${FRAMES} * 1152 * 2 * 2")
find_program(FFMPEG ffmpeg REQUIRED)
find_program(MPG123 mpg123 REQUIRED)
execute_process(COMMAND ${FFMPEG} -v error -y -i ${OUTPUT} -f s16le -acodec pcm_s16le ${OUTPUT}.ffmpeg.pcm
                RESULT_VARIABLE ffmpeg_result ERROR_VARIABLE ffmpeg_errors)
execute_process(COMMAND ${MPG123} -q -s ${OUTPUT} OUTPUT_FILE ${OUTPUT}.mpg123.pcm
                RESULT_VARIABLE mpg123_result ERROR_VARIABLE mpg123_errors)
file(SIZE ${OUTPUT}.ffmpeg.pcm ffmpeg_size)
file(SIZE ${OUTPUT}.mpg123.pcm mpg123_size)
if(NOT ffmpeg_result EQUAL 0 OR NOT ffmpeg_errors STREQUAL "" OR NOT ffmpeg_size EQUAL expected)
  message(FATAL_ERROR "ffmpeg: exit ${ffmpeg_result}, ${ffmpeg_size} bytes (expected ${expected}): ${ffmpeg_errors}")
endif()
if(NOT mpg123_result EQUAL 0 OR NOT mpg123_errors STREQUAL "" OR NOT mpg123_size EQUAL expected)
  message(FATAL_ERROR "mpg123: exit ${mpg123_result}, ${mpg123_size} bytes (expected ${expected}): ${mpg123_errors}")
endif()
message(STATUS "${OUTPUT}: ${FRAMES} frames, decoded by ffmpeg and mpg123")
