// Debug printing of value and definition trees, with explicit work stacks so
// that any depth is fine.
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {
namespace {

using detail::AncestorMark;

void AppendQuoted(std::string& out, std::string const& text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// One step of a printer: either literal text or a node to print, with the mark that finds a
// value below itself (values only).
template <class Node>
struct PrintTask {
  Node const* node;
  boost::string_view text;  // printed as it is when not null
  AncestorMark mark;
};

constexpr char kLoopText[] = "<contains itself>";

// The task that prints `child` of the node `parent` is printing.
PrintTask<DataDefinition> ChildTask(PrintTask<DataDefinition> const&, DataDefinition const* child) {
  return {child, {}, {}};
}
PrintTask<DataValue> ChildTask(PrintTask<DataValue> const& parent, DataValue const* child) {
  PrintTask<DataValue> task{child, {}, {}};
  if (!parent.mark.Down(child, task.mark)) return {nullptr, kLoopText, {}};
  return task;
}

// Schedules "name: field, name: field}" so that the fields print in order.
template <class Node, class Fields>
void PushFields(PrintTask<Node> const& parent, std::vector<PrintTask<Node>>& pending,
                Fields const& fields) {
  pending.push_back({nullptr, "}", {}});
  std::vector<PrintTask<Node>> parts;
  for (auto const& field : fields) {
    if (!parts.empty()) parts.push_back({nullptr, ", ", {}});
    parts.push_back({nullptr, field.first, {}});
    parts.push_back({nullptr, ": ", {}});
    parts.push_back(ChildTask(parent, field.second.get()));
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

// Prints a tree without recursion: `print(task, out, pending)` writes a node's own text and
// schedules its children.
template <class Node, class Print>
std::string PrintTree(Node const* root, Print print) {
  std::string out;
  std::vector<PrintTask<Node>> pending{ChildTask(PrintTask<Node>{nullptr, {}, {}}, root)};
  while (!pending.empty()) {
    PrintTask<Node> task = pending.back();
    pending.pop_back();
    if (task.text.data()) {
      out.append(task.text.data(), task.text.size());
    } else if (!task.node) {
      out += "<null>";
    } else {
      print(task, out, pending);
    }
  }
  return out;
}

}  // namespace

std::string ToDebugString(DataValuePtr const& root) {
  return PrintTree(root.get(), [](PrintTask<DataValue> const& task, std::string& out,
                                  std::vector<PrintTask<DataValue>>& pending) {
    DataValue const* value = task.node;
    switch (value->GetType().kind()) {
      case DataType::VOID:
        out += "void";
        break;
      case DataType::INTEGER:
        out += std::to_string(static_cast<IntegerValue const*>(value)->value());
        break;
      case DataType::DOUBLE: {
        std::ostringstream text;
        text.imbue(std::locale::classic());
        text << static_cast<DoubleValue const*>(value)->value();
        out += text.str();
        break;
      }
      case DataType::BOOLEAN:
        out += static_cast<BooleanValue const*>(value)->value() ? "true" : "false";
        break;
      case DataType::BLOB:
        out += "blob(" + std::to_string(static_cast<BlobValue const*>(value)->value().size()) +
               " bytes)";
        break;
      case DataType::STRING:
        AppendQuoted(out, static_cast<StringValue const*>(value)->value());
        break;
      case DataType::SECRET:
        out += SecretString::kMask;
        break;
      case DataType::OPTIONAL: {
        auto const* optional = static_cast<OptionalValue const*>(value);
        if (!optional->has_value()) {
          out += "optional()";
          break;
        }
        out += "optional(";
        pending.push_back({nullptr, ")", {}});
        pending.push_back(ChildTask(task, optional->value().get()));
        break;
      }
      case DataType::LIST: {
        auto const* list = static_cast<ListValue const*>(value);
        out += list->kind() == ListValue::SET ? "set[" : "[";
        pending.push_back({nullptr, "]", {}});
        auto const& elements = list->elements();
        for (std::size_t i = elements.size(); i-- > 0;) {
          pending.push_back(ChildTask(task, elements[i].get()));
          if (i != 0) pending.push_back({nullptr, ", ", {}});
        }
        break;
      }
      case DataType::ERROR:
      case DataType::STRUCTURE:
      case DataType::DYNAMIC_STRUCTURE: {
        auto const* compound = static_cast<CompoundValue const*>(value);
        if (value->GetType().kind() == DataType::ERROR) out += "error ";
        out += compound->name();
        out += '{';
        PushFields(task, pending, compound->fields());
        break;
      }
      default:
        out += "<unknown>";
        break;
    }
  });
}

std::string ToDebugString(DataDefinitionPtr const& root) {
  return PrintTree(root.get(), [](PrintTask<DataDefinition> const& task, std::string& out,
                                  std::vector<PrintTask<DataDefinition>>& pending) {
    DataDefinition const* definition = task.node;
    DataType type = definition->GetType();
    switch (type.kind()) {
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        auto const* structure = static_cast<StructDefinition const*>(definition);
        if (type.kind() == DataType::ERROR) out += "error ";
        out += structure->name();
        out += '{';
        PushFields(task, pending, structure->fields());
        break;
      }
      case DataType::STRUCTURE_REF:
        out += "ref(" + static_cast<StructRefDefinition const*>(definition)->name() + ")";
        break;
      case DataType::LIST:
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        auto const* wrapping = static_cast<WrappingDefinition const*>(definition);
        if (type.kind() == DataType::UNION_CASE) {
          out += "union_case(" +
                 static_cast<UnionCaseDefinition const*>(definition)->tagName() + ", ";
        } else {
          bool const set = type.kind() == DataType::LIST &&
                           static_cast<ListDefinition const*>(definition)->isSet();
          out += type.kind() == DataType::OPTIONAL ? "optional(" : set ? "set(" : "list(";
        }
        pending.push_back({nullptr, ")", {}});
        pending.push_back(ChildTask(task, wrapping->element().get()));
        break;
      }
      default:
        out += type.name();
        break;
    }
  });
}

}  // namespace Data
}  // namespace Tirn
