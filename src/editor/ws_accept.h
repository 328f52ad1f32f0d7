// The Sec-WebSocket-Accept value of the opening handshake, computed the same way by the
// plug-in (which answers with it) and by the editor program (which checks it).
#pragma once

#include <cstddef>

inline constexpr size_t ws_key_size = 24;
inline constexpr size_t ws_accept_size = 28;

// Base64 of the SHA-1 digest of the key's first 24 characters followed by the RFC 6455
// GUID: 28 characters and a NUL into `accept`.
void ws_accept_for_key(const char* key, char accept[ws_accept_size + 1]);
