// Apps::Cli: readable descriptions of the package's operations, from the operation table and
// the definitions alone.
//
// DescribeOperation prints an operation's input fields, its output and its declared errors,
// one field per line with its kind ("optional set of string", "structure <name>"), nested
// structures indented below their field. A structure is expanded once: met again (a recursive
// reference, or the same structure in another place) it prints by name. With the operation's
// annotations an enumeration field shows its known names ("enumeration (NATIVE,
// TRUST_AUTHORITY)") and a union case the tag values that make it present ("(only when type
// is NATIVE)"); the operation's description, and each field's (or, without one, that of the
// structure it expands), follow their line, indented past the fields below it. Iterative: any
// depth is fine.
//
//   std::cout << Apps::Cli::ListOperations(table);
//   std::cout << Apps::Cli::DescribeOperation(*table.FindByService("kms.providers", "get"));
#ifndef APPS_CLI_DESCRIBE_H_
#define APPS_CLI_DESCRIBE_H_

#include <string>

#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/definition_annotations.h"
#include "tirn/runtime/call/operation_table.h"

namespace Apps {
namespace Cli {

// One line per operation, "<service> <operation>", in the table's order.
std::string ListOperations(Tirn::Core::OperationTable const& table);

// The input, output and errors of `operation`, with its annotations when it has them. (As
// JSON, an operation is described by Tirn::Json::EncodeOperation, as GET /v1/operations does.)
std::string DescribeOperation(Tirn::Core::OperationDescriptor const& operation);

// The same as JSON, for scripts: an array of {"service", "operation"}.
std::string ListOperationsJson(Tirn::Core::OperationTable const& table);

// `definition` as lines indented by `indent` spaces; `label` (a field name) starts the first
// line unless empty. `annotations`, when given, name enumerations and union-case values.
std::string DescribeDefinition(Tirn::Data::DataDefinitionPtr const& definition,
                               std::string const& label, int indent,
                               Tirn::Data::DefinitionAnnotations const* annotations = nullptr);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_DESCRIBE_H_
