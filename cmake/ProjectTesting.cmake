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
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT 120)
  # gtest_discover_tests flattens a list of labels into separate properties, so
  # the labels are set by a script that ctest includes after discovery.
  set(labels_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${labels_script}
    "foreach(t IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_script})
endfunction()
