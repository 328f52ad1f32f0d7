// The WebSocket client side (RFC 6455) of the link to the plug-in: the opening
// handshake, masked frames out, unmasked frames in, ping answers and the close
// handshake. The pure frame and handshake routines are exposed for the tests.
#pragma once

#include <cstddef>
#include <cstdint>

enum ws_opcode : uint8_t {
    ws_continuation = 0x0,
    ws_text = 0x1,
    ws_binary = 0x2,
    ws_close = 0x8,
    ws_ping = 0x9,
    ws_pong = 0xA,
};

// Largest text message kept; longer ones are read and dropped.
inline constexpr size_t ws_max_message = 1u << 20;

// The 24-character key: Base64 of 16 random bytes.
void ws_make_key(const uint8_t random[16], char key[25]);
// The whole upgrade request; returns its length, or 0 when it does not fit.
size_t ws_build_request(char* out, size_t capacity, unsigned port, const char* key);
// Checks a server's reply: the length of the reply header (through the empty line)
// when it is complete and accepts the key, 0 when more bytes are needed, -1 when the
// upgrade was refused or the accept value is wrong.
long ws_check_response(const char* data, size_t size, const char* key);

// Writes one client frame (FIN set, masked with `mask`) into `out`, which needs
// `size + 14` bytes; returns the frame length.
size_t ws_encode_frame(uint8_t opcode, const void* payload, size_t size, const uint8_t mask[4],
                       uint8_t* out);

struct ws_frame_header {
    bool fin;
    uint8_t opcode;
    size_t header_size;
    uint64_t payload_size;
};
// Reads a server frame header: 1 with the header filled, 0 when more bytes are needed,
// -1 on a protocol error (a masked server frame, a fragmented or long control frame,
// a 64-bit length with the top bit set, reserved bits set).
int ws_parse_header(const uint8_t* data, size_t size, ws_frame_header* header);

struct ws_client;

// What the client reports upward; `context` is passed back unchanged.
struct ws_client_sink {
    void* context;
    void (*on_text)(void* context, const char* text, size_t size);
};

// Connects to 127.0.0.1:port, sends the upgrade request in one write and waits for the
// reply. That wait, and any later wait for the plug-in to take what is sent, ends
// early (failure) when `abort_fd` becomes readable. Null on failure.
ws_client* ws_client_open(unsigned port, int abort_fd, int timeout_ms);
// Wraps a connected socket whose opening handshake is done, as ws_client_open leaves
// its own; the client owns the descriptor from then on. Null when out of memory.
ws_client* ws_client_adopt(int fd, int abort_fd);
int ws_client_fd(const ws_client* client);
// Reads what is waiting and delivers complete text messages. Returns 0, or -1 once the
// connection is over (closed by the server, failed, or a protocol error).
int ws_client_read(ws_client* client, const ws_client_sink* sink);
// Sends one text message in one masked frame; -1 when the connection is gone.
int ws_client_send_text(ws_client* client, const char* text, size_t size);
// Starts the close handshake (status 1000 when `status` is 0) and closes the socket.
void ws_client_close(ws_client* client, uint16_t status);
void ws_client_free(ws_client* client);
