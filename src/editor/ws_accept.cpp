#include "editor/ws_accept.h"

#include <cstdint>
#include <cstring>

#include "editor/base64.h"
#include "editor/sha1.h"

static constexpr char ws_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

static_assert(base64_encoded_size(sha1_digest_size) == ws_accept_size);

void ws_accept_for_key(const char* key, char accept[ws_accept_size + 1])
{
    char keyed[ws_key_size + sizeof ws_guid - 1];
    memcpy(keyed, key, ws_key_size);
    memcpy(keyed + ws_key_size, ws_guid, sizeof ws_guid - 1);
    uint8_t digest[sha1_digest_size];
    sha1(keyed, sizeof keyed, digest);
    base64_encode(digest, sha1_digest_size, accept);
}
