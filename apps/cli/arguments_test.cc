#include "apps/cli/arguments.h"

#include <gtest/gtest.h>

#include <map>

namespace {

namespace Cli = Apps::Cli;

std::string Fields(Cli::Arguments const& arguments) {
  std::string text;
  for (auto const& field : arguments.fields) {
    text += field.path + (field.hasText ? "=" + field.text : "") + ";";
  }
  return text;
}

// Field options apart from global ones, wherever these stand; help (alone or before
// describe's arguments) names an operation, a service's operations or the program's use.
TEST(ParseArguments, SeparatesTheCommandGlobalOptionsAndFieldOptions) {
  using Command = Cli::Arguments::Command;
  struct Case {
    std::vector<std::string> args;
    Command command;
    char const* service;
    char const* operation;
    std::string fields = "";
  } const cases[] = {
      {{"kms.providers", "get", "--provider=--x"}, Command::kCall, "kms.providers", "get",
       "provider=--x;"},
      {{"kms.providers", "get", "--provider=a=b"}, Command::kCall, "kms.providers", "get",
       "provider=a=b;"},
      {{"kms.services", "list", "--filter.address.port", "-1"}, Command::kCall, "kms.services",
       "list", "filter.address.port=-1;"},
      {{"--lang", "de", "kms.providers", "list", "--filter_spec.available", "--url", "http://h:1"},
       Command::kCall, "kms.providers", "list", "filter_spec.available;"},
      {{"help", "kms.providers", "get"}, Command::kDescribe, "kms.providers", "get"},
      {{"help", "kms.providers"}, Command::kDescribe, "kms.providers", ""},
      {{"help"}, Command::kHelp, "", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Cli::Arguments arguments;
    std::list<Tirn::BaseMessage> messages;
    ASSERT_TRUE(Cli::ParseArguments(c.args, &arguments, messages));
    EXPECT_EQ(arguments.command, c.command);
    EXPECT_EQ(arguments.service, c.service);
    EXPECT_EQ(arguments.operation, c.operation);
    EXPECT_EQ(Fields(arguments), c.fields);
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
      {{"kms.providers", "--bogus", "list"}, "unknown option --bogus"},
      {{"describe", "--bogus"}, "unknown option --bogus"},
      {{"kms.providers", "--provider", "p"}, nullptr},
      {{"kms.providers", "get", "stray"}, nullptr},
      {{"list", "extra"}, nullptr},
      {{"describe", "kms.providers", "get", "stray"}, nullptr},
      {{"--timeout", "0", "list"}, nullptr},
      {{"--token", "a", "--token-file", "f", "list"}, nullptr},
      {{"kms.providers", "get", "--json", "{}", "--provider", "p"}, nullptr},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
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
