#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/table/table_cipher.h"
#include "driver/table/table_fixture.h"

namespace {

constexpr ULONG kSystemSerial = 0x5555AAAA;

using Image = std::vector<UCHAR>;

// A table of one source with two mirrors, a filter block and full options on one mirror.
class TableImageTest : public TableTest {
 protected:
  void SetUp() override {
    table_.Prepare(kSystemSerial, u"\\WINDOWS");
    AddPair(u"c:\\Data", u"d:\\M1");
    AddPair(u"c:\\Data", u"\\\\srv\\pub\\M2");
    SetSerial(u"c:", 0x0A1B2C3D);
    SetFilter(u"c:\\Data", {{kFilterFolder, u"cache"}, {kFilterPattern, u"*.t?t"},
                            {kFilterExtension, u".tmp"}, {kFilterEnd, u""}});
    PairRecord record = DefaultPairRecord(u"\\\\srv");
    record.mirrorId = Node(u"\\\\srv\\pub\\M2")->id;
    record.groupMask = kPairGroupScheduleAccount | kPairGroupSyncStamp | kPairGroupArchive |
                       kPairGroupExtra;
    record.archivePath = u"e:\\zips\\m2.zip";
    record.userName = u"ann";
    record.password = u"pw";
    record.schedule1[0] = 0x11;
    record.schedule2[62] = 0x22;
    record.syncStamp = {0x01020304, 0x05060708};
    record.extra = {1, 2, 3, 4};
    ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
    Node(u"d:\\M1")->flags |= KV_FLAG_BUSY;
  }

  Image Save() {
    UCHAR* data = nullptr;
    SIZE_T size = 0;
    table_.BuildImage(&data, &size);
    Image image(data, data + size);
    DriverFree(data);
    return image;
  }

  // Loads into a fresh table prepared for the given system volume.
  NTSTATUS Load(MirrorTable* into, Image image, ULONG systemSerial = kSystemSerial) {
    ExclusiveResourceLock lock(into->lock());
    into->Prepare(systemSerial, u"\\WINDOWS");
    return into->LoadImage(image.data(), image.size());
  }

  static std::u16string Path(MirrorTable& table, const PathNode* node) {
    WCHAR buffer[256];
    SIZE_T length = 0;
    return table.NodePath(node, buffer, 256, &length) ? std::u16string(buffer, length) : u"";
  }
};

// Deciphers an image, lets `edit` change the plain bytes, and seals it again.
template <typename Edit>
Image Reseal(Image image, Edit edit) {
  const TableKey key = MakeTableKey();
  DecipherImage(key, image.data() + 4, image.size() - 4);
  edit(image);
  const ULONG checksum = ImageChecksum(image.data() + 12, image.size() - 12);
  std::memcpy(image.data() + 4, &checksum, 4);
  EncipherImage(key, image.data() + 4, image.size() - 4);
  return image;
}

}  // namespace

TEST(TableCipher, DecipherUndoesEncipherForEveryTailLength) {
  const TableKey key = MakeTableKey();
  for (SIZE_T size = 0; size <= 24; ++size) {
    SCOPED_TRACE(size);
    Image plain(size);
    for (SIZE_T i = 0; i < size; ++i) plain[i] = static_cast<UCHAR>(i * 37 + 5);
    Image data = plain;
    EncipherImage(key, data.data(), data.size());
    if (size != 0) {
      EXPECT_NE(data, plain);
    }
    DecipherImage(key, data.data(), data.size());
    EXPECT_EQ(data, plain);
  }
}

TEST(TableCipher, ChecksumFoldsWordsAndTrailingBytes) {
  const UCHAR data[6] = {0x01, 0x02, 0x03, 0x04, 0x10, 0x20};
  // Words: 0x04030201; then the bytes 0x10 and 0x20: r = 0x04030231, folded.
  const ULONG r = 0x04030201 ^ 0x10 ^ 0x20;
  EXPECT_EQ(ImageChecksum(data, sizeof data), r ^ (r >> 8) ^ (r >> 16) ^ (r >> 24));
}

TEST_F(TableImageTest, TableSurvivesSaveAndLoad) {
  const Image image = Save();
  EXPECT_FALSE(table_.dirty());
  ASSERT_EQ(std::memcmp(image.data(), "KV03", 4), 0);

  MirrorTable loaded;
  ASSERT_EQ(Load(&loaded, image), STATUS_SUCCESS);
  ExclusiveResourceLock lock(loaded.lock());
  const PathNode* source = loaded.FindOwner(u"c:\\Data").node;
  ASSERT_NE(source, nullptr);
  const PathNode* original = Node(u"c:\\Data");
  EXPECT_EQ(source->id, original->id);
  EXPECT_EQ(source->flags, original->flags.load());
  EXPECT_EQ(Narrow(Path(loaded, source->firstMirror)), "\\\\srv\\pub\\M2");
  EXPECT_EQ(Narrow(Path(loaded, source->firstMirror->nextMirror)), "d:\\M1");
  EXPECT_EQ(source->firstMirror->source, source);
  EXPECT_EQ(loaded.FindOwner(u"[0A1B-2C3D]:\\Data").node, source) << "serials are kept";
  EXPECT_EQ(loaded.FindOwner(u"\\\\srv\\pub").node->altName.Buffer[0], u'?');
  ASSERT_NE(source->filter, nullptr);
  EXPECT_EQ(std::memcmp(source->filter, original->filter, source->filter[0]), 0);
  EXPECT_EQ(loaded.sourceCount(), 1u);

  const PathNode* m1 = loaded.FindOwner(u"d:\\M1").node;
  EXPECT_EQ(m1->flags & KV_FLAG_BUSY, 0u) << "claims are never stored";
  EXPECT_EQ(m1->flags | KV_FLAG_BUSY, Node(u"d:\\M1")->flags.load());

  PairRecord before, after;
  ASSERT_EQ(table_.GetOptions(u"\\\\srv\\pub\\M2", &before), STATUS_SUCCESS);
  ASSERT_EQ(loaded.GetOptions(u"\\\\srv\\pub\\M2", &after), STATUS_SUCCESS);
  EXPECT_TRUE(before == after);

  // New nodes continue the id counter where the saved table left it.
  ASSERT_EQ(table_.AddPair(u"c:\\Next", u"d:\\N", KV_FLAG_SOURCE), STATUS_SUCCESS);
  ASSERT_EQ(loaded.AddPair(u"c:\\Next", u"d:\\N", KV_FLAG_SOURCE), STATUS_SUCCESS);
  EXPECT_EQ(loaded.FindOwner(u"d:\\N").node->id, Node(u"d:\\N")->id);
}

TEST_F(TableImageTest, ScheduledAndTwoWayMirrorsComeBackOutOfDate) {
  Node(u"d:\\M1")->flags = KV_FLAG_MIRROR | KV_FLAG_SCHEDULED;
  Node(u"\\\\srv\\pub\\M2")->flags = KV_FLAG_MIRROR | KV_FLAG_TWO_WAY;
  MirrorTable loaded;
  ASSERT_EQ(Load(&loaded, Save()), STATUS_SUCCESS);
  ExclusiveResourceLock lock(loaded.lock());
  EXPECT_NE(loaded.FindOwner(u"d:\\M1").node->flags & KV_FLAG_NEEDS_SYNC, 0u);
  EXPECT_NE(loaded.FindOwner(u"\\\\srv\\pub\\M2").node->flags & KV_FLAG_NEEDS_SYNC, 0u);
}

TEST_F(TableImageTest, OptionsOfASourceAreDroppedOnLoad) {
  PairRecord record = DefaultPairRecord(u"c:");
  record.mirrorId = Node(u"c:\\Data")->id;
  record.groupMask = kPairGroupSyncStamp;
  ASSERT_EQ(table_.SetOptions(record), STATUS_SUCCESS);
  ASSERT_NE(table_.FindOptions(record.mirrorId), nullptr);
  MirrorTable loaded;
  ASSERT_EQ(Load(&loaded, Save()), STATUS_SUCCESS);
  ExclusiveResourceLock lock(loaded.lock());
  EXPECT_EQ(loaded.FindOptions(record.mirrorId), nullptr);
  EXPECT_NE(loaded.FindOptions(Node(u"\\\\srv\\pub\\M2")->id), nullptr);
}

TEST_F(TableImageTest, OlderImageIsReadAndWrittenBackInTheCurrentFormat) {
  // The same tree with the options in the older 48-byte form.
  const ULONG mirrorId = Node(u"d:\\M1")->id;
  table_.RemovePair(u"\\\\srv\\pub\\M2");
  const Image old = Reseal(Save(), [mirrorId](Image& image) {
    std::memcpy(image.data(), "KV02", 4);
    std::memcpy(image.data() + 36, "\xEE\xEE\xEE\xEE", 4);  // another volume: not compared
    const ULONG one = 1;
    std::memcpy(image.data() + 16, &one, 4);
    UCHAR record[48] = {};
    std::memcpy(record, &mirrorId, 4);
    record[4] = 2;                        // intervalUnit
    record[8] = 5;                        // interval
    record[20] = 9;                       // keepCount
    record[32] = 0x77;                    // extra word 2
    record[40] = 0xAB;                    // archiveSerial
    record[44] = 2;                       // archive path characters
    image.insert(image.end(), record, record + 48);
    const UCHAR path[6] = {'z', 0, ':', 0, 0, 0};
    image.insert(image.end(), path, path + 6);
  });

  MirrorTable loaded;
  ASSERT_EQ(Load(&loaded, old), STATUS_SUCCESS);
  ExclusiveResourceLock lock(loaded.lock());
  const PairOptions* options = loaded.FindOptions(mirrorId);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->intervalUnit, 2);
  EXPECT_EQ(options->interval, 5);
  EXPECT_EQ(options->keepCount, 9);
  EXPECT_EQ(options->keepUnit, 2);
  EXPECT_EQ(options->extra[2], 0x77u);
  EXPECT_EQ(options->archiveSerial, 0xABu);
  EXPECT_EQ(View(options->archivePath), u"z:");

  UCHAR* data = nullptr;
  SIZE_T size = 0;
  loaded.BuildImage(&data, &size);
  EXPECT_EQ(std::memcmp(data, "KV03", 4), 0);
  DriverFree(data);
}

TEST_F(TableImageTest, DamagedOrForeignImagesAreRefusedAndChangeNothing) {
  const Image good = Save();
  MirrorTable loaded;
  ASSERT_EQ(Load(&loaded, good), STATUS_SUCCESS);

  Image flipped = good;
  flipped[40] ^= 0x01;
  EXPECT_EQ(Load(&loaded, flipped), STATUS_FILE_INVALID);
  EXPECT_EQ(Load(&loaded, good, 0x12345678), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Load(&loaded, Image(good.begin(), good.begin() + 63)), STATUS_FILE_INVALID);
  Image wrongMagic = good;
  wrongMagic[3] = '4';
  EXPECT_EQ(Load(&loaded, wrongMagic), STATUS_FILE_INVALID);

  ExclusiveResourceLock lock(loaded.lock());
  EXPECT_NE(loaded.FindOwner(u"c:\\Data").node, nullptr) << "the good table is still there";
  EXPECT_EQ(loaded.sourceCount(), 1u);
}

struct CorruptionCase {
  const char* name;
  void (*edit)(Image&);
};

// Edits of the plain image that a checksum cannot catch, because the image is resealed.
const CorruptionCase kCorruptions[] = {
    {"truncated inside a record", [](Image& i) { i.erase(i.end() - 3, i.end()); }},
    {"trailing garbage", [](Image& i) { i.push_back(0); }},
    {"header length not 64", [](Image& i) { i[8] = 65; }},
    {"pair count too high", [](Image& i) { i[12] += 1; }},
    {"pair count too low", [](Image& i) { i[12] -= 1; }},
    {"option count too high", [](Image& i) { i[16] += 1; }},
    {"huge pair count", [](Image& i) { std::memset(i.data() + 12, 0xFF, 4); }},
    {"root with a name", [](Image& i) { i[64 + 8] = 1; }},
    {"root child count huge", [](Image& i) { std::memset(i.data() + 64 + 28, 0x7F, 4); }},
};

TEST_F(TableImageTest, ResealedCorruptImagesFailTheLoad) {
  const Image good = Save();
  for (const CorruptionCase& c : kCorruptions) {
    SCOPED_TRACE(c.name);
    MirrorTable loaded;
    EXPECT_EQ(Load(&loaded, Reseal(good, c.edit)), STATUS_FILE_INVALID);
    ExclusiveResourceLock lock(loaded.lock());
    EXPECT_EQ(loaded.sourceCount(), 0u);
  }
}

TEST_F(TableImageTest, EveryResealedTruncationFailsCleanly) {
  const Image good = Save();
  for (SIZE_T size = 64; size < good.size(); ++size) {
    SCOPED_TRACE(size);
    MirrorTable loaded;
    EXPECT_EQ(Load(&loaded, Reseal(good, [size](Image& image) { image.erase(image.begin() + static_cast<long>(size), image.end()); })),
              STATUS_FILE_INVALID);
  }
}
