// Deep equality of value trees with an explicit work stack.
#include "tirn/runtime/value/equal.h"

#include <cstddef>
#include <set>
#include <utility>
#include <vector>

#include "tirn/runtime/value/detail/field_store.h"

namespace Tirn {
namespace Data {

using detail::AncestorMark;

bool Equal(DataValuePtr const& a, DataValuePtr const& b) {
  // Pairs to compare, with the mark that finds a value of the first tree below itself.
  struct Pair {
    DataValue const* x;
    DataValue const* y;
    AncestorMark mark;
  };
  std::vector<Pair> pending;
  {
    Pair root{a.get(), b.get(), {}};
    (void)AncestorMark().Down(a.get(), root.mark);
    pending.push_back(root);
  }
  bool loops = false;
  auto const push = [&pending, &loops](AncestorMark const& parent, DataValue const* x,
                                       DataValue const* y) {
    Pair pair{x, y, {}};
    if (!parent.Down(x, pair.mark)) loops = true;
    pending.push_back(pair);
  };
  while (!pending.empty()) {
    Pair const pair = pending.back();
    pending.pop_back();
    DataValue const* x = pair.x;
    DataValue const* y = pair.y;
    if (x == y) continue;
    if (!x || !y || x->GetType() != y->GetType()) return false;
    switch (x->GetType().kind()) {
      case DataType::VOID:
        break;
      case DataType::INTEGER:
        if (static_cast<IntegerValue const*>(x)->value() !=
            static_cast<IntegerValue const*>(y)->value())
          return false;
        break;
      case DataType::DOUBLE:
        if (static_cast<DoubleValue const*>(x)->value() !=
            static_cast<DoubleValue const*>(y)->value())
          return false;
        break;
      case DataType::BOOLEAN:
        if (static_cast<BooleanValue const*>(x)->value() !=
            static_cast<BooleanValue const*>(y)->value())
          return false;
        break;
      case DataType::BLOB:
        if (static_cast<BlobValue const*>(x)->value() != static_cast<BlobValue const*>(y)->value())
          return false;
        break;
      case DataType::STRING:
        if (static_cast<StringValue const*>(x)->value() !=
            static_cast<StringValue const*>(y)->value())
          return false;
        break;
      case DataType::SECRET:
        if (static_cast<SecretValue const*>(x)->value() !=
            static_cast<SecretValue const*>(y)->value())
          return false;
        break;
      case DataType::OPTIONAL: {
        auto const* p = static_cast<OptionalValue const*>(x);
        auto const* q = static_cast<OptionalValue const*>(y);
        if (p->has_value() != q->has_value()) return false;
        push(pair.mark, p->value().get(), q->value().get());
        break;
      }
      case DataType::LIST: {
        auto const* p = static_cast<ListValue const*>(x);
        auto const* q = static_cast<ListValue const*>(y);
        if (p->kind() != q->kind() || p->size() != q->size()) return false;
        for (std::size_t i = 0; i < p->size(); ++i) {
          push(pair.mark, p->elements()[i].get(), q->elements()[i].get());
        }
        break;
      }
      case DataType::ERROR:
      case DataType::STRUCTURE:
      case DataType::DYNAMIC_STRUCTURE: {
        auto const* p = static_cast<CompoundValue const*>(x);
        auto const* q = static_cast<CompoundValue const*>(y);
        if (p->name() != q->name() || p->fields().size() != q->fields().size()) return false;
        auto i = p->fields().begin();
        auto j = q->fields().begin();
        for (; i != p->fields().end(); ++i, ++j) {
          if (i->first != j->first) return false;
          push(pair.mark, i->second.get(), j->second.get());
        }
        break;
      }
      default:
        return false;
    }
    // A loop in the first tree: different trees can only be told apart by walking it forever.
    if (loops) return false;
  }
  return true;
}

namespace {

// The structure a reference stands for, or the definition itself.
DataDefinition const* SeenThrough(DataDefinition const* definition, DataDefinitionPtr& holder) {
  if (definition && definition->GetType().kind() == DataType::STRUCTURE_REF) {
    holder = static_cast<StructRefDefinition const*>(definition)->target();
    if (holder) return holder.get();
  }
  return definition;
}

}  // namespace

bool Equal(DataDefinitionPtr const& a, DataDefinitionPtr const& b) {
  using Pair = std::pair<DataDefinition const*, DataDefinition const*>;
  // Pairs of structures taken as equal once their comparison has started: met again (through
  // a reference or a shared structure) they need no second look, which ends every loop.
  std::set<Pair> started;
  // The structures reached through references are held while their pair waits here.
  struct Pending {
    DataDefinitionPtr holdX, holdY;
    DataDefinition const* x;
    DataDefinition const* y;
  };
  std::vector<Pending> pending{{nullptr, nullptr, a.get(), b.get()}};
  while (!pending.empty()) {
    Pending item = std::move(pending.back());
    pending.pop_back();
    DataDefinition const* x = SeenThrough(item.x, item.holdX);
    DataDefinition const* y = SeenThrough(item.y, item.holdY);
    if (x == y) continue;
    if (!x || !y || x->GetType() != y->GetType()) return false;
    switch (x->GetType().kind()) {
      case DataType::STRUCTURE_REF:  // unbound, both
        if (static_cast<StructRefDefinition const*>(x)->name() !=
            static_cast<StructRefDefinition const*>(y)->name())
          return false;
        break;
      case DataType::LIST:
        if (static_cast<ListDefinition const*>(x)->isSet() !=
            static_cast<ListDefinition const*>(y)->isSet())
          return false;
        [[fallthrough]];
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        if (x->GetType().kind() == DataType::UNION_CASE &&
            static_cast<UnionCaseDefinition const*>(x)->tagName() !=
                static_cast<UnionCaseDefinition const*>(y)->tagName())
          return false;
        pending.push_back({item.holdX, item.holdY,
                           static_cast<WrappingDefinition const*>(x)->element().get(),
                           static_cast<WrappingDefinition const*>(y)->element().get()});
        break;
      }
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        if (!started.insert({x, y}).second) break;
        auto const* p = static_cast<StructDefinition const*>(x);
        auto const* q = static_cast<StructDefinition const*>(y);
        if (p->name() != q->name() || p->fields().size() != q->fields().size()) return false;
        auto i = p->fields().begin();
        auto j = q->fields().begin();
        for (; i != p->fields().end(); ++i, ++j) {
          if (i->first != j->first) return false;
          pending.push_back({item.holdX, item.holdY, i->second.get(), j->second.get()});
        }
        break;
      }
      default:  // a leaf kind: equal kinds are enough
        break;
    }
  }
  return true;
}

}  // namespace Data
}  // namespace Tirn
