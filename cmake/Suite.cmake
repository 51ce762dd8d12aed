# Build conventions shared by every folder of the suite.

option(SUITE_SANITIZE "Build the native code with AddressSanitizer and UBSan" OFF)
option(SUITE_FUZZ "Build only the libFuzzer targets (clang)" OFF)
set(SUITE_FUZZ_SECONDS 20 CACHE STRING "How long ctest runs each fuzz target")

# A warning never lands: every tree fails its build on one. (Third-party code
# is built with its warnings off where it is compiled.)
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Wall> $<$<COMPILE_LANGUAGE:C,CXX>:-Wextra>
                    $<$<COMPILE_LANGUAGE:C,CXX>:-Werror>)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Sources are UTF-8; the system's texts are code page 936 bytes, so every
  # ordinary string literal is converted to CP936 by the compiler. (u8"" keeps
  # UTF-8 where a test needs it.)
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-finput-charset=UTF-8>
                      $<$<COMPILE_LANGUAGE:C,CXX>:-fexec-charset=CP936>)
endif()

if(WIN32)
  # No MinGW runtime DLL ships beside the binaries. (Only test programs that
  # must let an exception cross a DLL boundary reset this for their folder.)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Explicit multi-byte Windows API everywhere; no UNICODE mapping of names.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  set(SUITE_WINE_RUN "${CMAKE_SOURCE_DIR}/scripts/wine-run")
elseif(SUITE_FUZZ)
  # Everything a fuzz target links is instrumented for coverage and checked.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(SUITE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Windows binaries land together in one folder, like an installation folder,
# so that tests find DLLs beside the programs that load them.
if(WIN32)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endif()

# suite_test(NAME name SOURCES ... [LIBS ...] [LABELS ...])
# A GoogleTest program; on Windows ctest runs it under Wine through the wrapper.
function(suite_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(SUITE_FUZZ)
    # The fuzz tree builds and runs only the fuzz targets (ctest -L fuzz).
    set_target_properties(${T_NAME} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(WIN32)
    set(labels wine ${T_LABELS})
  else()
    set(labels native ${T_LABELS})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no
           WORKING_DIRECTORY $<TARGET_FILE_DIR:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()

# suite_script_test(NAME name COMMAND ... [LABELS ...])
# A scenario driven from Linux (python3 or bash) against the Windows binaries.
function(suite_script_test)
  cmake_parse_arguments(T "" "NAME" "COMMAND;LABELS;DEPENDS" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "scenario;${T_LABELS}" TIMEOUT 900
    ENVIRONMENT "SUITE_BIN=${CMAKE_BINARY_DIR}/bin;SUITE_BUILD=${CMAKE_BINARY_DIR};SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
endfunction()

# suite_bench_short(NAME name SCRIPT file.py LABELS ...)
# A benchmark's short mode, so that it cannot rot: its figures are printed,
# never judged, and it fails only when what it measures goes wrong. The
# benchmarks judge nothing, but one must not time another.
function(suite_bench_short)
  cmake_parse_arguments(B "" "NAME;SCRIPT" "LABELS" ${ARGN})
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  suite_script_test(NAME ${B_NAME} COMMAND ${Python3_EXECUTABLE} ${B_SCRIPT} --short
                    LABELS ${B_LABELS} bench)
  set_tests_properties(${B_NAME} PROPERTIES RESOURCE_LOCK bench)
endfunction()

# suite_fuzz(NAME name SOURCES ... [LIBS ...] [CORPUS dir] [MAX_LEN bytes] [STACK_KB kb])
# A libFuzzer target, built only in the fuzz tree (preset "fuzz"). ctest runs
# it for SUITE_FUZZ_SECONDS from the committed seed corpus, on a scratch copy
# so that the seeds stay as committed. MAX_LEN raises libFuzzer's input size
# and STACK_KB runs the target on a stack that small, as the program it
# stands for has.
if(SUITE_FUZZ AND NOT TARGET fuzzers)
  add_custom_target(fuzzers)
endif()
function(suite_fuzz)
  cmake_parse_arguments(F "" "NAME;CORPUS;MAX_LEN;STACK_KB" "SOURCES;LIBS" ${ARGN})
  if(NOT SUITE_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_include_directories(${F_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${F_NAME})
  set(work "${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus")
  set(seeds "")
  if(F_CORPUS)
    set(seeds "${F_CORPUS}")
  endif()
  add_test(NAME ${F_NAME}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/run-fuzz $<TARGET_FILE:${F_NAME}> ${work} ${SUITE_FUZZ_SECONDS} ${seeds})
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 900
    ENVIRONMENT "FUZZ_MAX_LEN=${F_MAX_LEN};FUZZ_STACK_KB=${F_STACK_KB}")
endfunction()
