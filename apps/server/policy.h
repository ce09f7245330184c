// Which caller may call which operations: tirn-server's authorization policy, read from a file
// of rules, one a line,
//
//   # who      what
//   alice      *
//   bob        *.list
//   ops        kms.providers.*
//   -          kms.providers.get      ('-' is the anonymous caller)
//
// A rule's pattern is matched against "service.operation" ("kms.providers.list"); '*' matches
// any characters, dots included. A caller may call what any of its rules allows; everything
// else is denied.
//
//   ServerApp::Policy policy;
//   std::string error;
//   if (!ServerApp::ReadPolicyFile("policy.txt", policy, error)) Fail(error);
//   options.authorizer = policy.Authorizer();
//
// Thread-safety: a Policy is immutable once read; Allows and the authorizer may be called from
// any number of threads.
#ifndef APPS_SERVER_POLICY_H_
#define APPS_SERVER_POLICY_H_

#include <map>
#include <string>
#include <vector>

#include "tirn/http/server.h"

namespace ServerApp {

class Policy {
 public:
  // Adds a rule: `caller` may call the operations `pattern` matches.
  void Add(std::string const& caller, std::string const& pattern);
  // Whether `caller` may call `operation` ("service.operation").
  bool Allows(std::string const& caller, std::string const& operation) const;
  // An authorizer for Tirn::Http::ServerOptions that asks this policy (a copy of it).
  Tirn::Http::Authorizer Authorizer() const;

 private:
  std::map<std::string, std::vector<std::string>> patterns_;
};

// Whether `text` matches `pattern`, where '*' matches any run of characters (none included).
bool Matches(std::string const& pattern, std::string const& text);

// Reads a policy file into `policy`. False, with `error` naming the file and the line, when the
// file cannot be read (tirn/http/trusted_file.h: a regular file of the server's user or root,
// that others may not write) or a line is not "<caller> <pattern>". `*warnings` (when given)
// receives what is legal but surely not meant: a file without rules, which denies every call,
// and each rule ("<file>:<line>: ...") whose pattern matches none of `operations`
// ("service.operation" names; not checked when empty).
bool ReadPolicyFile(std::string const& path, Policy& policy, std::string& error,
                    std::vector<std::string> const& operations = {},
                    std::vector<std::string>* warnings = nullptr);

}  // namespace ServerApp

#endif  // APPS_SERVER_POLICY_H_
