// The handshake and the frames against a WebSocket client no one here wrote: the npm
// `ws` package plays the editor program (see ws_client/editor_client.js) and runs a
// conversation of values, news texts, a long message, fragments, a binary message, a
// ping and a close.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "editor/editor_link.h"
#include "editor_fixture.h"

namespace {

struct conversation {
    std::string program_dir = WS_CLIENT_DIR;
    editor_link* link = nullptr;
};

const char* program_dir_of(void* context) { return ((conversation*)context)->program_dir.c_str(); }
const char* resources_of(void*) { return "/nowhere"; }

// Edits come straight back as the plug-in's value message; news texts are echoed.
void echo_edit(void* context, uint32_t index, float value)
{
    editor_link_send_param(((conversation*)context)->link, index, value);
}
void echo_text(editor_link* link, const char* text) { editor_link_send_text(link, text); }

TEST(NpmWebSocketClient, CompletesAConversation)
{
    xvfb_server server;
    ASSERT_TRUE(server.start());
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    Window host = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 300, 200, 0, 0, 0);
    XSync(display, False);

    char log_dir[] = "/tmp/editor-ws-XXXXXX";
    ASSERT_NE(mkdtemp(log_dir), nullptr);
    std::string log_path = std::string(log_dir) + "/log.json";
    setenv("VGS_WS_LOG", log_path.c_str(), 1);

    conversation talk;
    editor_link_config config = {};
    config.context = &talk;
    config.get_module_dir = program_dir_of;
    config.get_resources_dir = resources_of;
    config.on_param_set = echo_edit;
    talk.link = editor_link_start(host, &config, echo_text, 800, 400, 6);
    ASSERT_NE(talk.link, nullptr);
    const float values[6] = {50, 50, 50, 100, 100, 0};
    for (uint32_t i = 0; i < 6; i++)
        editor_link_send_param(talk.link, i, values[i]);

    // Tick as a host would until the client has written its log.
    for (int tick = 0; tick < 1500 && access(log_path.c_str(), F_OK) != 0; tick++) {
        editor_link_pump(talk.link);
        usleep(20000);
    }
    editor_link_free(talk.link);

    std::ifstream in(log_path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string log = buffer.str();
    ASSERT_FALSE(log.empty()) << "the client wrote no log";
    const std::string six =
        R"(["s 00000000 42480000","s 00000001 42480000","s 00000002 42480000",)"
        R"("s 00000003 42c80000","s 00000004 42c80000","s 00000005 00000000"])";
    const char* expected[] = {
        R"("errors":[])",
        // The accept value checked out; no subprotocol or extension was agreed.
        R"({"step":"open","protocol":"","extensions":""})",
        R"({"step":"initial","messages":)",
        R"({"step":"echo","messages":["m hello"]})",
        R"({"step":"long","length":70005,"same":true})",
        R"({"step":"fragmented","messages":["m fragmented"]})",
        R"({"step":"binary dropped","messages":["m after binary"]})",
        R"({"step":"pong","payload":"abc"})",
        R"({"step":"edit","messages":["s 00000003 42c80000"]})",
        // The plug-in answers a close with an empty close frame: no status (1005).
        R"({"step":"closed","code":1005})",
    };
    for (const char* part : expected)
        EXPECT_NE(log.find(part), std::string::npos) << part << "\nin " << log;
    EXPECT_NE(log.find(R"({"step":"initial","messages":)" + six), std::string::npos) << log;
    EXPECT_NE(log.find(R"({"step":"get","messages":)" + six), std::string::npos) << log;

    unlink(log_path.c_str());
    rmdir(log_dir);
    XCloseDisplay(display);
}

}  // namespace
