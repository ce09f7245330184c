#include "apps/cli/arguments.h"

#include <gtest/gtest.h>

#include <map>

#include <boost/optional/optional_io.hpp>

namespace {

namespace Cli = Apps::Cli;

std::string Fields(Cli::Arguments const& arguments) {
  std::string text;
  for (auto const& field : arguments.fields) {
    text += field.path + (field.hasText ? "=" + field.text : "") + ";";
  }
  return text;
}

TEST(ParseArguments, SeparatesGlobalOptionsFromFieldOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string fields;
  };
  std::vector<Case> const cases = {
      {{"kms.providers", "get", "--provider", "p"}, "provider=p;"},
      {{"kms.providers", "get", "--provider=p"}, "provider=p;"},
      {{"kms.providers", "get", "--provider=--x"}, "provider=--x;"},
      {{"kms.providers", "get", "--provider=a=b"}, "provider=a=b;"},
      {{"kms.services", "list", "--filter.address.port", "-1"}, "filter.address.port=-1;"},
      {{"--lang", "de", "kms.providers", "list", "--filter_spec.available", "--url",
        "http://h:1"},
       "filter_spec.available;"},
      {{"kms.services", "list", "--filter.group", "a", "--filter.group", "b"},
       "filter.group=a;filter.group=b;"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.fields);
    Cli::Arguments arguments;
    std::list<Tirn::BaseMessage> messages;
    ASSERT_TRUE(Cli::ParseArguments(c.args, &arguments, messages)) << messages.front().defaultMessage();
    EXPECT_EQ(arguments.command, Cli::Arguments::Command::kCall);
    EXPECT_EQ(arguments.service, c.args[c.args[0] == "--lang" ? 2 : 0]);
    EXPECT_EQ(Fields(arguments), c.fields);
  }

  Cli::Arguments all;
  std::list<Tirn::BaseMessage> messages;
  ASSERT_TRUE(Cli::ParseArguments({"--url", "https://h:1", "--token-file", "t", "--ca", "ca.pem",
                                   "--timeout", "2.5", "--output", "text", "--lang", "de",
                                   "--show-secrets", "describe", "kms.providers", "get"},
                                  &all, messages));
  EXPECT_EQ(all.command, Cli::Arguments::Command::kDescribe);
  EXPECT_EQ(all.urls, std::vector<std::string>{"https://h:1"});
  EXPECT_EQ(all.tokenFile, "t");
  EXPECT_EQ(all.caFile, "ca.pem");
  EXPECT_EQ(all.timeoutSeconds, 2.5);
  EXPECT_TRUE(all.output == Cli::Format::kText);
  EXPECT_EQ(all.language, "de");
  EXPECT_TRUE(all.showSecrets);
  EXPECT_EQ(all.operation, "get");
}

// describe (and help, but alone) names an operation, a service's operations or every one.
TEST(ParseArguments, DescribesAnOperationAServiceOrEveryOne) {
  struct Case {
    std::vector<std::string> args;
    Cli::Arguments::Command command;
    char const* service;
    char const* operation;
  } const cases[] = {
      {{"describe", "kms.providers", "get"}, Cli::Arguments::Command::kDescribe, "kms.providers",
       "get"},
      {{"help", "kms.providers", "get"}, Cli::Arguments::Command::kDescribe, "kms.providers", "get"},
      {{"describe", "kms.providers"}, Cli::Arguments::Command::kDescribe, "kms.providers", ""},
      {{"help", "kms.providers"}, Cli::Arguments::Command::kDescribe, "kms.providers", ""},
      {{"--output", "json", "describe"}, Cli::Arguments::Command::kDescribe, "", ""},
      {{"help"}, Cli::Arguments::Command::kHelp, "", ""},
  };
  for (auto const& c : cases) {
    std::string line;
    for (auto const& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    Cli::Arguments arguments;
    std::list<Tirn::BaseMessage> messages;
    ASSERT_TRUE(Cli::ParseArguments(c.args, &arguments, messages));
    EXPECT_EQ(arguments.command, c.command);
    EXPECT_EQ(arguments.service, c.service);
    EXPECT_EQ(arguments.operation, c.operation);
  }
}

// A malformed command line is a usage error. A mistake is named as what it is: an option
// before the operation that is no global option is an unknown option, not a missing service.
TEST(ParseArguments, RefusesMalformedCommandLinesNamingTheMistake) {
  struct Case {
    std::vector<std::string> args;
    char const* says;  // part of the message; none: not checked
  } const cases[] = {
      {{}, "missing <service> <operation>"},
      {{"kms.providers"}, "missing <operation>"},
      {{"--bogus", "kms.providers", "list"}, "unknown option --bogus"},
      {{"kms.providers", "--bogus", "list"}, "unknown option --bogus"},
      {{"describe", "--bogus"}, "unknown option --bogus"},
      {{"kms.providers", "--provider", "p"}, nullptr},
      {{"kms.providers", "get", "stray"}, nullptr},
      {{"list", "extra"}, nullptr},
      {{"describe", "kms.providers", "get", "stray"}, nullptr},
      {{"--timeout", "0", "list"}, nullptr},
      {{"--timeout", "soon", "list"}, nullptr},
      {{"--output", "xml", "list"}, nullptr},
      {{"--token", "a", "--token-file", "f", "list"}, nullptr},
      {{"kms.providers", "get", "--json", "{}", "--provider", "p"}, nullptr},
      {{"kms.providers", "get", "--json"}, nullptr},
  };
  for (auto const& c : cases) {
    std::string line;
    for (auto const& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    Cli::Arguments arguments;
    std::list<Tirn::BaseMessage> messages;
    EXPECT_FALSE(Cli::ParseArguments(c.args, &arguments, messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), Cli::MessageIds::kUsage);
    if (!c.says) continue;
    ASSERT_EQ(messages.front().args().size(), 1u);
    EXPECT_NE(messages.front().args().front().find(c.says), std::string::npos)
        << messages.front().args().front();
  }
}

TEST(ParseArguments, TakesDefaultsFromTheEnvironment) {
  struct Case {
    std::map<std::string, std::string> environment;
    std::vector<std::string> args;
    std::vector<std::string> urls;
    std::string language;
  };
  std::vector<Case> const cases = {
      {{}, {"list"}, {"http://127.0.0.1:7431"}, "en"},
      {{{"TIRN_URL", "http://e:1"}, {"LANG", "fr_FR.UTF-8"}}, {"list"}, {"http://e:1"}, "fr_FR.UTF-8"},
      {{{"TIRN_URL", ""}, {"LANG", "fr"}, {"LC_MESSAGES", "it"}}, {"list"}, {"http://127.0.0.1:7431"}, "it"},
      {{{"LC_ALL", "de"}, {"LC_MESSAGES", "it"}}, {"list"}, {"http://127.0.0.1:7431"}, "de"},
      {{{"TIRN_URL", "http://e:1"}, {"LC_ALL", "de"}},
       {"--url", "http://o:2", "--lang", "sv", "list"},
       {"http://o:2"},
       "sv"},
      // Each --url is one more server, in the order given.
      {{{"TIRN_URL", "http://e:1"}},
       {"--url", "http://o:2", "list", "--url=http://p:3"},
       {"http://o:2", "http://p:3"},
       "en"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.urls.back() + " " + c.language);
    Cli::Arguments arguments;
    std::list<Tirn::BaseMessage> messages;
    ASSERT_TRUE(Cli::ParseArguments(c.args, &arguments, messages));
    auto environment = [&c](char const* name) -> char const* {
      auto found = c.environment.find(name);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(Cli::ResolveUrls(arguments, environment), c.urls);
    EXPECT_EQ(Cli::ResolveLanguage(arguments, environment), c.language);
  }
}

}  // namespace
