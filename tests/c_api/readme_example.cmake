# Compiles the C example of README.md ("## Use from C") as strict C99 against
# include/ and links it with the library; runs it on a second of silence,
# which must give ceil((44100 + 481) / 1152) = 39 frames of 627 or 626 bytes.
#   cmake -DREADME=... -DCC=... -DINCLUDE=... -DLIBRARY=... -DWORK=... -P readme_example.cmake
file(READ ${README} text)
string(FIND "${text}" "## Use from C\n" at)
if(at LESS 0)
  message(FATAL_ERROR "README.md has no \"## Use from C\" section")
endif()
string(SUBSTRING "${text}" ${at} -1 text)
string(FIND "${text}" "```c\n" begin)
string(FIND "${text}" "\n```\n" end)
if(begin LESS 0 OR end LESS begin)
  message(FATAL_ERROR "no ```c block in the \"Use from C\" section")
endif()
math(EXPR begin "${begin} + 5")
math(EXPR length "${end} - ${begin} + 1")
string(SUBSTRING "${text}" ${begin} ${length} program)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/readme_example.c "${program}")
get_filename_component(libdir ${LIBRARY} DIRECTORY)
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -pedantic -Werror -I${INCLUDE} ${WORK}/readme_example.c
                        ${LIBRARY} -Wl,-rpath,${libdir} -o ${WORK}/readme_example
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the README example does not compile:\n${errors}")
endif()
# 44100 stereo sample pairs of silence.
execute_process(COMMAND head -c 176400 /dev/zero OUTPUT_FILE ${WORK}/silence.pcm)
execute_process(COMMAND ${WORK}/readme_example INPUT_FILE ${WORK}/silence.pcm OUTPUT_FILE ${WORK}/silence.mp2
                RESULT_VARIABLE result)
file(SIZE ${WORK}/silence.mp2 size)
if(NOT result EQUAL 0 OR size LESS 24414 OR size GREATER 24453)
  message(FATAL_ERROR "the README example gave exit ${result} and ${size} bytes, expected 39 frames")
endif()
message(STATUS "README example: ${size} bytes")
