#include "apps/cli/output.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "tirn/json/json.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Apps {
namespace Cli {

namespace {

using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;

// A leaf in text form; false when `value` holds others.
bool LeafText(DataValuePtr const& value, bool showSecrets, std::string* out) {
  switch (value->GetType().kind()) {
    case DataType::STRING:
      *out = static_cast<Tirn::Data::StringValue const&>(*value).value();
      return true;
    case DataType::SECRET:
      *out = showSecrets ? static_cast<Tirn::Data::SecretValue const&>(*value).value().value()
                         : Tirn::SecretString::kMask;
      return true;
    case DataType::INTEGER:
      *out = std::to_string(static_cast<Tirn::Data::IntegerValue const&>(*value).value());
      return true;
    case DataType::BOOLEAN:
      *out = static_cast<Tirn::Data::BooleanValue const&>(*value).value() ? "true" : "false";
      return true;
    case DataType::VOID:
      *out = "(nothing)";
      return true;
    case DataType::DOUBLE:
    case DataType::BLOB: {
      // The canonical forms of the JSON encoder: shortest round-tripping double, base64.
      std::list<Tirn::BaseMessage> ignored;
      if (!Tirn::Json::Encode(value, nullptr, out, ignored)) *out = "(not printable)";
      if (out->size() >= 2 && out->front() == '"') *out = out->substr(1, out->size() - 2);
      return true;
    }
    default:
      return false;
  }
}

// Writes the indented text form with an explicit stack. A structure or list inside a list
// starts on its element's "- " line, as its first member does.
void WriteText(DataValuePtr const& root, bool showSecrets, std::string& out) {
  struct Frame {
    std::string prefix;  // "- " for list elements, merged with their first member's
    std::string label;   // a field's name, or empty
    DataValuePtr value;
    int indent;
  };
  std::vector<Frame> stack{{"", "", root, 0}};
  auto line = [&out](Frame const& frame, std::string const& text) {
    out += std::string(std::min(frame.indent, kMaxIndent), ' ') + frame.prefix;
    if (!frame.label.empty()) out += frame.label + ":" + (text.empty() ? "" : " ");
    out += text + "\n";
  };
  std::vector<Frame> below;
  while (!stack.empty()) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    // An optional prints as its content.
    while (frame.value && frame.value->GetType().kind() == DataType::OPTIONAL) {
      auto const& optional = static_cast<Tirn::Data::OptionalValue const&>(*frame.value);
      if (!optional.has_value()) break;
      frame.value = optional.value();
    }
    DataValuePtr const& value = frame.value;
    std::string leaf;
    if (!value) {
      line(frame, "(missing)");
      continue;
    }
    if (value->GetType().kind() == DataType::OPTIONAL) {
      line(frame, "(none)");
      continue;
    }
    if (LeafText(value, showSecrets, &leaf)) {
      line(frame, leaf);
      continue;
    }
    below.clear();
    if (value->GetType().kind() == DataType::LIST) {
      for (auto const& element : static_cast<Tirn::Data::ListValue const&>(*value).elements()) {
        below.push_back({"- ", "", element, 0});
      }
    } else if (value->GetType().IsCompound()) {
      for (auto const& field : static_cast<Tirn::Data::CompoundValue const&>(*value).fields()) {
        below.push_back({"", std::string(field.first), field.second, 0});
      }
    } else {
      line(frame, std::string("(") + value->GetType().name() + ")");
      continue;
    }
    if (below.empty()) {
      line(frame, "(empty)");
      continue;
    }
    int const column = frame.indent + static_cast<int>(frame.prefix.size());
    for (auto& child : below) child.indent = frame.label.empty() ? column : column + 2;
    if (!frame.label.empty() || frame.prefix.size() + 2 > static_cast<std::size_t>(kMaxIndent)) {
      // Its own line; members below it.
      if (frame.label.empty()) {
        frame.prefix.pop_back();  // "- " without its blank
        for (auto& child : below) child.indent = column;
      }
      line(frame, "");
    } else if (!frame.prefix.empty()) {
      // A list element: its first member starts on the element's line.
      below.front().prefix = frame.prefix + below.front().prefix;
      below.front().indent = frame.indent;
    }
    stack.insert(stack.end(), std::make_move_iterator(below.rbegin()),
                 std::make_move_iterator(below.rend()));
  }
}

}  // namespace

bool FormatValue(DataValuePtr const& value, OutputOptions const& options, std::string* out,
                 std::list<Tirn::BaseMessage>& messages) {
  out->clear();
  // A script reads the exit status of a call without a result; "null" would say nothing more.
  if (value && value->GetType().kind() == DataType::VOID) return true;
  if (options.format == Format::kText) {
    WriteText(value, options.showSecrets, *out);
    return true;
  }
  Tirn::Json::EncodeOptions encode;
  encode.pretty = options.pretty;
  encode.redactSecrets = !options.showSecrets;
  if (!Tirn::Json::Encode(value, nullptr, out, messages, encode)) return false;
  *out += "\n";
  return true;
}

std::string FormatError(Tirn::Data::ErrorValue const& error) {
  std::string out = "error: " + error.name() + "\n";
  DataValuePtr const* list = error.FindField(Tirn::Data::Wire::kErrorMessages);
  if (!list || !*list || (*list)->GetType().kind() != DataType::LIST) return out;
  for (auto const& element : static_cast<Tirn::Data::ListValue const&>(**list).elements()) {
    Tirn::BaseMessage message("", "", {});
    boost::optional<std::string> localized;
    if (!Tirn::Data::Wire::MessageFromValue(element, message, localized)) continue;
    out += "  " + (localized ? *localized : message.defaultMessage()) + " [" + message.id() + "]\n";
  }
  return out;
}

std::string FormatErrorJson(Tirn::Data::ErrorValue const& error,
                            Tirn::Http::AnswerSeen const& seen) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
  auto const string = [&json](std::string const& text) {
    json.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  };
  json.StartObject();
  json.Key("error");
  string(error.name());
  json.Key("messages");
  json.StartArray();
  for (auto const& message : error.GetMessages()) {
    json.StartObject();
    json.Key("id");
    string(message.id());
    json.Key("default_message");
    string(message.defaultMessage());
    json.Key("args");
    json.StartArray();
    for (auto const& arg : message.args()) string(arg);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.Key("status");
  if (seen.status != 0) {
    json.Uint(seen.status);
  } else {
    json.Null();
  }
  json.Key("request_id");
  if (!seen.requestId.empty()) {
    string(seen.requestId);
  } else {
    json.Null();
  }
  json.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string FormatExchange(Tirn::Http::AnswerSeen const& seen, std::chrono::milliseconds took) {
  return "tirn: " + seen.url + ": status " +
         (seen.status != 0 ? std::to_string(seen.status) : std::string("none")) +
         ", request id " + (seen.requestId.empty() ? std::string("none") : seen.requestId) +
         ", " + std::to_string(took.count()) + " ms\n";
}

std::string ProgressLine(Tirn::Progress const& progress) {
  constexpr int kWidth = 30;
  // In long double: the bounds are any 64-bit integers, their difference may not fit.
  long double const span =
      static_cast<long double>(progress.maximum) - static_cast<long double>(progress.minimum);
  long double done =
      span > 0 ? (static_cast<long double>(progress.current) - progress.minimum) / span : 0;
  if (done < 0) done = 0;
  if (done > 1) done = 1;
  int const filled = static_cast<int>(done * kWidth);
  std::string line = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
  std::string percent = std::to_string(static_cast<int>(done * 100));
  line += std::string(3 - percent.size(), ' ') + percent + "% (" +
          std::to_string(progress.current) + "/" + std::to_string(progress.maximum) + ")";
  return line;
}

std::string FormatMessages(std::list<Tirn::BaseMessage> const& messages) {
  std::string out;
  for (auto const& message : messages) out += "tirn: " + message.defaultMessage() + "\n";
  return out;
}

}  // namespace Cli
}  // namespace Apps
