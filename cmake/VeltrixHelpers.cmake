# Build helpers shared by every area of the tree.
#
# Platform seams are chosen by file suffix, never by #ifdef in logic files:
#   *_win.cpp    Windows only
#   *_posix.cpp  everything but Windows
#   *_libav.cpp  Linux with libavcodec
#   *_avahi.cpp  Linux with the Avahi client library
# Test files follow the same rule with _test after the suffix (log_win_test.cpp).

if(WIN32)
  set(VX_PLATFORM_WINDOWS ON)
else()
  set(VX_PLATFORM_WINDOWS OFF)
endif()

# Common warning and sanitizer flags, attached to every target of ours.
add_library(vx_options INTERFACE)
if(MSVC)
  target_compile_options(vx_options INTERFACE /W4)
else()
  target_compile_options(vx_options INTERFACE -Wall -Wextra -Wno-unused-parameter)
endif()
if(VX_PLATFORM_WINDOWS)
  # Windows 10 API level; UNICODE so that Win32 calls take wide strings by default.
  target_compile_definitions(vx_options INTERFACE _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
endif()
if(VX_SANITIZER AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false maybe-uninitialized warnings inside <regex> and <functional>
  # when sanitizer instrumentation is on; the plain builds keep the warning.
  target_compile_options(vx_options INTERFACE -Wno-maybe-uninitialized)
endif()
if(VX_SANITIZER STREQUAL "asan")
  target_compile_options(vx_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(vx_options INTERFACE -fsanitize=address,undefined)
elseif(VX_SANITIZER STREQUAL "tsan")
  target_compile_options(vx_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(vx_options INTERFACE -fsanitize=thread)
endif()
if(VX_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # Coverage instrumentation in every library, not only in the fuzz targets' own
  # files: without it libFuzzer is blind to the parsers it is meant to explore.
  target_compile_options(vx_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# vx_platform_sources(<out-var> <file>...): drops the files that belong to other platforms.
function(vx_platform_sources out)
  set(kept "")
  foreach(f IN LISTS ARGN)
    get_filename_component(stem "${f}" NAME_WE)
    if(stem MATCHES "_win(_test)?$" AND NOT VX_PLATFORM_WINDOWS)
      continue()
    endif()
    if(stem MATCHES "_posix(_test)?$" AND VX_PLATFORM_WINDOWS)
      continue()
    endif()
    if(stem MATCHES "_libav(_test)?$" AND (VX_PLATFORM_WINDOWS OR NOT VX_HAVE_LIBAV))
      continue()
    endif()
    if(stem MATCHES "_avahi(_test)?$" AND (VX_PLATFORM_WINDOWS OR NOT VX_HAVE_AVAHI))
      continue()
    endif()
    list(APPEND kept "${f}")
  endforeach()
  set(${out} "${kept}" PARENT_SCOPE)
endfunction()

# vx_library(<name> SOURCES ... [DEPS ...]): a static library of one area of src/.
# Include paths are rooted at src/, so code includes "support/log.h".
function(vx_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  vx_platform_sources(srcs ${A_SOURCES})
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC vx_options ${A_DEPS})
endfunction()

# vx_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [RESOURCE_LOCK ...] [TIMEOUT s] [NO_TSAN] [POSIX_ONLY])
# One CTest test per executable. LABELS "threads" marks tests that matter most under TSan.
# RESOURCE_LOCK serialises tests that bind the fixed control/media ports.
function(vx_test name)
  cmake_parse_arguments(A "NO_TSAN;POSIX_ONLY;NO_WINE" "TIMEOUT" "SOURCES;DEPS;LABELS;RESOURCE_LOCK;ENV" ${ARGN})
  if((A_POSIX_ONLY OR A_NO_WINE) AND VX_PLATFORM_WINDOWS)
    return()
  endif()
  vx_platform_sources(srcs ${A_SOURCES})
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE vx_testing ${A_DEPS})
  add_test(NAME ${name} COMMAND ${name})
  set(labels ${A_LABELS})
  if(A_NO_TSAN)
    list(APPEND labels no_tsan)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
  if(A_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${A_RESOURCE_LOCK}")
  endif()
  # Every test gets private state and log folders so it never touches the user's files.
  set(env "VX_TEST_TMP=${CMAKE_CURRENT_BINARY_DIR}/tmp/${name}" ${A_ENV})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
endfunction()

# Adds every immediate subdirectory of <dir> that has a CMakeLists.txt, so areas
# can be added without touching the parent file.
function(vx_add_subdirectories dir)
  file(GLOB children LIST_DIRECTORIES true "${dir}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()

# vx_bench(<name> SOURCES ... [DEPS ...]): a Google Benchmark program under bench/.
# scripts/bench.sh runs every one and prints their tables.
function(vx_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  vx_platform_sources(srcs ${A_SOURCES})
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PRIVATE vx_options benchmark::benchmark ${A_DEPS})
  set_property(GLOBAL APPEND PROPERTY VX_BENCHES ${name})
endfunction()

# vx_fuzz(<name> SOURCES ... [DEPS ...] CORPUS <dir>): a libFuzzer target (linux-fuzz
# preset, clang) and, in every test build, a plain test that replays the corpus
# through the same LLVMFuzzerTestOneInput.
function(vx_fuzz name)
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  vx_platform_sources(srcs ${A_SOURCES})
  if(VX_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(${name}_fuzzer ${srcs})
    target_include_directories(${name}_fuzzer PRIVATE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/src")
    target_compile_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name}_fuzzer PRIVATE vx_options ${A_DEPS})
  endif()
  add_executable(${name}_replay ${srcs} "${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp")
  target_include_directories(${name}_replay PRIVATE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name}_replay PRIVATE vx_options ${A_DEPS})
  add_test(NAME ${name}_replay COMMAND ${name}_replay "${A_CORPUS}")
  set_tests_properties(${name}_replay PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
