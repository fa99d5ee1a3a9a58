// A secured tree in memory, for tests of what a checker decides: which objects it looks at,
// which lists it writes, what it skips and repairs. Objects are named by "\"-separated paths
// relative to the root ("" the root itself); a list written is kept as written.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "runtime/fs/path/filename.h"
#include "security/disk/secured_tree.h"

namespace testing_support {

class MemorySecuredTree : public DiskSecurity::SecuredTree {
public:
  struct Node {
    DiskSecurity::ObjectKind kind = DiskSecurity::ObjectKind::file;
    DiskSecurity::ExistingAcl stored;
    int writes = 0;
    int repairs = 0;
  };

  // Adds the object, and the directories above it that are missing ("" is a directory).
  Node& add(const std::u16string& path, DiskSecurity::ObjectKind kind) {
    const Node directory{DiskSecurity::ObjectKind::directory, {}, 0, 0};
    nodes.try_emplace(u"", directory);
    for (std::size_t cut = path.find(u'\\'); cut != std::u16string::npos;
         cut = path.find(u'\\', cut + 1))
      nodes.try_emplace(path.substr(0, cut), directory);
    Node& node = nodes[path];
    node.kind = kind;
    return node;
  }

  std::u16string fullPath(const std::u16string& relative) const override {
    return relative.empty() ? u"T:" : u"T:\\" + relative;
  }
  DiskSecurity::ObjectKind kind(const std::u16string& relative) override {
    for (std::size_t cut = relative.find(u'\\'); cut != std::u16string::npos;
         cut = relative.find(u'\\', cut + 1))
      if (const Node* above = find(relative.substr(0, cut));
          above && above->kind == DiskSecurity::ObjectKind::link)
        return DiskSecurity::ObjectKind::link;
    const Node* node = find(relative);
    return node ? node->kind : DiskSecurity::ObjectKind::absent;
  }
  std::unique_ptr<DiskSecurity::SecuredObject> open(const std::u16string& relative) override {
    const DiskSecurity::ObjectKind found = kind(relative);
    if (found == DiskSecurity::ObjectKind::link) return nullptr;
    if (found == DiskSecurity::ObjectKind::absent)
      throw vexception(u"Unable to open '" + fullPath(relative) + u"' for security");
    return std::make_unique<Object>(*this, relative);
  }
  std::u16string linkTarget(const std::u16string&) override { return u"T:\\elsewhere"; }
  void walk(DiskSecurity::SecuredObject&, const std::u16string& relative, const Visit& visit,
            const LinkVisit& link) override {
    walkBelow(relative, 1, visit, link);
  }

  std::map<std::u16string, Node> nodes;

private:
  class Object : public DiskSecurity::SecuredObject {
  public:
    Object(MemorySecuredTree& tree, std::u16string path) : tree_(tree), path_(std::move(path)) {}
    bool directory() const override {
      return tree_.nodes.at(path_).kind == DiskSecurity::ObjectKind::directory;
    }
    DiskSecurity::ExistingAcl existing() const override { return tree_.nodes.at(path_).stored; }
    os::Result<RunTime::Acl> effectiveDacl() const override {
      return tree_.nodes.at(path_).stored.explicitDacl;
    }
    std::uint32_t writeDacl(const RunTime::Acl& explicitDacl, bool daclProtected) override {
      Node& node = tree_.nodes.at(path_);
      node.stored = {explicitDacl, daclProtected};
      ++node.writes;
      return 0;
    }
    std::uint32_t repairProjection() override {
      ++tree_.nodes.at(path_).repairs;
      return 0;
    }

  private:
    MemorySecuredTree& tree_;
    std::u16string path_;
  };

  const Node* find(const std::u16string& path) const {
    for (const auto& [name, node] : nodes)
      if (VFileName::compare(name, path) == VFileName::same) return &node;
    return nullptr;
  }

  // The children of a directory: files first, then directories, each in name order.
  void walkBelow(const std::u16string& directory, int depth, const Visit& visit,
                 const LinkVisit& link) {
    std::vector<std::u16string> subdirectories;
    for (auto& [path, node] : nodes) {
      const std::size_t cut = path.rfind(u'\\');
      const std::u16string parent = cut == std::u16string::npos ? u"" : path.substr(0, cut);
      if (path.empty() || parent != directory) continue;
      if (node.kind == DiskSecurity::ObjectKind::link) {
        link(path);
      } else if (node.kind == DiskSecurity::ObjectKind::directory) {
        subdirectories.push_back(path);
      } else {
        Object object(*this, path);
        visit(object, path, depth);
      }
    }
    for (const std::u16string& path : subdirectories) {
      Object object(*this, path);
      if (visit(object, path, depth)) walkBelow(path, depth + 1, visit, link);
    }
  }
};

} // namespace testing_support
