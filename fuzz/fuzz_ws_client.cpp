// The editor program's WebSocket client on what the plug-in may send. The reply check
// on any bytes: -1, 0, or a length within them that ends on the empty line. Raw frames
// in pieces: every text is NUL-terminated within the size limit, and a connection once
// over stays over. Structured frames: texts fragmented with pings between fragments,
// dropped binary messages and pongs, arriving in pieces: exactly the texts come out, and
// every ping is answered by a masked pong with its payload.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz_socket.h"
#include "ws_client.h"

namespace {

std::vector<std::string> texts;

void on_text(void*, const char* text, size_t size)
{
    if (size > ws_max_message || text[size] != '\0')
        abort();
    texts.emplace_back(text, size);
}

const ws_client_sink sink = {nullptr, on_text};

// The payloads of the client's pong frames; every frame the client sends is masked.
std::vector<std::string> pongs_in(const bytes& written)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < written.size()) {
        if (at + 6 > written.size() || !(written[at + 1] & 0x80) || (written[at + 1] & 0x7F) > 125)
            abort();
        size_t n = written[at + 1] & 0x7F;
        if (at + 6 + n > written.size())
            abort();
        std::string payload;
        for (size_t i = 0; i < n; i++)
            payload += (char)(written[at + 6 + i] ^ written[at + 2 + (i & 3)]);
        if (written[at] == 0x8A)
            out.push_back(payload);
        at += 6 + n;
    }
    return out;
}

void reply_check(FuzzedDataProvider& in)
{
    std::string reply = in.ConsumeRemainingBytesAsString();
    long result = ws_check_response(reply.data(), reply.size(), "dGhlIHNhbXBsZSBub25jZQ==");
    if (result < -1 || result > (long)reply.size() ||
        (result > 0 && (result < 4 || reply.compare((size_t)result - 4, 4, "\r\n\r\n") != 0)))
        abort();
}

void raw(FuzzedDataProvider& in)
{
    fuzz_pair pair = fuzz_pair_open();
    // A byte waiting on the abort descriptor: a send that would block fails at once
    // instead of waiting for a reader this single thread cannot be.
    int abort_pipe[2];
    if (pipe(abort_pipe) < 0 || write(abort_pipe[1], "x", 1) != 1)
        abort();
    ws_client* client = ws_client_adopt(pair.ours, abort_pipe[0]);
    bool over = false;
    bytes written;
    while (in.remaining_bytes() > 0) {
        std::string piece = in.ConsumeRandomLengthString(512);
        if (!fuzz_feed(pair.peer, (const uint8_t*)piece.data(), piece.size()) && !over)
            abort();  // the client closed its end without saying the connection is over
        if (in.remaining_bytes() == 0 && in.ConsumeBool())
            shutdown(pair.peer, SHUT_WR);
        int result = ws_client_read(client, &sink);
        fuzz_drain(pair.peer, &written);
        if (result != 0 && result != -1)
            abort();
        if (over && result != -1)
            abort();
        over = result == -1;
    }
    ws_client_free(client);
    close(abort_pipe[0]);
    close(abort_pipe[1]);
    fuzz_close(&pair.peer);
}

void structured(FuzzedDataProvider& in)
{
    bytes stream;
    std::vector<std::string> want_texts, want_pongs;
    auto add = [&](uint8_t b0, const std::string& payload) {
        bytes frame = server_frame(b0, to_bytes(payload));
        stream.insert(stream.end(), frame.begin(), frame.end());
    };
    // Few enough pings that their pongs fit the socket between two reads.
    while (in.remaining_bytes() > 0 && want_pongs.size() < 24) {
        if (in.ConsumeBool()) {
            add(0x82, in.ConsumeRandomLengthString(300));  // binary: dropped
            add(0x8A, in.ConsumeRandomLengthString(125));  // pong: ignored
        }
        int pieces = in.ConsumeIntegralInRange(1, 4);
        std::string text;
        for (int i = 0; i < pieces; i++) {
            std::string part = in.ConsumeRandomLengthString(400);
            text += part;
            add((uint8_t)((i == 0 ? 0x01 : 0x00) | (i == pieces - 1 ? 0x80 : 0)), part);
            if (i + 1 < pieces && in.ConsumeBool()) {
                std::string ping = in.ConsumeRandomLengthString(125);
                add(0x89, ping);
                want_pongs.push_back(ping);
            }
        }
        want_texts.push_back(text);
    }

    fuzz_pair pair = fuzz_pair_open();
    ws_client* client = ws_client_adopt(pair.ours, -1);
    bytes written;
    uint32_t state = (uint32_t)stream.size() * 2654435761u;
    for (size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        size_t piece = std::min(stream.size() - at, (size_t)1 + (state >> 8) % 700);
        fuzz_feed(pair.peer, stream.data() + at, piece);
        at += piece;
        if (ws_client_read(client, &sink) != 0)
            abort();  // well-formed frames never end the connection
        fuzz_drain(pair.peer, &written);
    }
    if (texts != want_texts || pongs_in(written) != want_pongs)
        abort();
    ws_client_free(client);
    fuzz_close(&pair.peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    texts.clear();
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        reply_check(in);
        break;
    case 1:
        raw(in);
        break;
    default:
        structured(in);
    }
    return 0;
}
