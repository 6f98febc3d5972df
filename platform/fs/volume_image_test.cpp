#include "platform/fs/volume_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/nt/image_bytes.h"
#include "platform/nt/machine_kernel.h"

namespace fs {
namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

std::string Hex(const std::vector<UCHAR>& bytes) {
  std::string out;
  for (UCHAR b : bytes) out += "0123456789ABCDEF"[b >> 4], out += "0123456789ABCDEF"[b & 15];
  return out;
}

// Everything an image keeps of the tree below `node`, as text.
void Describe(const Node& node, const std::string& path, std::string* out) {
  const std::shared_ptr<Node> parent = node.parent.lock();
  *out += path + " id " + std::to_string(node.id) + (node.directory ? " dir" : " file") +
          " attr " + std::to_string(node.attributes) + " times " +
          std::to_string(node.creation.QuadPart) + "," + std::to_string(node.access.QuadPart) +
          "," + std::to_string(node.write.QuadPart) + "," + std::to_string(node.change.QuadPart) +
          " links " + std::to_string(node.links) + " sd " + Hex(node.security) + " reparse " +
          Hex(node.reparse) + " primary " + (parent ? std::to_string(parent->id) : "-") + ":" +
          Narrow(node.name) + "\n";
  for (const auto& [name, stream] : node.streams) {
    *out += "  stream '" + Narrow(name) + "' " +
            std::string(stream.data.begin(), stream.data.end()) + " room " +
            std::to_string(stream.allocation) + "\n";
  }
  for (const auto& [key, link] : node.children) {
    *out += "  name " + Narrow(link.name) + " short " + Narrow(link.short_name) + "\n";
    if (link.node->parent.lock().get() == &node && link.node->name == link.name) {
      Describe(*link.node, path + "\\" + Narrow(link.name), out);
    }
  }
}

std::string Describe(Volume& volume) {
  std::string out;
  std::lock_guard guard(volume.lock());
  Describe(*volume.root(), "", &out);
  return out + "next id " + std::to_string(volume.next_id()) + "\n";
}

class VolumeImageTest : public ::testing::Test {
 protected:
  // A volume with a long name (and its short name), a hard link, a named stream, attributes,
  // times, a security descriptor and a junction.
  VolumeImageTest() {
    EXPECT_EQ(volume_.PutFile(u"\\Data\\A long file name.txt", "content", FILE_ATTRIBUTE_HIDDEN),
              STATUS_SUCCESS);
    EXPECT_EQ(volume_.PutDirectory(u"\\Data\\Junction"), STATUS_SUCCESS);
    EXPECT_EQ(volume_.PutFile(u"\\empty.txt", ""), STATUS_SUCCESS);
    std::shared_ptr<Node> file = volume_.Find(u"\\Data\\A long file name.txt");
    std::shared_ptr<Node> data = volume_.Find(u"\\Data");
    std::shared_ptr<Node> junction = volume_.Find(u"\\Data\\Junction");
    std::lock_guard guard(volume_.lock());
    data->children.emplace(Fold(u"Second.txt"), Link{u"Second.txt", u"", file});
    file->links = 2;
    file->streams[u"NOTES"].data = {'n', 'o', 't', 'e'};
    file->streams[u"NOTES"].allocation = 4096;
    file->write.QuadPart = 133'000'000'000'000'000;
    file->security = {1, 0, 4, 0x80, 0, 0, 0, 0};
    junction->reparse = {3, 0, 0, 0xA0, 8, 0};
    junction->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }

  nt::Kernel kernel_;
  Volume volume_{Format::kNtfs, 0x0A1B2C3D, u""};
};

TEST_F(VolumeImageTest, ARestoredVolumeHoldsWhatWasSaved) {
  const std::vector<UCHAR> bytes = SaveVolumeImage(volume_);
  VolumeImage image;
  std::string error;
  ASSERT_TRUE(ParseVolumeImage(bytes, &image, &error)) << error;
  EXPECT_EQ(image.format, Format::kNtfs);
  EXPECT_EQ(image.serial, 0x0A1B2C3Du);
  Volume restored(Format::kNtfs, 0x0A1B2C3D, u"");
  RestoreVolumeImage(std::move(image), &restored);
  EXPECT_EQ(Describe(restored), Describe(volume_));
  EXPECT_NE(Describe(volume_).find("short ALONGF~1.TXT"), std::string::npos);

  // Both names lead to one file, found by its id too; new files get new ids.
  std::shared_ptr<Node> file = restored.Find(u"\\Data\\A long file name.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(restored.Find(u"\\Data\\Second.txt"), file);
  EXPECT_EQ(restored.NodeById(file->id), file);
  EXPECT_EQ(restored.Find(u"\\Data")->parent.lock(), restored.root());
  ASSERT_EQ(restored.PutFile(u"\\new.txt", "x"), STATUS_SUCCESS);
  EXPECT_EQ(restored.Find(u"\\new.txt")->id, volume_.next_id());
  EXPECT_EQ(restored.ReadFile(u"\\Data\\Second.txt"), "content");
}

TEST_F(VolumeImageTest, ShortOrDamagedImagesAreRefused) {
  const std::vector<UCHAR> bytes = SaveVolumeImage(volume_);
  for (size_t size = 0; size < bytes.size(); ++size) {
    const std::vector<UCHAR> prefix(bytes.begin(), bytes.begin() + size);
    VolumeImage image;
    std::string error;
    ASSERT_FALSE(ParseVolumeImage(prefix, &image, &error)) << size;
    ASSERT_FALSE(error.empty());
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    std::vector<UCHAR> damaged = bytes;
    damaged[at] ^= 0x01;
    VolumeImage image;
    std::string error;
    ASSERT_FALSE(ParseVolumeImage(damaged, &image, &error)) << at;
  }
}

struct NodeSpec {
  ULONGLONG id;
  bool directory;
  ULONGLONG parent;
};

struct LinkSpec {
  ULONGLONG folder;
  const char16_t* name;
  ULONGLONG node;
};

struct BadTree {
  const char* name;
  NodeSpec nodes[3];
  size_t node_count;
  LinkSpec links[3];
  size_t link_count;
  const char* error;
};

// Images whose frame is sound but whose tree is not.
constexpr BadTree kBadTrees[] = {
    {"a folder with two names",
     {{5, true, 0}, {6, true, 5}, {7, true, 5}}, 3,
     {{5, u"a", 6}, {5, u"b", 7}, {7, u"c", 6}}, 3,
     "node 6 is a folder without exactly one name"},
    {"a name in a file", {{5, true, 0}, {6, false, 5}}, 2, {{5, u"f", 6}, {6, u"x", 6}}, 2,
     "a name is in node 6, which is not a folder"},
    {"a folder inside itself", {{5, true, 0}, {6, true, 5}, {7, true, 6}}, 3,
     {{5, u"a", 6}, {7, u"b", 7}}, 2, "some folders or files cannot be reached from the root"},
    {"one name twice", {{5, true, 0}, {6, false, 5}, {7, false, 5}}, 3,
     {{5, u"a", 6}, {5, u"A", 7}}, 2, "node 5 holds one name twice"},
    {"a file without a name", {{5, true, 0}, {6, false, 5}}, 2, {}, 0,
     "node 6 is a file without a name"},
    {"a name for the root", {{5, true, 0}}, 1, {{5, u"r", 5}}, 1,
     "a name leads to node 5, which cannot have one"},
    {"an id past the volume's", {{5, true, 0}, {500, false, 5}}, 2, {{5, u"a", 500}}, 1,
     "node 500 has an id outside the volume's"},
    {"a root that is a file", {{5, false, 0}}, 1, {}, 0, "the first node is not a root folder"},
};

std::vector<UCHAR> ImageOf(const BadTree& tree) {
  nt::ImageWriter writer;
  writer.U32(static_cast<ULONG>(Format::kNtfs));
  writer.U32(0x12345678);
  writer.U64(100);
  writer.U32(static_cast<ULONG>(tree.node_count));
  for (size_t i = 0; i < tree.node_count; ++i) {
    writer.U64(tree.nodes[i].id);
    writer.U8(tree.nodes[i].directory ? 1 : 0);
    writer.U32(0);
    for (int t = 0; t < 4; ++t) writer.I64(0);
    writer.Bytes({});
    writer.Bytes({});
    writer.U64(tree.nodes[i].parent);
    writer.Text(u"n");
    writer.U32(0);
  }
  writer.U32(static_cast<ULONG>(tree.link_count));
  for (size_t i = 0; i < tree.link_count; ++i) {
    writer.U64(tree.links[i].folder);
    writer.Text(tree.links[i].name);
    writer.Text(u"");
    writer.U64(tree.links[i].node);
  }
  return writer.Finish("KVVOLIMG", 1);
}

TEST(VolumeImage, ImagesWhoseFoldersDoNotFormATreeAreRefused) {
  for (const BadTree& tree : kBadTrees) {
    SCOPED_TRACE(tree.name);
    VolumeImage image;
    std::string error;
    EXPECT_FALSE(ParseVolumeImage(ImageOf(tree), &image, &error));
    EXPECT_EQ(error, tree.error);
  }
}

TEST(VolumeImage, ACountLargerThanTheImageIsRefusedBeforeAnythingIsMade) {
  nt::ImageWriter writer;
  writer.U32(static_cast<ULONG>(Format::kNtfs));
  writer.U32(1);
  writer.U64(100);
  writer.U32(0xFFFFFFFF);
  VolumeImage image;
  std::string error;
  EXPECT_FALSE(ParseVolumeImage(writer.Finish("KVVOLIMG", 1), &image, &error));
  EXPECT_EQ(error, "a count at byte 36 (4294967295) names more records than the image holds");
}

}  // namespace
}  // namespace fs
