#include "state/state_archive.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "controller/param_table.h"
#include "state/tar_archive.h"

static constexpr char key_dsp[] = "dsp.tar";
static constexpr char key_version[] = "version";
static constexpr char key_info[] = "info.map";
static constexpr char key_parameters[] = "parameters.map";
static constexpr char key_id[] = "id";
static constexpr char archive_version[] = "1.0";
static constexpr char plugin_id[] = "tresk-vellum-grist-saturator";

// Length of a string constant without its terminator.
template <size_t N>
static constexpr uint64_t len_of(const char (&)[N]) {
    return N - 1;
}

static bool key_is(const void* key, uint64_t key_len, const char* name) {
    size_t n = strlen(name);
    return key_len == n && memcmp(key, name, n) == 0;
}

int state_archive_init(state_archive* archive) {
    archive->version = archive_version;
    archive->info = kv_map_new();
    archive->parameters = kv_map_new();
    archive->extra_inner = kv_map_new();
    archive->extra_outer = kv_map_new();
    if (archive->info && archive->parameters && archive->extra_inner && archive->extra_outer)
        return 0;
    state_archive_destroy(archive);
    errno = ENOMEM;
    return -1;
}

void state_archive_destroy(state_archive* archive) {
    kv_map_free(archive->info);
    kv_map_free(archive->parameters);
    kv_map_free(archive->extra_inner);
    kv_map_free(archive->extra_outer);
    archive->info = archive->parameters = archive->extra_inner = archive->extra_outer = nullptr;
}

static int copy_entry(const void* key, uint64_t key_len, const void* value, uint64_t value_len,
                      void* user) {
    return kv_map_insert(static_cast<kv_map*>(user), key, key_len, value, value_len) != 0;
}

// Adds a serialised map under `name`; the buffer is kept in *owned for the caller to free.
static int insert_map_file(kv_map* inner, const char* name, const kv_map* map, uint8_t** owned) {
    size_t size = 0;
    *owned = kv_map_serialize(map, &size);
    if (!*owned) return -1;  // an empty map has no file
    return kv_map_insert(inner, name, strlen(name), *owned, size);
}

namespace {
struct copy_walk {
    kv_map* into;
    int failed;
};
}  // namespace

static int copy_entry_checked(const void* key, uint64_t key_len, const void* value,
                              uint64_t value_len, void* user) {
    auto* walk = static_cast<copy_walk*>(user);
    if (copy_entry(key, key_len, value, value_len, walk->into)) {
        walk->failed = 1;
        return 1;
    }
    return 0;
}

uint8_t* state_archive_write(const state_archive* archive, size_t* size) {
    uint8_t* info_file = nullptr;
    uint8_t* params_file = nullptr;
    uint8_t* inner_tar = nullptr;
    uint8_t* chunk = nullptr;
    size_t inner_size = 0;
    kv_map* outer = nullptr;
    kv_map* inner = kv_map_new();
    if (!inner) return nullptr;

    copy_walk walk = {.into = inner, .failed = 0};
    if (kv_map_insert(inner, key_version, len_of(key_version), archive_version,
                      len_of(archive_version)) != 0 ||
        insert_map_file(inner, key_info, archive->info, &info_file) != 0 ||
        insert_map_file(inner, key_parameters, archive->parameters, &params_file) != 0)
        goto done;
    kv_map_for_each(archive->extra_inner, copy_entry_checked, &walk);
    if (walk.failed) goto done;
    inner_tar = tar_serialize(inner, &inner_size);
    if (!inner_tar) goto done;

    outer = kv_map_new();
    if (!outer || kv_map_insert(outer, key_dsp, len_of(key_dsp), inner_tar, inner_size) != 0)
        goto done;
    walk = {.into = outer, .failed = 0};
    kv_map_for_each(archive->extra_outer, copy_entry_checked, &walk);
    if (walk.failed) goto done;
    chunk = tar_serialize(outer, size);

done:
    kv_map_free(outer);
    kv_map_free(inner);
    free(inner_tar);
    free(params_file);
    free(info_file);
    return chunk;
}

static bool is_space(uint8_t b) {
    return b == ' ' || b == '\t' || b == '\n' || b == '\v' || b == '\f' || b == '\r';
}

// "1.0", optionally followed by white space only.
static bool version_ok(const uint8_t* text, uint64_t len) {
    if (len < 3 || memcmp(text, archive_version, 3) != 0) return false;
    for (uint64_t i = 3; i < len; i++)
        if (!is_space(text[i])) return false;
    return true;
}

namespace {
struct extra_walk {
    kv_map* into;
    bool inner;  // which names the archive itself claims
    int failed;
};
}  // namespace

static int collect_extra(const void* key, uint64_t key_len, const void* value,
                         uint64_t value_len, void* user) {
    auto* walk = static_cast<extra_walk*>(user);
    bool known = walk->inner ? key_is(key, key_len, key_version) || key_is(key, key_len, key_info) ||
                                   key_is(key, key_len, key_parameters)
                             : key_is(key, key_len, key_dsp);
    if (known) return 0;
    if (kv_map_insert(walk->into, key, key_len, value, value_len) != 0) {
        walk->failed = 1;
        return 1;
    }
    return 0;
}

int state_archive_read(state_archive* archive, const uint8_t* chunk, size_t size) {
    *archive = {};
    kv_map* inner = nullptr;
    const void* part = nullptr;
    uint64_t part_len = 0;
    int error = EINVAL;
    extra_walk walk = {};

    kv_map* outer = tar_parse(chunk, size);
    if (!outer) return -1;
    part = kv_map_get(outer, key_dsp, len_of(key_dsp), &part_len);
    if (!part) goto fail;
    inner = tar_parse(static_cast<const uint8_t*>(part), part_len);
    if (!inner) goto fail_errno;

    part = kv_map_get(inner, key_version, len_of(key_version), &part_len);
    if (!part || !version_ok(static_cast<const uint8_t*>(part), part_len)) goto fail;

    part = kv_map_get(inner, key_info, len_of(key_info), &part_len);
    if (!part) goto fail;
    archive->info = kv_map_parse(static_cast<const uint8_t*>(part), part_len);
    if (!archive->info) goto fail_errno;
    part = kv_map_get(inner, key_parameters, len_of(key_parameters), &part_len);
    if (!part) goto fail;
    archive->parameters = kv_map_parse(static_cast<const uint8_t*>(part), part_len);
    if (!archive->parameters) goto fail_errno;
    archive->version = archive_version;

    error = ENOMEM;
    archive->extra_inner = kv_map_new();
    archive->extra_outer = kv_map_new();
    if (!archive->extra_inner || !archive->extra_outer) goto fail;
    walk = {.into = archive->extra_inner, .inner = true, .failed = 0};
    kv_map_for_each(inner, collect_extra, &walk);
    if (walk.failed) goto fail;
    walk = {.into = archive->extra_outer, .inner = false, .failed = 0};
    kv_map_for_each(outer, collect_extra, &walk);
    if (walk.failed) goto fail;

    kv_map_free(inner);
    kv_map_free(outer);
    return 0;

fail_errno:
    error = errno;
fail:
    kv_map_free(inner);
    kv_map_free(outer);
    state_archive_destroy(archive);
    errno = error;
    return -1;
}

static uint32_t get_u32_le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int load_state(const state_sink* sink, const uint8_t* chunk, size_t size) {
    state_archive archive;
    if (state_archive_read(&archive, chunk, size) != 0) return -1;

    float values[param_count];
    uint64_t len = 0;
    const void* id = kv_map_get(archive.info, key_id, len_of(key_id), &len);
    bool ok = id && len == len_of(plugin_id) && memcmp(id, plugin_id, len) == 0;
    for (int i = 0; ok && i < param_count; i++) {
        const char* key = param_state_keys[i];
        const void* v = kv_map_get(archive.parameters, key, strlen(key), &len);
        if (!v || len != 4) {
            ok = false;
            break;
        }
        uint32_t bits = get_u32_le(static_cast<const uint8_t*>(v));
        // A NaN (all-ones exponent, non-zero fraction) is refused; infinities clamp later.
        if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) {
            ok = false;
            break;
        }
        values[i] = std::bit_cast<float>(bits);
    }

    // All checks ran before the first delivery, so a refused chunk changes nothing.
    if (ok) {
        sink->lock(sink->context);
        for (int i = 0; i < param_count; i++) sink->set_value(sink->context, i, values[i]);
        sink->unlock(sink->context);
    }
    state_archive_destroy(&archive);
    if (!ok) errno = EINVAL;
    return ok ? 0 : -1;
}

static void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The plug-in version the factory reports, 1.2.1.1.
static constexpr int32_t version_parts[4] = {1, 2, 1, 1};

uint8_t* state_chunk_write(const float values[param_count], float sample_rate, size_t* size) {
    // The maps borrow these bytes; they live until the archive is destroyed.
    uint8_t rate_bytes[4], version_bytes[4][4], value_bytes[param_count][4];
    put_le32(rate_bytes, std::bit_cast<uint32_t>(sample_rate));
    for (int i = 0; i < 4; i++) put_le32(version_bytes[i], static_cast<uint32_t>(version_parts[i]));
    for (int i = 0; i < param_count; i++) put_le32(value_bytes[i], std::bit_cast<uint32_t>(values[i]));

    state_archive archive;
    if (state_archive_init(&archive) != 0) return nullptr;
    struct {
        const char* key;
        const void* value;
        uint64_t len;
    } const info[] = {
        {key_id, plugin_id, len_of(plugin_id)},
        {"version_major", version_bytes[0], 4},
        {"version_minor", version_bytes[1], 4},
        {"version_revision", version_bytes[2], 4},
        {"version_build", version_bytes[3], 4},
        {"format", "vst3", 4},
        {"platform", "linux", 5},
        {"sample_rate", rate_bytes, 4},
    };
    bool ok = true;
    for (const auto& e : info)
        ok = ok && kv_map_insert(archive.info, e.key, strlen(e.key), e.value, e.len) == 0;
    for (int i = 0; ok && i < param_count; i++)
        ok = kv_map_insert(archive.parameters, param_state_keys[i], strlen(param_state_keys[i]),
                           value_bytes[i], 4) == 0;
    uint8_t* chunk = ok ? state_archive_write(&archive, size) : nullptr;
    state_archive_destroy(&archive);
    if (!chunk) errno = ENOMEM;
    return chunk;
}
