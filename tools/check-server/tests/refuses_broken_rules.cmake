# Runs the server on a rules file with a mistake: it has to stop at once
# with a non-zero exit and "FILE:LINE: what is wrong" on standard error.
execute_process(COMMAND ${PROGRAM} --listen 127.0.0.1:0 --rules ${RULES}
  RESULT_VARIABLE result ERROR_VARIABLE error TIMEOUT 10)
if(result EQUAL 0 OR NOT result MATCHES "^[0-9]+$")
  message(FATAL_ERROR "expected a non-zero exit, got '${result}'")
endif()
set(expected "${RULES}:5: 'verdict' given twice in one rule")
string(FIND "${error}" "${expected}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "expected '${expected}' in: ${error}")
endif()
