// The package's structures through the value model: native to value to native for every
// structure, equality that tells every field apart, and validation that agrees with conversion.
// (Unknown fields and enumeration strings kept at several depths, and the forms of empty
// filters: json_round_trip_test.cc.)
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/validation.h"
#include "tirn/std/localizable_message.h"
#include "tests/convert.h"
#include "tests/package_samples.h"

namespace {

using namespace package_samples;

using Tirn::BaseMessage;
using Tirn::Data::CompoundValue;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Tirn::Data::DescribeType;
using Tirn::Data::ListValue;
using Tirn::Data::OptionalValue;
using Tirn::Data::StructValue;
using Tirn::Data::ToDebugString;
using namespace ::test_convert;

// ---- Values ------------------------------------------------------------------------------

// A copy of the structure value with field `name` set to `field`, or without it.
DataValuePtr WithField(DataValuePtr const& value, std::string const& name, DataValuePtr field,
                       bool without = false) {
  auto const& compound = static_cast<CompoundValue const&>(*value);
  auto copy = StructValue::GetInstance(compound.name());
  for (auto const& entry : compound.fields()) {
    if (entry.first != name) copy->SetField(entry.first, entry.second);
  }
  if (!without) copy->SetField(name, std::move(field));
  return copy;
}

// ---- Tests -----------------------------------------------------------------------------------

TEST(PackageRoundTrip, EveryStructureRoundTripsThroughAValueItsDefinitionAdmits) {
  ForEveryStructure([](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(NameOf<T>());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      SCOPED_TRACE("sample " + std::to_string(i));
      DataValuePtr const value = ToValue(samples[i]);
      ASSERT_NE(value, nullptr);
      ASSERT_EQ(value->GetType().kind(), DataType::STRUCTURE);
      EXPECT_EQ(static_cast<CompoundValue const&>(*value).name(), NameOf<T>());

      Messages messages;
      EXPECT_TRUE(Tirn::Data::Validate(DescribeType<T>(), value, messages));
      for (BaseMessage const& message : messages) ADD_FAILURE() << message.id();

      T const back = FromValue<T>(value);
      EXPECT_TRUE(back == samples[i]) << ToDebugString(value);
    }
  });
}

TEST(PackageRoundTrip, EqualityTellsEveryFieldApart) {
  ForEveryStructure([](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(NameOf<T>());
    DataValuePtr const first = ToValue(samples[0]);
    DataValuePtr const second = ToValue(samples[1]);
    ASSERT_NE(first, nullptr);
    for (auto const& field : static_cast<CompoundValue const&>(*first).fields()) {
      std::string const name(field.first);
      SCOPED_TRACE(name);
      DataValuePtr const other = FieldOf(second, name);
      ASSERT_FALSE(Tirn::Data::Equal(field.second, other)) << "the samples must differ here";
      EXPECT_FALSE(FromValue<T>(WithField(first, name, other)) == samples[0]);
    }
    EXPECT_FALSE(FromValue<T>(WithField(first, "zz_unknown", Str("x"))) == samples[0]);
  });
}

// ---- Validation agrees with conversion ----------------------------------------------------

// What may stand in a field instead of its value: every kind, null, strings that do and do not
// parse, optionals and lists holding each of those, and the field's own value wrapped.
std::vector<std::pair<std::string, DataValuePtr>> Replacements(DataValuePtr const& own) {
  using namespace Tirn::Data;
  auto const optionalOfNull = [] {
    auto optional = OptionalValue::GetInstance();
    optional->value(nullptr);
    return DataValuePtr(optional);
  };
  return {
      {"null", nullptr},
      {"empty string", Str("")},
      {"text", Str("x8")},
      {"digits", Str("8443")},
      {"true", Str("true")},
      {"enumerator", Str("NATIVE")},
      {"integer", Int(5)},
      {"boolean", BooleanValue::GetInstance(true)},
      {"secret", SecretValue::GetInstance(Tirn::SecretString("kdk"))},
      {"void", VoidValue::GetInstance()},
      {"double", DoubleValue::GetInstance(0.5)},
      {"blob", BlobValue::GetInstance("\x01")},
      {"empty optional", Opt()},
      {"optional of null", optionalOfNull()},
      {"optional of empty string", Opt(Str(""))},
      {"optional of text", Opt(Str("x8"))},
      {"optional of integer", Opt(Int(5))},
      {"empty list", List({})},
      {"list of null", List({nullptr})},
      {"list of text", List({Str("a")})},
      {"list of integers", List({Int(1), Int(2)})},
      {"set of enumerators", List({Str("NATIVE"), Str("REPORTING_JWT")}, ListValue::SET)},
      {"empty structure", StructValue::GetInstance(kPackage + "network_address")},
      {"error", ErrorValue::GetInstance("com.ostrel.tirn.std.errors.error")},
      {"dynamic structure", DynamicStructValue::GetInstance("x")},
      {"own value in an optional", Opt(own)},
      {"own value in two optionals", Opt(Opt(own))},
      {"own value in a list", List({own})},
  };
}

// Every single-field change of `sample`'s value (each replacement, and the field removed):
// whatever conversion accepts, validation accepts, except where a union case contradicts its
// tag (only validation checks unions) or an empty string stands for a structure with required
// fields; whatever validation accepts and conversion refuses
// holds a string that does not parse as the primitive it stands for.
template <class T>
void ExpectValidationAgreesWithConversion(T const& sample,
                                          Tirn::Data::DataDefinitionPtr const& definition) {
  using Tirn::MessageIds::kOutOfRange;
  using Tirn::MessageIds::kParseFailed;
  using Tirn::MessageIds::kValidationMissingField;
  using Tirn::MessageIds::kValidationUnionCaseMissing;
  using Tirn::MessageIds::kValidationUnionCaseUnexpected;
  DataValuePtr const value = ToValue(sample);
  ASSERT_NE(value, nullptr);
  struct Change {
    std::string label;
    DataValuePtr value;
    bool emptyString;  // the field holds the empty string
  };
  std::vector<Change> changes;
  for (auto const& field : static_cast<CompoundValue const&>(*value).fields()) {
    std::string const name(field.first);
    changes.push_back({name + " removed", WithField(value, name, nullptr, true), false});
    for (auto const& replacement : Replacements(field.second)) {
      changes.push_back({name + " := " + replacement.first,
                         WithField(value, name, replacement.second),
                         replacement.first == "empty string"});
    }
  }
  for (Change const& change : changes) {
    SCOPED_TRACE(change.label);
    T native{};
    Messages conversion;
    bool const converts = FromValue(change.value, native, conversion);
    Messages validation;
    bool const validates = Tirn::Data::Validate(definition, change.value, validation);
    if (converts && !validates) {
      for (BaseMessage const& problem : validation) {
        // Conversion reads the empty string given for a structure as a default structure;
        // validation reads it as a structure without fields, whose required fields are missing.
        EXPECT_TRUE(problem.id() == kValidationUnionCaseMissing ||
                    problem.id() == kValidationUnionCaseUnexpected ||
                    (change.emptyString && problem.id() == kValidationMissingField))
            << "validation refuses what conversion accepts: " << problem.defaultMessage();
      }
    }
    if (validates && !converts) {
      ASSERT_FALSE(conversion.empty());
      EXPECT_TRUE(conversion.front().id() == kParseFailed || conversion.front().id() == kOutOfRange)
          << "validation accepts what conversion refuses: " << conversion.front().defaultMessage();
    }
  }
}

template <class M>
void CheckInput(typename M::Input const& sample) {
  SCOPED_TRACE(M::methodName() + " input");
  ExpectValidationAgreesWithConversion(sample, M::inputDef());
}

TEST(PackageRoundTrip, ValidationAcceptsWhatConversionAcceptsForEveryFieldChange) {
  ForEveryStructure([](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(NameOf<T>());
    for (T const& sample : samples) ExpectValidationAgreesWithConversion(sample, DescribeType<T>());
  });
  // Operation inputs, each with all its parameters set: those of key providers, which hold
  // every shape of parameter the inputs of key servers and attestation services hold (an
  // optional structure, a structure, a string).
  CheckInput<Providers::ListMethod>(
      {nullptr, Ptr(Providers::FilterSpec{{}, Strings{"p-1"}, true, boost::none})});
  CheckInput<Providers::CreateMethod>(
      {nullptr, Ptr(Providers::CreateSpec{{},
                                          "p-1",
                                          Ptr(Providers::NativeProviderCreateSpec{
                                              {}, "key-1", Tirn::SecretString("kdk-3e9a")})})});
  CheckInput<Providers::UpdateMethod>(
      {nullptr, "p-1",
       Ptr(Providers::UpdateSpec{
           {}, Ptr(Providers::NativeProviderUpdateSpec{{}, std::string("key-2")})})});
  CheckInput<Providers::DeleteMethod>({nullptr, "p-1"});
  CheckInput<Providers::GetMethod>({nullptr, "p-1"});
}

}  // namespace
