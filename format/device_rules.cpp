#include "device_rules.h"

#include "release_format.h"

namespace quillet {
namespace {

char16_t upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  // Latin-1: à-þ but ÷; ÿ to Ÿ.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs of capital (even) and small (odd), but for the
  // dotless i and kra, and the shifted pairs from Ĺ to Ň and from Ź to Ž.
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    if (c == 0x131) return c;
    return static_cast<char16_t>(c & ~1u);
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c & 1u) == 0 ? static_cast<char16_t>(c - 1) : c;
  }
  // Greek: α-ω (final sigma to Σ), with the accented ones.
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : static_cast<char16_t>(c - 0x20);
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  // Cyrillic: а-я and ѐ-џ.
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool isReservedDeviceName(std::u16string_view name) {
  // The part before the first dot, without trailing spaces, is what Windows
  // compares ("nul.txt" and "COM1 .log" are the devices).
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  if (stem.size() < 3 || stem.size() > 7) return false;
  const std::u16string folded = foldedName(stem);
  static const char16_t* const kDevices[] = {u"CON",    u"PRN",     u"AUX",   u"NUL",
                                             u"CONIN$", u"CONOUT$", u"CLOCK$"};
  for (const char16_t* device : kDevices) {
    if (folded == device) return true;
  }
  return folded.size() == 4 &&
         (folded.compare(0, 3, u"COM") == 0 || folded.compare(0, 3, u"LPT") == 0) &&
         folded[3] >= u'1' && folded[3] <= u'9';
}

}  // namespace

const char* nameTheDeviceCannotHold(std::u16string_view name) {
  // (an archive's "a//b": extracted, it would be the file "a/b")
  if (name.empty()) return "is empty";
  for (char16_t c : name) {
    switch (c) {
      case u'<':
      case u'>':
      case u':':
      case u'"':
      case u'|':
      case u'?':
      case u'*':
        return "holds one of < > : \" | ? *";
      default:
        if (c >= 0x01 && c <= 0x1F) return "holds a control character";
    }
  }
  if (!name.empty() && name.back() == u'.') return "ends with a dot";
  if (!name.empty() && name.back() == u' ') return "ends with a space";
  if (isReservedDeviceName(name)) return "is a reserved device name";
  return nullptr;
}

std::u16string foldedName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = upper(c);
  return folded;
}

std::size_t devicePathUnits(std::size_t unitsBelowStaging) {
  return kStagingPrefixUnits + unitsBelowStaging;
}

std::string pathTooLong(std::size_t units) {
  if (units <= kPathUnitsMax) return "";
  return "its path, with 'FlashDrive\\' before it, takes " + std::to_string(units) +
         " characters, more than the " + std::to_string(kPathUnitsMax) + " the device holds";
}

}  // namespace quillet
