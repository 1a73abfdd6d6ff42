# Third-party libraries, all from Debian packages (scripts/install-deps.sh).

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(FFTW3 REQUIRED IMPORTED_TARGET fftw3 fftw3f)
pkg_check_modules(SNDFILE IMPORTED_TARGET sndfile)
# The engine brings decoder sets to the running rate with libsamplerate.
pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
pkg_check_modules(MYSOFA IMPORTED_TARGET libmysofa)
# SHA-256 for the keys of qir-render's cache of fitted decoder sets.
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)

# The serial OpenBLAS build: a BLAS that starts worker threads must never run on
# the audio thread, so link this one by path rather than through the alternatives.
find_library(OPENBLAS_SERIAL_LIBRARY NAMES openblas
             PATHS /usr/lib/x86_64-linux-gnu/openblas-serial NO_DEFAULT_PATH REQUIRED)
find_path(OPENBLAS_SERIAL_INCLUDE_DIR cblas.h
          PATHS /usr/include/x86_64-linux-gnu/openblas-serial NO_DEFAULT_PATH REQUIRED)
add_library(qir_cblas INTERFACE)
target_link_libraries(qir_cblas INTERFACE "${OPENBLAS_SERIAL_LIBRARY}")
target_include_directories(qir_cblas SYSTEM INTERFACE "${OPENBLAS_SERIAL_INCLUDE_DIR}")

# zita-convolver is only used by the benchmarks, as the peer engine.
find_path(ZITA_CONVOLVER_INCLUDE_DIR zita-convolver.h)
find_library(ZITA_CONVOLVER_LIBRARY zita-convolver)

if(NOT QIR_FUZZ)
  find_package(GTest REQUIRED)
  if(QIR_SANITIZE STREQUAL "")
    find_package(benchmark REQUIRED)
  endif()
endif()
