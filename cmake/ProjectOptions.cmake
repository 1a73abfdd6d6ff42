# Compiler settings shared by every target of the project.

add_library(qir_options INTERFACE)
target_compile_options(qir_options INTERFACE -Wall -Wextra)
if(QIR_WERROR AND NOT QIR_FUZZ)
  target_compile_options(qir_options INTERFACE -Werror)
endif()

if(QIR_SANITIZE STREQUAL "address")
  set(_qir_san_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(QIR_SANITIZE STREQUAL "thread")
  set(_qir_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT QIR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QIR_SANITIZE must be empty, address or thread")
endif()

if(QIR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QIR_FUZZ needs clang (configure with CXX=clang++-14 CC=clang-14)")
  endif()
  # Libraries are instrumented for coverage; only the fuzz targets link the fuzzer's main.
  set(_qir_san_flags -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
      -fno-sanitize-recover=undefined)
endif()

if(_qir_san_flags)
  add_compile_options(${_qir_san_flags})
  add_link_options(${_qir_san_flags})
endif()

# qir_add_library(NAME SOURCES ...) : one library per subsystem, with the project options.
function(qir_add_library name)
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PRIVATE qir_options)
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()
