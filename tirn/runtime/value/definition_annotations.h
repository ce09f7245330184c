// Tirn::Data::DefinitionAnnotations: what a definition tree cannot say of a structure and its
// fields.
//
// An enumeration travels as a string, so its definition is a string definition that does not
// know the enumeration's names; a union case's rule is a callable that cannot be read back; and
// what a structure or a field is for is said only in the package's description. The generator
// writes them down beside each package's operation table, per structure (by its wire name):
//
//   Tirn::Data::DefinitionAnnotations annotations;
//   auto& info = annotations.structures["com.example.shop.store.items.item"];
//   info.enumerations["kind"] = {"BOOK", "GAME"};         // declaration order
//   info.enumerationDescriptions["kind"] = {{"BOOK", "A printed book."}};
//   info.unionCases["book"] = {"kind", {"BOOK"}};          // tag field, activating values
//   info.description = "An item of the shop.";
//   info.fieldDescriptions["kind"] = "What the item is.";
//
//   if (auto const* names = annotations.EnumerationNames(structureName, "kind")) ...
//
// An enumeration annotation belongs to the field whatever wraps the string (an optional set of
// an enumeration has one too); a union-case annotation belongs to a field whose definition is a
// union case. Plain values: copy, compare and read them from any thread.
#ifndef TIRN_RUNTIME_VALUE_DEFINITION_ANNOTATIONS_H_
#define TIRN_RUNTIME_VALUE_DEFINITION_ANNOTATIONS_H_

#include <map>
#include <string>
#include <vector>

namespace Tirn {
namespace Data {

// The tag field of a union case and the tag values that make the case present.
struct UnionCaseAnnotation {
  std::string tag;
  std::vector<std::string> values;

  friend bool operator==(UnionCaseAnnotation const& a, UnionCaseAnnotation const& b) {
    return a.tag == b.tag && a.values == b.values;
  }
  friend bool operator!=(UnionCaseAnnotation const& a, UnionCaseAnnotation const& b) {
    return !(a == b);
  }
};

// The annotations of one structure, and of its fields by field name.
struct StructureAnnotations {
  // An enumeration field's known names, in declaration order.
  std::map<std::string, std::vector<std::string>> enumerations;
  // What an enumeration field's names mean, by name: only names the field's enumeration lists,
  // and only those the package's description documents.
  std::map<std::string, std::map<std::string, std::string>> enumerationDescriptions;
  std::map<std::string, UnionCaseAnnotation> unionCases;
  // What the structure is, and what each field holds, for people: plain text, paragraphs
  // separated by an empty line. Empty, or no entry, when the package's description says nothing.
  std::string description;
  std::map<std::string, std::string> fieldDescriptions;

  bool empty() const {
    return enumerations.empty() && enumerationDescriptions.empty() && unionCases.empty() &&
           description.empty() && fieldDescriptions.empty();
  }

  friend bool operator==(StructureAnnotations const& a, StructureAnnotations const& b) {
    return a.enumerations == b.enumerations &&
           a.enumerationDescriptions == b.enumerationDescriptions &&
           a.unionCases == b.unionCases && a.description == b.description &&
           a.fieldDescriptions == b.fieldDescriptions;
  }
  friend bool operator!=(StructureAnnotations const& a, StructureAnnotations const& b) {
    return !(a == b);
  }
};

struct DefinitionAnnotations {
  // By the structure's wire name; a structure without annotations has no entry.
  std::map<std::string, StructureAnnotations> structures;

  StructureAnnotations const* Find(std::string const& structure) const {
    auto found = structures.find(structure);
    return found == structures.end() ? nullptr : &found->second;
  }
  // The known names of the enumeration field `field` of `structure`, or null.
  std::vector<std::string> const* EnumerationNames(std::string const& structure,
                                                   std::string const& field) const {
    StructureAnnotations const* annotations = Find(structure);
    if (!annotations) return nullptr;
    auto found = annotations->enumerations.find(field);
    return found == annotations->enumerations.end() ? nullptr : &found->second;
  }
  // What the names of the enumeration field `field` of `structure` mean, or null when none is
  // documented.
  std::map<std::string, std::string> const* EnumerationDescriptions(
      std::string const& structure, std::string const& field) const {
    StructureAnnotations const* annotations = Find(structure);
    if (!annotations) return nullptr;
    auto found = annotations->enumerationDescriptions.find(field);
    return found == annotations->enumerationDescriptions.end() ? nullptr : &found->second;
  }
  // The description of the field `field` of `structure`, or null when it has none.
  std::string const* FieldDescription(std::string const& structure,
                                      std::string const& field) const {
    StructureAnnotations const* annotations = Find(structure);
    if (!annotations) return nullptr;
    auto found = annotations->fieldDescriptions.find(field);
    return found == annotations->fieldDescriptions.end() ? nullptr : &found->second;
  }
  // The tag and values of the union-case field `field` of `structure`, or null.
  UnionCaseAnnotation const* UnionCase(std::string const& structure,
                                       std::string const& field) const {
    StructureAnnotations const* annotations = Find(structure);
    if (!annotations) return nullptr;
    auto found = annotations->unionCases.find(field);
    return found == annotations->unionCases.end() ? nullptr : &found->second;
  }

  friend bool operator==(DefinitionAnnotations const& a, DefinitionAnnotations const& b) {
    return a.structures == b.structures;
  }
  friend bool operator!=(DefinitionAnnotations const& a, DefinitionAnnotations const& b) {
    return !(a == b);
  }
};

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_DEFINITION_ANNOTATIONS_H_
