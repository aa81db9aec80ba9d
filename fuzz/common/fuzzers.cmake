# Shared by every fuzz folder: the way a libFuzzer target is built.

# qr_add_fuzzer(name source... LIBS lib...): a libFuzzer executable with ASan and UBSan.
function(qr_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qr_warnings qr_sanitize)
endfunction()
