// Value trees from fuzz input bytes, for the fuzz targets.
//
// The bytes are a small program that builds an arbitrary value tree: any kind, wide
// structures and lists, deep chains and subtrees shared between parents. Names and strings
// are drawn from a vocabulary the target supplies (its own field and type names), so that
// well-formed trees are easy to reach.
//
// One node after another in depth-first order; a field of a structure is preceded by its name
// byte:
//   op % 16:  0 string (vocabulary byte, or raw text)   1 integer   2 boolean   3 secret
//             4 void   5 double   6 blob   7 optional (flag byte: empty, or one content node)
//             8 list   9 set (count byte, then the elements)
//             10 structure   11 dynamic structure   12 error (name byte, count byte, fields)
//             13 a missing value (null)
//             14 a chain: two depth bytes, a kind byte, then one node, wrapped depth times in
//                optionals, one-element lists or structures (kind % 3) whose link field is
//                named by the kind byte's vocabulary entry and which carry the vocabulary's
//                chain fields beside it
//             15 a subtree built earlier and finished, shared (index byte)
// A count byte of 0xf0 or more is followed by another, for 16 + 4 * that byte elements or
// fields. The tree ends when the root is complete, the bytes run out (open containers stay as
// far as they got) or the node budget is spent. Sharing and chains are limited so that the
// tree, unfolded, stays within a budget of nodes too: walking it stays cheap.
#ifndef FUZZ_VALUE_TREE_H_
#define FUZZ_VALUE_TREE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/secret_string.h"

namespace FuzzValues {

using Tirn::Data::DataValuePtr;

class Reader {
 public:
  Reader(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(std::size_t count) {
    count = std::min(count, size_ - std::min(pos_, size_));
    std::string text(reinterpret_cast<char const*>(data_ + pos_), count);
    pos_ += count;
    return text;
  }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Vocabulary {
  std::vector<std::string> strings;
  std::vector<std::string> fieldNames;
  std::vector<std::string> typeNames;
  // Fields every structure of a chain carries beside its link (so that chains can be of a
  // recursive type with required fields).
  std::vector<std::pair<std::string, DataValuePtr>> chainFields;

  template <class Table>
  static std::string const& Pick(Table const& table, std::uint8_t byte) {
    return table[byte % table.size()];
  }
};

// Decodes the byte program (see above) into a value tree, with an explicit stack of open
// containers.
class TreeBuilder {
 public:
  // At most `maxNodes` nodes are built, and the tree holds at most `maxUnfolded` nodes with
  // shared subtrees counted each time they occur.
  TreeBuilder(Reader& reader, Vocabulary const& vocabulary, std::size_t maxNodes,
              std::size_t maxUnfolded)
      : in_(reader), words_(vocabulary), maxNodes_(maxNodes), maxUnfolded_(maxUnfolded) {}

  DataValuePtr Build() {
    while (!in_.done() && nodes_ < maxNodes_) {
      std::string fieldName;
      if (!open_.empty() && open_.back().compound) {
        fieldName = Vocabulary::Pick(words_.fieldNames, in_.Byte());
      }
      Open next;
      next.fieldName = fieldName;
      next.unfoldedAtStart = unfolded_;
      DataValuePtr node = NextNode(next);
      ++nodes_;
      if (next.chain) {
        open_.push_back(std::move(next));
      } else if (next.remaining > 0) {
        // A container goes into its parent at once, except under a chain, which wraps it once
        // it is complete.
        next.placed = open_.empty() || !open_.back().chain;
        if (next.placed) Place(node, fieldName);
        open_.push_back(std::move(next));
      } else {
        Complete(node, fieldName, false, unfolded_ - next.unfoldedAtStart);
      }
      if (open_.empty()) break;
    }
    return root_;
  }

 private:
  struct Open {
    std::shared_ptr<Tirn::Data::CompoundValue> compound;
    std::shared_ptr<Tirn::Data::ListValue> list;
    std::shared_ptr<Tirn::Data::OptionalValue> optional;
    bool chain = false;
    std::size_t chainDepth = 0;
    std::uint8_t chainKind = 0;
    DataValuePtr self;      // the container, to share once complete
    std::size_t remaining = 0;  // children still to complete
    std::string fieldName;  // where this node goes in its parent
    bool placed = false;    // already in its parent
    std::size_t unfoldedAtStart = 0;
  };

  // Puts `node` into the innermost open container, or makes it the root.
  void Place(DataValuePtr const& node, std::string const& fieldName) {
    if (open_.empty()) {
      root_ = node;
      return;
    }
    Open& parent = open_.back();
    if (parent.compound) {
      parent.compound->SetField(fieldName, node);
    } else if (parent.list) {
      parent.list->Append(node);
    } else {
      parent.optional->value(node);
    }
  }

  // `node`, of `unfolded` nodes, is complete: it may be shared from now on, it goes into its
  // parent unless `placed` already, and it may complete its parent in turn. Only complete
  // nodes are shared, so sharing never makes a loop.
  void Complete(DataValuePtr node, std::string fieldName, bool placed, std::size_t unfolded) {
    for (;;) {
      if (node && node->GetType().HoldsOthers()) finished_.push_back({node, unfolded});
      if (open_.empty()) {
        if (!placed) root_ = std::move(node);
        return;
      }
      Open& parent = open_.back();
      if (parent.chain) {
        node = Wrap(std::move(node), parent);
        fieldName = parent.fieldName;
        placed = false;
      } else {
        if (!placed) Place(node, fieldName);
        if (--parent.remaining > 0) return;
        node = parent.self;
        fieldName = parent.fieldName;
        placed = parent.placed;
      }
      unfolded = unfolded_ - parent.unfoldedAtStart;
      open_.pop_back();
    }
  }

  DataValuePtr Wrap(DataValuePtr node, Open const& chain) {
    using namespace Tirn::Data;
    std::string const& link = Vocabulary::Pick(words_.fieldNames, chain.chainKind);
    std::string const& type = Vocabulary::Pick(words_.typeNames, chain.chainKind);
    for (std::size_t level = 0; level < chain.chainDepth; ++level) {
      switch (chain.chainKind % 3) {
        case 0: {
          auto optional = OptionalValue::GetInstance();
          optional->value(std::move(node));
          node = std::move(optional);
          break;
        }
        case 1: {
          auto list = ListValue::GetInstance(ListValue::LIST);
          list->Append(std::move(node));
          node = std::move(list);
          break;
        }
        default: {
          auto structure = StructValue::GetInstance(type);
          for (auto const& field : words_.chainFields) structure->SetField(field.first, field.second);
          structure->SetField(link, std::move(node));
          node = std::move(structure);
          break;
        }
      }
    }
    return node;
  }

  std::string Text() {
    std::uint8_t const choice = in_.Byte();
    if (choice < 0xe0) return Vocabulary::Pick(words_.strings, choice);
    return in_.Bytes(in_.Byte() % 24);
  }

  long long Integer() {
    std::uint8_t const choice = in_.Byte();
    if (choice < 0x80) return static_cast<long long>(choice) - 64;
    std::string raw = in_.Bytes(8);
    raw.resize(8, '\0');
    long long value;
    std::memcpy(&value, raw.data(), sizeof value);
    return value;
  }

  std::size_t Count() {
    std::size_t const count = in_.Byte();
    return count < 0xf0 ? count % 16 : 16 + 4 * std::size_t{in_.Byte()};
  }

  // Creates one node; a container with children to come, or a chain, is described in `open`.
  DataValuePtr NextNode(Open& open) {
    using namespace Tirn::Data;
    std::uint8_t const op = in_.Byte() % 16;
    ++unfolded_;
    switch (op) {
      case 0:
        return StringValue::GetInstance(Text());
      case 1:
        return IntegerValue::GetInstance(Integer());
      case 2:
        return BooleanValue::GetInstance(in_.Byte() & 1);
      case 3:
        return SecretValue::GetInstance(Tirn::SecretString(Text()));
      case 4:
        return VoidValue::GetInstance();
      case 5:
        return DoubleValue::GetInstance(static_cast<double>(Integer()) / 4);
      case 6:
        return BlobValue::GetInstance(Text());
      case 7: {
        auto optional = OptionalValue::GetInstance();
        if (in_.Byte() & 1) {
          open.optional = optional;
          open.self = optional;
          open.remaining = 1;
        }
        return optional;
      }
      case 8:
      case 9: {
        auto list = ListValue::GetInstance(op == 8 ? ListValue::LIST : ListValue::SET);
        open.list = list;
        open.self = list;
        open.remaining = Count();
        return list;
      }
      case 10:
      case 11:
      case 12: {
        std::string const name = Vocabulary::Pick(words_.typeNames, in_.Byte());
        std::shared_ptr<CompoundValue> compound;
        if (op == 10) {
          compound = StructValue::GetInstance(name);
        } else if (op == 11) {
          compound = DynamicStructValue::GetInstance(name);
        } else {
          compound = ErrorValue::GetInstance(name);
        }
        open.compound = compound;
        open.self = compound;
        open.remaining = Count();
        return compound;
      }
      case 13:
        return nullptr;
      case 14: {
        std::size_t depth = in_.Byte();
        depth = depth * 256 + in_.Byte();
        depth = std::min(depth, maxUnfolded_ - std::min(maxUnfolded_, unfolded_));
        unfolded_ += depth;
        open.chain = true;
        open.chainDepth = depth;
        open.chainKind = in_.Byte();
        open.remaining = 1;
        return nullptr;
      }
      default: {
        std::uint8_t const index = in_.Byte();
        if (finished_.empty()) return StringValue::GetInstance("");
        auto const& shared = finished_[index % finished_.size()];
        if (unfolded_ + shared.second > maxUnfolded_) return StringValue::GetInstance("");
        unfolded_ += shared.second;
        return shared.first;
      }
    }
  }

  Reader& in_;
  Vocabulary const& words_;
  std::size_t const maxNodes_;
  std::size_t const maxUnfolded_;
  std::vector<Open> open_;
  // Finished containers and chains, with their unfolded sizes: what op 15 may share.
  std::vector<std::pair<DataValuePtr, std::size_t>> finished_;
  DataValuePtr root_;
  std::size_t nodes_ = 0;
  std::size_t unfolded_ = 0;  // nodes of the tree so far, shared subtrees counted each time
};

}  // namespace FuzzValues

#endif  // FUZZ_VALUE_TREE_H_
