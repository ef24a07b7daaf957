// The report's findings come back as they were put in, in order, however
// many there are and whatever their numbers.
#include "findings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quillet::check {
namespace {

bool same(const Finding& a, const Finding& b) {
  return a.severity == b.severity && a.exitCode == b.exitCode && a.whereOf == b.whereOf &&
         a.quoteOf == b.quoteOf && a.where == b.where && a.quote == b.quote &&
         a.messageWords == b.messageWords && a.quoteAt == b.quoteAt;
}

// Findings of every kind, with numbers at each width's edge, many enough to
// fill several blocks.
std::vector<Finding> variedFindings(std::size_t count) {
  static const std::uint32_t kEdges[] = {0,        1,         0x7F,       0x80,
                                         0x3FFF,   0x4000,    0x1FFFF,    0x1FFFFF,
                                         0x200000, 0xFFFFFFF, 0x10000000, UINT32_MAX};
  constexpr std::size_t kEdgeCount = sizeof(kEdges) / sizeof(kEdges[0]);
  std::vector<Finding> findings(count);
  for (std::size_t i = 0; i < count; ++i) {
    Finding& finding = findings[i];
    finding.severity = i % 3 == 0 ? Severity::kWarning : Severity::kError;
    finding.exitCode =
        static_cast<std::uint8_t>(finding.severity == Severity::kError ? 3 + i % 4 : 0);
    finding.whereOf = static_cast<Mention::Of>(i % 8);
    finding.quoteOf = static_cast<Mention::Of>((i / 8) % 8);
    finding.where = kEdges[i % kEdgeCount];
    finding.messageWords = kEdges[(i / 2) % kEdgeCount];
    if (finding.quoteOf != Mention::Of::kNothing) {
      finding.quote = kEdges[(i / 3) % kEdgeCount];
      finding.quoteAt = kEdges[(i / 5) % kEdgeCount];
    }
  }
  return findings;
}

class FindingsKept : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FindingsKept, ComeBackInOrderWhetherWalkedOrLookedUp) {
  const std::vector<Finding> put = variedFindings(GetParam());
  Findings findings;
  for (const Finding& finding : put) findings.push_back(finding);
  ASSERT_EQ(findings.size(), put.size());
  EXPECT_EQ(findings.empty(), put.empty());

  std::size_t i = 0;
  for (const Finding& finding : findings) {
    ASSERT_LT(i, put.size());
    ASSERT_TRUE(same(finding, put[i])) << "finding " << i << " walked";
    ++i;
  }
  EXPECT_EQ(i, put.size());
  for (i = 0; i < put.size(); ++i) {
    ASSERT_TRUE(same(findings[i], put[i])) << "finding " << i << " looked up";
  }
}

// None, one, at and past the stride of kept places, and enough to cross
// blocks (a finding takes at most 22 bytes; a block holds 64 KiB).
INSTANTIATE_TEST_SUITE_P(Counts, FindingsKept,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{63},
                                           std::size_t{64}, std::size_t{65}, std::size_t{20000}));

// The largest finding (22 bytes: a quote, and every number at its widest)
// put where it ends exactly at its block's end (it stays there), and one
// byte later (it begins the next block). Small findings (4 bytes) and one of
// 6 or 7 bytes lead up to it.
class FindingAtBlockEnd : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FindingAtBlockEnd, ComesBackWhetherItFitsOrNot) {
  std::vector<Finding> put(16377);  // 65,508 bytes of 4 each
  Finding lead;
  lead.where = GetParam();  // 0x80: 6 bytes in all; 0x4000: 7
  lead.messageWords = 0x80;
  put.push_back(lead);
  Finding largest;
  largest.whereOf = Mention::Of::kEntry;
  largest.quoteOf = Mention::Of::kFileLine;
  largest.where = largest.messageWords = largest.quote = largest.quoteAt = UINT32_MAX;
  put.push_back(largest);
  put.push_back(lead);
  Findings findings;
  for (const Finding& finding : put) findings.push_back(finding);
  std::size_t i = 0;
  for (const Finding& finding : findings) {
    ASSERT_TRUE(same(finding, put[i])) << "finding " << i;
    ++i;
  }
  for (i = put.size() - 3; i < put.size(); ++i) {
    ASSERT_TRUE(same(findings[i], put[i])) << "finding " << i << " looked up";
  }
}

INSTANTIATE_TEST_SUITE_P(Fits, FindingAtBlockEnd, ::testing::Values(0x80u, 0x4000u));

}  // namespace
}  // namespace quillet::check
