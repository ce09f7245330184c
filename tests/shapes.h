// Small bound types shaped like the package's, written by hand the way the generator writes
// them, for the engine tests, the fuzz target and the benchmarks.
#ifndef TESTS_SHAPES_H_
#define TESTS_SHAPES_H_

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <boost/optional/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/data/base_native.h"
#include "tirn/data/enumeration.h"
#include "tirn/data/native_equal.h"
#include "tirn/data/type_info.h"
#include "tirn/runtime/value/optional_ptr.h"
#include "tirn/runtime/value/secret_string.h"

namespace Shapes {

class Color {
 public:
  enum Enum : std::int32_t { RED = 0, GREEN = 1, _UNKNOWN = 2 };
  struct Strings {
    static constexpr char const* values[] = {"RED", "GREEN", "_UNKNOWN", nullptr};
  };
  Color() = default;
  Color(Enum value, std::string unknownValue = {})  // NOLINT: enumerators convert implicitly
      : value_(value), unknownValue_(std::move(unknownValue)) {}
  Enum value() const { return value_; }
  std::string const& unknownValue() const { return unknownValue_; }
  friend bool operator==(Color const& a, Color const& b) {
    return a.value_ == b.value_ && a.unknownValue_ == b.unknownValue_;
  }
  friend bool operator<(Color const& a, Color const& b) {
    return a.value_ != b.value_ ? a.value_ < b.value_ : a.unknownValue_ < b.unknownValue_;
  }

 private:
  Enum value_ = _UNKNOWN;
  std::string unknownValue_;
};

// Union annotations of Variant: the tag "kind" activates "red_case" for RED.
namespace VariantAnnotations {
struct UnionTags {
  struct Strings {
    static constexpr char const* values[] = {"kind", "_UNKNOWN", nullptr};
  };
};
struct RedCaseUnionCases {
  struct Strings {
    static constexpr char const* values[] = {"RED", "_UNKNOWN", nullptr};
  };
};
}  // namespace VariantAnnotations

struct Address : Tirn::Data::BaseNative {
  std::string host;
  boost::optional<long long> port;

  struct AdapterHelper {
    using IsStructure = void;
    static constexpr boost::string_view knownNames[] = {"host", "port"};
    template <class H>
    static void AddFields(H& compound, Address* native) {
      compound.Field("host", native, &Address::host);
      compound.Field("port", native, &Address::port);
    }
  };
};

// An address with `unknownFields` as the fields it was received with but does not know.
inline std::shared_ptr<Address const> MakeAddress(
    std::string host, boost::optional<long long> port = boost::none,
    std::shared_ptr<Tirn::Data::StructValue> unknownFields = nullptr) {
  return std::make_shared<Address const>(
      Address{{std::move(unknownFields)}, std::move(host), port});
}

// One member of every kind.
struct Record : Tirn::Data::BaseNative {
  std::string id;
  long long count = 0;
  bool enabled = false;
  Tirn::SecretString key;
  Color color;
  std::list<std::string> tags;
  std::set<std::string> labels;
  boost::optional<std::set<Color>> colors;
  std::shared_ptr<Address const> address;
  Tirn::OptionalPtr<Address const> backup;
  boost::optional<std::list<std::shared_ptr<Address const>>> mirrors;
  boost::optional<std::string> note;

  struct AdapterHelper {
    using IsStructure = void;
    static constexpr boost::string_view knownNames[] = {
        "address", "backup", "color", "colors", "count", "enabled",
        "id",      "key",    "labels", "mirrors", "note", "tags"};
    template <class H>
    static void AddFields(H& compound, Record* native) {
      compound.Field("id", native, &Record::id);
      compound.Field("count", native, &Record::count);
      compound.Field("enabled", native, &Record::enabled);
      compound.Field("key", native, &Record::key);
      compound.Field("color", native, &Record::color);
      compound.Field("tags", native, &Record::tags);
      compound.Field("labels", native, &Record::labels);
      compound.Field("colors", native, &Record::colors);
      compound.Field("address", native, &Record::address);
      compound.Field("backup", native, &Record::backup);
      compound.Field("mirrors", native, &Record::mirrors);
      compound.Field("note", native, &Record::note);
    }
  };
};

// A tagged union: "red_case" belongs to kind RED.
struct Variant : Tirn::Data::BaseNative {
  Color kind;
  Tirn::OptionalPtr<Address const> red_case;

  struct AdapterHelper {
    using IsStructure = void;
    static constexpr boost::string_view knownNames[] = {"kind", "red_case"};
    template <class H>
    static void AddFields(H& compound, Variant* native) {
      compound.Field("kind", native, &Variant::kind);
      compound.template UnionCase<VariantAnnotations::UnionTags, 0,
                                  Tirn::Data::UnionCaseAnyEnumValue<
                                      VariantAnnotations::RedCaseUnionCases>>(
          "red_case", native, &Variant::red_case);
    }
  };
};

// A recursive structure.
struct Node : Tirn::Data::BaseNative {
  std::string name;
  Tirn::OptionalPtr<Node const> next;
  std::list<std::shared_ptr<Node const>> children;

  // Member-wise equality, unknown fields included.
  friend bool operator==(Node const& a, Node const& b) { return Tirn::Data::NativeEqual(a, b); }

  struct AdapterHelper {
    using IsStructure = void;
    static constexpr boost::string_view knownNames[] = {"children", "name", "next"};
    template <class H>
    static void AddFields(H& compound, Node* native) {
      compound.Field("name", native, &Node::name);
      compound.Field("next", native, &Node::next);
      compound.Field("children", native, &Node::children);
    }
  };
};

// Takes apart the chain of "next" that `head` starts in a loop: a long chain would otherwise be
// freed by one nested destructor call per level.
inline void TakeApart(Node& head) {
  std::shared_ptr<Node const> rest = head.next.shared();
  head.next.reset();
  while (rest) {
    std::shared_ptr<Node const> next = rest->next.shared();
    const_cast<Node&>(*rest).next.reset();
    rest = std::move(next);
  }
}

// An operation input: a leading pointer no engine touches, then the parameters; no unknown
// fields.
struct Input {
  std::shared_ptr<void const> opaque;
  std::string target;
  std::shared_ptr<Address const> spec;
  Tirn::OptionalPtr<Record const> filter;

  struct AdapterHelper {
    using IsStructure = void;
    template <class H>
    static void AddFields(H& compound, Input* native) {
      compound.Field("target", native, &Input::target);
      compound.Field("spec", native, &Input::spec);
      compound.Field("filter", native, &Input::filter);
    }
  };
};

// A structure without fields.
struct Empty : Tirn::Data::BaseNative {
  struct AdapterHelper {
    using IsStructure = void;
    static constexpr std::array<boost::string_view, 0> knownNames{};
    template <class H>
    static void AddFields(H&, Empty*) {}
  };
};

}  // namespace Shapes

namespace Tirn {
namespace Data {

#define SHAPES_TYPE_INFO(Type, Name)                                                  \
  template <>                                                                         \
  struct TypeInfo<Shapes::Type> {                                                     \
    static std::string const& name() {                                                \
      static std::string const kName = Name;                                          \
      return kName;                                                                   \
    }                                                                                 \
    static std::shared_ptr<Shapes::Type> defaultInstance(                             \
        std::shared_ptr<DataValue const> const&) {                                    \
      return std::make_shared<Shapes::Type>();                                        \
    }                                                                                 \
  };

SHAPES_TYPE_INFO(Address, "test.shapes.address")
SHAPES_TYPE_INFO(Record, "test.shapes.record")
SHAPES_TYPE_INFO(Variant, "test.shapes.variant")
SHAPES_TYPE_INFO(Node, "test.shapes.node")
SHAPES_TYPE_INFO(Input, "test.shapes.operation_input")
SHAPES_TYPE_INFO(Empty, "test.shapes.empty")
SHAPES_TYPE_INFO(Color, "test.shapes.color")  // its defaultInstance is never called
#undef SHAPES_TYPE_INFO

}  // namespace Data
}  // namespace Tirn

#endif  // TESTS_SHAPES_H_
