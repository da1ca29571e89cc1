# Compiles SOURCE with clang-cl for the MSVC target, as C and as C++, and fails unless every
# Pelku_Vmq_Compression_* function it calls is imported (__imp_<name>) under its plain C name.
#   SOURCE  the host file     INCLUDE  the public headers     CLANG_CL, NM  the tools
#   OUTPUT  a scratch folder
cmake_minimum_required(VERSION 3.20)
file(READ ${SOURCE} text)
string(REGEX MATCHALL "Pelku_Vmq_Compression_[A-Za-z0-9]+" called "${text}")
list(REMOVE_DUPLICATES called)
foreach(language C CXX)
  set(mode /TC)
  if(language STREQUAL "CXX")
    set(mode /TP /std:c++20)
  endif()
  set(object ${OUTPUT}/msvc_host_${language}.obj)
  # /X: the target's SDK is not here; clang's own stdint.h, stddef.h and stdbool.h suffice. "--"
  # ends the options: an absolute Unix path would read as one.
  execute_process(COMMAND ${CLANG_CL} --target=x86_64-pc-windows-msvc /nologo /X /W4 /WX /c ${mode} /I${INCLUDE} /Fo${object} -- ${SOURCE}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "clang-cl (${language}) failed:\n${out}")
  endif()
  execute_process(COMMAND ${NM} ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  foreach(name IN LISTS called)
    if(NOT symbols MATCHES " U __imp_${name}\n")
      message(FATAL_ERROR "${language}: ${name} is not imported under its plain name:\n${symbols}")
    endif()
  endforeach()
endforeach()
list(LENGTH called count)
message(STATUS "${count} functions imported under their plain names from C and C++")
