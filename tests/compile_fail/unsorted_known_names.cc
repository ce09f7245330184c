// Must not compile: a structure whose known-name array is not in ascending byte order is
// rejected where it is declared.
#include <boost/utility/string_view.hpp>

#include "tirn/data/enumeration.h"

struct Unsorted {
  static constexpr boost::string_view knownNames[] = {"port", "hostname"};
  static_assert(Tirn::Data::AreNamesSorted(knownNames), "known names must be sorted");
};

int main() { return 0; }
