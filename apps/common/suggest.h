// Apps::Closest: the known name a mistyped one was most likely meant to be, for the "did you
// mean ...?" hints of both programs (an operation or field of tirn, an option of tirn-server).
//
//   std::string hint = Apps::Closest("kms.provider", {"kms.providers", "kms.services"});
//   // "kms.providers"
#ifndef APPS_COMMON_SUGGEST_H_
#define APPS_COMMON_SUGGEST_H_

#include <string>
#include <vector>

namespace Apps {

// The name of `known` closest to `wrong` in edits (insertions, deletions, substitutions and
// swaps of neighbours, ignoring case), when it is close enough to be a typing mistake: at most a third of the
// longer name's length, and at least one edit allowed. Empty when none is, or when `wrong` is
// longer than any name could sensibly be (64 characters).
std::string Closest(std::string const& wrong, std::vector<std::string> const& known);

// " (did you mean <name>?)" for the closest name, or empty.
std::string DidYouMean(std::string const& wrong, std::vector<std::string> const& known);

}  // namespace Apps

#endif  // APPS_COMMON_SUGGEST_H_
