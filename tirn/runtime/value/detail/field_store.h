// The internals of a compound value's fields: the store that keeps them in name order, the
// name lookup shared with the conversion engines, and the loop finder of iterative walks.
// Not part of the value model's interface: read data_value.h for that.
#ifndef TIRN_RUNTIME_VALUE_DETAIL_FIELD_STORE_H_
#define TIRN_RUNTIME_VALUE_DETAIL_FIELD_STORE_H_

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"

namespace Tirn {
namespace Data {

class DataValue;

namespace detail {

// Finds a value that contains itself while a walk goes down a tree, comparing only along the
// path being walked (shared subtrees are fine), in constant time and space per level: Brent's
// loop finding over the chain of ancestors. A walk keeps one mark per pending value; each
// mark remembers the ancestor last seen at a power-of-two depth, and a descendant equal to it
// closes a loop, found at the latest about twice the loop's length below where it starts.
struct AncestorMark {
  DataValue const* marked = nullptr;
  std::size_t depth = 0;

  // The mark of `child`, one level below the value this mark belongs to (start from a default
  // mark for the root). False when `child` is the marked ancestor: the tree loops.
  bool Down(DataValue const* child, AncestorMark& below) const {
    if (child && child == marked) return false;
    below.depth = depth + 1;
    below.marked = (below.depth & (below.depth - 1)) == 0 ? child : marked;
    return true;
  }
};

// Compares two names in byte order; names that view the same bytes (the same literal) are
// equal without being read.
inline int CompareNames(boost::string_view a, boost::string_view b) {
  return a.data() == b.data() && a.size() == b.size() ? 0 : a.compare(b);
}

// The element of [first, last), sorted by `nameOf(element)` in ascending byte order, named
// `name`; or `last`. A short range is first scanned for a name viewing the same bytes, which
// finds a name that comes from the same literal without comparing any bytes.
template <class It, class NameOf>
It FindName(It first, It last, boost::string_view name, NameOf nameOf) {
  constexpr std::ptrdiff_t kAddressScanLimit = 8;
  if (last - first <= kAddressScanLimit) {
    for (It at = first; at != last; ++at) {
      boost::string_view const candidate = nameOf(*at);
      if (candidate.data() == name.data() && candidate.size() == name.size()) return at;
    }
  }
  It const at = std::lower_bound(first, last, name, [&nameOf](auto const& element,
                                                              boost::string_view wanted) {
    return nameOf(element) < wanted;
  });
  return at != last && nameOf(*at) == name ? at : last;
}

// The fields of a compound value. Entries never move once created. The first ones live in
// room allocated with the value itself, sized to the fields it is expected to hold (a
// structure's field count, where it is known); more go into blocks of their own. A field name
// is a view: of a string that outlives the value (a structure's static field names), or of a
// copy the store keeps.
//
// While names arrive in ascending byte order and fit the room, as a structure's fields do when
// they are created from its sorted names, the room is the index: lookups search it directly.
// Otherwise an index keeps the entries in ascending byte order of their names: a sorted array
// while the store is small, a balanced tree once it is wide, so that adding n fields costs
// O(n log n) in any order. Reading never changes the store, so a finished value can be read
// from several threads at once.
class TIRN_CORE_EXPORT FieldStore {
 public:
  struct Entry {
    boost::string_view first;                  // the field's name
    std::shared_ptr<DataValue const> second;  // its value; null until the slot is filled
  };
  // Uninitialised storage for the first `capacity` entries, owned by whoever owns the store.
  struct Room {
    Entry* entries = nullptr;
    std::size_t capacity = 0;
  };
  using Index = std::vector<Entry*>;

  // Orders the array index's entries by name, in ascending byte order, against a name.
  struct ByName {
    bool operator()(Entry const* a, boost::string_view b) const { return a->first < b; }
  };
  // Keyed by a copy of the entry's name view, so that a comparison reads the node and the
  // name's bytes only.
  using Tree = std::map<boost::string_view, Entry*>;

  // Iterates the entries in name order.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = Entry const*;
    using reference = Entry const&;

    explicit const_iterator(Entry const* direct) : direct_(direct) {}
    explicit const_iterator(Entry* const* at) : at_(at) {}
    explicit const_iterator(Tree::const_iterator node) : node_(node) {}
    reference operator*() const { return *operator->(); }
    pointer operator->() const { return direct_ ? direct_ : at_ ? *at_ : node_->second; }
    const_iterator& operator++() {
      if (direct_) {
        ++direct_;
      } else if (at_) {
        ++at_;
      } else {
        ++node_;
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const_iterator a, const_iterator b) {
      return a.direct_ == b.direct_ && a.at_ == b.at_ && (a.direct_ || a.at_ || a.node_ == b.node_);
    }
    friend bool operator!=(const_iterator a, const_iterator b) { return !(a == b); }

   private:
    Entry const* direct_ = nullptr;  // in the room, while the room is the index
    Entry* const* at_ = nullptr;     // in the sorted array
    Tree::const_iterator node_;      // in the tree, when both others are null
  };

  explicit FieldStore(Room room);
  FieldStore(FieldStore const&) = delete;
  FieldStore& operator=(FieldStore const&) = delete;
  ~FieldStore();

  const_iterator begin() const;
  const_iterator end() const;
  // The entries in name order as one array, [OrderedRoom(), OrderedRoom() + size()), while
  // they all sit in the room in that order (a value made from a structure's sorted names);
  // null otherwise, when only the iterators walk them in order.
  Entry const* OrderedRoom() const { return direct() ? room_ : nullptr; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The entry named `name`, or null.
  Entry const* Find(boost::string_view name) const;
  // The entry named `name`, created with a null value when absent; a new entry keeps a copy
  // of the name, or with `copyName` false, a view of it (the name must then outlive the store).
  Entry& Slot(boost::string_view name, bool copyName = true);
  // Values that a release takes over; a few fit without allocating.
  using Values = boost::container::small_vector<std::shared_ptr<DataValue const>, 8>;
  // Moves every non-null value into `out`.
  void TakeValues(Values& out);

 private:
  // Up to this many fields the index is a sorted array (inserting moves at most this many
  // pointers); past it, a tree.
  static constexpr std::size_t kArrayIndexLimit = 32;

  // Entries that did not fit the room, the index once the room is no longer one, and the
  // copied names.
  struct Extra;
  // Copies of names, in blocks that never move.
  struct NameBlock;

  // Whether the room alone is the index.
  bool direct() const { return !indexed_; }
  // Whether the index is the tree.
  bool wide() const;
  // The position in the array index where `name` is or would be.
  Index::const_iterator LowerBound(boost::string_view name) const;
  // A new entry named `name`, not yet indexed.
  Entry* NewEntry(boost::string_view name, bool copyName);
  // Indexes the room's entries in an array: names no longer arrive in order.
  void IndexRoom();
  boost::string_view CopyName(boost::string_view name);

  Entry* room_;
  std::size_t capacity_;
  std::size_t used_ = 0;  // entries constructed in the room
  std::size_t size_ = 0;
  bool indexed_ = false;  // the room is no longer the index: extra_ holds it
  std::unique_ptr<Extra> extra_;
  NameBlock* names_ = nullptr;  // the newest block; each holds the one before it
};

// How a compound value's storage is laid out: where its room is and, for a name that is
// copied, where the copy goes. Filled by the allocation that creates the value.
struct CompoundPlacement {
  void* const* trailing;       // the bytes allocated after the value
  std::size_t capacity;        // entries of room at their start
  std::string const* copyName;  // copied after the room; null when the name is static
  std::string const* staticName;
  std::shared_ptr<void const> const* keeper;  // what keeps a borrowed name alive, or null
};

}  // namespace detail

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_DETAIL_FIELD_STORE_H_
