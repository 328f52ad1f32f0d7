// A stand-in for the editor program, following its contract: it connects to the side
// channel and to the WebSocket port on 127.0.0.1, sends its whole upgrade request at
// once and reads the reply. Then, instead of drawing anything, it hands both
// connections and its command line to the test over the Unix socket named by
// VGS_DOUBLE_CONTROL, and waits for SIGTERM.
//
// VGS_DOUBLE_MODE bends the behaviour for failure tests:
//   exit1      ends at once with status 1
//   absent     connects nothing
//   side_only  connects the side channel and nothing else
//   side_exit  connects the side channel, then ends with status 1
//   ws_first   connects the WebSocket before the side channel
//   silent     connects both but never sends the upgrade request
//   short_key  sends a key of 23 characters
//   stubborn   ignores SIGTERM
#include <arpa/inet.h>
#include <netinet/in.h>
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
    int ws = -1;
    if (mode == "ws_first") {
        ws = connect_tcp(argv[1]);
        usleep(300000);  // the plug-in is still waiting for the side channel meanwhile
    }
    int side = connect_unix(argv[2]);
    if (mode == "side_only")
        sleep_forever();
    if (mode == "side_exit")
        return 1;
    if (ws < 0)
        ws = connect_tcp(argv[1]);
    if (mode == "silent")
        sleep_forever();

    std::string key = mode == "short_key" ? "dGhlIHNhbXBsZSBub25jZQ=" : "dGhlIHNhbXBsZSBub25jZQ==";
    std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::string(argv[1]) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                          "\r\nSec-WebSocket-Version: 13\r\n\r\n";
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
