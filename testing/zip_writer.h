// A tiny zip writer for tests: well-formed archives that tests then tamper
// with at the offsets it reports, and archives with the features 7za does
// not write on demand (Zip64 records, data descriptors, legacy names,
// Unicode Path fields).
#ifndef QUILLET_ZIP_TESTS_ZIP_WRITER_H
#define QUILLET_ZIP_TESTS_ZIP_WRITER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillet::zip::testing {

struct WriterEntry {
  WriterEntry(std::string name_, std::string data_, std::uint16_t method_ = 8,
              std::uint16_t flags_ = 0)
      : name(std::move(name_)), data(std::move(data_)), method(method_), flags(flags_) {}

  std::string name;          // stored bytes of the name
  std::string data;          // uncompressed contents
  std::uint16_t method = 8;  // 0 stored, 8 deflate (raw, by zlib)
  std::uint16_t flags = 0;   // bit 3 makes the writer leave 0s locally and add a descriptor
  std::string extra;         // extra fields added to both headers
  bool descriptorSignature = true;
  std::uint32_t unixMode = 0;  // a Unix mode in the external attributes (made by Unix), or 0
};

struct WrittenZip {
  std::string bytes;
  std::vector<std::uint64_t> local;    // offset of each local header
  std::vector<std::uint64_t> central;  // offset of each central header
  std::uint64_t directoryOffset = 0;
  std::uint64_t end = 0;  // offset of the end-of-central-directory record
};

// zip64: every size and offset through Zip64 extra fields, and the Zip64
// end record and locator before the classic end record.
WrittenZip writeZip(const std::vector<WriterEntry>& entries, bool zip64 = false,
                    const std::string& comment = "");

// Raw deflate (no zlib header) of `data`.
std::string deflateRaw(const std::string& data);

// An Info-ZIP Unicode Path extra field for a stored name.
std::string unicodePathField(const std::string& storedName, const std::string& utf8Name);

void put16(std::string& bytes, std::uint64_t offset, std::uint16_t value);
void put32(std::string& bytes, std::uint64_t offset, std::uint32_t value);

}  // namespace quillet::zip::testing

#endif  // QUILLET_ZIP_TESTS_ZIP_WRITER_H
