// A YAML (or JSON) document read with libyaml into a compact tree: every node keeps where it
// stands in the file, so errors can name the line and column. Aliases share the node they refer
// to (nothing is expanded while reading), collections nest at most 1000 deep, and reading takes
// time and memory in proportion to the text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace tonewell::yaml {

// 0-based, as libyaml counts; -1 when unknown.
struct Mark {
  int line = -1;
  int column = -1;
};

enum class NodeType { Undefined, Null, Scalar, Sequence, Map };

struct Tree;

class Node {
 public:
  Node() = default;
  NodeType Type() const;
  bool IsDefined() const { return tree_ != nullptr; }
  bool IsNull() const { return Type() == NodeType::Null; }
  bool IsScalar() const { return Type() == NodeType::Scalar; }
  bool IsSequence() const { return Type() == NodeType::Sequence; }
  bool IsMap() const { return Type() == NodeType::Map; }
  explicit operator bool() const { return IsDefined(); }

  // A scalar's text ("" for other nodes).
  const std::string& Scalar() const;
  // "!" for a quoted scalar or an explicit "!" tag, the explicit tag when there is one, "" else.
  const std::string& Tag() const;
  Mark GetMark() const;

  // Items of a sequence, entries of a map.
  std::size_t size() const;
  // The i-th item of a sequence.
  Node operator[](std::size_t i) const;
  // The value of the first entry whose key is the scalar `key`; undefined when there is none.
  Node operator[](std::string_view key) const;
  // The i-th entry of a map: its key and its value.
  std::pair<Node, Node> entry(std::size_t i) const;

  // What iterating gives: for a sequence each item (the Item itself), for a map each entry
  // (`first` its key, `second` its value).
  struct Item;
  class Iterator;
  Iterator begin() const;
  Iterator end() const;

 private:
  friend struct Tree;
  friend class Document;
  Node(const Tree* tree, std::uint32_t index) : tree_(tree), index_(index) {}
  const Tree* tree_ = nullptr;
  std::uint32_t index_ = 0;
};

struct Node::Item : Node {
  Node first;
  Node second;
};

class Node::Iterator {
 public:
  Iterator(const Node& node, std::size_t i) : node_(node), i_(i) {}
  Item operator*() const {
    Item item;
    if (node_.IsMap()) {
      std::tie(item.first, item.second) = node_.entry(i_);
    } else {
      static_cast<Node&>(item) = node_[i_];
    }
    return item;
  }
  Iterator& operator++() {
    ++i_;
    return *this;
  }
  bool operator!=(const Iterator& other) const { return i_ != other.i_; }

 private:
  Node node_;
  std::size_t i_;
};

inline Node::Iterator Node::begin() const {
  return Iterator(*this, 0);
}
inline Node::Iterator Node::end() const {
  return Iterator(*this, size());
}

struct ParseError {
  Mark mark;
  std::string message;
};

class Document {
 public:
  // The first document of `text`; an empty text gives a null root.
  static std::pair<std::optional<Document>, ParseError> parse(std::string_view text);
  Node root() const;
  // How many nodes the text holds (an alias is not one of its own).
  std::size_t nodeCount() const;

 private:
  std::shared_ptr<const Tree> tree_;
};

}  // namespace tonewell::yaml
