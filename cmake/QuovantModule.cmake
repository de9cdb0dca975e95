# Shared compile settings for every Quovant target.
function(quovant_target_defaults target)
    target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS QT_NO_CAST_FROM_ASCII
                                                 QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-missing-field-initializers)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# quovant_module(<name> [DIRECTORY dir] [PUBLIC deps...] [PRIVATE deps...])
# A static library from every .cpp in the module's folder (recursively).
function(quovant_module name)
    cmake_parse_arguments(ARG "" "DIRECTORY" "PUBLIC;PRIVATE" ${ARGN})
    if(NOT ARG_DIRECTORY)
        set(ARG_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    endif()
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${ARG_DIRECTORY}/*.cpp)
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${ARG_DIRECTORY}/*.h)
    if(NOT sources)
        # A module with only headers so far.
        add_library(${name} INTERFACE ${headers})
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARG_PUBLIC} ${ARG_PRIVATE})
        return()
    endif()
    add_library(${name} STATIC ${sources} ${headers})
    quovant_target_defaults(${name})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

# Every suite runs in shuffled order (the seed is in its output), so no test can lean on another
# one running first. Suites quick enough for it run three times, each in a fresh order; the
# desktop suites (real X server, sound server, accessibility bus) and the slower ones run once.
set(QUOVANT_REPEATED_TEST_SUITES core loopback formatting repository)

# quovant_test(<module> [GUI] LIBS deps...): one GoogleTest executable per tests/<module> folder.
# GUI suites get a widgets application in their main (desktop tests); the others a core one.
function(quovant_test module)
    cmake_parse_arguments(ARG "GUI" "" "LIBS" ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${module}/*.cpp
         ${CMAKE_CURRENT_SOURCE_DIR}/${module}/*.h)
    if(NOT sources)
        return()
    endif()
    set(exe tests_${module})
    add_executable(${exe} ${sources})
    quovant_target_defaults(${exe})
    target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    if(ARG_GUI)
        set(test_main quovant_gui_test_main)
    else()
        set(test_main quovant_test_main)
    endif()
    target_link_libraries(${exe} PRIVATE ${ARG_LIBS} ${test_main} quovant_test_support
                                         GTest::gtest GTest::gmock)
    set(order --gtest_shuffle)
    if(module IN_LIST QUOVANT_REPEATED_TEST_SUITES)
        list(APPEND order --gtest_repeat=3)
    endif()
    add_test(NAME ${module} COMMAND ${exe} --gtest_brief=1 ${order})
    set_tests_properties(${module} PROPERTIES TIMEOUT 900
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QUOVANT_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# quovant_bench(<name> LIBS deps...): a Google Benchmark program from bench/<name>.cpp.
function(quovant_bench name)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    add_executable(bench_${name} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
    quovant_target_defaults(bench_${name})
    target_link_libraries(bench_${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()

# quovant_fuzz(<name> LIBS deps...): a libFuzzer program fuzz_<name> from fuzz/<name>.cpp. The
# sanitizer and coverage flags come from QUOVANT_BUILD_FUZZ for every target; this adds the
# fuzzer's main. scripts/fuzz-smoke runs it over fuzz/corpus/<name> and fuzz/regressions/<name>.
function(quovant_fuzz name)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    add_executable(fuzz_${name} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
    quovant_target_defaults(fuzz_${name})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    if(NOT TARGET fuzz_targets)
        add_custom_target(fuzz_targets)
    endif()
    add_dependencies(fuzz_targets fuzz_${name})
endfunction()
