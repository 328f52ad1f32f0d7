# A folder's unit-test program whose cases open editors: linked with the editor test
# support (Xvfb, the stand-in editor program's hand-over) and run beside its own copy
# of the stand-in program, since the plug-in looks for it in the module directory,
# which is the test program's.
function(vgs_add_editor_test_program name)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  set(target test_${name})
  add_executable(${target} ${sources}
    "${CMAKE_SOURCE_DIR}/tests/editor/editor_fixture.cpp"
    "${CMAKE_SOURCE_DIR}/tests/support/x_windows.cpp"
    "${CMAKE_SOURCE_DIR}/tests/support/xvfb_server.cpp")
  target_include_directories(${target} PRIVATE
    "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/tests" "${CMAKE_SOURCE_DIR}/tests/editor")
  target_compile_options(${target} PRIVATE -O2 -Wall -Wextra)
  target_compile_definitions(${target} PRIVATE
    VGS_BUNDLE_DIR="${VGS_BUNDLE_DIR}"
    VGS_PLUGIN_SO="${VGS_BINARY_DIR}/${VGS_PLUGIN_NAME}.so"
    VGS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(${target} PRIVATE vgs_core GTest::gtest GTest::gtest_main pthread)
  # The editor test support records the socket directories made, through mkdtemp.
  target_link_options(${target} PRIVATE -Wl,--wrap=mkdtemp)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")

  add_executable(${name}_middleman_double "${CMAKE_SOURCE_DIR}/tests/editor/middleman_double.cpp")
  set_target_properties(${name}_middleman_double PROPERTIES OUTPUT_NAME middleman
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
  add_dependencies(${target} ${name}_middleman_double vgs_plugin)
  gtest_discover_tests(${target} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
endfunction()
