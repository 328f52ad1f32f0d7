#include "ws_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "editor/base64.h"
#include "editor/ws_accept.h"
#include "random_bytes.h"

void ws_make_key(const uint8_t random[16], char key[25])
{
    base64_encode(random, 16, key);
}

size_t ws_build_request(char* out, size_t capacity, unsigned port, const char* key)
{
    int n = snprintf(out, capacity,
                     "GET / HTTP/1.1\r\n"
                     "Host: 127.0.0.1:%u\r\n"
                     "Upgrade: websocket\r\n"
                     "Connection: Upgrade\r\n"
                     "Sec-WebSocket-Key: %s\r\n"
                     "Sec-WebSocket-Version: 13\r\n"
                     "\r\n",
                     port, key);
    if (n < 0 || (size_t)n >= capacity)
        return 0;
    return (size_t)n;
}

// The value of header `name` within [line, end), blanks trimmed; null when absent.
static const char* find_header(const char* data, const char* end, const char* name,
                               size_t* value_size)
{
    size_t name_size = strlen(name);
    const char* line = (const char*)memchr(data, '\n', (size_t)(end - data));
    while (line && line + 1 < end) {
        line++;
        const char* eol = (const char*)memchr(line, '\n', (size_t)(end - line));
        if (!eol)
            return nullptr;
        if ((size_t)(eol - line) > name_size && strncasecmp(line, name, name_size) == 0 &&
            line[name_size] == ':') {
            const char* v = line + name_size + 1;
            const char* ve = eol;
            while (v < ve && (*v == ' ' || *v == '\t'))
                v++;
            while (ve > v && (ve[-1] == '\r' || ve[-1] == ' ' || ve[-1] == '\t'))
                ve--;
            *value_size = (size_t)(ve - v);
            return v;
        }
        line = eol;
    }
    return nullptr;
}

long ws_check_response(const char* data, size_t size, const char* key)
{
    const char* end = nullptr;
    for (size_t i = 0; i + 3 < size; i++) {
        if (memcmp(data + i, "\r\n\r\n", 4) == 0) {
            end = data + i + 4;
            break;
        }
    }
    if (!end)
        return 0;
    // "HTTP/1.1 101 ..." : the status code is the second word.
    const char* sp = (const char*)memchr(data, ' ', (size_t)(end - data));
    if (strncmp(data, "HTTP/1.", 7) != 0 || !sp || end - sp < 4 || memcmp(sp + 1, "101", 3) != 0)
        return -1;
    size_t accept_size = 0;
    const char* accept = find_header(data, end, "Sec-WebSocket-Accept", &accept_size);
    char expected[29];
    ws_accept_for_key(key, expected);
    if (!accept || accept_size != 28 || memcmp(accept, expected, 28) != 0)
        return -1;
    return end - data;
}

size_t ws_encode_frame(uint8_t opcode, const void* payload, size_t size, const uint8_t mask[4],
                       uint8_t* out)
{
    size_t n = 0;
    out[n++] = (uint8_t)(0x80 | (opcode & 0x0F));
    if (size < 126) {
        out[n++] = (uint8_t)(0x80 | size);
    } else if (size <= 0xFFFF) {
        out[n++] = 0x80 | 126;
        out[n++] = (uint8_t)(size >> 8);
        out[n++] = (uint8_t)size;
    } else {
        out[n++] = 0x80 | 127;
        for (int i = 7; i >= 0; i--)
            out[n++] = (uint8_t)((uint64_t)size >> (8 * i));
    }
    memcpy(out + n, mask, 4);
    n += 4;
    const uint8_t* p = (const uint8_t*)payload;
    for (size_t i = 0; i < size; i++)
        out[n + i] = p[i] ^ mask[i & 3];
    return n + size;
}

int ws_parse_header(const uint8_t* data, size_t size, ws_frame_header* header)
{
    if (size < 2)
        return 0;
    uint8_t opcode = data[0] & 0x0F;
    bool fin = data[0] & 0x80;
    // No extension was negotiated, and a server never masks.
    if ((data[0] & 0x70) || (data[1] & 0x80))
        return -1;
    uint64_t length = data[1] & 0x7F;
    size_t header_size = 2;
    if (opcode >= 8 && (!fin || length > 125))
        return -1;
    if (length == 126) {
        if (size < 4)
            return 0;
        length = (uint64_t)data[2] << 8 | data[3];
        header_size = 4;
    } else if (length == 127) {
        if (size < 10)
            return 0;
        if (data[2] & 0x80)
            return -1;
        length = 0;
        for (int i = 2; i < 10; i++)
            length = length << 8 | data[i];
        header_size = 10;
    }
    header->fin = fin;
    header->opcode = opcode;
    header->header_size = header_size;
    header->payload_size = length;
    return 1;
}

struct ws_client {
    int fd;
    int abort_fd; // readable once the program is asked to end
    bool closed;
    // Received bytes not yet consumed; holds at most one frame header plus a payload
    // no longer than ws_max_message.
    uint8_t* in;
    size_t in_size;
    size_t in_capacity;
    // Payload bytes of an oversized frame still to be thrown away.
    uint64_t skip;
    // The text message being gathered from its fragments.
    char* message;
    size_t message_size;
    bool message_open;
    bool message_dropped;
};

static void client_reset_message(ws_client* c)
{
    free(c->message);
    c->message = nullptr;
    c->message_size = 0;
    c->message_open = false;
    c->message_dropped = false;
}

static int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Writes everything, waiting while the plug-in is slow to read; a byte on the abort
// descriptor (SIGTERM) ends the wait, so a stalled host can still end the program.
static int write_all(ws_client* c, const void* data, size_t size)
{
    const uint8_t* p = (const uint8_t*)data;
    while (size > 0) {
        ssize_t n = send(c->fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            p += n;
            size -= (size_t)n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        pollfd fds[2] = {{c->fd, POLLOUT, 0}, {c->abort_fd, POLLIN, 0}};
        if (poll(fds, c->abort_fd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            return -1;
        if (c->abort_fd >= 0 && fds[1].revents)
            return -1;
    }
    return 0;
}

static int client_grow(ws_client* c, size_t need)
{
    if (need <= c->in_capacity)
        return 0;
    size_t cap = c->in_capacity ? c->in_capacity : 4096;
    while (cap < need)
        cap *= 2;
    uint8_t* p = (uint8_t*)realloc(c->in, cap);
    if (!p)
        return -1;
    c->in = p;
    c->in_capacity = cap;
    return 0;
}

static int send_frame(ws_client* c, uint8_t opcode, const void* payload, size_t size)
{
    if (c->closed || c->fd < 0)
        return -1;
    uint8_t mask[4];
    if (random_bytes(mask, sizeof mask) < 0)
        return -1;
    uint8_t small[256];
    uint8_t* frame = size + 14 <= sizeof small ? small : (uint8_t*)malloc(size + 14);
    if (!frame)
        return -1;
    size_t n = ws_encode_frame(opcode, payload, size, mask, frame);
    int rc = write_all(c, frame, n);
    if (frame != small)
        free(frame);
    return rc;
}

// Connects and sends the whole upgrade request in one write: the plug-in reads it
// with a single read. A signal that interrupts the connect ends the attempt.
static int send_upgrade(int fd, unsigned port, char key[25])
{
    uint8_t random[16];
    char request[512];
    if (random_bytes(random, sizeof random) < 0)
        return -1;
    ws_make_key(random, key);
    size_t size = ws_build_request(request, sizeof request, port, key);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (size == 0 || connect(fd, (sockaddr*)&addr, sizeof addr) < 0)
        return -1;
    return send(fd, request, size, MSG_NOSIGNAL) == (ssize_t)size ? 0 : -1;
}

// Reads until the reply header is complete; its length, or -1 on a refusal, a wrong
// accept value, the time-out or a byte on `abort_fd`.
static long await_reply(ws_client* c, const char* key, int abort_fd, int timeout_ms)
{
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return -1;
        pollfd fds[2] = {{c->fd, POLLIN, 0}, {abort_fd, POLLIN, 0}};
        int n = poll(fds, abort_fd >= 0 ? 2 : 1, (int)left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (abort_fd >= 0 && fds[1].revents))
            return -1;
        if (n == 0)
            continue;
        // A reply header is short; one that keeps growing is not a WebSocket server.
        if (c->in_size > 16384 || client_grow(c, c->in_size + 1024) < 0)
            return -1;
        ssize_t got = recv(c->fd, c->in + c->in_size, 1024, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        c->in_size += (size_t)got;
        long header_size = ws_check_response((const char*)c->in, c->in_size, key);
        if (header_size != 0)
            return header_size;
    }
}

ws_client* ws_client_adopt(int fd, int abort_fd)
{
    ws_client* c = (ws_client*)calloc(1, sizeof(ws_client));
    if (!c)
        return nullptr;
    c->fd = fd;
    c->abort_fd = abort_fd;
    return c;
}

ws_client* ws_client_open(unsigned port, int abort_fd, int timeout_ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    ws_client* c = ws_client_adopt(fd, abort_fd);
    if (!c) {
        close(fd);
        return nullptr;
    }
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char key[25];
    long header_size = -1;
    if (send_upgrade(c->fd, port, key) == 0)
        header_size = await_reply(c, key, abort_fd, timeout_ms);
    if (header_size < 0) {
        ws_client_free(c);
        return nullptr;
    }
    // Frames that came with the reply stay for the first read.
    memmove(c->in, c->in + header_size, c->in_size - (size_t)header_size);
    c->in_size -= (size_t)header_size;
    return c;
}

int ws_client_fd(const ws_client* c) { return c->fd; }

static void deliver_fragment(ws_client* c, const ws_client_sink* sink, const uint8_t* data,
                             size_t size, bool fin)
{
    if (!c->message_dropped) {
        if (c->message_size + size > ws_max_message) {
            c->message_dropped = true;
        } else if (size > 0) {
            char* grown = (char*)realloc(c->message, c->message_size + size + 1);
            if (!grown) {
                c->message_dropped = true;
            } else {
                c->message = grown;
                memcpy(c->message + c->message_size, data, size);
                c->message_size += size;
            }
        }
    }
    if (!fin)
        return;
    if (!c->message_dropped) {
        if (!c->message) {
            static char empty[1];
            sink->on_text(sink->context, empty, 0);
        } else {
            c->message[c->message_size] = 0;
            sink->on_text(sink->context, c->message, c->message_size);
        }
    }
    client_reset_message(c);
}

// Handles every complete frame in the input buffer; -1 once the connection is over.
static int client_consume(ws_client* c, const ws_client_sink* sink)
{
    size_t pos = 0;
    int rc = 0;
    while (rc == 0 && !c->closed) {
        if (c->skip > 0) {
            size_t n = c->in_size - pos < c->skip ? c->in_size - pos : (size_t)c->skip;
            pos += n;
            c->skip -= n;
            if (c->skip > 0)
                break;
            continue;
        }
        ws_frame_header h;
        int got = ws_parse_header(c->in + pos, c->in_size - pos, &h);
        if (got == 0)
            break;
        if (got < 0) {
            ws_client_close(c, 1002);
            rc = -1;
            break;
        }
        bool data_frame = h.opcode < 8;
        if (data_frame && h.opcode != ws_continuation && c->message_open) {
            ws_client_close(c, 1002); // a new message while one is still open
            rc = -1;
            break;
        }
        if (h.opcode == ws_continuation && !c->message_open) {
            ws_client_close(c, 1002);
            rc = -1;
            break;
        }
        if (h.payload_size > ws_max_message) {
            // Too long to keep: drop it in passing, and the message it belongs to.
            pos += h.header_size;
            c->skip = h.payload_size;
            if (h.opcode == ws_text || h.opcode == ws_continuation) {
                c->message_open = !h.fin;
                c->message_dropped = true;
                if (h.fin)
                    client_reset_message(c);
            }
            continue;
        }
        size_t frame_size = h.header_size + (size_t)h.payload_size;
        if (c->in_size - pos < frame_size) {
            if (client_grow(c, frame_size) < 0) {
                ws_client_close(c, 1009);
                rc = -1;
            }
            break;
        }
        const uint8_t* payload = c->in + pos + h.header_size;
        size_t size = (size_t)h.payload_size;
        pos += frame_size;
        switch (h.opcode) {
        case ws_text:
        case ws_continuation:
            c->message_open = !h.fin;
            deliver_fragment(c, sink, payload, size, h.fin);
            break;
        case ws_binary:
            c->message_open = !h.fin;
            c->message_dropped = true;
            if (h.fin)
                client_reset_message(c);
            break;
        case ws_ping:
            send_frame(c, ws_pong, payload, size);
            break;
        case ws_close: {
            // Echo the status, then the connection is over.
            uint16_t status = size >= 2 ? (uint16_t)(payload[0] << 8 | payload[1]) : 0;
            ws_client_close(c, status);
            rc = -1;
            break;
        }
        default:
            break; // pong and reserved control opcodes
        }
    }
    if (pos > 0 && !c->closed) {
        memmove(c->in, c->in + pos, c->in_size - pos);
        c->in_size -= pos;
    }
    return rc;
}

int ws_client_read(ws_client* c, const ws_client_sink* sink)
{
    if (c->closed)
        return -1;
    // Frames that arrived with the handshake reply first.
    if (c->in_size > 0 && client_consume(c, sink) < 0)
        return -1;
    for (;;) {
        if (client_grow(c, c->in_size + 4096) < 0) {
            ws_client_close(c, 1009);
            return -1;
        }
        ssize_t n = recv(c->fd, c->in + c->in_size, c->in_capacity - c->in_size, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            ws_client_close(c, 0);
            return -1;
        }
        if (n == 0) {
            ws_client_close(c, 0);
            return -1;
        }
        c->in_size += (size_t)n;
        if (client_consume(c, sink) < 0)
            return -1;
    }
}

int ws_client_send_text(ws_client* c, const char* text, size_t size)
{
    return send_frame(c, ws_text, text, size);
}

void ws_client_close(ws_client* c, uint16_t status)
{
    if (c->closed)
        return;
    uint8_t payload[2] = {(uint8_t)((status ? status : 1000) >> 8),
                          (uint8_t)(status ? status : 1000)};
    send_frame(c, ws_close, payload, sizeof payload);
    c->closed = true;
    shutdown(c->fd, SHUT_RDWR);
    close(c->fd);
    c->fd = -1;
}

void ws_client_free(ws_client* c)
{
    if (!c)
        return;
    if (c->fd >= 0)
        close(c->fd);
    free(c->in);
    free(c->message);
    free(c);
}
