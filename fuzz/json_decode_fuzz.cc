// Fuzz target for the JSON decoder.
//
// The first byte chooses a definition (none, or one structure of the package); the rest is the
// JSON text. Every run must end consistently: success with no message, or failure with at
// least one. A tree decoded without a definition must encode and decode again to an equal
// tree; one decoded with a definition must do the same through that definition. Where the
// definition is a native type's, FromJson must agree with the full path (decode, validate,
// convert), and whatever text the direct reader takes, the full path must take and fill the
// same object.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/json/json.h"
#include "tirn/runtime/value/equal.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataValuePtr;
using Tirn::Data::DescribeType;
using Messages = std::list<Tirn::BaseMessage>;

DataDefinitionPtr Definition(std::uint8_t choice) {
  switch (choice % 8) {
    case 1:
      return DescribeType<TI::NetworkAddress>();
    case 2:
      return DescribeType<TI::Kms::ProvidersSvc::CreateSpec>();
    case 3:
      return DescribeType<TI::Kms::ProvidersSvc::FilterSpec>();
    case 4:
      return DescribeType<TI::Kms::ServicesSvc::Info>();
    case 5:
      return DescribeType<TI::Attestation::ReportsSvc::Summary>();
    case 6:
      return DescribeType<TI::Kms::ProvidersSvc::ListMethod::Result>();
    default:
      return nullptr;
  }
}

void Check(bool condition, char const* what) {
  if (!condition) {
    std::fprintf(stderr, "json_decode_fuzz: %s\n", what);
    std::abort();
  }
}

template <class T>
void CheckNative(std::string const& text) {
  T direct;
  bool const taken =
      Tirn::Json::detail::ReadNative(text, Tirn::Json::detail::ReaderOf<T>::value, &direct);
  Messages messages;
  DataValuePtr value;
  T full;
  bool const fullOk =
      Tirn::Json::Decode(text, DescribeType<T>(), &value, messages) &&
      Tirn::Data::ValueToNativeAdapter::Adapt(
          value, Tirn::Data::ValueToNativeAdapter::AdaptMethod<T>::Get(&full), &full, messages);
  Check(!taken || fullOk, "the direct reader took a text the full path refuses");
  Check(!taken || direct == full, "the direct reader filled another object");
  T viaFromJson;
  Messages fromJsonMessages;
  Check(Tirn::Json::FromJson(text, &viaFromJson, fromJsonMessages) == fullOk,
        "FromJson and the full path disagree");
  Check(fromJsonMessages.size() == messages.size(), "FromJson's messages are not the full path's");
  Check(!fullOk || viaFromJson == full, "FromJson filled another object");
}

void CheckNative(std::uint8_t choice, std::string const& text) {
  switch (choice % 8) {
    case 1:
      return CheckNative<TI::NetworkAddress>(text);
    case 2:
      return CheckNative<TI::Kms::ProvidersSvc::CreateSpec>(text);
    case 3:
      return CheckNative<TI::Kms::ProvidersSvc::FilterSpec>(text);
    case 4:
      return CheckNative<TI::Kms::ServicesSvc::Info>(text);
    case 5:
      return CheckNative<TI::Attestation::ReportsSvc::Summary>(text);
    default:
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  DataDefinitionPtr const definition = Definition(data[0]);
  std::string const text(reinterpret_cast<char const*>(data) + 1, size - 1);
  DataValuePtr value;
  Messages messages;
  bool const decoded = Tirn::Json::Decode(text, definition, &value, messages);
  Check(decoded == messages.empty(), "the verdict and the messages disagree");
  CheckNative(data[0], text);
  if (!decoded) return 0;

  std::string encoded;
  bool const written = Tirn::Json::Encode(value, definition, &encoded, messages);
  // Only a nested optional or a double that no text holds may fail to encode; neither can come
  // out of a decode.
  Check(written && messages.empty(), "a decoded tree does not encode");
  DataValuePtr again;
  Check(Tirn::Json::Decode(encoded, definition, &again, messages), "the encoded text does not decode");
  Check(Tirn::Data::Equal(value, again), "the tree changed through JSON");
  return 0;
}
