#include <cstring>
#include <string>

#include "driver/table/table_fixture.h"
#include "platform/nt/security.h"
#include "platform/nt/token.h"

namespace {

std::u16string Numbered(std::u16string_view base, int i) {
  return std::u16string(base) + std::u16string(1, static_cast<char16_t>(u'0' + i));
}

}  // namespace

TEST_F(TableTest, RemovingTheLastMirrorRemovesTheSourceAndPrunesItsFolders) {
  AddPair(u"c:\\a\\b\\Data", u"d:\\x\\M");
  AddPair(u"c:\\a\\Keep", u"d:\\K");
  const ULONG oldId = Node(u"c:\\a\\b\\Data")->id;
  ASSERT_EQ(table_.RemovePair(u"d:\\x\\M"), STATUS_SUCCESS);
  EXPECT_EQ(table_.FindOwner(u"c:\\a\\b").node, nullptr) << "c:\\a\\b led only to the source";
  EXPECT_NE(table_.FindOwner(u"c:\\a").node, nullptr) << "c:\\a still leads to c:\\a\\Keep";
  EXPECT_EQ(table_.FindOwner(u"d:\\x").node, nullptr);
  EXPECT_EQ(table_.sourceCount(), 1u);

  AddPair(u"c:\\a\\b\\Data", u"d:\\x\\M");
  EXPECT_GT(Node(u"c:\\a\\b\\Data")->id, oldId) << "ids are never reused";
  EXPECT_EQ(table_.RemovePair(u"c:\\nowhere"), STATUS_INVALID_PARAMETER);
}

TEST_F(TableTest, RemovingASourceRemovesAllItsMirrors) {
  AddPair(u"c:\\Data", u"d:\\M1");
  AddPair(u"c:\\Data", u"e:\\M2");
  AddPair(u"c:\\Data", u"a:\\F");
  ASSERT_EQ(table_.RemovePair(u"c:\\Data\\sub"), STATUS_SUCCESS);
  EXPECT_EQ(table_.FindOwner(u"d:").node, nullptr);
  EXPECT_EQ(table_.FindOwner(u"e:").node, nullptr);
  EXPECT_EQ(table_.sourceCount(), 0u);
}

TEST_F(TableTest, MoveNodeOfAFolderContainingASourceKeepsItsIdsAndMirrors) {
  AddPair(u"c:\\Old\\Data", u"d:\\M");
  const ULONG folderId = Node(u"c:\\Old")->id;
  const ULONG sourceId = Node(u"c:\\Old\\Data")->id;
  ASSERT_EQ(table_.MoveNode(u"c:\\Old", u"c:\\New\\Place"), STATUS_SUCCESS);
  EXPECT_EQ(table_.FindOwner(u"c:\\Old").node, nullptr);
  PathNode* source = Node(u"c:\\New\\Place\\Data");
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->id, sourceId);
  EXPECT_EQ(Node(u"c:\\New\\Place")->id, folderId);
  EXPECT_EQ(table_.FindById(sourceId), source);
  EXPECT_EQ(Narrow(PathOf(source->firstMirror->source)), "c:\\New\\Place\\Data");
}

TEST_F(TableTest, MoveNodeOfAMirrorReplacesItInItsSourceChain) {
  AddPair(u"c:\\Data", u"d:\\M1");
  AddPair(u"c:\\Data", u"d:\\M2");
  AddPair(u"c:\\Data", u"d:\\M3");
  const ULONG id = Node(u"d:\\M2")->id;
  ASSERT_EQ(table_.MoveNode(u"d:\\M2", u"d:\\Renamed"), STATUS_SUCCESS);
  const PathNode* source = Node(u"c:\\Data");
  EXPECT_EQ(Narrow(PathOf(source->firstMirror->nextMirror)), "d:\\Renamed");
  EXPECT_EQ(source->firstMirror->nextMirror->id, id);
  EXPECT_EQ(Narrow(PathOf(source->firstMirror->nextMirror->nextMirror)), "d:\\M1");

  ASSERT_EQ(table_.MoveNode(u"d:\\renamed", u"d:\\RENAMED"), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(PathOf(table_.FindById(id))), "d:\\RENAMED") << "a change of case is kept";
  EXPECT_EQ(table_.MoveNode(u"d:\\Gone", u"d:\\X"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table_.MoveNode(u"c:\\Data", u"c:\\Data\\inner"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table_.MoveNode(u"c:\\Data", u"d:\\M1"), STATUS_INVALID_PARAMETER);
  EXPECT_NE(Node(u"c:\\Data"), nullptr);
}

TEST_F(TableTest, SetFlagsOnASourcePassesSubfoldersAndOutOfDateToItsMirrors) {
  AddPair(u"c:\\Data", u"d:\\M1");
  AddPair(u"c:\\Data", u"d:\\M2");
  Node(u"d:\\M1")->flags &= ~KV_FLAG_NEEDS_SYNC;
  Node(u"d:\\M2")->flags &= ~KV_FLAG_NEEDS_SYNC;
  table_.ClearDirty();

  ASSERT_EQ(table_.SetFlags(u"c:\\Data", KV_FLAG_SOURCE | KV_FLAG_INCLUDE_LIST | KV_FLAG_NEEDS_SYNC),
            STATUS_SUCCESS);
  EXPECT_EQ(Node(u"c:\\Data")->flags, KV_FLAG_SOURCE | KV_FLAG_INCLUDE_LIST);
  for (std::u16string_view mirror : {u"d:\\M1", u"d:\\M2"}) {
    const ULONG flags = Node(mirror)->flags;
    EXPECT_EQ(flags & (KV_FLAG_SUBFOLDERS | KV_FLAG_INCLUDE_LIST), KV_FLAG_INCLUDE_LIST);
    EXPECT_NE(flags & KV_FLAG_NEEDS_SYNC, 0u);
  }
  EXPECT_TRUE(table_.dirty());
}

TEST_F(TableTest, SetFlagsRulesForMirrors) {
  AddPair(u"c:\\Data", u"d:\\M");
  table_.ClearDirty();
  ASSERT_EQ(table_.SetFlags(u"d:\\M", KV_FLAG_MIRROR | KV_FLAG_SCHEDULED | KV_FLAG_TWO_WAY |
                                          KV_FLAG_NO_SAVE),
            STATUS_SUCCESS);
  EXPECT_EQ(Node(u"d:\\M")->flags,
            KV_FLAG_MIRROR | KV_FLAG_SCHEDULED | KV_FLAG_TWO_WAY | KV_FLAG_NEEDS_SYNC);
  EXPECT_FALSE(table_.dirty()) << "no-save leaves the table clean";
  // A request cannot turn a mirror into something else.
  ASSERT_EQ(table_.SetFlags(u"d:\\M", KV_FLAG_SOURCE), STATUS_SUCCESS);
  EXPECT_EQ(Node(u"d:\\M")->flags, KV_FLAG_MIRROR);
  EXPECT_EQ(table_.SetFlags(u"e:\\X", 0), STATUS_OBJECT_PATH_INVALID);
}

TEST_F(TableTest, SetBusyClaimsAMirrorOnce) {
  AddPair(u"c:\\Data", u"d:\\M");
  table_.ClearDirty();
  EXPECT_EQ(table_.SetBusy(u"d:\\M", true), STATUS_SUCCESS);
  EXPECT_EQ(table_.SetBusy(u"d:\\M", true), STATUS_ACCESS_DENIED);
  EXPECT_EQ(table_.SetBusy(u"d:\\M", false), STATUS_SUCCESS);
  EXPECT_EQ(table_.SetBusy(u"d:\\M", false), STATUS_SUCCESS);
  EXPECT_EQ(table_.SetBusy(u"c:\\Data", true), STATUS_OBJECT_PATH_INVALID);
  EXPECT_FALSE(table_.dirty());
}

TEST_F(TableTest, GetFilterAnswersTheLengthToAShortBuffer) {
  AddPair(u"c:\\Data", u"d:\\M");
  SetFilter(u"c:\\Data", {{kFilterFolder, u"cache"}, {kFilterExtension, u".tmp"}, {kFilterEnd, u""}});
  UCHAR buffer[128] = {};
  SIZE_T written = 0;
  ASSERT_EQ(table_.GetFilter(u"c:\\Data", buffer, 4, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 4u);
  const USHORT length = static_cast<USHORT>(buffer[0] | buffer[1] << 8);
  EXPECT_EQ(length, 4 + (4 + 12) + (4 + 10) + (4 + 2));
  ASSERT_EQ(table_.GetFilter(u"c:\\Data", buffer, sizeof buffer, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, length);
  EXPECT_EQ(table_.GetFilter(u"c:\\Data", buffer, 3, &written), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(table_.GetFilter(u"d:\\M", buffer, sizeof buffer, &written),
            STATUS_OBJECT_PATH_INVALID);
  AddPair(u"c:\\Bare", u"d:\\B");
  EXPECT_EQ(table_.GetFilter(u"c:\\Bare", buffer, sizeof buffer, &written),
            STATUS_OBJECT_PATH_INVALID);
}

TEST_F(TableTest, PartnersListsNewestMirrorFirstWhileRoomRemains) {
  for (int i = 1; i <= 5; ++i) AddPair(u"c:\\Data", Numbered(u"d:\\Mirror", i));
  WCHAR out[1024];
  SIZE_T written = 0;
  ASSERT_EQ(table_.Partners(u"c:\\Data", out, sizeof out, &written), STATUS_SUCCESS);
  // Each path is 10 characters and a NUL: with 2048 bytes, all five fit.
  EXPECT_EQ(written, 2u * (5 * 11 + 1));
  EXPECT_EQ(Narrow(std::u16string_view(out)), "d:\\Mirror5");

  // 520 bytes of room must remain before each path: 22 + 520 < 564 allows two.
  ASSERT_EQ(table_.Partners(u"c:\\Data", out, 564, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 2u * (2 * 11 + 1));
  EXPECT_EQ(table_.Partners(u"c:\\Data", out, 520, &written), STATUS_OBJECT_PATH_NOT_FOUND);

  ASSERT_EQ(table_.Partners(u"d:\\Mirror3", out, sizeof out, &written), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(std::u16string_view(out)), "c:\\Data");
  EXPECT_EQ(written, 2u * (7 + 1 + 1));
  EXPECT_EQ(table_.Partners(u"e:\\None", out, sizeof out, &written),
            STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(TableTest, VolumeChangeFollowsALetterAwayAndBack) {
  AddPair(u"c:\\Data", u"d:\\M");
  AddPair(u"c:\\Data", u"d:\\T");
  SetSerial(u"d:", kSerialD);
  PathNode* twoWay = Node(u"d:\\T");
  twoWay->flags = (twoWay->flags & ~KV_FLAG_NEEDS_SYNC) | KV_FLAG_TWO_WAY;
  const ULONG mirrorId = Node(u"d:\\M")->id;

  ASSERT_EQ(table_.VolumeChange(u'D', KV_VOLUME_GONE, 0, u""), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(PathOf(table_.FindById(mirrorId))), "[00D0-D0D0]:\\M");
  ULONG ids[8];
  ULONG count = 0;
  table_.EnumerateIds(KV_ENUM_ALL_MIRRORS, 8, ids, &count);
  EXPECT_EQ(count, 0u) << "mirrors on an absent volume are left out";

  table_.ClearDirty();
  ASSERT_EQ(table_.VolumeChange(u'G', KV_VOLUME_ARRIVED, kSerialD, u""), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(PathOf(table_.FindById(mirrorId))), "g:\\M");
  EXPECT_NE(twoWay->flags & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_TRUE(table_.dirty());

  ASSERT_EQ(table_.VolumeChange(u'H', KV_VOLUME_LETTER, kSerialD, u""), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(PathOf(table_.FindById(mirrorId))), "h:\\M");
  EXPECT_EQ(table_.VolumeChange(u'Q', KV_VOLUME_LETTER, 0x1234, u""),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(table_.VolumeChange(u'Q', KV_VOLUME_GONE, 0, u""), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(TableTest, VolumeChangeOfAShareMappedToADrive) {
  AddPair(u"c:\\Data", u"\\\\srv\\pub\\M");
  ASSERT_EQ(table_.VolumeChange(u'X', KV_VOLUME_ARRIVED, 0, u"\\\\srv\\pub"), STATUS_SUCCESS);
  EXPECT_EQ(Node(u"\\\\srv\\pub")->altName.Buffer[0], u'x');
  EXPECT_EQ(Narrow(PathOf(Node(u"\\\\srv\\pub\\M"))), "\\\\srv\\pub\\M");
  ASSERT_EQ(table_.VolumeChange(u'X', KV_VOLUME_GONE, 0, u""), STATUS_SUCCESS);
  EXPECT_EQ(Node(u"\\\\srv\\pub")->altName.Buffer[0], u'?');
}

TEST_F(TableTest, EnumerateIdsByKind) {
  AddPair(u"c:\\A", u"d:\\M1");
  AddPair(u"c:\\A", u"d:\\M2");
  AddPair(u"c:\\B", u"d:\\M3");
  const ULONG versioned = Node(u"d:\\M3")->id;
  Node(u"d:\\M3")->flags |= KV_FLAG_VERSIONING;
  Node(u"d:\\M1")->flags |= KV_FLAG_VERSIONING;
  PairRecord record = DefaultPairRecord(u"d:");
  record.mirrorId = versioned;
  record.groupMask = kPairGroupArchive;
  record.archivePath = u"e:\\zips";
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);

  ULONG ids[8];
  ULONG count = 0;
  table_.EnumerateIds(KV_ENUM_SOURCES, 8, ids, &count);
  EXPECT_EQ(count, 2u);
  table_.EnumerateIds(KV_ENUM_ALL_MIRRORS, 8, ids, &count);
  EXPECT_EQ(count, 3u);
  table_.EnumerateIds(KV_ENUM_ALL_MIRRORS, 2, ids, &count);
  EXPECT_EQ(count, 2u);
  table_.EnumerateIds(KV_ENUM_VERSIONING_MIRRORS, 8, ids, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(ids[0], versioned);
  table_.EnumerateIds(7, 8, ids, &count);
  EXPECT_EQ(count, 0u);
}

TEST_F(TableTest, AnyShutdownSyncWantsAMarkedMirrorThatNeedsIt) {
  AddPair(u"c:\\Data", u"d:\\M");
  PathNode* mirror = Node(u"d:\\M");
  mirror->flags = KV_FLAG_MIRROR | KV_FLAG_NEEDS_SYNC;
  EXPECT_FALSE(table_.AnyShutdownSync());
  mirror->flags = KV_FLAG_MIRROR | KV_FLAG_SHUTDOWN_SYNC;
  EXPECT_FALSE(table_.AnyShutdownSync());
  mirror->flags = KV_FLAG_MIRROR | KV_FLAG_SHUTDOWN_SYNC | KV_FLAG_SCHEDULED | KV_FLAG_TWO_WAY;
  EXPECT_TRUE(table_.AnyShutdownSync());
  mirror->flags = KV_FLAG_MIRROR | KV_FLAG_SHUTDOWN_SYNC | KV_FLAG_NEEDS_SYNC;
  EXPECT_TRUE(table_.AnyShutdownSync());
}

TEST_F(TableTest, OptionsReadAsDefaultsUntilSet) {
  AddPair(u"c:\\Data", u"d:\\M");
  AddPair(u"c:\\Data", u"b:\\F");
  PairRecord record;
  ASSERT_EQ(table_.GetOptions(u"d:\\M", &record), STATUS_SUCCESS);
  EXPECT_EQ(record.interval, 2);
  EXPECT_EQ(record.intervalUnit, 1);
  EXPECT_EQ(record.keepCount, 3);
  EXPECT_EQ(record.keepUnit, 2);
  EXPECT_EQ(record.mirrorId, Node(u"d:\\M")->id);
  EXPECT_EQ(record.flags, Node(u"d:\\M")->flags.load());
  ASSERT_EQ(table_.GetOptions(u"b:\\F", &record), STATUS_SUCCESS);
  EXPECT_EQ(record.keepCount, 999);
  EXPECT_EQ(table_.GetOptions(u"c:\\Data", &record), STATUS_OBJECT_PATH_INVALID);

  PairRecord set = DefaultPairRecord(u"d:");
  set.mirrorId = Node(u"d:\\M")->id;
  set.groupMask = kPairGroupScheduleAccount | kPairGroupSyncStamp | kPairGroupArchive |
                  kPairGroupExtra;
  set.interval = 30;
  set.intervalUnit = 0;
  set.throughput = 512;
  set.syncStamp = {1, 2};
  set.extra = {3, 4, 5, 6};
  set.keepCount = 7;
  set.archivePath = u"e:\\zip";
  set.archiveSerial = 0xABCD;
  set.userName = u"ann";
  set.password = u"pw";
  set.schedule1[0] = 1;
  set.schedule2[62] = 2;
  ASSERT_EQ(table_.SetOptions(set), STATUS_SUCCESS);
  ASSERT_EQ(table_.GetOptions(u"d:\\M", &record), STATUS_SUCCESS);
  set.groupMask = 0;
  set.flags = record.flags;
  EXPECT_TRUE(record == set);

  set.mirrorId = 9999;
  EXPECT_EQ(table_.SetOptions(set), STATUS_OBJECT_PATH_INVALID);
}

TEST_F(TableTest, SetOptionsReplacesTheAccountOnlyWhenItChanges) {
  AddPair(u"c:\\Data", u"\\\\srv\\pub\\M");
  PathNode* mirror = Node(u"\\\\srv\\pub\\M");
  PairRecord record = DefaultPairRecord(u"");
  record.mirrorId = mirror->id;
  record.groupMask = kPairGroupScheduleAccount;
  record.userName = u"Ann";
  record.password = u"Secret";
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
  ASSERT_EQ(table_.SetCredentials(true, mirror->id), STATUS_SUCCESS);
  PairOptions* options = table_.FindOptions(mirror->id);
  ASSERT_NE(options->security, nullptr);

  record.userName = u"";
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
  EXPECT_EQ(View(options->password), u"Secret") << "an empty user name keeps the account";
  record.userName = u"ANN";
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
  EXPECT_NE(options->security, nullptr) << "the same account in other case is not a change";

  record.password = u"secret";
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
  EXPECT_EQ(View(options->password), u"secret");
  EXPECT_EQ(options->security, nullptr) << "a new password drops the captured account";
}

TEST_F(TableTest, SetOptionsRefusesStringsThatWouldNotReadBack) {
  AddPair(u"c:\\Data", u"d:\\M");
  PairRecord record = DefaultPairRecord(u"d:");
  record.mirrorId = Node(u"d:\\M")->id;
  record.groupMask = kPairGroupArchive;
  record.archivePath = std::u16string(260, u'x');
  EXPECT_EQ(table_.SetOptions(record), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table_.FindOptions(record.mirrorId), nullptr);
}

TEST_F(TableTest, CapturedAccountIsImpersonatedForItsNetworkMirror) {
  AddPair(u"c:\\Data", u"\\\\srv\\pub\\M");
  PathNode* mirror = Node(u"\\\\srv\\pub\\M");
  PACCESS_TOKEN ann = nt::TokenControl::CreateToken(u"ann");
  nt::TokenControl::SetThreadPrimaryToken(ann);
  EXPECT_EQ(table_.SetCredentials(true, mirror->id), STATUS_OBJECT_PATH_INVALID)
      << "a pair without options has no slot";
  ASSERT_EQ(table_.SetCredentials(true, 0), STATUS_SUCCESS);
  nt::TokenControl::SetThreadPrimaryToken(nt::SystemToken());

  ASSERT_TRUE(table_.Impersonate(mirror));
  BOOLEAN copyOnOpen, effectiveOnly;
  SECURITY_IMPERSONATION_LEVEL level;
  PACCESS_TOKEN token =
      PsReferenceImpersonationToken(PsGetCurrentThread(), &copyOnOpen, &effectiveOnly, &level);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(std::u16string_view(nt::TokenControl::AccountOf(token)), u"ann");
  PsDereferenceImpersonationToken(token);
  PsRevertToSelf();

  ASSERT_EQ(table_.SetCredentials(false, 0), STATUS_SUCCESS);
  EXPECT_FALSE(table_.Impersonate(mirror));
  EXPECT_EQ(nt::TokenControl::ReferenceCount(ann), 1) << "only the test's own reference is left";
  nt::DereferenceToken(ann);
}

TEST_F(TableTest, CreatePathNamesFoldersAsTheFileSystemSpellsThem) {
  struct Query {
    static NTSTATUS Answer(void*, std::u16string_view path, DirectoryEntryNames* names) {
      if (!path.ends_with(u"progra~1")) return STATUS_OBJECT_NAME_NOT_FOUND;
      const std::u16string_view longName = u"Program Files";
      std::copy(longName.begin(), longName.end(), names->longName);
      names->longNameLength = static_cast<USHORT>(2 * longName.size());
      const std::u16string_view shortName = u"PROGRA~1";
      std::copy(shortName.begin(), shortName.end(), names->shortName);
      names->shortNameLength = static_cast<UCHAR>(2 * shortName.size());
      return STATUS_SUCCESS;
    }
  };
  table_.SetDirectoryEntryQuery(&Query::Answer, nullptr);
  AddPair(u"c:\\progra~1\\App", u"d:\\M");
  const PathNode* folder = Node(u"c:\\Program Files");
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(Node(u"C:\\PROGRA~1"), folder);
  EXPECT_EQ(Narrow(PathOf(Node(u"c:\\progra~1\\App"))), "c:\\Program Files\\App");
}
