// The message protocol over a real socket pair, without a child or an X server: the
// pump's gathering, dispatch and dropping, and the two senders.
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <bit>
#include <string>
#include <vector>

#include "editor/editor_link_record.h"
#include "ws_peer.h"

namespace {

struct recorded {
    char kind;
    uint32_t index;
    uint32_t bits;
};

std::vector<recorded> edits;
std::vector<std::string> texts;

void record(char kind, uint32_t index, float value) { edits.push_back({kind, index, std::bit_cast<uint32_t>(value)}); }

class Messages : public ::testing::Test {
protected:
    void SetUp() override
    {
        edits.clear();
        texts.clear();
        int ws[2], side[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ws), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, side), 0);
        link = (editor_link*)calloc(1, sizeof *link);
        ws_reader_init(&link->reader, ws[0]);
        client = ws[1];
        link->side_channel = side[0];
        side_peer = side[1];
        link->param_count = 6;
        link->param_mirror = (float*)calloc(6, sizeof(float));
        link->config.on_param_begin = [](void*, uint32_t i, float v) { record('b', i, v); };
        link->config.on_param_set = [](void*, uint32_t i, float v) { record('s', i, v); };
        link->config.on_param_end = [](void*, uint32_t i, float v) { record('e', i, v); };
        link->on_text = [](editor_link* l, const char* text) {
            texts.push_back(text);
            // The handler may answer on the same link while the pump is running.
            editor_link_send_text(l, "reply");
        };
    }
    void TearDown() override
    {
        if (link->reader.connection >= 0)
            close(link->reader.connection);
        close(link->side_channel);
        close(side_peer);
        close(client);
        free(link->message);
        free(link->param_mirror);
        free(link);
    }
    void send(const std::string& text) { write_all(client, client_text(text)); }
    std::vector<std::string> sent_texts()
    {
        std::vector<std::string> out;
        bytes got = read_available(client);
        size_t at = 0;
        while (at + 2 <= got.size()) {
            EXPECT_EQ(got[at], 0x81);
            uint64_t n = got[at + 1];
            at += 2;
            if (n == 126) {
                n = (uint64_t)got[at] << 8 | got[at + 1];
                at += 2;
            }
            out.emplace_back(got.begin() + (long)at, got.begin() + (long)(at + n));
            at += n;
        }
        return out;
    }

    editor_link* link = nullptr;
    int client = -1;
    int side_peer = -1;
};

TEST_F(Messages, MalformedAndUnknownMessagesAreIgnored)
{
    const char* ignored[] = {
        "s 6 42c80000",   // index beyond the table
        "s 0",            // one number
        "s",              // kind alone
        "b zz 1",         // not hex
        "s 1 7fc00000",   // a NaN
        "e 2 ffc00001",   // another NaN
        "x 0 42c80000",   // unknown kind
        "",               // empty message
        "q",              // one character other than g
    };
    for (const char* m : ignored)
        send(m);
    // Well-formed: hex with or without leading zeros, in either case (42c80000 is 100.0).
    send("b 00000002 42C80000");
    send("e 5 3f000000");
    editor_link_pump(link);
    ASSERT_EQ(edits.size(), 2u) << "only the well-formed messages count";
    EXPECT_EQ(edits[0].kind, 'b');
    EXPECT_EQ(edits[0].index, 2u);
    EXPECT_EQ(edits[0].bits, 0x42c80000u);
    EXPECT_EQ(edits[1].kind, 'e');
    EXPECT_EQ(edits[1].index, 5u);
    EXPECT_EQ(edits[1].bits, 0x3f000000u);
    for (int i : {0, 1, 3, 4}) {
        EXPECT_EQ(link->param_mirror[i], 0.0f) << i;
    }
    EXPECT_TRUE(sent_texts().empty());
}

TEST_F(Messages, ParameterNumbersAreStrictHexThatFitsThirtyTwoBits)
{
    // Each number is hex digits only, leading zeros allowed, at most 32 bits of value,
    // with one blank between the two and nothing after them.
    const std::string ignored[] = {
        "s 100000000 42480000",    // index beyond 32 bits (would wrap to 0)
        "s 0 142480000",           // value beyond 32 bits (would lose its top digit)
        "s fffffffff 0",           // nine f's
        "s 0 42480000x",           // trailing junk
        "s 0 42480000 ",           // trailing blank
        "s 0 42480000\n",          // trailing line feed
        std::string("s 0 42480000\0junk", 17),  // junk behind a NUL
        "s 0  42480000",           // two blanks between
        "s  0 42480000",           // blank before the index
        "s 0\t42480000",           // tab between
        "s 0x0 42480000",          // C prefix
        "s +0 42480000",           // signs
        "s 0 -1",
        "s 0 ",                    // no value
        "s  ",
        "b 3",
        "e 00000005",
    };
    // Well-formed messages, random values spelt with random leading zeros and case,
    // interleaved with the ignored ones: exactly these arrive, in order.
    srand(12);
    std::vector<recorded> expected;
    bytes frames;  // one write: hundreds of small ones would fill the socket's buffer
    auto add = [&](const std::string& text) {
        bytes frame = client_text(text);
        frames.insert(frames.end(), frame.begin(), frame.end());
    };
    for (int round = 0; round < 300; round++) {
        add(ignored[round % std::size(ignored)]);
        uint32_t index = (uint32_t)(rand() % 6);
        uint32_t bits = (uint32_t)rand() << 16 ^ (uint32_t)rand();
        if (isnan(std::bit_cast<float>(bits)))
            continue;
        char kind = "bse"[round % 3];
        auto spell = [](uint32_t n) {
            char text[16];
            snprintf(text, sizeof text, rand() % 2 ? "%x" : "%X", n);
            return std::string((size_t)(rand() % 10), '0') + text;
        };
        add(std::string(1, kind) + " " + spell(index) + " " + spell(bits));
        expected.push_back({kind, index, bits});
    }
    write_all(client, frames);
    editor_link_pump(link);
    ASSERT_EQ(edits.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(edits[i].kind, expected[i].kind);
        EXPECT_EQ(edits[i].index, expected[i].index);
        EXPECT_EQ(edits[i].bits, expected[i].bits);
    }
}

TEST_F(Messages, APingFloodIsSpreadOverTicks)
{
    // A peer that pings as fast as it can while reading every pong, for 1.5 s: each tick
    // keeps to its budget and leaves the rest waiting in the socket for the next one.
    link->pump_budget_ns = editor_pump_budget_ns;
    // The peer's reads and writes never block, so it can always be told to stop.
    fcntl(client, F_SETFL, O_NONBLOCK);
    std::atomic<bool> flooding{true}, reading{true};
    std::atomic<uint64_t> pong_bytes{0};
    std::thread peer([&] {
        bytes batch;
        for (int i = 0; i < 64; i++) {
            bytes ping = client_frame(0x89, to_bytes("0123456789"));
            batch.insert(batch.end(), ping.begin(), ping.end());
        }
        size_t at = 0;
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (reading) {
            pollfd p = {client, (short)(POLLIN | (flooding ? POLLOUT : 0)), 0};
            poll(&p, 1, 10);
            uint8_t buffer[65536];
            ssize_t n = read(client, buffer, sizeof buffer);
            if (n > 0)
                pong_bytes += (uint64_t)n;
            if (!flooding || !(p.revents & POLLOUT))
                continue;
            // Partial writes resume inside the batch, so frames stay whole; the flood
            // ends on a frame boundary.
            n = write(client, batch.data() + at, batch.size() - at);
            if (n > 0)
                at = (at + (size_t)n) % batch.size();
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >= 1500 && at == 0)
                flooding = false;
        }
    });
    double longest = 0;
    int ticks = 0;
    auto tick = [&] {
        timespec before, after;
        clock_gettime(CLOCK_MONOTONIC, &before);
        editor_link_pump(link);
        clock_gettime(CLOCK_MONOTONIC, &after);
        double took = (double)(after.tv_sec - before.tv_sec) + (double)(after.tv_nsec - before.tv_nsec) * 1e-9;
        longest = std::max(longest, took);
        ticks++;
    };
    while (flooding) {
        tick();
        usleep(1000);
    }
    EXPECT_LT(longest, 0.1) << "one tick held the thread for " << longest << " s";
    EXPECT_GT(ticks, 20);
    EXPECT_GT(pong_bytes, 0u) << "the pings were answered meanwhile";

    // The pings left over are answered on the following ticks, then a message arrives.
    int waiting = 1;
    for (int i = 0; i < 5000 && waiting > 0; i++) {
        tick();
        ioctl(link->reader.connection, FIONREAD, &waiting);
    }
    EXPECT_EQ(waiting, 0);
    send("s 3 42c80000");
    for (int i = 0; i < 100 && edits.empty(); i++)
        tick();
    reading = false;
    peer.join();
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].index, 3u);
    EXPECT_LT(longest, 0.1);
}

TEST_F(Messages, SendParamIgnoresIndicesOutsideTheTable)
{
    editor_link_send_param(link, 6, 1.0f);
    editor_link_send_param(link, 0xFFFFFFFFu, 1.0f);
    EXPECT_TRUE(sent_texts().empty());
}

TEST_F(Messages, NewsTextsReachTheTextHandlerWithoutTheKind)
{
    send("m tidelV1 init 0123456789abcdef");
    send("m");
    editor_link_pump(link);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "tidelV1 init 0123456789abcdef");
    EXPECT_EQ(texts[1], "");
    EXPECT_EQ(sent_texts(), (std::vector<std::string>{"m reply", "m reply"}));
}

TEST_F(Messages, SendTextFramesTwoHundredCharactersWithA16BitLength)
{
    std::string text(200, 'n');
    editor_link_send_text(link, text.c_str());
    bytes got = read_available(client);
    // 202 payload bytes ("m " and the text) need the 16-bit form: 126, 0x00, 0xCA.
    bytes expected = to_bytes("m " + text);
    expected.insert(expected.begin(), {0x81, 126, 0x00, 0xCA});
    EXPECT_EQ(got, expected);
}

TEST_F(Messages, ALongMessageGrowsTheBufferAndArrivesOnce)
{
    std::string text = "m " + std::string(298, 'x');
    bytes frame = client_text(text);
    // Header (4 bytes for the 16-bit length) and key (4) and the first 200 bytes.
    write_all(client, bytes(frame.begin(), frame.begin() + 208));
    editor_link_pump(link);
    EXPECT_TRUE(texts.empty());
    EXPECT_EQ(link->message_length, 200u);
    EXPECT_EQ(link->message_capacity, 256u);  // 128, doubled once
    write_all(client, bytes(frame.begin() + 208, frame.end()));
    editor_link_pump(link);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], std::string(298, 'x'));
    EXPECT_EQ(link->message_length, 0u) << "each message starts in a fresh buffer";
    EXPECT_LE(link->message_capacity, 128u);
}

bytes joined(std::initializer_list<bytes> frames)
{
    bytes all;
    for (const bytes& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

TEST_F(Messages, FragmentedMessagesAreJoined)
{
    write_all(client, joined({client_frame(0x01, to_bytes("s 3 ")), client_frame(0x80, to_bytes("42c80000"))}));
    editor_link_pump(link);
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].index, 3u);
    EXPECT_EQ(edits[0].bits, 0x42c80000u);
}

TEST_F(Messages, EmptyFragmentsDoNotHoldBackWhatIsWaiting)
{
    // Empty first and middle fragments carry nothing, yet the frames behind them are
    // already here: both messages are handled in this one tick.
    write_all(client, joined({client_frame(0x01, {}), client_frame(0x00, to_bytes("s 1 ")),
                              client_frame(0x00, {}), client_frame(0x80, to_bytes("41200000")),
                              client_text("s 2 41a00000")}));
    editor_link_pump(link);
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_EQ(edits[0].index, 1u);
    EXPECT_EQ(edits[0].bits, 0x41200000u);  // 10.0
    EXPECT_EQ(edits[1].index, 2u);
    EXPECT_EQ(edits[1].bits, 0x41a00000u);  // 20.0

    // The same while a message is being dropped: the drop ends within this tick (the
    // end of a dropped message ends the tick's reading), the next message comes next tick.
    edits.clear();
    link->discard = 1;
    write_all(client, joined({client_frame(0x01, to_bytes("m dro")), client_frame(0x00, {}),
                              client_frame(0x80, to_bytes("pped")), client_text("s 0 42c80000")}));
    editor_link_pump(link);
    EXPECT_EQ(link->discard, 0);
    EXPECT_TRUE(edits.empty());
    editor_link_pump(link);
    EXPECT_TRUE(texts.empty()) << "the dropped message never reaches the handler";
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].bits, 0x42c80000u);
}

TEST_F(Messages, AnOversizedMessageIsDroppedWholeAcrossTicks)
{
    // Past the 1 MiB limit the message is dropped; the one after it is handled.
    std::string huge = "m " + std::string(3u << 20, 'h');
    bytes frame = client_text(huge);
    bytes next = client_text("s 0 42c80000");
    frame.insert(frame.end(), next.begin(), next.end());
    // A writer thread: the frame is larger than the socket buffer.
    pid_t writer = fork();
    if (writer == 0) {
        write_all(client, frame);
        _exit(0);
    }
    for (int tick = 0; tick < 2000 && edits.empty(); tick++) {
        editor_link_pump(link);
        usleep(1000);
        EXPECT_LE(link->message_capacity, 1u << 20);
    }
    waitpid(writer, nullptr, 0);
    EXPECT_TRUE(texts.empty()) << "the oversized message never reaches the handler";
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].bits, 0x42c80000u);
    EXPECT_EQ(link->discard, 0);
}

TEST_F(Messages, APeerStoppingMidMessageDoesNotHoldTheTick)
{
    bytes frame = client_text("s 0 42c80000");
    write_all(client, bytes(frame.begin(), frame.begin() + 10));
    editor_link_pump(link);  // must return although the message is incomplete
    EXPECT_TRUE(edits.empty());
    write_all(client, bytes(frame.begin() + 10, frame.end()));
    editor_link_pump(link);
    ASSERT_EQ(edits.size(), 1u);
}

TEST_F(Messages, AClosedConnectionDropsThePartialMessageAndStaysQuiet)
{
    bytes frame = client_text("s 0 42c80000");
    write_all(client, bytes(frame.begin(), frame.begin() + 10));
    editor_link_pump(link);
    shutdown(client, SHUT_WR);
    editor_link_pump(link);
    EXPECT_TRUE(edits.empty());
    EXPECT_EQ(link->message, nullptr);
    EXPECT_EQ(link->reader.connection, -1);
    editor_link_pump(link);
    // Sending to the closed connection is silent and still updates the mirror.
    editor_link_send_param(link, 1, 7.0f);
    EXPECT_EQ(link->param_mirror[1], 7.0f);
}

}  // namespace
