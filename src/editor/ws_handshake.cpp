#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "editor/websocket.h"
#include "editor/ws_accept.h"

static constexpr char key_header[] = "Sec-WebSocket-Key";
static constexpr size_t key_header_size = sizeof key_header - 1;

void ws_reader_init(ws_reader* reader, int connection)
{
    reader->position = 0;
    reader->remaining = 0;
    reader->connection = connection;
    reader->final = 0;
    memset(reader->masking_key, 0, sizeof reader->masking_key);
    reader->mask_position = 0;
    reader->state = ws_header;
}

static int handshake_fail(ws_reader* reader)
{
    close(reader->connection);
    reader->connection = -1;
    return -1;
}

// The key line is the first line after the request line whose name matches, ignoring
// case; nothing else of the request is examined. Returns the key's first character,
// or null when there is no such line or fewer than 24 key characters follow it.
static const char* find_key(const char* request, size_t size)
{
    const char* end = request + size;
    const char* from = request;
    for (;;) {
        const char* feed = (const char*)memchr(from, '\n', (size_t)(end - from));
        if (!feed)
            return nullptr;
        const char* line = feed + 1;
        if ((size_t)(end - line) >= key_header_size &&
            strncasecmp(line, key_header, key_header_size) == 0) {
            // The key starts after the name and one more character (the colon).
            const char* key = line + key_header_size + 1;
            if (key > end)
                return nullptr;
            while (key < end && (*key == ' ' || *key == '\t'))
                key++;
            if ((size_t)(end - key) < ws_key_size)
                return nullptr;
            for (size_t i = 0; i < ws_key_size; i++)
                if (key[i] == '\r' || key[i] == '\n' || key[i] == '\0')
                    return nullptr;
            return key;
        }
        from = line;
    }
}

int ws_handshake(ws_reader* reader, int timeout_ms)
{
    // The request must arrive in one read; a peer that connects and says nothing must
    // not hold the host's thread, so the read waits a bounded time.
    struct pollfd waiting = {reader->connection, POLLIN, 0};
    int ready;
    do
        ready = poll(&waiting, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return handshake_fail(reader);
    char* request = (char*)reader->scratch;
    ssize_t got = read(reader->connection, request, ws_scratch_size - 1);
    if (got < 0)
        return handshake_fail(reader);
    request[got] = '\0';

    const char* key = find_key(request, (size_t)got);
    if (!key)
        return handshake_fail(reader);

    char accept[ws_accept_size + 1];
    ws_accept_for_key(key, accept);

    int length = snprintf(request, ws_scratch_size,
                          "HTTP/1.1 101 Switching Protocols\r\n"
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: %s\r\n\r\n",
                          accept);
    if (send(reader->connection, request, (size_t)length, MSG_NOSIGNAL) != length)
        return handshake_fail(reader);
    return 0;
}
