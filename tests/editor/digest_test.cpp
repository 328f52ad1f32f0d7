// SHA-1, Base64 and the handshake's accept value (shared by the plug-in and the editor
// program) against published vectors.
#include <gtest/gtest.h>

#include <string>

#include "editor/base64.h"
#include "editor/sha1.h"
#include "editor/ws_accept.h"

static std::string sha1_hex(const std::string& text)
{
    uint8_t digest[sha1_digest_size];
    sha1(text.data(), text.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

static std::string b64(const std::string& text)
{
    char out[64];
    size_t n = base64_encode((const uint8_t*)text.data(), text.size(), out);
    EXPECT_EQ(n, base64_encoded_size(text.size()));
    EXPECT_EQ(out[n], '\0');
    return std::string(out, n);
}

TEST(Sha1, MatchesReferenceDigestsAcrossPaddingBoundaries)
{
    // "", "abc" and the million "a": FIPS 180 examples; the lengths 55 to 119 straddle
    // the one-or-two padding blocks split and were computed with Python's hashlib.
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1_hex(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(sha1_hex(std::string(63, 'a')), "03f09f5b158a7a8cdad920bddc29b81c18a551f5");
    EXPECT_EQ(sha1_hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(sha1_hex(std::string(119, 'a')), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56");
    EXPECT_EQ(sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Base64, MatchesRfc4648Vectors)
{
    EXPECT_EQ(b64(""), "");
    EXPECT_EQ(b64("f"), "Zg==");
    EXPECT_EQ(b64("fo"), "Zm8=");
    EXPECT_EQ(b64("foo"), "Zm9v");
    EXPECT_EQ(b64("foob"), "Zm9vYg==");
    EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(b64("\xff\xfe\xfd"), "//79");
}

TEST(WsAccept, MatchesRfc6455SampleAndReadsOnlyTheKey)
{
    // RFC 6455 section 1.3: the sample key and its accept value.
    char accept[ws_accept_size + 1];
    ws_accept_for_key("dGhlIHNhbXBsZSBub25jZQ==", accept);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    // Both sides hand over a pointer into the request or reply text: whatever follows
    // the 24 key characters is not part of the key.
    ws_accept_for_key("dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n", accept);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
