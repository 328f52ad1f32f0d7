// The plug-in's side of the editor link, for testing middleman on its own: the two
// listeners, the child process with its fixed command line, the WebSocket server
// with its one-read handshake, unmasked frames out, and a news store in memory that
// answers the "tidelV1" messages as the plug-in's store does.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct fake_frame {
    uint8_t opcode;
    bool fin;
    bool masked;
    uint8_t mask[4];
    std::string payload; // unmasked
};

struct fake_store {
    std::optional<std::string> system, news, latest;
};

struct fake_plugin {
    int ws_listener = -1;
    int side_listener = -1;
    int side_fd = -1;
    int ws_fd = -1;
    unsigned port = 0;
    std::string dir, side_path;
    pid_t child = -1;
    bool exited = false;
    int exit_status = 0;

    // What the program did at start-up.
    bool side_before_ws = false; // its side-channel connection waited when the TCP one came
    std::string request;         // the upgrade request, from one read
    std::string key;

    std::vector<fake_frame> frames;  // every frame received
    std::vector<std::string> texts;  // complete text messages, in order
    std::string side_bytes;          // everything sent on the side channel
    unsigned long window = 0;        // from the first "w"
    bool peer_closed = false;        // close frame or end of stream seen

    fake_store store;
    bool serve_news = true;  // answer "m" messages from the store
    bool echo_values = false; // send every "b"/"s"/"e" value back as the host would

    std::string in; // unparsed bytes
    std::string partial; // text message gathered from fragments
};

// Starts `program` with the fixed command line and does what the plug-in does up to
// the handshake, then sends the six default values. False on failure.
bool fake_start(fake_plugin* f, const std::string& program, const std::string& resources);
// Serves the link for `ms` milliseconds.
void fake_pump(fake_plugin* f, int ms);
// Serves the link until `done` holds or `timeout_ms` passes; returns `done()`.
bool fake_wait(fake_plugin* f, const std::function<bool()>& done, int timeout_ms);
// Serves until `count` text messages have arrived.
bool fake_wait_texts(fake_plugin* f, size_t count, int timeout_ms);
void fake_send(fake_plugin* f, const std::string& text);
void fake_send_raw(fake_plugin* f, const std::string& bytes);
// Waits for the child to end; true when it did within the time.
bool fake_wait_exit(fake_plugin* f, int timeout_ms);
// Ends the child with SIGTERM (unless it ended), waits, and removes everything.
void fake_stop(fake_plugin* f);

// Text messages received since index `from` that start with `prefix`.
std::vector<std::string> fake_texts_with(const fake_plugin* f, const std::string& prefix,
                                         size_t from = 0);
