// The value model, definitions and validation, as the guide shows them (docs/guide.md,
// "Values and definitions"). Runs the guide's snippets and checks what the guide says of them.
// [values-includes]
#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/validation.h"
// [values-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "values.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

using Args = std::list<std::string>;

}  // namespace

int main() {
  // [values-names]
  namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
  // [values-names]
  using namespace Tirn::Data;

  // [values-build]
  auto address = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
  address->SetField("hostname", DataValue::Create<std::string>("kms.example.org"));
  auto port = OptionalValue::GetInstance();
  port->value(DataValue::Create<long long>(5696));  // sets the content
  address->SetField("port", port);

  auto chain = ListValue::GetInstance(ListValue::LIST);  // ListValue::SET for a set
  chain->Append(DataValue::Create<std::string>("-----BEGIN CERTIFICATE-----"));

  DataValuePtr value = address;  // shared as const from here on: only read
  // [values-build]
  CHECK(value->GetType().kind() == DataType::STRUCTURE);
  CHECK(chain->size() == 1 && chain->kind() == ListValue::LIST);

  // [values-read]
  std::list<Tirn::BaseMessage> messages;
  auto const& structure = static_cast<CompoundValue const&>(*value);
  DataValuePtr hostField;
  std::string hostname;
  bool ok = structure.GetField("hostname", hostField, messages) &&
            DataValue::Value<std::string>(hostField, hostname, messages);  // "kms.example.org"
  DataValuePtr const* portField = structure.FindField("port");  // null when absent, no message
  DataValuePtr missing;
  ok = structure.GetField("protocol", missing, messages);  // false, "tirn.data.field.missing"
  // [values-read]
  CHECK(hostname == "kms.example.org");
  {
    auto const& portValue = static_cast<OptionalValue const&>(**portField);
    long long port = 0;
    std::list<Tirn::BaseMessage> none;
    CHECK(portValue.has_value() && DataValue::Value<long long>(portValue.value(), port, none));
    CHECK(port == 5696);
    long long number = 0;
    CHECK(DataValue::ToPrimitive<long long>(DataValue::Create<std::string>("+443"), number, none));
    CHECK(number == 443);
  }
  CHECK(!ok);
  CHECK(messages.size() == 1);
  CHECK(messages.back().id() == Tirn::MessageIds::kFieldMissing);
  CHECK((messages.back().args() ==
         Args{"protocol", "com.ostrel.nox.trusted_infrastructure.network_address"}));
  {
    std::list<Tirn::BaseMessage> more;
    long long unused = 0;
    CHECK(!DataValue::Value<long long>(hostField, unused, more));
    CHECK(more.size() == 1 && more.front().id() == Tirn::MessageIds::kWrongKind);
    CHECK(!DataValue::ToPrimitive<long long>(DataValue::Create<std::string>("x8"), unused, more));
    CHECK(more.back().id() == Tirn::MessageIds::kParseFailed);
  }

  std::string printed = ToDebugString(value);
  bool same = Equal(value, value);
  CHECK(printed ==
        "com.ostrel.nox.trusted_infrastructure.network_address{hostname: \"kms.example.org\", "
        "port: optional(5696)}");
  CHECK(same);
  CHECK(ToDebugString(chain) == "[\"-----BEGIN CERTIFICATE-----\"]");

  // [definitions]
  DataDefinition::FieldMap fields;
  fields["hostname"] = DataDefinition::Create<std::string>();
  fields["port"] = OptionalDefinition::GetInstance(DataDefinition::Create<long long>());
  DataDefinitionPtr definition = StructDefinition::GetInstance(
      "com.ostrel.nox.trusted_infrastructure.network_address", fields);

  // The same definition, described from the generated native type:
  DataDefinitionPtr described = DescribeType<Ti::NetworkAddress>();
  // ToDebugString(described): "com.ostrel.nox.trusted_infrastructure.network_address{
  //                               hostname: string, port: optional(integer)}"
  // [definitions]
  CHECK(ToDebugString(described) == ToDebugString(definition));
  CHECK(ToDebugString(described) ==
        "com.ostrel.nox.trusted_infrastructure.network_address{hostname: string, "
        "port: optional(integer)}");

  // [validation]
  std::list<Tirn::BaseMessage> problems;
  bool valid = Validate(definition, value, problems);  // true

  auto lenient = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
  lenient->SetField("hostname", DataValue::Create<std::string>("kms.example.org"));
  lenient->SetField("port", DataValue::Create<std::string>("x8"));      // a string for an integer
  lenient->SetField("colour", DataValue::Create<std::string>("blue"));  // a field it does not name
  bool admitted = Validate(definition, lenient, problems);  // true; the native side rejects "x8"

  ValidationOptions strict;  // what a server applies to an operation's input
  strict.rejectUnknownFields = true;
  bool refused = !Validate(definition, lenient, problems, strict);
  // problems.back(): id "tirn.validation.unexpected.field", args {"colour"},
  //                  text "colour: the field is not part of the definition."
  // [validation]
  CHECK(valid);
  CHECK(admitted);
  CHECK(refused);
  CHECK(problems.size() == 1);
  CHECK(problems.back().id() == Tirn::MessageIds::kValidationUnexpectedField);
  CHECK(problems.back().args() == Args{"colour"});
  CHECK(problems.back().defaultMessage() == "colour: the field is not part of the definition.");
  {
    // Required fields must be present; an optional may arrive bare.
    std::list<Tirn::BaseMessage> missingField;
    auto broken = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
    broken->SetField("port", DataValue::Create<long long>(5696));
    CHECK(!Validate(definition, broken, missingField));
    CHECK(missingField.size() == 1);
    CHECK(missingField.front().id() == Tirn::MessageIds::kValidationMissingField);
    CHECK(missingField.front().args() == Args{"hostname"});
    CHECK(missingField.front().defaultMessage() == "hostname: a required field is missing.");
  }
  {
    // Field paths name the offending field from the top.
    std::list<Tirn::BaseMessage> nested;
    DataDefinition::FieldMap listFields;
    listFields["address"] = ListDefinition::GetInstance(definition);
    auto filter = StructDefinition::GetInstance("filter", listFields);
    auto filterValue = StructValue::GetInstance("filter");
    auto addresses = ListValue::GetInstance(ListValue::LIST);
    addresses->Append(value);
    addresses->Append(DataValue::Create<long long>(7));
    filterValue->SetField("address", addresses);
    CHECK(!Validate(filter, filterValue, nested));
    CHECK(nested.size() == 1);
    CHECK(nested.front().id() == Tirn::MessageIds::kValidationWrongKind);
    CHECK((nested.front().args() == Args{"address[1]", "structure", "integer"}));
    // A secret may arrive as plain text: the native side takes the text as the secret.
    std::list<Tirn::BaseMessage> secretProblems;
    CHECK(Validate(DataDefinition::Create<Tirn::SecretString>(),
                   DataValue::Create<std::string>("hunter2"), secretProblems));
    // A field that holds null is refused, even where an optional is defined.
    auto holdsNull = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
    holdsNull->SetField("hostname", DataValue::Create<std::string>("kms.example.org"));
    holdsNull->SetField("port", nullptr);
    CHECK(!Validate(definition, holdsNull, secretProblems));
    CHECK((secretProblems.front().args() == Args{"port", "optional", "null"}));
    // An empty string stands for an empty optional or list, and for a structure without
    // fields, whose required fields are then missing.
    std::list<Tirn::BaseMessage> none;
    auto emptyPort = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
    emptyPort->SetField("hostname", DataValue::Create<std::string>("kms.example.org"));
    emptyPort->SetField("port", DataValue::Create<std::string>(""));
    CHECK(Validate(definition, emptyPort, none));
    CHECK(Validate(ListDefinition::GetInstance(definition), DataValue::Create<std::string>(""),
                   none));
    CHECK(none.empty());
    std::list<Tirn::BaseMessage> noHost;
    CHECK(!Validate(definition, DataValue::Create<std::string>(""), noHost));
    CHECK((noHost.front().args() == Args{"hostname"}));
  }

  // A million levels: nothing recurses, nothing overflows the stack.
  DataValuePtr deep = DataValue::Create<long long>(1);
  DataValuePtr twin = DataValue::Create<long long>(1);
  DataDefinitionPtr deepDefinition = DataDefinition::Create<long long>();
  for (int level = 0; level < 1000000; ++level) {
    auto wrapper = OptionalValue::GetInstance();
    wrapper->value(deep);
    deep = wrapper;
    auto twinWrapper = OptionalValue::GetInstance();
    twinWrapper->value(twin);
    twin = twinWrapper;
    deepDefinition = OptionalDefinition::GetInstance(deepDefinition);
  }
  std::list<Tirn::BaseMessage> deepProblems;
  bool deepValid = Validate(deepDefinition, deep, deepProblems);
  bool deepEqual = Equal(deep, twin);
  std::string deepText = ToDebugString(deep);  // "optional(optional(..."
  deep.reset();                                // destroyed in a loop
  twin.reset();
  deepDefinition.reset();
  CHECK(deepValid);
  CHECK(deepEqual);
  CHECK(deepText.size() == 1000000 * (sizeof("optional()") - 1) + 1);

  if (failures == 0) std::printf("values: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
