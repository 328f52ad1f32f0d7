// A stand-in for the editor program, following its contract: it connects to the side
// channel and to the WebSocket port on 127.0.0.1, sends its whole upgrade request at
// once and reads the reply. Then, instead of drawing anything, it hands both
// connections and its command line to the test over the Unix socket named by
// VGS_DOUBLE_CONTROL, and waits for SIGTERM.
//
// VGS_DOUBLE_MODE bends the behaviour for failure and hostile-peer tests:
//   exit1      ends at once with status 1
//   absent     connects nothing
//   side_only  connects the side channel and nothing else
//   side_exit  connects the side channel, then ends with status 1
//   ws_first   connects the WebSocket before the side channel
//   silent     connects both but never sends the upgrade request
//   short_key  sends a key of 23 characters
//   stubborn   ignores SIGTERM
//   usurped    lets another process connect to both channels first, with a
//              well-formed upgrade request, and hands over what became of them
//   slow       waits 3.5 s before each of its three steps
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

static int connect_unix(const char* path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (fd < 0 || connect(fd, (sockaddr*)&address, sizeof address) < 0)
        _exit(3);
    return fd;
}

static int connect_tcp(const char* port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)atoi(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (sockaddr*)&address, sizeof address) < 0)
        _exit(4);
    return fd;
}

static std::string upgrade_request(const char* port, const std::string& key)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
           "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// What the plug-in did with a connection within 3 s: "closed", "answered" or "open".
static const char* fate_of(int fd)
{
    pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, 3000) <= 0)
        return "open";
    char byte;
    return read(fd, &byte, 1) > 0 ? "answered" : "closed";
}

// Another process races this one to both channels. Returns a pipe that yields its
// report once it knows what became of its connections.
static int start_usurper(const char* port, const char* side_path)
{
    int connected[2], report[2];
    if (pipe(connected) < 0 || pipe(report) < 0)
        _exit(8);
    if (fork() == 0) {
        int side = connect_unix(side_path);
        int ws = connect_tcp(port);
        std::string request = upgrade_request(port, "x3JJHMbDL1EzLkh9GBhXDw==");
        if (write(ws, request.data(), request.size()) != (ssize_t)request.size())
            _exit(5);
        if (write(connected[1], "c", 1) != 1)
            _exit(9);
        std::string text = std::string("other process: side ") + fate_of(side) + ", ws " + fate_of(ws) + "\n";
        _exit(write(report[1], text.data(), text.size()) == (ssize_t)text.size() ? 0 : 9);
    }
    close(connected[1]);
    close(report[1]);
    char byte;
    if (read(connected[0], &byte, 1) != 1)
        _exit(9);
    close(connected[0]);
    return report[0];
}

static void sleep_forever()
{
    for (;;)
        pause();
}

int main(int argc, char** argv)
{
    // A test that dies must not leave its stand-in program behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const char* mode_env = getenv("VGS_DOUBLE_MODE");
    std::string mode = mode_env ? mode_env : "";
    if (mode == "exit1")
        return 1;
    if (mode == "stubborn")
        signal(SIGTERM, SIG_IGN);
    if (argc != 4)
        return 2;

    if (mode == "absent")
        sleep_forever();
    int usurper_report = mode == "usurped" ? start_usurper(argv[1], argv[2]) : -1;
    int ws = -1;
    if (mode == "slow")
        usleep(3500000);
    if (mode == "ws_first") {
        ws = connect_tcp(argv[1]);
        usleep(300000);  // the plug-in is still waiting for the side channel meanwhile
    }
    int side = connect_unix(argv[2]);
    if (mode == "side_only")
        sleep_forever();
    if (mode == "side_exit")
        return 1;
    if (mode == "slow")
        usleep(3500000);
    if (ws < 0)
        ws = connect_tcp(argv[1]);
    if (mode == "silent")
        sleep_forever();
    if (mode == "slow")
        usleep(3500000);

    std::string key = mode == "short_key" ? "dGhlIHNhbXBsZSBub25jZQ=" : "dGhlIHNhbXBsZSBub25jZQ==";
    std::string request = upgrade_request(argv[1], key);
    if (write(ws, request.data(), request.size()) != (ssize_t)request.size())
        return 5;
    // The reply ends with an empty line; read it byte by byte so that no frame that
    // follows it is taken from the test.
    std::string reply;
    while (reply.size() < 4 || reply.compare(reply.size() - 4, 4, "\r\n\r\n") != 0) {
        char c;
        if (read(ws, &c, 1) != 1)
            return 6;
        reply += c;
    }

    const char* control_path = getenv("VGS_DOUBLE_CONTROL");
    if (control_path) {
        // Text: pid, the four arguments and the reply's status line, one per line.
        std::string text = std::to_string(getpid()) + "\n";
        for (int i = 0; i < argc; i++)
            text += std::string(argv[i]) + "\n";
        text += reply.substr(0, reply.find("\r\n")) + "\n";
        char note[256];
        ssize_t n = usurper_report >= 0 ? read(usurper_report, note, sizeof note) : 0;
        if (n > 0)
            text.append(note, (size_t)n);
        int control = connect_unix(control_path);
        int fds[2] = {side, ws};
        char space[CMSG_SPACE(sizeof fds)] = {};
        iovec io = {text.data(), text.size()};
        msghdr message = {};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = space;
        message.msg_controllen = sizeof space;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof fds);
        memcpy(CMSG_DATA(header), fds, sizeof fds);
        if (sendmsg(control, &message, 0) < 0)
            return 7;
        close(control);
    }
    sleep_forever();
}
