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
    reader->deadline_ns = 0;
}

static int handshake_fail(ws_reader* reader)
{
    close(reader->connection);
    reader->connection = -1;
    return -1;
}

// The line after the one that holds `from`, or null when no line feed follows within
// the text.
static const char* next_line(const char* from, const char* end)
{
    const char* feed = (const char*)memchr(from, '\n', (size_t)(end - from));
    return feed ? feed + 1 : nullptr;
}

// The header section: from the start of the request to its first empty line (the
// empty line's start), or null when the request has no empty line. What follows it is
// a body, never a header.
static const char* header_section_end(const char* request, const char* end)
{
    for (const char* line = next_line(request, end); line; line = next_line(line, end)) {
        if (line < end && *line == '\n')
            return line;
        if (end - line >= 2 && line[0] == '\r' && line[1] == '\n')
            return line;
    }
    return nullptr;
}

static bool starts_with_name(const char* line, const char* end, const char* name, size_t size)
{
    return (size_t)(end - line) >= size && strncasecmp(line, name, size) == 0;
}

// The key line is the first header line whose name matches, ignoring case. Returns the
// key's first character, or null when there is no such line or fewer than 24 key
// characters follow it on its line.
static const char* find_key(const char* request, const char* end)
{
    for (const char* line = next_line(request, end); line; line = next_line(line, end)) {
        if (!starts_with_name(line, end, key_header, key_header_size))
            continue;
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
    return nullptr;
}

// Browsers send an Origin header with every WebSocket request (older drafts named it
// Sec-WebSocket-Origin); the editor program never does, so a request carrying one comes
// from a web page and is refused.
static bool has_origin(const char* request, const char* end)
{
    static constexpr const char* names[] = {"Origin", "Sec-WebSocket-Origin"};
    for (const char* line = next_line(request, end); line; line = next_line(line, end)) {
        for (const char* name : names) {
            size_t size = strlen(name);
            if (starts_with_name(line, end, name, size) && line + size < end &&
                (line[size] == ':' || line[size] == ' ' || line[size] == '\t'))
                return true;
        }
    }
    return false;
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

    // Only a GET whose header section, up to the empty line, carries the key: a POST, a
    // key in a body or a request cut before its empty line is not the editor program's.
    const char* headers_end = header_section_end(request, request + got);
    if (!headers_end || strncmp(request, "GET ", 4) != 0 || has_origin(request, headers_end))
        return handshake_fail(reader);
    const char* key = find_key(request, headers_end);
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
