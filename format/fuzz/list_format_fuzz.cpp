// Feeds arbitrary bytes to the list decoder, whole and in pieces, in both
// modes, and checks what the decoder promises whatever the bytes are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "list_format.h"

namespace {

struct Result {
  quillet::ListFault fault;
  std::uint32_t faultLine;
  std::vector<std::u16string> lines;
};

Result decode(const std::string& bytes, std::size_t chunk, quillet::ListDecoder::Mode mode) {
  Result result;
  quillet::ListDecoder decoder(mode);
  const auto keep = [&result](std::u16string_view line, std::uint32_t number) {
    if (number != result.lines.size() + 1) std::abort();  // numbered from 1, none skipped
    result.lines.emplace_back(line);
    return true;
  };
  bool going = true;
  for (std::size_t at = 0; going && at < bytes.size(); at += chunk) {
    going = decoder.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), keep);
  }
  if (going) decoder.finish();
  if (decoder.fault() != quillet::ListFault::kNone && decoder.message().empty()) std::abort();
  result.fault = decoder.fault();
  result.faultLine = decoder.faultLine();
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the size of the pieces; the rest is the list.
  const std::size_t chunk = 1 + data[0] % 17;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  for (const auto mode : {quillet::ListDecoder::Mode::kRaw, quillet::ListDecoder::Mode::kStrict}) {
    const Result whole = decode(bytes, bytes.size() + 1, mode);
    const Result pieces = decode(bytes, chunk, mode);
    // How the bytes arrive changes nothing.
    if (whole.fault != pieces.fault || whole.faultLine != pieces.faultLine ||
        whole.lines != pieces.lines) {
      std::abort();
    }
    if (whole.fault != quillet::ListFault::kNone) continue;
    // A list that decodes is exactly its lines encoded again.
    std::string again = bytes.substr(0, quillet::kListHeaderBytes);
    for (const std::u16string& line : whole.lines) {
      if (line.size() >= quillet::kListLineReadUnitsMax) std::abort();
      again += quillet::encodeListLine(line);
    }
    if (again != bytes) std::abort();
    if (mode == quillet::ListDecoder::Mode::kStrict) {
      if (quillet::encodeList(whole.lines) != bytes) std::abort();  // the count is the lines'
      for (const std::u16string& line : whole.lines) {
        if (line.empty() || line.size() > quillet::kListLineUnitsMax) std::abort();
        if (line.find(u'\0') != std::u16string::npos || line.find(u'\r') != std::u16string::npos) {
          std::abort();
        }
      }
    }
  }
  return 0;
}
