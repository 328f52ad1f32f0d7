// The editor's text messages through the pump, against a second reading of the grammar:
// "b", "s" and "e" reach their handler exactly when the body is two runs of hex digits
// worth at most 32 bits each, one blank between, nothing after, an index below six and
// a value that is no NaN; "m" hands its text on; "g" answers with six values. Raw input
// goes to the socket as it is (any frames): every handler call is still in range.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <string>
#include <vector>

#include <bit>

#include "editor/editor_link_record.h"
#include "fuzz_socket.h"

namespace {

constexpr uint64_t params = 6;

struct edit {
    char kind;
    uint32_t index;
    uint32_t bits;
    bool operator==(const edit&) const = default;
};

std::vector<edit> edits;
std::vector<std::string> texts;

void record(char kind, uint32_t index, float value)
{
    if (index >= params || std::isnan(value))
        abort();
    edits.push_back({kind, index, std::bit_cast<uint32_t>(value)});
}

bool hex32(const std::string& digits, uint32_t* value)
{
    if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    size_t first = digits.find_first_not_of('0');
    if (first != std::string::npos && digits.size() - first > 8)
        return false;
    *value = (uint32_t)strtoul(digits.c_str(), nullptr, 16);
    return true;
}

// What one message should do: an edit, a text, or nothing.
void expect(const std::string& message, std::vector<edit>* want_edits, std::vector<std::string>* want_texts)
{
    if (message.empty())
        return;
    char kind = message[0];
    if (kind == 'm') {
        // The handler gets a C string: the text up to its first NUL.
        want_texts->push_back(message.size() < 2 ? "" : std::string(message.c_str() + 2));
    } else if ((kind == 'b' || kind == 's' || kind == 'e') && message.size() >= 2) {
        std::string body = message.substr(2);
        size_t blank = body.find(' ');
        uint32_t index, bits;
        if (blank == std::string::npos || !hex32(body.substr(0, blank), &index) ||
            !hex32(body.substr(blank + 1), &bits) || index >= params ||
            std::isnan(std::bit_cast<float>(bits)))
            return;
        want_edits->push_back({kind, index, bits});
    }
}

editor_link* make_link(int connection)
{
    editor_link* link = (editor_link*)calloc(1, sizeof *link);
    ws_reader_init(&link->reader, connection);
    link->side_channel = -1;
    link->param_count = params;
    link->param_mirror = (float*)calloc(params, sizeof(float));
    link->config.on_param_begin = [](void*, uint32_t i, float v) { record('b', i, v); };
    link->config.on_param_set = [](void*, uint32_t i, float v) { record('s', i, v); };
    link->config.on_param_end = [](void*, uint32_t i, float v) { record('e', i, v); };
    link->on_text = [](editor_link*, const char* text) { texts.push_back(text); };
    return link;
}

void free_link(editor_link* link)
{
    fuzz_close(&link->reader.connection);
    free(link->message);
    free(link->param_mirror);
    free(link);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    edits.clear();
    texts.clear();
    FuzzedDataProvider in(data, size);
    fuzz_pair pair = fuzz_pair_open();
    editor_link* link = make_link(pair.ours);
    bytes answers;
    if (in.ConsumeBool()) {
        // Messages in groups of up to eight, each group pumped in one tick.
        std::vector<edit> want_edits;
        std::vector<std::string> want_texts;
        size_t gets = 0;
        while (in.remaining_bytes() > 0) {
            int group = in.ConsumeIntegralInRange(1, 8);
            for (int i = 0; i < group && in.remaining_bytes() > 0; i++) {
                std::string message = in.ConsumeRandomLengthString(64);
                expect(message, &want_edits, &want_texts);
                gets += !message.empty() && message[0] == 'g';
                bytes frame = client_text(message);
                fuzz_feed(pair.peer, frame.data(), frame.size());
            }
            editor_link_pump(link);
            if (fuzz_waiting(pair.ours) != 0)
                abort();  // without a budget a tick takes everything waiting
            fuzz_drain(pair.peer, &answers);
        }
        // Each "g" is answered with six "s" frames of 21 bytes.
        if (edits != want_edits || texts != want_texts || answers.size() != gets * 6 * 21)
            abort();
    } else {
        // Many "g" requests would fill the socket with answers: a send that would block
        // gives the connection up instead, as a send past its time-out does in the host.
        fcntl(pair.ours, F_SETFL, O_NONBLOCK);
        std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();
        fuzz_feed(pair.peer, stream.data(), stream.size());
        shutdown(pair.peer, SHUT_WR);
        for (int tick = 0; tick < 64 && link->reader.connection >= 0; tick++) {
            editor_link_pump(link);
            fuzz_drain(pair.peer, &answers);
        }
    }
    free_link(link);
    fuzz_close(&pair.peer);
    return 0;
}
