#include "driver/table/exclusion_rules.h"

#include "driver/table/table_fixture.h"

namespace {

struct AreaCase {
  const char* name;
  std::u16string_view path;
  bool expected;
};

constexpr AreaCase kSystemAreaCases[] = {
    {"recycler subfolder", u"[0A1B-2C3D]:\\RECYCLER\\S-1-5\\x.txt", true},
    {"recycled", u"[0A1B-2C3D]:\\Recycled", true},
    {"longer name", u"[0A1B-2C3D]:\\Recyclers\\x.txt", false},
    {"system volume information", u"[0A1B-2C3D]:\\system volume information\\x", true},
    {"restore points", u"[0A1B-2C3D]:\\_RESTORE\\a", true},
    {"not at the root", u"[0A1B-2C3D]:\\dir\\Recycler\\x", false},
    {"drive letter form", u"c:\\Recycler\\x", false},
    {"too short", u"[0A1B-2C3D]:\\R", false},
};

// The system lives on volume 5555-AAAA in \WINDOWS.
constexpr AreaCase kTempCases[] = {
    {"system temp", u"[5555-AAAA]:\\WINDOWS\\Temp\\x.tmp", true},
    {"system temp itself", u"[5555-AAAA]:\\windows\\temp", true},
    {"beside system temp", u"[5555-AAAA]:\\WINDOWS\\Temporary\\x", false},
    {"system temp on another volume", u"[0A1B-2C3D]:\\WINDOWS\\Temp\\x", false},
    {"profile temp", u"[5555-AAAA]:\\Documents and Settings\\ann\\Local Settings\\Temp\\x.tmp",
     true},
    {"profile internet cache",
     u"[5555-AAAA]:\\Documents and Settings\\ann\\Local Settings\\Temporary Internet Files\\a",
     true},
    {"short names", u"[5555-AAAA]:\\Docume~1\\ann\\LocalS~1\\Tempor~1\\a.htm", true},
    {"templates are not temporary",
     u"[5555-AAAA]:\\Documents and Settings\\ann\\Local Settings\\Templates\\a.doc", false},
    {"temp outside local settings", u"[5555-AAAA]:\\Documents and Settings\\ann\\Temp\\x", false},
    {"profile folder without subfolder", u"[5555-AAAA]:\\Documents and Settings\\ann", false},
    {"profile on another volume",
     u"[0A1B-2C3D]:\\Documents and Settings\\ann\\Local Settings\\Temp\\x", false},
};

class ExclusionTest : public TableTest {
 protected:
  void SetUp() override {
    table_.Prepare(0x5555AAAA, u"\\WINDOWS");
    AddPair(u"c:\\Data", u"d:\\M");
    SetSerial(u"c:", kSerialC);
  }
  const ExclusionRules& rules() { return table_.exclusions(); }
};

}  // namespace

TEST_F(ExclusionTest, SystemAreasAreTheBookkeepingFoldersAtAVolumeRoot) {
  for (const AreaCase& c : kSystemAreaCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rules().IsSystemArea(c.path), c.expected);
  }
}

TEST_F(ExclusionTest, TemporaryFoldersOfTheSystemVolume) {
  for (const AreaCase& c : kTempCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rules().IsTempOrExcluded(c.path), c.expected);
  }
}

TEST_F(ExclusionTest, ExcludedFolderCoversItsSubfoldersButNotSiblings) {
  ASSERT_EQ(table_.AddExclusion(u"C:\\Data\\Cache\\"), STATUS_SUCCESS);
  EXPECT_TRUE(rules().IsTempOrExcluded(u"[0A1B-2C3D]:\\Data\\Cache"));
  EXPECT_TRUE(rules().IsTempOrExcluded(u"[0A1B-2C3D]:\\data\\cache\\deep\\x.bin"));
  EXPECT_FALSE(rules().IsTempOrExcluded(u"[0A1B-2C3D]:\\Data\\Cached\\x.bin"));
}

TEST_F(ExclusionTest, AddingTheSameFolderTwiceKeepsOneEntry) {
  const SIZE_T before = nt::PoolControl::BlocksInUse(kDriverPoolTag);
  ASSERT_EQ(table_.AddExclusion(u"c:\\Data\\Cache"), STATUS_SUCCESS);
  const SIZE_T afterFirst = nt::PoolControl::BlocksInUse(kDriverPoolTag);
  EXPECT_GT(afterFirst, before);
  ASSERT_EQ(table_.AddExclusion(u"c:\\DATA\\cache"), STATUS_SUCCESS);
  ASSERT_EQ(table_.AddExclusion(u"c:\\Data\\Cache\\inner"), STATUS_SUCCESS);
  EXPECT_EQ(nt::PoolControl::BlocksInUse(kDriverPoolTag), afterFirst);
}

TEST_F(ExclusionTest, UnknownDriveIsRefused) {
  EXPECT_EQ(table_.AddExclusion(u"e:\\x"), STATUS_NO_MEMORY);
  EXPECT_EQ(table_.AddExclusion(u"\\\\srv\\pub\\x"), STATUS_NO_MEMORY);
  EXPECT_EQ(table_.AddExclusion(u"c"), STATUS_NO_MEMORY);
}

TEST(ExclusionRules, WithoutPrepareNothingIsTemporary) {
  ExclusionRules rules;
  EXPECT_FALSE(rules.IsTempOrExcluded(u"[0000-0000]:\\Documents and Settings\\a\\Local Settings\\Temp"));
  rules.Prepare(0, u"");
  EXPECT_FALSE(rules.IsTempOrExcluded(u"[5555-AAAA]:\\WINDOWS\\Temp\\x"));
}
