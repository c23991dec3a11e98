// MD5 against the test suite of RFC 1321 and against files hashed whole and in pieces.
#include "md5.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string hex(const uint8_t d[MD5_DIGEST_BYTES]) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < MD5_DIGEST_BYTES; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5_of(const std::string& text) {
    md5_context c;
    c.update(text.data(), text.size());
    uint8_t d[MD5_DIGEST_BYTES];
    c.final(d);
    return hex(d);
}

std::string temp_file(const std::string& contents) {
    char name[] = "/tmp/prims_md5_XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), ssize_t(contents.size()));
    close(fd);
    return name;
}

}  // namespace

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(md5_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_of("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, FileWholeAndInPiecesAgree) {
    // One million 'a': a digest widely published alongside the RFC's suite.
    const std::string million(1000000, 'a');
    std::string path = temp_file(million);
    uint8_t whole[MD5_DIGEST_BYTES];
    ASSERT_TRUE(md5_file(path.c_str(), whole));
    EXPECT_EQ(hex(whole), "7707d6ae4e027c70eea2a935c2296f21");

    // Pieces that straddle the 64-byte block boundary in every way.
    md5_context c;
    const size_t sizes[] = {1, 63, 64, 65, 127, 128, 129, 4095, 0, 7};
    size_t pos = 0, k = 0;
    while (pos < million.size()) {
        size_t n = std::min(sizes[k++ % 10], million.size() - pos);
        c.update(million.data() + pos, n);
        pos += n;
    }
    uint8_t pieces[MD5_DIGEST_BYTES];
    c.final(pieces);
    EXPECT_EQ(hex(pieces), hex(whole));
    std::remove(path.c_str());

    // A file of binary bytes (including NUL and 0x1A) is hashed byte for byte.
    std::string binary;
    for (int i = 0; i < 1000; ++i)
        binary += char((i * 37) & 0xFF);
    path = temp_file(binary);
    ASSERT_TRUE(md5_file(path.c_str(), whole));
    EXPECT_EQ(hex(whole), md5_of(binary));
    std::remove(path.c_str());
}

TEST(Md5, MissingFileFailsWithErrno) {
    uint8_t d[MD5_DIGEST_BYTES];
    errno = 0;
    EXPECT_FALSE(md5_file("/nonexistent/prims/none.bin", d));
    EXPECT_EQ(errno, ENOENT);
}
