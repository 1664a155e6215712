# Compiler flags shared by every target of the project.
#
# project_warnings(<target>) adds the strict warning set to project code only;
# third-party headers come in through SYSTEM include paths and stay quiet.

add_compile_options(-fno-omit-frame-pointer)

# Unity builds: the source files of a target are compiled in batches, one
# translation unit per batch, so the heavy headers are parsed and their
# templates instantiated once per batch instead of once per file. File-local
# names (anonymous namespaces, statics) must therefore be unique within a
# library and within a test folder.
option(PROJECT_UNITY "Compile libraries and tests in batches (unity build)" ON)
set(PROJECT_UNITY_TEST_BATCH 8 CACHE STRING "Test files per translation unit in unity builds")
set(PROJECT_UNITY_LIBRARY_BATCH 8 CACHE STRING "Library files per translation unit in unity builds")

# The sanitizer tree keeps line tables only (-g1, given after the build
# type's -g, so it wins): reports still name file:line and inlined frames, and
# compiling and linking cost a quarter less. It links with lld when present:
# GNU ld spends minutes on each large sanitizer test executable.
find_program(PROJECT_LLD ld.lld)
set(_project_default_linker "")
if(PROJECT_LLD)
  set(_project_default_linker lld)
endif()
set(PROJECT_SANITIZE_DEBUG "-g1" CACHE STRING "Debug info of the sanitizer tree (-g for full)")
set(PROJECT_SANITIZE_LINKER "${_project_default_linker}" CACHE STRING "Linker of the sanitizer tree (empty: the compiler's default)")
if(PROJECT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -O1 ${PROJECT_SANITIZE_DEBUG})
  add_link_options(-fsanitize=address,undefined)
  if(PROJECT_SANITIZE_LINKER)
    add_link_options(-fuse-ld=${PROJECT_SANITIZE_LINKER})
  endif()
endif()

if(PROJECT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PROJECT_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
  endif()
  # -O1 with line tables: findings still name file:line, and the tree
  # compiles an eighth faster than at the build type's -O2 -g.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -O1 -gline-tables-only)
  add_link_options(-fsanitize=address,undefined)
endif()

function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
  if(PROJECT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis under ASan at -O1 reports uninitialized reads inside
    # std::function and std::regex that cannot happen; the plain build keeps
    # the warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

# project_library(<name> <alias> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# A static library whose headers are included as "<folder>/<header>.h" from the source root.
function(project_library name alias)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  add_library(${alias} ALIAS ${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_DEPS} PRIVATE ${L_PRIVATE_DEPS})
  project_warnings(${name})
  if(PROJECT_UNITY)
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${PROJECT_UNITY_LIBRARY_BATCH})
  endif()
endfunction()
