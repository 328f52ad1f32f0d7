# libFuzzer targets for what the editor link reads from the other process: the plug-in's
# WebSocket reader, handshake and message pump, and the editor program's client. Built,
# sanitized and replayed in the tests like the state targets.
set(ws_server_sources
  "${src}/editor/ws_reader.cpp" "${src}/editor/ws_frames.cpp" "${src}/editor/ws_handshake.cpp"
  "${src}/editor/ws_accept.cpp" "${src}/editor/sha1.cpp" "${src}/editor/base64.cpp")
set(middleman_dir "${CMAKE_SOURCE_DIR}/middleman")
file(GLOB editor_fuzz_headers "${src}/editor/*.h" "${middleman_dir}/*.h"
  "${CMAKE_SOURCE_DIR}/tests/editor/ws_peer.h" "${CMAKE_CURRENT_SOURCE_DIR}/fuzz_socket.h")

function(editor_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
  set(bin "${CMAKE_CURRENT_BINARY_DIR}/fuzz_${name}")
  add_custom_command(
    OUTPUT "${bin}"
    COMMAND "${VGS_CLANGXX}" -std=c++20 -O1 -g -fno-exceptions -fno-rtti -ffp-contract=off
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
            -I "${src}" -I "${middleman_dir}" -I "${CMAKE_SOURCE_DIR}/tests/editor"
            -o "${bin}" "${CMAKE_CURRENT_SOURCE_DIR}/fuzz_${name}.cpp" ${arg_SOURCES} ${arg_LIBS}
    DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/fuzz_${name}.cpp" ${arg_SOURCES} ${editor_fuzz_headers}
    COMMENT "Building fuzz target fuzz_${name}"
    VERBATIM)
  add_custom_target(fuzz_${name} ALL DEPENDS "${bin}")
  add_test(NAME fuzz_replay_${name}
           COMMAND "${bin}" -runs=0 "${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name}")
endfunction()

editor_fuzz_target(ws_reader SOURCES ${ws_server_sources})
editor_fuzz_target(ws_handshake SOURCES ${ws_server_sources})
editor_fuzz_target(editor_messages
  SOURCES ${ws_server_sources} "${src}/editor/editor_messages.cpp"
          "${src}/editor/container_window.cpp" "${src}/editor/x11_error_trap.cpp"
  LIBS -lX11)
editor_fuzz_target(ws_client
  SOURCES "${middleman_dir}/ws_client.cpp" "${middleman_dir}/random_bytes.cpp"
          "${src}/editor/ws_accept.cpp" "${src}/editor/sha1.cpp" "${src}/editor/base64.cpp")
