#include "apps/server/policy.h"

#include <algorithm>
#include <memory>
#include <sstream>
#include <utility>

#include "tirn/http/trusted_file.h"

namespace ServerApp {

void Policy::Add(std::string const& caller, std::string const& pattern) {
  patterns_[caller].push_back(pattern);
}

bool Policy::Allows(std::string const& caller, std::string const& operation) const {
  auto const found = patterns_.find(caller);
  if (found == patterns_.end()) return false;
  for (std::string const& pattern : found->second) {
    if (Matches(pattern, operation)) return true;
  }
  return false;
}

Tirn::Http::Authorizer Policy::Authorizer() const {
  auto const policy = std::make_shared<Policy const>(*this);
  return [policy](std::string const& caller, std::string const& operation) {
    return policy->Allows(caller, operation);
  };
}

bool Matches(std::string const& pattern, std::string const& text) {
  // Greedy matching with one point to return to: the last '*' seen and where in the text it
  // was tried. Linear in the pattern times the text at worst, never exponential.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool ReadPolicyFile(std::string const& path, Policy& policy, std::string& error,
                    std::vector<std::string> const& operations,
                    std::vector<std::string>* warnings) {
  Tirn::Http::TrustedFile rule;
  rule.what = "the policy file";
  std::string text;
  if (!Tirn::Http::ReadTrustedFile(path, rule, text, error)) return false;
  std::istringstream in(text);
  Policy read;
  std::vector<std::string> said;
  bool anyRule = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::size_t const comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string caller, pattern, extra;
    if (!(words >> caller)) continue;  // blank or comment only
    if (!(words >> pattern) || (words >> extra)) {
      error = path + ":" + std::to_string(number) + ": a rule is '<caller> <pattern>'";
      return false;
    }
    anyRule = true;
    bool const matchesSome =
        operations.empty() ||
        std::any_of(operations.begin(), operations.end(),
                    [&pattern](std::string const& operation) { return Matches(pattern, operation); });
    if (!matchesSome) {
      said.push_back(path + ":" + std::to_string(number) + ": the rule '" + caller + " " +
                     pattern + "' matches no operation (they are named service.operation, as "
                     "kms.providers.list)");
    }
    read.Add(caller, pattern);
  }
  if (!anyRule) said.push_back("the policy file " + path + " holds no rule: it denies every call");
  policy = std::move(read);
  if (warnings) warnings->insert(warnings->end(), said.begin(), said.end());
  return true;
}

}  // namespace ServerApp
