// Texts through JSON and back, unchanged: as a newer peer sends them, with fields and
// enumeration strings this version does not know at several depths, which the value model and
// JSON keep; and empty filters. (Every structure of the package goes through JSON and back in
// json_direct_read_test.cc, errors with their messages across HTTP in http_test.cc.)
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "tests/package_samples.h"
#include "tirn/json/json.h"

namespace {

using namespace package_samples;
using Messages = std::list<Tirn::BaseMessage>;

// The text, read into a T and written again, is what was received.
template <class T>
void ExpectSentBackAsReceived(std::string const& text) {
  SCOPED_TRACE(text);
  T native;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::FromJson(text, &native, messages));
  std::string sent;
  EXPECT_TRUE(Tirn::Json::ToJson(native, &sent, messages));
  for (Tirn::BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  EXPECT_EQ(sent, text);
}

TEST(JsonPackageRoundTrip, UnknownFieldsAndEnumerationStringsSurvive) {
  // Unknown fields at the top and two levels down, in a union case.
  ExpectSentBackAsReceived<Reports::Summary>(
      R"({"added_later":{"level":3,"tags":["a"]},"report":"r-1",)"
      R"("reporting_jwt":{"audience":[1.5,null],"group":"g","jwt":"e30","service":"s"},)"
      R"("type":"REPORTING_JWT"})");
  // An enumeration string this version does not know.
  ExpectSentBackAsReceived<Reports::Summary>(
      R"({"report":"r-2","reporting_jwt":null,"type":"FUTURE_KIND","zz":[{"a":{}}]})");
  // An unknown field in a structure the direct reader would otherwise take.
  ExpectSentBackAsReceived<KmsServices::Summary>(
      R"({"address":{"hostname":"h","later":[1],"port":null},"group":"g","service":"s"})");
  // At the top, in the address and in the certificates, which hold a structure of their own.
  ExpectSentBackAsReceived<KmsServices::Info>(
      R"({"added_later":{"level":3,"tags":["a"]},"address":{"hostname":"h","port":5696,"zone":5},)"
      R"("group":"g","trusted_CA":{"cert_chain":["leaf"],"pin":{"level":3,"tags":["a"]}}})");
  // In the elements of a list, and after every known field.
  ExpectSentBackAsReceived<AttServices::FilterSpec>(
      R"({"address":[{"hostname":"h","port":null,"weight":5},{"aa":5,"hostname":"h","port":0}],)"
      R"("group":null,"services":["a-1"],"zz_last":"kept"})");
  // An enumeration string this version does not know, in a set beside one it knows.
  ExpectSentBackAsReceived<Providers::FilterSpec>(
      R"({"available":null,"providers":null,"types":["NATIVE","native"]})");
}

// An empty filter is sent with every field an empty optional, as the services read it.
TEST(JsonPackageRoundTrip, EmptyFiltersSendEveryFieldEmpty) {
  ExpectSentBackAsReceived<Providers::FilterSpec>(
      R"({"available":null,"providers":null,"types":null})");
  ExpectSentBackAsReceived<KmsServices::FilterSpec>(
      R"({"address":null,"group":null,"services":null})");
}

}  // namespace
