# SPDX-License-Identifier: MIT
# Compile and link hardening as Debian builds its own packages: position-independent
# executables, a stack protector, read-only relocations bound at start-up, and checked libc
# calls. Include it after the project's options and before any target is defined.

option(UNBCL_HARDENING "Build with the usual compiler and linker hardening flags" ON)

if(UNBCL_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(OUTPUT_VARIABLE unbcl_pie_output LANGUAGES CXX)
  if(CMAKE_CXX_LINK_PIE_SUPPORTED)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  else()
    message(WARNING "Position-independent executables are not supported here: ${unbcl_pie_output}")
  endif()

  add_compile_options(-fstack-protector-strong)
  add_link_options(LINKER:-z,relro,-z,now)

  # _FORTIFY_SOURCE checks only what the optimizer can see (and clang warns without
  # optimization), and it gets in the sanitizers' way: optimized builds without them only.
  # Whatever level the compiler or CPPFLAGS already set is replaced, not redefined.
  if(NOT UNBCL_SANITIZE AND NOT UNBCL_TSAN AND NOT UNBCL_FUZZ)
    set(unbcl_optimized_configs Release,RelWithDebInfo,MinSizeRel)
    add_compile_options(
      "$<$<CONFIG:${unbcl_optimized_configs}>:-U_FORTIFY_SOURCE>"
      "$<$<CONFIG:${unbcl_optimized_configs}>:-D_FORTIFY_SOURCE=2>")
  endif()
endif()
