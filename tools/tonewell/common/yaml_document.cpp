#include "yaml_document.h"

#include <yaml.h>

#include <map>
#include <string>

namespace tonewell::yaml {

namespace {

// Far deeper than any scenario or report; what libyaml's reading of nested collections, whose
// time grows with the square of their depth, can do at once.
constexpr std::size_t kDeepestNesting = 1000;

struct NodeData {
  NodeType type = NodeType::Null;
  Mark mark;
  std::uint32_t first = 0;  // into Tree::links: items, or keys and values by turns
  std::uint32_t count = 0;  // items, or entries
  std::uint32_t tag = 0;    // into Tree::tags; 0 is ""
  std::string scalar;
};

}  // namespace

struct Tree {
  std::vector<NodeData> nodes;
  std::vector<std::uint32_t> links;
  std::vector<std::string> tags{""};
  std::uint32_t root = 0;

  const NodeData& at(std::uint32_t i) const { return nodes[i]; }
};

namespace {

const std::string& empty() {
  static const std::string e;
  return e;
}

class Reader {
 public:
  explicit Reader(std::string_view text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  ~Reader() { yaml_parser_delete(&parser_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the first document; false with `error` set when the text is not YAML.
  bool read(Tree& tree, ParseError& error) {
    bool rooted = false;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser_, &event)) {
        error.mark = {static_cast<int>(parser_.problem_mark.line),
                      static_cast<int>(parser_.problem_mark.column)};
        error.message = parser_.problem ? parser_.problem : "unreadable";
        if (parser_.context) error.message += std::string(" ") + parser_.context;
        return false;
      }
      const Mark mark{static_cast<int>(event.start_mark.line),
                      static_cast<int>(event.start_mark.column)};
      bool done = false;
      std::optional<std::uint32_t> made;
      switch (event.type) {
        case YAML_SCALAR_EVENT:
          made = scalar(tree, event, mark);
          break;
        case YAML_ALIAS_EVENT: {
          const auto it = anchors_.find(reinterpret_cast<const char*>(event.data.alias.anchor));
          if (it == anchors_.end()) {
            error = {mark, "an alias names no anchor defined before it"};
            yaml_event_delete(&event);
            return false;
          }
          made = it->second;
          break;
        }
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
          if (open_.size() >= kDeepestNesting) {
            // libyaml's time grows with the square of the depth: a small file must not stall.
            error = {mark, "nested deeper than " + std::to_string(kDeepestNesting) + " levels"};
            yaml_event_delete(&event);
            return false;
          }
          open(tree, event, mark);
          break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
          made = close(tree);
          break;
        case YAML_DOCUMENT_END_EVENT:
        case YAML_STREAM_END_EVENT:
          done = true;
          break;
        default:
          break;
      }
      yaml_event_delete(&event);
      if (made) {
        if (open_.empty()) {
          tree.root = *made;
          rooted = true;
        } else {
          open_.back().children.push_back(*made);
        }
      }
      if (done) break;
    }
    if (!rooted) {
      tree.nodes.push_back(NodeData{});
      tree.root = static_cast<std::uint32_t>(tree.nodes.size() - 1);
    }
    return true;
  }

 private:
  // A mapping or a sequence begins: its node is made, its children are gathered until it ends.
  void open(Tree& tree, const yaml_event_t& event, Mark mark) {
    const bool map = event.type == YAML_MAPPING_START_EVENT;
    NodeData node;
    node.type = map ? NodeType::Map : NodeType::Sequence;
    node.mark = mark;
    const yaml_char_t* anchor =
        map ? event.data.mapping_start.anchor : event.data.sequence_start.anchor;
    tree.nodes.push_back(std::move(node));
    const auto index = static_cast<std::uint32_t>(tree.nodes.size() - 1);
    if (anchor) anchors_[reinterpret_cast<const char*>(anchor)] = index;
    open_.push_back({index, {}});
  }

  // The innermost open mapping or sequence ends: its children are linked; returns its node.
  std::uint32_t close(Tree& tree) {
    Frame frame = std::move(open_.back());
    open_.pop_back();
    NodeData& node = tree.nodes[frame.index];
    node.first = static_cast<std::uint32_t>(tree.links.size());
    node.count = static_cast<std::uint32_t>(node.type == NodeType::Map ? frame.children.size() / 2
                                                                       : frame.children.size());
    tree.links.insert(tree.links.end(), frame.children.begin(), frame.children.end());
    return frame.index;
  }

  struct Frame {
    std::uint32_t index;
    std::vector<std::uint32_t> children;
  };

  std::uint32_t scalar(Tree& tree, const yaml_event_t& event, Mark mark) {
    NodeData node;
    node.mark = mark;
    node.scalar.assign(reinterpret_cast<const char*>(event.data.scalar.value),
                       event.data.scalar.length);
    const bool plain = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
    const char* tag = reinterpret_cast<const char*>(event.data.scalar.tag);
    if (tag) {
      node.tag = tagIndex(tree, tag);
    } else if (!plain) {
      node.tag = tagIndex(tree, "!");
    }
    const std::string& s = node.scalar;
    const bool null =
        plain && !tag && (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL");
    node.type = null ? NodeType::Null : NodeType::Scalar;
    if (null) node.scalar.clear();
    tree.nodes.push_back(std::move(node));
    const auto index = static_cast<std::uint32_t>(tree.nodes.size() - 1);
    if (event.data.scalar.anchor) {
      anchors_[reinterpret_cast<const char*>(event.data.scalar.anchor)] = index;
    }
    return index;
  }

  std::uint32_t tagIndex(Tree& tree, const std::string& tag) {
    auto [it, inserted] = tagIndices_.try_emplace(tag, 0);
    if (inserted) {
      tree.tags.push_back(tag);
      it->second = static_cast<std::uint32_t>(tree.tags.size() - 1);
    }
    return it->second;
  }

  yaml_parser_t parser_{};
  std::map<std::string, std::uint32_t> anchors_;
  std::map<std::string, std::uint32_t> tagIndices_;
  std::vector<Frame> open_;
};

}  // namespace

NodeType Node::Type() const {
  return tree_ ? tree_->at(index_).type : NodeType::Undefined;
}

const std::string& Node::Scalar() const {
  return tree_ ? tree_->at(index_).scalar : empty();
}

const std::string& Node::Tag() const {
  return tree_ ? tree_->tags[tree_->at(index_).tag] : empty();
}

Mark Node::GetMark() const {
  return tree_ ? tree_->at(index_).mark : Mark{};
}

std::size_t Node::size() const {
  const NodeType type = Type();
  return type == NodeType::Sequence || type == NodeType::Map ? tree_->at(index_).count : 0;
}

Node Node::operator[](std::size_t i) const {
  if (!IsSequence() || i >= size()) return {};
  return Node(tree_, tree_->links[tree_->at(index_).first + i]);
}

std::pair<Node, Node> Node::entry(std::size_t i) const {
  if (!IsMap() || i >= size()) return {};
  const std::uint32_t at = tree_->at(index_).first + static_cast<std::uint32_t>(2 * i);
  return {Node(tree_, tree_->links[at]), Node(tree_, tree_->links[at + 1])};
}

Node Node::operator[](std::string_view key) const {
  for (std::size_t i = 0; i < size() && IsMap(); ++i) {
    auto [k, v] = entry(i);
    if (k.IsScalar() && k.Scalar() == key) return v;
  }
  return {};
}

std::pair<std::optional<Document>, ParseError> Document::parse(std::string_view text) {
  auto tree = std::make_shared<Tree>();
  ParseError error;
  Reader reader(text);
  if (!reader.read(*tree, error)) return {std::nullopt, error};
  Document document;
  document.tree_ = std::move(tree);
  return {std::move(document), {}};
}

std::size_t Document::nodeCount() const {
  return tree_->nodes.size();
}

Node Document::root() const {
  return Node(tree_.get(), tree_->root);
}

}  // namespace tonewell::yaml
