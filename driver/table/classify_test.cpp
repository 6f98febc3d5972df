#include <string_view>

#include "driver/table/table_fixture.h"

namespace {

// A small world: sources on c: (serial 0A1B-2C3D) and on a share, mirrors on d:.
class ClassifyTest : public TableTest {
 protected:
  void SetUp() override {
    AddPair(u"c:\\Data", u"d:\\M1");
    AddPair(u"c:\\Data", u"\\\\srv\\pub\\M2");
    AddPair(u"c:\\Flat", u"d:\\Flat", KV_FLAG_SOURCE);
    AddPair(u"c:\\Ünïcode", u"d:\\U");
    AddPair(u"c:\\Inc", u"d:\\Inc", KV_FLAG_SOURCE | KV_FLAG_INCLUDE_LIST);
    SetFilter(u"c:\\Inc", {{kFilterFolder, u"a\\b"}, {kFilterEnd, u""}});
    AddPair(u"c:\\Exc", u"d:\\Exc");
    SetFilter(u"c:\\Exc", {{kFilterFolder, u"skip"},
                           {kFilterFileName, u"secret.dat"},
                           {kFilterPattern, u"*.t?t"},
                           {kFilterExtension, u".tmp"},
                           {kFilterEnd, u""}});
    AddPair(u"c:\\Exc\\skip\\nested", u"d:\\Nested");
    AddPair(u"c:\\Sched", u"d:\\S");
    AddPair(u"c:\\Two", u"d:\\T");
    AddPair(u"\\\\srv\\pub\\Src", u"d:\\Net");
    SetSerial(u"c:", kSerialC);
    SetSerial(u"d:", kSerialD);
    Node(u"\\\\srv\\pub\\M2")->flags &= ~KV_FLAG_NEEDS_SYNC;
    Node(u"d:\\S")->flags = (Node(u"d:\\S")->flags & ~KV_FLAG_NEEDS_SYNC) | KV_FLAG_SCHEDULED;
    Node(u"d:\\T")->flags |= KV_FLAG_TWO_WAY;
    table_.ClearDirty();
  }

  std::u16string Listed(const FileTrack* track) {
    std::u16string listed;
    for (int i = 0; i < track->mirrorCount; ++i) {
      if (i != 0) listed += u'|';
      listed += PathOf(track->mirrorNodes[i]);
    }
    return listed;
  }

  // Classifies a file with a record and returns the listed mirrors.
  std::u16string ListedFor(std::u16string_view path, bool renameMode = false,
                           bool isDirectory = false) {
    FileTrack* track = nullptr;
    table_.Classify(path, isDirectory, &track, nullptr, renameMode);
    if (track == nullptr) return u"<none>";
    std::u16string listed = Listed(track);
    FreeFileTrack(track);
    return listed;
  }
};

struct ClassifyCase {
  const char* name;
  std::u16string_view path;
  bool isDirectory;
  std::u16string_view owner;    // pair end whose flags are answered; empty for 0
  std::u16string_view mirrors;  // listed mirrors, joined by '|'
  UCHAR ancestor;
};

constexpr ClassifyCase kCases[] = {
    {"file in a source", u"[0A1B-2C3D]:\\Data\\a.txt", false, u"c:\\Data",
     u"\\\\srv\\pub\\M2|d:\\M1", 0},
    {"file deep in a source with subfolders", u"[0A1B-2C3D]:\\Data\\x\\y\\a.txt", false,
     u"c:\\Data", u"\\\\srv\\pub\\M2|d:\\M1", 0},
    {"source folder itself", u"[0A1B-2C3D]:\\DATA", true, u"c:\\Data",
     u"\\\\srv\\pub\\M2|d:\\M1", 0},
    {"drive-letter path", u"C:\\data\\A.TXT", false, u"c:\\Data", u"\\\\srv\\pub\\M2|d:\\M1", 0},
    {"case beyond ASCII", u"[0A1B-2C3D]:\\üNÏCODE\\x\\f.txt", false, u"c:\\Ünïcode", u"d:\\U",
     0},
    {"file beside a source", u"[0A1B-2C3D]:\\Other\\a.txt", false, u"", u"", 0},
    {"folder on the way to a source", u"[0A1B-2C3D]:\\Exc\\skip", true, u"", u"", 1},
    {"volume root on the way to a source", u"[0A1B-2C3D]:", true, u"", u"", 1},
    {"folder off the way", u"[0A1B-2C3D]:\\Nowhere", true, u"", u"", 0},
    {"file directly in a flat source", u"[0A1B-2C3D]:\\Flat\\a.txt", false, u"c:\\Flat",
     u"d:\\Flat", 0},
    {"file in a subfolder of a flat source", u"[0A1B-2C3D]:\\Flat\\sub\\a.txt", false, u"", u"",
     0},
    {"include: file in a listed folder", u"[0A1B-2C3D]:\\Inc\\a\\b\\c\\x.txt", false,
     u"c:\\Inc", u"d:\\Inc", 0},
    {"include: file directly in the source", u"[0A1B-2C3D]:\\Inc\\x.txt", false, u"c:\\Inc",
     u"d:\\Inc", 0},
    {"include: file in an unlisted folder", u"[0A1B-2C3D]:\\Inc\\a\\c\\x.txt", false, u"", u"",
     0},
    {"include: parent of a listed folder", u"[0A1B-2C3D]:\\Inc\\a", true, u"c:\\Inc",
     u"d:\\Inc", 0},
    {"include: folder that only begins like a listed one", u"[0A1B-2C3D]:\\Inc\\a\\bc", true,
     u"", u"", 0},
    {"exclude: listed folder", u"[0A1B-2C3D]:\\Exc\\skip\\x.txt", false, u"", u"", 0},
    {"exclude: nested pair in a listed folder", u"[0A1B-2C3D]:\\Exc\\skip\\nested\\x.txt", false,
     u"c:\\Exc\\skip\\nested", u"d:\\Nested", 0},
    {"exclude: folder beside a listed one", u"[0A1B-2C3D]:\\Exc\\skipper\\x.doc", false,
     u"c:\\Exc", u"d:\\Exc", 0},
    {"exclude: extension", u"[0A1B-2C3D]:\\Exc\\x.TMP", false, u"", u"", 0},
    {"exclude: extension only at the end", u"[0A1B-2C3D]:\\Exc\\x.tmp.doc", false, u"c:\\Exc",
     u"d:\\Exc", 0},
    {"exclude: file name", u"[0A1B-2C3D]:\\Exc\\sub\\SECRET.DAT", false, u"", u"", 0},
    {"exclude: pattern", u"[0A1B-2C3D]:\\Exc\\notes.txt", false, u"", u"", 0},
    {"desktop.ini in the pair folder", u"[0A1B-2C3D]:\\Data\\Desktop.ini", false, u"", u"", 0},
    {"desktop.ini in a subfolder", u"[0A1B-2C3D]:\\Data\\sub\\desktop.ini", false, u"c:\\Data",
     u"\\\\srv\\pub\\M2|d:\\M1", 0},
    {"never mirrored name", u"[0A1B-2C3D]:\\Data\\BootStat.dat", false, u"", u"", 0},
    {"file inside a mirror", u"[00D0-D0D0]:\\M1\\a.txt", false, u"d:\\M1", u"", 0},
    {"file inside a scheduled mirror", u"[00D0-D0D0]:\\S\\a.txt", false, u"", u"", 0},
    {"two-way mirror out of date gets nothing", u"[0A1B-2C3D]:\\Two\\a.txt", false, u"c:\\Two",
     u"", 0},
    {"source on a share", u"\\\\SRV\\pub\\Src\\a.txt", false, u"\\\\srv\\pub\\Src", u"d:\\Net", 0},
    {"file of a share outside pairs", u"\\\\srv\\other\\a.txt", false, u"", u"", 0},
    {"file without folder", u"a.txt", false, u"", u"", 0},
};

}  // namespace

TEST_F(ClassifyTest, AnswersOwnerAndMirrorsForEachPath) {
  for (const ClassifyCase& c : kCases) {
    SCOPED_TRACE(c.name);
    FileTrack* track = nullptr;
    UCHAR ancestor = 0xFF;
    const ULONG flags = table_.Classify(c.path, c.isDirectory, &track, &ancestor, false);
    EXPECT_EQ(ancestor, c.ancestor);
    if (c.owner.empty()) {
      EXPECT_EQ(flags, 0u);
      EXPECT_EQ(track, nullptr);
      continue;
    }
    const PathNode* owner = Node(c.owner);
    EXPECT_EQ(flags, owner->flags.load());
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->pairId, owner->id);
    EXPECT_EQ(Narrow(Listed(track)), Narrow(c.mirrors));
    if ((owner->flags & KV_FLAG_MIRROR) != 0) {
      EXPECT_EQ(track->mirrorNodes[0], owner);
    }
    EXPECT_EQ(table_.Classify(c.path, c.isDirectory, nullptr, nullptr, false), flags);
    FreeFileTrack(track);
  }
}

TEST_F(ClassifyTest, RecordsWherePathBelowPairFolderBegins) {
  FileTrack* track = nullptr;
  table_.Classify(u"[0A1B-2C3D]:\\Data\\x\\a.txt", false, &track, nullptr, false);
  ASSERT_NE(track, nullptr);
  EXPECT_EQ(track->relOffset, std::u16string_view(u"[0A1B-2C3D]:\\Data").size());
  EXPECT_FALSE(track->atRoot);
  EXPECT_FALSE(track->isDirectory);
  FreeFileTrack(track);

  table_.Classify(u"[0A1B-2C3D]:\\Data", true, &track, nullptr, false);
  ASSERT_NE(track, nullptr);
  EXPECT_TRUE(track->atRoot);
  FreeFileTrack(track);
}

TEST_F(ClassifyTest, ScheduledMirrorIsMarkedOutOfDateNotListed) {
  EXPECT_EQ(table_.Classify(u"[0A1B-2C3D]:\\Sched\\a.txt", false, nullptr, nullptr, false),
            Node(u"c:\\Sched")->flags.load());
  EXPECT_FALSE(table_.dirty()) << "a flags-only answer changes nothing";

  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Sched\\a.txt")), "");
  EXPECT_NE(Node(u"d:\\S")->flags & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_TRUE(table_.dirty());
}

TEST_F(ClassifyTest, BusyMirrorIsOpenToOthersButKeptWhenItsFolderIsRenamed) {
  PathNode* mirror = Node(u"d:\\M1");
  mirror->flags |= KV_FLAG_BUSY;
  EXPECT_EQ(table_.Classify(u"[00D0-D0D0]:\\M1\\a.txt", false, nullptr, nullptr, false), 0u);
  EXPECT_EQ(table_.Classify(u"[00D0-D0D0]:\\M1", true, nullptr, nullptr, false), 0u);
  EXPECT_EQ(table_.Classify(u"[00D0-D0D0]:\\M1", true, nullptr, nullptr, true),
            mirror->flags.load());
  // Real-time updates continue while a synchronization holds the mirror.
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data\\a.txt")), "\\\\srv\\pub\\M2|d:\\M1");
}

TEST_F(ClassifyTest, RenamedSourceFolderListsNoMirrors) {
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data", true, true)), "");
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data\\sub", true, true)),
            "\\\\srv\\pub\\M2|d:\\M1");
}

TEST_F(ClassifyTest, NetworkMirrorOutOfDateIsLeftToSynchronization) {
  Node(u"\\\\srv\\pub\\M2")->flags |= KV_FLAG_NEEDS_SYNC;
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data\\a.txt")), "d:\\M1");
}

TEST_F(ClassifyTest, ExcludedFolderSkipsMirrorsThatSkipTemporaryFiles) {
  ASSERT_EQ(table_.AddExclusion(u"C:\\Data\\cache"), STATUS_SUCCESS);
  Node(u"d:\\M1")->flags &= ~KV_FLAG_SKIP_TEMP;
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data\\cache\\x.bin")), "d:\\M1");
  EXPECT_EQ(Narrow(ListedFor(u"[0A1B-2C3D]:\\Data\\cached\\x.bin")),
            "\\\\srv\\pub\\M2|d:\\M1");
}

TEST_F(ClassifyTest, DisabledTableClassifiesNothing) {
  table_.Disable();
  EXPECT_EQ(table_.Classify(u"[0A1B-2C3D]:\\Data\\a.txt", false, nullptr, nullptr, false), 0u);
  EXPECT_TRUE(table_.savingDisabled());
}

TEST_F(TableTest, NinthMirrorIsMarkedOutOfDateInsteadOfOverflowingTheRecord) {
  for (int i = 1; i <= 9; ++i) {
    AddPair(u"c:\\Src", u"d:\\M" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
  }
  SetSerial(u"c:", kSerialC);
  for (int i = 1; i <= 9; ++i) {
    Node(u"d:\\M" + std::u16string(1, static_cast<char16_t>(u'0' + i)))->flags &=
        ~KV_FLAG_NEEDS_SYNC;
  }
  table_.ClearDirty();

  FileTrack* track = nullptr;
  table_.Classify(u"[0A1B-2C3D]:\\Src\\a.txt", false, &track, nullptr, false);
  ASSERT_NE(track, nullptr);
  EXPECT_EQ(track->mirrorCount, kMaxTrackedMirrors);
  // The newest mirror comes first, so the oldest is the one left over.
  EXPECT_EQ(Narrow(PathOf(track->mirrorNodes[0])), "d:\\M9");
  EXPECT_EQ(Narrow(PathOf(track->mirrorNodes[7])), "d:\\M2");
  EXPECT_NE(Node(u"d:\\M1")->flags & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_EQ(Node(u"d:\\M2")->flags & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_TRUE(table_.dirty());
  FreeFileTrack(track);
}

struct VolumeRootCase {
  const char* name;
  std::u16string_view path;
  bool isDirectory;
  bool mirrored;
};

constexpr VolumeRootCase kVolumeRootCases[] = {
    {"recycler below the root", u"[0A1B-2C3D]:\\RECYCLER\\S-1-5\\x.txt", false, false},
    {"recycler itself", u"[0A1B-2C3D]:\\Recycler", true, false},
    {"name that only begins like recycler", u"[0A1B-2C3D]:\\Recyclers\\x.txt", false, true},
    {"system volume information", u"[0A1B-2C3D]:\\System Volume Information\\x", false, false},
    {"restore points", u"[0A1B-2C3D]:\\_restore\\x", false, false},
    {"paging file at the root", u"[0A1B-2C3D]:\\PAGEFILE.SYS", false, false},
    {"paging file name deeper", u"[0A1B-2C3D]:\\dir\\pagefile.sys", false, true},
    {"hibernation file", u"[0A1B-2C3D]:\\hiberfil.sys", false, false},
    {"metadata file at the root", u"[0A1B-2C3D]:\\$MFT", false, false},
    {"stream of the root", u"[0A1B-2C3D]:\\:stream", false, false},
    {"below $Extend", u"[0A1B-2C3D]:\\$Extend\\$Quota", false, false},
    {"ordinary file at the root", u"[0A1B-2C3D]:\\boot.ini", false, true},
};

TEST_F(TableTest, SourceAtVolumeRootLeavesSystemFilesAlone) {
  AddPair(u"c:\\", u"d:\\Whole");
  SetSerial(u"c:", kSerialC);
  for (const VolumeRootCase& c : kVolumeRootCases) {
    SCOPED_TRACE(c.name);
    const ULONG flags = table_.Classify(c.path, c.isDirectory, nullptr, nullptr, false);
    EXPECT_EQ(flags != 0, c.mirrored);
  }
}
