# Shared settings for every target of our own: warnings are errors, C++20.
function(tavi_defaults target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Woverloaded-virtual -Werror)
  target_compile_definitions(${target} PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII
                                               QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
endfunction()

# A Qt Test program run by CTest: headless, its own runtime dir, a hang fails fast.
function(tavi_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE tavi_test_support Qt6::Test ${T_LIBS})
  tavi_defaults(${name})
  # Every test is told where the reference service is; building the test alone
  # must build it too, or a test that starts it fails before it begins.
  add_dependencies(${name} tavi-pack-service)
  add_test(NAME ${name} COMMAND ${name})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/xdg-runtime)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=60000;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;TAVI_PACK_SERVICE_BIN=$<TARGET_FILE:tavi-pack-service>;TAVI_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()

# A benchmark program: not a test; run by scripts/bench.sh.
function(tavi_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE tavi_bench_support ${B_LIBS})
  tavi_defaults(${name})
endfunction()
