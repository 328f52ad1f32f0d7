// The editor link's record, shared by the files that make up the link: start-up and
// teardown, the message pump, and the container window's X11 side.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>

#include "editor/editor_link.h"
#include "editor/websocket.h"

// The time one tick may spend on the editor's messages; what is still waiting then is
// left for the next tick, so a peer that floods pings or messages cannot hold the
// host's thread.
inline constexpr int64_t editor_pump_budget_ns = 2000000;

struct editor_link {
    Window container_window;
    // Listens on 127.0.0.1 for the link's whole life; one connection is accepted.
    int ws_listener;
    uint32_t ws_port;
    ws_reader reader;
    // "/tmp/wexa-XXXXXX" after mkdtemp; emptied once the directory is removed, as soon
    // as the side channel is accepted.
    char temp_dir[17];
    sockaddr_un side_address;
    // The middleman child; 0 when there is none or it has been reaped.
    pid_t child;
    // The accepted side-channel connection, or -1.
    int side_channel;
    Display* display;
    uint8_t embedded;
    Window middleman_window;
    char side_buffer[1024];
    // The text message being gathered.
    char* message;
    uint64_t message_capacity;
    uint64_t message_length;
    int32_t discard;
    editor_link_config config;
    editor_text_handler on_text;
    // The last value sent or received per parameter; answers "g".
    float* param_mirror;
    uint64_t param_count;
    // editor_pump_budget_ns for a started link; 0 takes everything waiting each tick.
    int64_t pump_budget_ns;
};

// Creates and maps the container inside `parent` on the link's display. -1 when the
// size hints cannot be allocated (the window is destroyed again).
int container_create(editor_link* link, Window parent, uint32_t width, uint32_t height);

// Reparents `window` into the container and sizes it to the container.
void container_embed(editor_link* link, Window window);

// Handles the X11 events queued on the link's display.
void container_handle_events(editor_link* link);
