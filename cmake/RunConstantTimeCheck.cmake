# Runs the constant-time check program under memcheck in both of its modes (cmake -P, from CTest).
# Passes only when constant_time_eq draws no error and the early-exit comparison draws some.
foreach(variable VALGRIND CHECK)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "usage: cmake -DVALGRIND=... -DCHECK=... -P ${CMAKE_CURRENT_LIST_FILE}")
    endif()
endforeach()

# The number of errors memcheck reports for one mode; the run's report goes to `log`.
function(memcheck_errors mode count log)
    execute_process(
        COMMAND ${VALGRIND} --tool=memcheck ${CHECK} ${mode}
        RESULT_VARIABLE status
        OUTPUT_VARIABLE output
        ERROR_VARIABLE report)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${mode}: the check program failed (${status})\n${output}${report}")
    endif()
    if(NOT report MATCHES "ERROR SUMMARY: ([0-9]+) errors")
        message(FATAL_ERROR "${mode}: memcheck printed no error summary\n${report}")
    endif()
    set(${count} ${CMAKE_MATCH_1} PARENT_SCOPE)
    set(${log} "${report}" PARENT_SCOPE)
endfunction()

memcheck_errors(constant-time constant_time_errors constant_time_log)
memcheck_errors(naive naive_errors naive_log)
if(NOT constant_time_errors EQUAL 0)
    message(FATAL_ERROR "constant_time_eq: ${constant_time_errors} memcheck errors, each a branch "
                        "or an address that depends on the compared bytes\n${constant_time_log}")
endif()
if(naive_errors EQUAL 0)
    message(FATAL_ERROR "the early-exit comparison drew no memcheck error, so this check could not "
                        "see a data-dependent branch either\n${naive_log}")
endif()
message(STATUS "constant_time_eq: 0 memcheck errors; early-exit comparison: ${naive_errors}")
