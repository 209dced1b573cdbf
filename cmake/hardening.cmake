# SPDX-License-Identifier: MIT
# The hardening a distribution gives a program that runs as process 1,
# often as root, given to every build of what we ship rather than left to
# whoever packages it. Every shipped target links orva_hardening; nothing
# else needs it, and it does not pass on to programs that link orva.
include(CheckCSourceCompiles)
include(CheckPIESupported)

check_pie_supported(LANGUAGES C CXX)

add_library(orva_hardening INTERFACE)
set_target_properties(orva_hardening PROPERTIES
  INTERFACE_POSITION_INDEPENDENT_CODE ON)
target_compile_options(orva_hardening INTERFACE
  -fstack-protector-strong -fstack-clash-protection)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  target_compile_options(orva_hardening INTERFACE -fcf-protection)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  target_compile_options(orva_hardening INTERFACE -mbranch-protection=standard)
endif()
target_link_options(orva_hardening INTERFACE -Wl,-z,relro -Wl,-z,now)

# Fortified libc calls need the optimiser, and without it glibc warns,
# which -Werror turns into a failed build; under the sanitizers they would
# hide the calls from the sanitizer's own checks. Level 3 needs a recent
# compiler and glibc; elsewhere glibc warns about it too, so level 2 is
# used there.
set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3 -Werror")
check_c_source_compiles("#include <string.h>
int main(void) { return 0; }" ORVA_HAVE_FORTIFY_SOURCE_3)
unset(CMAKE_REQUIRED_FLAGS)
if(ORVA_HAVE_FORTIFY_SOURCE_3)
  set(ORVA_FORTIFY_LEVEL 3)
else()
  set(ORVA_FORTIFY_LEVEL 2)
endif()
if(ORVA_SANITIZE)
  set(ORVA_FORTIFY 0)
else()
  set(ORVA_FORTIFY "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
endif()
# Some compilers define the macro themselves; -U keeps ours from clashing.
target_compile_options(orva_hardening INTERFACE
  "$<${ORVA_FORTIFY}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${ORVA_FORTIFY_LEVEL}>")
