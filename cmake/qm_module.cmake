# One library per subsystem directory: include/<name>/ holds its headers,
# src/*.cpp its sources, tests/*_test.cpp one test program each, so a broken
# test file never stops the other test programs from building.
#
# SLOW names the tests (gtest filter patterns, Suite.Name) that take seconds;
# they carry the label "slow", so `ctest -LE slow` is the quick loop.
# THREADED names the test programs that exercise the threaded code; their
# tests carry the label "threads" and build under the target threaded_tests,
# which is what the ThreadSanitizer pass builds and runs.
if(NOT TARGET threaded_tests)
  add_custom_target(threaded_tests)
endif()
function(qm_module name)
  cmake_parse_arguments(M "" "" "DEPS;TEST_DEPS;SLOW;THREADED" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  if(NOT srcs)
    set(srcs ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${srcs} "")
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${M_DEPS} Threads::Threads)
  if(NOT QM_TESTS)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(tn ${t} NAME_WE)
    add_executable(${tn} ${t})
    target_include_directories(${tn} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
    # Case tables use designated initializers that leave defaulted fields out.
    target_compile_options(${tn} PRIVATE -Wno-missing-field-initializers)
    target_link_libraries(${tn} PRIVATE ${name} ${M_TEST_DEPS} qm_testdata GTest::gtest GTest::gtest_main)
    set(props TIMEOUT 600)
    if(tn IN_LIST M_THREADED)
      list(APPEND props LABELS threads)
      add_dependencies(threaded_tests ${tn})
    endif()
    if(M_SLOW)
      list(JOIN M_SLOW ":" slow)
      gtest_discover_tests(${tn} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${slow}" PROPERTIES ${props})
      # One label each: a slow test stays out of the ThreadSanitizer pass too.
      gtest_discover_tests(${tn} DISCOVERY_TIMEOUT 60 TEST_FILTER "${slow}" PROPERTIES TIMEOUT 600 LABELS slow)
    else()
      gtest_discover_tests(${tn} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
    endif()
  endforeach()
endfunction()
