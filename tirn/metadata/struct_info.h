// Structure metadata: which resource the identifiers in a structure's fields name.
//
// The wire type of an identifier is a plain string, so its definition does not say what it
// identifies. For each structure with identifier fields the package exports a factory,
// Tirn::Metadata::StructInfo::Create<T>(), whose record maps each such field to the resource
// type of its identifiers. The library itself never reads these records.
//
//   auto info = Tirn::Metadata::StructInfo::Create<Kms::ProvidersSvc::Summary>();
//   info->fields.at("provider")->resourceType;  // "com.ostrel.nox.trusted_infrastructure.kms.provider"
#ifndef TIRN_METADATA_STRUCT_INFO_H_
#define TIRN_METADATA_STRUCT_INFO_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"

namespace Tirn {
namespace Metadata {

// The record of one identifier field. Records are immutable once built.
struct TIRN_BINDINGS_EXPORT FieldInfo {
  using FieldMap = std::map<std::string, std::shared_ptr<FieldInfo const>>;

  // Reserved for the metadata model; zero here.
  std::int64_t id = 0;
  // Reserved for the metadata model; false here.
  bool flag = false;
  // The resource type of the identifiers the field carries.
  std::string resourceType;
  // Records of nested fields; empty here.
  FieldMap fields;
  // Reserved for the metadata model; absent here.
  boost::optional<std::string> documentation;

  FieldInfo() = default;
  explicit FieldInfo(std::string resourceTypeName) : resourceType(std::move(resourceTypeName)) {}

  // A new record for a field carrying identifiers of `resourceType`.
  static std::shared_ptr<FieldInfo const> ForResource(std::string const& resourceType);
};

// The record of one structure.
struct TIRN_BINDINGS_EXPORT StructInfo {
  using FieldMap = FieldInfo::FieldMap;

  // Reserved for the metadata model; zero here.
  std::int64_t id = 0;
  // The metadata name, e.g. "com.ostrel.nox.trusted_infrastructure.kms.Providers.Summary".
  std::string name;
  // Reserved for the metadata model; absent here.
  boost::optional<std::string> documentation;
  // One record per identifier field, keyed by wire field name.
  FieldMap fields;

  StructInfo() = default;
  StructInfo(std::string structureName, FieldMap fieldRecords)
      : name(std::move(structureName)), fields(std::move(fieldRecords)) {}

  // A new record for T; exported for every structure of the package with identifier fields.
  template <class T>
  static std::shared_ptr<StructInfo> Create();
};

}  // namespace Metadata
}  // namespace Tirn

#endif  // TIRN_METADATA_STRUCT_INFO_H_
