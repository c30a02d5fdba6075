# What every program of the family carries on Windows, compiled in as resources
# with the resource compiler of the toolchain (mingw's windres):
#   - version information (the project's version, the program's name and what it
#     does), shown by the system in a file's properties;
#   - the application manifest windows/program.manifest: UTF-8 as the program's
#     active code page, so that the system's 8-bit calls and the command line
#     carry every character of a name; paths beyond 260 characters where the
#     system allows them (longPathAware); the systems the program is made for;
#     no elevation (asInvoker).
#
#   brolix_windows_resources(<target> "<what the program does>")
# does nothing outside Windows.
if(WIN32)
  enable_language(RC)
endif()

function(brolix_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(BROLIX_RC_PROGRAM ${target})
  set(BROLIX_RC_DESCRIPTION "${description}")
  set(BROLIX_RC_MANIFEST "${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${BROLIX_RC_MANIFEST})
endfunction()
