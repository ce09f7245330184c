#include "apps/cli/describe.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "apps/cli/output.h"
#include "tirn/text/text.h"

namespace Apps {
namespace Cli {

namespace {

using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DefinitionAnnotations;
using Tirn::Data::StructDefinition;

// What the annotations say of one field.
struct FieldNotes {
  std::vector<std::string> const* enumeration = nullptr;
  std::map<std::string, std::string> const* meanings = nullptr;  // of the enumeration's names
  Tirn::Data::UnionCaseAnnotation const* unionCase = nullptr;
  std::string const* description = nullptr;
};

FieldNotes NotesOf(DefinitionAnnotations const* annotations, std::string const* structure,
                   std::string const& field) {
  FieldNotes notes;
  if (annotations && structure) {
    notes.enumeration = annotations->EnumerationNames(*structure, field);
    notes.meanings = annotations->EnumerationDescriptions(*structure, field);
    notes.unionCase = annotations->UnionCase(*structure, field);
    notes.description = annotations->FieldDescription(*structure, field);
  }
  return notes;
}

// A description below the line it belongs to, indented past the fields that follow it: one
// line per paragraph.
void AppendDescription(std::string const& description, int indent, std::string& out) {
  std::size_t start = 0;
  while (start < description.size()) {
    std::size_t end = description.find("\n\n", start);
    if (end == std::string::npos) end = description.size();
    out += std::string(std::min(indent, kMaxIndent), ' ') +
           description.substr(start, end - start) + "\n";
    start = end + 2;
  }
}

using Tirn::Text::Join;

// The kind of a definition in words, seen through its wrappers; `structure` is set to the
// structure whose fields belong below the line, if any.
std::string Summarize(DataDefinitionPtr definition, StructDefinition const** structure,
                      FieldNotes const& notes = {}) {
  std::string text;
  *structure = nullptr;
  std::string note;
  while (definition) {
    auto const kind = definition->GetType().kind();
    if (kind == DataType::OPTIONAL) {
      text += "optional ";
      definition = static_cast<Tirn::Data::OptionalDefinition const&>(*definition).element();
    } else if (kind == DataType::LIST) {
      auto const& list = static_cast<Tirn::Data::ListDefinition const&>(*definition);
      text += list.isSet() ? "set of " : "list of ";
      definition = list.element();
    } else if (kind == DataType::UNION_CASE) {
      auto const& unionCase = static_cast<Tirn::Data::UnionCaseDefinition const&>(*definition);
      note = notes.unionCase && !notes.unionCase->values.empty()
                 ? " (only when " + unionCase.tagName() + " is " +
                       Join(notes.unionCase->values, " or ") + ")"
                 : " (only for some values of " + unionCase.tagName() + ")";
      definition = unionCase.element();
    } else if (kind == DataType::STRUCTURE_REF) {
      text += "structure " + static_cast<Tirn::Data::StructRefDefinition const&>(*definition).name() +
              " (recursive, see above)";
      return text + note;
    } else if (kind == DataType::STRUCTURE || kind == DataType::ERROR) {
      auto const& inner = static_cast<StructDefinition const&>(*definition);
      text += std::string(definition->GetType().name()) + " " + inner.name();
      *structure = &inner;
      return text + note;
    } else if (kind == DataType::STRING && notes.enumeration) {
      return text + "enumeration (" + Join(*notes.enumeration, ", ") + ")" + note;
    } else {
      return text + definition->GetType().name() + note;
    }
  }
  return text + "(undefined)" + note;
}

// Appends the lines of `definition`. A structure named in `described` prints by name only;
// each one expanded here is added to it.
void Describe(DataDefinitionPtr const& definition, std::string const& label, int indent,
              bool fieldsOnly, DefinitionAnnotations const* annotations,
              std::set<std::string>& described, std::string& out) {
  struct Frame {
    std::string label;
    DataDefinitionPtr definition;
    int indent;
    std::string const* parent;  // the structure whose field this is, or null
  };
  std::vector<Frame> stack;
  auto pushFields = [&stack](StructDefinition const& structure, int fieldIndent) {
    auto const& fields = structure.fields();
    for (auto field = fields.rbegin(); field != fields.rend(); ++field) {
      stack.push_back({field->first, field->second, fieldIndent, &structure.name()});
    }
  };
  if (fieldsOnly) {
    StructDefinition const* structure = nullptr;
    Summarize(definition, &structure);
    if (!structure || structure->fields().empty()) {
      out += std::string(indent, ' ') + "(no fields)\n";
      return;
    }
    described.insert(structure->name());
    pushFields(*structure, indent);
  } else {
    stack.push_back({label, definition, indent, nullptr});
  }
  while (!stack.empty()) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    StructDefinition const* structure = nullptr;
    FieldNotes const notes = NotesOf(annotations, frame.parent, frame.label);
    std::string kind = Summarize(frame.definition, &structure, notes);
    out += std::string(std::min(frame.indent, kMaxIndent), ' ');
    if (!frame.label.empty()) out += frame.label + ": ";
    bool const expanded = structure && described.insert(structure->name()).second;
    out += kind + (structure && !expanded ? " (see above)\n" : "\n");
    // The field's own description; without one, that of the structure expanded here.
    std::string const* description = notes.description;
    if (!description && expanded && annotations) {
      auto const* own = annotations->Find(structure->name());
      if (own && !own->description.empty()) description = &own->description;
    }
    if (description) AppendDescription(*description, frame.indent + 4, out);
    if (notes.enumeration && notes.meanings) {
      for (std::string const& name : *notes.enumeration) {
        auto meaning = notes.meanings->find(name);
        if (meaning != notes.meanings->end()) {
          AppendDescription(name + ": " + meaning->second, frame.indent + 4, out);
        }
      }
    }
    if (expanded) pushFields(*structure, frame.indent + 2);
  }
}

}  // namespace

std::string ListOperations(Tirn::Core::OperationTable const& table) {
  std::string out;
  for (auto const& operation : table.operations()) {
    out += std::string(operation.serviceName) + " " + operation.operationName + "\n";
  }
  return out;
}

std::string DescribeDefinition(DataDefinitionPtr const& definition, std::string const& label,
                               int indent, DefinitionAnnotations const* annotations) {
  std::string out;
  std::set<std::string> described;
  Describe(definition, label, indent, false, annotations, described, out);
  return out;
}

std::string DescribeOperation(Tirn::Core::OperationDescriptor const& operation) {
  std::string out = std::string(operation.serviceName) + " " + operation.operationName + " (" +
                    operation.interfaceName + ")\n";
  AppendDescription(operation.description, 2, out);
  if (*operation.serviceDescription) {
    out += std::string("service ") + operation.serviceName + ":\n";
    AppendDescription(operation.serviceDescription, 2, out);
  }
  std::set<std::string> described;
  DefinitionAnnotations const* annotations = operation.annotations.get();
  out += "input:\n";
  Describe(operation.input, "", 2, true, annotations, described, out);
  out += "output:\n";
  Describe(operation.output, "", 2, false, annotations, described, out);
  out += "errors:\n";
  auto const& errors = operation.errors;
  if (errors.empty()) out += "  (none)\n";
  for (auto const& error : errors) Describe(error, "", 2, false, annotations, described, out);
  return out;
}

std::string ListOperationsJson(Tirn::Core::OperationTable const& table) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
  json.StartArray();
  for (auto const& operation : table.operations()) {
    json.StartObject();
    json.Key("service");
    json.String(operation.serviceName);
    json.Key("operation");
    json.String(operation.operationName);
    json.EndObject();
  }
  json.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace Cli
}  // namespace Apps
