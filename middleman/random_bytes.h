// Random bytes from the kernel for WebSocket keys, masks and the installation id.
#pragma once

#include <cstddef>

// Fills `size` bytes; returns 0, or -1 when the kernel gives none.
int random_bytes(void* out, size_t size);
