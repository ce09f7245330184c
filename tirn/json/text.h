// The JSON library's text pieces, for code that writes a little JSON by hand (an access-log
// line, a token's claims) or checks text before it is stored: one UTF-8 check, one JSON string
// escaper and one base64 writer for the whole system.
//
//   std::string line = "{\"path\":";
//   Tirn::Json::AppendJsonString(line, path);   // quotes included; never invalid JSON
//   if (!Tirn::Json::IsValidUtf8(name)) ...
//   std::string token;
//   Tirn::Json::AppendBase64(claims, token, Tirn::Json::Base64::kUrl);
//
// Free functions without state: callable from any thread.
#ifndef TIRN_JSON_TEXT_H_
#define TIRN_JSON_TEXT_H_

#include <cstddef>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/json/json.h"

namespace Tirn {
namespace Json {

// The length of the well-formed UTF-8 sequence that starts at `at` in `text`, or 0 when the
// byte there starts none: a stray continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF, a sequence cut short. `at` < text.size().
TIRN_JSON_EXPORT std::size_t Utf8SequenceAt(boost::string_view text, std::size_t at);

// Whether the whole of `text` is well-formed UTF-8.
TIRN_JSON_EXPORT bool IsValidUtf8(boost::string_view text);

// Appends `text` as a JSON string, quotes included. Well-formed UTF-8 is copied as it is; '"'
// and '\' are escaped; control characters and every byte that is no part of well-formed UTF-8
// are written as \u00XX, so that any JSON reader accepts the result.
TIRN_JSON_EXPORT void AppendJsonString(std::string& out, boost::string_view text);

enum class Base64 {
  kStandard,  // "+/" with "=" padding, as blobs travel in JSON
  kUrl,       // "-_" without padding, as in a JSON Web Token
};

// Appends the base64 form of `bytes`.
TIRN_JSON_EXPORT void AppendBase64(boost::string_view bytes, std::string& out,
                                   Base64 form = Base64::kStandard);

}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_TEXT_H_
