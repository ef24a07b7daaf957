// The fake platform's in-memory tree: one node per file or folder, shared
// by fake_platform_tree.cpp (the tree, paths, setting up) and
// fake_platform.cpp (the Platform operations and their streams).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"

namespace quillet::testing {

struct FakePlatform::Node {
  bool folder = false;
  std::optional<EntryKind> kind;      // what entryKind reports, when set
  std::optional<std::uint64_t> size;  // the size a file claims, when set
  std::string bytes;
  std::vector<std::pair<std::string, std::shared_ptr<Node>>> children;  // in order added
  std::map<std::string, std::size_t> index;  // name -> position in children

  std::shared_ptr<Node> child(const std::string& name) const {
    const auto found = index.find(name);
    return found == index.end() ? nullptr : children[found->second].second;
  }
  void remove(const std::string& name) {
    const auto found = index.find(name);
    if (found == index.end()) return;
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(found->second));
    index.clear();
    for (std::size_t i = 0; i < children.size(); ++i) index[children[i].first] = i;
  }
  void put(const std::string& name, std::shared_ptr<Node> node) {
    const auto found = index.find(name);
    if (found != index.end()) {
      children[found->second].second = std::move(node);
      return;
    }
    index[name] = children.size();
    children.emplace_back(name, std::move(node));
  }
};

}  // namespace quillet::testing
