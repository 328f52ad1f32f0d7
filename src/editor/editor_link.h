// One running editor: the program `middleman` as a child process, its WebSocket and
// side channel, and the X11 container window its window is embedded into. The plug
// view starts and frees links; the controller and the news messages only send.
#pragma once

#include <cstdint>

struct editor_link;

// Filled by the caller on its stack; the link keeps a copy.
struct editor_link_config {
    // Passed back to every routine below (the plug view).
    void* context;
    const char* (*get_module_dir)(void* context);
    const char* (*get_resources_dir)(void* context);
    // Parameter messages from the editor: index below the parameter count, plain value.
    void (*on_param_begin)(void* context, uint32_t index, float value);
    void (*on_param_set)(void* context, uint32_t index, float value);
    void (*on_param_end)(void* context, uint32_t index, float value);
};

// Handles an "m" message: the text after the kind letter and blank, valid only during
// the call. It may answer with editor_link_send_text on the same link.
using editor_text_handler = void (*)(editor_link* link, const char* text);

// Starts `middleman`, waits for its two connections (from that process only; anyone
// else's are closed) within one bound, answers the WebSocket handshake
// and maps a container window of the given size inside `parent` (an X11 window id).
// Blocks until all of that is done. Null on failure, with nothing left behind and one
// "error <step>" line on standard error for the step that failed.
editor_link* editor_link_start(unsigned long parent, const editor_link_config* config,
                               editor_text_handler on_text, uint32_t width, uint32_t height,
                               uint64_t param_count);

// Ends the child (SIGTERM, then SIGKILL if it lingers) and destroys the container
// window. The link is gone afterwards. (The side channel's socket file and directory
// are removed as soon as the program has connected.)
void editor_link_free(editor_link* link);

// Sends "s <index> <value bits>" and records the value as the editor's current one.
// Indices at or above the parameter count are ignored. Silently lost when the
// connection has closed.
void editor_link_send_param(editor_link* link, uint32_t index, float value);

// Sends "m " followed by text as one message. Silently lost when the connection has
// closed or memory runs out.
void editor_link_send_text(editor_link* link, const char* text);

// One tick's work: every waiting editor message, one side-channel read, then the
// queued X11 events of the container.
void editor_link_pump(editor_link* link);

// The container window (an X11 window id), for the view's size following.
unsigned long editor_link_container(const editor_link* link);
