#include "list_format.h"

namespace quillet {

std::string encodeListHeader(std::uint16_t count) {
  return std::string{static_cast<char>(count & 0xFF), static_cast<char>(count >> 8)};
}

std::string encodeListLine(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2 + 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  bytes.push_back(static_cast<char>(kListLineEnd));
  bytes.push_back('\0');
  return bytes;
}

std::string encodeList(const std::vector<std::u16string>& lines) {
  std::string bytes = encodeListHeader(static_cast<std::uint16_t>(lines.size()));
  for (const std::u16string& line : lines) bytes += encodeListLine(line);
  return bytes;
}

bool ListDecoder::fail(ListFault fault, std::uint32_t line) {
  fault_ = fault;
  faultLine_ = line;
  stopped_ = true;
  return false;
}

// `line_` holds a complete line without its line feed.
bool ListDecoder::takeLine(const LineSink& sink) {
  const std::uint32_t number = ++lines_;
  if (mode_ == Mode::kStrict) {
    if (number == 1 && !line_.empty() && line_[0] == u'\xFEFF') {
      return fail(ListFault::kByteOrderMark, number);
    }
    if (line_.empty()) return fail(ListFault::kEmptyLine, number);
    if (line_.size() > kListLineUnitsMax) return fail(ListFault::kLineTooLong, number);
    for (char16_t unit : line_) {
      if (unit == u'\0') return fail(ListFault::kNulUnit, number);
      if (unit == u'\r') return fail(ListFault::kCarriageReturn, number);
    }
    if (number > count_) return fail(ListFault::kMoreLinesThanCounted, number);
  }
  if (!sink(line_, number)) {
    stopped_ = true;
    return false;
  }
  line_.clear();
  return true;
}

bool ListDecoder::feed(const void* data, std::size_t size, const LineSink& sink) {
  if (stopped_) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t at = 0;
  while (at < size && headerBytes_ < kListHeaderBytes) {
    count_ = static_cast<std::uint16_t>(count_ | (bytes[at++] << (8 * headerBytes_)));
    ++headerBytes_;
  }
  if (at < size && lowByte_ >= 0) {
    // The unit split between the last chunk and this one.
    const std::uint8_t unit[2] = {static_cast<std::uint8_t>(lowByte_), bytes[at++]};
    lowByte_ = -1;
    if (!takeUnits(unit, 1, sink)) return false;
  }
  const std::size_t units = (size - at) / 2;
  if (!takeUnits(bytes + at, units, sink)) return false;
  if (at + 2 * units < size) lowByte_ = bytes[at + 2 * units];
  return true;
}

bool ListDecoder::takeUnits(const std::uint8_t* bytes, std::size_t units, const LineSink& sink) {
  while (units > 0) {
    // Up to the next line feed or the last unit, taken at once.
    std::size_t n = 0;
    while (n < units && (bytes[2 * n] != kListLineEnd || bytes[2 * n + 1] != 0)) ++n;
    // One read takes kListLineReadUnitsMax units; without a line feed among
    // them the line cannot be read.
    if (line_.size() + n >= kListLineReadUnitsMax) {
      return fail(ListFault::kLineTooLongToRead, lines_ + 1);
    }
    const std::size_t held = line_.size();
    line_.resize(held + n);
    for (std::size_t k = 0; k < n; ++k) {
      line_[held + k] = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    }
    if (n == units) return true;
    if (!takeLine(sink)) return false;
    bytes += 2 * (n + 1);
    units -= n + 1;
  }
  return true;
}

bool ListDecoder::finish() {
  if (stopped_) return false;
  if (headerBytes_ < kListHeaderBytes) return fail(ListFault::kNoHeader, 0);
  if (lowByte_ >= 0 || !line_.empty()) return fail(ListFault::kUnterminatedLine, lines_ + 1);
  if (mode_ == Mode::kStrict && lines_ < count_) {
    return fail(ListFault::kFewerLinesThanCounted, 0);
  }
  stopped_ = true;
  return true;
}

std::string ListDecoder::message() const {
  const std::string line = " (line " + std::to_string(faultLine_) + ")";
  switch (fault_) {
    case ListFault::kNone:
      return "";
    case ListFault::kNoHeader:
      return "is shorter than its " + std::to_string(kListHeaderBytes) + "-byte header";
    case ListFault::kLineTooLongToRead:
      return "holds a line without a line feed in its first " +
             std::to_string(kListLineReadUnitsMax) + " units" + line;
    case ListFault::kUnterminatedLine:
      return "ends with a line without a line feed" + line;
    case ListFault::kByteOrderMark:
      return "begins with a byte-order mark" + line;
    case ListFault::kLineTooLong:
      return "holds a line longer than " + std::to_string(kListLineUnitsMax) + " units" + line;
    case ListFault::kNulUnit:
      return "holds a NUL unit" + line;
    case ListFault::kCarriageReturn:
      return "holds a carriage return" + line;
    case ListFault::kEmptyLine:
      return "holds an empty line" + line;
    case ListFault::kMoreLinesThanCounted:
      return "holds more lines than its header counts (" + std::to_string(count_) + ")" + line;
    case ListFault::kFewerLinesThanCounted:
      return "holds " + std::to_string(lines_) + " lines but its header counts " +
             std::to_string(count_);
  }
  return "";
}

DecodedList decodeList(std::string_view bytes, ListDecoder::Mode mode) {
  DecodedList list;
  ListDecoder decoder(mode);
  const auto keep = [&list](std::u16string_view line, std::uint32_t) {
    list.lines.emplace_back(line);
    return true;
  };
  if (decoder.feed(bytes.data(), bytes.size(), keep)) decoder.finish();
  list.fault = decoder.fault();
  list.faultLine = decoder.faultLine();
  list.message = decoder.message();
  list.count = decoder.headerCount();
  return list;
}

}  // namespace quillet
