# project_add_gtest(<name> SOURCES ... LIBS ... LABELS ... [NOSAN])
#
# Adds a GoogleTest binary whose tests are discovered when ctest runs, so every
# test runs in its own process and process-wide singletons never leak between
# tests. LABELS are the subsystem folder (or "platform" plus the module); tests
# that spawn appsim add "e2e". NOSAN tests (crash-time behaviour) exist only in
# plain builds and carry the "nosan" label.
include(GoogleTest)

function(project_add_gtest name)
  cmake_parse_arguments(T "NOSAN" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_NOSAN)
    if(PROJECT_SANITIZE)
      return()
    endif()
    list(APPEND T_LABELS nosan)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  project_warnings(${name})
  string(REPLACE ";" "\\;" escaped_labels "${T_LABELS}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${escaped_labels}" TIMEOUT 120)
endfunction()
