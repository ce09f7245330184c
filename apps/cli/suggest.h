// Apps::Cli::Closest: the known name a mistyped one was most likely meant to be, for "did you
// mean ...?" hints.
//
//   std::string hint = Apps::Cli::Closest("kms.provider", {"kms.providers", "kms.services"});
//   // "kms.providers"
#ifndef APPS_CLI_SUGGEST_H_
#define APPS_CLI_SUGGEST_H_

#include <string>
#include <vector>

namespace Apps {
namespace Cli {

// The name of `known` closest to `wrong` in edits (insertions, deletions, substitutions and
// swaps of neighbours, ignoring case), when it is close enough to be a typing mistake: at most a third of the
// longer name's length, and at least one edit allowed. Empty when none is, or when `wrong` is
// longer than any name could sensibly be (64 characters).
std::string Closest(std::string const& wrong, std::vector<std::string> const& known);

// " (did you mean <name>?)" for the closest name, or empty.
std::string DidYouMean(std::string const& wrong, std::vector<std::string> const& known);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_SUGGEST_H_
