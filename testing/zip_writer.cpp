#include "zip_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace quillet::zip::testing {
namespace {

void add16(std::string& out, std::uint64_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void add32(std::string& out, std::uint64_t value) {
  add16(out, value & 0xFFFF);
  add16(out, (value >> 16) & 0xFFFF);
}
void add64(std::string& out, std::uint64_t value) {
  add32(out, value & 0xFFFFFFFF);
  add32(out, value >> 32);
}

std::uint32_t crcOf(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

}  // namespace

void put16(std::string& bytes, std::uint64_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<char>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, std::uint64_t offset, std::uint32_t value) {
  put16(bytes, offset, static_cast<std::uint16_t>(value & 0xFFFF));
  put16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

std::string deflateRaw(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::string unicodePathField(const std::string& storedName, const std::string& utf8Name) {
  std::string field;
  add16(field, 0x7075);
  add16(field, 5 + utf8Name.size());
  field += '\x01';
  add32(field, crcOf(storedName));
  field += utf8Name;
  return field;
}

WrittenZip writeZip(const std::vector<WriterEntry>& entries, bool zip64,
                    const std::string& comment) {
  WrittenZip zip;
  std::string& out = zip.bytes;
  std::vector<std::string> packed;
  for (const WriterEntry& entry : entries) {
    packed.push_back(entry.method == 8 ? deflateRaw(entry.data) : entry.data);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const WriterEntry& entry = entries[i];
    const bool descriptor = (entry.flags & 0x0008) != 0;
    const std::uint32_t crc = crcOf(entry.data);
    zip.local.push_back(out.size());
    std::string extra = entry.extra;
    if (zip64) {
      add16(extra, 0x0001);
      add16(extra, 16);
      add64(extra, descriptor ? 0 : entry.data.size());
      add64(extra, descriptor ? 0 : packed[i].size());
    }
    add32(out, 0x04034b50);
    add16(out, zip64 ? 45 : 20);
    add16(out, entry.flags);
    add16(out, entry.method);
    add32(out, 0);  // time and date
    add32(out, descriptor ? 0 : crc);
    add32(out, zip64 ? 0xFFFFFFFF : descriptor ? 0 : packed[i].size());
    add32(out, zip64 ? 0xFFFFFFFF : descriptor ? 0 : entry.data.size());
    add16(out, entry.name.size());
    add16(out, extra.size());
    out += entry.name;
    out += extra;
    out += packed[i];
    if (descriptor) {
      if (entry.descriptorSignature) add32(out, 0x08074b50);
      add32(out, crc);
      if (zip64) {
        add64(out, packed[i].size());
        add64(out, entry.data.size());
      } else {
        add32(out, packed[i].size());
        add32(out, entry.data.size());
      }
    }
  }
  zip.directoryOffset = out.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const WriterEntry& entry = entries[i];
    zip.central.push_back(out.size());
    std::string extra = entry.extra;
    if (zip64) {
      add16(extra, 0x0001);
      add16(extra, 24);
      add64(extra, entry.data.size());
      add64(extra, packed[i].size());
      add64(extra, zip.local[i]);
    }
    add32(out, 0x02014b50);
    add16(out, (entry.unixMode != 0 ? 0x0300 : 0) | (zip64 ? 45 : 20));
    add16(out, zip64 ? 45 : 20);
    add16(out, entry.flags);
    add16(out, entry.method);
    add32(out, 0);
    add32(out, crcOf(entry.data));
    add32(out, zip64 ? 0xFFFFFFFF : packed[i].size());
    add32(out, zip64 ? 0xFFFFFFFF : entry.data.size());
    add16(out, entry.name.size());
    add16(out, extra.size());
    add16(out, 0);                     // comment
    add16(out, 0);                     // disk
    add16(out, 0);                     // internal attributes
    add32(out, entry.unixMode << 16);  // external attributes
    add32(out, zip64 ? 0xFFFFFFFF : zip.local[i]);
    out += entry.name;
    out += extra;
  }
  const std::uint64_t directorySize = out.size() - zip.directoryOffset;
  if (zip64) {
    const std::uint64_t record = out.size();
    add32(out, 0x06064b50);
    add64(out, 44);
    add16(out, 45);
    add16(out, 45);
    add32(out, 0);
    add32(out, 0);
    add64(out, entries.size());
    add64(out, entries.size());
    add64(out, directorySize);
    add64(out, zip.directoryOffset);
    add32(out, 0x07064b50);
    add32(out, 0);
    add64(out, record);
    add32(out, 1);
  }
  zip.end = out.size();
  add32(out, 0x06054b50);
  add16(out, 0);
  add16(out, 0);
  add16(out, zip64 ? 0xFFFF : entries.size());
  add16(out, zip64 ? 0xFFFF : entries.size());
  add32(out, zip64 ? 0xFFFFFFFF : directorySize);
  add32(out, zip64 ? 0xFFFFFFFF : zip.directoryOffset);
  add16(out, comment.size());
  out += comment;
  return zip;
}

}  // namespace quillet::zip::testing
