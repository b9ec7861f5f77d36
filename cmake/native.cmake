# The code that does not touch Windows, built natively: its tests run under
# AddressSanitizer and UndefinedBehaviorSanitizer (flags come from the preset), both
# decoders are fuzzed, and the decoder benchmark is built optimised.

if(KORVAN_TESTS)
    # The folders' includes against the dependencies their CMakeLists.txt declare.
    add_test(NAME folder_dependencies
             COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                     -P ${CMAKE_SOURCE_DIR}/cmake/check_dependencies.cmake)

    set(decoder_tests src/proto/decode_test.cpp src/proto/decode_reference_test.cpp)
    add_executable(proto_tests
        ${decoder_tests}
        src/proto/decode_response_test.cpp
        src/proto/decode_response_reference_test.cpp
        src/proto/encode_request_test.cpp
        src/proto/encode_test.cpp
        src/proto/frame_test.cpp
        src/proto/json_scan_test.cpp
        testing/docs/protocol_doc_test.cpp
    )
    target_link_libraries(proto_tests PRIVATE korvan_proto nlohmann_json::nlohmann_json
                                              GTest::gtest_main)
    # testing/support/decode_reference.h and reply_reference.h: the decoders checked
    # against nlohmann/json.
    target_include_directories(proto_tests PRIVATE ${CMAKE_SOURCE_DIR}/testing)
    # docs/PROTOCOL.md's examples against the decoder and the encoder. Native only: the
    # Windows test kit carries executables, not the checkout the document lies in.
    target_compile_definitions(proto_tests PRIVATE KORVAN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    korvan_warnings(proto_tests)
    add_test(NAME proto_tests COMMAND proto_tests)

    # The same decoder tests against korvan_proto built with the portable byte scanning
    # that targets without SSE2 get.
    get_target_property(proto_dir korvan_proto SOURCE_DIR)
    get_target_property(proto_sources korvan_proto SOURCES)
    list(TRANSFORM proto_sources PREPEND ${proto_dir}/)
    add_library(korvan_proto_portable STATIC ${proto_sources})
    target_compile_definitions(korvan_proto_portable PRIVATE KORVAN_PROTO_PORTABLE_SCAN)
    target_include_directories(korvan_proto_portable
        PUBLIC $<TARGET_PROPERTY:korvan_proto,INTERFACE_INCLUDE_DIRECTORIES>)
    target_link_libraries(korvan_proto_portable PUBLIC korvan_common)
    korvan_warnings(korvan_proto_portable)

    add_executable(proto_tests_portable ${decoder_tests})
    target_link_libraries(proto_tests_portable PRIVATE korvan_proto_portable
                                                       nlohmann_json::nlohmann_json GTest::gtest_main)
    target_include_directories(proto_tests_portable PRIVATE ${CMAKE_SOURCE_DIR}/testing)
    korvan_warnings(proto_tests_portable)
    add_test(NAME proto_tests_portable COMMAND proto_tests_portable)

    # The Group Policy template against the names the service reads, and against the
    # ADMX schema (xmllint).
    add_executable(policy_template_tests testing/policy/policy_template_test.cpp)
    target_link_libraries(policy_template_tests PRIVATE korvan_common GTest::gtest_main)
    target_compile_definitions(policy_template_tests
        PRIVATE KORVAN_POLICY_DIR="${CMAKE_SOURCE_DIR}/packaging/policy"
                KORVAN_POLICY_SCHEMA="${CMAKE_SOURCE_DIR}/testing/policy/admx.xsd")
    korvan_warnings(policy_template_tests)
    add_test(NAME policy_template_tests COMMAND policy_template_tests)

    add_executable(client_tests
        src/client/pipe_name_test.cpp
        src/client/server_check_test.cpp
    )
    target_link_libraries(client_tests PRIVATE korvan_client GTest::gtest_main)
    korvan_warnings(client_tests)
    add_test(NAME client_tests COMMAND client_tests)

    add_executable(ctl_tests
        src/ctl/args_test.cpp
        src/ctl/reply_test.cpp
    )
    target_link_libraries(ctl_tests PRIVATE korvan_ctl GTest::gtest_main)
    korvan_warnings(ctl_tests)
    add_test(NAME ctl_tests COMMAND ctl_tests)
endif()

if(KORVAN_FUZZ)
    # korvan_fuzz_target(NAME SEEDS): the libFuzzer target fuzz/NAME.cpp and, with the
    # tests, a bounded run of it over the committed seeds in fuzz/SEEDS; any crash,
    # sanitizer report or disagreement with the reference parser fails it.
    function(korvan_fuzz_target name seeds)
        add_executable(${name} fuzz/${name}.cpp)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${name} PRIVATE korvan_proto nlohmann_json::nlohmann_json)
        target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/testing)
        korvan_warnings(${name})
        if(KORVAN_TESTS)
            set(work ${CMAKE_BINARY_DIR}/${name}-corpus)
            add_test(NAME ${name}
                     COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                             $<TARGET_FILE:${name}> -max_total_time=60 -timeout=10
                             -max_len=4096 ${work} ${CMAKE_SOURCE_DIR}/fuzz/${seeds})
            file(MAKE_DIRECTORY ${work})
        endif()
    endfunction()
    # The request decoder, which the service runs on every client's bytes.
    korvan_fuzz_target(decode_fuzz corpus)
    # The response decoder, which clients run on whatever serves the pipe.
    korvan_fuzz_target(reply_fuzz reply_corpus)
endif()

if(KORVAN_BENCH)
    add_executable(decode_bench bench/decode_bench.cpp)
    target_link_libraries(decode_bench PRIVATE korvan_proto nlohmann_json::nlohmann_json)
    korvan_warnings(decode_bench)
endif()
