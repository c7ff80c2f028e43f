# Windows resources of the window program: the main icon (app/icons), the
# application manifest (common controls version 6) and the version
# information.
#
#   torvik_add_windows_resources(<target>)
#
# With MinGW the manifest travels inside the resource script; with the
# Microsoft toolchain the linker embeds a manifest of its own, so the file is
# handed to the linker, which merges the two.

set(TORVIK_WINDOWS_RESOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(TORVIK_ICON_DIR ${CMAKE_CURRENT_LIST_DIR}/../icons ABSOLUTE)

function(torvik_add_windows_resources target)
  set(rc ${TORVIK_WINDOWS_RESOURCE_DIR}/USB_TorvikLoader.rc)
  set(manifest ${TORVIK_WINDOWS_RESOURCE_DIR}/USB_TorvikLoader.manifest)
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${TORVIK_ICON_DIR}>
    $<$<COMPILE_LANGUAGE:RC>:${TORVIK_WINDOWS_RESOURCE_DIR}>)
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS
    ${TORVIK_ICON_DIR}/USB_TorvikLoader.ico ${TORVIK_ICON_DIR}/logo.bmp ${manifest})
  if(MSVC)
    set_property(SOURCE ${rc} APPEND PROPERTY COMPILE_DEFINITIONS TORVIK_MANIFEST_BY_LINKER)
    target_sources(${target} PRIVATE ${manifest})
  endif()
endfunction()
