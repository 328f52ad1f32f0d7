// ws_read on what the editor program may send. Raw input: any bytes, read through
// destinations of changing size: results stay in range, the reader writes nothing but
// pongs and one final close frame, and once closed it stays closed. Structured input:
// well-formed masked messages in every length form, fragmented, with pings and dropped
// frames between them, arriving in pieces: exactly the texts come out, in order, and
// every ping gets its pong.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "editor/websocket.h"
#include "fuzz_socket.h"

namespace {

struct chooser {
    uint32_t state;
    uint32_t below(uint32_t n)
    {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % n;
    }
};

// The reader's output is server frames: pongs, and a close frame that ends it.
void check_written(const bytes& written)
{
    size_t at = 0;
    while (at < written.size()) {
        if (at + 2 > written.size())
            abort();
        uint8_t b0 = written[at], n = written[at + 1];
        if (n > 125 || at + 2 + n > written.size())
            abort();
        at += 2 + n;
        if (b0 == 0x88 && at != written.size())
            abort();
        if (b0 != 0x8A && b0 != 0x88)
            abort();
    }
}

void raw(FuzzedDataProvider& in)
{
    fuzz_pair pair = fuzz_pair_open();
    ws_reader reader;
    ws_reader_init(&reader, pair.ours);
    bool peer_closes = in.ConsumeBool();
    chooser pick{in.ConsumeIntegral<uint32_t>()};
    std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();
    fuzz_feed(pair.peer, stream.data(), stream.size());
    if (peer_closes)
        shutdown(pair.peer, SHUT_WR);
    uint8_t dest[300];
    bytes written;
    for (size_t call = 0; call < 4 * stream.size() + 8; call++) {
        uint64_t capacity = 1 + pick.below(sizeof dest);
        int final = -1;
        int64_t got = ws_read(&reader, dest, capacity, &final);
        fuzz_drain(pair.peer, &written);
        if (got < -2 || got > (int64_t)capacity || (got >= 0 && final != 0 && final != 1))
            abort();
        if (reader.connection < 0) {
            if (got != -1 && got < 0)
                abort();
            if (ws_read(&reader, dest, capacity, &final) != -1)
                abort();
            break;
        }
        if ((got == -2 || (got == 0 && final == 0)) && fuzz_waiting(pair.ours) == 0)
            break;
    }
    check_written(written);
    fuzz_close(&reader.connection);
    fuzz_close(&pair.peer);
}

void structured(FuzzedDataProvider& in)
{
    chooser pick{in.ConsumeIntegral<uint32_t>()};
    bytes stream, pongs;
    std::vector<std::string> texts;
    while (in.remaining_bytes() > 0 && texts.size() < 32) {
        uint8_t key[4];
        for (uint8_t& k : key)
            k = in.ConsumeIntegral<uint8_t>();
        int form = in.PickValueInArray({0, 126, 127});
        auto add = [&](uint8_t b0, const std::string& payload, int length_form) {
            bytes frame = client_frame(b0, to_bytes(payload), true, length_form, key);
            stream.insert(stream.end(), frame.begin(), frame.end());
        };
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            std::string payload = in.ConsumeRandomLengthString(125);
            add(0x89, payload, 0);
            pongs.push_back(0x8A);
            pongs.push_back((uint8_t)payload.size());
            pongs.insert(pongs.end(), payload.begin(), payload.end());
            break;
        }
        case 1:
            // Dropped whole: a pong, a reserved control opcode, a fragmented binary message.
            add(in.PickValueInArray<uint8_t>({0x8A, 0x8B, 0x8F}), in.ConsumeRandomLengthString(125), 0);
            add(0x02, in.ConsumeRandomLengthString(300), form);
            add(0x80, in.ConsumeRandomLengthString(300), form);
            break;
        default: {
            int pieces = in.ConsumeIntegralInRange(1, 4);
            std::string text;
            for (int i = 0; i < pieces; i++) {
                std::string part = in.ConsumeRandomLengthString(400);
                text += part;
                add((uint8_t)((i == 0 ? 0x01 : 0x00) | (i == pieces - 1 ? 0x80 : 0)), part, form);
            }
            texts.push_back(text);
        }
        }
    }

    fuzz_pair pair = fuzz_pair_open();
    ws_reader reader;
    ws_reader_init(&reader, pair.ours);
    std::vector<std::string> got_texts;
    std::string current;
    bytes written;
    uint8_t dest[512];
    size_t at = 0;
    while (at < stream.size() || fuzz_waiting(pair.ours) > 0) {
        size_t piece = std::min(stream.size() - at, (size_t)1 + pick.below(700));
        fuzz_feed(pair.peer, stream.data() + at, piece);
        at += piece;
        for (;;) {
            int final = -1;
            int64_t got = ws_read(&reader, dest, 1 + pick.below(sizeof dest), &final);
            fuzz_drain(pair.peer, &written);
            if (got == -1)
                abort();  // well-formed frames never end the connection
            if (got == -2)
                break;
            current.append((const char*)dest, (size_t)got);
            if (final == 1) {
                got_texts.push_back(current);
                current.clear();
            } else if (got == 0 && fuzz_waiting(pair.ours) == 0) {
                break;
            }
        }
    }
    if (got_texts != texts || !current.empty() || written != pongs)
        abort();
    fuzz_close(&reader.connection);
    fuzz_close(&pair.peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        structured(in);
    else
        raw(in);
    return 0;
}
