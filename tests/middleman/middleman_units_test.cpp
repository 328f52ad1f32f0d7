// middleman's pieces on their own: the handshake arithmetic, WebSocket frames over a
// real loopback connection, value texts, gestures and the news client's decisions.
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <X11/keysym.h>

#include "editor/ws_accept.h"
#include "editor_model.h"
#include "news_client.h"
#include "param_display.h"
#include "text_field.h"
#include "typed_value.h"
#include "ws_client.h"

namespace {

TEST(Handshake, RequestAndReplyChecks)
{
    uint8_t random[16];
    for (int i = 0; i < 16; i++)
        random[i] = (uint8_t)(i * 37 + 1);
    char key[25];
    ws_make_key(random, key);
    EXPECT_EQ(strlen(key), 24u);
    char req[512];
    size_t n = ws_build_request(req, sizeof req, 40123, key);
    std::string r(req, n);
    EXPECT_EQ(r.find("GET / HTTP/1.1\r\n"), 0u);
    EXPECT_NE(r.find("\r\nSec-WebSocket-Key: " + std::string(key) + "\r\n"), std::string::npos);
    EXPECT_NE(r.find("\r\nHost: 127.0.0.1:40123\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(r.size() - 4), "\r\n\r\n");
    EXPECT_EQ(ws_build_request(req, 40, 40123, key), 0u) << "too small a buffer";

    const char* k = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string good = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_EQ(ws_check_response(good.data(), good.size(), k), (long)good.size());
    std::string with_frame = good + "\x81\x02hi";
    EXPECT_EQ(ws_check_response(with_frame.data(), with_frame.size(), k), (long)good.size());
    EXPECT_EQ(ws_check_response(good.data(), good.size() - 2, k), 0) << "incomplete";
    std::string lower = "HTTP/1.1 101 OK\r\nsec-websocket-accept:s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_GT(ws_check_response(lower.data(), lower.size(), k), 0);
    std::string wrong = good;
    wrong[wrong.find("xOo=")] = 'y';
    EXPECT_EQ(ws_check_response(wrong.data(), wrong.size(), k), -1);
    std::string refused = "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Accept: "
                          "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_EQ(ws_check_response(refused.data(), refused.size(), k), -1);
    std::string missing = "HTTP/1.1 101 Switching Protocols\r\n\r\n";
    EXPECT_EQ(ws_check_response(missing.data(), missing.size(), k), -1);
}

TEST(Frames, ClientFramesAreMaskedWithTheRightLengthForm)
{
    const uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
    // Lengths at each boundary of the three length forms of RFC 6455 section 5.2.
    const size_t sizes[] = {0, 19, 125, 126, 65535, 65536};
    const size_t headers[] = {6, 6, 6, 8, 8, 14};
    for (int t = 0; t < 6; t++) {
        std::string payload(sizes[t], 'x');
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = (char)(i * 7);
        std::vector<uint8_t> out(payload.size() + 14);
        size_t n = ws_encode_frame(ws_text, payload.data(), payload.size(), mask, out.data());
        ASSERT_EQ(n, headers[t] + sizes[t]) << sizes[t];
        EXPECT_EQ(out[0], 0x81);
        EXPECT_EQ(out[1] & 0x80, 0x80);
        EXPECT_EQ(memcmp(&out[headers[t] - 4], mask, 4), 0);
        bool same = true;
        for (size_t i = 0; i < payload.size(); i++)
            same &= (uint8_t)(out[headers[t] + i] ^ mask[i & 3]) == (uint8_t)payload[i];
        EXPECT_TRUE(same) << sizes[t];
    }
}

TEST(Frames, ServerHeadersAreCheckedAsAClientMust)
{
    ws_frame_header h;
    const uint8_t text[] = {0x81, 0x13};
    EXPECT_EQ(ws_parse_header(text, 2, &h), 1);
    EXPECT_EQ(h.payload_size, 19u);
    EXPECT_EQ(h.header_size, 2u);
    EXPECT_EQ(ws_parse_header(text, 1, &h), 0);
    const uint8_t mid[] = {0x81, 126, 0x01, 0x00};
    EXPECT_EQ(ws_parse_header(mid, 3, &h), 0);
    EXPECT_EQ(ws_parse_header(mid, 4, &h), 1);
    EXPECT_EQ(h.payload_size, 256u);
    const uint8_t big[] = {0x81, 127, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(ws_parse_header(big, 10, &h), 1);
    EXPECT_EQ(h.payload_size, 1ull << 32);
    const uint8_t msb[] = {0x81, 127, 0x80, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ws_parse_header(msb, 10, &h), -1);
    const uint8_t masked[] = {0x81, 0x85};
    EXPECT_EQ(ws_parse_header(masked, 2, &h), -1);
    const uint8_t long_ping[] = {0x89, 126};
    EXPECT_EQ(ws_parse_header(long_ping, 2, &h), -1);
    const uint8_t split_ping[] = {0x09, 0x00};
    EXPECT_EQ(ws_parse_header(split_ping, 2, &h), -1);
    const uint8_t reserved[] = {0xC1, 0x00};
    EXPECT_EQ(ws_parse_header(reserved, 2, &h), -1);
}

// A listening socket on a loopback port the kernel picks, which goes to *port.
int loopback_listener(int backlog, unsigned* port)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, (sockaddr*)&a, sizeof a);
    getsockname(listener, (sockaddr*)&a, &len);
    listen(listener, backlog);
    *port = ntohs(a.sin_port);
    return listener;
}

// A loopback server thread that answers the upgrade correctly and then plays the
// bytes it is given.
struct loop_server {
    int listener = -1;
    int conn = -1;
    unsigned port = 0;
    std::string request;
    std::thread thread;

    void start(const std::string& after_reply = "", bool bad_accept = false)
    {
        listener = loopback_listener(1, &port);
        thread = std::thread([this, after_reply, bad_accept] {
            conn = accept(listener, nullptr, nullptr);
            char buf[2048];
            ssize_t n = read(conn, buf, sizeof buf);
            request.assign(buf, n > 0 ? (size_t)n : 0);
            size_t k = request.find("Sec-WebSocket-Key: ");
            char acc[29] = "AAAAAAAAAAAAAAAAAAAAAAAAAAA=";
            if (k != std::string::npos && !bad_accept)
                ws_accept_for_key(request.c_str() + k + 19, acc);
            std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                                std::string(acc) + "\r\n\r\n" + after_reply;
            send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
        });
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    void send_bytes(const std::string& s) { send(conn, s.data(), s.size(), MSG_NOSIGNAL); }
    // Reads one client frame and returns opcode and unmasked payload.
    bool read_frame(uint8_t* opcode, std::string* payload)
    {
        uint8_t h[14];
        if (recv(conn, h, 2, MSG_WAITALL) != 2 || !(h[1] & 0x80))
            return false;
        *opcode = h[0] & 0x0F;
        uint64_t n = h[1] & 0x7F;
        if (n == 126) {
            recv(conn, h + 2, 2, MSG_WAITALL);
            n = (uint64_t)h[2] << 8 | h[3];
        } else if (n == 127) {
            recv(conn, h + 2, 8, MSG_WAITALL);
            n = 0;
            for (int i = 2; i < 10; i++)
                n = n << 8 | h[i];
        }
        uint8_t mask[4];
        recv(conn, mask, 4, MSG_WAITALL);
        payload->resize((size_t)n);
        if (n && recv(conn, payload->data(), (size_t)n, MSG_WAITALL) != (ssize_t)n)
            return false;
        for (size_t i = 0; i < n; i++)
            (*payload)[i] = (char)((*payload)[i] ^ mask[i & 3]);
        return true;
    }
    ~loop_server()
    {
        join();
        if (conn >= 0)
            close(conn);
        if (listener >= 0)
            close(listener);
    }
};

std::string frame(uint8_t first, const std::string& payload)
{
    std::string out(1, (char)first);
    if (payload.size() < 126) {
        out += (char)payload.size();
    } else if (payload.size() <= 0xFFFF) {
        out += (char)126;
        out += (char)(payload.size() >> 8);
        out += (char)payload.size();
    } else {
        out += (char)127;
        for (int i = 7; i >= 0; i--)
            out += (char)((uint64_t)payload.size() >> (8 * i));
    }
    return out + payload;
}

struct collected {
    std::vector<std::string> texts;
};

void collect(void* context, const char* text, size_t size)
{
    ((collected*)context)->texts.emplace_back(text, size);
}

// Reads from the client until `want` messages arrived or it reports the end.
int read_until(ws_client* c, collected* got, size_t want)
{
    ws_client_sink sink = {got, collect};
    for (int i = 0; i < 200 && got->texts.size() < want; i++) {
        pollfd p = {ws_client_fd(c), POLLIN, 0};
        poll(&p, 1, 10);
        if (ws_client_read(c, &sink) < 0)
            return -1;
    }
    return 0;
}

TEST(Client, DeliversMessagesAnswersPingsAndDropsOversizedOnes)
{
    loop_server s;
    // A frame already behind the handshake reply must not be lost.
    s.start(frame(0x81, "s 00000000 42480000"));
    ws_client* c = ws_client_open(s.port, -1, 2000);
    ASSERT_NE(c, nullptr);
    s.join();
    collected got;
    ASSERT_EQ(read_until(c, &got, 1), 0);
    ASSERT_EQ(got.texts.size(), 1u);
    EXPECT_EQ(got.texts[0], "s 00000000 42480000");

    // A message in three fragments with a ping in between, sent one byte at a time.
    std::string bytes = frame(0x01, "m tidelV1 ") + frame(0x89, "abc") + frame(0x00, "initDone") +
                        frame(0x80, " ");
    for (char b : bytes) {
        s.send_bytes(std::string(1, b));
        ws_client_sink sink = {&got, collect};
        ASSERT_EQ(ws_client_read(c, &sink), 0);
        usleep(200);
    }
    ASSERT_EQ(read_until(c, &got, 2), 0);
    ASSERT_EQ(got.texts.size(), 2u);
    EXPECT_EQ(got.texts[1], "m tidelV1 initDone ");
    uint8_t op;
    std::string payload;
    ASSERT_TRUE(s.read_frame(&op, &payload));
    EXPECT_EQ(op, ws_pong);
    EXPECT_EQ(payload, "abc");

    // A message over the size limit is skipped whole; the next one arrives.
    s.send_bytes(frame(0x81, std::string(ws_max_message + 1, 'z')) + frame(0x82, "bin") +
                 frame(0x81, "g"));
    ASSERT_EQ(read_until(c, &got, 3), 0);
    ASSERT_EQ(got.texts.size(), 3u);
    EXPECT_EQ(got.texts[2], "g");
    EXPECT_TRUE(ws_client_send_text(c, "e 00000005 3f800000", 19) == 0);
    ASSERT_TRUE(s.read_frame(&op, &payload));
    EXPECT_EQ(op, ws_text);
    EXPECT_EQ(payload, "e 00000005 3f800000");

    // The server's close is answered with a close and ends the connection.
    s.send_bytes(std::string("\x88\x02\x03\xe8", 4));
    EXPECT_EQ(read_until(c, &got, 99), -1);
    ASSERT_TRUE(s.read_frame(&op, &payload));
    EXPECT_EQ(op, ws_close);
    EXPECT_EQ(payload, std::string("\x03\xe8", 2));
    EXPECT_EQ(ws_client_send_text(c, "g", 1), -1);
    ws_client_free(c);
}

TEST(Client, RefusesBadServersAndProtocolErrors)
{
    {
        loop_server s;
        s.start("", true);
        EXPECT_EQ(ws_client_open(s.port, -1, 2000), nullptr) << "wrong accept value";
    }
    {
        // A masked frame from the server fails the connection with status 1002.
        loop_server s;
        s.start(std::string("\x81\x81\x01\x02\x03\x04", 6) + "x");
        ws_client* c = ws_client_open(s.port, -1, 2000);
        ASSERT_NE(c, nullptr);
        s.join();
        collected got;
        EXPECT_EQ(read_until(c, &got, 1), -1);
        EXPECT_TRUE(got.texts.empty());
        uint8_t op;
        std::string payload;
        ASSERT_TRUE(s.read_frame(&op, &payload));
        EXPECT_EQ(op, ws_close);
        EXPECT_EQ(payload, std::string("\x03\xea", 2));
        ws_client_free(c);
    }
    {
        // End of stream without a close frame also ends it.
        loop_server s;
        s.start();
        ws_client* c = ws_client_open(s.port, -1, 2000);
        ASSERT_NE(c, nullptr);
        s.join();
        shutdown(s.conn, SHUT_WR);
        collected got;
        EXPECT_EQ(read_until(c, &got, 1), -1);
        ws_client_free(c);
    }
}

TEST(Client, HandshakeWaitEndsOnAbortOrTimeout)
{
    // A server that accepts but never answers.
    unsigned port = 0;
    int l = loopback_listener(4, &port);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    EXPECT_EQ(ws_client_open(port, p[0], 5000), nullptr);
    EXPECT_EQ(ws_client_open(port, -1, 100), nullptr);
    close(p[0]);
    close(p[1]);
    close(l);
}

TEST(Client, AServerThatStopsReadingCannotHoldTheProgramAfterSigterm)
{
    loop_server s;
    s.start();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ws_client* c = ws_client_open(s.port, p[0], 2000);
    ASSERT_NE(c, nullptr);
    s.join();
    ASSERT_EQ(write(p[1], "x", 1), 1); // what the SIGTERM handler does
    // The server reads nothing: once the kernel's buffers are full a send must give
    // up instead of waiting for ever.
    std::string big(1 << 20, 'x');
    int sent = 0;
    while (sent < 256 && ws_client_send_text(c, big.data(), big.size()) == 0)
        sent++;
    EXPECT_LT(sent, 256);
    ws_client_free(c);
    close(p[0]);
    close(p[1]);
}

std::string text_of(int index, double plain)
{
    char out[32];
    return mm_param_text(index, plain, out, sizeof out) < 0 ? "<none>" : std::string(out);
}

TEST(Values, TextsMatchTheHostsDisplay)
{
    // The host's examples: two decimals, truncated, never rounded.
    EXPECT_EQ(text_of(0, 50), "50.00");
    EXPECT_EQ(text_of(4, 100), "100.00");
    EXPECT_EQ(text_of(4, 200), "200.00");
    EXPECT_EQ(text_of(0, 12.3456), "12.34");
    EXPECT_EQ(text_of(0, 0.29), "0.28");
    EXPECT_EQ(text_of(5, 1), "1.00");
    EXPECT_EQ(text_of(0, 0), "0.00");
    EXPECT_EQ(text_of(3, 99.999), "99.99");
    EXPECT_EQ(text_of(4, 7.5), "7.50");
    char small[4];
    EXPECT_EQ(mm_param_text(4, 100, small, sizeof small), -1) << "does not fit";
    EXPECT_EQ(mm_param_text(6, 1, small, sizeof small), -1);
    EXPECT_STREQ(mm_param_name(4), "Volume");
    EXPECT_STREQ(mm_param_unit(0), "%");
    EXPECT_STREQ(mm_param_unit(5), "");
}

struct recorder {
    std::vector<std::string> sent;
    std::vector<std::vector<float>> ended;
    std::vector<std::vector<float>> recalled;
};

void rec_send(void* c, const char* t, size_t n) { ((recorder*)c)->sent.emplace_back(t, n); }
void rec_ended(void* c, const float* v) { ((recorder*)c)->ended.emplace_back(v, v + 6); }
void rec_recall(void* c, const float* v) { ((recorder*)c)->recalled.emplace_back(v, v + 6); }

struct ModelTest : ::testing::Test {
    recorder r;
    editor_model m;
    void SetUp() override
    {
        editor_sink sink = {&r, rec_send, rec_ended};
        model_init(&m, &sink);
    }
};

TEST_F(ModelTest, DragSendsBeginChangesAndEndWithPlainValues)
{
    model_begin(&m, 0, m.values[0]);
    model_drag_start(&m, 200, false);
    // 25 pixels up on a 250-pixel travel: a tenth of Drive's 0..100 range.
    model_drag_to(&m, 175, false);
    model_drag_to(&m, 175, false); // no movement, no message
    model_end(&m);
    ASSERT_EQ(r.sent.size(), 3u);
    EXPECT_EQ(r.sent[0], "b 00000000 42480000"); // 50.0
    EXPECT_EQ(r.sent[1], "s 00000000 42700000"); // 60.0
    EXPECT_EQ(r.sent[2], "e 00000000 42700000");
    ASSERT_EQ(r.ended.size(), 1u);
    EXPECT_EQ(r.ended[0][0], 60.0f);
    EXPECT_EQ(r.ended[0][4], 100.0f);
}

TEST_F(ModelTest, DragIsFineWithShiftClampsAndIgnoresEchoes)
{
    model_begin(&m, 4, m.values[4]);
    model_drag_start(&m, 100, false);
    model_drag_to(&m, 90, false); // 10 px of 250 over Volume's 0..200: +8
    EXPECT_EQ(m.values[4], 108.0f);
    // The host's late echo of the gesture's first value leaves the dragged control
    // alone; other controls still follow the host.
    model_apply_remote(&m, 4, 100.0f);
    EXPECT_EQ(m.values[4], 108.0f);
    model_apply_remote(&m, 0, 75.0f);
    EXPECT_EQ(m.values[0], 75.0f);
    model_drag_to(&m, 85, false);
    EXPECT_EQ(m.values[4], 112.0f);
    // Shift re-anchors and moves ten times slower: 10 px gives 0.8.
    model_drag_to(&m, 85, true);
    model_drag_to(&m, 75, true);
    EXPECT_FLOAT_EQ(m.values[4], 112.8f);
    // Far past the top: clamped at 200, and only one message for it.
    model_drag_to(&m, 75, false);
    size_t before = r.sent.size();
    model_drag_to(&m, -2000, false);
    model_drag_to(&m, -3000, false);
    EXPECT_EQ(m.values[4], 200.0f);
    EXPECT_EQ(r.sent.size(), before + 1);
    model_end(&m);
    EXPECT_EQ(r.sent.back(), "e 00000004 43480000"); // 200.0
}

TEST_F(ModelTest, WheelSwitchAndDefaultAreWholeGestures)
{
    model_wheel(&m, 4, 1, false); // a hundredth of 0..200
    model_wheel(&m, 1, -1, true); // a thousandth of 0..100
    model_wheel(&m, 5, 1, false);
    model_gesture(&m, 0, mm_param_range(0).default_plain);
    std::vector<std::string> want = {
        "b 00000004 42cc0000", "e 00000004 42cc0000", // 102.0
        "b 00000001 4247999a", "e 00000001 4247999a", // 49.9
        "b 00000005 3f800000", "e 00000005 3f800000", // bypass on
        "b 00000000 42480000", "e 00000000 42480000", // Drive's default 50
    };
    EXPECT_EQ(r.sent, want);
    EXPECT_EQ(r.ended.size(), 4u);
}

TEST_F(ModelTest, RecallAppliesOnlyChangedValuesAndReportsOnce)
{
    const float stored[6] = {50, 20, 50, 100, 150, 1};
    model_recall(&m, stored);
    std::vector<std::string> want = {
        "b 00000001 42480000", "s 00000001 41a00000", "e 00000001 41a00000",
        "b 00000004 42c80000", "s 00000004 43160000", "e 00000004 43160000",
        "b 00000005 00000000", "s 00000005 3f800000", "e 00000005 3f800000",
    };
    EXPECT_EQ(r.sent, want);
    ASSERT_EQ(r.ended.size(), 1u);
    EXPECT_EQ(r.ended[0], std::vector<float>(stored, stored + 6));
    r.sent.clear();
    model_recall(&m, stored);
    EXPECT_TRUE(r.sent.empty());
}

TEST_F(ModelTest, PresetIsAGestureOnEveryParameterChangedOrNot)
{
    // Drive and Tone stay, the rest moves: still six gestures, in index order.
    const float preset[6] = {50, 50, 20, 40, 150, 1};
    model_apply_preset(&m, preset);
    ASSERT_EQ(r.sent.size(), 18u);
    for (int i = 0; i < 6; i++) {
        char index[16];
        snprintf(index, sizeof index, " %08x ", i);
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(r.sent[i * 3 + k][0], "bse"[k]) << i;
            EXPECT_EQ(r.sent[i * 3 + k].substr(1, 10), index);
        }
    }
    EXPECT_EQ(r.sent[0], "b 00000000 42480000");
    EXPECT_EQ(r.sent[2], "e 00000000 42480000");
    EXPECT_EQ(r.sent[15], "b 00000005 00000000");
    EXPECT_EQ(r.sent[17], "e 00000005 3f800000");
    ASSERT_EQ(r.ended.size(), 1u);
    EXPECT_EQ(r.ended[0], std::vector<float>(preset, preset + 6));
}

// Keys as a field gets them: keysyms after Shift, with Control or not.
struct key_step {
    unsigned long keysym;
    bool control;
    text_key_result result;
    const char* text; // after the key
    size_t cursor;
    bool all_selected;
};

TEST(TextField, KeysEditMoveSelectApplyAndCancel)
{
    text_field f;
    text_field_start(&f, "50.00", 24);
    EXPECT_STREQ(f.text, "50.00");
    EXPECT_TRUE(f.all_selected);
    const key_step steps[] = {
        {XK_7, false, text_key_edited, "7", 1, false},          // replaces the selection
        {XK_KP_2, false, text_key_edited, "72", 2, false},      // the keypad types digits
        {XK_KP_Decimal, false, text_key_edited, "72.", 3, false},
        {XK_5, false, text_key_edited, "72.5", 4, false},
        {XK_Left, false, text_key_moved, "72.5", 3, false},
        {XK_BackSpace, false, text_key_edited, "725", 2, false},
        {XK_period, false, text_key_edited, "72.5", 3, false},
        {XK_Home, false, text_key_moved, "72.5", 0, false},
        {XK_Delete, false, text_key_edited, "2.5", 0, false},
        {XK_BackSpace, false, text_key_moved, "2.5", 0, false}, // nothing before the cursor
        {XK_End, false, text_key_moved, "2.5", 3, false},
        {XK_Delete, false, text_key_moved, "2.5", 3, false},    // nothing after it
        {XK_c, true, text_key_ignored, "2.5", 3, false},        // Control types nothing
        {XK_F1, false, text_key_ignored, "2.5", 3, false},
        {XK_Shift_L, false, text_key_ignored, "2.5", 3, false},
        {XK_a, true, text_key_moved, "2.5", 3, true},           // Control+A selects all
        {XK_Left, false, text_key_moved, "2.5", 0, false},      // to the selection's start
        {XK_a, true, text_key_moved, "2.5", 3, true},
        {XK_BackSpace, false, text_key_edited, "", 0, false},   // the selection goes
        {XK_Return, false, text_key_enter, "", 0, false},
        {XK_KP_Enter, false, text_key_enter, "", 0, false},
        {XK_Escape, false, text_key_escape, "", 0, false},
    };
    for (const key_step& k : steps) {
        EXPECT_EQ(text_field_key(&f, k.keysym, k.control), k.result) << std::hex << k.keysym;
        EXPECT_STREQ(f.text, k.text) << std::hex << k.keysym;
        EXPECT_EQ(f.cursor, k.cursor) << std::hex << k.keysym;
        EXPECT_EQ(f.all_selected, k.all_selected) << std::hex << k.keysym;
    }
}

TEST(TextField, CharactersStayWholeAndTheLimitHolds)
{
    text_field f;
    text_field_start(&f, "", 8);
    EXPECT_FALSE(f.all_selected) << "nothing to select";
    // é (Latin-1 keysym), € and 𝄞 (Unicode keysyms): 2, 3 and 4 bytes of UTF-8.
    EXPECT_EQ(text_field_key(&f, XK_eacute, false), text_key_edited);
    EXPECT_EQ(text_field_key(&f, 0x10020AC, false), text_key_edited);
    EXPECT_STREQ(f.text, "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(text_field_key(&f, 0x101D11E, false), text_key_ignored) << "9 bytes would pass the limit of 8";
    EXPECT_EQ(text_field_key(&f, XK_a, false), text_key_edited);
    EXPECT_EQ(text_field_key(&f, XK_b, false), text_key_edited);
    EXPECT_EQ(text_field_key(&f, XK_c, false), text_key_edited);
    EXPECT_EQ(text_field_key(&f, XK_d, false), text_key_ignored);
    EXPECT_EQ(f.length, 8u);
    // Cursor moves and erasing step over whole characters.
    EXPECT_EQ(text_field_key(&f, XK_Home, false), text_key_moved);
    EXPECT_EQ(text_field_key(&f, XK_Right, false), text_key_moved);
    EXPECT_EQ(f.cursor, 2u);
    EXPECT_EQ(text_field_key(&f, XK_Right, false), text_key_moved);
    EXPECT_EQ(f.cursor, 5u);
    EXPECT_EQ(text_field_key(&f, XK_BackSpace, false), text_key_edited);
    EXPECT_STREQ(f.text, "\xC3\xA9" "abc");
    EXPECT_EQ(text_field_key(&f, XK_Home, false), text_key_moved);
    EXPECT_EQ(text_field_key(&f, XK_Delete, false), text_key_edited);
    EXPECT_STREQ(f.text, "abc");
    // A start text longer than the limit is cut on a character boundary.
    text_field_start(&f, "ab\xE2\x82\xAC" "cd", 4);
    EXPECT_STREQ(f.text, "ab");
    // What keysyms type.
    EXPECT_EQ(keysym_code_point(XK_percent), (uint32_t)'%');
    EXPECT_EQ(keysym_code_point(XK_KP_9), (uint32_t)'9');
    EXPECT_EQ(keysym_code_point(XK_KP_Subtract), (uint32_t)'-');
    EXPECT_EQ(keysym_code_point(XK_udiaeresis), 0xFCu);
    EXPECT_EQ(keysym_code_point(0x1000416), 0x416u);
    EXPECT_EQ(keysym_code_point(XK_Tab), 0u);
    EXPECT_EQ(keysym_code_point(XK_Delete), 0u);
    EXPECT_EQ(keysym_code_point(0x7F), 0u);
    EXPECT_EQ(keysym_code_point(0x100D800), 0u) << "a surrogate is no character";
}

TEST(TypedValues, ReadInTheBoxUnitsOrRefused)
{
    const struct {
        int index;
        const char* text;
        typed_verdict verdict;
        float value;
    } cases[] = {
        {0, "63.5", typed_ok, 63.5f},
        {0, "63.50 %", typed_ok, 63.5f},
        {0, "  63.5%  ", typed_ok, 63.5f},
        {0, "100", typed_ok, 100.0f},
        {0, "0", typed_ok, 0.0f},
        {0, "-0", typed_ok, 0.0f},
        {0, "+12", typed_ok, 12.0f},
        {0, "12.", typed_ok, 12.0f},
        {0, ".25", typed_ok, 0.25f},
        {0, "12,25", typed_ok, 12.25f},
        {4, "200", typed_ok, 200.0f},
        {4, "7.5 %", typed_ok, 7.5f},
        {0, "100.01", typed_out_of_range, 0},
        {0, "150", typed_out_of_range, 0},
        {0, "-0.5", typed_out_of_range, 0},
        {0, "-3", typed_out_of_range, 0},
        {4, "200.5", typed_out_of_range, 0},
        {0, "99999999999999999999999", typed_out_of_range, 0},
        {0, "", typed_unreadable, 0},
        {0, "   ", typed_unreadable, 0},
        {0, "abc", typed_unreadable, 0},
        {0, "1e3", typed_unreadable, 0},
        {0, "5 0", typed_unreadable, 0},
        {0, "50 %%", typed_unreadable, 0},
        {0, "50 dB", typed_unreadable, 0},
        {0, "-", typed_unreadable, 0},
        {0, ".", typed_unreadable, 0},
        {0, "--5", typed_unreadable, 0},
        {0, "0x10", typed_unreadable, 0},
        {6, "5", typed_unreadable, 0},
    };
    for (const auto& c : cases) {
        typed_value v = typed_value_parse(c.index, c.text);
        EXPECT_EQ(v.verdict, c.verdict) << c.index << " \"" << c.text << "\"";
        if (c.verdict == typed_ok && v.verdict == typed_ok) {
            EXPECT_NEAR(v.value, c.value, 1e-5) << c.index << " \"" << c.text << "\"";
        }
    }
    // "-0" is sent as 0, not as the float's negative zero.
    EXPECT_FALSE(std::signbit(typed_value_parse(0, "-0").value));
}

TEST(TypedValues, EveryTwoDecimalValueReadsBackAsTyped)
{
    // The host truncates to two decimals: the nearest float to 57 reads "56.99" there
    // (this check made sure of it), the value sent must read "57.00".
    EXPECT_EQ(text_of(0, 57.0f), "56.99");
    EXPECT_EQ(text_of(0, typed_value_parse(0, "57").value), "57.00");
    for (int index : {0, 4}) {
        int hundredths = (int)(mm_param_range(index).max * 100);
        int wrong = 0;
        for (int i = 0; i <= hundredths; i++) {
            char typed[32];
            snprintf(typed, sizeof typed, "%d.%02d", i / 100, i % 100);
            typed_value v = typed_value_parse(index, typed);
            wrong += v.verdict != typed_ok || text_of(index, v.value) != typed;
            // Never further from the typed number than a few float steps.
            EXPECT_NEAR(v.value, i / 100.0, 1e-4) << typed;
        }
        EXPECT_EQ(wrong, 0) << mm_param_name(index);
    }
}

TEST_F(ModelTest, IncomingParameterMessages)
{
    int i;
    float v;
    ASSERT_EQ(model_parse_param("00000003 42c80000", &i, &v), 0);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(v, 100.0f);
    ASSERT_EQ(model_parse_param("4 43960000", &i, &v), 0);
    model_apply_remote(&m, i, v);
    EXPECT_EQ(m.values[4], 200.0f) << "300 is clamped to Volume's maximum";
    EXPECT_EQ(model_parse_param("6 3f800000", &i, &v), -1);
    EXPECT_EQ(model_parse_param("0", &i, &v), -1);
    EXPECT_EQ(model_parse_param("0 ", &i, &v), -1);
    EXPECT_EQ(model_parse_param("x 3f800000", &i, &v), -1);
    ASSERT_EQ(model_parse_param("5 3F800000", &i, &v), 0);
    EXPECT_EQ(v, 1.0f);
    EXPECT_TRUE(r.sent.empty()) << "incoming values are never sent back";
}

const char bundled_notes[] = "00010201\nRelease 1.2.1\n\nNew editor.\n";

struct NewsTest : ::testing::Test {
    recorder r;
    news_client n;
    void start(const char* bundled = bundled_notes)
    {
        news_sink sink = {&r, rec_send, rec_recall};
        news_init(&n, &sink, bundled ? strdup(bundled) : nullptr);
        news_start(&n);
    }
    void reply(const std::string& text) { news_handle(&n, text.data(), text.size()); }
    void TearDown() override { news_free(&n); }
};

TEST_F(NewsTest, EmptyStoreGetsAnIdAndTheBundledNotes)
{
    start();
    reply("tidelV1 initDone ");
    ASSERT_EQ(r.sent.size(), 3u);
    EXPECT_EQ(r.sent[0], "m tidelV1 init vellum-grist-saturator");
    ASSERT_EQ(r.sent[1].size(), strlen("m tidelV1 newSid ") + 32);
    EXPECT_EQ(r.sent[1].compare(0, 17, "m tidelV1 newSid "), 0);
    EXPECT_EQ(r.sent[1].find_first_not_of("0123456789abcdef", 17), std::string::npos);
    EXPECT_EQ(r.sent[2], std::string("m tidelV1 syncNews - ") + bundled_notes);
    EXPECT_STREQ(n.notes, bundled_notes);
    EXPECT_STREQ(n.sid, r.sent[1].c_str() + 17);
}

TEST_F(NewsTest, StoredTextsDecideWhatIsSent)
{
    struct scenario {
        const char* stored;
        const char* expected; // the sync message, or null for none
        const char* shown;
    } cases[] = {
        {"00010100\nOld notes\n", "m tidelV1 syncNews 00010100 ", bundled_notes},
        {"00010201\nSame revision\n", nullptr, "00010201\nSame revision\n"},
        {"00020000\nA later version\n", nullptr, "00020000\nA later version\n"},
        {"", "m tidelV1 syncNews - ", bundled_notes},
        {"garbage", "m tidelV1 syncNewsForce ", bundled_notes},
    };
    for (const auto& c : cases) {
        r.sent.clear();
        start();
        reply("tidelV1 initSid abc");
        reply(std::string("tidelV1 initNews ") + c.stored);
        reply("tidelV1 initDone ");
        if (c.expected) {
            ASSERT_EQ(r.sent.size(), 2u) << c.stored;
            EXPECT_EQ(r.sent[1], std::string(c.expected) + bundled_notes);
        } else {
            EXPECT_EQ(r.sent.size(), 1u) << c.stored;
        }
        EXPECT_STREQ(n.notes, c.shown);
        EXPECT_STREQ(n.sid, "abc");
        news_free(&n);
    }
    start();
}

TEST_F(NewsTest, ConflictIsRetriedOnceAgainstTheReturnedText)
{
    start();
    reply("tidelV1 initSid abc");
    reply("tidelV1 initNews 00010100\nOld\n");
    reply("tidelV1 initDone ");
    reply("tidelV1 syncNewsConflict 00010150\nSomeone else's\n");
    ASSERT_EQ(r.sent.size(), 3u);
    EXPECT_EQ(r.sent[2], std::string("m tidelV1 syncNews 00010150 ") + bundled_notes);
    reply("tidelV1 syncNewsConflict 00010160\nAnd again\n");
    EXPECT_EQ(r.sent.size(), 3u) << "no second retry";
    EXPECT_STREQ(n.notes, "00010160\nAnd again\n");
}

TEST_F(NewsTest, ConflictWithNewerNotesAdoptsThem)
{
    start();
    reply("tidelV1 initDone ");
    size_t sent = r.sent.size();
    reply("tidelV1 syncNewsConflict 00030000\nNewer\n");
    EXPECT_EQ(r.sent.size(), sent);
    EXPECT_STREQ(n.notes, "00030000\nNewer\n");
}

TEST_F(NewsTest, WithoutBundledNotesTheStoreIsOnlyRead)
{
    start(nullptr);
    reply("tidelV1 initSid abc");
    reply("tidelV1 initNews 00010100\nOld\n");
    reply("tidelV1 initDone ");
    EXPECT_EQ(r.sent.size(), 1u);
    EXPECT_STREQ(n.notes, "00010100\nOld\n");
}

TEST_F(NewsTest, RecallFetchesTheLatestTextAfresh)
{
    start();
    reply("tidelV1 initSid abc");
    reply("tidelV1 initNews 00010201\nSame\n");
    reply("tidelV1 initLatest 42480000 42480000 42480000 42c80000 42c80000 00000000");
    reply("tidelV1 initDone ");
    EXPECT_TRUE(r.recalled.empty()) << "start-up does not apply stored values";

    r.sent.clear();
    news_request_recall(&n);
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(r.sent[0], "m tidelV1 init vellum-grist-saturator");
    reply("tidelV1 initSid abc");
    reply("tidelV1 initNews 00010201\nSame\n");
    reply("tidelV1 initLatest 41200000 42480000 42480000 42c80000 43160000 3f800000");
    reply("tidelV1 initDone ");
    EXPECT_EQ(r.sent.size(), 1u) << "the second round neither stores an id nor syncs";
    ASSERT_EQ(r.recalled.size(), 1u);
    EXPECT_EQ(r.recalled[0], (std::vector<float>{10, 50, 50, 100, 150, 1}));

    // Nothing stored any more: nothing recalled.
    news_request_recall(&n);
    reply("tidelV1 initDone ");
    EXPECT_EQ(r.recalled.size(), 1u);
}

TEST(NewsTexts, LatestTextRoundTripsAndRejectsOthers)
{
    const float v[6] = {63.5f, 0.0f, 100.0f, 1e-3f, 199.99f, 1.0f};
    char text[64];
    news_format_latest(v, text);
    EXPECT_EQ(strlen(text), 6 * 9 - 1u);
    float back[6];
    ASSERT_TRUE(news_parse_latest(text, back));
    EXPECT_EQ(memcmp(v, back, sizeof v), 0);
    EXPECT_FALSE(news_parse_latest("42480000 42480000 42480000 42c80000 42c80000", back));
    EXPECT_FALSE(news_parse_latest("42480000 42480000 42480000 42c80000 42c80000 7fc00000", back));
    EXPECT_FALSE(news_parse_latest("42480000 42480000 42480000 42c80000 42c80000 0 extra", back));
    EXPECT_FALSE(news_parse_latest("", back));
}

TEST(NewsTexts, HeadlineAndBody)
{
    char h[64];
    news_headline("00010201\n\n  Release 1.2.1  \r\nmore\n", h, sizeof h);
    EXPECT_STREQ(h, "Release 1.2.1");
    news_headline("no revision line\nsecond", h, sizeof h);
    EXPECT_STREQ(h, "no revision line");
    news_headline("00010201\nA long headline", h, 7);
    EXPECT_STREQ(h, "A long");
    news_headline("00010201", h, sizeof h);
    EXPECT_STREQ(h, "");
    EXPECT_STREQ(news_body("00010201\nBody"), "Body");
    EXPECT_STREQ(news_details("00010201\n\nHeadline\n\n\n  Details\nmore"), "  Details\nmore");
    EXPECT_STREQ(news_details("00010201\nHeadline only"), "");
}

} // namespace
