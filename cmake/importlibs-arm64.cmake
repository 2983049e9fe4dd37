# Import libraries for aarch64-w64-mingw32, which Debian 12 does not ship: made at
# build time by llvm-dlltool from .def files that name the functions used, into a
# directory of the build tree that the target links from (-l<name> as elsewhere).
# Usage: veldrian_import_libraries(TARGET DIRECTORY LINK_DIRECTORY DEF...), each DEF
# named after its library (kernel32.def gives libkernel32.a). The directory goes to
# the link relative to LINK_DIRECTORY, the one the target is linked in, so that no
# path of the build machine reaches the link's command line (lld records it in the PDB).
function(veldrian_import_libraries target directory link_directory)
  set(libraries)
  foreach(def IN LISTS ARGN)
    cmake_path(GET def STEM name)
    set(library ${directory}/lib${name}.a)
    add_custom_command(OUTPUT ${library}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${directory}
      COMMAND ${VELDRIAN_LLVM_DIR}/llvm-dlltool -m arm64 -d ${def} -l ${library}
      DEPENDS ${def}
      COMMENT "Making the ARM64 import library lib${name}.a"
      VERBATIM)
    list(APPEND libraries ${library})
  endforeach()
  add_custom_target(${target}_import_libraries DEPENDS ${libraries})
  add_dependencies(${target} ${target}_import_libraries)
  cmake_path(RELATIVE_PATH directory BASE_DIRECTORY ${link_directory} OUTPUT_VARIABLE relative)
  target_link_options(${target} PRIVATE -L${relative})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libraries})
endfunction()
