# The version resource of a Windows program of the target build, from the
# one version number of the project() call:
#
#   tamrixsc_version_resource(TARGET FILE_NAME TYPE SUBTYPE DESCRIPTION)
#
# TYPE and SUBTYPE are the resource's FILETYPE and FILESUBTYPE: 0x3 and 0x7
# for a system driver (VFT_DRV, VFT2_DRV_SYSTEM), 0x1 and 0x0 for a program
# (VFT_APP). The resource compiler writes no time stamp, so the image stays
# reproducible.
find_program(TAMRIXSC_WINDRES NAMES i686-w64-mingw32-windres REQUIRED)

function(tamrixsc_version_resource target file_name type subtype description)
  set(VERSION_FILE_NAME ${file_name})
  set(VERSION_FILE_TYPE ${type})
  set(VERSION_FILE_SUBTYPE ${subtype})
  set(VERSION_DESCRIPTION ${description})
  get_filename_component(VERSION_INTERNAL_NAME ${file_name} NAME_WE)
  set(dir ${CMAKE_BINARY_DIR}/version)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${dir}/${target}.rc @ONLY)
  add_custom_command(
    OUTPUT ${dir}/${target}_version.o
    COMMAND ${TAMRIXSC_WINDRES} -J rc -O coff -i ${dir}/${target}.rc -o ${dir}/${target}_version.o
    DEPENDS ${dir}/${target}.rc
    COMMENT "Compiling the version resource of ${file_name}"
    VERBATIM
  )
  add_custom_target(${target}_version_resource DEPENDS ${dir}/${target}_version.o)
  add_dependencies(${target} ${target}_version_resource)
  # An object on the link line: nothing refers to a resource by symbol.
  target_link_libraries(${target} PRIVATE ${dir}/${target}_version.o)
endfunction()
