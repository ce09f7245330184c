// Apps::Cli::InputBuilder: an operation's input value made from command-line field options.
//
// Each option names a field by its dotted path below the input structure and gives its value
// as text; the definition decides what the text becomes (an integer, a boolean, a double, a
// string or enumeration name, base64 for a blob). Naming a list again appends to it; in a
// list of structures, a field already set in the last element starts a new element.
// Secrets are refused from option text: they come through AddSecret (a prompt or standard
// input) only. With the operation's annotations, an enumeration field takes only the names it
// knows (case-sensitive): a value this client does not know goes through --json instead.
//
//   Apps::Cli::InputBuilder builder(descriptor.input, descriptor.annotations);
//   std::list<Tirn::BaseMessage> messages;
//   bool ok = builder.Add("spec.native_spec.key_id", "k2", messages);
//   for (auto const& path : builder.MissingSecrets()) ok = ok && builder.AddSecret(path, Ask(path), messages);
//   Tirn::Data::DataValuePtr input;
//   ok = ok && builder.Finish(&input, messages);  // validated against the definition
//
// Failures never throw: they return false and append messages naming the field path.
#ifndef APPS_CLI_INPUT_BUILDER_H_
#define APPS_CLI_INPUT_BUILDER_H_

#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "tirn/message/base_message.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/definition_annotations.h"
#include "tirn/runtime/value/secret_string.h"

namespace Apps {
namespace Cli {

namespace MessageIds {
// {1}: the field: as an option ("--spec.adress") when an option named it, as a path
// ("spec.adress") in --json input; {2}: " (did you mean <the same for the field meant>?)" or
// empty.
inline constexpr char kUnknownField[] = "tirn.cli.unknown.field";
// {1}: the path, {2}: the text, {3}: the kind the definition asks for.
inline constexpr char kWrongKind[] = "tirn.cli.wrong.kind";
// {1}: the path.
inline constexpr char kSecretOnCommandLine[] = "tirn.cli.secret.on.command.line";
// {1}: the path.
inline constexpr char kGivenTwice[] = "tirn.cli.given.twice";
// {1}: the path, {2}: the kind found there.
inline constexpr char kNeedsField[] = "tirn.cli.needs.field";
// {1}: the path.
inline constexpr char kNeedsValue[] = "tirn.cli.needs.value";
// {1}: the path, {2}: the text, {3}: the known names, {4}: " (did you mean <name>?)" or empty.
inline constexpr char kUnknownEnumerationValue[] = "tirn.cli.unknown.enumeration.value";
}  // namespace MessageIds

// The definition a field's value must meet once optionals, union cases and structure
// references are seen through; `optional` tells whether an optional was passed on the way.
struct Resolved {
  Tirn::Data::DataDefinitionPtr definition;
  bool optional = false;
};
Resolved Resolve(Tirn::Data::DataDefinitionPtr definition);

// The value `text` stands for where `definition` (a leaf kind, already resolved) is defined;
// null with a message naming `path` when the text does not have that kind. Secrets are
// refused.
Tirn::Data::DataValuePtr TypeText(Tirn::Data::DataDefinitionPtr const& definition,
                                  std::string const& path, std::string const& text,
                                  std::list<Tirn::BaseMessage>& messages);

// The refusal of a secret given on the command line at `path`.
Tirn::BaseMessage SecretOnCommandLine(std::string const& path);

// The path of the first secret in `value` (fields in name order, "a.b[2].c"), or none: input
// given on the command line must not hold one. Iterative.
boost::optional<std::string> FindSecret(Tirn::Data::DataValuePtr const& value);

class InputBuilder {
 public:
  // Builds a value of `input`, a structure definition; `annotations` (may be null) name the
  // values its enumeration fields take.
  explicit InputBuilder(
      Tirn::Data::DataDefinitionPtr input,
      std::shared_ptr<Tirn::Data::DefinitionAnnotations const> annotations = nullptr);
  ~InputBuilder();
  InputBuilder(InputBuilder const&) = delete;
  InputBuilder& operator=(InputBuilder const&) = delete;

  // Sets (or, for a list, appends to) the field at `path` from option text. A boolean field
  // given without text is true (`hasText` false).
  [[nodiscard]] bool Add(std::string const& path, std::string const& text,
                         std::list<Tirn::BaseMessage>& messages, bool hasText = true);
  // Sets the secret field at `path`.
  [[nodiscard]] bool AddSecret(std::string const& path, Tirn::SecretString secret,
                               std::list<Tirn::BaseMessage>& messages);
  // The paths of the secret fields that are not set and whose structure is present (the
  // input itself, or one an option has filled): outer structures first, fields in name
  // order. Secrets inside lists are not asked for.
  std::vector<std::string> MissingSecrets() const;
  // The finished input, validated against the definition (unknown fields refused).
  [[nodiscard]] bool Finish(Tirn::Data::DataValuePtr* out, std::list<Tirn::BaseMessage>& messages);

  // The input while options arrive, made into values by Finish.
  struct Draft;

 private:
  // Puts `value` (or, with a null value, the text typed by the definition) at `path`.
  bool Put(std::string const& path, std::string const* text, Tirn::Data::DataValuePtr value,
           std::list<Tirn::BaseMessage>& messages);

  Tirn::Data::DataDefinitionPtr input_;
  std::shared_ptr<Tirn::Data::DefinitionAnnotations const> annotations_;
  std::unique_ptr<Draft> root_;
};

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_INPUT_BUILDER_H_
