#include "driver/replication/table_file.h"

#include <string>

#include "driver/base/resource_lock.h"
#include "driver/frame/filtered_machine.h"
#include "driver/naming/volume_identity.h"

namespace {

constexpr char16_t kPrimary[] = u"\\WINDOWS\\kvdata.dat";
constexpr char16_t kBackup[] = u"\\WINDOWS\\kvdata.da0";

// kvdrv with its real table file on C:, the system volume.
class TableFileTest : public FilteredMachine {
 protected:
  void SetUp() override {
    hooks_.prepareTable = PrepareTable;
    hooks_.ensureLoaded = EnsureTableLoaded;
    hooks_.control.saveTable = SaveTable;
    KvDriver::SetHooks(hooks_);
    Boot();
  }

  static void AddPair(MirrorTable& table, std::u16string_view source,
                      std::u16string_view mirror) {
    ExclusiveResourceLock guard(table.lock());
    ASSERT_EQ(table.AddPair(source, mirror, KV_FLAG_SOURCE), STATUS_SUCCESS);
  }

  static bool Owns(MirrorTable& table, std::u16string_view path) {
    SharedResourceLock guard(table.lock());
    return table.FindOwner(path).node != nullptr;
  }

  // The table a driver started after this one would load.
  static std::unique_ptr<MirrorTable> Reloaded() {
    auto table = std::make_unique<MirrorTable>();
    EnsureTableLoaded(*table);
    return table;
  }

  std::string Stored(std::u16string_view path) { return c_->ReadFile(path); }

  // Takes the file at `path` off C: directly, as if it had never been written.
  void RemoveFile(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    std::shared_ptr<fs::Node> folder = c_->Find(path.substr(0, slash));
    ASSERT_NE(folder, nullptr);
    std::lock_guard guard(c_->lock());
    folder->children.erase(fs::Fold(path.substr(slash + 1)));
  }
};

TEST_F(TableFileTest, ASavedTableIsWhatTheNextStartLoads) {
  AddPair(Table(), u"c:\\Data", u"d:\\M1");
  ASSERT_TRUE(Table().dirty());
  SaveTable(Table());
  EXPECT_FALSE(Table().dirty());
  EXPECT_EQ(Stored(kPrimary).substr(0, 4), "KV03");

  std::unique_ptr<MirrorTable> next = Reloaded();
  EXPECT_TRUE(next->loaded());
  EXPECT_FALSE(next->dirty());
  EXPECT_TRUE(Owns(*next, u"c:\\Data"));
  EXPECT_TRUE(Owns(*next, u"d:\\M1"));
}

TEST_F(TableFileTest, EachSaveKeepsThePreviousFileAsTheBackup) {
  AddPair(Table(), u"c:\\Data", u"d:\\M1");
  SaveTable(Table());
  const std::string first = Stored(kPrimary);
  AddPair(Table(), u"c:\\Other", u"d:\\M2");
  SaveTable(Table());
  EXPECT_EQ(Stored(kBackup), first);
  EXPECT_NE(Stored(kPrimary), first);
}

TEST_F(TableFileTest, ADamagedPrimaryFallsBackToTheBackupAndBothDamagedStartEmpty) {
  AddPair(Table(), u"c:\\Data", u"d:\\M1");
  SaveTable(Table());
  AddPair(Table(), u"c:\\Other", u"d:\\M2");
  SaveTable(Table());

  std::string damaged = Stored(kPrimary);
  damaged[20] = static_cast<char>(damaged[20] ^ 0x40);
  ASSERT_EQ(c_->PutFile(kPrimary, damaged), STATUS_SUCCESS);
  std::unique_ptr<MirrorTable> fromBackup = Reloaded();
  EXPECT_TRUE(Owns(*fromBackup, u"c:\\Data"));
  EXPECT_FALSE(Owns(*fromBackup, u"c:\\Other"));

  ASSERT_EQ(c_->PutFile(kBackup, Stored(kBackup).substr(0, 40)), STATUS_SUCCESS);
  std::unique_ptr<MirrorTable> empty = Reloaded();
  EXPECT_TRUE(empty->loaded());
  EXPECT_TRUE(empty->dirty());  // written anew at the next save
  EXPECT_FALSE(Owns(*empty, u"c:\\Data"));
}

TEST_F(TableFileTest, AFileWrittenOnAnotherSystemVolumeIsRefused) {
  MirrorTable other;
  UCHAR* image = nullptr;
  SIZE_T size = 0;
  {
    ExclusiveResourceLock guard(other.lock());
    other.Prepare(0x0A1B2C3D ^ 1, u"\\WINDOWS");
    ASSERT_EQ(other.AddPair(u"c:\\Data", u"d:\\M1", KV_FLAG_SOURCE), STATUS_SUCCESS);
    other.BuildImage(&image, &size);
  }
  ASSERT_EQ(c_->PutFile(kPrimary, std::string(reinterpret_cast<char*>(image), size)),
            STATUS_SUCCESS);
  DriverFree(image);
  EXPECT_EQ(LoadTableFile(Table(), false), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_FALSE(Owns(Table(), u"c:\\Data"));
}

TEST_F(TableFileTest, TheMinuteTickAndTheShutdownSaveADirtyTable) {
  AddPair(Table(), u"c:\\Data", u"d:\\M1");
  nt::SystemClock::Advance(60 * nt::kTicksPerSecond);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_FALSE(Table().dirty());
  EXPECT_TRUE(Owns(*Reloaded(), u"c:\\Data"));

  AddPair(Table(), u"c:\\Other", u"d:\\M2");
  nt::MachineControl::Shutdown();
  EXPECT_TRUE(Owns(*Reloaded(), u"c:\\Other"));
}

TEST_F(TableFileTest, ASaveCutByAPowerFailureAtAnyPointLeavesTheNewestCompleteImage) {
  AddPair(Table(), u"c:\\Data", u"d:\\M1");
  SaveTable(Table());
  const std::string older = Stored(kPrimary);
  AddPair(Table(), u"c:\\Other", u"d:\\M2");
  SaveTable(Table());
  const std::string previous = Stored(kPrimary);
  AddPair(Table(), u"c:\\Newest", u"d:\\M3");
  SaveTable(Table());
  const std::string newest = Stored(kPrimary);
  ASSERT_NE(newest, previous);

  // The files as a complete save and as saves cut short earlier left them.
  struct Case {
    const char* name;
    const std::string* primary;  // null: no primary file
    const std::string* backup;
  };
  const std::string empty;
  const Case cases[] = {
      {"after a complete save", &previous, &older},
      {"after a save cut during its write", &empty, &previous},
      {"after a save cut after its rename", nullptr, &previous},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The power fails after each number of requests in turn, until a save completes.
    bool completed = false;
    for (ULONG requests = 0; requests < 64 && !completed; ++requests) {
      SCOPED_TRACE("power cut after " + std::to_string(requests) + " requests");
      RemoveFile(kPrimary);
      if (c.primary != nullptr) {
        ASSERT_EQ(c_->PutFile(kPrimary, *c.primary), STATUS_SUCCESS);
      }
      ASSERT_EQ(c_->PutFile(kBackup, *c.backup), STATUS_SUCCESS);
      c_->CutPowerAfter(requests);
      SaveTable(Table());
      c_->RestorePower();

      bool hasPrimary = false;
      bool hasBackup = false;
      const std::string primary = c_->ReadFile(kPrimary, &hasPrimary);
      const std::string backup = c_->ReadFile(kBackup, &hasBackup);
      const bool newestWritten = hasPrimary && primary == newest;
      ASSERT_TRUE(newestWritten || (hasPrimary && primary == previous) ||
                  (hasBackup && backup == previous))
          << "no complete image as new as the previous one";
      completed = newestWritten && hasBackup && backup == previous;

      std::unique_ptr<MirrorTable> next = Reloaded();
      EXPECT_TRUE(Owns(*next, u"c:\\Other"));
      EXPECT_EQ(Owns(*next, u"c:\\Newest"), newestWritten);
    }
    EXPECT_TRUE(completed);
  }
}

}  // namespace
