// Writes seed archives for the zip reader's fuzz target in the forms 7za
// does not write on demand: Zip64 records and fields, data descriptors with
// and without their signature, a legacy name and a Unicode Path field.
// Usage: zip_fuzz_seeds FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "zip_writer.h"

using quillet::zip::testing::unicodePathField;
using quillet::zip::testing::WriterEntry;
using quillet::zip::testing::writeZip;

namespace {

bool save(const std::string& folder, const std::string& name, const std::string& bytes) {
  std::ofstream out(folder + "/" + name, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::string text = "seed text, seed text, seed text\n";
  WriterEntry described("described.txt", text, 8, 0x0008);
  WriterEntry plainDescriptor("plain.txt", "stored", 0, 0x0008);
  plainDescriptor.descriptorSignature = false;
  WriterEntry unicode(
      "\x81"
      "ber.txt",
      "u", 0);
  unicode.extra = unicodePathField(
      "\x81"
      "ber.txt",
      "\xc3\xbc"
      "ber.txt");
  const bool saved =
      save(folder, "seed-zip64", writeZip({{"a.txt", text, 8}, {"dir/", "", 0}}, true).bytes) &&
      save(folder, "seed-descriptors", writeZip({described, plainDescriptor}).bytes) &&
      save(folder, "seed-zip64-descriptor", writeZip({described}, true).bytes) &&
      save(folder, "seed-names", writeZip({unicode, {"\x8e.txt", "legacy", 0}}).bytes);
  if (!saved) {
    std::fprintf(stderr, "cannot write the seeds into %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
