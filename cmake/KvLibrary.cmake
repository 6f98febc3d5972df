# One library per folder. The folder's path names both the library (platform/nt ->
# kv_platform_nt) and the CTest label of its tests (platform/nt -> platform-nt).

function(kv_folder_names out_library out_label)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" library "kv_${folder}")
  string(REPLACE "/" "-" label "${folder}")
  set(${out_library} ${library} PARENT_SCOPE)
  set(${out_label} ${label} PARENT_SCOPE)
endfunction()

# kv_library(SOURCES a.cpp ... DEPS kv_other ...): the folder's library.
function(kv_library)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  kv_folder_names(library label)
  add_library(${library} STATIC ${ARG_SOURCES})
  target_include_directories(${library} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${library} PUBLIC ${ARG_DEPS})
endfunction()

# kv_tests(SOURCES a_test.cpp ... DEPS ...): the folder's unit tests, one executable,
# every test registered with CTest under the folder's label.
function(kv_tests)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  kv_folder_names(library label)
  set(tests ${library}_tests)
  add_executable(${tests} ${ARG_SOURCES})
  target_link_libraries(${tests} PRIVATE ${library} ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${tests} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS ${label})
endfunction()
