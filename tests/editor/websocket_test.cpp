// The WebSocket server over real socket pairs: handshake, every reader state and
// transition, every protocol error with its exact close frame, and the frame writers.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "editor/websocket.h"
#include "ws_peer.h"

namespace {

class WebSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader = std::make_unique<ws_reader>();
        ws_reader_init(reader.get(), fds[0]);
        client = fds[1];
    }
    void TearDown() override
    {
        if (reader->connection >= 0)
            close(reader->connection);
        close(client);
    }
    // One ws_read into `dest`, recording the result and the out-flag.
    int64_t read_once(size_t capacity = sizeof dest)
    {
        final = -7;
        return ws_read(reader.get(), dest, capacity, &final);
    }
    std::string text(int64_t n) const { return std::string((const char*)dest, (size_t)n); }

    std::unique_ptr<ws_reader> reader;
    int client = -1;
    uint8_t dest[1024];
    int final = -7;
};

// How many bytes arrive before 200 ms pass without any or the stream ends.
size_t bytes_until_quiet(int fd)
{
    size_t received = 0;
    for (;;) {
        bytes more = read_available(fd, 200);
        if (more.empty())
            return received;
        received += more.size();
    }
}

// ---- handshake ----

std::string upgrade_request(const std::string& key_line)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           key_line + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

TEST_F(WebSocket, HandshakeAnswersWithTheRfcAcceptValue)
{
    // Key and accept value: the worked example of RFC 6455, section 1.3.
    write_all(client, to_bytes(upgrade_request("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==")));
    ASSERT_EQ(ws_handshake(reader.get(), 1000), 0);
    bytes reply = read_available(client);
    EXPECT_EQ(std::string(reply.begin(), reply.end()),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_GE(reader->connection, 0);
}

TEST_F(WebSocket, HandshakeFindsTheKeyLineIgnoringCaseAndBlanks)
{
    write_all(client, to_bytes(upgrade_request("sec-websocket-key:\t  dGhlIHNhbXBsZSBub25jZQ==")));
    ASSERT_EQ(ws_handshake(reader.get(), 1000), 0);
    bytes reply = read_available(client);
    EXPECT_NE(std::string(reply.begin(), reply.end()).find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
              std::string::npos);
}

struct bad_request {
    const char* name;
    std::string request;
};

// The request goes to a fresh connection: the handshake must fail and close it.
void expect_refused(ws_reader* reader, const bad_request& c)
{
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ws_reader_init(reader, fds[0]);
    write_all(fds[1], to_bytes(c.request));
    if (c.request.empty())
        shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(ws_handshake(reader, 1000), -1);
    EXPECT_EQ(reader->connection, -1);
    EXPECT_TRUE(peer_closed(fds[1])) << "the connection is closed on failure";
    close(fds[1]);
}

TEST_F(WebSocket, HandshakeRejectsMissingShortOrFirstLineKeys)
{
    const bad_request cases[] = {
        {"no key line", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"key on the request line only", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nHost: x\r\n"},
        {"key of 23 characters", upgrade_request("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=")},
        {"key cut by the line end", "GET / HTTP/1.1\r\nSec-WebSocket-Key: abc\r\nHost: xxxxxxxxxxxxxxxxxxxxxxxx\r\n"},
        {"header name alone at the end", "GET / HTTP/1.1\r\nSec-WebSocket-Key"},
        {"nothing but a close", ""},
    };
    for (const bad_request& c : cases)
        expect_refused(reader.get(), c);
}

TEST_F(WebSocket, HandshakeRefusesBrowserStyleRequests)
{
    // A web page can make a browser send any of these to a port on this machine; only a
    // GET carrying the key among its headers, without an Origin, is the editor program.
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==";
    const bad_request cases[] = {
        {"Origin header", "GET / HTTP/1.1\r\nHost: x\r\nOrigin: http://example.org\r\n" + key + "\r\n\r\n"},
        {"origin in lower case after the key", upgrade_request(key + "\r\norigin:null")},
        {"origin with a blank before the colon", upgrade_request(key + "\r\nORIGIN : x")},
        {"the older drafts' origin", upgrade_request(key + "\r\nSec-WebSocket-Origin: http://a")},
        {"POST with the key line in its body",
         "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 45\r\n\r\n" + key + "\r\n"},
        {"GET with the key line in its body", "GET / HTTP/1.1\r\nHost: x\r\n\r\n" + key + "\r\n\r\n"},
        {"request cut before the empty line", "GET / HTTP/1.1\r\n" + key + "\r\nHost: x\r\n"},
        {"other method", "OPTIONS / HTTP/1.1\r\n" + key + "\r\n\r\n"},
        {"method in lower case", "get / HTTP/1.1\r\n" + key + "\r\n\r\n"},
    };
    for (const bad_request& c : cases)
        expect_refused(reader.get(), c);

    // A header whose name merely begins like Origin is no Origin; bare line feeds end
    // the header section as well as CR LF does.
    for (const std::string& request : {upgrade_request(key + "\r\nOriginal-Thing: 1"),
                                       "GET / HTTP/1.1\n" + key + "\n\n"}) {
        SCOPED_TRACE(request);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ws_reader_init(reader.get(), fds[0]);
        write_all(fds[1], to_bytes(request));
        EXPECT_EQ(ws_handshake(reader.get(), 1000), 0);
        bytes reply = read_available(fds[1]);
        EXPECT_NE(std::string(reply.begin(), reply.end()).find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
                  std::string::npos);
        close(fds[0]);
        close(fds[1]);
    }
    reader->connection = -1;
}

TEST_F(WebSocket, HandshakeReadsOnceAndWaitsABoundedTime)
{
    // The key line arrives after the first read: the request is incomplete and fails.
    write_all(client, to_bytes("GET / HTTP/1.1\r\nHost: x\r\n"));
    pid_t late = fork();
    if (late == 0) {
        usleep(300000);
        write_all(client, to_bytes("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"));
        _exit(0);
    }
    EXPECT_EQ(ws_handshake(reader.get(), 1000), -1);
    waitpid(late, nullptr, 0);

    // A peer that connects and sends nothing fails once the wait runs out.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ws_reader_init(reader.get(), fds[0]);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(ws_handshake(reader.get(), 200), -1);
    clock_gettime(CLOCK_MONOTONIC, &end);
    double waited = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9;
    EXPECT_LT(waited, 5.0) << "the silent peer must not hold the thread";
    EXPECT_EQ(reader->connection, -1);
    close(fds[1]);
}

// ---- text messages ----

TEST_F(WebSocket, DeliversAMaskedTextFrameWholeInOneCall)
{
    write_all(client, client_text("s 00000000 42480000"));
    ASSERT_EQ(read_once(), 19);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(text(19), "s 00000000 42480000");
    EXPECT_EQ(reader->state, ws_header);
    EXPECT_EQ(read_once(), -2) << "nothing more is waiting";
}

TEST_F(WebSocket, JoinsAFragmentedTextMessage)
{
    bytes frames = client_frame(0x01, to_bytes("m tid"));
    bytes middle = client_frame(0x00, to_bytes("elV1 "));
    bytes last = client_frame(0x80, to_bytes("init abc"));
    frames.insert(frames.end(), middle.begin(), middle.end());
    frames.insert(frames.end(), last.begin(), last.end());
    write_all(client, frames);

    std::string joined;
    for (int call = 0; call < 10 && final != 1; call++) {
        int64_t n = read_once();
        ASSERT_GE(n, 0);
        if (final != 1) {
            EXPECT_EQ(final, 0);
        }
        joined += text(n);
    }
    EXPECT_EQ(final, 1);
    EXPECT_EQ(joined, "m tidelV1 init abc");
    EXPECT_EQ(reader->state, ws_header);
}

TEST_F(WebSocket, FillsASmallDestinationAcrossCallsKeepingTheMaskPosition)
{
    // 10 payload bytes through a 3-byte destination: the mask key index must carry over.
    write_all(client, client_text("0123456789"));
    std::string got;
    int calls = 0;
    for (; calls < 10 && final != 1; calls++) {
        int64_t n = read_once(3);
        ASSERT_GE(n, 0);
        got += text(n);
    }
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(calls, 4);  // 3 + 3 + 3 + 1 bytes
}

TEST_F(WebSocket, ReadsSixteenAndSixtyFourBitLengths)
{
    std::string medium(300, 'x');
    medium[299] = 'y';
    write_all(client, client_frame(0x81, to_bytes(medium), true, 126));
    ASSERT_EQ(read_once(), 300);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(text(300), medium);

    write_all(client, client_frame(0x81, to_bytes("short in long form"), true, 127));
    ASSERT_EQ(read_once(), 18);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(text(18), "short in long form");
}

TEST_F(WebSocket, AssemblesAHeaderArrivingOneByteAtATime)
{
    bytes frame = client_text("g");
    // Header (2), masking key (4): every call before the payload reports "no data".
    for (size_t i = 0; i + 1 < frame.size(); i++) {
        write_all(client, bytes{frame[i]});
        EXPECT_EQ(read_once(), i < 5 ? -2 : 0) << "byte " << i;
    }
    write_all(client, bytes{frame.back()});
    ASSERT_EQ(read_once(), 1);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(dest[0], 'g');
}

TEST_F(WebSocket, PayloadWaitingMidMessageReturnsZeroWithoutTheFlag)
{
    bytes frame = client_text("abcdef");
    write_all(client, bytes(frame.begin(), frame.begin() + 9));  // header, key, 3 bytes
    ASSERT_EQ(read_once(), 3);
    EXPECT_EQ(final, 0);
    EXPECT_EQ(text(3), "abc");
    EXPECT_EQ(read_once(), 0);
    EXPECT_EQ(final, 0);
    write_all(client, bytes(frame.begin() + 9, frame.end()));
    ASSERT_EQ(read_once(), 3);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(text(3), "def");
}

TEST_F(WebSocket, PeerClosingDuringPayloadClosesTheReader)
{
    // The bytes that arrived come out first; the end of file shows on the next call.
    bytes frame = client_text("abcdef");
    write_all(client, bytes(frame.begin(), frame.begin() + 8));
    shutdown(client, SHUT_WR);
    ASSERT_EQ(read_once(), 2);
    EXPECT_EQ(final, 0);
    EXPECT_EQ(text(2), "ab");
    EXPECT_EQ(read_once(), -1);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(reader->connection, -1);
    EXPECT_EQ(read_once(), -1) << "a closed reader stays closed";
}

TEST_F(WebSocket, PeerClosingInsideAHeaderClosesTheReader)
{
    write_all(client, bytes{0x81});
    shutdown(client, SHUT_WR);
    EXPECT_EQ(read_once(), -2);
    EXPECT_EQ(read_once(), -1);
    EXPECT_EQ(reader->connection, -1);
}

TEST_F(WebSocket, ReadFailureOtherThanWouldBlockLeavesTheConnectionOpen)
{
    // recv on a pipe fails with ENOTSOCK: reported as -1, the descriptor kept.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(reader->connection);
    ws_reader_init(reader.get(), pipe_fds[0]);
    EXPECT_EQ(read_once(), -1);
    EXPECT_EQ(reader->connection, pipe_fds[0]);
    close(pipe_fds[1]);
}

// ---- control frames ----

TEST_F(WebSocket, AnswersAPingWithAnUnmaskedPongAndGoesOn)
{
    bytes frames = client_frame(0x89, to_bytes("abc"));
    bytes next = client_text("g");
    frames.insert(frames.end(), next.begin(), next.end());
    write_all(client, frames);
    ASSERT_EQ(read_once(), 1);
    EXPECT_EQ(dest[0], 'g');
    EXPECT_EQ(read_available(client), (bytes{0x8A, 0x03, 'a', 'b', 'c'}));
}

TEST_F(WebSocket, AnswersAPingOfFullControlLengthArrivingInPieces)
{
    std::string payload(125, 'p');
    payload[0] = 'A';
    payload[124] = 'Z';
    bytes frame = client_frame(0x89, to_bytes(payload));
    write_all(client, bytes(frame.begin(), frame.begin() + 40));
    EXPECT_EQ(read_once(), -2);
    write_all(client, bytes(frame.begin() + 40, frame.end()));
    EXPECT_EQ(read_once(), -2);
    bytes expected = to_bytes(payload);
    expected.insert(expected.begin(), {0x8A, 125});
    EXPECT_EQ(read_available(client), expected);
    EXPECT_EQ(reader->state, ws_header);
}

TEST_F(WebSocket, AnswersACloseWithAnEmptyCloseAndCloses)
{
    write_all(client, client_frame(0x88, bytes{0x03, 0xE8}));
    EXPECT_EQ(read_once(), -1);
    EXPECT_EQ(reader->connection, -1);
    EXPECT_EQ(read_available(client), (bytes{0x88, 0x00}));
    EXPECT_TRUE(peer_closed(client));
}

TEST_F(WebSocket, DropsPongsReservedControlsAndNonTextDataMessages)
{
    bytes frames;
    auto add = [&](const bytes& f) { frames.insert(frames.end(), f.begin(), f.end()); };
    add(client_frame(0x8A, to_bytes("pong")));           // pong
    add(client_frame(0x8B, to_bytes("r")));              // reserved control opcode
    add(client_frame(0x82, bytes(300, 0xEE), true));      // binary, 16-bit length
    add(client_frame(0x02, bytes(10, 1)));                // binary, fragmented ...
    add(client_frame(0x00, bytes(20, 2)));
    add(client_frame(0x81, bytes(5, 3)));                 // ... the last header not examined
    add(client_frame(0x87, bytes(9000, 4)));              // data opcode 7, beyond one scratch
    add(client_text("after"));
    write_all(client, frames);
    ASSERT_EQ(read_once(), 5);
    EXPECT_EQ(final, 1);
    EXPECT_EQ(text(5), "after");
    EXPECT_TRUE(read_available(client).empty()) << "dropped frames get no answer";
}

TEST_F(WebSocket, ResumesADroppedPayloadOnALaterCall)
{
    bytes frame = client_frame(0x82, bytes(100, 9));
    write_all(client, bytes(frame.begin(), frame.begin() + 50));
    EXPECT_EQ(read_once(), -2);
    EXPECT_EQ(reader->state, ws_skip_payload);
    write_all(client, bytes(frame.begin() + 50, frame.end()));
    write_all(client, client_text("ok"));
    ASSERT_EQ(read_once(), 2);
    EXPECT_EQ(text(2), "ok");
}

// ---- protocol errors ----

struct protocol_case {
    const char* name;
    bytes input;
    std::string reason;
    size_t frame_size;
};

TEST_F(WebSocket, ProtocolErrorsSendTheirCloseFrameAndClose)
{
    bytes continuation_unmasked = client_frame(0x01, to_bytes("ab"));
    bytes unmasked_tail = client_frame(0x80, to_bytes("c"), false);
    continuation_unmasked.insert(continuation_unmasked.end(), unmasked_tail.begin(), unmasked_tail.end());
    bytes continuation_text = client_frame(0x01, to_bytes("ab"));
    bytes text_again = client_text("c");
    continuation_text.insert(continuation_text.end(), text_again.begin(), text_again.end());
    bytes continuation_ping = client_frame(0x01, to_bytes("ab"));
    bytes ping = client_frame(0x89, to_bytes("p"));
    continuation_ping.insert(continuation_ping.end(), ping.begin(), ping.end());
    bytes continuation_rsv = client_frame(0x01, to_bytes("ab"));
    bytes rsv = client_frame(0x40 | 0x80, to_bytes("c"));
    continuation_rsv.insert(continuation_rsv.end(), rsv.begin(), rsv.end());
    bytes long_msb = {0x81, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1};

    // Frame sizes: 2 header bytes + 2 status bytes + the reason without its period.
    const protocol_case cases[] = {
        {"unmasked frame", client_frame(0x81, to_bytes("hi"), false),
         "Protocol error. Missing masking key", 39},
        {"unfinished control frame", client_frame(0x09, to_bytes("p")),
         "Protocol error. Control frame must be final", 47},
        {"control frame with 16-bit length", client_frame(0x89, to_bytes("p"), true, 126),
         "Protocol error. Bad payload length", 38},
        {"close frame with 64-bit length", client_frame(0x88, bytes{}, true, 127),
         "Protocol error. Bad payload length", 38},
        {"continuation with nothing open", client_frame(0x80, to_bytes("x")),
         "Protocol error. Continuation frame but nothing to continue", 62},
        {"64-bit length with the top bit", long_msb,
         "Protocol error. 64 bits payload length with MSB=1", 53},
        {"unmasked continuation", continuation_unmasked, "Protocol error. Missing masking key", 39},
        {"text when a continuation is due", continuation_text,
         "Protocol error. Continuation frame was expected", 51},
        {"ping when a continuation is due", continuation_ping,
         "Protocol error. Continuation frame was expected", 51},
        {"continuation with a reserved bit", continuation_rsv,
         "Protocol error. Continuation frame was expected", 51},
    };
    for (const protocol_case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        write_all(client, c.input);
        int64_t n = 0;
        for (int call = 0; call < 5 && n >= 0; call++)
            n = read_once();
        EXPECT_EQ(n, -1);
        EXPECT_EQ(reader->connection, -1);
        bytes answer = read_available(client);
        EXPECT_EQ(answer, protocol_close(c.reason));
        EXPECT_EQ(answer.size(), c.frame_size);
        EXPECT_TRUE(peer_closed(client));
    }
}

// ---- writers ----

TEST_F(WebSocket, TextFramesUseTheShortestLengthForm)
{
    for (size_t n : {(size_t)0, (size_t)125, (size_t)126, (size_t)65535, (size_t)65536}) {
        SCOPED_TRACE(n);
        std::string payload(n, 'q');
        if (n)
            payload[n - 1] = 'e';
        ws_send_text(reader.get(), payload.data(), payload.size());
        bytes expected = server_text(payload);
        bytes got;
        while (got.size() < expected.size()) {
            bytes more = read_available(client, 100);
            if (more.empty())
                break;
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_EQ(got, expected);
    }
}

TEST_F(WebSocket, CloseFramesWithAndWithoutStatus)
{
    ws_close(reader.get(), 1000, nullptr);
    EXPECT_EQ(read_available(client), (bytes{0x88, 0x02, 0x03, 0xE8}));
    EXPECT_EQ(reader->connection, -1);
    ws_close(reader.get(), 1000, nullptr);  // closed: nothing happens
}

TEST_F(WebSocket, WritingToAGonePeerIsSilentAndRaisesNoSignal)
{
    // SIGPIPE keeps its default action here: a write that raised it would end the test.
    signal(SIGPIPE, SIG_DFL);
    close(client);
    client = -1;
    ws_send_text(reader.get(), "s 00000000 42480000", 19);
    ws_close(reader.get(), 1002, "Protocol error. Missing masking key.");
    EXPECT_EQ(reader->connection, -1);
}

TEST_F(WebSocket, APeerThatStopsReadingIsGivenUpInsteadOfHoldingTheSender)
{
    // The link sets this time-out on its connection; the peer here never reads.
    struct timeval timeout = {0, 50 * 1000};
    ASSERT_EQ(setsockopt(reader->connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout), 0);
    std::string payload(64 * 1024, 'x');
    int frames = 0;
    while (reader->connection >= 0 && frames < 10000) {
        ws_send_text(reader.get(), payload.data(), payload.size());
        frames++;
    }
    // The socket buffer holds a few frames; the first one that cannot go out whole
    // closes the connection, and later sends are dropped without waiting.
    EXPECT_EQ(reader->connection, -1);
    EXPECT_LT(frames, 10000);
    ws_send_text(reader.get(), "s 00000000 42480000", 19);
    EXPECT_EQ(reader->connection, -1);
    // The peer sees whole frames and then the end of the stream, never a hang.
    size_t received = bytes_until_quiet(client);
    EXPECT_GT(received, 0u);
    EXPECT_TRUE(peer_closed(client));
}

TEST_F(WebSocket, APeerThatPingsWithoutReadingIsGivenUp)
{
    // Pongs obey the same send time-out as text frames; this peer never reads them.
    struct timeval timeout = {0, 50 * 1000};
    ASSERT_EQ(setsockopt(reader->connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout), 0);
    bytes ping = client_frame(0x89, bytes(125, 'p'));
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int64_t n = -2;
    for (int pings = 0; reader->connection >= 0 && pings < 100000; pings++) {
        write_all(client, ping);
        n = read_once();
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 5)
            break;
    }
    EXPECT_EQ(reader->connection, -1) << "the connection is given up";
    EXPECT_EQ(n, -1);
    // Whole pongs of 127 bytes (header 2, payload 125), then the end of the stream.
    size_t received = bytes_until_quiet(client);
    EXPECT_GT(received, 0u);
    EXPECT_EQ(received % 127, 0u);
    EXPECT_TRUE(peer_closed(client));
}

}  // namespace
