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
