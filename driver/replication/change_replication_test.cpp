#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/message_record.h"
#include "driver/replication/replication_fixture.h"
#include "platform/nt/event.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/memory_manager.h"

namespace {

class ChangeReplication : public ReplicationMachine {
 protected:

  static NTSTATUS OpenFolder(const std::u16string& path, HANDLE* handle) {
    return Open(path, handle, DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                kSync | FILE_DIRECTORY_FILE);
  }

  // The event the driver posted last that nobody waited for, as a client reads it.
  MessageRecord NextEvent() {
    MessageRecord message{};
    InClient([&] {
      HANDLE control;
      ASSERT_EQ(OpenControl(&control), STATUS_SUCCESS);
      UCHAR record[12] = {};
      IO_STATUS_BLOCK io{};
      ASSERT_EQ(NtDeviceIoControlFile(control, nullptr, nullptr, nullptr, &io,
                                      KV_IOCTL_WAIT_EVENT, nullptr, 0, record, sizeof(record)),
                STATUS_SUCCESS);
      DecodeMessageRecord(record, sizeof(record), &message);
      NtClose(control);
    });
    return message;
  }
};

TEST_F(ChangeReplication, CachedWritesReachEveryMirrorWithTheSourcesTimesAtTheLastClose) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\w.txt", &handle, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
  Write(handle, "hello, ");
  Write(handle, "mirrors", 7);
  AdvanceSeconds(3);
  ZwClose(handle);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\w.txt"), "hello, mirrors");
  ExpectSameBasic(u"\\w.txt");
  for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
    EXPECT_EQ(MirrorFlags(mirror) & KV_FLAG_NEEDS_SYNC, 0u);
  }
}

TEST_F(ChangeReplication, NonCachedWritesAreRepeatedAsTheyComplete) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\nc.bin", &handle, kReadWrite, FILE_CREATE,
                 kSync | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  const std::string sector(512, 's');
  Write(handle, sector, 0);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\nc.bin"), sector);
  ZwClose(handle);
}

TEST_F(ChangeReplication, AMappedSourcesPageWritesAreMirroredAfterItsHandleClosed) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\map.bin", &handle, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
  Write(handle, std::string(4096, 'a'));
  HANDLE section;
  PVOID view = nullptr;
  ASSERT_EQ(MapWholeFile(handle, &section, &view), STATUS_SUCCESS);
  ZwClose(handle);
  std::memset(view, 'b', 16);
  ZwUnmapViewOfSection(NtCurrentProcess(), view);
  ZwClose(section);
  AdvanceSeconds(25);
  const std::string expected = std::string(16, 'b') + std::string(4096 - 16, 'a');
  EXPECT_EQ(Stored(c_, u"\\Data\\map.bin"), expected);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\map.bin"), expected);
}

TEST_F(ChangeReplication, SizeChangesReachTheMirrorsButAnAdvanceOnlyOneDoesNot) {
  c_->PutFile(u"\\Data\\size.txt", "0123456789");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\size.txt", &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = 4;
  ASSERT_EQ(SetInfo(handle, end, FileEndOfFileInformation), STATUS_SUCCESS);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\size.txt"), "0123");

  // An advance-only request is the file system's own: sent here to the top of the stack as
  // the cache manager would send it.
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                      reinterpret_cast<PVOID*>(&file), nullptr),
            STATUS_SUCCESS);
  end.EndOfFile.QuadPart = 2;
  ULONG_PTR information = 0;
  EXPECT_EQ(nt::SendFileRequest(file, IRP_MJ_SET_INFORMATION, 0, false,
                                [&](PIRP irp, PIO_STACK_LOCATION stack) {
                                  irp->AssociatedIrp.SystemBuffer = &end;
                                  stack->Parameters.SetFile.Length = sizeof(end);
                                  stack->Parameters.SetFile.FileInformationClass =
                                      FileEndOfFileInformation;
                                  stack->Parameters.SetFile.AdvanceOnly = TRUE;
                                },
                                &information),
            STATUS_SUCCESS);
  ObDereferenceObject(file);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\size.txt"), "0123");
  ZwClose(handle);
}

TEST_F(ChangeReplication, DeletionReachesTheMirrorsThatDoNotKeepDeletionsAndUndeletionAll) {
  SetMirrorFlags(u"e:\\M", KV_FLAG_KEEP_DELETED);
  c_->PutFile(u"\\Data\\del.txt", "bye");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\del.txt", &handle, kReadWrite | DELETE, FILE_OPEN),
            STATUS_SUCCESS);
  FILE_DISPOSITION_INFORMATION disposition{};
  disposition.DeleteFile = TRUE;
  ASSERT_EQ(SetInfo(handle, disposition, FileDispositionInformation), STATUS_SUCCESS);
  disposition.DeleteFile = FALSE;
  ASSERT_EQ(SetInfo(handle, disposition, FileDispositionInformation), STATUS_SUCCESS);
  ZwClose(handle);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M\\del.txt"), "bye");

  ASSERT_EQ(Open(u"\\??\\C:\\Data\\del.txt", &handle, kReadWrite | DELETE, FILE_OPEN),
            STATUS_SUCCESS);
  disposition.DeleteFile = TRUE;
  ASSERT_EQ(SetInfo(handle, disposition, FileDispositionInformation), STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(c_->Find(u"\\Data\\del.txt"), nullptr);
  EXPECT_EQ(d_->Find(u"\\M\\del.txt"), nullptr);
  EXPECT_EQ(pub_->Find(u"\\M\\del.txt"), nullptr);
  EXPECT_EQ(Stored(e_, u"\\M\\del.txt"), "bye");
}

TEST_F(ChangeReplication, ARenameWithinTheSourceRenamesTheOpenMirrorFiles) {
  c_->PutFile(u"\\Data\\old.txt", "moving");
  c_->PutDirectory(u"\\Data\\Sub");
  for (fs::Volume* volume : Mirrors()) volume->PutDirectory(u"\\M\\Sub");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\old.txt", &handle, kReadWrite | DELETE, FILE_OPEN),
            STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\C:\\Data\\new.txt"), STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\C:\\Data\\Sub\\newer.txt"), STATUS_SUCCESS);
  ZwClose(handle);
  for (fs::Volume* volume : Mirrors()) {
    EXPECT_EQ(volume->Find(u"\\M\\old.txt"), nullptr);
    EXPECT_EQ(volume->Find(u"\\M\\new.txt"), nullptr);
    EXPECT_EQ(Stored(volume, u"\\M\\Sub\\newer.txt"), "moving");
  }
  EXPECT_EQ(FileTracks::Count(), 0u);
}

TEST_F(ChangeReplication, MovesAcrossThePairsBoundaryFollowTheirRules) {
  c_->PutFile(u"\\Data\\leaving.txt", "leaving");
  c_->PutFile(u"\\Outside\\coming.txt", "coming");
  c_->PutFile(u"\\Outside\\Folder\\inside.txt", "inside");
  for (fs::Volume* volume : Mirrors()) volume->PutFile(u"\\M\\leaving.txt", "leaving");

  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\leaving.txt", &handle, kReadWrite | DELETE, FILE_OPEN),
            STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\C:\\Outside\\left.txt"), STATUS_SUCCESS);
  ZwClose(handle);
  for (fs::Volume* volume : Mirrors()) EXPECT_EQ(volume->Find(u"\\M\\leaving.txt"), nullptr);

  ASSERT_EQ(Open(u"\\??\\C:\\Outside\\coming.txt", &handle, kReadWrite | DELETE, FILE_OPEN),
            STATUS_SUCCESS);
  EXPECT_EQ(RenameFile(handle, u"\\??\\C:\\Data\\coming.txt"), STATUS_NOT_SAME_DEVICE);
  ZwClose(handle);
  EXPECT_NE(c_->Find(u"\\Outside\\coming.txt"), nullptr);

  ASSERT_EQ(OpenFolder(u"\\??\\C:\\Outside\\Folder", &handle), STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\C:\\Data\\Folder"), STATUS_SUCCESS);
  ZwClose(handle);
  for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
    EXPECT_NE(MirrorFlags(mirror) & KV_FLAG_NEEDS_SYNC, 0u);
  }
  const MessageRecord event = NextEvent();
  EXPECT_EQ(event.message, KV_EVENT_SYNC_SOURCE);
  SharedResourceLock guard(Table().lock());
  EXPECT_EQ(event.lParam, Table().FindOwner(u"c:\\Data").node->id);
}

TEST_F(ChangeReplication, FoldersHoldingPairsCarryThemAlongButPairFoldersStayOutOfPairs) {
  c_->PutDirectory(u"\\Other");
  {
    ExclusiveResourceLock guard(Table().lock());
    ASSERT_EQ(Table().AddPair(u"c:\\Other", u"d:\\O", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS),
              STATUS_SUCCESS);
  }
  HANDLE handle;
  ASSERT_EQ(OpenFolder(u"\\??\\C:\\Data", &handle), STATUS_SUCCESS);
  EXPECT_EQ(RenameFile(handle, u"\\??\\C:\\Other\\Data"), STATUS_ACCESS_DENIED);
  ZwClose(handle);

  c_->PutDirectory(u"\\Top");
  ASSERT_EQ(OpenFolder(u"\\??\\C:\\Data", &handle), STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\C:\\Top\\Data"), STATUS_SUCCESS);
  ZwClose(handle);
  SharedResourceLock guard(Table().lock());
  PathNode* moved = Table().FindOwner(u"c:\\Top\\Data").node;
  ASSERT_NE(moved, nullptr);
  EXPECT_NE(moved->flags & KV_FLAG_SOURCE, 0u);
  EXPECT_EQ(Table().FindOwner(u"c:\\Data").node, nullptr);
}

TEST_F(ChangeReplication, ALinkFromASourceToOutsideItsPairIsRefused) {
  c_->PutFile(u"\\Data\\linked.txt", "linked");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\linked.txt", &handle, kReadWrite, FILE_OPEN), STATUS_SUCCESS);
  EXPECT_EQ(RenameFile(handle, u"\\??\\C:\\elsewhere.txt", FileLinkInformation),
            STATUS_ACCESS_DENIED);
  ZwClose(handle);
}

TEST_F(ChangeReplication, RenamesInsideAProtectedMirrorAreRefused) {
  SetMirrorFlags(u"d:\\M", KV_FLAG_PROTECT);
  d_->PutFile(u"\\M\\m.txt", "mirror");
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\D:\\M\\m.txt", &handle, GENERIC_READ | SYNCHRONIZE, FILE_OPEN),
            STATUS_SUCCESS);
  ZwClose(handle);
  // A rename needs DELETE, which a protected mirror refuses at the open already; an
  // unprotected one admits it and is marked out of date.
  EXPECT_EQ(Open(u"\\??\\D:\\M\\m.txt", &handle, DELETE | SYNCHRONIZE, FILE_OPEN),
            STATUS_ACCESS_DENIED);
  ASSERT_EQ(Open(u"\\??\\E:\\M\\m2.txt", &handle, kReadWrite | DELETE, FILE_CREATE),
            STATUS_SUCCESS);
  ASSERT_EQ(RenameFile(handle, u"\\??\\E:\\M\\m3.txt"), STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_NE(MirrorFlags(u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
}

TEST_F(ChangeReplication, AMirrorWriteThatFailsMarksOnlyThatMirror) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\C:\\Data\\fail.bin", &handle, kReadWrite, FILE_CREATE,
                 kSync | FILE_NO_INTERMEDIATE_BUFFERING),
            STATUS_SUCCESS);
  e_->FailNext(fs::RequestKind::kWrite, 1, STATUS_DISK_FULL);
  const std::string sector(512, 'f');
  Write(handle, sector);  // the user's write succeeds whatever a mirror does
  ZwClose(handle);
  EXPECT_EQ(Stored(c_, u"\\Data\\fail.bin"), sector);
  EXPECT_EQ(Stored(d_, u"\\M\\fail.bin"), sector);
  EXPECT_EQ(Stored(pub_, u"\\M\\fail.bin"), sector);
  EXPECT_EQ(MirrorFlags(u"d:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_NE(MirrorFlags(u"e:\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_EQ(MirrorFlags(u"\\\\srv\\pub\\M") & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_TRUE(Table().dirty());
}

// A non-cached write of one sector at `offset`, waited for also on an asynchronous handle.
NTSTATUS WriteSector(HANDLE handle, HANDLE event, char fill, LONGLONG offset) {
  struct alignas(512) Sector {
    char bytes[512];
  } sector;
  std::memset(sector.bytes, fill, sizeof(sector.bytes));
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER at;
  at.QuadPart = offset;
  NTSTATUS status = ZwWriteFile(handle, event, nullptr, nullptr, &io, sector.bytes,
                                sizeof(sector.bytes), &at, nullptr);
  if (status == STATUS_PENDING) {
    ZwWaitForSingleObject(event, FALSE, nullptr);
    status = io.Status;
  }
  return status;
}

TEST_F(ChangeReplication, EachWriteOfAWriterReachesTheMirrorsBeforeItCompletes) {
  struct Case {
    const char* name;
    ULONG options;       // of the writer's handle
    bool completeLater;  // C: completes its requests from a system thread
  };
  constexpr Case kCases[] = {
      {"synchronous handle", kSync, false},
      {"synchronous handle, completed later", kSync, true},
      {"asynchronous handle, completed later", 0, true},
  };
  int file = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::u16string name = u"\\order" + std::u16string(1, char16_t(u'0' + file++)) + u".bin";
    c_->SetCompleteLater(c.completeLater);
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\C:\\Data" + name, &handle, kReadWrite, FILE_CREATE,
                   c.options | FILE_NO_INTERMEDIATE_BUFFERING),
              STATUS_SUCCESS);
    HANDLE event;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    // The same two sectors again and again: a write that overtook an earlier one shows.
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(WriteSector(handle, event, static_cast<char>('a' + i), (i % 2) * 512),
                STATUS_SUCCESS);
      const std::string source = Stored(c_, u"\\Data" + name);
      for (fs::Volume* volume : Mirrors()) ASSERT_EQ(Stored(volume, u"\\M" + name), source);
    }
    ZwClose(event);
    ZwClose(handle);
    c_->SetCompleteLater(false);
  }
  for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
    EXPECT_EQ(MirrorFlags(mirror) & KV_FLAG_NEEDS_SYNC, 0u);
  }
}

TEST_F(ChangeReplication, ConcurrentWritesToSeparateRangesOfOneFileAllReachTheMirrors) {
  constexpr int kThreads = 4;
  constexpr int kSectorsEach = 6;
  constexpr int kRounds = 12;
  for (bool completeLater : {false, true}) {
    SCOPED_TRACE(completeLater ? "completed later" : "completed in the caller's thread");
    const std::u16string name = completeLater ? u"\\later.bin" : u"\\now.bin";
    // The file exists, in full, before the writers open it: a writer's open then copies
    // nothing over the writes of the others.
    HANDLE first;
    ASSERT_EQ(Open(u"\\??\\C:\\Data" + name, &first, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = kThreads * kSectorsEach * 512;
    ASSERT_EQ(SetInfo(first, end, FileEndOfFileInformation), STATUS_SUCCESS);
    ZwClose(first);
    c_->SetCompleteLater(completeLater);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&name, t] {
        HANDLE handle;
        ASSERT_EQ(Open(u"\\??\\C:\\Data" + name, &handle, kReadWrite, FILE_OPEN,
                       kSync | FILE_NO_INTERMEDIATE_BUFFERING),
                  STATUS_SUCCESS);
        for (int round = 0; round < kRounds; ++round) {
          const int sector = t * kSectorsEach + round % kSectorsEach;
          ASSERT_EQ(WriteSector(handle, nullptr, static_cast<char>('A' + t * kRounds + round),
                                LONGLONG{sector} * 512),
                    STATUS_SUCCESS);
        }
        ZwClose(handle);
      });
    }
    for (std::thread& thread : threads) thread.join();
    nt::WorkQueueControl::WaitIdle();
    c_->SetCompleteLater(false);
    const std::string source = Stored(c_, u"\\Data" + name);
    EXPECT_EQ(source.size(), size_t{kThreads * kSectorsEach * 512});
    for (fs::Volume* volume : Mirrors()) EXPECT_EQ(Stored(volume, u"\\M" + name), source);
  }
  for (const char16_t* mirror : {u"d:\\M", u"e:\\M", u"\\\\srv\\pub\\M"}) {
    EXPECT_EQ(MirrorFlags(mirror) & KV_FLAG_NEEDS_SYNC, 0u);
  }
}

}  // namespace
