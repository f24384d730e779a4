# wayland_protocols(TARGET XML...): a static library of the client glue that
# wayland-scanner makes from each protocol definition, with its headers
# ("<name>-client-protocol.h") on the include path of whatever links it;
# whatever links it links wayland-client too.
find_package(PkgConfig REQUIRED)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
pkg_get_variable(WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
if(NOT WAYLAND_SCANNER OR NOT WAYLAND_PROTOCOLS_DIR)
  message(FATAL_ERROR "wayland-scanner and wayland-protocols are needed (libwayland-bin, wayland-protocols)")
endif()

function(wayland_protocols target)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(sources)
  foreach(xml IN LISTS ARGN)
    get_filename_component(name ${xml} NAME_WE)
    add_custom_command(
      OUTPUT ${out}/${name}-client-protocol.h ${out}/${name}-protocol.c
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
      COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${out}/${name}-client-protocol.h
      COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${out}/${name}-protocol.c
      DEPENDS ${xml}
      VERBATIM)
    list(APPEND sources ${out}/${name}-client-protocol.h ${out}/${name}-protocol.c)
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${out})
  target_include_directories(${target} PUBLIC ${wayland_INCLUDE_DIRS})
endfunction()
