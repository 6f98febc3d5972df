// Writes the seed corpora of the fuzz targets with the project's own encoders:
//   make_fuzz_seeds <folder>   creates <folder>/<target>/seed-N for each target.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/drive_record.h"
#include "common/filter_block.h"
#include "common/pair_record.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/table/mirror_table.h"
#include "driver/table/table_cipher.h"
#include "platform/fs/file_systems.h"
#include "platform/fs/volume_image.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/registry.h"
#include "platform/nt/registry_image.h"

namespace {

void Write(const std::filesystem::path& folder, int n, const std::vector<unsigned char>& bytes) {
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / ("seed-" + std::to_string(n)), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The plain image of a table: the fuzz target seals what it is given itself.
std::vector<unsigned char> PlainImage(MirrorTable& table) {
  UCHAR* data = nullptr;
  SIZE_T size = 0;
  table.BuildImage(&data, &size);
  DecipherImage(MakeTableKey(), data + 4, size - 4);
  std::vector<unsigned char> image(data, data + size);
  DriverFree(data);
  return image;
}

void TableSeeds(const std::filesystem::path& folder) {
  const std::vector<unsigned char> filter = BuildFilterBlock(
      {{kFilterFolder, u"cache"}, {kFilterPattern, u"*.t?t"}, {kFilterExtension, u".tmp"}});
  MirrorTable table;
  ExclusiveResourceLock lock(table.lock());
  table.Prepare(0x5555AAAA, u"\\WINDOWS");
  Write(folder, 0, PlainImage(table));
  table.AddPair(u"c:\\Data", u"d:\\M1", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
  table.AddPair(u"c:\\Data", u"\\\\srv\\pub\\M2", KV_FLAG_SOURCE);
  table.SetFilter(u"c:\\Data", filter.data(), filter.size());
  Write(folder, 1, PlainImage(table));
  PairRecord record = DefaultPairRecord(u"d:");
  record.mirrorId = table.FindOwner(u"d:\\M1").node->id;
  record.groupMask = kPairGroupScheduleAccount | kPairGroupArchive;
  record.archivePath = u"e:\\a.zip";
  record.userName = u"ann";
  record.password = u"pw";
  record.schedule1[3] = 7;
  table.SetOptions(record);
  table.AddPair(u"a:\\Floppy", u"b:\\Other", KV_FLAG_SOURCE);
  Write(folder, 2, PlainImage(table));
}

// A control request: code index, output length, input.
std::vector<unsigned char> Request(unsigned char code, unsigned short output,
                                   std::vector<unsigned char> input) {
  std::vector<unsigned char> bytes = {code, static_cast<unsigned char>(output),
                                      static_cast<unsigned char>(output >> 8)};
  bytes.insert(bytes.end(), input.begin(), input.end());
  return bytes;
}

std::vector<unsigned char> Utf16(std::u16string_view text) {
  std::vector<unsigned char> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<unsigned char>(c));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

void ControlSeeds(const std::filesystem::path& folder) {
  Write(folder, 0, Request(1, 512, Utf16(u"c:\\Data\\x")));                 // path info
  std::vector<unsigned char> add = {2, 0, 0, 0};
  const std::vector<unsigned char> source = Utf16(u"c:\\New"), mirror = Utf16(u"e:\\M");
  add.insert(add.end(), source.begin(), source.end());
  add.insert(add.end(), mirror.begin(), mirror.end());
  Write(folder, 1, Request(3, 0, add));                                       // add pair
  Write(folder, 2, Request(9, 1604, Utf16(u"d:\\M1")));                     // pair info
  Write(folder, 3, Request(11, 64, {2, 0, 0, 0, 16, 0, 0, 0}));               // enum ids
  std::vector<unsigned char> drive(kDriveRecordSize);
  EncodeDriveRecord(DriveRecord{u'd', 2, 0, u""}, drive.data());
  Write(folder, 4, Request(8, 0, drive));                                     // volume change
}

// The payload of a machine image (the fuzz target frames what it is given), behind the byte that
// chooses the reader: 0 for a volume, 1 for the registry.
std::vector<unsigned char> Payload(unsigned char reader, const std::vector<UCHAR>& image) {
  constexpr size_t kHeader = 8 + 4 + 8;
  constexpr size_t kTrailer = 4;
  std::vector<unsigned char> bytes = {reader};
  bytes.insert(bytes.end(), image.begin() + kHeader, image.end() - kTrailer);
  return bytes;
}

void MachineImageSeeds(const std::filesystem::path& folder) {
  nt::Kernel kernel;
  fs::FileSystems::Start();
  fs::Volume* volume = fs::FileSystems::AddVolume(u'D', fs::Format::kNtfs, 0x11112222);
  volume->PutFile(u"\\Docs\\Letter.txt", "Dear reader");
  volume->PutFile(u"\\Docs\\A long file name.text", "long", FILE_ATTRIBUTE_HIDDEN);
  Write(folder, 0, Payload(0, fs::SaveVolumeImage(*volume)));
  nt::RegistryControl::SetString(u"\\Registry\\Machine\\SOFTWARE\\Korvane", u"Language",
                                 u"English");
  Write(folder, 1, Payload(1, nt::SaveRegistryImage()));
}

// A language file behind the lookup it is asked for: the id (32 bits, little endian) and the
// byte of kind and module; the file is UTF-16 little endian.
std::vector<unsigned char> LangInput(int id, unsigned char kind, std::u16string_view file) {
  std::vector<unsigned char> bytes = {
      static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
      static_cast<unsigned char>(id >> 16), static_cast<unsigned char>(id >> 24), kind};
  for (char16_t c : file) {
    bytes.push_back(static_cast<unsigned char>(c));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  return bytes;
}

void LangSeeds(const std::filesystem::path& folder) {
  Write(folder, 0,
        LangInput(1004, 0,
                  u"\uFEFF[kvagent-control]\r\n; 1004=a comment\r\n  1004 = Start now \r\n"
                  u"1005=a=b\r\nno equals here\r\n[kvagent-msg]\r\n5001=\\tTabbed\\n\r\n"));
  Write(folder, 1,
        LangInput(5002, 5,
                  u"[kvsyncsvc-msg]\r5001=Said \\\"this\\\"\r5002=It\\'s \\q fine\r"
                  u"[kvsyncsvc-help]\r1=Help\r"));
  std::u16string longLine = u"[kvagent-control]\n9=";
  longLine.append(5000, u'x');
  longLine += u"\n7=after the long line\n";
  Write(folder, 2, LangInput(7, 0, longLine));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <folder>\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  Write(root / "fuzz_filter_block", 0,
        BuildFilterBlock({{kFilterFolder, u"a\\b"}, {kFilterFileName, u"x.doc"},
                          {kFilterPattern, u"*.t?t"}, {kFilterExtension, u".tmp"},
                          {kFilterEnd, u""}}));
  Write(root / "fuzz_filter_block", 1, BuildFilterBlock({}));

  std::vector<unsigned char> pair(kPairRecordSize);
  PairRecord record = DefaultPairRecord(u"d:");
  record.archivePath = u"e:\\zips";
  record.userName = u"ann";
  record.password = u"pw";
  EncodePairRecord(record, pair.data());
  Write(root / "fuzz_records", 0, pair);
  std::vector<unsigned char> drive(kDriveRecordSize);
  EncodeDriveRecord(DriveRecord{u'x', 1, 0x1234, u"\\\\srv\\pub"}, drive.data());
  Write(root / "fuzz_records", 1, drive);

  TableSeeds(root / "fuzz_table_image");
  ControlSeeds(root / "fuzz_control");
  MachineImageSeeds(root / "fuzz_machine_images");
  LangSeeds(root / "fuzz_lang_file");
  return 0;
}
