#include "state/stream_io.h"

#include <cerrno>
#include <cstdlib>

using namespace vst3;

// IBStream moves at most an int32 count per call.
static constexpr size_t max_piece = 2147483647;

int read_stream_fully(IBStream* stream, uint8_t** data, size_t* size) {
    *data = nullptr;
    *size = 0;
    int64 end = 0;
    int64 pos = 0;
    if (stream->vtbl->seek(stream, 0, kIBSeekEnd, &pos) != kResultOk ||
        stream->vtbl->tell(stream, &end) != kResultOk ||
        stream->vtbl->seek(stream, 0, kIBSeekSet, &pos) != kResultOk)
        return -1;
    if (end <= 0) return 0;
    if (static_cast<uint64_t>(end) > SIZE_MAX) {
        errno = ENOMEM;
        return -1;
    }
    size_t total = static_cast<size_t>(end);
    auto* buffer = static_cast<uint8_t*>(malloc(total));
    if (!buffer) return -1;
    for (size_t done = 0; done < total;) {
        size_t piece = total - done < max_piece ? total - done : max_piece;
        int32 got = 0;  // a stream that does not report a count has read nothing
        stream->vtbl->read(stream, buffer + done, static_cast<int32>(piece), &got);
        if (got < 0 || static_cast<size_t>(got) != piece) {
            free(buffer);
            errno = EIO;
            return -1;
        }
        done += piece;
    }
    *data = buffer;
    *size = total;
    return 0;
}

int write_stream_fully(IBStream* stream, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        size_t piece = size - done < max_piece ? size - done : max_piece;
        int32 put = 0;
        // IBStream::write takes a non-const pointer but only reads from it.
        stream->vtbl->write(stream, const_cast<uint8_t*>(data + done), static_cast<int32>(piece),
                            &put);
        if (put < 0 || static_cast<size_t>(put) != piece) {
            errno = EIO;
            return -1;
        }
        done += piece;
    }
    return 0;
}
