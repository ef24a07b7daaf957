#include "findings.h"

namespace quillet::check {

namespace {

// A number in 7-bit groups, the lowest first, each but the last with its
// high bit set: an entry's number below 2,097,152 takes three bytes.
std::uint8_t* packNumber(std::uint32_t number, std::uint8_t* out) {
  while (number >= 0x80) {
    *out++ = static_cast<std::uint8_t>(number | 0x80);
    number >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(number);
  return out;
}

const std::uint8_t* unpackNumber(const std::uint8_t* in, std::uint32_t* number) {
  std::uint32_t value = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t byte = *in++;
    value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  *number = value;
  return in;
}

}  // namespace

// A finding packed: its mentions' kinds (a byte), its severity and exit
// code (a byte), then where, its words, and, when it quotes, the quote and
// where it stands.
void Findings::push_back(const Finding& finding) {
  if (used_ + kPackedBytesMax > kBlockBytes) {
    blocks_.emplace_back(new std::uint8_t[kBlockBytes]);
    used_ = 0;
  }
  if (count_ % kPlaceEvery == 0) {
    places_.push_back(static_cast<std::uint32_t>((blocks_.size() - 1) << 16 | used_));
  }
  std::uint8_t* const begin = blocks_.back().get() + used_;
  std::uint8_t* out = begin;
  *out++ = static_cast<std::uint8_t>(static_cast<unsigned>(finding.whereOf) |
                                     static_cast<unsigned>(finding.quoteOf) << 4);
  *out++ = static_cast<std::uint8_t>((finding.exitCode & 0x7F) |
                                     (finding.severity == Severity::kError ? 0x80 : 0));
  out = packNumber(finding.where, out);
  out = packNumber(finding.messageWords, out);
  if (finding.quoteOf != Mention::Of::kNothing) {
    out = packNumber(finding.quote, out);
    out = packNumber(finding.quoteAt, out);
  }
  used_ += static_cast<std::size_t>(out - begin);
  ++count_;
}

std::uint32_t Findings::unpack(std::uint32_t at, Finding* finding) const {
  const std::uint8_t* const begin = blocks_[at >> 16].get() + (at & 0xFFFF);
  const std::uint8_t* in = begin;
  finding->whereOf = static_cast<Mention::Of>(*in & 0x0F);
  finding->quoteOf = static_cast<Mention::Of>(*in++ >> 4);
  finding->exitCode = *in & 0x7F;
  finding->severity = (*in++ & 0x80) != 0 ? Severity::kError : Severity::kWarning;
  in = unpackNumber(in, &finding->where);
  in = unpackNumber(in, &finding->messageWords);
  finding->quote = 0;
  finding->quoteAt = 0;
  if (finding->quoteOf != Mention::Of::kNothing) {
    in = unpackNumber(in, &finding->quote);
    in = unpackNumber(in, &finding->quoteAt);
  }
  std::uint32_t next = at + static_cast<std::uint32_t>(in - begin);
  // A block ends where the next finding would not have fitted.
  if ((next & 0xFFFF) + kPackedBytesMax > kBlockBytes) next = ((at >> 16) + 1) << 16;
  return next;
}

Finding Findings::operator[](std::size_t i) const { return *const_iterator(this, i); }

Findings::const_iterator::const_iterator(const Findings* findings, std::size_t index)
    : findings_(findings), index_(index) {
  if (index_ >= findings_->count_) return;
  at_ = findings_->places_[index_ / kPlaceEvery];
  for (std::size_t k = index_ - index_ % kPlaceEvery; k <= index_; ++k) {
    at_ = findings_->unpack(at_, &current_);
  }
}

Findings::const_iterator& Findings::const_iterator::operator++() {
  if (++index_ < findings_->count_) at_ = findings_->unpack(at_, &current_);
  return *this;
}

}  // namespace quillet::check
