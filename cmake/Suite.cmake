# Build conventions shared by every folder of the suite.

option(SUITE_SANITIZE "Build the native code with AddressSanitizer and UBSan" OFF)

add_compile_options(-Wall -Wextra)
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
