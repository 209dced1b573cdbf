# SPDX-License-Identifier: MIT
# Fully static builds against musl, included by the per-architecture files
# once they have set CMAKE_SYSTEM_PROCESSOR (as uname -m names it) and,
# where Debian's names for the target differ from it, ORVA_GNU_TRIPLET and
# ORVA_MUSL_TRIPLET. Debian's gcc for the target compiles, and musl's own
# specs file swaps glibc's headers, start files and libraries for musl's.
# The sources include C headers only, so nothing else is needed: no C++
# library exists for musl here, and none is wanted.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT ORVA_GNU_TRIPLET)
  set(ORVA_GNU_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
endif()
if(NOT ORVA_MUSL_TRIPLET)
  set(ORVA_MUSL_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
endif()
set(ORVA_MUSL_LIBDIR /usr/lib/${ORVA_MUSL_TRIPLET})
set(CMAKE_C_COMPILER ${ORVA_GNU_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVA_GNU_TRIPLET}-g++)

set(specs ${ORVA_MUSL_LIBDIR}/musl-gcc.specs)
if(NOT EXISTS ${specs})
  message(FATAL_ERROR "${specs} is missing: install musl for "
                      "${CMAKE_SYSTEM_PROCESSOR} (see scripts/dev)")
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${specs}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${specs}")
# The compiler checks would otherwise link the C++ library, which musl
# lacks; compiling is check enough.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# musl's specs know static and dynamic executables only. A static PIE, so
# that process 1 gets address-space randomisation too, needs musl's
# self-relocating start file and no request for an interpreter.
foreach(file crtbeginS.o crtendS.o)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${file}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "S.o" "" name ${file})
  set(ORVA_MUSL_${name} ${path})
endforeach()
set(CMAKE_C_LINK_EXECUTABLE
  "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_C_LINK_FLAGS> <LINK_FLAGS> -static \
-nostartfiles -Wl,-pie,--no-dynamic-linker,-z,text \
${ORVA_MUSL_LIBDIR}/rcrt1.o ${ORVA_MUSL_LIBDIR}/crti.o ${ORVA_MUSL_crtbegin} \
<OBJECTS> -o <TARGET> <LINK_LIBRARIES> \
-Wl,--start-group -lgcc -lgcc_eh -lc -Wl,--end-group \
${ORVA_MUSL_crtend} ${ORVA_MUSL_LIBDIR}/crtn.o")
