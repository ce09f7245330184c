// Pieces shared by the JSON decoder and encoder: the messages, base64 and number text. Field
// paths are the runtime's (tirn/runtime/value/field_path_internal.h), as in every message.
#ifndef TIRN_JSON_JSON_INTERNAL_H_
#define TIRN_JSON_JSON_INTERNAL_H_

#include <cstddef>
#include <list>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/message/base_message.h"
#include "tirn/message/message.h"

namespace Tirn {
namespace Json {
namespace detail {

// The catalog of this library's messages (MessageIds in json.h).
struct JsonTag {
  static CatalogView Catalog();
};

// A message of this library, its arguments filled into the catalog's template.
template <class... Args>
BaseMessage JsonMessage(char const* id, Args&&... args) {
  return MakeMessage(id, Message<JsonTag>::DefaultMessageForId(id), std::forward<Args>(args)...);
}

// False when `text` is not standard base64 with correct padding.
bool DecodeBase64(boost::string_view text, std::string& out);

// The shortest text that reads back to `value`, always with a fraction or an exponent
// ("1.0", "1e+300"). `value` must be finite. Returns the text's length in `buffer`.
std::size_t FormatDouble(double value, char (&buffer)[32]);

// Whether `text` is valid UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no sequence cut short. Reads only [data, data + size).
bool IsValidUtf8(char const* data, std::size_t size);

// The length of the longest prefix of [data, data + size) that a JSON string holds as it is:
// no control character, quotation mark or backslash. Reads eight bytes at a time.
std::size_t PlainStringRun(char const* data, std::size_t size);

}  // namespace detail
}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_JSON_INTERNAL_H_
