// ws_handshake on any request, against a second reading of the rule: the request is
// answered exactly when it starts with "GET ", has an empty line within the one read,
// carries a Sec-WebSocket-Key line with 24 key characters before that line and no
// Origin header; the answer is the 101 reply with that key's accept value, and any
// other request leaves the connection closed with nothing written.
#include <ctype.h>
#include <string.h>

#include <string>

#include "editor/websocket.h"
#include "editor/ws_accept.h"
#include "fuzz_socket.h"

namespace {

bool name_at(const std::string& text, size_t at, const std::string& name)
{
    if (text.size() - at < name.size())
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (tolower((unsigned char)text[at + i]) != tolower((unsigned char)name[i]))
            return false;
    return true;
}

// The key the request should be answered for, or "" when it must be refused.
std::string expected_key(const std::string& request)
{
    if (request.compare(0, 4, "GET ") != 0)
        return "";
    size_t blank = std::string::npos;
    for (size_t feed = request.find('\n'); feed != std::string::npos; feed = request.find('\n', feed + 1)) {
        if (request.compare(feed + 1, 1, "\n") == 0 || request.compare(feed + 1, 2, "\r\n") == 0) {
            blank = feed + 1;
            break;
        }
    }
    if (blank == std::string::npos)
        return "";
    std::string headers = request.substr(0, blank);
    std::string key;
    bool key_seen = false;
    for (size_t feed = headers.find('\n'); feed != std::string::npos; feed = headers.find('\n', feed + 1)) {
        size_t line = feed + 1;
        for (const char* origin : {"origin", "sec-websocket-origin"}) {
            size_t n = strlen(origin);
            if (name_at(headers, line, origin) && line + n < headers.size() &&
                (headers[line + n] == ':' || headers[line + n] == ' ' || headers[line + n] == '\t'))
                return "";
        }
        if (key_seen || !name_at(headers, line, "sec-websocket-key"))
            continue;
        key_seen = true;
        size_t at = line + 18;
        while (at < headers.size() && (headers[at] == ' ' || headers[at] == '\t'))
            at++;
        if (at <= headers.size() && headers.size() - at >= 24 &&
            headers.substr(at, 24).find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
            key = headers.substr(at, 24);
    }
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_pair pair = fuzz_pair_open();
    fuzz_feed(pair.peer, data, size);
    ws_reader reader;
    ws_reader_init(&reader, pair.ours);
    int result = ws_handshake(&reader, 0);
    bytes written;
    fuzz_drain(pair.peer, &written);

    // One read of at most 8191 bytes: what lies beyond is never seen.
    std::string request((const char*)data, size < ws_scratch_size - 1 ? size : ws_scratch_size - 1);
    std::string key = expected_key(request);
    if (key.empty()) {
        if (result != -1 || reader.connection != -1 || !written.empty())
            abort();
    } else {
        char accept[ws_accept_size + 1];
        ws_accept_for_key(key.c_str(), accept);
        std::string reply = std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                        "Connection: Upgrade\r\nSec-WebSocket-Accept: ") +
                            accept + "\r\n\r\n";
        if (result != 0 || std::string(written.begin(), written.end()) != reply)
            abort();
    }
    fuzz_close(&reader.connection);
    fuzz_close(&pair.peer);
    return 0;
}
