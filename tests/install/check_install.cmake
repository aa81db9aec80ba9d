# Installs BUILD_DIR into PREFIX and checks what arrived: every program (and that the installed
# hpatchi and mkpatch give the project's version), the engine's libraries, the licence texts, and
# public headers that compile as C and as C++ from the installed folder alone.
string(REPLACE " " ";" PROGRAMS "${PROGRAMS}")
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected ${LIBDIR}/libhl_patch.a ${LIBDIR}/libhl_decompress.a ${INCLUDEDIR}/patch/hpatchi.h
             ${DOCDIR}/LICENSE ${DOCDIR}/THIRD_PARTY_NOTICES ${DOCDIR}/CHANGELOG.md)
foreach(program ${PROGRAMS})
  list(APPEND expected ${BINDIR}/${program})
endforeach()
foreach(file ${expected})
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

foreach(program hpatchi mkpatch)
  execute_process(COMMAND ${PREFIX}/${BINDIR}/${program} --version
                  OUTPUT_VARIABLE answer RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT answer STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "${program} --version: exit ${result}, \"${answer}\"")
  endif()
endforeach()

# One source that includes every installed header, compiled with nothing but the installed
# include folder: a header that includes one that was not installed fails here.
file(GLOB headers RELATIVE ${PREFIX}/${INCLUDEDIR} ${PREFIX}/${INCLUDEDIR}/patch/*.h)
set(source "")
foreach(header ${headers})
  string(APPEND source "#include \"${header}\"\n")
endforeach()
string(APPEND source "int main(void) { return hpatchi_run(\"\", \"patch\", \"new\") == HPATCHI_OK; }\n")
file(WRITE ${PREFIX}/consumer.c "${source}")
file(WRITE ${PREFIX}/consumer.cpp "${source}")
foreach(pair "${C_COMPILER};consumer.c" "${CXX_COMPILER};consumer.cpp")
  list(GET pair 0 compiler)
  list(GET pair 1 file)
  execute_process(COMMAND ${compiler} -fsyntax-only -Wall -Wextra -Werror -I${PREFIX}/${INCLUDEDIR}
                          ${PREFIX}/${file}
                  RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the installed headers do not compile as ${file}:\n${errors}")
  endif()
endforeach()
