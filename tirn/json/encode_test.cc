#include "tirn/json/json.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <list>
#include <string>

#include "tests/loops.h"
#include "tirn/json/text.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/data_value.h"

namespace {

using Tirn::BaseMessage;
using Tirn::Data::ListValue;
using Tirn::Data::StructValue;

// Encoding a tree that contains itself ends with one message at the place where the walk
// meets the loop again, the message validation gives for it, in both text forms; the output is
// left as it was.
TEST(JsonEncode, AValueThatContainsItselfIsRefusedNamingWhereItLoops) {
  // Where each loop of test_loops::Loops is met; the walk compares a value with the ancestors
  // at powers of two, so a loop may be walked once more before it is found.
  char const* const paths[] = {"next", "next.next.next", "children[0].children", "next",
                               "next.next.next.next.next.next.next.next...next.next.next.next."
                               "next.next.next.next"};
  for (bool const pretty : {false, true}) {
    // Pretty text indents each level, so its size grows with the square of the depth.
    auto const loops = test_loops::Loops(pretty ? 1000 : 100000);
    ASSERT_EQ(loops.size(), std::size(paths));
    for (std::size_t i = 0; i < loops.size(); ++i) {
      SCOPED_TRACE(std::string(loops[i].label) + (pretty ? ", pretty" : ", compact"));
      std::string text = "before";
      std::list<BaseMessage> messages;
      EXPECT_FALSE(Tirn::Json::Encode(loops[i].root, nullptr, &text, messages, {pretty}));
      EXPECT_EQ(text, "before");
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages.front().id(), Tirn::MessageIds::kValidationContainsItself);
      EXPECT_EQ(messages.front().args(), std::list<std::string>{paths[i]});
    }
    test_loops::Break(loops);
  }
}

// A value that appears several times, beside itself or at several depths, is no loop.
TEST(JsonEncode, ASharedValueIsWrittenWhereverItAppears) {
  auto const leaf = test_loops::Node("x");
  auto const list = ListValue::GetInstance(ListValue::LIST);
  list->Append(leaf);
  list->Append(leaf);
  auto const middle = StructValue::GetInstance("com.example.middle");
  middle->SetField("a", leaf);
  middle->SetField("b", list);
  auto const root = StructValue::GetInstance("com.example.root");
  root->SetField("m", middle);
  root->SetField("n", leaf);
  std::string text;
  std::list<BaseMessage> messages;
  EXPECT_TRUE(Tirn::Json::Encode(root, nullptr, &text, messages));
  EXPECT_TRUE(messages.empty());
  std::string const node = R"({"children":"","name":"x"})";
  EXPECT_EQ(text, R"({"m":{"a":)" + node + R"(,"b":[)" + node + "," + node + R"(]},"n":)" +
                      node + "}");
}

// A string is copied in runs of eight bytes between the characters JSON escapes: whichever byte
// of a run holds one, in keys and values alike, the text holds no raw control character and
// reads back to the same string; a non-ASCII sequence across a run's end is kept whole.
TEST(JsonEncode, EveryCharacterToEscapeIsFoundWhereverItFallsInARun) {
  std::string const specials[] = {"\"", "\\", "\n", std::string(1, '\0'), "\x1f", "\xc3\xa9",
                                  "\xe2\x82\xac", "\x7f"};
  for (std::string const& special : specials) {
    for (std::size_t at = 0; at <= 17; ++at) {
      std::string const text = std::string(at, 'a') + special + std::string(19 - at, 'b');
      auto const value = StructValue::GetInstance("com.example.s");
      value->SetField(text, Tirn::Data::DataValue::Create(text));
      std::string json;
      std::list<BaseMessage> messages;
      ASSERT_TRUE(Tirn::Json::Encode(value, nullptr, &json, messages)) << at;
      for (char c : json) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << at << " " << json;
      Tirn::Data::DataValuePtr back;
      ASSERT_TRUE(Tirn::Json::Decode(json, nullptr, &back, messages)) << json;
      auto const& fields = static_cast<Tirn::Data::CompoundValue const&>(*back).fields();
      ASSERT_EQ(fields.size(), 1u);
      auto const& field = *fields.begin();
      EXPECT_EQ(std::string(field.first.data(), field.first.size()), text) << at;
      ASSERT_EQ(field.second->GetType().kind(), Tirn::Data::DataType::STRING);
      EXPECT_EQ(static_cast<Tirn::Data::StringValue const&>(*field.second).value(), text) << at;
    }
  }
}

// The text pieces that hand-written JSON uses: base64 in both forms, and the escaper that keeps
// any byte string valid JSON.
TEST(JsonText, Base64InBothFormsAndStringsThatStayJson) {
  struct Row {
    std::string bytes;
    char const* standard;
    char const* url;
  } const rows[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"\xfb\xff\xbf", "+/+/", "-_-_"},
  };
  for (Row const& row : rows) {
    std::string standard = "<", url = "<";
    Tirn::Json::AppendBase64(row.bytes, standard);
    Tirn::Json::AppendBase64(row.bytes, url, Tirn::Json::Base64::kUrl);
    EXPECT_EQ(standard, std::string("<") + row.standard);
    EXPECT_EQ(url, std::string("<") + row.url);
  }
  std::string out = "x";
  Tirn::Json::AppendJsonString(out, std::string("q\"b\\\n\x01\xff\xc3\xa9\0", 10));
  EXPECT_EQ(out, "x\"q\\\"b\\\\\\u000a\\u0001\\u00ff\xc3\xa9\\u0000\"");
  EXPECT_TRUE(Tirn::Json::IsValidUtf8("\xf0\x9f\x98\x80 \xc3\xa9"));
  EXPECT_FALSE(Tirn::Json::IsValidUtf8("\xed\xa0\x80"));
}

}  // namespace
