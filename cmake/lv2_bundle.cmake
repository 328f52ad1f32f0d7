# The LV2 edition, built beside the VST 3 bundle from the same sources: the plug-in
# library (exports lv2_descriptor only), the editor library (lv2ui_descriptor only),
# their Turtle description, `middleman` and the resources, in one bundle directory.
# `cmake --install` copies it to ~/.lv2, the Debian package to /usr/lib/lv2.
set(VGS_LV2_BUNDLE_DIR "${CMAKE_BINARY_DIR}/${VGS_PLUGIN_NAME}.lv2")
set(VGS_LV2_URI "https://www.tresk-sonwave.example/plugins/vellum-grist-saturator")
set(VGS_LV2_UI_URI "${VGS_LV2_URI}#editor")
set(VGS_LV2_PLUGIN_FILE "vellum_grist_saturator.so")
set(VGS_LV2_UI_FILE "vellum_grist_saturator_ui.so")
set(VGS_LV2_TTL_FILE "vellum_grist_saturator.ttl")
# LV2 has no major version; 1.2.1.1 is minor 2, micro 1.
set(VGS_LV2_MINOR ${PROJECT_VERSION_MINOR})
set(VGS_LV2_MICRO ${PROJECT_VERSION_PATCH})
file(MAKE_DIRECTORY "${VGS_LV2_BUNDLE_DIR}/resources")

# The manifest's head; the build appends the factory presets (cmake/factory_presets.cmake).
set(VGS_LV2_MANIFEST_HEAD "${CMAKE_BINARY_DIR}/lv2/manifest_head.ttl")
configure_file(src/lv2/manifest.ttl.in "${VGS_LV2_MANIFEST_HEAD}" @ONLY)
configure_file(src/lv2/plugin.ttl.in "${VGS_LV2_BUNDLE_DIR}/${VGS_LV2_TTL_FILE}" @ONLY)
foreach(res ${VGS_RESOURCE_FILES})
  get_filename_component(res_name "${res}" NAME)
  configure_file("${res}" "${VGS_LV2_BUNDLE_DIR}/resources/${res_name}" COPYONLY)
endforeach()

# Both libraries take from vgs_core only what they call (no whole archive), so the
# VST 3 module's objects stay out. Like the VST 3 module: hidden symbols, an export
# list, no undefined symbols, the C++ runtime linked in.
foreach(part plugin ui)
  if(part STREQUAL "plugin")
    set(target vgs_lv2)
    set(sources src/lv2/lv2_plugin.cpp src/lv2/chunk_stream.cpp)
    set(exports "${CMAKE_SOURCE_DIR}/cmake/lv2_exports.map")
    set(file_name "${VGS_LV2_PLUGIN_FILE}")
  else()
    set(target vgs_lv2_ui)
    set(sources src/lv2/lv2_editor.cpp)
    set(exports "${CMAKE_SOURCE_DIR}/cmake/lv2_ui_exports.map")
    set(file_name "${VGS_LV2_UI_FILE}")
  endif()
  add_library(${target} MODULE ${sources})
  target_compile_options(${target} PRIVATE
    -O2 -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra)
  target_link_libraries(${target} PRIVATE vgs_core
    -Wl,--version-script=${exports} -Wl,--gc-sections
    -Wl,--no-undefined -Wl,--as-needed -Wl,-z,defs -static-libstdc++ -static-libgcc)
  get_filename_component(stem "${file_name}" NAME_WE)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME "${stem}" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY "${VGS_LV2_BUNDLE_DIR}"
    LINK_DEPENDS "${exports}")
endforeach()

# The editor library starts `middleman` from the bundle directory.
add_custom_command(OUTPUT "${VGS_LV2_BUNDLE_DIR}/middleman"
  COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:middleman>" "${VGS_LV2_BUNDLE_DIR}/middleman"
  DEPENDS middleman
  VERBATIM)
add_custom_target(vgs_lv2_bundle ALL DEPENDS vgs_lv2 vgs_lv2_ui "${VGS_LV2_BUNDLE_DIR}/middleman")

install(DIRECTORY "${VGS_LV2_BUNDLE_DIR}" DESTINATION "$ENV{HOME}/.lv2" USE_SOURCE_PERMISSIONS)

# The Debian package's copy (component "system", see cmake/debian_package.cmake).
set(system_lv2_bundle "lib/lv2/${VGS_PLUGIN_NAME}.lv2")
install(TARGETS vgs_lv2 vgs_lv2_ui LIBRARY DESTINATION "${system_lv2_bundle}"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  COMPONENT system EXCLUDE_FROM_ALL)
install(TARGETS middleman RUNTIME DESTINATION "${system_lv2_bundle}"
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${VGS_LV2_BUNDLE_DIR}/manifest.ttl" "${VGS_LV2_BUNDLE_DIR}/${VGS_LV2_TTL_FILE}"
  "${VGS_LV2_BUNDLE_DIR}/presets.ttl"
  DESTINATION "${system_lv2_bundle}" COMPONENT system EXCLUDE_FROM_ALL)
install(DIRECTORY "${VGS_LV2_BUNDLE_DIR}/resources/" DESTINATION "${system_lv2_bundle}/resources"
  COMPONENT system EXCLUDE_FROM_ALL)
