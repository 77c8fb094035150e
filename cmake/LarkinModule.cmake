# larkin_library(NAME SOURCES...): a shared library that other modules may load
# by its Windows name through LoadLibraryA. Exports are plain C symbols.
function(larkin_library name)
  add_library(${name} SHARED ${ARGN})
  target_link_libraries(${name} PRIVATE larkin::platform)
  set_target_properties(${name} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# larkin_test(NAME SOURCES... [LIBS libs...]): a GoogleTest program registered with CTest.
function(larkin_test name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE larkin::platform larkin::testsupport GTest::gtest_main GTest::gmock ${T_LIBS})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${LARKIN_BIN_DIR} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LARKIN_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data")
endfunction()
