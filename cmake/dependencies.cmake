# Every package the build links, found once, here, for all folders (imported targets are seen by
# the folders below the one that found them). zlib serves the patch engine everywhere; the rest
# is found only where the parts that use them are built. A cross build takes the header-only
# libraries from the host's folders itself (app/runner) and needs none of the others.
find_package(ZLIB REQUIRED)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(Threads REQUIRED)
  # liblzma: the creator's encoders, and the reference decoder of the tests, fuzz targets and
  # benchmarks.
  if(QR_BUILD_CREATOR OR QR_BUILD_TESTS OR QR_BUILD_BENCH OR QR_FUZZ)
    find_package(LibLZMA REQUIRED)
  endif()
  if(QR_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  if(QR_BUILD_RUNNER OR QR_BUILD_CREATOR)
    find_package(nlohmann_json REQUIRED)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  endif()
endif()

# Sources that Debian ships to be compiled in: the LZMA SDK (lzma-dev) and easylogging++
# (libeasyloggingpp-dev). Each is one target here, compiled from the installed files with
# warnings off (their warnings are not ours to fix). A cross build uses the same files: its
# compiler must not search the host's /usr/include before its own folders (the system headers
# there are the host's), so it searches them after all of its own, and only what it lacks, these
# libraries' headers, comes from the host.
set(QR_HOST_INCLUDE_DIR /usr/include CACHE PATH "Folder of the host's easylogging++ and nlohmann headers")
set(HL_LZMA_SDK_DIR ${QR_HOST_INCLUDE_DIR}/lzma CACHE PATH "Folder holding the LZMA SDK's LzmaDec.c")

# qr_host_headers(target dir): the target's users find the headers under dir.
function(qr_host_headers target dir)
  if(CMAKE_CROSSCOMPILING)
    target_compile_options(${target} INTERFACE "SHELL:-idirafter ${dir}")
  else()
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
  endif()
endfunction()

# LzmaDec, the decoder behind the lzma and LZMA2 plugins. Its objects go into hl_decompress, so
# that the installed library holds them. Users include it as "lzma/LzmaDec.h".
add_library(lzma_sdk_decoder OBJECT ${HL_LZMA_SDK_DIR}/LzmaDec.c)
target_compile_options(lzma_sdk_decoder PRIVATE -w)
target_link_libraries(lzma_sdk_decoder PRIVATE qr_sanitize)
get_filename_component(lzma_sdk_parent ${HL_LZMA_SDK_DIR} DIRECTORY)
qr_host_headers(lzma_sdk_decoder ${lzma_sdk_parent})

# LzmaEnc (single-threaded), which makes LZMA data for the tests, fuzz targets and benchmarks.
if(NOT CMAKE_CROSSCOMPILING AND (QR_BUILD_TESTS OR QR_BUILD_BENCH OR QR_FUZZ))
  add_library(lzma_sdk_encoder STATIC ${HL_LZMA_SDK_DIR}/LzmaEnc.c ${HL_LZMA_SDK_DIR}/LzFind.c)
  target_compile_definitions(lzma_sdk_encoder PUBLIC _7ZIP_ST)
  target_compile_options(lzma_sdk_encoder PRIVATE -w)
  target_link_libraries(lzma_sdk_encoder PRIVATE qr_sanitize)
  qr_host_headers(lzma_sdk_encoder ${lzma_sdk_parent})
endif()

if(QR_BUILD_RUNNER)
  # The runner's logging library, one source file, whose objects go into runner_core: it uses the
  # log storage that the runner defines (INITIALIZE_EASYLOGGINGPP). The runner points its log at
  # the data folder; until then the library opens no default log file (its header reads that too).
  find_file(QR_EASYLOGGING_SOURCE NAMES easylogging++.cc PATHS ${QR_HOST_INCLUDE_DIR} REQUIRED
            NO_CMAKE_FIND_ROOT_PATH)
  add_library(easylogging OBJECT ${QR_EASYLOGGING_SOURCE})
  target_compile_definitions(easylogging PUBLIC ELPP_NO_DEFAULT_LOG_FILE)
  target_compile_options(easylogging PRIVATE -w)
  target_link_libraries(easylogging PRIVATE qr_sanitize)
  qr_host_headers(easylogging ${QR_HOST_INCLUDE_DIR})
  # A cross build takes nlohmann/json, header-only, from the host too.
  if(CMAKE_CROSSCOMPILING)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    qr_host_headers(nlohmann_json::nlohmann_json ${QR_HOST_INCLUDE_DIR})
  endif()
endif()
