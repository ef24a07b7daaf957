// The fake platform, part 1: the in-memory tree. What lives here: making
// and letting go of the tree, resolving narrow and wide paths to the
// components of a node, matching the faults' paths, and the setup and
// inspection calls tests make (folders, files, listings, kinds, aliases).
// The Platform operations over the tree are in fake_platform.cpp.
#include "fake_platform_tree.h"

#include <algorithm>
#include <set>

#include "fake_platform.h"
#include "utf.h"

namespace quillet::testing {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Walks `parts` from `components`: "." and empty parts stay, ".." goes up.
void appendComponents(const std::vector<std::string>& parts, std::vector<std::string>* components) {
  for (const std::string& part : parts) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!components->empty()) components->pop_back();
      continue;
    }
    components->push_back(part);
  }
}

}  // namespace

FakePlatform::FakePlatform(char separator, std::string root)
    : separator_(separator), root_(std::move(root)), top_(std::make_shared<Node>()) {
  top_->folder = true;
}

FakePlatform::~FakePlatform() {
  // Aliases make cycles of owning pointers: every folder lets go of its
  // children, each folder once.
  std::vector<std::shared_ptr<Node>> pending{top_};
  std::set<Node*> seen;
  while (!pending.empty()) {
    std::shared_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    if (!seen.insert(node.get()).second) continue;
    for (auto& entry : node->children) pending.push_back(entry.second);
    node->children.clear();
    node->index.clear();
  }
}

// --- Paths.

std::optional<FakePlatform::Components> FakePlatform::resolve(const std::string& path,
                                                              char separator) const {
  Components components;
  std::string rest = path;
  const std::string absolutePrefix = root_ + separator;
  if (rest.compare(0, absolutePrefix.size(), absolutePrefix) == 0) {
    rest.erase(0, absolutePrefix.size());
  } else if (!root_.empty() && rest == root_) {
    rest.clear();
  } else {
    components = working_;
  }
  appendComponents(split(rest, separator), &components);
  return components;
}

std::optional<FakePlatform::Components> FakePlatform::resolveWide(
    const std::u16string& path) const {
  const std::optional<std::string> narrow = utf16ToUtf8(path);
  if (!narrow) return std::nullopt;
  Components components = working_;
  appendComponents(split(*narrow, '\\'), &components);
  return components;
}

std::shared_ptr<FakePlatform::Node> FakePlatform::find(const Components& components) const {
  std::shared_ptr<Node> node = top_;
  for (const std::string& name : components) {
    if (!node->folder) return nullptr;
    node = node->child(name);
    if (node == nullptr) return nullptr;
  }
  return node;
}

std::shared_ptr<FakePlatform::Node> FakePlatform::makeFolders(const Components& components) {
  std::shared_ptr<Node> node = top_;
  for (const std::string& name : components) {
    std::shared_ptr<Node> next = node->child(name);
    if (next == nullptr) {
      next = std::make_shared<Node>();
      next->folder = true;
      node->put(name, next);
    }
    node = next;
  }
  return node;
}

std::string FakePlatform::absolute(const Components& components) const {
  std::string path = root_;
  path += separator_;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) path += separator_;
    path += components[i];
  }
  return path;
}

bool FakePlatform::hits(const std::set<std::string>& paths, const Components& components) const {
  for (const std::string& path : paths) {
    const std::vector<std::string> tail = split(path, separator_);
    if (tail.size() <= components.size() &&
        std::equal(tail.rbegin(), tail.rend(), components.rbegin())) {
      return true;
    }
  }
  return false;
}

const std::size_t* FakePlatform::limitFor(const std::map<std::string, std::size_t>& limits,
                                          const Components& components) const {
  for (const auto& [path, limit] : limits) {
    if (hits({path}, components)) return &limit;
  }
  return nullptr;
}

// --- Setting up and looking at the result.

void FakePlatform::addFolder(const std::string& path) { makeFolders(*resolve(path, separator_)); }

void FakePlatform::addFile(const std::string& path, const std::string& bytes) {
  Components components = *resolve(path, separator_);
  const std::string name = components.back();
  components.pop_back();
  auto node = std::make_shared<Node>();
  node->bytes = bytes;
  makeFolders(components)->put(name, node);
}

void FakePlatform::setListing(const std::string& folder, std::vector<std::string> names) {
  listings_[absolute(*resolve(folder, separator_))] = std::move(names);
}

bool FakePlatform::exists(const std::string& path) const {
  return find(*resolve(path, separator_)) != nullptr;
}

bool FakePlatform::isFolder(const std::string& path) const {
  const std::shared_ptr<Node> node = find(*resolve(path, separator_));
  return node != nullptr && node->folder;
}

std::optional<std::string> FakePlatform::fileBytes(const std::string& path) const {
  const std::shared_ptr<Node> node = find(*resolve(path, separator_));
  if (node == nullptr || node->folder) return std::nullopt;
  return node->bytes;
}

std::vector<std::string> FakePlatform::entries(const std::string& folder) const {
  std::vector<std::string> names;
  const std::shared_ptr<Node> node = find(*resolve(folder, separator_));
  if (node == nullptr || !node->folder) return names;
  for (const auto& entry : node->children) names.push_back(entry.first);
  return names;
}

void FakePlatform::setKind(const std::string& path, EntryKind kind) {
  const std::shared_ptr<Node> node = find(*resolve(path, separator_));
  if (node != nullptr) node->kind = kind;
}

void FakePlatform::setSize(const std::string& path, std::uint64_t bytes) {
  const std::shared_ptr<Node> node = find(*resolve(path, separator_));
  if (node != nullptr) node->size = bytes;
}

void FakePlatform::addAlias(const std::string& path, const std::string& target) {
  Components components = *resolve(path, separator_);
  const std::string name = components.back();
  components.pop_back();
  makeFolders(components)->put(name, makeFolders(*resolve(target, separator_)));
}

}  // namespace quillet::testing
