# TinyXML 2.6.2 as the target tinyxml::tinyxml.
# Natively: Debian's libtinyxml-dev. For Windows: Debian's source package with
# its patches, fetched into the build tree and compiled with the cross compiler.
if(NOT WIN32)
  find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
  find_library(TINYXML_LIBRARY tinyxml REQUIRED)
  add_library(tinyxml::tinyxml UNKNOWN IMPORTED)
  set_target_properties(tinyxml::tinyxml PROPERTIES
    IMPORTED_LOCATION "${TINYXML_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${TINYXML_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS TIXML_USE_STL)
else()
  set(_tx_dest "${CMAKE_BINARY_DIR}/_deps/tinyxml-debian")
  execute_process(COMMAND "${CMAKE_SOURCE_DIR}/cmake/fetch-tinyxml.sh" "${_tx_dest}"
                  RESULT_VARIABLE _tx_rc)
  if(NOT _tx_rc EQUAL 0)
    message(FATAL_ERROR "Could not fetch Debian's TinyXML source package")
  endif()
  set(_tx "${_tx_dest}/tinyxml")
  add_library(tinyxml STATIC
    ${_tx}/tinystr.cpp ${_tx}/tinyxml.cpp ${_tx}/tinyxmlerror.cpp ${_tx}/tinyxmlparser.cpp)
  target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
  # Third-party code: its warnings are not ours to fix.
  target_compile_options(tinyxml PRIVATE -w)
  target_include_directories(tinyxml SYSTEM PUBLIC ${_tx})
  set_target_properties(tinyxml PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_library(tinyxml::tinyxml ALIAS tinyxml)
endif()
