# The service and its tests, cross-built for 64-bit Windows; ctest runs the tests
# under Wine in a private prefix (see testing/wine-prefix).

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

enable_language(RC)

# korvan_win_resources(target DESCRIPTION text ORIGINAL_FILENAME name
#                      [INTERNAL_NAME name] [VERSION x.y.z])
# Gives an executable its version resource (file and product version: VERSION, or
# the project's; ProductName KorvanVPN) and the application manifest
# cmake/app.manifest (asInvoker, Windows 10 and later). The .rc file is generated
# from cmake/version.rc.in into the build folder and compiled with windres.
function(korvan_win_resources target)
    cmake_parse_arguments(PARSE_ARGV 1 arg ""
                          "DESCRIPTION;ORIGINAL_FILENAME;INTERNAL_NAME;VERSION" "")
    if(NOT arg_DESCRIPTION OR NOT arg_ORIGINAL_FILENAME)
        message(FATAL_ERROR "korvan_win_resources(${target}): DESCRIPTION and ORIGINAL_FILENAME are required")
    endif()
    set(version ${arg_VERSION})
    if(NOT version)
        set(version ${PROJECT_VERSION})
    endif()
    # The binary version has four parts: 1.0.0 becomes 1,0,0,0.
    string(REPLACE "." ";" parts "${version}")
    list(LENGTH parts count)
    while(count LESS 4)
        list(APPEND parts 0)
        math(EXPR count "${count} + 1")
    endwhile()
    list(JOIN parts "," version_commas)
    set(internal_name ${arg_INTERNAL_NAME})
    if(NOT internal_name)
        get_filename_component(internal_name ${arg_ORIGINAL_FILENAME} NAME_WE)
    endif()
    set(KORVAN_PRODUCT_NAME "KorvanVPN")
    set(manifest ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/app.manifest)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
endfunction()

# The thin Windows layer: handle owners, error texts, UTF-8/UTF-16.
add_library(korvan_win STATIC
    src/win/error_text.cpp
    src/win/sync_io_deadline.cpp
    src/win/utf.cpp
)
target_link_libraries(korvan_win PUBLIC korvan_common)
korvan_warnings(korvan_win)


# The core supervisor and the service log, with the paths and the work folder both of
# them use.
add_library(korvan_core STATIC
    src/core/command_line.cpp
    src/core/launch.cpp
    src/core/supervise.cpp
    src/log/service_log.cpp
    src/win/paths.cpp
    src/workdir/folder_record.cpp
    src/workdir/service_dir.cpp
)
target_link_libraries(korvan_core PUBLIC korvan_win)
korvan_warnings(korvan_core)

# The control pipe: the listener, the exchange with one client, the caller check, the
# dispatch of a request, and the pipe as a byte stream.
add_library(korvan_pipe STATIC
    src/pipe/authorize.cpp
    src/pipe/dispatch.cpp
    src/pipe/exchange.cpp
    src/pipe/listener.cpp
    src/pipe/pipe_stream.cpp
)
target_link_libraries(korvan_pipe PUBLIC korvan_proto korvan_core)
korvan_warnings(korvan_pipe)

# The service host: its life under the SCM and its own installer.
add_library(korvan_service STATIC
    src/service/install.cpp
    src/service/runtime.cpp
)
target_link_libraries(korvan_service PUBLIC korvan_pipe)
korvan_warnings(korvan_service)

add_executable(korvan_vpn_service src/service/main.cpp)
set_target_properties(korvan_vpn_service PROPERTIES OUTPUT_NAME korvan-vpn-service)
target_link_libraries(korvan_vpn_service PRIVATE korvan_service shell32)
korvan_warnings(korvan_vpn_service)
korvan_win_resources(korvan_vpn_service
    DESCRIPTION "KorvanVPN TUN mode system service"
    ORIGINAL_FILENAME korvan-vpn-service.exe)

# The control tool korvan-vpn-ctl.exe: its Windows side (the pipe's client end, the
# server check, input and output) and the executable.
add_library(korvan_ctl_win STATIC
    src/ctl/connect.cpp
    src/ctl/console.cpp
    src/ctl/exchange.cpp
    src/ctl/input.cpp
    src/ctl/server_process.cpp
)
target_link_libraries(korvan_ctl_win PUBLIC korvan_ctl korvan_pipe)
korvan_warnings(korvan_ctl_win)

add_executable(korvan_vpn_ctl src/ctl/main.cpp)
set_target_properties(korvan_vpn_ctl PROPERTIES OUTPUT_NAME korvan-vpn-ctl)
target_link_libraries(korvan_vpn_ctl PRIVATE korvan_ctl_win shell32)
korvan_warnings(korvan_vpn_ctl)
korvan_win_resources(korvan_vpn_ctl
    DESCRIPTION "KorvanVPN service control tool"
    ORIGINAL_FILENAME korvan-vpn-ctl.exe)

if(KORVAN_TESTS)
    set(KORVAN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    add_test(NAME wine_prefix_up
             COMMAND ${CMAKE_SOURCE_DIR}/testing/wine-prefix up ${KORVAN_WINEPREFIX})
    add_test(NAME wine_prefix_down
             COMMAND ${CMAKE_SOURCE_DIR}/testing/wine-prefix down ${KORVAN_WINEPREFIX})
    set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine)
    set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine)

    # One ctest entry per test executable: every entry is a Wine start-up.
    # korvan_wine_test(NAME [OUTPUT_DIRECTORY dir] SOURCES... LIBS libs...)
    function(korvan_wine_test name)
        cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_DIRECTORY" "SOURCES;LIBS")
        add_executable(${name} ${arg_SOURCES})
        if(arg_OUTPUT_DIRECTORY)
            set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${arg_OUTPUT_DIRECTORY})
        endif()
        target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main)
        korvan_warnings(${name})
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
    endfunction()

    korvan_wine_test(pipe_tests LIBS korvan_pipe SOURCES
        src/pipe/decode_test.cpp
        src/pipe/encode_test.cpp
        src/pipe/frame_test.cpp
        src/pipe/frame_pipe_test.cpp
    )

    # The core tests launch the core from the folder of the running executable, so
    # they get a folder of their own with the stand-in core beside them; the tests
    # write the stand-in wintun-x86_64.dll there themselves.
    set(core_test_dir ${CMAKE_BINARY_DIR}/core_tests)
    add_executable(fake_core testing/fake_core/fake_core.cpp)
    set_target_properties(fake_core PROPERTIES
        OUTPUT_NAME mihomo-x86_64-pc-windows-msvc
        RUNTIME_OUTPUT_DIRECTORY ${core_test_dir})
    target_link_libraries(fake_core PRIVATE korvan_win ntdll)
    korvan_warnings(fake_core)

    korvan_wine_test(core_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_core shell32 SOURCES
        src/core/command_line_test.cpp
        src/core/launch_test.cpp
        src/core/supervise_test.cpp
        src/log/service_log_test.cpp
        src/win/error_text_test.cpp
        src/win/paths_test.cpp
        src/workdir/service_dir_test.cpp
        testing/support/core_sandbox.cpp
        testing/support/folder_probes.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(core_tests PRIVATE testing)
    add_dependencies(core_tests fake_core)

    # The control pipe with real clients; starts launch the stand-in core, so these
    # tests live beside it too.
    korvan_wine_test(control_pipe_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_pipe SOURCES
        src/pipe/authorize_test.cpp
        src/pipe/dispatch_test.cpp
        src/pipe/exchange_test.cpp
        src/pipe/listener_test.cpp
        src/win/sync_io_deadline_test.cpp
        testing/support/core_sandbox.cpp
        testing/support/pipe_client.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(control_pipe_tests PRIVATE testing)
    add_dependencies(control_pipe_tests fake_core)

    # The service end to end under Wine's SCM: it copies the built service, which lies
    # one folder up, and the stand-in core into install folders of its own.
    korvan_wine_test(service_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_service SOURCES
        src/service/runtime_test.cpp
        src/service/service_test.cpp
        testing/support/core_sandbox.cpp
        testing/support/folder_probes.cpp
        testing/support/installed_service.cpp
        testing/support/pipe_client.cpp
        testing/support/process_run.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(service_tests PRIVATE testing)
    add_dependencies(service_tests fake_core korvan_vpn_service korvan_vpn_ctl)

    # The tool's tables, and the tool itself run against pipe servers of the test's own
    # and against a stand-in service that the Service Control Manager runs.
    add_executable(fake_service testing/fake_service/fake_service.cpp)
    target_link_libraries(fake_service PRIVATE korvan_pipe)
    korvan_warnings(fake_service)

    korvan_wine_test(ctl_tests LIBS korvan_ctl_win korvan_json version SOURCES
        src/ctl/args_test.cpp
        src/ctl/reply_test.cpp
        src/ctl/request_body_test.cpp
        src/ctl/server_check_test.cpp
        src/ctl/server_check_service_test.cpp
        src/ctl/ctl_exe_test.cpp
        src/ctl/resources_test.cpp
        testing/support/pipe_server.cpp
        testing/support/test_support.cpp
        testing/support/process_run.cpp
        testing/support/tool_run.cpp
    )
    target_include_directories(ctl_tests PRIVATE testing)
    add_dependencies(ctl_tests korvan_vpn_ctl korvan_vpn_service fake_service)
endif()

# Benchmarks of the installed service against bare programs doing the same platform
# work; scripts/bench runs them under Wine.
set(bench_dir ${CMAKE_BINARY_DIR}/bench)
add_library(korvan_bench_support STATIC bench/bench_support.cpp testing/support/installed_service.cpp
                                        testing/support/pipe_client.cpp)
target_include_directories(korvan_bench_support PUBLIC testing)
target_link_libraries(korvan_bench_support PUBLIC korvan_win psapi ntdll)
korvan_warnings(korvan_bench_support)
foreach(program echo_server pipe_bench memory_bench launch_bench)
    add_executable(${program} bench/${program}.cpp)
    set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${bench_dir})
    target_link_libraries(${program} PRIVATE korvan_bench_support korvan_pipe)
    korvan_warnings(${program})
endforeach()

# The reliability programs that scripts/reliability runs against the installed service
# (load, faults, bad input); not tests. The stand-in core they install with comes from
# the test build.
add_library(korvan_reliability STATIC
    reliability/service_probe.cpp
    testing/support/installed_service.cpp
    testing/support/pipe_client.cpp
    testing/support/process_run.cpp
)
target_include_directories(korvan_reliability PUBLIC ${CMAKE_SOURCE_DIR} testing)
target_link_libraries(korvan_reliability PUBLIC korvan_win ntdll)
korvan_warnings(korvan_reliability)
foreach(program load faults bad_input log_flood peak_memory)
    add_executable(reliability_${program} reliability/${program}.cpp)
    set_target_properties(reliability_${program} PROPERTIES
        OUTPUT_NAME ${program}
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/reliability)
    target_link_libraries(reliability_${program} PRIVATE korvan_reliability)
    korvan_warnings(reliability_${program})
endforeach()
