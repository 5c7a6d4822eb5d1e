# One library per subsystem directory: include/<name>/ holds its headers,
# src/*.cpp its sources, tests/*_test.cpp one test program each, so a broken
# test file never stops the other test programs from building.
function(qm_module name)
  cmake_parse_arguments(M "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  if(NOT srcs)
    set(srcs ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${srcs} "")
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${M_DEPS} Threads::Threads)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(tn ${t} NAME_WE)
    add_executable(${tn} ${t})
    target_include_directories(${tn} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
    # Case tables use designated initializers that leave defaulted fields out.
    target_compile_options(${tn} PRIVATE -Wno-missing-field-initializers)
    target_link_libraries(${tn} PRIVATE ${name} ${M_TEST_DEPS} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${tn} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  endforeach()
endfunction()
