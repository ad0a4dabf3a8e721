# Runs identity_encode (through EMULATOR when given) and compares its lines
# with EXPECTED, the streams of the Linux library.
#   cmake -DPROGRAM=... [-DEMULATOR=wine] -DEXPECTED=... -P compare_identity.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM}
  OUTPUT_VARIABLE got RESULT_VARIABLE status TIMEOUT 300)
string(REPLACE "\r" "" got "${got}")
string(STRIP "${got}" got)
file(READ ${EXPECTED} expected)
string(STRIP "${expected}" expected)
string(REGEX MATCHALL "[^\n]+" lines "${expected}")
list(LENGTH lines count)
if(NOT status EQUAL 0 OR NOT got STREQUAL expected OR count EQUAL 0)
  message("identity: streams differ from the Linux library's (exit status ${status})")
  message("got:\n${got}\nexpected (${EXPECTED}):\n${expected}")
  message(FATAL_ERROR "identity: FAILED")
endif()
message("identity: ${count} checks passed")
