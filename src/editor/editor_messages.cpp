#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <bit>

#include "editor/deadline.h"
#include "editor/editor_link_record.h"

namespace {

constexpr uint64_t message_first_capacity = 128;
// A text message that would need more than this is dropped whole, like one that
// could not be allocated: the editor's messages are a few hundred bytes at most.
constexpr uint64_t message_capacity_limit = 1u << 20;

void empty_message(editor_link* link)
{
    free(link->message);
    link->message = nullptr;
    link->message_capacity = 0;
    link->message_length = 0;
    link->discard = 0;
}

void drop_message(editor_link* link)
{
    empty_message(link);
    link->discard = 1;
}

void send_all_values(editor_link* link)
{
    for (uint64_t i = 0; i < link->param_count; i++)
        editor_link_send_param(link, (uint32_t)i, link->param_mirror[i]);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One number of a parameter message: hexadecimal digits only, leading zeros allowed,
// with a value that fits 32 bits. The position after it, or null.
const char* parse_hex32(const char* at, const char* end, uint32_t* out)
{
    const char* start = at;
    uint64_t value = 0;
    for (int digit; at < end && (digit = hex_digit(*at)) >= 0; at++) {
        value = value << 4 | (uint64_t)digit;
        if (value > 0xFFFFFFFFu)
            return nullptr;
    }
    if (at == start)
        return nullptr;
    *out = (uint32_t)value;
    return at;
}

// The body of "b", "s" and "e": index, one blank, value bits, and nothing else. A
// message that bends this grammar is ignored rather than guessed at.
bool parse_param_body(const char* body, const char* end, uint32_t* index, uint32_t* bits)
{
    const char* at = parse_hex32(body, end, index);
    if (!at || at == end || *at != ' ')
        return false;
    at = parse_hex32(at + 1, end, bits);
    return at == end;
}

void dispatch(editor_link* link, const char* message, uint64_t length)
{
    if (length == 0)
        return;
    char kind = message[0];
    if (kind == 'b' || kind == 's' || kind == 'e') {
        uint32_t index, bits;
        if (length < 2 || !parse_param_body(message + 2, message + length, &index, &bits))
            return;
        if (index >= link->param_count)
            return;
        float value = std::bit_cast<float>(bits);
        // A NaN would travel through the host to the sound.
        if (isnan(value))
            return;
        link->param_mirror[index] = value;
        void (*handler)(void*, uint32_t, float) = kind == 'b'   ? link->config.on_param_begin
                                                  : kind == 's' ? link->config.on_param_set
                                                                : link->config.on_param_end;
        if (handler)
            handler(link->config.context, index, value);
    } else if (kind == 'g') {
        send_all_values(link);
    } else if (kind == 'm') {
        if (link->on_text)
            link->on_text(link, length >= 2 ? message + 2 : message + length);
    }
}

// Nothing came although the message is not over. Only a payload that has not fully
// arrived waits for a later tick (so a peer that stops mid-message never holds the
// host's thread); an empty fragment ends with nothing to store, and the frames after it
// may already be waiting.
bool awaiting_payload(const editor_link* link, int64_t got)
{
    return got == 0 && link->reader.state == ws_text_payload;
}

// Phase 1: every complete message that is waiting, in arrival order.
void pump_messages(editor_link* link)
{
    for (;;) {
        int final = 0;
        if (link->discard) {
            uint8_t scratch[512];
            int64_t got = ws_read(&link->reader, scratch, sizeof scratch, &final);
            if (got == -2)
                return;
            if (got == -1 || final) {
                empty_message(link);
                return;
            }
            if (awaiting_payload(link, got))
                return;
            continue;
        }
        if (!link->message) {
            link->message = (char*)malloc(message_first_capacity);
            if (!link->message)
                return;
            link->message_capacity = message_first_capacity;
            link->message_length = 0;
        }
        if (link->message_capacity - link->message_length == 1) {
            uint64_t capacity = link->message_capacity * 2;
            char* grown = capacity <= message_capacity_limit ? (char*)realloc(link->message, capacity)
                                                             : nullptr;
            if (!grown) {
                drop_message(link);
                continue;
            }
            link->message = grown;
            link->message_capacity = capacity;
        }
        int64_t got = ws_read(&link->reader, (uint8_t*)link->message + link->message_length,
                              link->message_capacity - link->message_length - 1, &final);
        if (got == -1) {
            empty_message(link);
            return;
        }
        if (got == -2)
            return;
        link->message_length += (uint64_t)got;
        if (!final) {
            if (awaiting_payload(link, got))
                return;
            continue;
        }
        link->message[link->message_length] = '\0';
        dispatch(link, link->message, link->message_length);
        empty_message(link);
    }
}

// Phase 2: one read of the side channel; "w <window id>" embeds that window.
void pump_side_channel(editor_link* link)
{
    if (link->side_channel < 0)
        return;
    // One byte stays free so the text is NUL-terminated within what arrived.
    ssize_t got = recv(link->side_channel, link->side_buffer, sizeof link->side_buffer - 1,
                       MSG_DONTWAIT);
    if (got <= 0 || link->side_buffer[0] != 'w')
        return;
    link->side_buffer[got] = '\0';
    if (got < 3)
        return;
    char* end;
    long id = strtol(link->side_buffer + 2, &end, 10);
    if (end == link->side_buffer + 2 || id <= 0 || id > 0xFFFFFFFFL)
        return;
    if (link->display)
        container_embed(link, (Window)id);
}

}  // namespace

void editor_link_send_param(editor_link* link, uint32_t index, float value)
{
    if (index >= link->param_count)
        return;
    link->param_mirror[index] = value;
    char message[20];
    snprintf(message, sizeof message, "s %08x %08x", index, std::bit_cast<uint32_t>(value));
    ws_send_text(&link->reader, message, 19);
}

void editor_link_pump(editor_link* link)
{
    link->reader.deadline_ns = link->pump_budget_ns ? monotonic_ns() + link->pump_budget_ns : 0;
    pump_messages(link);
    pump_side_channel(link);
    if (link->display)
        container_handle_events(link);
}
