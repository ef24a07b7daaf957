#include "packing_run.h"

#include "console.h"
#include "platform.h"
#include "walk.h"

namespace quillet {
namespace {

constexpr char16_t kRule[] = u"**********************************************************\n";

void printBanner() {
  printWide(kRule);
  printWide(u"[Name] ZarvoEU_Quillet.exe\t\t\t\t\t\t\t\t\t\n");
  printWide(u"[Description]\t\t\t\t\t\t\t\t\t\t\t\t\n");
  printWide(u"This tool is used to pack BSP & NAVI related files into\t\n");
  printWide(u"a release file, ZarvoEUupdate.zip. \t\t\t\t\t\t\t\n");
  printWide(u"[BSP] 0.90.019RO or laters\t\t\t\t\t\t\t\t\n");
  printWide(kRule);
}

}  // namespace

int packingRun() {
  Platform& system = platform();
  printWide(kRule);
  printWide(u"Start to pack ZarvoEUupdate.zip...\n");

  system.deleteFileW(u"ZarvoEUupdate.zip");
  system.deleteFileW(u"FlashDrive\\$FileList.txt");
  system.deleteFileW(u"FlashDrive\\$FolderList.txt");
  system.deleteFileW(u"FlashDrive\\$md5.bin");

  int exitCode = kExitPacked;
  if (makeList() != 1) exitCode = kExitWalkFailed;

  printBanner();
  printWide(u"Press any key to continue...");
  system.readChar();
  return exitCode;
}

}  // namespace quillet
