#include "fake_plugin.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor/ws_accept.h"
#include "ws_client.h"

using clock_type = std::chrono::steady_clock;

static int elapsed_ms(clock_type::time_point since)
{
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since)
        .count();
}

static void write_all(int fd, const std::string& bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += (size_t)n;
    }
}

static std::string server_frame(uint8_t opcode, const std::string& payload)
{
    std::string out;
    out += (char)(0x80 | opcode);
    size_t n = payload.size();
    if (n < 126) {
        out += (char)n;
    } else if (n <= 0xFFFF) {
        out += (char)126;
        out += (char)(n >> 8);
        out += (char)n;
    } else {
        out += (char)127;
        for (int i = 7; i >= 0; i--)
            out += (char)((uint64_t)n >> (8 * i));
    }
    return out + payload;
}

void fake_send(fake_plugin* f, const std::string& text)
{
    if (f->ws_fd >= 0)
        write_all(f->ws_fd, server_frame(0x1, text));
}

void fake_send_raw(fake_plugin* f, const std::string& bytes)
{
    if (f->ws_fd >= 0)
        write_all(f->ws_fd, bytes);
}

static void send_float(fake_plugin* f, unsigned index, float value)
{
    uint32_t bits;
    memcpy(&bits, &value, 4);
    char text[32];
    snprintf(text, sizeof text, "s %08x %08x", index, bits);
    fake_send(f, text);
}

bool fake_start(fake_plugin* f, const std::string& program, const std::string& resources)
{
    f->ws_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (f->ws_listener < 0 || bind(f->ws_listener, (sockaddr*)&addr, sizeof addr) < 0 ||
        getsockname(f->ws_listener, (sockaddr*)&addr, &len) < 0 || listen(f->ws_listener, 1) < 0)
        return false;
    f->port = ntohs(addr.sin_port);

    char dir[] = "/tmp/mmtest-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    f->dir = dir;
    f->side_path = f->dir + "/s";
    f->side_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    strcpy(un.sun_path, f->side_path.c_str());
    if (f->side_listener < 0 || bind(f->side_listener, (sockaddr*)&un, sizeof un) < 0 ||
        listen(f->side_listener, 1) < 0)
        return false;

    std::string port = std::to_string(f->port);
    f->child = fork();
    if (f->child < 0)
        return false;
    if (f->child == 0) {
        execl(program.c_str(), "middleman", port.c_str(), f->side_path.c_str(),
              resources.c_str(), (char*)nullptr);
        _exit(1);
    }

    // Watch the TCP listener first: when the program's WebSocket connection arrives,
    // its side-channel connection must already be waiting.
    auto start = clock_type::now();
    for (;;) {
        pollfd p = {f->ws_listener, POLLIN, 0};
        int n = poll(&p, 1, 100);
        if (n > 0)
            break;
        if (waitpid(f->child, &f->exit_status, WNOHANG) > 0) {
            f->exited = true;
            return false;
        }
        if (elapsed_ms(start) > 10000)
            return false;
    }
    pollfd side = {f->side_listener, POLLIN, 0};
    f->side_before_ws = poll(&side, 1, 0) == 1;
    if (poll(&side, 1, 2000) != 1)
        return false;
    f->side_fd = accept(f->side_listener, nullptr, nullptr);
    f->ws_fd = accept(f->ws_listener, nullptr, nullptr);
    if (f->side_fd < 0 || f->ws_fd < 0)
        return false;

    // The handshake takes exactly one read, as the plug-in's does.
    char buf[8192];
    ssize_t n = read(f->ws_fd, buf, sizeof buf - 1);
    if (n <= 0)
        return false;
    f->request.assign(buf, (size_t)n);
    size_t at = 0;
    for (;;) {
        size_t nl = f->request.find('\n', at);
        if (nl == std::string::npos)
            return false;
        if (strncasecmp(f->request.c_str() + nl + 1, "Sec-WebSocket-Key", 17) == 0) {
            size_t k = nl + 1 + 18;
            while (k < f->request.size() && (f->request[k] == ' ' || f->request[k] == '\t'))
                k++;
            f->key = f->request.substr(k, 24);
            break;
        }
        at = nl + 1;
    }
    char accept[29];
    ws_accept_for_key(f->key.c_str(), accept);
    write_all(f->ws_fd, std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                     "Connection: Upgrade\r\nSec-WebSocket-Accept: ") +
                            accept + "\r\n\r\n");
    static const float defaults[6] = {50, 50, 50, 100, 100, 0};
    for (unsigned i = 0; i < 6; i++)
        send_float(f, i, defaults[i]);
    return true;
}

static bool starts(const std::string& s, const char* prefix, std::string* rest)
{
    size_t n = strlen(prefix);
    if (s.compare(0, n, prefix) != 0)
        return false;
    *rest = s.substr(n);
    return true;
}

// The conditional replace of the plug-in's store.
static bool sync_text(std::optional<std::string>* file, const std::string& payload)
{
    bool empty = !*file || (*file)->empty();
    if (payload[0] == '-') {
        if (!empty)
            return false;
        *file = payload.substr(2);
        return true;
    }
    if (!empty && ((*file)->size() < 8 || (*file)->compare(0, 8, payload, 0, 8) != 0))
        return false;
    *file = payload.substr(9);
    return true;
}

static void serve_news(fake_plugin* f, const std::string& text)
{
    fake_store& s = f->store;
    std::string rest;
    if (starts(text, "tidelV1 init ", &rest)) {
        if (s.system)
            fake_send(f, "m tidelV1 initSid " + *s.system);
        if (s.news)
            fake_send(f, "m tidelV1 initNews " + *s.news);
        if (s.latest && rest == "vellum-grist-saturator")
            fake_send(f, "m tidelV1 initLatest " + *s.latest);
        fake_send(f, "m tidelV1 initDone ");
    } else if (starts(text, "tidelV1 newSid ", &rest)) {
        s.system = rest;
    } else if (starts(text, "tidelV1 syncNews ", &rest)) {
        if (!sync_text(&s.news, rest))
            fake_send(f, "m tidelV1 syncNewsConflict " + *s.news);
    } else if (starts(text, "tidelV1 syncNewsForce ", &rest)) {
        s.news = rest;
    } else if (starts(text, "tidelV1 syncLatestForce vellum-grist-saturator ", &rest)) {
        s.latest = rest;
    }
}

static void on_text(fake_plugin* f, const std::string& text)
{
    f->texts.push_back(text);
    if (text.size() >= 2 && text[0] == 'm' && f->serve_news)
        serve_news(f, text.substr(2));
    if (f->echo_values && text.size() >= 3 &&
        (text[0] == 'b' || text[0] == 's' || text[0] == 'e')) {
        unsigned index, bits;
        if (sscanf(text.c_str() + 2, "%x %x", &index, &bits) == 2) {
            float v;
            memcpy(&v, &bits, 4);
            send_float(f, index, v);
        }
    }
}

static void parse_frames(fake_plugin* f)
{
    for (;;) {
        const uint8_t* d = (const uint8_t*)f->in.data();
        size_t size = f->in.size();
        if (size < 2)
            return;
        fake_frame fr = {};
        fr.fin = d[0] & 0x80;
        fr.opcode = d[0] & 0x0F;
        fr.masked = d[1] & 0x80;
        uint64_t n = d[1] & 0x7F;
        size_t h = 2;
        if (n == 126) {
            if (size < 4)
                return;
            n = (uint64_t)d[2] << 8 | d[3];
            h = 4;
        } else if (n == 127) {
            if (size < 10)
                return;
            n = 0;
            for (int i = 2; i < 10; i++)
                n = n << 8 | d[i];
            h = 10;
        }
        if (fr.masked) {
            if (size < h + 4)
                return;
            memcpy(fr.mask, d + h, 4);
            h += 4;
        }
        if (size < h + n)
            return;
        fr.payload.assign((const char*)d + h, (size_t)n);
        if (fr.masked)
            for (size_t i = 0; i < n; i++)
                fr.payload[i] = (char)(fr.payload[i] ^ fr.mask[i & 3]);
        f->in.erase(0, h + n);
        f->frames.push_back(fr);
        if (fr.opcode == 0x1 || fr.opcode == 0x0) {
            f->partial += fr.payload;
            if (fr.fin) {
                std::string text;
                text.swap(f->partial);
                on_text(f, text);
            }
        } else if (fr.opcode == 0x8) {
            f->peer_closed = true;
        }
    }
}

void fake_pump(fake_plugin* f, int ms)
{
    auto start = clock_type::now();
    for (;;) {
        int left = ms - elapsed_ms(start);
        pollfd p[2] = {{f->ws_fd, POLLIN, 0}, {f->side_fd, POLLIN, 0}};
        int n = poll(p, 2, left > 0 ? left : 0);
        if (n > 0 && f->ws_fd >= 0 && p[0].revents) {
            char buf[65536];
            ssize_t got = recv(f->ws_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got > 0) {
                f->in.append(buf, (size_t)got);
                parse_frames(f);
            } else if (got == 0) {
                f->peer_closed = true;
                close(f->ws_fd);
                f->ws_fd = -1;
            }
        }
        if (n > 0 && f->side_fd >= 0 && p[1].revents) {
            char buf[1024];
            ssize_t got = recv(f->side_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got > 0) {
                f->side_bytes.append(buf, (size_t)got);
                if (!f->window && f->side_bytes[0] == 'w')
                    f->window = strtoul(f->side_bytes.c_str() + 2, nullptr, 10);
            } else if (got == 0) {
                close(f->side_fd);
                f->side_fd = -1;
            }
        }
        if (left <= 0)
            return;
    }
}

bool fake_wait(fake_plugin* f, const std::function<bool()>& done, int timeout_ms)
{
    auto start = clock_type::now();
    while (!done()) {
        if (elapsed_ms(start) > timeout_ms)
            return false;
        fake_pump(f, 10);
    }
    return true;
}

bool fake_wait_texts(fake_plugin* f, size_t count, int timeout_ms)
{
    return fake_wait(f, [&] { return f->texts.size() >= count; }, timeout_ms);
}

bool fake_wait_exit(fake_plugin* f, int timeout_ms)
{
    auto start = clock_type::now();
    while (!f->exited) {
        if (waitpid(f->child, &f->exit_status, WNOHANG) > 0) {
            f->exited = true;
            break;
        }
        if (elapsed_ms(start) > timeout_ms)
            return false;
        usleep(2000);
    }
    return true;
}

void fake_stop(fake_plugin* f)
{
    for (int* fd : {&f->side_fd, &f->ws_fd, &f->side_listener, &f->ws_listener}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (f->child > 0 && !f->exited) {
        kill(f->child, SIGTERM);
        waitpid(f->child, &f->exit_status, 0);
        f->exited = true;
    }
    if (!f->side_path.empty())
        unlink(f->side_path.c_str());
    if (!f->dir.empty())
        rmdir(f->dir.c_str());
    f->side_path.clear();
    f->dir.clear();
}

std::vector<std::string> fake_texts_with(const fake_plugin* f, const std::string& prefix,
                                         size_t from)
{
    std::vector<std::string> out;
    for (size_t i = from; i < f->texts.size(); i++)
        if (f->texts[i].compare(0, prefix.size(), prefix) == 0)
            out.push_back(f->texts[i]);
    return out;
}
