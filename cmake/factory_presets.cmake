# The factory bank (src/preset/factory_bank.cpp) written into both bundles at build time
# by vgs-make-presets: "presets/" in each bundle's resources directory (one .vstpreset per
# preset and factory.txt, the bank's order), the LV2 bundle's presets.ttl, and its
# manifest.ttl, whose head cmake/lv2_bundle.cmake configures.
set(VGS_PRESET_FILES_DIR "${VGS_RESOURCES_DIR}/presets")
set(VGS_LV2_PRESET_FILES_DIR "${VGS_LV2_BUNDLE_DIR}/resources/presets")
# Below a VST 3 preset root: the vendor, then the plug-in's name.
set(VGS_PRESET_FOLDER "presets/Tresk.Sonwave/${VGS_PLUGIN_NAME}")

add_custom_command(
  OUTPUT "${VGS_PRESET_FILES_DIR}/factory.txt" "${VGS_LV2_PRESET_FILES_DIR}/factory.txt"
         "${VGS_LV2_BUNDLE_DIR}/presets.ttl" "${VGS_LV2_BUNDLE_DIR}/manifest.ttl"
  COMMAND vgs-make-presets "${VGS_LV2_BUNDLE_DIR}" "${VGS_LV2_MANIFEST_HEAD}" "${VGS_LV2_URI}"
          "${VGS_PRESET_FILES_DIR}" "${VGS_LV2_PRESET_FILES_DIR}"
  DEPENDS vgs-make-presets "${VGS_LV2_MANIFEST_HEAD}"
  COMMENT "Writing the factory presets into both bundles"
  VERBATIM)
add_custom_target(vgs_factory_presets ALL DEPENDS
  "${VGS_PRESET_FILES_DIR}/factory.txt" "${VGS_LV2_BUNDLE_DIR}/manifest.ttl")
# Whatever builds a bundle gets its presets too.
add_dependencies(vgs_plugin vgs_factory_presets)
add_dependencies(vgs_lv2_bundle vgs_factory_presets)

# The Debian package's copy: where VST 3 hosts look for presets system-wide.
install(DIRECTORY "${VGS_PRESET_FILES_DIR}/" DESTINATION "share/vst3/${VGS_PRESET_FOLDER}"
  COMPONENT system EXCLUDE_FROM_ALL FILES_MATCHING PATTERN "*.vstpreset")
