// The client's side of a WebSocket for tests: a connected socket pair, masked frames
// built byte by byte, and reading back what the server wrote.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

inline bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

// A client frame: b0 holds FIN and opcode; the payload is masked with `key` unless
// masked is false. length_form 0 picks the shortest length encoding; 126 or 127 forces
// the 16- or 64-bit form.
inline bytes client_frame(uint8_t b0, const bytes& payload, bool masked = true,
                          int length_form = 0, const uint8_t key[4] = nullptr)
{
    static const uint8_t default_key[4] = {0x37, 0xfa, 0x21, 0x3d};
    if (!key)
        key = default_key;
    bytes out{b0};
    uint64_t n = payload.size();
    uint8_t mask_bit = masked ? 0x80 : 0;
    if (length_form == 0)
        length_form = n < 126 ? 0 : n <= 0xFFFF ? 126 : 127;
    if (length_form == 0) {
        out.push_back(mask_bit | (uint8_t)n);
    } else if (length_form == 126) {
        out.push_back(mask_bit | 126);
        out.push_back((uint8_t)(n >> 8));
        out.push_back((uint8_t)n);
    } else {
        out.push_back(mask_bit | 127);
        for (int i = 7; i >= 0; i--)
            out.push_back((uint8_t)(n >> (8 * i)));
    }
    if (masked)
        out.insert(out.end(), key, key + 4);
    for (uint64_t i = 0; i < n; i++)
        out.push_back(masked ? (uint8_t)(payload[i] ^ key[i & 3]) : payload[i]);
    return out;
}

inline bytes client_text(const std::string& text) { return client_frame(0x81, to_bytes(text)); }

inline void write_all(int fd, const bytes& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

// Everything that arrives within `wait_ms` of silence.
inline bytes read_available(int fd, int wait_ms = 50)
{
    bytes out;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0)
            return out;
        uint8_t buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return out;
        out.insert(out.end(), buffer, buffer + n);
    }
}

// True when the peer has closed its end: a read reports end of file.
inline bool peer_closed(int fd, int wait_ms = 200)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return false;
    uint8_t byte;
    return read(fd, &byte, 1) == 0;
}

// A server frame (never masked): b0 holds FIN and opcode; shortest length encoding.
inline bytes server_frame(uint8_t b0, const bytes& payload)
{
    bytes out{b0};
    uint64_t n = payload.size();
    if (n < 126) {
        out.push_back((uint8_t)n);
    } else if (n <= 0xFFFF) {
        out.push_back(126);
        out.push_back((uint8_t)(n >> 8));
        out.push_back((uint8_t)n);
    } else {
        out.push_back(127);
        for (int i = 7; i >= 0; i--)
            out.push_back((uint8_t)(n >> (8 * i)));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The server's unmasked text frame for a payload, as the writers must produce it.
inline bytes server_text(const std::string& text) { return server_frame(0x81, to_bytes(text)); }

// A close frame with status 1002 and a reason, as protocol errors must produce it.
inline bytes protocol_close(const std::string& reason)
{
    bytes out{0x88, (uint8_t)(2 + reason.size()), 0x03, 0xEA};
    out.insert(out.end(), reason.begin(), reason.end());
    return out;
}
