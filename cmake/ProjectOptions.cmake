# Compiler flags shared by every target of the project.
#
# project_warnings(<target>) adds the strict warning set to project code only;
# third-party headers come in through SYSTEM include paths and stay quiet.

add_compile_options(-fno-omit-frame-pointer)

if(PROJECT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -O1 -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(PROJECT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PROJECT_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -g)
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
endfunction()
