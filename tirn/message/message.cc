#include "tirn/message/message.h"

#include <algorithm>
#include <cstddef>
#include <list>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/message/message_ids.h"

namespace Tirn {

namespace Detail {

BaseMessage BuildMessage(std::string const& id, std::string const& tmpl, std::string const* args,
                         std::size_t count) {
  std::vector<format_arg> formatArgs;
  formatArgs.reserve(count);
  for (std::size_t i = 0; i < count; ++i) formatArgs.push_back(MakeFormatArg(args[i]));

  // A template that does not match its arguments still yields a message: the text written
  // before the failing placeholder is kept, and the arguments travel in full beside it so that
  // a localizer can still render the message.
  std::ostringstream text;
  std::error_code ec;
  FormatTo(text, tmpl, formatArgs.data(), count, ec);

  // An argument's own string form is what "{1}" makes of it alone, which for a string is the
  // string itself. It is copied rather than formatted: the output limit of a formatting
  // guards against templates that multiply their arguments, and a copy multiplies nothing,
  // so a long argument travels whole even when the text had to stop.
  std::list<std::string> forms(args, args + count);
  return BaseMessage(id, text.str(), forms);
}

}  // namespace Detail

namespace {

// The core catalog, sorted by identifier for the binary search below.
constexpr CatalogEntry kCoreCatalog[] = {
    {MessageIds::kAtPath, "At {1}."},
    {MessageIds::kBadCast, "Cannot read the string '{1}' as a structure."},
    {MessageIds::kContainsItself, "The value contains itself."},
    {MessageIds::kFieldMissing, "Field '{1}' is missing from structure '{2}'."},
    {MessageIds::kInvalidType, "A value of this kind cannot be converted here."},
    {MessageIds::kOutOfRange, "The value '{1}' is out of range for {2}."},
    {MessageIds::kParseFailed, "Cannot read '{1}' as {2}."},
    {MessageIds::kUnsetNonOptionalField, "A required field of type {1} is not set."},
    {MessageIds::kWrongKind, "Expected a value of kind {1}, found {2}."},
    {MessageIds::kErrorNotDeclared,
     "The error '{1}' reported by operation '{2}' is not among its declared errors."},
    {MessageIds::kSignalNotConnected, "No implementation is connected to this operation."},
    {MessageIds::kCallAbandoned,
     "The call was abandoned: it ended without a result or an error."},
    {MessageIds::kCallNoAnswer, "The call ended without an answer: neither a value nor an error."},
    {MessageIds::kOperationNotFound, "Interface '{1}' has no operation '{2}'."},
    {MessageIds::kNoActivation,
     "The call has no activation and the stub has no template activation."},
    {MessageIds::kValidationContainsItself, "{1}: the value contains itself."},
    {MessageIds::kValidationMissingField, "{1}: a required field is missing."},
    {MessageIds::kValidationUnexpectedField, "{1}: the field is not part of the definition."},
    {MessageIds::kValidationUnionCaseMissing, "{1}: the field is required when {2} is '{3}'."},
    {MessageIds::kValidationUnionCaseUnexpected,
     "{1}: the field is not allowed when {2} is '{3}'."},
    {MessageIds::kValidationUnresolvedReference,
     "{1}: the definition refers to structure '{2}', which is not known."},
    {MessageIds::kValidationWrongKind, "{1}: expected {2}, found {3}."},
};

static_assert(CatalogIsSorted(kCoreCatalog),
              "the core catalog must be sorted by identifier, without repeats");

// The text of an identifier the catalog does not know. The identifier's braces are doubled so
// that the text is a well-formed template whatever the identifier holds.
std::string FallbackText(std::string const& id) {
  std::string text = "No default text for message '";
  for (char c : id) {
    text += c;
    if (c == '{' || c == '}') text += c;
  }
  text += "'.";
  return text;
}

}  // namespace

CatalogView CoreTag::Catalog() { return CatalogView(kCoreCatalog); }

namespace Detail {

std::string CatalogText(CatalogView catalog, std::string const& id) {
  boost::string_view const key(id);
  auto const found = std::lower_bound(
      catalog.begin, catalog.end, key,
      [](CatalogEntry const& entry, boost::string_view k) { return boost::string_view(entry.id) < k; });
  if (found != catalog.end && boost::string_view(found->id) == key) return found->text;
  return FallbackText(id);
}

}  // namespace Detail

}  // namespace Tirn
