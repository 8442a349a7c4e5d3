# rw_add_qtest(NAME name SOURCES ... LIBS ... [ENVIRONMENT ...])
# Builds one Qt Test binary and registers it with CTest. Widget tests run on
# the offscreen platform so no display is needed.
# Qt Test's closing line of a run in which something was skipped and
# nothing failed: CTest then shows the test as skipped, not as passed.
set(RW_QTEST_SKIPPED "Totals: [0-9]+ passed, 0 failed, [1-9][0-9]* skipped")

function(rw_add_qtest)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    set_target_properties(${T_NAME} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/bin")
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        SKIP_REGULAR_EXPRESSION "${RW_QTEST_SKIPPED}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=96;RW_APP_DIR=${RW_APP_DIR};RW_SOURCE_DIR=${CMAKE_SOURCE_DIR};${T_ENVIRONMENT}")
endfunction()
