#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "editor/deadline.h"
#include "editor/websocket.h"

namespace {

// Past the deadline nothing more is taken: every step resumes where it stopped, so the
// rest waits in the socket for a later call.
bool out_of_time(const ws_reader* reader)
{
    return reader->deadline_ns != 0 && monotonic_ns() >= reader->deadline_ns;
}

// Outcome of one gathering step: the step is complete, or ws_read returns the value.
constexpr int64_t step_done = 1;

// The result of a read that brought nothing: -2 when the rest has not arrived yet,
// -1 when the connection failed, or ended and is closed here.
int64_t read_failed(ws_reader* reader, ssize_t got)
{
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -2 : -1;
    close(reader->connection);
    reader->connection = -1;
    return -1;
}

// Gathers scratch bytes up to `need`. Returns step_done, or the result ws_read gives
// back: -2 when the rest has not arrived, -1 when the connection failed or closed.
int64_t gather(ws_reader* reader, uint64_t need)
{
    if (reader->position >= need)
        return step_done;
    ssize_t got = recv(reader->connection, reader->scratch + reader->position,
                       need - reader->position, MSG_DONTWAIT);
    if (got <= 0)
        return read_failed(reader, got);
    reader->position += (uint64_t)got;
    return reader->position >= need ? step_done : -2;
}

int64_t protocol_error(ws_reader* reader, const char* message)
{
    ws_close(reader, 1002, message);
    return -1;
}

void unmask(ws_reader* reader, uint8_t* bytes, uint64_t count)
{
    for (uint64_t i = 0; i < count; i++) {
        bytes[i] ^= reader->masking_key[reader->mask_position];
        reader->mask_position = (reader->mask_position + 1) & 3;
    }
}

// A frame's first two bytes; every frame from the client must be masked.
int64_t gather_frame_start(ws_reader* reader)
{
    int64_t step = gather(reader, 2);
    if (step != step_done)
        return step;
    if (!(reader->scratch[1] & 0x80))
        return protocol_error(reader, "Protocol error. Missing masking key.");
    return step_done;
}

int64_t read_header(ws_reader* reader)
{
    int64_t step = gather_frame_start(reader);
    if (step != step_done)
        return step;
    uint8_t b0 = reader->scratch[0], b1 = reader->scratch[1];
    int opcode = b0 & 0x0F;
    if (opcode >= 8) {
        if (!(b0 & 0x80))
            return protocol_error(reader, "Protocol error. Control frame must be final.");
        if ((b1 & 0x7F) >= 126)
            return protocol_error(reader, "Protocol error. Bad payload length.");
        if (opcode == 9) {
            reader->state = ws_ping;
        } else if (opcode == 8) {
            // The close frame's own payload is not read.
            ws_close(reader, 0, nullptr);
            return -1;
        } else {
            reader->state = ws_skip_length;
        }
    } else if (opcode == 1) {
        reader->state = ws_text_length;
    } else if (opcode == 0) {
        return protocol_error(reader, "Protocol error. Continuation frame but nothing to continue.");
    } else {
        reader->state = ws_skip_length;
    }
    return step_done;
}

int64_t answer_ping(ws_reader* reader)
{
    uint64_t size = reader->scratch[1] & 0x7F;
    int64_t step = gather(reader, 6 + size);
    if (step != step_done)
        return step;
    // The pong is built in place: header, then the payload unmasked and moved down
    // over the key (which is copied out first).
    uint8_t key[4];
    memcpy(key, reader->scratch + 2, 4);
    reader->scratch[0] = 0x8A;
    reader->scratch[1] = (uint8_t)size;
    for (uint64_t i = 0; i < size; i++)
        reader->scratch[2 + i] = reader->scratch[6 + i] ^ key[i & 3];
    // Like a text frame, a pong that cannot go out whole within the send time-out gives
    // the connection up: a peer that pings without reading would otherwise cost the
    // host's thread one time-out per ping.
    if (send(reader->connection, reader->scratch, 2 + size, MSG_NOSIGNAL) != (ssize_t)(2 + size)) {
        close(reader->connection);
        reader->connection = -1;
        return -1;
    }
    reader->position = 0;
    reader->state = ws_header;
    return step_done;
}

int64_t read_length(ws_reader* reader, ws_state next)
{
    // Entered after a dropped fragment with nothing gathered: that frame's header is
    // taken without being examined.
    int64_t step = gather(reader, 2);
    if (step != step_done)
        return step;
    uint64_t code = reader->scratch[1] & 0x7F;
    if (code <= 125) {
        reader->remaining = code;
    } else if (code == 126) {
        step = gather(reader, 4);
        if (step != step_done)
            return step;
        reader->remaining = (uint64_t)reader->scratch[2] << 8 | reader->scratch[3];
    } else {
        step = gather(reader, 10);
        if (step != step_done)
            return step;
        if (reader->scratch[2] & 0x80)
            return protocol_error(reader, "Protocol error. 64 bits payload length with MSB=1.");
        uint64_t length = 0;
        for (int i = 2; i < 10; i++)
            length = length << 8 | reader->scratch[i];
        reader->remaining = length;
    }
    reader->final = (reader->scratch[0] & 0x80) ? 1 : 0;
    reader->position = 0;
    reader->state = next;
    return step_done;
}

int64_t read_mask(ws_reader* reader, ws_state next)
{
    int64_t step = gather(reader, 4);
    if (step != step_done)
        return step;
    memcpy(reader->masking_key, reader->scratch, 4);
    reader->position = 0;
    reader->mask_position = 0;
    reader->state = next;
    return step_done;
}

int64_t skip_payload(ws_reader* reader)
{
    while (reader->remaining != 0) {
        if (out_of_time(reader))
            return -2;
        uint64_t size = reader->remaining < ws_scratch_size ? reader->remaining : ws_scratch_size;
        ssize_t got = recv(reader->connection, reader->scratch, size, MSG_DONTWAIT);
        if (got <= 0)
            return read_failed(reader, got);
        reader->remaining -= (uint64_t)got;
    }
    // Every frame up to the one with the FIN bit belongs to the dropped message.
    reader->position = 0;
    reader->state = reader->final ? ws_header : ws_skip_length;
    return step_done;
}

int64_t read_text(ws_reader* reader, uint8_t* dest, uint64_t capacity, int* final)
{
    *final = 0;
    uint64_t count = 0;
    int64_t result;
    for (;;) {
        if (reader->remaining == 0) {
            if (reader->final) {
                *final = 1;
                reader->state = ws_header;
            } else {
                reader->state = ws_continuation;
            }
            reader->position = 0;
            result = (int64_t)count;
            break;
        }
        uint64_t room = capacity - count;
        uint64_t size = reader->remaining < room ? reader->remaining : room;
        if (size == 0) {
            result = (int64_t)count;
            break;
        }
        ssize_t got = recv(reader->connection, dest + count, size, MSG_DONTWAIT);
        if (got > 0) {
            count += (uint64_t)got;
            reader->remaining -= (uint64_t)got;
            if ((uint64_t)got < size) {
                result = (int64_t)count;
                break;
            }
            continue;
        }
        if (got < 0) {
            if (count > 0)
                result = (int64_t)count;
            else
                result = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
            break;
        }
        // The peer closed during the payload: what arrived ends the message.
        close(reader->connection);
        reader->connection = -1;
        *final = 1;
        result = count > 0 ? (int64_t)count : -1;
        break;
    }
    unmask(reader, dest, count);
    return result;
}

int64_t read_continuation(ws_reader* reader)
{
    int64_t step = gather_frame_start(reader);
    if (step != step_done)
        return step;
    uint8_t b0 = reader->scratch[0];
    if ((b0 & 0x0F) != 0 || (b0 & 0x70) != 0)
        return protocol_error(reader, "Protocol error. Continuation frame was expected.");
    reader->state = ws_text_length;
    return step_done;
}

}  // namespace

int64_t ws_read(ws_reader* reader, uint8_t* dest, uint64_t capacity, int* final)
{
    for (;;) {
        if (reader->connection < 0)
            return -1;
        if (out_of_time(reader))
            return -2;
        int64_t step;
        switch (reader->state) {
        case ws_header:
            step = read_header(reader);
            break;
        case ws_ping:
            step = answer_ping(reader);
            break;
        case ws_skip_length:
            step = read_length(reader, ws_skip_mask);
            break;
        case ws_skip_mask:
            step = read_mask(reader, ws_skip_payload);
            break;
        case ws_skip_payload:
            step = skip_payload(reader);
            break;
        case ws_text_length:
            step = read_length(reader, ws_text_mask);
            break;
        case ws_text_mask:
            step = read_mask(reader, ws_text_payload);
            break;
        case ws_text_payload:
            return read_text(reader, dest, capacity, final);
        case ws_continuation:
            step = read_continuation(reader);
            break;
        default:
            return -1;
        }
        if (step != step_done)
            return step;
    }
}
