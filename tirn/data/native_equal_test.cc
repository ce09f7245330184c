#include "tirn/data/native_equal.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {
namespace {

using Shapes::Node;

// A chain of `depth` nodes linked through `next` (or through a one-element `children` list),
// named after their level. The nodes stay reachable from `nodes` so that the chain can be
// taken apart without recursion.
struct Chain {
  Chain(int depth, bool throughChildren) {
    for (int i = 0; i < depth; ++i) {
      nodes.push_back(std::make_shared<Node>());
      nodes.back()->name = std::to_string(i);
    }
    for (int i = 0; i + 1 < depth; ++i) {
      if (throughChildren) {
        nodes[i]->children.push_back(nodes[i + 1]);
      } else {
        nodes[i]->next = OptionalPtr<Node const>(nodes[i + 1]);
      }
    }
  }
  ~Chain() {
    // Unlink first: every node then has one owner left, and goes on its own.
    for (auto const& node : nodes) {
      node->next = OptionalPtr<Node const>();
      node->children.clear();
    }
  }
  std::shared_ptr<Node const> root() const { return nodes.front(); }

  std::vector<std::shared_ptr<Node>> nodes;
};

TEST(NativeEqualTest, MillionLevelChainsCompareWithoutRecursion) {
  constexpr int kDeep = 1000000;
  for (bool throughChildren : {false, true}) {
    SCOPED_TRACE(throughChildren ? "through children" : "through next");
    Chain const a(kDeep, throughChildren);
    Chain const b(kDeep, throughChildren);
    EXPECT_TRUE(NativeEqual(a.root(), b.root()));
    EXPECT_TRUE(*a.root() == *b.root());

    // A difference at the very bottom is found (what differences count: the test below).
    b.nodes.back()->name = "changed";
    EXPECT_FALSE(NativeEqual(a.root(), b.root()));
    EXPECT_FALSE(*a.root() == *b.root());
  }
}

TEST(NativeEqualTest, ComparesContentsMemberByMember) {
  auto const leaf = [](std::string name) {
    auto node = std::make_shared<Node>();
    node->name = std::move(name);
    return node;
  };
  auto unknown = StructValue::GetInstance("unknownFields");
  unknown->SetField("extra", StringValue::GetInstance("x"));
  struct Case {
    char const* name;
    std::function<void(Node&)> change;  // applied to the second of two equal nodes
    bool equal;
  } const cases[] = {
      {"unchanged", [](Node&) {}, true},
      {"another name", [](Node& n) { n.name = "other"; }, false},
      {"next set on one side", [&](Node& n) { n.next = OptionalPtr<Node const>(leaf("n")); },
       false},
      {"an equal child that is another object",
       [&](Node& n) { n.children.front() = leaf("c"); }, true},
      {"a child with another name", [&](Node& n) { n.children.front() = leaf("d"); }, false},
      {"a null child", [](Node& n) { n.children.front() = nullptr; }, false},
      {"one child more", [&](Node& n) { n.children.push_back(leaf("c")); }, false},
      {"an unknown field", [&](Node& n) { n.unknownFields = unknown; }, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const a = leaf("a");
    auto const b = leaf("a");
    a->children.push_back(leaf("c"));
    b->children.push_back(a->children.front());
    c.change(*b);
    EXPECT_EQ(NativeEqual(*a, *b), c.equal);
    EXPECT_EQ(NativeEqual(*b, *a), c.equal);
    EXPECT_EQ(NativeEqual(std::shared_ptr<Node const>(a), std::shared_ptr<Node const>(b)),
              c.equal);
  }
  EXPECT_TRUE(NativeEqual(std::shared_ptr<Node const>(), std::shared_ptr<Node const>()));
  EXPECT_FALSE(NativeEqual(std::shared_ptr<Node const>(), std::shared_ptr<Node const>(leaf("a"))));
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
