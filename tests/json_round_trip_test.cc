// Every structure and error of the package, and the standard structures, through JSON and
// back: native to JSON to native, and value to JSON to value, guided by their definitions.
#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <memory>
#include <string>

#include "tests/convert.h"
#include "tests/package_samples.h"
#include "tirn/json/json.h"
#include "tirn/std/errors.h"
#include "tirn/std/localizable_message.h"

namespace {

using namespace package_samples;
using Tirn::BaseMessage;
using Tirn::Data::DataValuePtr;
using Tirn::Data::DescribeType;
using Tirn::Data::ToDebugString;
using test_convert::Messages;
using test_convert::ToValue;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

void ExpectNoMessages(Messages const& messages) {
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
}

// value -> JSON -> value through T's definition gives an equal tree.
template <class T>
void ExpectValueRoundTrip(DataValuePtr const& value) {
  std::string text;
  Messages messages;
  ASSERT_TRUE(Tirn::Json::Encode(value, DescribeType<T>(), &text, messages));
  DataValuePtr back;
  EXPECT_TRUE(Tirn::Json::Decode(text, DescribeType<T>(), &back, messages)) << text;
  ExpectNoMessages(messages);
  EXPECT_TRUE(Tirn::Data::Equal(back, value))
      << "sent " << ToDebugString(value) << "\nback " << ToDebugString(back) << "\nas " << text;
}

TEST(JsonPackageRoundTrip, EveryStructureThroughJsonAndBack) {
  ForEveryStructure([](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(Tirn::Data::TypeInfo<T>::name());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      SCOPED_TRACE("sample " + std::to_string(i));
      std::string text;
      Messages messages;
      ASSERT_TRUE(Tirn::Json::ToJson(samples[i], &text, messages));
      T back;
      EXPECT_TRUE(Tirn::Json::FromJson(text, &back, messages)) << text;
      ExpectNoMessages(messages);
      EXPECT_TRUE(back == samples[i]) << text;
      ExpectValueRoundTrip<T>(ToValue(samples[i]));
    }
  });
}

TEST(JsonPackageRoundTrip, ErrorsAndExtremeValues) {
  auto const message = Com::Ostrel::Tirn::Std::LocalizableMessage::From(
      Tirn::MakeMessage("nox.kms.missing", "Provider {1} is missing", "p-\xc3\xa9"));
  Errors::NotFound notFound;
  notFound.messages.push_back(message);
  ExpectValueRoundTrip<Errors::NotFound>(ToValue(notFound));
  ExpectValueRoundTrip<Errors::InternalServerError>(ToValue(Errors::InternalServerError()));
  ExpectValueRoundTrip<Com::Ostrel::Tirn::Std::LocalizableMessage>(ToValue(*message));

  for (long long port : {LLONG_MAX, LLONG_MIN, 0LL, -1LL}) {
    SCOPED_TRACE(port);
    TI::NetworkAddress const address{{}, "h", port};
    for (bool asStrings : {false, true}) {
      std::string text;
      Messages messages;
      ASSERT_TRUE(Tirn::Json::ToJson(address, &text, messages, {false, false, asStrings}));
      TI::NetworkAddress back;
      EXPECT_TRUE(Tirn::Json::FromJson(text, &back, messages)) << text;
      EXPECT_TRUE(back == address) << text;
    }
  }
}

TEST(JsonPackageRoundTrip, UnknownFieldsAndEnumerationStringsSurvive) {
  // As received from a newer peer: unknown fields at the top and two levels down, and an
  // enumeration string this version does not know.
  struct Row {
    char const* text;
    ReportType type;
  };
  Row const rows[] = {
      {R"({"added_later":{"level":3,"tags":["a"]},"report":"r-1",)"
       R"("reporting_jwt":{"audience":[1.5,null],"group":"g","jwt":"e30","service":"s"},)"
       R"("type":"REPORTING_JWT"})",
       ReportType::REPORTING_JWT},
      {R"({"report":"r-2","reporting_jwt":null,"type":"FUTURE_KIND","zz":[{"a":{}}]})",
       ReportType(ReportType::_UNKNOWN, "FUTURE_KIND")},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.text);
    Reports::Summary summary;
    Messages messages;
    EXPECT_TRUE(Tirn::Json::FromJson(row.text, &summary, messages));
    ExpectNoMessages(messages);
    EXPECT_EQ(summary.type, row.type);
    std::string sent;
    ASSERT_TRUE(Tirn::Json::ToJson(summary, &sent, messages));
    EXPECT_EQ(sent, row.text);
  }
}

}  // namespace
