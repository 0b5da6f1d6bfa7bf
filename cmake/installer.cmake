# What an editor installs (Windows build only):
#   packaging/Veltrix-<version>-x64.msi   the installer, built by wixl from packaging/veltrix.wxs
#   packaging/Veltrix-<version>-x64.zip   the two plug-ins and a README, for placing by hand
# The version is the project version, everywhere: the package, its file name and
# the VERSIONINFO resource of both plug-ins.
if(NOT WIN32)
  return()
endif()

enable_language(RC)

set(VX_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set(VX_PACKAGE_OUT "${CMAKE_BINARY_DIR}/packaging")

# vx_version_resource(<target> <file name> <description>)
function(vx_version_resource target file description)
  set(VX_RC_TARGET "${target}")
  set(VX_RC_FILE "${file}")
  set(VX_RC_DESCRIPTION "${description}")
  set(rc "${VX_PACKAGE_OUT}/${target}_version.rc")
  configure_file("${VX_PACKAGING_DIR}/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
vx_version_resource(Veltrix "Veltrix.prm" "Veltrix transmit plug-in: the program monitor on a phone")
vx_version_resource(VeltrixCtrl "VeltrixCtrl.acsrf" "Veltrix control surface: phone transport commands to the host")

set(VX_MSI "${VX_PACKAGE_OUT}/Veltrix-${PROJECT_VERSION}-x64.msi")
set(VX_ZIP "${VX_PACKAGE_OUT}/Veltrix-${PROJECT_VERSION}-x64.zip")

# vx_msi(<output> <version>): the package of the built plug-ins under that version.
find_program(VX_WIXL wixl)
function(vx_msi out version)
  if(NOT VX_WIXL)
    return()
  endif()
  get_filename_component(dir "${out}" DIRECTORY)
  # wixl takes a File's Source relative to where it runs: the payload is staged beside the package.
  set(payload "${dir}/payload-${version}")
  file(MAKE_DIRECTORY "${payload}")
  add_custom_command(OUTPUT "${out}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:Veltrix>" "$<TARGET_FILE:VeltrixCtrl>" "${payload}/"
    COMMAND "${VX_WIXL}" -a x64 -D "Version=${version}"
            -D "TransmitFile=$<TARGET_FILE_NAME:Veltrix>" -D "CtrlFile=$<TARGET_FILE_NAME:VeltrixCtrl>"
            -o "${out}" "${VX_PACKAGING_DIR}/veltrix.wxs"
    WORKING_DIRECTORY "${payload}"
    DEPENDS Veltrix VeltrixCtrl "${VX_PACKAGING_DIR}/veltrix.wxs"
    COMMENT "wixl: ${out}" VERBATIM)
endfunction()

if(VX_WIXL)
  vx_msi("${VX_MSI}" "${PROJECT_VERSION}")
  add_custom_target(veltrix_msi ALL DEPENDS "${VX_MSI}")
else()
  # Not fatal for a plain build; the packaging tests fail and say so.
  message(STATUS "wixl not found (Debian package wixl): no ${VX_MSI}")
endif()

set(zip_root "${VX_PACKAGE_OUT}/zip")
set(zip_dir "Veltrix-${PROJECT_VERSION}-x64")
add_custom_command(OUTPUT "${VX_ZIP}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${zip_root}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${zip_root}/${zip_dir}"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:Veltrix>" "$<TARGET_FILE:VeltrixCtrl>" "${zip_root}/${zip_dir}/"
  COMMAND "${CMAKE_COMMAND}" -E copy "${VX_PACKAGING_DIR}/README-manual.txt" "${zip_root}/${zip_dir}/README.txt"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${zip_root}" "${CMAKE_COMMAND}" -E tar cf "${VX_ZIP}" --format=zip "${zip_dir}"
  DEPENDS Veltrix VeltrixCtrl "${VX_PACKAGING_DIR}/README-manual.txt"
  COMMENT "zip: ${VX_ZIP}" VERBATIM)
add_custom_target(veltrix_zip ALL DEPENDS "${VX_ZIP}")

# For the upgrade test: the same files under the next patch version.
if(VX_BUILD_TESTS AND VX_WIXL)
  math(EXPR next_patch "${PROJECT_VERSION_PATCH} + 1")
  set(VX_MSI_NEXT_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${next_patch}")
  set(VX_MSI_NEXT "${VX_PACKAGE_OUT}/upgrade-test/Veltrix-${VX_MSI_NEXT_VERSION}-x64.msi")
  vx_msi("${VX_MSI_NEXT}" "${VX_MSI_NEXT_VERSION}")
  add_custom_target(veltrix_msi_next ALL DEPENDS "${VX_MSI_NEXT}")
endif()
