// The editor's WebSocket: the server side of one connection. The opening handshake,
// a resumable frame reader that never blocks, the close frame and the text-frame
// writer. Only text messages carry data; pings are answered, other frames dropped.
#pragma once

#include <cstddef>
#include <cstdint>

enum ws_state : int32_t {
    ws_header,
    ws_ping,
    ws_skip_length,
    ws_skip_mask,
    ws_skip_payload,
    ws_text_length,
    ws_text_mask,
    ws_text_payload,
    ws_continuation,
};

inline constexpr size_t ws_scratch_size = 8192;

struct ws_reader {
    // Frame headers are gathered here from offset 0; ping payloads, dropped payload
    // and outgoing control frames use it too, and the handshake's request and reply.
    uint8_t scratch[ws_scratch_size];
    // Bytes gathered so far in the current step.
    uint64_t position;
    // Payload bytes of the current frame not yet read.
    uint64_t remaining;
    // The accepted connection; -1 once closed.
    int connection;
    // FIN bit of the current data frame.
    uint8_t final;
    uint8_t masking_key[4];
    // Index into masking_key for the next payload byte, carried across calls.
    int32_t mask_position;
    ws_state state;
    // Monotonic time (ns) after which ws_read stops taking frames and reports -2, as
    // if nothing more were waiting; 0 for no limit. The pump sets it each tick.
    int64_t deadline_ns;
};

// Puts the reader on a freshly accepted connection: header state, nothing gathered.
void ws_reader_init(ws_reader* reader, int connection);

// Answers the client's upgrade request, which must arrive whole in one read within
// timeout_ms. 0 on success; -1 on failure, with the connection closed and set to -1.
int ws_handshake(ws_reader* reader, int timeout_ms);

// Reads what is waiting without blocking and stores unmasked text payload in dest.
// Returns the bytes stored (0 or more), -1 when the connection is closed or a read
// failed, -2 when no more data is waiting or the reader's deadline has passed. *final is 0 at the start of each text
// payload and 1 once the last byte of a text message has been stored.
int64_t ws_read(ws_reader* reader, uint8_t* dest, uint64_t capacity, int* final);

// Sends a close frame (status 0: none; the reason is sent without its last character)
// and closes the connection. Nothing happens on a closed reader.
void ws_close(ws_reader* reader, uint16_t status, const char* reason);

// Sends one unmasked text frame. A message to a closed connection is lost without
// notice and never raises SIGPIPE; a frame that cannot be sent whole (peer gone, or
// the send time-out reached) closes the connection.
void ws_send_text(ws_reader* reader, const void* payload, uint64_t size);

// How long one send may wait for a peer that has stopped reading.
inline constexpr int ws_send_timeout_ms = 250;
