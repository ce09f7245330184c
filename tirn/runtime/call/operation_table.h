// Tirn::Core::OperationTable: every operation of a package, for code that handles operations
// it does not know at compile time (network transports, generic command-line clients).
//
// Each generated package exports one table, in the order of its description:
//
//   for (auto const& operation : Com::Ostrel::Nox::TrustedInfrastructure::Operations().operations())
//     std::cout << operation.serviceName << " " << operation.operationName << "\n";
//   auto const* get = table.Find("com.ostrel.nox.trusted_infrastructure.kms.providers", "get");
//   Tirn::Data::DataDefinitionPtr const& input = get->input;
//
// A generated table also carries the package's OpenAPI 3.1 document (JSON), which
// Tirn::Http::Server serves at GET /v1/openapi.json, and the annotations of its structures:
// the names of each enumeration field and the tag values of each union case, which the
// definitions cannot hold (tirn/runtime/value/definition_annotations.h).
//
//   auto const* names = table.annotations().EnumerationNames(
//       "com.ostrel.nox.trusted_infrastructure.kms.providers.info", "type");  // NATIVE, ...
//   // An operation's own: those of the structures its definitions hold, its input's included.
//   Tirn::Data::DefinitionAnnotations const& mine = *get->annotations;
//
// A descriptor's functions build the definitions anew on every call, as the generated methods
// do; the table builds them once, when it is made, and keeps them in the descriptor (`input`,
// `output`, `errors`) beside the call's identifier (`method`), so that a transport handling
// many calls builds nothing per call. Read the definitions there.
//
// A table can also be made from definitions already built, such as those a client reads from a
// server's GET /v1/operations (tirn/json/definition.h): its descriptors have no functions.
//
//   std::vector<Tirn::Core::OperationDefinitions> read = ...;
//   auto table = Tirn::Core::OperationTable::FromDefinitions("", std::move(read));
//
// A table is immutable and may be read from any thread; copies share what they point at.
#ifndef TIRN_RUNTIME_CALL_OPERATION_TABLE_H_
#define TIRN_RUNTIME_CALL_OPERATION_TABLE_H_

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/definition_annotations.h"

namespace Tirn {
namespace Core {

// One operation: where it lives, its wire names, and its definitions.
struct TIRN_CORE_EXPORT OperationDescriptor {
  using DefinitionFunction = Data::DataDefinitionPtr (*)();
  using ErrorsFunction = std::list<Data::DataDefinitionPtr> (*)();
  using AnnotationsFunction = Data::StructureAnnotations (*)();

  OperationDescriptor(char const* interfaceId, char const* service, char const* operation,
                      DefinitionFunction makeInput, DefinitionFunction makeOutput,
                      ErrorsFunction makeErrors, AnnotationsFunction makeInputAnnotations = nullptr,
                      char const* operationDescription = "",
                      char const* serviceDescriptionText = "")
      : interfaceName(interfaceId),
        serviceName(service),
        operationName(operation),
        description(operationDescription),
        serviceDescription(serviceDescriptionText),
        inputDefinition(makeInput),
        outputDefinition(makeOutput),
        errorDefinitions(makeErrors),
        inputAnnotations(makeInputAnnotations) {}

  // The interface identifier ("com.ostrel.nox.trusted_infrastructure.kms.providers").
  char const* interfaceName;
  // The service's name within its package ("kms.providers").
  char const* serviceName;
  // The operation's wire name ("get").
  char const* operationName;
  // What the operation does, for people: plain text, paragraphs separated by an empty line;
  // empty when the package's description says nothing.
  char const* description;
  // What the operation's service is for, in the same form; shared by the service's operations.
  char const* serviceDescription;
  DefinitionFunction inputDefinition;
  DefinitionFunction outputDefinition;
  // The declared errors, in a fixed order.
  ErrorsFunction errorDefinitions;
  // The annotations of the input's own fields (its enumeration parameters, the parameters'
  // descriptions); null when it has none. Every operation input shares one wire name, so these
  // cannot live in the package's.
  AnnotationsFunction inputAnnotations;

  // What the functions above build, built once by the table that holds the descriptor (null
  // in a descriptor outside a table).
  Data::DataDefinitionPtr input;
  Data::DataDefinitionPtr output;
  std::list<Data::DataDefinitionPtr> errors;
  // The identifier a call of the operation carries.
  std::shared_ptr<MethodIdentifier const> method;
  // The annotations of the structures that `input`, `output` and `errors` hold, the input's own
  // under the input's name; null outside a table.
  std::shared_ptr<Data::DefinitionAnnotations const> annotations;
};

// One operation known by its built definitions rather than by generated functions.
struct OperationDefinitions {
  std::string interfaceName;
  std::string serviceName;
  std::string operationName;
  std::string description;
  std::string serviceDescription;
  Data::DataDefinitionPtr input;
  Data::DataDefinitionPtr output;
  std::list<Data::DataDefinitionPtr> errors;
  // The annotations of the structures the definitions hold, the input's own included.
  Data::DefinitionAnnotations annotations;
};

class TIRN_CORE_EXPORT OperationTable {
 public:
  // Builds every operation's definitions, identifier and annotations once. `openApiDocument`
  // is the package's OpenAPI document, empty when there is none; `annotations` those of the
  // package's structures.
  OperationTable(std::string package, std::vector<OperationDescriptor> operations,
                 std::string openApiDocument = {}, Data::DefinitionAnnotations annotations = {});

  // A table of operations whose definitions are built already; the descriptors' names point
  // into storage the table (and its copies) keep alive, and their functions are null.
  static OperationTable FromDefinitions(std::string package,
                                        std::vector<OperationDefinitions> operations);

  // The package name ("com.ostrel.nox.trusted_infrastructure").
  std::string const& package() const { return package_; }
  std::vector<OperationDescriptor> const& operations() const { return operations_; }
  // The package's OpenAPI 3.1 document as JSON text; empty when the table has none.
  std::string const& openApiDocument() const { return openApiDocument_; }
  // The annotations of the package's structures, by wire name.
  Data::DefinitionAnnotations const& annotations() const { return annotations_; }

  // The operation of that interface and wire name, or null; the first of that name when the
  // table lists it twice. A hash lookup: no name is copied.
  OperationDescriptor const* Find(boost::string_view interfaceName,
                                  boost::string_view operationName) const;
  // The same by the service's short name ("kms.providers"), or null.
  OperationDescriptor const* FindByService(boost::string_view serviceName,
                                           boost::string_view operationName) const;

 private:
  // A pair of names (an interface's or a service's, and an operation's), viewing the
  // descriptors' own strings, which live as long as the table and its copies.
  struct Names {
    std::string_view owner;
    std::string_view operation;
    bool operator==(Names const& other) const {
      return owner == other.owner && operation == other.operation;
    }
  };
  struct NamesHash {
    std::size_t operator()(Names const& names) const {
      std::size_t const owner = std::hash<std::string_view>()(names.owner);
      return owner ^ (std::hash<std::string_view>()(names.operation) + 0x9e3779b97f4a7c15ULL +
                      (owner << 6) + (owner >> 2));
    }
  };
  using Index = std::unordered_map<Names, std::size_t, NamesHash>;
  static OperationDescriptor const* Lookup(Index const& index,
                                           std::vector<OperationDescriptor> const& operations,
                                           boost::string_view owner,
                                           boost::string_view operation);

  std::string package_;
  std::vector<OperationDescriptor> operations_;
  std::string openApiDocument_;
  Data::DefinitionAnnotations annotations_;
  // The names of a table made from definitions, which its descriptors point into.
  std::shared_ptr<std::vector<OperationDefinitions> const> named_;
  // Positions in `operations_` by (interface, operation) and by (service, operation).
  Index byInterface_;
  Index byService_;
};

}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_OPERATION_TABLE_H_
