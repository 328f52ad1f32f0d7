#include "lv2/chunk_stream.h"

#include <cstdlib>
#include <cstring>

using namespace vst3;

static chunk_stream* stream_of(IBStream* self) { return reinterpret_cast<chunk_stream*>(self); }

// The stream lives on its caller's stack for one call: references are nominal.
static tresult stream_query(IBStream* self, const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IBStream_iid))) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
static uint32 stream_add_ref(IBStream*) { return 1; }
static uint32 stream_release(IBStream*) { return 1; }

static tresult stream_read(IBStream* self, void* buffer, int32 count, int32* done) {
    chunk_stream* s = stream_of(self);
    if (count < 0 || (buffer == nullptr && count > 0)) return kInvalidArgument;
    size_t left = s->position < s->size ? s->size - s->position : 0;
    size_t n = left < (size_t)count ? left : (size_t)count;
    if (n > 0) std::memcpy(buffer, s->bytes + s->position, n);
    s->position += n;
    if (done != nullptr) *done = (int32)n;
    return kResultOk;
}

static tresult stream_write(IBStream* self, void* buffer, int32 count, int32* done) {
    chunk_stream* s = stream_of(self);
    if (!s->writable || count < 0 || (buffer == nullptr && count > 0)) return kInvalidArgument;
    size_t end = s->position + (size_t)count;
    if (end > s->capacity) {
        size_t capacity = s->capacity ? s->capacity : 8192;
        while (capacity < end) capacity *= 2;
        uint8_t* grown = static_cast<uint8_t*>(std::realloc(s->bytes, capacity));
        if (grown == nullptr) return kOutOfMemory;
        s->bytes = grown;
        s->capacity = capacity;
    }
    if (s->position > s->size) std::memset(s->bytes + s->size, 0, s->position - s->size);
    if (count > 0) std::memcpy(s->bytes + s->position, buffer, (size_t)count);
    s->position = end;
    if (end > s->size) s->size = end;
    if (done != nullptr) *done = count;
    return kResultOk;
}

static tresult stream_seek(IBStream* self, int64 pos, int32 mode, int64* result) {
    chunk_stream* s = stream_of(self);
    int64 base = mode == kIBSeekSet ? 0 : mode == kIBSeekCur ? (int64)s->position : mode == kIBSeekEnd ? (int64)s->size : -1;
    if (base < 0 || pos < -base || pos > INT64_MAX - base) return kInvalidArgument;
    s->position = (size_t)(base + pos);
    if (result != nullptr) *result = (int64)s->position;
    return kResultOk;
}

static tresult stream_tell(IBStream* self, int64* pos) {
    if (pos == nullptr) return kInvalidArgument;
    *pos = (int64)stream_of(self)->position;
    return kResultOk;
}

static constexpr IBStreamVtbl stream_vtbl{stream_query, stream_add_ref, stream_release, stream_read,
                                          stream_write, stream_seek,    stream_tell};

void chunk_stream_open_read(chunk_stream* s, const uint8_t* bytes, size_t size) {
    *s = chunk_stream{{&stream_vtbl}, const_cast<uint8_t*>(bytes), size, size, 0, false};
}

void chunk_stream_open_write(chunk_stream* s) { *s = chunk_stream{{&stream_vtbl}, nullptr, 0, 0, 0, true}; }

void chunk_stream_free(chunk_stream* s) {
    if (s->writable) std::free(s->bytes);
    s->bytes = nullptr;
    s->size = s->capacity = s->position = 0;
}
