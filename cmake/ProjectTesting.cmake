# project_add_gtest(<name> SOURCES ... LIBS ... LABELS ... [NOSAN])
#
# Adds a set of GoogleTest tests whose cases are discovered when ctest runs, so
# every test runs in its own process and process-wide singletons never leak
# between tests. LABELS are the subsystem folder (or "platform" plus the
# module); tests that spawn appsim add "e2e". NOSAN tests (crash-time
# behaviour) exist only in plain builds and carry the "nosan" label.
#
# The calls of one folder that share a label set are linked into one
# executable, made once at the end of the folder (a deferred call): one link
# and one test listing per folder instead of one per source file. <name> is an
# INTERFACE target holding the sources and libraries, so `add_dependencies`
# on it still works. Every test executable reuses one precompiled header
# (GoogleTest, GoogleMock, nlohmann-json, heavy standard headers), built with
# the same flags. No test includes the HTTP server library: the fakes hide it
# behind their own request and response types.
include(GoogleTest)

# Flags every test translation unit and the shared precompiled header agree on.
function(_project_test_flags target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE GTest::gmock GTest::gtest Threads::Threads)
  project_warnings(${target})
  if(PROJECT_SANITIZE)
    # Test sources compile at -O0 in the sanitizer tree, still under ASan and
    # UBSan: they are mostly assertion macros, which cost twice the compile
    # time at -O1 and do little work at run time. The code under test keeps
    # -O1.
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()

if(NOT PROJECT_FUZZ AND NOT TARGET project_test_pch)
  # Compiles the header once; test executables take it through REUSE_FROM.
  file(WRITE ${CMAKE_BINARY_DIR}/project_test_pch.cpp "// Carrier of the tests' precompiled header.\n")
  add_library(project_test_pch OBJECT ${CMAKE_BINARY_DIR}/project_test_pch.cpp)
  _project_test_flags(project_test_pch)
  target_link_libraries(project_test_pch PRIVATE nlohmann_json::nlohmann_json)
  target_precompile_headers(project_test_pch PRIVATE
    <algorithm> <atomic> <chrono> <condition_variable> <cstdint> <cstring> <filesystem>
    <fstream> <functional> <map> <memory> <mutex> <optional> <regex> <set> <sstream>
    <string> <string_view> <thread> <unordered_map> <utility> <variant> <vector>
    <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp>)
endif()

function(project_add_gtest name)
  cmake_parse_arguments(T "NOSAN" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_NOSAN)
    if(PROJECT_SANITIZE)
      return()
    endif()
    list(APPEND T_LABELS nosan)
  endif()
  add_library(${name} INTERFACE)
  target_sources(${name} INTERFACE ${T_SOURCES})
  target_link_libraries(${name} INTERFACE ${T_LIBS})

  # Group by label set within this folder.
  string(REPLACE ";" " " key "${T_LABELS}")
  get_directory_property(groups PROJECT_GTEST_GROUPS)
  list(FIND groups "${key}" index)
  if(index EQUAL -1)
    list(LENGTH groups index)
    list(APPEND groups "${key}")
    set_directory_properties(PROPERTIES PROJECT_GTEST_GROUPS "${groups}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY PROJECT_GTEST_GROUP_${index} ${name})
  get_directory_property(deferred PROJECT_GTEST_DEFERRED)
  if(NOT deferred)
    set_directory_properties(PROPERTIES PROJECT_GTEST_DEFERRED ON)
    cmake_language(DEFER CALL _project_gtest_finish)
  endif()
endfunction()

# Makes one executable per label set of the current folder, named after the
# folder (plus the label set when the folder has several).
function(_project_gtest_finish)
  get_directory_property(groups PROJECT_GTEST_GROUPS)
  list(LENGTH groups count)
  file(RELATIVE_PATH area ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "[/ ]" "_" area "${area}")
  set(index 0)
  foreach(key IN LISTS groups)
    get_directory_property(parts PROJECT_GTEST_GROUP_${index})
    set(exe ${area})
    if(count GREATER 1)
      string(REGEX REPLACE "[/ ]" "_" suffix "${key}")
      set(exe ${area}__${suffix})
    endif()
    add_executable(${exe})
    target_link_libraries(${exe} PRIVATE ${parts} GTest::gtest_main)
    if(PROJECT_UNITY)
      set_target_properties(${exe} PROPERTIES UNITY_BUILD ON
        UNITY_BUILD_BATCH_SIZE ${PROJECT_UNITY_TEST_BATCH})
    endif()
    _project_test_flags(${exe})
    target_precompile_headers(${exe} REUSE_FROM project_test_pch)
    # Not position independent: the loader then has no relocations to apply
    # to the executable at every start (a large share of a short sanitizer
    # test's time went there, as every test is a process of its own).
    target_link_options(${exe} PRIVATE -no-pie)
    gtest_discover_tests(${exe}
      DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      TEST_LIST ${exe}_TESTS
      PROPERTIES TIMEOUT 120)
    # gtest_discover_tests flattens a list of labels into separate properties,
    # so the labels are set by a script that ctest includes after discovery.
    # The end-to-end tests (an appsim child each, seconds long) start first,
    # so none of them is left for the end of a parallel run.
    string(REPLACE " " ";" labels "${key}")
    set(cost "")
    if("e2e" IN_LIST labels)
      set(cost " COST 100")
    endif()
    set(labels_script ${CMAKE_CURRENT_BINARY_DIR}/${exe}_labels.cmake)
    file(WRITE ${labels_script}
      "foreach(t IN LISTS ${exe}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${labels}\"${cost})\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_script})
    math(EXPR index "${index} + 1")
  endforeach()
endfunction()
