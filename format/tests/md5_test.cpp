#include "md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace quillet {
namespace {

std::string hex(const std::uint8_t (&digest)[kMd5DigestBytes]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

// The digest of `message` added in pieces of the given lengths (the last
// piece takes whatever is left).
std::string digestInPieces(const std::string& message, const std::vector<std::size_t>& pieces) {
  Md5Context context;
  md5Start(&context);
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    const std::size_t n = std::min(piece, message.size() - at);
    md5AddBytes(&context, message.data() + at, static_cast<std::uint32_t>(n));
    at += n;
  }
  md5AddBytes(&context, message.data() + at, static_cast<std::uint32_t>(message.size() - at));
  std::uint8_t digest[kMd5DigestBytes];
  md5Finish(digest, &context);
  return hex(digest);
}

std::string digestOf(const std::string& message) { return digestInPieces(message, {}); }

// A message whose bytes are all different from their neighbours, so that a
// byte taken from the wrong place changes the digest.
std::string patterned(std::size_t length) {
  std::string message(length, '\0');
  for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>((i * 7 + 3) & 0xff);
  return message;
}

struct Vector {
  std::string message;
  const char* digest;
};

class Md5Vectors : public testing::TestWithParam<Vector> {};

TEST_P(Md5Vectors, DigestMatches) { EXPECT_EQ(digestOf(GetParam().message), GetParam().digest); }

// RFC 1321, appendix A.5.
INSTANTIATE_TEST_SUITE_P(
    Rfc1321, Md5Vectors,
    testing::Values(
        Vector{"", "d41d8cd98f00b204e9800998ecf8427e"},
        Vector{"a", "0cc175b9c0f1b6a831c399e269772661"},
        Vector{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Vector{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        Vector{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
               "d174ab98d277d9f5a5611c2c9f419d9f"},
        Vector{"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
               "0",
               "57edf4a22be3c955ac49da2e2107b67a"}));

// Zero bytes are message bytes like any other; lengths around the block and
// pad boundaries; a long message of many blocks.
INSTANTIATE_TEST_SUITE_P(
    Others, Md5Vectors,
    testing::Values(Vector{std::string(1, '\0'), "93b885adfe0da089cdf634904fd59f71"},
                    Vector{std::string("a\0b\0\0c", 6), "9dda6c26e3a9d07b7c2eb984cf3b59e1"},
                    Vector{std::string(64, '\0'), "3b5d3c7d207e37dceeedd301e35e2e58"},
                    Vector{patterned(55), "52c0e574e1198de5fe3f8f11440dcb1b"},
                    Vector{patterned(56), "46c9907fc908ee68b1e7b8e71286a518"},
                    Vector{patterned(63), "a62f6d59e837867693f042f5b8f5a236"},
                    Vector{patterned(64), "7160b8fb5e9e4023d549c3971fbaeead"},
                    Vector{patterned(65), "70bd662e7aefbda85a0f7244167b7897"},
                    Vector{patterned(120), "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
                    Vector{patterned(5000), "33d9712cc5eb0bf18a41ed54a908e412"},
                    Vector{std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}));

class Md5Splits : public testing::TestWithParam<std::size_t> {};

TEST_P(Md5Splits, DigestDoesNotDependOnHowTheMessageIsDivided) {
  const std::string message = patterned(GetParam());
  const std::string whole = digestOf(message);

  for (std::size_t first = 0; first <= message.size(); ++first) {
    SCOPED_TRACE("two pieces, the first of " + std::to_string(first) + " bytes");
    EXPECT_EQ(digestInPieces(message, {first}), whole);
  }
  for (std::size_t first = 0; first <= message.size(); first += 5) {
    for (std::size_t second = 0; first + second <= message.size(); second += 3) {
      SCOPED_TRACE("three pieces of " + std::to_string(first) + ", " + std::to_string(second));
      EXPECT_EQ(digestInPieces(message, {first, second}), whole);
    }
  }
  SCOPED_TRACE("one byte at a time");
  EXPECT_EQ(digestInPieces(message, std::vector<std::size_t>(message.size(), 1)), whole);
}

INSTANTIATE_TEST_SUITE_P(AroundBlockBoundaries, Md5Splits,
                         testing::Values(55, 56, 63, 64, 65, 120));

TEST(Md5, PiecesOf1024BytesWithAShortLastPieceGiveTheSameDigest) {
  for (std::size_t length : {1024u * 3, 1024u * 3 + 1, 1024u * 4 + 1000, 5000u}) {
    SCOPED_TRACE(length);
    const std::string message = patterned(length);
    EXPECT_EQ(digestInPieces(message, std::vector<std::size_t>(length / 1024, 1024)),
              digestOf(message));
  }
  EXPECT_EQ(digestInPieces(patterned(5000), {1024, 1024, 1024, 1024}),
            "33d9712cc5eb0bf18a41ed54a908e412");
}

TEST(Md5, EmptyPiecesChangeNothing) {
  const std::string message = patterned(100);
  EXPECT_EQ(digestInPieces(message, {0, 0, 30, 0, 34, 0}), digestOf(message));
}

TEST(Md5, LowBitCountWordCarriesIntoTheHighWord) {
  Md5Context context;
  md5Start(&context);
  context.bitCount[0] = 0xfffffff8u;  // 2^32 - 8
  const std::uint8_t byte = 0x5a;
  md5AddBytes(&context, &byte, 1);
  EXPECT_EQ(context.bitCount[0], 0u);
  EXPECT_EQ(context.bitCount[1], 1u);

  context.bitCount[0] = 0xfffffff0u;
  context.bitCount[1] = 7;
  const std::uint8_t bytes[5] = {};
  md5AddBytes(&context, bytes, sizeof bytes);
  EXPECT_EQ(context.bitCount[0], 0x18u);
  EXPECT_EQ(context.bitCount[1], 8u);
}

TEST(Md5, HighBitCountWordEntersTheLengthField) {
  // Two contexts that differ only in the high count word finish differently.
  Md5Context low;
  md5Start(&low);
  Md5Context high = low;
  high.bitCount[1] = 1;
  std::uint8_t lowDigest[kMd5DigestBytes];
  std::uint8_t highDigest[kMd5DigestBytes];
  md5Finish(lowDigest, &low);
  md5Finish(highDigest, &high);
  EXPECT_EQ(hex(lowDigest), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_NE(hex(highDigest), hex(lowDigest));
}

TEST(Md5, FinishWipesTheWholeContext) {
  Md5Context context;
  std::memset(&context, 0xa5, sizeof context);
  md5Start(&context);
  const std::string message = patterned(100);  // leaves bytes waiting in the block
  md5AddBytes(&context, message.data(), static_cast<std::uint32_t>(message.size()));
  std::uint8_t digest[kMd5DigestBytes];
  md5Finish(digest, &context);

  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&context);
  EXPECT_EQ(std::count(bytes, bytes + sizeof context, 0), static_cast<long>(sizeof context));
}

TEST(Md5, ContextCanBeStartedAgainAfterFinishing) {
  Md5Context context;
  md5Start(&context);
  md5AddBytes(&context, "abc", 3);
  std::uint8_t digest[kMd5DigestBytes];
  md5Finish(digest, &context);
  md5Start(&context);
  md5AddBytes(&context, "a", 1);
  md5Finish(digest, &context);
  EXPECT_EQ(hex(digest), "0cc175b9c0f1b6a831c399e269772661");
}

}  // namespace
}  // namespace quillet
