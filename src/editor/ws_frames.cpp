#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "editor/websocket.h"

// A peer that has gone must not raise SIGPIPE in the host, whose default action
// would end it: every write on the connection goes through here.
static ssize_t send_nosignal(int connection, const void* data, size_t size)
{
    return send(connection, data, size, MSG_NOSIGNAL);
}

void ws_send_text(ws_reader* reader, const void* payload, uint64_t size)
{
    if (reader->connection < 0)
        return;
    uint8_t header[10];
    size_t header_size;
    header[0] = 0x81;
    if (size < 126) {
        header[1] = (uint8_t)size;
        header_size = 2;
    } else if (size <= 0xFFFF) {
        header[1] = 126;
        header[2] = (uint8_t)(size >> 8);
        header[3] = (uint8_t)size;
        header_size = 4;
    } else {
        header[1] = 127;
        for (int i = 0; i < 8; i++)
            header[2 + i] = (uint8_t)(size >> (56 - 8 * i));
        header_size = 10;
    }
    // A frame that cannot go out whole (the peer has gone, or has stopped reading and
    // the send time-out ran out) leaves the stream torn: the connection is given up, so
    // a stalled editor never holds the host's thread for more than one time-out.
    if (send_nosignal(reader->connection, header, header_size) != (ssize_t)header_size ||
        send_nosignal(reader->connection, payload, size) != (ssize_t)size) {
        close(reader->connection);
        reader->connection = -1;
    }
}

void ws_close(ws_reader* reader, uint16_t status, const char* reason)
{
    if (reader->connection < 0)
        return;
    uint8_t* frame = reader->scratch;
    size_t size = 2;
    frame[0] = 0x88;
    frame[1] = 0;
    if (status) {
        frame[2] = (uint8_t)(status >> 8);
        frame[3] = (uint8_t)status;
        size = 4;
        size_t reason_size = reason ? strlen(reason) : 0;
        // The reason goes out without its final period; control payloads stay under 126.
        if (reason_size > 0)
            reason_size--;
        if (reason_size > 121)
            reason_size = 121;
        // memcpy may not be handed a null reason, even for no bytes.
        if (reason_size > 0)
            memcpy(frame + 4, reason, reason_size);
        size += reason_size;
    }
    frame[1] = (uint8_t)(size - 2);
    send_nosignal(reader->connection, frame, size);
    close(reader->connection);
    reader->connection = -1;
}
