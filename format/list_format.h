// The byte format of the list files "$FileList.txt" and "$FolderList.txt",
// in one place: a 16-bit little-endian line count, then UTF-16LE lines each
// ended by the unit 0x000A, with no byte-order mark, no 0x000D and no 0x0000.
//
// Pure code: bytes in, lines out (and back). The walk writes through the
// encoder, the loader and the stripper read through the decoder in its raw
// mode, the release check reads through it in its strict mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "release_format.h"

namespace quillet {

inline constexpr char16_t kListLineEnd = u'\n';
inline constexpr std::size_t kListHeaderBytes = 2;

// The 2 header bytes for `count` lines.
std::string encodeListHeader(std::uint16_t count);
// One line: the UTF-16LE units of `text`, then 0x000A.
std::string encodeListLine(std::u16string_view text);
// A whole list: the header counting `lines`, then every line. The caller
// keeps to kListLinesMax lines.
std::string encodeList(const std::vector<std::u16string>& lines);

// What is wrong with a list file.
enum class ListFault {
  kNone,
  kNoHeader,           // the file ends before its 2 header bytes
  kLineTooLongToRead,  // no 0x000A within kListLineReadUnitsMax units
  kUnterminatedLine,   // the file ends inside a line (or inside a unit)
  // Strict mode only:
  kByteOrderMark,          // the first line begins with U+FEFF
  kLineTooLong,            // more than kListLineUnitsMax units of text
  kNulUnit,                // a 0x0000 unit
  kCarriageReturn,         // a 0x000D unit
  kEmptyLine,              // 0x000A alone
  kMoreLinesThanCounted,   // lines beyond the header's count
  kFewerLinesThanCounted,  // the file ends before the header's count
};

// Takes a list file in chunks of any size and hands out its lines, each
// without its 0x000A, numbered from 1. No whole-file buffer: it holds at
// most one line.
//
// kRaw finds only what stops a line from being read at all (the first three
// faults); the loader and the stripper judge the lines themselves. kStrict
// refuses everything the walk never writes and checks the count.
class ListDecoder {
 public:
  enum class Mode { kRaw, kStrict };
  // Gets each line; returning false stops the decoding (no fault is set).
  using LineSink = std::function<bool(std::u16string_view line, std::uint32_t lineNumber)>;

  explicit ListDecoder(Mode mode) : mode_(mode) {}

  // Decodes the next chunk. False once a fault is found or the sink stopped.
  bool feed(const void* data, std::size_t size, const LineSink& sink);
  // The end of the file. False for a fault at the end (a missing header, an
  // unterminated line, in strict mode a count that differs from the header).
  bool finish();

  std::uint16_t headerCount() const { return count_; }

  ListFault fault() const { return fault_; }
  // The line the fault concerns (0 for the header and the count at the end).
  std::uint32_t faultLine() const { return faultLine_; }
  // The fault in words, with its line number.
  std::string message() const;

 private:
  // `units` whole units at `bytes`: appended to the line, each line feed
  // ending one.
  bool takeUnits(const std::uint8_t* bytes, std::size_t units, const LineSink& sink);
  bool takeLine(const LineSink& sink);
  bool fail(ListFault fault, std::uint32_t line);

  Mode mode_;
  std::size_t headerBytes_ = 0;
  std::uint16_t count_ = 0;
  int lowByte_ = -1;  // the first byte of a unit not complete yet
  std::u16string line_;
  std::uint32_t lines_ = 0;
  bool stopped_ = false;
  ListFault fault_ = ListFault::kNone;
  std::uint32_t faultLine_ = 0;
};

// A whole list decoded at once (tests, small files).
struct DecodedList {
  ListFault fault = ListFault::kNone;
  std::uint32_t faultLine = 0;
  std::string message;
  std::uint16_t count = 0;
  std::vector<std::u16string> lines;
};
DecodedList decodeList(std::string_view bytes, ListDecoder::Mode mode);

}  // namespace quillet
