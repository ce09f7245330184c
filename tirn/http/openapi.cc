#include "tirn/http/openapi.h"

#include <list>
#include <memory>
#include <utility>

#include "tirn/json/json.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/equal.h"

namespace Tirn {
namespace Http {
namespace {

using Data::CompoundValue;
using Data::DataType;
using Data::DataValuePtr;
using Data::DynamicStructValue;

CompoundValue const* AsObject(DataValuePtr const& value) {
  if (!value || value->GetType().kind() != DataType::DYNAMIC_STRUCTURE) return nullptr;
  return static_cast<CompoundValue const*>(value.get());
}

CompoundValue const* ObjectMember(CompoundValue const& object, char const* name) {
  DataValuePtr const* found = object.FindField(name);
  return found ? AsObject(*found) : nullptr;
}

// Adds the members of `from` to `into`. A member `into` holds already must be equal; false,
// naming it in `*error`, when it is not.
bool AddMembers(CompoundValue const& from, DynamicStructValue& into, std::string const& where,
                std::string* error) {
  for (auto const& member : from.fields()) {
    DataValuePtr const* held = into.FindField(member.first);
    if (!held) {
      into.SetField(member.first, member.second);
    } else if (!Data::Equal(*held, member.second)) {
      *error = where + " '" + std::string(member.first) + "' differs between the documents";
      return false;
    }
  }
  return true;
}

std::string Title(CompoundValue const& document) {
  CompoundValue const* info = ObjectMember(document, "info");
  DataValuePtr const* title = info ? info->FindField("title") : nullptr;
  if (!title || !*title || (*title)->GetType().kind() != DataType::STRING) return {};
  return static_cast<Data::StringValue const&>(**title).value();
}

}  // namespace

bool MergeOpenApiDocuments(std::vector<std::string> const& documents, std::string* merged,
                           std::string* error) {
  if (documents.empty()) {
    *error = "no document to merge";
    return false;
  }
  std::vector<DataValuePtr> parsed;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    DataValuePtr value;
    std::list<BaseMessage> messages;
    if (!Json::Decode(documents[i], nullptr, &value, messages) || !AsObject(value)) {
      *error = "document " + std::to_string(i + 1) + " is not a JSON object" +
               (messages.empty() ? std::string() : ": " + messages.front().defaultMessage());
      return false;
    }
    parsed.push_back(std::move(value));
  }

  auto result = DynamicStructValue::GetInstance(std::string());
  CompoundValue const& first = *AsObject(parsed.front());
  for (auto const& member : first.fields()) result->SetField(member.first, member.second);

  auto paths = DynamicStructValue::GetInstance(std::string());
  auto components = DynamicStructValue::GetInstance(std::string());
  auto tags = Data::ListValue::GetInstance(Data::ListValue::LIST);
  auto tagsByName = DynamicStructValue::GetInstance(std::string());
  std::string title;
  for (DataValuePtr const& value : parsed) {
    CompoundValue const& document = *AsObject(value);
    if (CompoundValue const* own = ObjectMember(document, "paths")) {
      if (!AddMembers(*own, *paths, "the path", error)) return false;
    }
    if (CompoundValue const* own = ObjectMember(document, "components")) {
      for (auto const& section : own->fields()) {
        CompoundValue const* entries = AsObject(section.second);
        if (!entries) continue;
        std::string const name(section.first);
        DataValuePtr const* held = components->FindField(name);
        auto into = DynamicStructValue::GetInstance(std::string());
        if (held) AddMembers(*AsObject(*held), *into, name, error);
        if (!AddMembers(*entries, *into, "the component " + name, error)) return false;
        components->SetField(name, std::move(into));
      }
    }
    if (DataValuePtr const* own = document.FindField("tags");
        own && *own && (*own)->GetType().kind() == DataType::LIST) {
      for (DataValuePtr const& tag : static_cast<Data::ListValue const&>(**own).elements()) {
        CompoundValue const* object = AsObject(tag);
        DataValuePtr const* name = object ? object->FindField("name") : nullptr;
        if (!name || !*name || (*name)->GetType().kind() != DataType::STRING) continue;
        std::string const& text = static_cast<Data::StringValue const&>(**name).value();
        DataValuePtr const* held = tagsByName->FindField(text);
        if (!held) {
          tagsByName->SetField(text, tag);
          tags->Append(tag);
        } else if (!Data::Equal(*held, tag)) {
          *error = "the tag '" + text + "' differs between the documents";
          return false;
        }
      }
    }
    std::string const own = Title(document);
    if (!own.empty()) title += (title.empty() ? "" : ", ") + own;
  }
  result->SetField("paths", std::move(paths));
  result->SetField("components", std::move(components));
  if (tags->size() != 0) result->SetField("tags", std::move(tags));
  if (CompoundValue const* info = ObjectMember(first, "info")) {
    auto renamed = DynamicStructValue::GetInstance(std::string());
    for (auto const& member : info->fields()) renamed->SetField(member.first, member.second);
    renamed->SetField("title", Data::StringValue::GetInstance(title));
    result->SetField("info", std::move(renamed));
  }

  std::list<BaseMessage> messages;
  Json::EncodeOptions options;
  options.pretty = true;
  if (!Json::Encode(result, nullptr, merged, messages, options)) {
    *error = messages.empty() ? "the merged document has no JSON form"
                              : messages.front().defaultMessage();
    return false;
  }
  return true;
}

}  // namespace Http
}  // namespace Tirn
