# Compile settings shared by every target of the project.
function(vellmir_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
    if(VELLMIR_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    # Bytes and text never turn into each other silently: file names are bytes (LocalPath), text is UTF-8,
    # and a URL is built from a string only on purpose.
    target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS QT_NO_CAST_TO_ASCII QT_NO_CAST_FROM_BYTEARRAY
                                                 QT_NO_URL_CAST_FROM_STRING)
endfunction()

# Puts the keeper program beside `target`'s executable, where a program that runs restic finds it.
function(vellmir_keeper_beside target)
    add_dependencies(${target} vellmir-keeper)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:vellmir-keeper> $<TARGET_FILE_DIR:${target}>)
endfunction()

# vellmir_add_test(NAME <Class>Test SOURCES ... LABELS core|ui|restic|keyring|e2e|slow [LIBS ...])
# Registers one QtTest program with CTest. Each test gets a private temporary home
# (set up by the program itself through tests/support/TestHome), UTC and a fixed locale.
function(vellmir_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LABELS;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    vellmir_target_defaults(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE vellmir_test_support Qt6::Test ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    # restic runs with its keeper, looked for beside the running executable as in an installation.
    vellmir_keeper_beside(${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "TZ=UTC;LC_ALL=C.UTF-8;LANG=C.UTF-8;QT_QPA_PLATFORM=offscreen;VELLMIR_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data;VELLMIR_TEST_SUPPORT=${CMAKE_SOURCE_DIR}/tests/support;VELLMIR_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
