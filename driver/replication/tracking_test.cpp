#include <string>
#include <thread>
#include <vector>

#include "driver/replication/replication_fixture.h"
#include "platform/nt/memory_manager.h"

namespace {

using Tracking = ReplicationMachine;

TEST_F(Tracking, ANewSourceFileIsCreatedOnEveryMirrorAndTrackedUntilItsLastClose) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\new.txt", &handle, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(FileTracks::Count(), 1u);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\new.txt"), "");
  ZwClose(handle);
  EXPECT_EQ(FileTracks::Count(), 0u);
  EXPECT_EQ(MirrorFlags(u"d:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
}

TEST_F(Tracking, AReadOnlyOpenIsNotTracked) {
  c_->PutFile(u"\\Data\\r.txt", "read me");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\r.txt", &handle, GENERIC_READ | SYNCHRONIZE, FILE_OPEN),
            STATUS_SUCCESS);
  EXPECT_EQ(FileTracks::Count(), 0u);
  ZwClose(handle);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(volume->Find(u"\\M\\r.txt"), nullptr);
}

TEST_F(Tracking, OpeningAnExistingFileCopiesItOnlyToMirrorsThatDiffer) {
  struct Case {
    const char* name;
    const char16_t* file;
    const char* mirrorData;  // null: no mirror file yet
    int mirrorAge;           // seconds the mirror was written before the source
    const char* expected;
  };
  constexpr Case kCases[] = {
      {"same size and time", u"\\same.txt", "SOURCE", 0, "SOURCE"},
      {"same size, written 1 s earlier", u"\\near.txt", "SOURCE", 1, "SOURCE"},
      {"same size, written 3 s earlier", u"\\far.txt", "SOURCE", 3, "source"},
      {"other size", u"\\other.txt", "old", 0, "source"},
      {"missing", u"\\missing.txt", nullptr, 0, "source"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::u16string file = c.file;
    if (c.mirrorData != nullptr) {
      for (fs::Volume* volume : Mirrors()) volume->PutFile(u"\\M" + file, c.mirrorData);
    }
    AdvanceSeconds(c.mirrorAge);
    c_->PutFile(u"\\Data" + file, "source", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\C:\\Data" + file, &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
    for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M" + file), c.expected);
    ZwClose(handle);
    if (std::string_view(c.expected) == "source") ExpectSameBasic(file);
  }
}

TEST_F(Tracking, OverwritingATrackedFileEmptiesEveryOpenMirror) {
  c_->PutFile(u"\\Data\\o.txt", "first content");
  HANDLE first;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\o.txt", &first, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
  for (fs::Volume* volume : Mirrors()) ASSERT_EQ(Stored(volume, u"\\M\\o.txt"), "first content");
  AdvanceSeconds(3);
  HANDLE second;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\o.txt", &second, kReadWrite, FILE_OVERWRITE_IF),
            STATUS_SUCCESS);
  EXPECT_EQ(FileTracks::Count(), 1u);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\o.txt"), "");
  ZwClose(second);
  ZwClose(first);
  EXPECT_EQ(FileTracks::Count(), 0u);
  ExpectSameBasic(u"\\o.txt");
}

TEST_F(Tracking, DeleteOnCloseReachesTheMirrorsThatDoNotKeepDeletions) {
  SetMirrorFlags(u"e:\\M", KV_FLAG_KEEP_DELETED);
  struct Case {
    const char* name;
    const char16_t* file;
    bool exists;       // the source and its mirror files exist before the open
    bool alreadyOpen;  // a tracking handle is open when the delete-on-close open comes
    const char* kept;  // what the mirror that keeps deletions holds afterwards
  };
  constexpr Case kCases[] = {
      {"new file", u"\\gone0.txt", false, false, ""},
      {"first open", u"\\gone1.txt", true, false, "doomed"},
      {"second open of a tracked file", u"\\gone2.txt", true, true, "doomed"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::u16string file = c.file;
    if (c.exists) {
      c_->PutFile(u"\\Data" + file, "doomed");
      for (fs::Volume* volume : Mirrors()) volume->PutFile(u"\\M" + file, "other");
    }
    HANDLE first = nullptr;
    if (c.alreadyOpen) {
      ASSERT_EQ(Open(u"\\??\\C:\\Data" + file, &first, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
    }
    HANDLE doomed;
    ASSERT_EQ(Open(u"\\??\\C:\\Data" + file, &doomed, DELETE | GENERIC_READ | SYNCHRONIZE,
                   c.exists ? FILE_OPEN : FILE_CREATE, kSync | FILE_DELETE_ON_CLOSE),
              STATUS_SUCCESS);
    ZwClose(doomed);
    if (first != nullptr) ZwClose(first);
    EXPECT_EQ(c_->Find(u"\\Data" + file), nullptr);
    EXPECT_EQ(d_->Find(u"\\M" + file), nullptr);
    EXPECT_EQ(pub_->Find(u"\\M" + file), nullptr);
    EXPECT_EQ(Stored(e_, u"\\M" + file), c.kept);
    EXPECT_EQ(MirrorFlags(u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
    EXPECT_EQ(FileTracks::Count(), 0u);
  }
}

TEST_F(Tracking, OnlyTheLastOfTwoCleanupsFlushesAndFinishes) {
  c_->PutFile(u"\\Data\\two.txt", "");
  HANDLE first, second;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\two.txt", &first, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\two.txt", &second, kReadWrite, FILE_OVERWRITE_IF),
            STATUS_SUCCESS);
  Write(first, "cached");
  ZwClose(first);
  EXPECT_NE(Stored(c_, u"\\Data\\two.txt"), "cached") << "the first cleanup does not flush";
  EXPECT_EQ(FileTracks::Count(), 1u) << "nor finish";
  AdvanceSeconds(3);
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(ZwSetInformationFile(second, &io, &basic, sizeof(basic), FileBasicInformation),
            STATUS_SUCCESS);
  ZwClose(second);
  EXPECT_EQ(Stored(c_, u"\\Data\\two.txt"), "cached");
  EXPECT_EQ(FileTracks::Count(), 0u);
  ExpectSameBasic(u"\\two.txt");
}

TEST_F(Tracking, ManyHandlesOnOneFileKeepItTrackedUntilTheLastIsClosed) {
  constexpr int kHandles = 300;
  std::vector<HANDLE> handles(kHandles);
  for (HANDLE& handle : handles) {
    ASSERT_EQ(Open(u"\\??\\C:\\Data\\busy.txt", &handle, kReadWrite, FILE_OPEN_IF),
              STATUS_SUCCESS);
  }
  for (int i = 0; i + 1 < kHandles; ++i) ZwClose(handles[i]);
  EXPECT_EQ(FileTracks::Count(), 1u);
  ZwClose(handles.back());
  EXPECT_EQ(FileTracks::Count(), 0u);
}

TEST_F(Tracking, AMirrorOnAVolumeThatIsGoneIsMarkedWhileTheOthersAreUpdated) {
  e_->SetGone(true);
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\n.txt", &handle, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
  ZwClose(handle);
  e_->SetGone(false);
  EXPECT_NE(MirrorFlags(u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_TRUE(Table().dirty());
  for (fs::Volume* volume : {d_, pub_}) EXPECT_NE(volume->Find(u"\\M\\n.txt"), nullptr);
  EXPECT_EQ(MirrorFlags(u"d:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_EQ(MirrorFlags(u"\\\\srv\\pub\\M") & KV_FLAG_NEEDS_SYNC, 0u);
}

TEST_F(Tracking, WritersInsideAMirrorAreRefusedOnlyWhenItIsProtectedAndRealTime) {
  struct Case {
    const char* name;
    ULONG addFlags;
    NTSTATUS expected;
    bool markedOutOfDate;
  };
  constexpr Case kCases[] = {
      {"protected", KV_FLAG_PROTECT, STATUS_ACCESS_DENIED, false},
      {"unprotected", 0, STATUS_SUCCESS, true},
      // Classify answers 0 for paths inside a scheduled mirror.
      {"protected and scheduled", KV_FLAG_PROTECT | KV_FLAG_SCHEDULED, STATUS_SUCCESS, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    {
      ExclusiveResourceLock guard(Table().lock());
      ASSERT_EQ(Table().SetFlags(u"d:\\M", KV_FLAG_MIRROR | KV_FLAG_SUBFOLDERS | c.addFlags),
                STATUS_SUCCESS);
    }
    d_->PutFile(u"\\M\\inside.txt", "mirror");
    HANDLE handle;
    EXPECT_EQ(Open(u"\\??\\D:\\M\\inside.txt", &handle, kReadWrite, FILE_OPEN), c.expected);
    if (NT_SUCCESS(c.expected)) ZwClose(handle);
    ASSERT_EQ(Open(u"\\??\\D:\\M\\inside.txt", &handle, GENERIC_READ | SYNCHRONIZE, FILE_OPEN),
              STATUS_SUCCESS)
        << "readers are always admitted";
    ZwClose(handle);
    EXPECT_EQ((MirrorFlags(u"d:\\M") & KV_FLAG_NEEDS_SYNC) != 0, c.markedOutOfDate);
    EXPECT_EQ(FileTracks::Count(), 0u);
  }
}

TEST_F(Tracking, TheSweepDismantlesAnIdleTrackedDirectoryAfterFiveToFifteenSeconds) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\Sub", &handle,
                 FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_CREATE,
                 kSync | FILE_DIRECTORY_FILE),
            STATUS_SUCCESS);
  for (fs::Volume* volume : Mirrors()) {
    std::shared_ptr<fs::Node> folder = volume->Find(u"\\M\\Sub");
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->directory);
  }
  ASSERT_EQ(FileTracks::Count(), 1u);
  int seconds = 0;
  while (FileTracks::Count() != 0 && seconds < 30) {
    AdvanceSeconds(1);
    ++seconds;
  }
  EXPECT_GT(seconds, 5);
  EXPECT_LE(seconds, 15);
  ZwClose(handle);
  EXPECT_EQ(FileTracks::Count(), 0u);
}

TEST_F(Tracking, AMappedSourceStaysTrackedAfterItsCleanupUntilTheSweep) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\mapped.bin", &handle, kReadWrite, FILE_CREATE),
            STATUS_SUCCESS);
  Write(handle, std::string(4096, 'm'));
  HANDLE section;
  PVOID view = nullptr;
  ASSERT_EQ(MapWholeFile(handle, &section, &view), STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(FileTracks::Count(), 1u) << "a mapped file cannot be flushed at its cleanup";
  ZwUnmapViewOfSection(NtCurrentProcess(), view);
  ZwClose(section);
  AdvanceSeconds(25);
  EXPECT_EQ(FileTracks::Count(), 0u);
  EXPECT_EQ(Stored(c_, u"\\Data\\mapped.bin"), std::string(4096, 'm'));
}

TEST_F(Tracking, ConcurrentWritersOfOneFileAndOfTheirOwnFilesLeaveNoRecordBehind) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::u16string own = u"\\??\\C:\\Data\\own" + std::u16string(1, u'0' + t) + u".txt";
      for (int round = 0; round < kRounds; ++round) {
        // Only the thread's own file is overwritten: an overwrite racing the content copy of
        // another open fails that copy, and the mirror would rightly be marked out of date.
        HANDLE handle;
        ASSERT_EQ(Open(own, &handle, kReadWrite, round % 2 == 0 ? FILE_OVERWRITE_IF : FILE_OPEN_IF),
                  STATUS_SUCCESS);
        Write(handle, "round");
        ZwClose(handle);
        ASSERT_EQ(Open(u"\\??\\C:\\Data\\shared.txt", &handle, kReadWrite, FILE_OPEN_IF),
                  STATUS_SUCCESS);
        Write(handle, "round", round);
        ZwClose(handle);
      }
    });
  }
  std::thread clock([] {
    for (int i = 0; i < 30; ++i) nt::SystemClock::Advance(nt::kTicksPerSecond);
  });
  for (std::thread& thread : threads) thread.join();
  clock.join();
  nt::WorkQueueControl::WaitIdle();
  AdvanceSeconds(30);
  EXPECT_EQ(FileTracks::Count(), 0u);
  for (int t = 0; t < kThreads; ++t) {
    const std::u16string own = u"\\M\\own" + std::u16string(1, u'0' + t) + u".txt";
    for (fs::Volume* volume : {d_, e_}) EXPECT_NE(volume->Find(own), nullptr);
  }
  for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
    EXPECT_EQ(MirrorFlags(mirror) & KV_FLAG_NEEDS_SYNC, 0u) << "no create collided with another";
  }
}

TEST_F(Tracking, AStreamIsMirroredWhereStreamsExistAndAFatMirrorIsMarkedOutOfDate) {
  c_->PutFile(u"\\Data\\s.txt", "main");
  for (fs::Volume* volume : Mirrors()) volume->PutFile(u"\\M\\s.txt", "main");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\s.txt:one", &handle, kReadWrite, FILE_OPEN_IF),
            STATUS_SUCCESS);
  EXPECT_EQ(FileTracks::Count(), 1u);
  ZwClose(handle);
  EXPECT_EQ(FileTracks::Count(), 0u);
  for (fs::Volume* volume : {e_, pub_}) {
    EXPECT_EQ(volume->Find(u"\\M\\s.txt")->streams.count(u"ONE"), 1u);
  }
  EXPECT_NE(MirrorFlags(u"d:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_EQ(MirrorFlags(u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
}

TEST_F(Tracking, AnOpenByFileIdIsTrackedOnlyWhenTheFileItOpensBelongsToAPair) {
  struct Case {
    const char* name;
    const char16_t* path;    // on C:
    const char16_t* mirror;  // where D: would hold its copy
    bool tracked;
  };
  constexpr Case kCases[] = {
      {"in the source", u"\\Data\\byid.txt", u"\\M\\byid.txt", true},
      {"outside any pair", u"\\Other\\elsewhere.txt", u"\\M\\elsewhere.txt", false},
  };
  HANDLE root;
  ASSERT_EQ(Open(u"\\??\\C:\\", &root, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                 kSync | FILE_DIRECTORY_FILE),
            STATUS_SUCCESS);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    c_->PutFile(c.path, "by id");
    FILE_INTERNAL_INFORMATION internal{};
    {
      HANDLE file;
      ASSERT_EQ(Open(u"\\??\\C:" + std::u16string(c.path), &file, GENERIC_READ | SYNCHRONIZE,
                     FILE_OPEN),
                STATUS_SUCCESS);
      IO_STATUS_BLOCK io{};
      ASSERT_EQ(ZwQueryInformationFile(file, &io, &internal, sizeof(internal),
                                       FileInternalInformation),
                STATUS_SUCCESS);
      ZwClose(file);
    }
    UNICODE_STRING id{8, 8, reinterpret_cast<char16_t*>(&internal.IndexNumber)};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &id, OBJ_KERNEL_HANDLE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle;
    ASSERT_EQ(ZwCreateFile(&handle, kReadWrite, &object, &io, nullptr, 0, kAllSharing, FILE_OPEN,
                           kSync | FILE_OPEN_BY_FILE_ID, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(FileTracks::Count(), c.tracked ? 1u : 0u);
    ZwClose(handle);
    EXPECT_EQ(Stored(d_, c.mirror), c.tracked ? "by id" : "<none>");
  }
  ZwClose(root);
}

TEST_F(Tracking, TrackingLastsUntilTheLastOfSeveralOpensIsCleanedUp) {
  HANDLE first;
  HANDLE second;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\two.bin", &first, kReadWrite, FILE_CREATE,
                 kSync | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\two.bin", &second, kReadWrite, FILE_OPEN,
                 kSync | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  ZwClose(first);
  EXPECT_EQ(FileTracks::Count(), 1u);
  const std::string sector(512, 'w');
  Write(second, sector);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\two.bin"), sector);
  ZwClose(second);
  EXPECT_EQ(FileTracks::Count(), 0u);
}

}  // namespace
