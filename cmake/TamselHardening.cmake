# The hardening Debian's dpkg-buildflags asks of every binary, applied to every build of ours so
# that an installed or packaged tree has it whoever configured the build: stack protector,
# fortified libc calls (optimised builds only: the checks need the optimiser), position-independent
# executables, and a read-only relocation table bound at load time (relro, bindnow).
# Flags the builder passes (CFLAGS/CXXFLAGS/LDFLAGS from dpkg-buildflags) are not repeated.
option(TAMSEL_HARDENING "Build with the usual hardening flags" ON)
if(NOT TAMSEL_HARDENING)
  return()
endif()

# With CMAKE_POSITION_INDEPENDENT_CODE (set at the top), this makes executables link as PIE.
include(CheckPIESupported)
check_pie_supported()

add_compile_options(-fstack-protector-strong)
if(NOT "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" MATCHES "_FORTIFY_SOURCE")
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
