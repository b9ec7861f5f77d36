# The tests of the Windows build, run under Wine in a private prefix, the benchmarks
# and the reliability programs.

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
        src/proto/decode_test.cpp
        src/proto/decode_response_test.cpp
        src/proto/encode_request_test.cpp
        src/proto/encode_test.cpp
        src/proto/frame_test.cpp
        src/proto/json_scan_test.cpp
        src/pipe/frame_pipe_test.cpp
    )
    target_include_directories(pipe_tests PRIVATE testing)

    # The core tests launch the core from the folder of the running executable, so
    # they get a folder of their own with the stand-in core beside them; the tests
    # write the stand-in wintun-x86_64.dll there themselves.
    set(core_test_dir ${CMAKE_BINARY_DIR}/core_tests)
    add_executable(fake_core testing/fake_core/fake_core.cpp testing/support/test_support.cpp)
    set_target_properties(fake_core PROPERTIES
        OUTPUT_NAME mihomo-x86_64-pc-windows-msvc
        RUNTIME_OUTPUT_DIRECTORY ${core_test_dir})
    target_include_directories(fake_core PRIVATE testing)
    target_link_libraries(fake_core PRIVATE korvan_win ntdll)
    korvan_warnings(fake_core)

    korvan_wine_test(core_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_core korvan_kit_clean shell32 SOURCES
        src/core/command_line_test.cpp
        src/core/install_files_test.cpp
        src/core/launch_test.cpp
        src/core/supervise_test.cpp
        src/core/supervisor_test.cpp
        src/log/service_log_test.cpp
        src/win/backup_privileges_test.cpp
        src/win/error_text_test.cpp
        src/win/paths_test.cpp
        src/workdir/files_test.cpp
        src/workdir/folder_record_test.cpp
        src/workdir/log_file_test.cpp
        src/workdir/program_data_test.cpp
        src/workdir/provision_test.cpp
        src/workdir/service_dir_test.cpp
        testing/support/core_sandbox.cpp
        testing/kit_clean/clean_test.cpp
        testing/support/folder_probes.cpp
        testing/support/held_launch.cpp
        testing/support/process_run.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(core_tests PRIVATE testing)
    add_dependencies(core_tests fake_core kit_clean)

    # Another process that pings, for the listener's tests of one account's floods.
    add_executable(pinger testing/pinger/pinger.cpp)
    set_target_properties(pinger PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${core_test_dir})
    target_link_libraries(pinger PRIVATE korvan_client_win)
    korvan_warnings(pinger)

    # The control pipe with real clients; starts launch the stand-in core, so these
    # tests live beside it too.
    korvan_wine_test(control_pipe_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_pipe korvan_client_win SOURCES
        src/pipe/accounts_test.cpp
        src/pipe/authorize_test.cpp
        src/pipe/control_policy_test.cpp
        src/pipe/dispatch_test.cpp
        src/pipe/exchange_test.cpp
        src/pipe/listener_test.cpp
        src/pipe/policy_section_test.cpp
        testing/support/core_sandbox.cpp
        testing/support/folder_probes.cpp
        testing/support/held_launch.cpp
        testing/support/pipe_client.cpp
        testing/support/process_run.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(control_pipe_tests PRIVATE testing)
    # The tool pings from a process of its own, another account to the listener.
    add_dependencies(control_pipe_tests fake_core korvan_vpn_ctl pinger)

    # The service end to end under Wine's SCM: it copies the built service, which lies
    # one folder up, and the stand-in core into install folders of its own.
    korvan_wine_test(service_tests OUTPUT_DIRECTORY ${core_test_dir}
        LIBS korvan_service userenv SOURCES
        src/service/failure_actions_test.cpp
        src/service/runtime_test.cpp
        src/service/service_test.cpp
        testing/support/core_sandbox.cpp
        testing/support/folder_probes.cpp
        testing/support/held_launch.cpp
        testing/support/installed_service.cpp
        testing/support/pipe_client.cpp
        testing/support/process_run.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(service_tests PRIVATE testing)
    add_dependencies(service_tests fake_core korvan_vpn_service korvan_vpn_ctl)
    # They set the machine's policy on start and stop, which every start in this prefix
    # reads: no other test may run meanwhile.
    set_tests_properties(service_tests PROPERTIES RUN_SERIAL TRUE)

    # The check of the package's custom actions on tokens of the test's own, and, with
    # the kit's package beside it on Windows, the package installing and removing the
    # service through actions run as SYSTEM and refusing a repair so started.
    korvan_wine_test(msi_actions_tests LIBS korvan_msi msi SOURCES
        src/msi/administrator_test.cpp
        src/msi/package_test.cpp
        testing/support/installed_service.cpp
        testing/support/pipe_client.cpp
        testing/support/process_run.cpp
        testing/support/test_support.cpp
    )
    target_include_directories(msi_actions_tests PRIVATE testing)
    set_tests_properties(msi_actions_tests PROPERTIES RESOURCE_LOCK korvan_service_name)

    # The tool's tables, and the tool itself run against pipe servers of the test's own
    # and against a stand-in service that the Service Control Manager runs.
    add_executable(fake_service testing/fake_service/fake_service.cpp)
    target_link_libraries(fake_service PRIVATE korvan_proto korvan_win)
    korvan_warnings(fake_service)

    # The test kit's removal of what the tests left below ProgramData; core_tests tests
    # it, and runs it from the folder above theirs, where the kit has it too.
    add_library(korvan_kit_clean STATIC testing/kit_clean/clean.cpp)
    target_include_directories(korvan_kit_clean PUBLIC testing)
    target_link_libraries(korvan_kit_clean PUBLIC korvan_win ntdll)
    korvan_warnings(korvan_kit_clean)
    add_executable(kit_clean testing/kit_clean/kit_clean.cpp)
    set_target_properties(kit_clean PROPERTIES OUTPUT_NAME kit-clean)
    target_link_libraries(kit_clean PRIVATE korvan_kit_clean)
    target_link_options(kit_clean PRIVATE -municode)
    korvan_warnings(kit_clean)

    korvan_wine_test(ctl_tests LIBS korvan_ctl_win version SOURCES
        src/ctl/args_test.cpp
        src/ctl/reply_test.cpp
        src/ctl/ctl_exe_test.cpp
        src/ctl/resources_test.cpp
        testing/support/pipe_server.cpp
        testing/support/test_support.cpp
        testing/support/process_run.cpp
        testing/support/tool_run.cpp
    )
    target_include_directories(ctl_tests PRIVATE testing)
    target_compile_definitions(ctl_tests PRIVATE KORVAN_PRODUCT_VERSION="${PROJECT_VERSION}")
    add_dependencies(ctl_tests korvan_vpn_ctl korvan_vpn_service fake_service)

    # The client library's tables, its server check against a stand-in service that the
    # Service Control Manager runs (through the tool, its first user), and the C
    # functions of korvan-client.dll, which the test links as an application does, and
    # of korvan-client-faults.dll, which it loads.
    korvan_wine_test(client_tests LIBS korvan_client_win korvan_client_dll korvan_pipe SOURCES
        src/client/korvan_client_test.cpp
        src/client/pipe_name_test.cpp
        src/client/server_check_test.cpp
        src/client/server_check_service_test.cpp
        src/client/transact_test.cpp
        testing/support/pipe_server.cpp
        testing/support/test_support.cpp
        testing/support/process_run.cpp
        testing/support/tool_run.cpp
    )
    target_include_directories(client_tests PRIVATE testing)
    target_compile_definitions(client_tests PRIVATE KORVAN_PRODUCT_VERSION="${PROJECT_VERSION}")
    add_dependencies(client_tests korvan_vpn_ctl fake_service korvan_client_faults_dll)
    # Both look at, or register, the service korvan-vpn-service in the shared prefix.
    set_tests_properties(ctl_tests client_tests PROPERTIES RESOURCE_LOCK korvan_service_name)

    # The installed service across Wine sessions, each begun by ending the wineserver,
    # in a prefix of its own: the volume serial its early start reads is not the one
    # later processes read.
    add_test(NAME service_sessions
             COMMAND ${CMAKE_SOURCE_DIR}/testing/wine-sessions/sessions-test ${CMAKE_BINARY_DIR})
    set_tests_properties(service_sessions PROPERTIES TIMEOUT 600)

    # The zip for integrators, packed from this build's executables; no Wine.
    add_test(NAME release_zip
             COMMAND ${CMAKE_SOURCE_DIR}/testing/packaging/zip-test ${CMAKE_BINARY_DIR})
    # The zip's sdk/ as an application's author uses it, against the service installed
    # from the zip in the shared prefix, so it runs alone.
    add_test(NAME release_zip_sdk
             COMMAND ${CMAKE_SOURCE_DIR}/testing/packaging/sdk-test ${CMAKE_BINARY_DIR})
    set_tests_properties(release_zip_sdk PROPERTIES
        FIXTURES_REQUIRED wine RUN_SERIAL TRUE TIMEOUT 600)

    # A release signed with a throwaway certificate made by the test; no Wine.
    add_test(NAME release_signing
             COMMAND ${CMAKE_SOURCE_DIR}/testing/packaging/sign-test ${CMAKE_BINARY_DIR})
    set_tests_properties(release_signing PROPERTIES TIMEOUT 900)

    # The kit that runs these tests on Windows (packaging/build-kit), packed, unpacked
    # and checked: its files, and its run-tests.cmd under Wine's cmd in a prefix of its
    # own. It runs every test executable again, so it runs alone; below a folder whose
    # name has a space, as it does on Windows below Program Files.
    add_test(NAME windows_kit
             COMMAND ${CMAKE_SOURCE_DIR}/testing/kit/kit-test ${CMAKE_BINARY_DIR}
                     "${CMAKE_BINARY_DIR}/kit check")
    set_tests_properties(windows_kit PROPERTIES RUN_SERIAL TRUE TIMEOUT 1200)
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
# Pings through the client tool's own code or korvan-client.dll, for counting Wine
# server requests.
add_executable(ping_loop bench/ping_loop.cpp)
set_target_properties(ping_loop PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${bench_dir})
target_link_libraries(ping_loop PRIVATE korvan_bench_support korvan_client_win)
target_include_directories(ping_loop PRIVATE ${KORVAN_SDK_DIR})
add_dependencies(ping_loop korvan_client_dll)
korvan_warnings(ping_loop)

# The reliability programs that scripts/reliability runs against the installed service
# (load, faults, bad input); not tests. The stand-in core they install with comes from
# the test build.
add_library(korvan_reliability STATIC
    reliability/service_probe.cpp
    testing/support/installed_service.cpp
    testing/support/pipe_client.cpp
    testing/support/process_run.cpp
    testing/support/test_support.cpp
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

# The MSI under Wine's msiexec, in a prefix of its own. Its upgrade needs the service,
# the client tool and the package's custom actions of a higher version: a second build
# of those alone, from the same sources, in msi-next (ninja there is a no-op when
# nothing changed). service-probe holds the service's registration open across an
# upgrade, as an open Services console does, and disables it, which Wine's sc cannot.
if(KORVAN_TESTS)
    if(PROJECT_VERSION_PATCH LESS 65535)
        math(EXPR next_patch "${PROJECT_VERSION_PATCH} + 1")
        set(korvan_next_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${next_patch})
    else()
        math(EXPR next_minor "${PROJECT_VERSION_MINOR} + 1")
        set(korvan_next_version ${PROJECT_VERSION_MAJOR}.${next_minor}.0)
    endif()
    set(korvan_next_dir ${CMAKE_BINARY_DIR}/msi-next)
    include(ExternalProject)
    ExternalProject_Add(korvan_next_version
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${korvan_next_dir}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
                   -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
                   -DKORVAN_VERSION=${korvan_next_version}
                   -DKORVAN_WERROR=${KORVAN_WERROR}
                   -DKORVAN_TESTS=OFF
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
                      --target korvan_vpn_service korvan_vpn_ctl korvan_msi_actions
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        USES_TERMINAL_BUILD ON)
    add_dependencies(korvan_next_version korvan_vpn_service korvan_vpn_ctl korvan_msi_actions
                     fake_core)

    add_executable(msi_service_probe testing/msi/service_probe.cpp)
    set_target_properties(msi_service_probe PROPERTIES OUTPUT_NAME service-probe)
    target_link_libraries(msi_service_probe PRIVATE korvan_win shell32)
    korvan_warnings(msi_service_probe)

    add_test(NAME msi_tests
             COMMAND ${CMAKE_SOURCE_DIR}/testing/msi/msi-test ${CMAKE_BINARY_DIR} ${korvan_next_dir}
                     ${PROJECT_VERSION} ${korvan_next_version})
    set_tests_properties(msi_tests PROPERTIES TIMEOUT 900)
endif()
