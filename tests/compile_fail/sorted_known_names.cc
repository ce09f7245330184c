// Must compile: the counterpart of unsorted_known_names.cc, so that a failure there means the
// order check fired and not that the file is broken.
#include <boost/utility/string_view.hpp>

#include "tirn/data/enumeration.h"

struct Sorted {
  static constexpr boost::string_view knownNames[] = {"hostname", "port", "port_range"};
  static_assert(Tirn::Data::AreNamesSorted(knownNames), "known names must be sorted");
};

int main() { return 0; }
