#include "apps/server/policy.h"

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

bool ReadPolicyFile(std::string const& path, Policy& policy, std::string& error) {
  Tirn::Http::TrustedFile rule;
  rule.what = "the policy file";
  std::string text;
  if (!Tirn::Http::ReadTrustedFile(path, rule, text, error)) return false;
  std::istringstream in(text);
  Policy read;
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
    read.Add(caller, pattern);
  }
  policy = std::move(read);
  return true;
}

}  // namespace ServerApp
