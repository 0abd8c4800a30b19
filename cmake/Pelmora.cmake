# Helpers shared by every folder of the project.

# A library made of every C++ source below its folder (headers are found from the project root:
# #include "vesk/tstring.h").
function(pel_library name)
  cmake_parse_arguments(ARG "" "DIR" "EXCLUDE" ${ARGN})
  if(NOT ARG_DIR)
    set(ARG_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp ${ARG_DIR}/*.c)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "${ex}")
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  endif()
endfunction()

# Links a library target's dependencies whether it ended up STATIC or INTERFACE.
function(pel_link name)
  get_target_property(kind ${name} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# The JSON library is the heaviest header we include; targets that use it widely precompile it.
function(pel_json_pch name)
  get_target_property(kind ${name} TYPE)
  if(NOT kind STREQUAL "INTERFACE_LIBRARY")
    target_precompile_headers(${name} PRIVATE <nlohmann/json.hpp> <string> <vector> <memory> <map>)
  endif()
endfunction()

# The test executables share one precompiled JSON header instead of building one each (about
# 100 MB and several seconds of CPU a target). GCC takes a precompiled header only when it was
# made with the same options and with the same definitions of the macros its headers test, so
# the target that makes it compiles as a test does: position-independent like an executable,
# the tests' optimisation, and the usage requirements of the framework library, whose
# definitions (Poco's feature macros among them) the system headers test. A test whose options
# differ is told so by -Winvalid-pch, which CMake passes.
function(pel_test_json_pch name)
  if(NOT TARGET pel_test_pch)
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/pel_test_pch.cpp CONTENT "// The tests' shared precompiled header.\n")
    add_library(pel_test_pch OBJECT ${CMAKE_BINARY_DIR}/pel_test_pch.cpp)
    set_target_properties(pel_test_pch PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_compile_options(pel_test_pch PRIVATE -fPIE)
    target_link_libraries(pel_test_pch PRIVATE zrkbrowser GTest::gtest Threads::Threads)
    if(PELMORA_SANITIZE)
      target_compile_options(pel_test_pch PRIVATE -O0)
    endif()
    target_precompile_headers(pel_test_pch PRIVATE <nlohmann/json.hpp> <string> <vector> <memory> <map>)
  endif()
  target_precompile_headers(${name} REUSE_FROM pel_test_pch)
endfunction()

# A GoogleTest executable registered with ctest as one test.
#   pel_add_test(NAME name SOURCES a.cpp b.cpp LIBS vesk LABELS unit [NO_MAIN] [TIMEOUT s])
function(pel_add_test)
  cmake_parse_arguments(ARG "NO_MAIN;JSON_PCH" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT ARG_NO_MAIN)
    target_link_libraries(${ARG_NAME} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${ARG_NAME} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests
                                                 ${CMAKE_BINARY_DIR}/generated)
  # The source folders are given only to the sources that name them: every other source then
  # compiles to the same command in any checkout, so a compiler cache can share it between them.
  foreach(src ${ARG_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE)
    if(EXISTS ${abs})
      file(STRINGS ${abs} uses REGEX "PEL_SOURCE_ROOT|PEL_TEST_SOURCE_DIR|zrkmenu/common\\.h"
           LIMIT_COUNT 1)
      if(uses)
        set_property(SOURCE ${src} APPEND PROPERTY COMPILE_DEFINITIONS
                     PEL_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}" PEL_SOURCE_ROOT="${CMAKE_SOURCE_DIR}")
      endif()
    endif()
  endforeach()
  # In the sanitizer build the tests' own code is compiled without optimisation: it is most of the
  # build's compile time, and the code under test keeps its libraries' -O1.
  if(PELMORA_SANITIZE)
    target_compile_options(${ARG_NAME} PRIVATE -O0)
  endif()
  if(ARG_JSON_PCH)
    pel_test_json_pch(${ARG_NAME})
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
  # Making a window warms the menu text up, and the font caches that leaves are kept for the life
  # of the process. A test that sets its own environment replaces this one.
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/desk/gfx/lsan.supp:print_suppressions=0")
  # Every test runs headless whatever the developer's DISPLAY says (a test's own ENVIRONMENT does
  # not replace this); the display tests start their own X servers and say so themselves.
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT_MODIFICATION "PELMORA_HEADLESS=set:1")
endfunction()

# A Google Benchmark executable (built, never run by ctest).
function(pel_add_bench)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${ARG_NAME} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
endfunction()

# Adds every folder below `root` that holds a CMakeLists.txt (tests/vesk/text, bench/crypto, ...).
# Folders in between hold none, so each group owns its own build file.
function(pel_add_subfolders root)
  file(GLOB_RECURSE lists CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${root}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(l ${lists})
    get_filename_component(d ${l} DIRECTORY)
    add_subdirectory(${d})
  endforeach()
endfunction()
