// FromJson reads the plain form of a native object straight into it, and every other text
// through the value tree. These tests hold the direct reader to the full path: whatever text
// it takes, the full path (decode, validate, convert) must accept and fill the same object, and
// FromJson's verdicts and messages must be the full path's for any text at all. What ToJson
// writes of every structure of the package reads back equal.
#include <gtest/gtest.h>

#include <boost/optional/optional_io.hpp>

#include <climits>
#include <cstddef>
#include <list>
#include <string>
#include <vector>

#include "tests/package_samples.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/json/json.h"

namespace {

using namespace package_samples;
using Messages = std::list<Tirn::BaseMessage>;
using Tirn::Data::DescribeType;
using Tirn::Data::ValueToNativeAdapter;

// What FromJson did before it had the direct reader.
template <class T>
bool FullPath(std::string const& text, T* native, Messages& messages) {
  Tirn::Data::DataValuePtr value;
  if (!Tirn::Json::Decode(text, DescribeType<T>(), &value, messages)) return false;
  return ValueToNativeAdapter::Adapt(value, ValueToNativeAdapter::AdaptMethod<T>::Get(native),
                                     native, messages);
}

template <class T>
bool ReadDirectly(std::string const& text, T* native) {
  return Tirn::Json::detail::ReadNative(text, Tirn::Json::detail::ReaderOf<T>::value, native);
}

std::string Describe(Messages const& messages) {
  std::string out;
  for (Tirn::BaseMessage const& message : messages) {
    out += message.id();
    for (std::string const& arg : message.args()) out += " | " + arg;
    out += "\n";
  }
  return out;
}

template <class T>
std::string JsonOf(T const& native) {
  std::string text;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::ToJson(native, &text, messages));
  return text;
}

// Reads `text` both ways into copies of `start`. Returns whether the direct reader took it.
template <class T>
bool ExpectSameAsFullPath(std::string const& text, T const& start) {
  T direct = start;
  bool const taken = ReadDirectly(text, &direct);
  T full = start;
  Messages fullMessages;
  bool const fullOk = FullPath(text, &full, fullMessages);
  if (taken) {
    EXPECT_TRUE(fullOk) << "taken directly, refused the full way: " << text << "\n"
                        << Describe(fullMessages);
    EXPECT_TRUE(direct == full) << text;
  }
  T viaFromJson = start;
  Messages messages;
  EXPECT_EQ(Tirn::Json::FromJson(text, &viaFromJson, messages), fullOk) << text;
  EXPECT_EQ(Describe(messages), Describe(fullMessages)) << text;
  if (fullOk) {
    EXPECT_TRUE(viaFromJson == full) << text;
  }
  return taken;
}

// The two structures whose union cases depend on their tags always read the full way.
template <class T>
constexpr bool HasUnion() {
  return std::is_same<T, Providers::Info>::value || std::is_same<T, Reports::Summary>::value;
}

TEST(JsonDirectRead, ThePlainFormOfEveryStructureIsReadDirectlyAndAsTheFullPathReadsIt) {
  ForEveryStructure([](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(Tirn::Data::TypeInfo<T>::name());
    // Into a default object and into every sample: fields the text lacks keep what was there.
    std::vector<T> starts(samples.begin(), samples.end());
    starts.push_back(T());
    for (T const& sample : samples) {
      std::string const text = JsonOf(sample);
      for (T const& start : starts) {
        bool const taken = ExpectSameAsFullPath(text, start);
        EXPECT_EQ(taken, !HasUnion<T>()) << text;
      }
      // The plain form reads back into the sample.
      T back;
      Messages messages;
      EXPECT_TRUE(Tirn::Json::FromJson(text, &back, messages)) << Describe(messages);
      EXPECT_TRUE(back == sample) << text;
    }
  });
}

// Every text one edit away from a plain form: each byte removed, or replaced by one that
// changes the shape, a space put in, a member added in front. Most do not parse; many parse
// into forms only the full path takes (a string for a number, an empty string for a list, a
// key renamed or repeated); some stay plain.
TEST(JsonDirectRead, EveryTextOneEditFromThePlainFormReadsAsTheFullPathReadsIt) {
  std::size_t texts = 0;
  std::size_t taken = 0;
  ForEveryStructure([&](auto const& samples) {
    using T = SampleType<decltype(samples)>;
    SCOPED_TRACE(Tirn::Data::TypeInfo<T>::name());
    for (T const& sample : samples) {
      std::string const plain = JsonOf(sample);
      std::vector<std::string> variants;
      for (std::size_t i = 0; i < plain.size(); ++i) {
        variants.push_back(plain.substr(0, i) + plain.substr(i + 1));
        for (char c : {'"', '0', 'n', ',', '{', '[', ']', 'e', '.', '-'}) {
          if (plain[i] == c) continue;
          std::string edited = plain;
          edited[i] = c;
          variants.push_back(edited);
        }
        variants.push_back(plain.substr(0, i) + " " + plain.substr(i));
        if (plain[i] == '{') {
          for (char const* member : {R"("zz":1,)", R"("":[],)"}) {
            variants.push_back(plain.substr(0, i + 1) + member + plain.substr(i + 1));
          }
        }
      }
      for (std::string const& text : variants) {
        ++texts;
        if (ExpectSameAsFullPath(text, T())) ++taken;
        (void)ExpectSameAsFullPath(text, samples.front());
      }
    }
  });
  // The edits reach both readers: a fraction read directly, the rest the full way.
  EXPECT_GT(taken, texts / 20);
  EXPECT_LT(taken, texts / 2);
}

TEST(JsonDirectRead, FormsOnlyTheFullPathTakesStillReadAsBefore) {
  TI::NetworkAddress const start{{}, "old", 7LL};
  struct Row {
    char const* text;
    bool direct;  // read by the direct reader
    bool ok;      // accepted
    char const* hostname;
    boost::optional<long long> port;
  };
  Row const rows[] = {
      {R"({"hostname":"h","port":443})", true, true, "h", 443LL},
      {R"({ "port" : 443 , "hostname" : "h" })", true, true, "h", 443LL},
      // A field the text lacks, or holds as null, keeps what the object had.
      {R"({"hostname":"h"})", true, true, "h", 7LL},
      {R"({"hostname":"h","port":null})", true, true, "h", 7LL},
      // So does the empty string, which stands for an empty optional of another kind than text.
      {R"({"hostname":"h","port":""})", false, true, "h", 7LL},
      {R"({"hostname":"h","port":-9223372036854775808})", true, true, "h", LLONG_MIN},
      {R"({"hostname":"h","port":9223372036854775807})", true, true, "h", LLONG_MAX},
      // Integers as strings.
      {R"({"hostname":"h","port":"443"})", false, true, "h", 443LL},
      {R"({"hostname":"h","port":"+4"})", false, true, "h", 4LL},
      {R"({"hostname":"h","port":"-9223372036854775808"})", false, true, "h", LLONG_MIN},
      // Refused, with the full path's messages.
      {R"({"hostname":"h","port":443.0})", false, false, "", boost::none},
      {R"({"hostname":"h","port":9223372036854775808})", false, false, "", boost::none},
      {R"({"hostname":"h","hostname":"i"})", false, false, "", boost::none},
      {R"({"port":443})", false, false, "", boost::none},
      {R"({"hostname":null})", false, false, "", boost::none},
      {R"({"hostname":"\udc00"})", false, false, "", boost::none},
      {R"({"hostname":"h"} x)", false, false, "", boost::none},
      {R"([{"hostname":"h"}])", false, false, "", boost::none},
      {"", false, false, "", boost::none},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.text);
    TI::NetworkAddress direct = start;
    EXPECT_EQ(ReadDirectly(row.text, &direct), row.direct);
    TI::NetworkAddress address = start;
    Messages messages;
    ASSERT_EQ(Tirn::Json::FromJson(row.text, &address, messages), row.ok) << Describe(messages);
    if (row.ok) {
      EXPECT_EQ(address.hostname, row.hostname);
      EXPECT_EQ(address.port, row.port);
    }
    (void)ExpectSameAsFullPath(std::string(row.text), start);
  }
}

// (That the full path replaces lists: ValueToNativeAdapter.MembersTakeEveryFormTheWireAllows...;
// that its sets are sorted, without repeats: JsonDecode.GivesTheTreeTheKindsItsDefinitionNames.)
TEST(JsonDirectRead, ListsAndSetsAreReplacedAndSetsSortedAsTheFullPathDoes) {
  using FilterSpec = KmsServices::FilterSpec;
  FilterSpec const start{{}, Strings{"old"}, Addresses{Address("old", 1LL)}, Strings{"old"}};
  for (char const* text : {
           R"({"address":[{"hostname":"b","port":443},{"hostname":"a"}],)"
           R"("group":["g2","g1","g2"],"services":[]})",
           R"({"address":[],"group":[]})",
           R"({"services":["s"]})",
       }) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(ExpectSameAsFullPath(std::string(text), start));
  }
}

}  // namespace
