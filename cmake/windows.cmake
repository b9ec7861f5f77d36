# The service and its tests, cross-built for 64-bit Windows; ctest runs the tests
# under Wine in a private prefix (see testing/wine-prefix).

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

# The thin Windows layer: handle owners, error texts, UTF-8/UTF-16.
add_library(korvan_win STATIC
    src/win/error_text.cpp
    src/win/utf.cpp
)
target_link_libraries(korvan_win PUBLIC korvan_common)
korvan_warnings(korvan_win)

# The control pipe.
add_library(korvan_pipe STATIC
    src/pipe/pipe_stream.cpp
)
target_link_libraries(korvan_pipe PUBLIC korvan_proto korvan_win)
korvan_warnings(korvan_pipe)

if(KORVAN_TESTS)
    set(KORVAN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    add_test(NAME wine_prefix_up
             COMMAND ${CMAKE_SOURCE_DIR}/testing/wine-prefix up ${KORVAN_WINEPREFIX})
    add_test(NAME wine_prefix_down
             COMMAND ${CMAKE_SOURCE_DIR}/testing/wine-prefix down ${KORVAN_WINEPREFIX})
    set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine)
    set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine)

    # One ctest entry per test executable: every entry is a Wine start-up.
    # korvan_wine_test(NAME SOURCES... LIBS libs...)
    function(korvan_wine_test name)
        cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
        add_executable(${name} ${arg_SOURCES})
        target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main)
        korvan_warnings(${name})
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
    endfunction()

    korvan_wine_test(pipe_tests LIBS korvan_pipe SOURCES
        src/pipe/encode_test.cpp
        src/pipe/frame_test.cpp
        src/pipe/frame_pipe_test.cpp
    )
endif()
