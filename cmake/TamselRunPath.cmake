# Run paths of the installed programs and libraries.
#
# The build folder holds every program and library in one directory; the installed tree spreads
# them over bin/, lib/ and lib/tamsel/, so an installed target needs one run path in the build
# folder ("$ORIGIN") and another where it is installed. CMake's own way to have both pads the
# build run path with ':' for an in-place rewrite at install time, and an empty entry is what the
# loader takes for the current directory: a library planted where a user runs the program would
# be loaded. So a target is built with "$ORIGIN" only, lengthened by "/." steps (which name the
# same folder) to leave room, and the installed copy gets its own run path written in place.
# No entry is ever empty or relative to anything but $ORIGIN.

# Installs `target` into DESTINATION (relative to the prefix) with run path RUN_PATH there
# (a ;-list of $ORIGIN-based folders, or "" for none).
function(tamsel_install_target target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESTINATION;RUN_PATH" "")
  if(NOT ARG_DESTINATION)
    message(FATAL_ERROR "tamsel_install_target(${target}): DESTINATION missing")
  endif()
  string(REPLACE ";" ":" install_path "${ARG_RUN_PATH}")
  if(install_path STREQUAL "")
    # Needs nothing of the build folder or of the installed tree: no run path anywhere.
    set(build_path "")
  else()
    set(build_path "$ORIGIN")
    string(LENGTH "${install_path}" wanted)
    string(LENGTH "${build_path}" have)
    while(have LESS wanted)
      string(APPEND build_path "/.")
      math(EXPR have "${have} + 2")
    endwhile()
  endif()
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON
                                             INSTALL_RPATH "${build_path}")
  install(TARGETS ${target} RUNTIME DESTINATION ${ARG_DESTINATION}
                            LIBRARY DESTINATION ${ARG_DESTINATION})
  if(NOT install_path STREQUAL "")
    install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ARG_DESTINATION}/$<TARGET_FILE_NAME:${target}>\" NEW_RPATH \"${install_path}\")")
  endif()
endfunction()
