# Shared by every fuzz folder: the QR_FUZZ switch and the way a libFuzzer target is built.
option(QR_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

# True in `out` when this configuration can build fuzz targets.
function(qr_fuzz_enabled out)
  if(QR_FUZZ AND CMAKE_C_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# qr_add_fuzzer(name source... LIBS lib...): a libFuzzer executable with ASan and UBSan.
function(qr_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()
