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
