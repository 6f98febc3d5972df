#include "platform/fs/volume_image.h"

#include <set>

#include "platform/nt/image_bytes.h"

namespace fs {
namespace {

constexpr size_t kLongestName = 32767;
constexpr size_t kLongestShortName = 255;
// The smallest record of each kind: every fixed field, every text and blob empty.
constexpr size_t kSmallestNode = 8 + 1 + 4 + 4 * 8 + 4 + 4 + 8 + 4 + 4;
constexpr size_t kSmallestStream = 4 + 4 + 8;
constexpr size_t kSmallestLink = 8 + 4 + 4 + 8;

std::string Id(ULONGLONG id) { return "node " + std::to_string(id); }

// The nodes reachable from the root, each once, folders before what they hold.
std::vector<const Node*> Reachable(const Node& root) {
  std::vector<const Node*> order{&root};
  std::set<const Node*> seen{&root};
  for (size_t i = 0; i < order.size(); ++i) {
    for (const auto& [key, link] : order[i]->children) {
      if (seen.insert(link.node.get()).second) order.push_back(link.node.get());
    }
  }
  return order;
}

}  // namespace

std::vector<UCHAR> SaveVolumeImage(Volume& volume) {
  std::shared_ptr<Node> root = volume.root();
  std::lock_guard guard(volume.lock());
  const std::vector<const Node*> nodes = Reachable(*root);
  const std::set<const Node*> saved(nodes.begin(), nodes.end());
  nt::ImageWriter writer;
  writer.U32(static_cast<ULONG>(volume.format()));
  writer.U32(volume.serial());
  writer.U64(volume.next_id());
  writer.U32(static_cast<ULONG>(nodes.size()));
  size_t links = 0;
  for (const Node* node : nodes) {
    writer.U64(node->id);
    writer.U8(node->directory ? 1 : 0);
    writer.U32(node->attributes);
    writer.I64(node->creation.QuadPart);
    writer.I64(node->access.QuadPart);
    writer.I64(node->write.QuadPart);
    writer.I64(node->change.QuadPart);
    writer.Bytes(node->security);
    writer.Bytes(node->reparse);
    const std::shared_ptr<Node> parent = node->parent.lock();
    writer.U64(parent != nullptr && saved.count(parent.get()) != 0 ? parent->id : 0);
    writer.Text(node->name);
    writer.U32(static_cast<ULONG>(node->streams.size()));
    for (const auto& [name, stream] : node->streams) {
      writer.Text(name);
      writer.Bytes(stream.data);
      writer.I64(stream.allocation);
    }
    links += node->children.size();
  }
  writer.U32(static_cast<ULONG>(links));
  for (const Node* folder : nodes) {
    for (const auto& [key, link] : folder->children) {
      writer.U64(folder->id);
      writer.Text(link.name);
      writer.Text(link.short_name);
      writer.U64(link.node->id);
    }
  }
  return writer.Finish(kVolumeImageMagic, kVolumeImageVersion);
}

bool ParseVolumeImage(const std::vector<UCHAR>& bytes, VolumeImage* image, std::string* error) {
  nt::ImageReader reader(bytes, kVolumeImageMagic, kVolumeImageVersion);
  VolumeImage parsed;
  const ULONG format = reader.U32();
  if (format > static_cast<ULONG>(Format::kNtfs))
    reader.Fail("unknown format " + std::to_string(format));
  parsed.format = static_cast<Format>(format);
  parsed.serial = reader.U32();
  parsed.next_id = reader.U64();
  std::map<ULONGLONG, ULONGLONG> parents;  // node id to the id of its primary folder
  const ULONG node_count = reader.Count(kSmallestNode);
  for (ULONG n = 0; n < node_count && reader.ok(); ++n) {
    auto node = std::make_shared<Node>();
    node->id = reader.U64();
    const UCHAR directory = reader.U8();
    node->directory = directory == 1;
    node->attributes = reader.U32();
    node->creation.QuadPart = reader.I64();
    node->access.QuadPart = reader.I64();
    node->write.QuadPart = reader.I64();
    node->change.QuadPart = reader.I64();
    node->security = reader.Bytes();
    node->reparse = reader.Bytes();
    const ULONGLONG parent = reader.U64();
    node->name = reader.Text(kLongestName);
    const ULONG stream_count = reader.Count(kSmallestStream);
    for (ULONG s = 0; s < stream_count && reader.ok(); ++s) {
      const std::u16string name = reader.Text(kLongestName);
      Stream stream;
      stream.data = reader.Bytes();
      stream.allocation = reader.I64();
      if (reader.ok() && stream.allocation < LONGLONG(stream.data.size())) {
        reader.Fail(Id(node->id) + " has a stream with less room than data");
      }
      if (reader.ok() && !node->streams.emplace(Fold(name), std::move(stream)).second) {
        reader.Fail(Id(node->id) + " has two streams of one name");
      }
    }
    if (!reader.ok()) break;
    if (directory > 1) {
      reader.Fail(Id(node->id) + " is neither a file nor a folder");
    } else if (node->id == 0 || node->id >= parsed.next_id) {
      reader.Fail(Id(node->id) + " has an id outside the volume's");
    } else if (n == 0 && (!node->directory || parent != 0)) {
      reader.Fail("the first node is not a root folder");
    } else if (!parsed.nodes.emplace(node->id, node).second) {
      reader.Fail(Id(node->id) + " comes twice");
    }
    if (n == 0) parsed.root = node;
    parents[node->id] = parent;
  }
  if (reader.ok() && parsed.root == nullptr) reader.Fail("the volume has no root");
  std::map<ULONGLONG, ULONG> names;  // node id to the count of its names
  const ULONG link_count = reader.Count(kSmallestLink);
  for (ULONG l = 0; l < link_count && reader.ok(); ++l) {
    const ULONGLONG folder_id = reader.U64();
    Link link;
    link.name = reader.Text(kLongestName);
    link.short_name = reader.Text(kLongestShortName);
    const ULONGLONG node_id = reader.U64();
    if (!reader.ok()) break;
    const auto folder = parsed.nodes.find(folder_id);
    const auto node = parsed.nodes.find(node_id);
    if (folder == parsed.nodes.end() || !folder->second->directory) {
      reader.Fail("a name is in " + Id(folder_id) + ", which is not a folder");
    } else if (node == parsed.nodes.end() || node->second == parsed.root) {
      reader.Fail("a name leads to " + Id(node_id) + ", which cannot have one");
    } else if (link.name.empty()) {
      reader.Fail("an empty name in " + Id(folder_id));
    } else {
      link.node = node->second;
      if (!folder->second->children.emplace(Fold(link.name), std::move(link)).second) {
        reader.Fail(Id(folder_id) + " holds one name twice");
      }
      ++names[node_id];
    }
  }
  reader.ExpectEnd();
  for (auto& [id, node] : parsed.nodes) {
    if (!reader.ok()) break;
    const ULONG count = names[id];
    if (node != parsed.root && (count == 0 || (node->directory && count != 1))) {
      reader.Fail(Id(id) + (node->directory ? " is a folder without exactly one name"
                                            : " is a file without a name"));
      break;
    }
    node->links = node == parsed.root ? 1 : count;
    const ULONGLONG parent_id = parents[id];
    if (parent_id == 0) continue;
    const auto parent = parsed.nodes.find(parent_id);
    if (parent == parsed.nodes.end() || !parent->second->directory) {
      reader.Fail(Id(id) + " names " + Id(parent_id) + " as its folder, which is not one");
      break;
    }
    node->parent = parent->second;
  }
  if (reader.ok() && Reachable(*parsed.root).size() != parsed.nodes.size()) {
    reader.Fail("some folders or files cannot be reached from the root");
  }
  if (!reader.ok()) {
    // Folders may hold each other in a damaged image; break the cycles before letting go.
    for (auto& [id, node] : parsed.nodes) node->children.clear();
    *error = reader.error();
    return false;
  }
  *image = std::move(parsed);
  return true;
}

void RestoreVolumeImage(VolumeImage image, Volume* volume) {
  std::shared_ptr<Node> root = volume->root();
  std::lock_guard guard(volume->lock());
  Node& from = *image.root;
  root->id = from.id;
  root->attributes = from.attributes;
  root->creation = from.creation;
  root->access = from.access;
  root->write = from.write;
  root->change = from.change;
  root->security = std::move(from.security);
  root->reparse = std::move(from.reparse);
  root->streams = std::move(from.streams);
  root->children = std::move(from.children);
  for (auto& [id, node] : image.nodes) {
    if (node == image.root) continue;
    if (node->parent.lock() == image.root) node->parent = root;
    volume->Remember(node);
  }
  volume->Remember(root);
  volume->SetNextId(image.next_id);
}

}  // namespace fs
