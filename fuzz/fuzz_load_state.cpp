// load_state on arbitrary chunks: either nothing is delivered, or all six values,
// none a NaN, between one lock and one unlock. An archive that reads also writes back
// into a chunk that reads again.
#include <cmath>
#include <cstdlib>

#include "state/state_archive.h"

namespace {
struct record {
    int locks, unlocks, values;
    int next_index;
};
}  // namespace

static void on_lock(void* c) { static_cast<record*>(c)->locks++; }
static void on_unlock(void* c) { static_cast<record*>(c)->unlocks++; }
static void on_value(void* c, int index, float value) {
    auto* r = static_cast<record*>(c);
    if (r->locks != 1 || r->unlocks != 0 || index != r->next_index++ || std::isnan(value)) abort();
    r->values++;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    record r = {};
    const state_sink sink = {.context = &r, .lock = on_lock, .unlock = on_unlock, .set_value = on_value};
    int rc = load_state(&sink, data, size);
    if (rc == 0 ? (r.locks != 1 || r.unlocks != 1 || r.values != 6) : (r.locks || r.unlocks || r.values)) abort();

    state_archive archive;
    if (state_archive_read(&archive, data, size) == 0) {
        size_t out_size = 0;
        uint8_t* out = state_archive_write(&archive, &out_size);
        if (out) {
            state_archive again;
            if (state_archive_read(&again, out, out_size) != 0) abort();
            state_archive_destroy(&again);
            free(out);
        }
        state_archive_destroy(&archive);
    }
    return 0;
}
