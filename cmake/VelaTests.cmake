include(GoogleTest)

# The test programs of one part, from the test sources beside the caller:
# <name>_tests from *_test.cpp, run as they are, and <name>_root_tests from
# root/*_test.cpp, which need root state: CTest runs each of their cases in
# its own sandbox (scripts/sandbox), with this build installed there. Both
# link the given libraries and see the shared test support (tests/support).
function(vela_add_tests name)
  file(GLOB unit_sources CONFIGURE_DEPENDS *_test.cpp)
  add_executable(${name}_tests ${unit_sources})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_libraries(${name}_tests PRIVATE ${ARGN} GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)

  file(GLOB root_sources CONFIGURE_DEPENDS root/*_test.cpp)
  if(root_sources)
    add_executable(${name}_root_tests ${root_sources})
    target_include_directories(${name}_root_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(${name}_root_tests PRIVATE ${ARGN} GTest::gtest_main GTest::gmock)
    set_target_properties(${name}_root_tests PROPERTIES CROSSCOMPILING_EMULATOR "${VELA_SANDBOX};--install;${CMAKE_BINARY_DIR}")
    # Listed when CTest runs, not when built: listing installs the whole
    # build into the sandbox, so every other program must be built first.
    gtest_discover_tests(${name}_root_tests TEST_PREFIX root. DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS root)
  endif()
endfunction()
