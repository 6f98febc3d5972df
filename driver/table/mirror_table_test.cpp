#include <string>

#include "driver/table/table_fixture.h"

namespace {

struct OwnerCase {
  const char* name;
  std::u16string_view path;
  std::u16string_view owner;  // NodePath of the owner; empty for none
  const char16_t* remainder;  // null for none
};

class FindOwnerTest : public TableTest {
 protected:
  void SetUp() override {
    AddPair(u"c:\\Data", u"d:\\M");
    AddPair(u"c:\\Flat", u"d:\\F", KV_FLAG_SOURCE);
    AddPair(u"\\\\srv\\pub\\Src", u"d:\\N");
    SetSerial(u"c:", kSerialC);
  }
};

constexpr OwnerCase kOwnerCases[] = {
    {"source folder", u"c:\\Data", u"c:\\Data", u""},
    {"trailing backslash", u"c:\\Data\\", u"c:\\Data", u""},
    {"below a source with subfolders", u"C:\\DATA\\x\\y", u"c:\\Data", u"\\x\\y"},
    {"volume prefix form", u"[0a1b-2c3d]:\\Data\\x", u"c:\\Data", u"\\x"},
    {"below a flat source", u"c:\\Flat\\x", u"", nullptr},
    {"plain folder the path ends at", u"c:", u"c:", nullptr},
    {"mirror folder", u"d:\\M", u"d:\\M", u""},
    {"below a mirror", u"d:\\M\\sub", u"d:\\M", u"\\sub"},
    {"share source", u"\\\\srv\\PUB\\Src\\x", u"\\\\srv\\pub\\Src", u"\\x"},
    {"other share", u"\\\\srv\\pubs\\Src", u"", nullptr},
    {"unknown volume", u"e:\\Data", u"", nullptr},
    {"prefix of an unknown serial", u"[0A1B-2C3E]:\\Data", u"", nullptr},
    {"empty path", u"", u"", nullptr},
};

}  // namespace

TEST_F(FindOwnerTest, FindsTheShallowestPairEndThatOwnsAPath) {
  for (const OwnerCase& c : kOwnerCases) {
    SCOPED_TRACE(c.name);
    const OwnerMatch match = table_.FindOwner(c.path);
    if (c.owner.empty()) {
      EXPECT_EQ(match.node, nullptr);
      continue;
    }
    ASSERT_NE(match.node, nullptr);
    EXPECT_EQ(Narrow(PathOf(match.node)), Narrow(c.owner));
    ASSERT_EQ(match.remainder.has_value(), c.remainder != nullptr);
    if (c.remainder != nullptr) {
      EXPECT_EQ(Narrow(*match.remainder), Narrow(c.remainder));
    }
  }
}

TEST_F(TableTest, NodePathNamesAVolumeWithoutLetterByItsPrefix) {
  AddPair(u"c:\\Data", u"d:\\M");
  PathNode* drive = Node(u"c:");
  drive->volumeSerial = kSerialC;
  drive->name.Buffer[0] = u'?';
  const PathNode* source = Node(u"[0A1B-2C3D]:\\Data");
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(Narrow(PathOf(source)), "[0A1B-2C3D]:\\Data");

  // 17 characters and the NUL.
  WCHAR buffer[18];
  SIZE_T length = 0;
  EXPECT_FALSE(table_.NodePath(source, buffer, 17, &length));
  EXPECT_EQ(length, 17u);
  EXPECT_TRUE(table_.NodePath(source, buffer, 18, &length));
  EXPECT_EQ(buffer[17], u'\0');
}

TEST_F(TableTest, FindByIdFindsSourcesAndTheirMirrors) {
  AddPair(u"c:\\Data", u"d:\\M1");
  AddPair(u"c:\\Data", u"d:\\M2");
  const PathNode* source = Node(u"c:\\Data");
  const PathNode* mirror = Node(u"d:\\M1");
  EXPECT_EQ(table_.FindById(source->id), source);
  EXPECT_EQ(table_.FindById(mirror->id), mirror);
  EXPECT_EQ(table_.FindById(Node(u"c:")->id), nullptr) << "plain folders are not pairs";
  EXPECT_EQ(table_.FindById(0), nullptr);
  EXPECT_EQ(table_.sourceCount(), 1u);
}

TEST_F(TableTest, AddPairJoinsNewestMirrorFirst) {
  AddPair(u"c:\\Data", u"d:\\Old");
  AddPair(u"c:\\Data", u"\\\\srv\\pub\\New");
  const PathNode* source = Node(u"c:\\Data");
  ASSERT_NE(source->firstMirror, nullptr);
  EXPECT_EQ(Narrow(PathOf(source->firstMirror)), "\\\\srv\\pub\\New");
  EXPECT_EQ(Narrow(PathOf(source->firstMirror->nextMirror)), "d:\\Old");
  EXPECT_EQ(source->firstMirror->source, source);
  EXPECT_EQ(source->flags, KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS);
  EXPECT_EQ(source->firstMirror->flags, KV_FLAGS_NEW_MIRROR | KV_FLAG_SUBFOLDERS);
  EXPECT_EQ(Node(u"\\\\srv\\pub")->altName.Buffer[0], u'?');
  EXPECT_TRUE(table_.dirty());
}

TEST_F(TableTest, FloppyMirrorIsScheduledWithItsOwnOptions) {
  AddPair(u"c:\\Data", u"A:\\Backup");
  const PathNode* mirror = Node(u"a:\\Backup");
  EXPECT_EQ(mirror->flags & (KV_FLAG_SCHEDULED | KV_FLAG_NEEDS_SYNC),
            KV_FLAG_SCHEDULED | KV_FLAG_NEEDS_SYNC);
  const PairOptions* options = table_.FindOptions(mirror->id);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->interval, 999);
  EXPECT_EQ(options->intervalUnit, 2);
  EXPECT_EQ(options->keepCount, 999);
  EXPECT_EQ(options->keepUnit, 2);
}

struct RefusedPairCase {
  const char* name;
  std::u16string_view source;
  std::u16string_view mirror;
};

constexpr RefusedPairCase kRefusedPairs[] = {
    {"mirror equal to source", u"c:\\Data", u"C:\\DATA"},
    {"mirror equal to a new source", u"c:\\Other", u"C:\\other"},
    {"mirror inside an existing mirror", u"c:\\Other", u"d:\\M\\sub"},
    {"mirror on an existing source", u"c:\\Other", u"c:\\Data"},
    {"source inside a mirror", u"d:\\M\\x", u"e:\\Y"},
    {"mirror without a letter", u"c:\\Other", u"?:\\Y"},
    {"mirror by volume prefix", u"c:\\Other", u"[0A1B-2C3D]:\\Y"},
    {"relative mirror", u"c:\\Other", u"Y"},
    {"empty component", u"c:\\Other", u"e:\\a\\\\b"},
    {"share without a share name", u"c:\\Other", u"\\\\srv"},
    {"empty source", u"", u"e:\\Y"},
};

TEST_F(TableTest, AddPairRefusesBadPairsAndLeavesTheTableAsItWas) {
  AddPair(u"c:\\Data", u"d:\\M");
  for (const RefusedPairCase& c : kRefusedPairs) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(table_.AddPair(c.source, c.mirror, KV_FLAG_SOURCE), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(table_.FindOwner(u"c:\\Other").node, nullptr);
    EXPECT_EQ(table_.FindOwner(u"e:").node, nullptr);
  }
  EXPECT_EQ(table_.sourceCount(), 1u);
}

TEST_F(TableTest, SetFilterChecksTheBlockAndTheSource) {
  AddPair(u"c:\\Data", u"d:\\M");
  const std::vector<std::uint8_t> block = BuildFilterBlock({{kFilterExtension, u".tmp"}});
  EXPECT_EQ(table_.SetFilter(u"d:\\M", block.data(), block.size()), STATUS_OBJECT_PATH_INVALID);
  EXPECT_EQ(table_.SetFilter(u"c:\\Data", block.data(), block.size() - 1),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table_.SetFilter(u"c:\\Data", block.data(), block.size()), STATUS_SUCCESS);
  EXPECT_NE(Node(u"c:\\Data")->filter, nullptr);

  const std::vector<std::uint8_t> empty = BuildFilterBlock({});
  EXPECT_EQ(table_.SetFilter(u"c:\\Data", empty.data(), empty.size()), STATUS_SUCCESS);
  EXPECT_EQ(Node(u"c:\\Data")->filter, nullptr) << "a block without entries is not kept";
}

TEST_F(TableTest, ImpersonatesOnlyForNetworkMirrorsWithAnAccount) {
  AddPair(u"c:\\Data", u"d:\\M");
  AddPair(u"c:\\Data", u"\\\\srv\\pub\\M");
  EXPECT_FALSE(table_.Impersonate(Node(u"d:\\M")));
  EXPECT_FALSE(table_.Impersonate(Node(u"\\\\srv\\pub\\M"))) << "no account captured yet";
}

TEST(MirrorTableMemory, GivesBackEverythingItAllocated) {
  const SIZE_T before = nt::PoolControl::BytesInUse(kDriverPoolTag);
  {
    MirrorTable table;
    ExclusiveResourceLock lock(table.lock());
    table.Prepare(0x1234, u"\\WINDOWS");
    ASSERT_EQ(table.AddPair(u"c:\\Data", u"d:\\M", KV_FLAG_SOURCE), STATUS_SUCCESS);
    ASSERT_EQ(table.AddPair(u"c:\\Data", u"a:\\F", KV_FLAG_SOURCE), STATUS_SUCCESS);
    const std::vector<std::uint8_t> block = BuildFilterBlock({{kFilterExtension, u".tmp"}});
    ASSERT_EQ(table.SetFilter(u"c:\\Data", block.data(), block.size()), STATUS_SUCCESS);
    ASSERT_EQ(table.AddExclusion(u"c:\\Temp"), STATUS_SUCCESS);
    ASSERT_EQ(table.AddPair(u"e:\\X", u"e:\\X", KV_FLAG_SOURCE), STATUS_OBJECT_PATH_SYNTAX_BAD);
  }
  EXPECT_EQ(nt::PoolControl::BytesInUse(kDriverPoolTag), before);
}
