# The Debian package, built by `make package` (CPack's DEB generator): the bundle where
# hosts look for VST 3 plug-ins system-wide, the LV2 bundle (its rules are in
# cmake/lv2_bundle.cmake), vgs-host with its manual page, the README
# with its pictures, the copyright file and the changelog. These rules belong to the
# component "system", which a plain `cmake --install` leaves out: the developer's install
# keeps copying the bundle to ~/.vst3.
set(VGS_PACKAGE_NAME vellum-grist-saturator)
# One package per processor: amd64 (Contents/x86_64-linux) or, from the aarch64 tree,
# arm64 (Contents/aarch64-linux); its dependencies are read by dpkg-shlibdeps for that
# architecture (`make package-aarch64` runs CPack with DEB_HOST_ARCH=arm64).
if(VGS_ARCH_DIR STREQUAL "aarch64-linux")
  set(VGS_PACKAGE_ARCH arm64)
else()
  set(VGS_PACKAGE_ARCH amd64)
endif()
set(VGS_PACKAGE_FILE "${CMAKE_BINARY_DIR}/${VGS_PACKAGE_NAME}_${PROJECT_VERSION}_${VGS_PACKAGE_ARCH}.deb")

set(system_bundle "lib/vst3/${VGS_PLUGIN_NAME}.vst3/Contents")
set(doc_dir "share/doc/${VGS_PACKAGE_NAME}")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# A release is packaged only with a changelog entry of its own.
file(STRINGS "${CMAKE_SOURCE_DIR}/cmake/debian/changelog" newest_entry LIMIT_COUNT 1)
string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
if(NOT newest_entry MATCHES "^${VGS_PACKAGE_NAME} \\(${version_pattern}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()

# The manual page and the changelog compressed as Debian wants them: best compression,
# no file name or time in the gzip header, so that equal sources give equal packages.
set(compressed_dir "${CMAKE_BINARY_DIR}/debian")
set(compressed_files "")
foreach(source host/vgs-host.1 cmake/debian/changelog)
  get_filename_component(name "${source}" NAME)
  add_custom_command(OUTPUT "${compressed_dir}/${name}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${compressed_dir}"
    COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/${source}" "${compressed_dir}/${name}"
    COMMAND gzip -9nf "${compressed_dir}/${name}"
    DEPENDS "${CMAKE_SOURCE_DIR}/${source}"
    VERBATIM)
  list(APPEND compressed_files "${compressed_dir}/${name}.gz")
endforeach()
add_custom_target(vgs_package_documents ALL DEPENDS ${compressed_files})

# A plug-in module is loaded, never run: no execute bits.
install(TARGETS vgs_plugin LIBRARY DESTINATION "${system_bundle}/${VGS_ARCH_DIR}"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  COMPONENT system EXCLUDE_FROM_ALL)
install(TARGETS middleman RUNTIME DESTINATION "${system_bundle}/${VGS_ARCH_DIR}"
  COMPONENT system EXCLUDE_FROM_ALL)
install(DIRECTORY "${VGS_RESOURCES_DIR}/" DESTINATION "${system_bundle}/Resources"
  COMPONENT system EXCLUDE_FROM_ALL)
install(TARGETS vgs-host RUNTIME DESTINATION bin COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${compressed_dir}/vgs-host.1.gz" DESTINATION share/man/man1
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES README.md cmake/debian/copyright "${compressed_dir}/changelog.gz"
  DESTINATION "${doc_dir}" COMPONENT system EXCLUDE_FROM_ALL)
# The README shows the pictures by their docs/ paths.
file(GLOB plots CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/docs/*.png")
install(FILES ${plots} DESTINATION "${doc_dir}/docs" COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${VGS_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Tresk.Sonwave")
set(CPACK_PACKAGE_CONTACT "Vellum developers <dev@tresk-sonwave.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mono overdrive audio effect, VST 3 and LV2 plug-in")
set(CPACK_PACKAGE_DESCRIPTION
  "Vellum Grist Saturator models an analog drive circuit: input gain and coupling
high-passes, an oversampled diode drive stage with a level trim and a tone
stage, output high-passes, a dry/wet mix with loudness compensation, output
volume and a smoothed bypass. Its six parameters (Drive, Tone, Heat, Mix,
Volume, Bypass) are automatable, and its editor embeds into the host's window.

The plug-in is installed in /usr/lib/vst3, where VST 3 hosts look for
plug-ins system-wide, and in /usr/lib/lv2 as an LV2 plug-in; both
editions sound the same. The package also holds vgs-host, a command-line host
that prints the plug-in's classes and parameters, renders audio files through
it with parameter automation, and opens its editor in a window of its own.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL system)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${VGS_PACKAGE_ARCH}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.tresk-sonwave.example")
# Library dependencies are read off the binaries; the editor's fonts are not a library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-dejavu-core)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
