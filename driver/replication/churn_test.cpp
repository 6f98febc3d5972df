// A seeded random run of changes inside a source with two mirrors, after which every mirror must
// hold what the source holds: the same folders and files, the same bytes, times and attributes.
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "driver/replication/replication_fixture.h"
#include "platform/nt/memory_manager.h"
#include "platform/nt/memory_views.h"

namespace {

constexpr int kOperations = 60;
constexpr ULONG kMaxSectors = 4;
constexpr char16_t kSource[] = u"\\??\\C:\\Data";
constexpr char16_t kOutside[] = u"\\??\\C:\\Out";

// A node of a volume as the comparison sees it; times and attributes are those of files only,
// as a mirror folder's times follow its own changes.
struct Entry {
  bool directory = false;
  std::string data;
  ULONG attributes = 0;
  LONGLONG creation = 0;
  LONGLONG write = 0;

  bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& entry, std::ostream* out) {
  if (entry.directory) {
    *out << "<folder>";
    return;
  }
  *out << entry.data.size() << " bytes (hash " << std::hash<std::string>{}(entry.data)
       << "), attributes " << entry.attributes << ", created " << entry.creation
       << ", written " << entry.write;
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Every node under `node`, by its path below it.
void Collect(const fs::Node& node, const std::u16string& path,
             std::map<std::string, Entry>* entries) {
  for (const auto& [key, link] : node.children) {
    const fs::Node& child = *link.node;
    const std::u16string childPath = path + u"\\" + link.name;
    Entry entry;
    entry.directory = child.directory;
    if (!child.directory) {
      auto stream = child.streams.find(u"");
      if (stream != child.streams.end()) {
        entry.data.assign(stream->second.data.begin(), stream->second.data.end());
      }
      entry.attributes = child.attributes;
      entry.creation = child.creation.QuadPart;
      entry.write = child.write.QuadPart;
    }
    (*entries)[Narrow(childPath)] = entry;
    if (child.directory) Collect(child, childPath, entries);
  }
}

std::map<std::string, Entry> Snapshot(fs::Volume* volume, std::u16string_view folder) {
  std::map<std::string, Entry> entries;
  std::shared_ptr<fs::Node> root = volume->Find(folder);
  if (root == nullptr) return entries;
  std::lock_guard guard(volume->lock());
  Collect(*root, u"", &entries);
  return entries;
}

// A sector-aligned buffer for non-cached transfers.
struct alignas(fs::kSectorSize) SectorBuffer {
  UCHAR bytes[kMaxSectors * fs::kSectorSize];
};

class Churn : public ReplicationMachine, public ::testing::WithParamInterface<unsigned> {
 protected:
  void SetUp() override {
    ReplicationMachine::SetUp();
    if (HasFatalFailure()) return;
    {
      ExclusiveResourceLock guard(Table().lock());
      ASSERT_EQ(Table().RemovePair(u"\\\\srv\\pub\\M"), STATUS_SUCCESS);
    }
    for (const std::u16string& folder : {std::u16string(kSource) + u"\\A",
                                         std::u16string(kSource) + u"\\A\\B",
                                         std::u16string(kOutside)}) {
      HANDLE handle;
      ASSERT_EQ(Open(folder, &handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_CREATE,
                     kSync | FILE_DIRECTORY_FILE),
                STATUS_SUCCESS);
      ZwClose(handle);
    }
    random_.seed(GetParam());
  }

  std::vector<fs::Volume*> TwoMirrors() const { return {d_, e_}; }

  size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

  std::string RandomBytes(size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>('a' + Pick(26));
    return bytes;
  }

  std::u16string NewName(bool inside) {
    static constexpr const char16_t* kFolders[] = {u"", u"\\A", u"\\A\\B"};
    const std::u16string folder = inside ? kFolders[Pick(3)] : u"";
    const std::string number = std::to_string(next_name_++);
    return folder + u"\\f" + std::u16string(number.begin(), number.end()) + u".bin";
  }

  static std::u16string InSource(const std::u16string& name) { return kSource + name; }
  static std::u16string Outside(const std::u16string& name) { return kOutside + name; }

  static LONGLONG SizeOf(HANDLE handle) {
    FILE_STANDARD_INFORMATION standard{};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(ZwQueryInformationFile(handle, &io, &standard, sizeof(standard),
                                     FileStandardInformation),
              STATUS_SUCCESS);
    return standard.EndOfFile.QuadPart;
  }


  void Create() {
    const std::u16string name = NewName(true);
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
    Write(handle, RandomBytes(Pick(3000)));
    ZwClose(handle);
    inside_.push_back(name);
  }

  void CachedWrite(const std::u16string& name) {
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
    const LONGLONG size = SizeOf(handle);
    Write(handle, RandomBytes(1 + Pick(2000)), static_cast<LONGLONG>(Pick(size + 1)));
    ZwClose(handle);
  }

  void NonCachedWrite(const std::u16string& name) {
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, kReadWrite, FILE_OPEN,
                   kSync | FILE_NO_INTERMEDIATE_BUFFERING),
              STATUS_SUCCESS);
    const LONGLONG sectors = (SizeOf(handle) + fs::kSectorSize - 1) / fs::kSectorSize;
    const ULONG count = 1 + static_cast<ULONG>(Pick(kMaxSectors));
    auto buffer = std::make_unique<SectorBuffer>();
    const std::string bytes = RandomBytes(count * fs::kSectorSize);
    std::memcpy(buffer->bytes, bytes.data(), bytes.size());
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(Pick(sectors + 1)) * fs::kSectorSize;
    EXPECT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, buffer->bytes,
                          count * fs::kSectorSize, &at, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
  }

  void MappedWrite(const std::u16string& name) {
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
    const LONGLONG size = SizeOf(handle);
    if (size == 0) {
      ZwClose(handle);
      return;
    }
    HANDLE section;
    PVOID view = nullptr;
    ASSERT_EQ(MapWholeFile(handle, &section, &view), STATUS_SUCCESS);
    // The handle may go first, while the view still maps the file.
    const bool closedFirst = Pick(2) == 0;
    if (closedFirst) ZwClose(handle);
    const size_t at = Pick(static_cast<size_t>(size));
    const std::string bytes = RandomBytes(1 + Pick(static_cast<size_t>(size) - at));
    std::memcpy(static_cast<char*>(view) + at, bytes.data(), bytes.size());
    ZwUnmapViewOfSection(NtCurrentProcess(), view);
    ZwClose(section);
    if (!closedFirst) ZwClose(handle);
  }

  void Truncate(const std::u16string& name) {
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(Pick(static_cast<size_t>(SizeOf(handle)) + 600));
    EXPECT_EQ(SetInfo(handle, end, FileEndOfFileInformation), STATUS_SUCCESS);
    ZwClose(handle);
  }

  void SetAttributes(const std::u16string& name) {
    // Never none at all: the machine's volumes report a file without attributes as 0, which
    // a set of basic information takes as "unchanged".
    static constexpr ULONG kAttributes[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_HIDDEN,
                                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE};
    HANDLE handle;
    ASSERT_EQ(Open(InSource(name), &handle, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN),
              STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = kAttributes[Pick(3)];
    EXPECT_EQ(SetInfo(handle, basic, FileBasicInformation), STATUS_SUCCESS);
    ZwClose(handle);
  }

  // Renames a file of the source within it, sometimes over another one.
  void RenameInside(size_t index) {
    std::u16string target = NewName(true);
    size_t replaced = inside_.size();
    if (inside_.size() > 1 && Pick(4) == 0) {
      replaced = Pick(inside_.size());
      if (replaced == index) return;
      target = inside_[replaced];
    }
    HANDLE handle;
    ASSERT_EQ(Open(InSource(inside_[index]), &handle, kReadWrite | DELETE, FILE_OPEN),
              STATUS_SUCCESS);
    const NTSTATUS status = RenameFile(handle, InSource(target));
    ZwClose(handle);
    // A file that is open elsewhere cannot be replaced.
    if (replaced != inside_.size() && status == STATUS_ACCESS_DENIED) return;
    ASSERT_EQ(status, STATUS_SUCCESS);
    inside_[index] = target;
    if (replaced != inside_.size()) inside_.erase(inside_.begin() + static_cast<long>(replaced));
  }

  void MoveOut(size_t index) {
    const std::u16string target = NewName(false);
    HANDLE handle;
    ASSERT_EQ(Open(InSource(inside_[index]), &handle, kReadWrite | DELETE, FILE_OPEN),
              STATUS_SUCCESS);
    ASSERT_EQ(RenameFile(handle, Outside(target)), STATUS_SUCCESS);
    ZwClose(handle);
    inside_.erase(inside_.begin() + static_cast<long>(index));
    outside_.push_back(target);
  }

  // A move into the source is refused, so the file is copied in and deleted, as a shell does.
  void MoveIn(size_t index) {
    const std::u16string source = outside_[index];
    const std::u16string target = NewName(true);
    HANDLE from;
    ASSERT_EQ(Open(Outside(source), &from, kReadWrite | DELETE, FILE_OPEN), STATUS_SUCCESS);
    ASSERT_EQ(RenameFile(from, InSource(target)), STATUS_NOT_SAME_DEVICE);
    std::string data(static_cast<size_t>(SizeOf(from)), '\0');
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER zero{};
    if (!data.empty()) {
      ASSERT_EQ(ZwReadFile(from, nullptr, nullptr, nullptr, &io, data.data(),
                           static_cast<ULONG>(data.size()), &zero, nullptr),
                STATUS_SUCCESS);
    }
    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(ZwQueryInformationFile(from, &io, &basic, sizeof(basic), FileBasicInformation),
              STATUS_SUCCESS);
    HANDLE to;
    ASSERT_EQ(Open(InSource(target), &to, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
    if (!data.empty()) Write(to, data);
    basic.ChangeTime.QuadPart = 0;
    EXPECT_EQ(SetInfo(to, basic, FileBasicInformation), STATUS_SUCCESS);
    ZwClose(to);
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DeleteFile = TRUE;
    EXPECT_EQ(SetInfo(from, disposition, FileDispositionInformation), STATUS_SUCCESS);
    ZwClose(from);
    outside_.erase(outside_.begin() + static_cast<long>(index));
    inside_.push_back(target);
  }

  void Delete(size_t index) {
    HANDLE handle;
    ASSERT_EQ(Open(InSource(inside_[index]), &handle, DELETE | SYNCHRONIZE, FILE_OPEN),
              STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DeleteFile = TRUE;
    EXPECT_EQ(SetInfo(handle, disposition, FileDispositionInformation), STATUS_SUCCESS);
    ZwClose(handle);
    inside_.erase(inside_.begin() + static_cast<long>(index));
  }

  // One random change; its name for the trace.
  std::string Step() {
    if (inside_.empty()) {
      Create();
      return "create";
    }
    const size_t file = Pick(inside_.size());
    const std::string target = " " + Narrow(inside_[file]);
    switch (Pick(11)) {
      case 0:
        Create();
        return "create";
      case 1:
        CachedWrite(inside_[file]);
        return "cached write" + target;
      case 2:
        NonCachedWrite(inside_[file]);
        return "non-cached write" + target;
      case 3:
        MappedWrite(inside_[file]);
        return "mapped write" + target;
      case 4:
        Truncate(inside_[file]);
        return "end of file" + target;
      case 5:
        SetAttributes(inside_[file]);
        return "attributes" + target;
      case 6:
        RenameInside(file);
        return "rename" + target;
      case 7:
        MoveOut(file);
        return "move out" + target;
      case 8:
        if (outside_.empty()) return "nothing";
        MoveIn(Pick(outside_.size()));
        return "move in";
      case 9:
        Delete(file);
        return "delete" + target;
      default:
        AdvanceSeconds(1 + static_cast<int>(Pick(3)));
        return "time passes";
    }
  }

  std::mt19937 random_;
  int next_name_ = 0;
  std::vector<std::u16string> inside_;   // files of the source, by their path in it
  std::vector<std::u16string> outside_;  // files moved out, by their path in the outside folder
};

TEST_P(Churn, EveryMirrorEndsEqualToTheSource) {
  SCOPED_TRACE("seed " + std::to_string(GetParam()));
  std::vector<std::string> steps;
  for (int i = 0; i < kOperations && !HasFailure(); ++i) {
    steps.push_back(Step());
    // Some time passes between the changes, so that times differ. What the clock wakes (the
    // lazy writer, the sweep) finishes before the next change, so that a seed always runs the
    // same way; the concurrency tests race them on purpose.
    nt::SystemClock::Advance(nt::kTicksPerSecond / 10);
    nt::WorkQueueControl::WaitIdle();
  }
  AdvanceSeconds(40);
  EXPECT_EQ(FileTracks::Count(), 0u);
  const std::map<std::string, Entry> source = Snapshot(c_, u"\\Data");
  for (fs::Volume* mirror : TwoMirrors()) {
    SCOPED_TRACE(mirror == d_ ? "d:\\M" : "e:\\M");
    const std::map<std::string, Entry> copy = Snapshot(mirror, u"\\M");
    for (const auto& [path, entry] : source) {
      auto it = copy.find(path);
      if (it == copy.end()) {
        ADD_FAILURE() << path << " is missing";
      } else {
        EXPECT_EQ(it->second, entry) << path;
      }
    }
    for (const auto& [path, entry] : copy) {
      EXPECT_TRUE(source.contains(path)) << path << " is left over";
    }
    EXPECT_EQ(MirrorFlags(mirror == d_ ? u"d:\\M" : u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  }
  if (HasFailure()) {
    for (size_t i = 0; i < steps.size(); ++i) std::cerr << i << ": " << steps[i] << "\n";
  }
}

INSTANTIATE_TEST_SUITE_P(TwentySeeds, Churn, ::testing::Range(1u, 21u));

}  // namespace
