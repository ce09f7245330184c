// Values that contain themselves, built each way the building interfaces do not refuse at
// once, for the tests of the walks that must end on them (printing, JSON encoding,
// value-to-native conversion). Every node is shaped as the test structure Shapes::Node
// ("name", "children", "next"), so the conversion can read it too. A test empties each loop's
// closing slot when it is done: a tree that contains itself is never freed otherwise.
#ifndef TESTS_LOOPS_H_
#define TESTS_LOOPS_H_

#include <memory>
#include <string>
#include <vector>

#include "tirn/runtime/value/data_value.h"

namespace test_loops {

struct Loop {
  char const* label;
  Tirn::Data::DataValuePtr root;
  Tirn::Data::DataValuePtr* closing;  // the slot that closes the loop
  // Where a walk meets the loop again when it compares each value with its ancestors at
  // powers of two, as the conversion and the JSON encoder do: a loop may be walked once more
  // before it is found, and a long path is shown without its middle.
  char const* path;
};

// A node named `name` without children, for the loops below.
inline std::shared_ptr<Tirn::Data::StructValue> Node(std::string const& name) {
  auto node = Tirn::Data::StructValue::GetInstance("n");
  node->SetField("name", Tirn::Data::StringValue::GetInstance(name));
  node->SetField("children", Tirn::Data::StringValue::GetInstance(""));
  return node;
}

// The loops, always in this order:
//   0 a node whose "next" is itself, stored through FieldSlot;
//   1 a.next = b and b.next = a, each through SetField;
//   2 a node in the list of its own "children" (Append, then SetField);
//   3 a node inside the optional of its own "next", stored through the optional's slot;
//   4 a chain of `chainLength` nodes whose last "next" is the first.
inline std::vector<Loop> Loops(int chainLength) {
  using Tirn::Data::DataValuePtr;
  auto const itself = Node("a");
  DataValuePtr* const itselfSlot = itself->FieldSlot("next");
  *itselfSlot = itself;

  auto const a = Node("a");
  auto const b = Node("b");
  a->SetField("next", b);
  b->SetField("next", a);

  auto const parent = Node("a");
  auto const children = Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::LIST);
  children->Append(parent);
  parent->SetField("children", children);

  auto const wrapped = Node("a");
  auto const next = Tirn::Data::OptionalValue::GetInstance();
  DataValuePtr* const wrappedSlot = next->value(nullptr);
  wrapped->SetField("next", next);
  *wrappedSlot = wrapped;

  auto const first = Node("0");
  auto last = first;
  for (int i = 1; i < chainLength; ++i) {
    auto node = Node(std::to_string(i));
    last->SetField("next", node);
    last = node;
  }
  DataValuePtr* const chainSlot = last->FieldSlot("next");
  *chainSlot = first;

  return {{"through a field slot", itself, itselfSlot, "next"},
          {"through two SetField calls", a, b->FieldSlot("next"), "next.next.next"},
          {"through a list", parent, parent->FieldSlot("children"), "children[0].children"},
          {"through an optional", wrapped, wrappedSlot, "next"},
          {"through a long chain", first, chainSlot,
           "next.next.next.next.next.next.next.next...next.next.next.next.next.next.next.next"}};
}

// Empties every loop's closing slot, so that the trees can be freed.
inline void Break(std::vector<Loop> const& loops) {
  for (Loop const& loop : loops) *loop.closing = nullptr;
}

}  // namespace test_loops

#endif  // TESTS_LOOPS_H_
