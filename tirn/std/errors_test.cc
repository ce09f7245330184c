#include "tirn/std/errors.h"

#include <gtest/gtest.h>

#include "tests/convert.h"
#include "tirn/message/message.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/runtime/value/validation.h"
#include "tirn/std/native_error_helper.h"
#include "tirn/std/operation_input.h"

namespace Tirn {
namespace Data {
namespace {

namespace Errors = Com::Ostrel::Tirn::Std::Errors;
using Com::Ostrel::Tirn::Std::LocalizableMessage;
using test_convert::MessagesOf;

L10n::RequestLocalizer German() {
  return {std::make_shared<L10n::Localizer const>(std::map<std::string, L10n::Localizer::Catalog>{
              {"de", {{"shop.item.missing", "Artikel {1} fehlt"}}}}),
          std::make_shared<L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin")};
}

BaseMessage Missing(std::string const& item) {
  return MakeMessage("shop.item.missing", "Item {1} is missing", item);
}

// A native error is asked for by type and becomes an error value of its name, its messages
// in order and localized (with the default localizer too: end_to_end_test.cc).
TEST(StandardErrors, NativeErrorBecomesLocalizedErrorValue) {
  NativeError native = Errors::MakeNativeError<Errors::NotFound>(
      {Missing("42"), MakeMessage("shop.other", "Other {1}", "x")});
  EXPECT_NE(native.As<Errors::NotFound>(), nullptr);
  EXPECT_EQ(native.As<Errors::Error>(), nullptr);
  ErrorValuePtr error = NativeErrorHelper::GetError(nullptr, native, German());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->GetType().kind(), DataType::ERROR);
  EXPECT_EQ(error->name(), "com.ostrel.tirn.std.errors.not_found");
  EXPECT_EQ(MessagesOf(error), (std::vector<std::string>{"shop.item.missing(42) = Artikel 42 fehlt",
                                                         "shop.other(x)"}));
}

TEST(StandardErrors, ErrorValuesAreLocalizedWithoutLosingFields) {
  auto original = ErrorValue::Create(Wire::kNotFoundError, {Missing("7")});
  EXPECT_EQ(NativeErrorHelper::GetError(original, boost::none,
                                        L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer()),
            original);
  ErrorValuePtr localized = NativeErrorHelper::GetError(original, boost::none, German());
  EXPECT_NE(localized, original);
  EXPECT_EQ(MessagesOf(localized),
            std::vector<std::string>{"shop.item.missing(7) = Artikel 7 fehlt"});
  EXPECT_EQ(MessagesOf(original), std::vector<std::string>{"shop.item.missing(7)"});
  EXPECT_EQ(NativeErrorHelper::GetError(nullptr, boost::none, German()), nullptr);
}

TEST(StandardErrors, RoundTripAndDefinitionsAgree) {
  Errors::Unsupported native;
  native.messages.push_back(LocalizableMessage::From(Missing("1")));
  DataValuePtr const value = test_convert::ToValue(native);
  DataDefinitionPtr const definition = test_convert::Define<Errors::Unsupported>();
  EXPECT_EQ(ToDebugString(definition),
            ToDebugString(Wire::StandardErrorDefinition(Wire::kUnsupportedError)));
  std::list<BaseMessage> messages;
  EXPECT_TRUE(Validate(definition, value, messages));
  EXPECT_EQ(test_convert::FromValue<Errors::Unsupported>(value).GetMessages(),
            native.GetMessages());

  // The runtime's own errors read back as native errors too.
  EXPECT_EQ(TypeInfo<Errors::InvalidArgument>::name(), Wire::kInvalidArgumentError);
  EXPECT_EQ(test_convert::FromValue<Errors::InvalidArgument>(
                ErrorValue::Create(Wire::kInvalidArgumentError, {Missing("2")}))
                .GetMessages(),
            std::list<BaseMessage>{Missing("2")});
}

TEST(OperationInput, IsAnEmptyStructure) {
  auto structure =
      std::dynamic_pointer_cast<StructDefinition const>(test_convert::Define<OperationInput>());
  ASSERT_TRUE(structure);
  EXPECT_EQ(structure->name(), TypeInfo<OperationInput>::name());
  EXPECT_TRUE(structure->fields().empty());
  EXPECT_NE(TypeInfo<OperationInput>::defaultInstance(nullptr),
            TypeInfo<OperationInput>::defaultInstance(nullptr));
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
