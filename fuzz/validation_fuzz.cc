// Fuzz target for validation against the package's own definitions.
//
// The first byte picks one of the package's types: a structure, an operation's input or an
// operation's result. The rest builds a value guided by that type's definition: at each place
// a byte either follows the definition (a structure with its fields, each present or absent,
// an optional bare, wrapped, empty or as an empty string, a list of a few elements, a
// primitive as itself or as a string that may or may not parse, a secret as a secret or as
// text) or puts an arbitrary tree there instead (fuzz/value_tree.h). Validation and conversion
// into the native type must then agree: whatever conversion accepts, validation accepts
// (except where a union case contradicts its tag, which only validation checks, and the
// required fields of a structure given as the empty string, which conversion fills with
// defaults and validation finds missing), and whatever
// validation accepts and conversion refuses fails on a string that does not parse as the
// primitive it stands for.
//
// Guided bytes: a byte of 0xf0 or more puts an arbitrary tree at that place. Otherwise, for a
// structure field byte % 8 == 7 leaves it out and == 6 adds an unknown field after it; an
// optional or union case is wrapped, bare, empty or the empty string by byte % 4; a list has
// byte % 4 elements, or is given by one string when bit 0x40 is set; a primitive takes its
// form from byte % 4 and its text from the vocabulary. Bytes that run out read as zero, which
// follows the definition, so every input ends.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "fuzz/value_tree.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/validation.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace KmsServices = TI::Kms::ServicesSvc;
namespace AttServices = TI::Attestation::ServicesSvc;
namespace Reports = TI::Attestation::ReportsSvc;

using Tirn::BaseMessage;
using Tirn::Data::DataDefinition;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Messages = std::list<BaseMessage>;

constexpr std::size_t kMaxGuided = 5000;

[[noreturn]] void Fail(char const* what, Messages const& messages) {
  std::fprintf(stderr, "validation_fuzz: %s\n", what);
  for (auto const& message : messages) {
    std::fprintf(stderr, "  %s\n", message.defaultMessage().c_str());
  }
  std::abort();
}

FuzzValues::Vocabulary const& Words() {
  static FuzzValues::Vocabulary const words{
      {"", "NATIVE", "TRUST_AUTHORITY", "REPORTING_JWT", "_UNKNOWN", "x8", "8443", "true",
       "false", "-1", "+0", "9223372036854775808", "kms.example", "e30.c2ln", "native"},
      {"hostname", "port", "cert_chain", "key_id", "key_derivation_key", "type", "native_info",
       "native_spec", "provider", "providers", "available", "types", "details", "spec",
       "service", "services", "address", "trusted_CA", "group", "filter", "filter_spec",
       "report", "reporting_jwt", "jwt", "zz_unknown", ""},
      {"com.ostrel.nox.trusted_infrastructure.network_address",
       "com.ostrel.nox.trusted_infrastructure.kms.providers.info", "x"},
      {}};
  return words;
}

// One of the package's types: its definition, and its conversion into its native type.
struct Type {
  char const* name;
  DataDefinitionPtr (*definition)();
  bool (*convert)(DataValuePtr const& value, Messages& messages);
};

template <class T>
bool Convert(DataValuePtr const& value, Messages& messages) {
  using Tirn::Data::ValueToNativeAdapter;
  T native{};
  return ValueToNativeAdapter::Adapt(value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native),
                                     &native, messages);
}

template <class T>
Type Structure(char const* name) {
  return {name, [] { return Tirn::Data::DescribeType<T>(); }, &Convert<T>};
}

template <class M>
void AddOperation(std::vector<Type>& types, char const* name) {
  types.push_back({name, &M::inputDef, &Convert<typename M::Input>});
  types.push_back({name, &M::outputDef, &Convert<typename M::Result>});
}

std::vector<Type> const& Types() {
  static std::vector<Type> const types = [] {
    std::vector<Type> all = {
        Structure<TI::NetworkAddress>("network_address"),
        Structure<TI::X509CertChain>("x509_cert_chain"),
        Structure<Providers::NativeProviderInfo>("kms.providers.native_provider_info"),
        Structure<Providers::Info>("kms.providers.info"),
        Structure<Providers::Summary>("kms.providers.summary"),
        Structure<Providers::FilterSpec>("kms.providers.filter_spec"),
        Structure<Providers::NativeProviderCreateSpec>("kms.providers.native_provider_create_spec"),
        Structure<Providers::CreateSpec>("kms.providers.create_spec"),
        Structure<Providers::NativeProviderUpdateSpec>("kms.providers.native_provider_update_spec"),
        Structure<Providers::UpdateSpec>("kms.providers.update_spec"),
        Structure<KmsServices::Summary>("kms.services.summary"),
        Structure<KmsServices::Info>("kms.services.info"),
        Structure<KmsServices::CreateSpec>("kms.services.create_spec"),
        Structure<KmsServices::FilterSpec>("kms.services.filter_spec"),
        Structure<AttServices::Summary>("attestation.services.summary"),
        Structure<AttServices::Info>("attestation.services.info"),
        Structure<AttServices::CreateSpec>("attestation.services.create_spec"),
        Structure<AttServices::FilterSpec>("attestation.services.filter_spec"),
        Structure<Reports::ReportingJwt>("attestation.reports.reporting_jwt"),
        Structure<Reports::Summary>("attestation.reports.summary"),
    };
    AddOperation<Providers::ListMethod>(all, "kms.providers.list");
    AddOperation<Providers::CreateMethod>(all, "kms.providers.create");
    AddOperation<Providers::UpdateMethod>(all, "kms.providers.update");
    AddOperation<Providers::DeleteMethod>(all, "kms.providers.delete");
    AddOperation<Providers::GetMethod>(all, "kms.providers.get");
    AddOperation<KmsServices::ListMethod>(all, "kms.services.list");
    AddOperation<KmsServices::GetMethod>(all, "kms.services.get");
    AddOperation<KmsServices::CreateMethod>(all, "kms.services.create");
    AddOperation<KmsServices::DeleteMethod>(all, "kms.services.delete");
    AddOperation<AttServices::ListMethod>(all, "attestation.services.list");
    AddOperation<AttServices::GetMethod>(all, "attestation.services.get");
    AddOperation<AttServices::CreateMethod>(all, "attestation.services.create");
    AddOperation<AttServices::DeleteMethod>(all, "attestation.services.delete");
    AddOperation<Reports::ListMethod>(all, "attestation.reports.list");
    return all;
  }();
  return types;
}

// Builds a value for a definition from the bytes (see above), with an explicit stack of places
// still to fill: slots never move while their value is built.
class GuidedBuilder {
 public:
  explicit GuidedBuilder(FuzzValues::Reader& reader) : in_(reader) {}

  DataValuePtr Build(DataDefinition const* definition) {
    DataValuePtr root;
    pending_.push_back({definition, &root});
    for (std::size_t guided = 0; !pending_.empty() && guided < kMaxGuided; ++guided) {
      Place place = pending_.back();
      pending_.pop_back();
      Fill(place);
    }
    return root;
  }

 private:
  struct Place {
    DataDefinition const* definition;
    DataValuePtr* slot;
  };

  std::string const& Word() { return FuzzValues::Vocabulary::Pick(Words().strings, in_.Byte()); }

  void Fill(Place const& place) {
    using namespace Tirn::Data;
    DataDefinition const* definition = place.definition;
    std::uint8_t const byte = in_.Byte();
    if (byte >= 0xf0 || !definition) {
      *place.slot = FuzzValues::TreeBuilder(in_, Words(), 500, 5000).Build();
      return;
    }
    while (definition->GetType().kind() == DataType::STRUCTURE_REF) {
      auto target = static_cast<StructRefDefinition const*>(definition)->target();
      definition = target.get();  // the tree holding it outlives the run
      if (!definition) return;
    }
    switch (definition->GetType().kind()) {
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        auto const* structure = static_cast<StructDefinition const*>(definition);
        auto value = StructValue::GetInstance(structure->name());
        // Fields are filled last to first, so that their bytes come in field order.
        std::vector<Place> fields;
        for (auto const& field : structure->fields()) {
          std::uint8_t const choice = in_.Byte();
          if (choice % 8 == 7) continue;
          fields.push_back({field.second.get(), value->FieldSlot(field.first)});
          if (choice % 8 == 6) value->SetField("zz_unknown", StringValue::GetInstance(Word()));
        }
        pending_.insert(pending_.end(), fields.rbegin(), fields.rend());
        *place.slot = std::move(value);
        return;
      }
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        DataDefinition const* element =
            static_cast<WrappingDefinition const*>(definition)->element().get();
        switch (byte % 4) {
          case 0: {
            auto optional = OptionalValue::GetInstance();
            pending_.push_back({element, optional->value(nullptr)});
            *place.slot = std::move(optional);
            return;
          }
          case 1:
            pending_.push_back({element, place.slot});
            return;
          case 2:
            *place.slot = OptionalValue::GetInstance();
            return;
          default:
            *place.slot = StringValue::GetInstance("");
            return;
        }
      }
      case DataType::LIST: {
        DataDefinition const* element =
            static_cast<ListDefinition const*>(definition)->element().get();
        if (byte & 0x40) {
          *place.slot = StringValue::GetInstance(Word());
          return;
        }
        auto list = ListValue::GetInstance(ListValue::LIST);
        std::size_t const count = byte % 4;
        DataValuePtr* slots = list->AppendSlots(count);
        for (std::size_t i = count; i-- > 0;) pending_.push_back({element, slots + i});
        *place.slot = std::move(list);
        return;
      }
      case DataType::INTEGER:
        *place.slot = byte % 4 == 0 ? DataValuePtr(IntegerValue::GetInstance(byte))
                                    : StringValue::GetInstance(Word());
        return;
      case DataType::BOOLEAN:
        *place.slot = byte % 4 == 0 ? DataValuePtr(BooleanValue::GetInstance(byte & 8))
                                    : StringValue::GetInstance(Word());
        return;
      case DataType::SECRET:
        *place.slot = byte % 2 == 0 ? DataValuePtr(SecretValue::GetInstance(Tirn::SecretString(Word())))
                                    : StringValue::GetInstance(Word());
        return;
      case DataType::VOID:
        *place.slot = byte % 2 == 0 ? DataValuePtr(VoidValue::GetInstance())
                                    : StringValue::GetInstance(Word());
        return;
      case DataType::DOUBLE:
        *place.slot = DoubleValue::GetInstance(byte / 4.0);
        return;
      default:  // strings, enumerations among them
        *place.slot = StringValue::GetInstance(Word());
        return;
    }
  }

  FuzzValues::Reader& in_;
  std::vector<Place> pending_;
};

bool IsUnionProblem(BaseMessage const& message) {
  return message.id() == Tirn::MessageIds::kValidationUnionCaseMissing ||
         message.id() == Tirn::MessageIds::kValidationUnionCaseUnexpected;
}

// Whether an empty string stands somewhere in `value` (a bounded, iterative walk): conversion
// reads one given for a structure as a default structure, while validation reads it as a
// structure without fields, whose required fields are missing.
bool HoldsEmptyString(DataValuePtr const& value) {
  std::vector<Tirn::Data::DataValue const*> pending{value.get()};
  for (std::size_t visited = 0; !pending.empty() && visited < 100000; ++visited) {
    Tirn::Data::DataValue const* at = pending.back();
    pending.pop_back();
    if (!at) continue;
    switch (at->GetType().kind()) {
      case DataType::STRING:
        if (static_cast<Tirn::Data::StringValue const*>(at)->value().empty()) return true;
        break;
      case DataType::OPTIONAL:
        pending.push_back(static_cast<Tirn::Data::OptionalValue const*>(at)->value().get());
        break;
      case DataType::LIST:
        for (auto const& element : static_cast<Tirn::Data::ListValue const*>(at)->elements()) {
          pending.push_back(element.get());
        }
        break;
      default:
        if (at->GetType().IsCompound()) {
          for (auto const& field : static_cast<Tirn::Data::CompoundValue const*>(at)->fields()) {
            pending.push_back(field.second.get());
          }
        }
        break;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  Type const& type = Types()[data[0] % Types().size()];
  // Definitions are built anew on each request; one per type serves every run.
  static std::vector<DataDefinitionPtr> definitions(Types().size());
  DataDefinitionPtr& definition = definitions[data[0] % Types().size()];
  if (!definition) definition = type.definition();

  FuzzValues::Reader reader(data + 1, size - 1);
  DataValuePtr const value = GuidedBuilder(reader).Build(definition.get());

  Messages conversion;
  bool const converts = type.convert(value, conversion);
  Messages validation;
  bool const validates = Tirn::Data::Validate(definition, value, validation);
  if (converts != conversion.empty()) Fail("conversion disagrees with its messages", conversion);
  if (validates != validation.empty()) Fail("validation disagrees with its messages", validation);
  if (converts && !validates) {
    bool const emptyString = HoldsEmptyString(value);
    for (BaseMessage const& problem : validation) {
      bool const missingBehindEmptyString =
          emptyString && problem.id() == Tirn::MessageIds::kValidationMissingField;
      if (!IsUnionProblem(problem) && !missingBehindEmptyString) {
        Fail("validation refuses what conversion accepts", validation);
      }
    }
  }
  if (validates && !converts) {
    std::string const& id = conversion.front().id();
    if (id != Tirn::MessageIds::kParseFailed && id != Tirn::MessageIds::kOutOfRange) {
      Fail("validation accepts what conversion refuses", conversion);
    }
  }
  return 0;
}
