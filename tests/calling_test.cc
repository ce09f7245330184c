// What a client writes to call and read answers: handles from plain lambdas, calls that
// return a future, typed errors, and structures printed readably.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/world.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/future_call.h"

namespace {

using namespace ::test_world;
using InfoPtr = std::shared_ptr<Providers::Info const>;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// (A lambda taking every delivery as it comes is a handle too: the abandoned call of
// Calls.ACallWhoseHandleIsReleasedUnansweredEndsAsAbandoned reaches one; the deliveries in
// order, Calls.EveryOperationDeliversProgressInOrderThenTheAnswerConvertedOnce.)
TEST(Calling, AHandleIsMadeFromALambdaThatTakesOnlyTheCallsResult) {
  World world;
  world.script->answer = Script::Answer::kProgressThenValue;  // reaches it only at the end
  std::vector<Tirn::CallResult<InfoPtr>> results;
  auto const onlyTheEnd = [&](Tirn::CallResult<InfoPtr> const& result) {
    results.push_back(result);
  };
  world.providers.Get("kms-1", nullptr, onlyTheEnd);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].ok());
  world.script->answer = Script::Answer::kError;
  world.script->error = Refusal("kms-2");
  world.providers.Get("kms-2", nullptr, onlyTheEnd);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[1].ok());
  EXPECT_TRUE(Errors::Is<Errors::NotFound>(results[1].error()));
  EXPECT_THROW(results[1].value(), std::logic_error);
}

// The future form ends with its first final delivery: a later one, through a copy of the
// handle made before (as a provider that answers twice holds one), is ignored, never thrown;
// and a final delivery with neither value nor error reads as an internal_server_error saying
// that the call ended without an answer.
TEST(Calling, TheFutureFormTakesTheFirstEndAndNamesAnEndWithoutAnswer) {
  auto const info = Ptr(Providers::Info{{}, ProviderType::NATIVE, nullptr});
  {
    auto call = Tirn::MakeFutureCall<InfoPtr>();
    auto const heldByTheProvider = call.handle;
    auto const heldAgain = call.handle;
    call.handle.value(info);
    EXPECT_NO_THROW(heldByTheProvider.error(Refusal("late")));
    EXPECT_NO_THROW(heldAgain.value(std::make_shared<Providers::Info>()));
    ASSERT_EQ(call.future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    auto const result = call.future.get();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), info);
  }
  {
    auto call = Tirn::MakeFutureCall<InfoPtr>();
    call.handle.Dispatch(boost::none, nullptr, boost::none, Tirn::Progress::Final());
    ASSERT_EQ(call.future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    auto const result = call.future.get();
    EXPECT_FALSE(result.ok());
    ExpectOneFinalError({{false, false, result.error(), Tirn::Progress::Final()}},
                        kInternalServerError, {Msg(Tirn::MessageIds::kCallNoAnswer, "")});
  }
}

// A streamed-result handle is made from lambdas of the same forms, plus one that takes the
// handle for the next piece.
TEST(Calling, AStreamHandleIsMadeFromAPlainLambdaOfEachForm) {
  using Stream = Tirn::AsyncStreamResult<int, Tirn::AsyncStreamResultTerminateCbPolicy>;
  std::vector<Tirn::Progress> everything;
  Stream const plain([&](boost::optional<int> const&, ErrorValuePtr const&,
                         Tirn::Progress const& progress) { everything.push_back(progress); });
  plain.progress({0, 2, 1});
  plain.value(7);
  EXPECT_EQ(everything, (std::vector<Tirn::Progress>{{0, 2, 1}, Tirn::Progress::Final()}));

  std::vector<Tirn::CallResult<int>> ends;
  Stream const onlyTheEnd([&](Tirn::CallResult<int> const& result) { ends.push_back(result); });
  onlyTheEnd.progress({0, 2, 1});
  onlyTheEnd.value(8);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].value(), 8);

  bool handedOn = false;
  Stream const withNext([&](boost::optional<int> const& piece, ErrorValuePtr const&,
                            boost::optional<Tirn::Data::NativeError> const&, Tirn::Progress const&,
                            Stream::Next&& next) {
    handedOn = piece == 9 && next != nullptr;
  });
  withNext.value(9, [](Tirn::OptionalPtr<Stream>) {});
  EXPECT_TRUE(handedOn);
}

TEST(Calling, AnErrorIsAskedForByTypeAndReadAsItsNativeStructure) {
  World world(GermanCatalog());
  world.script->answer = Script::Answer::kError;
  world.script->error = Refusal("kms-9");
  ErrorValuePtr const error = world.providers.Get("kms-9", CallerActivation("de")).get().error();
  EXPECT_TRUE(Errors::Is<Errors::NotFound>(error));
  EXPECT_FALSE(Errors::Is<Errors::AlreadyExists>(error));
  EXPECT_FALSE(Errors::Is<Errors::NotFound>(nullptr));

  std::shared_ptr<Errors::NotFound const> const notFound = Errors::As<Errors::NotFound>(error);
  ASSERT_TRUE(notFound);
  ASSERT_EQ(notFound->messages.size(), 1u);
  auto const& message = *notFound->messages.front();
  EXPECT_EQ(message.id, "test.server.refused");
  EXPECT_EQ(message.default_message, "kms-9 refused");
  EXPECT_EQ(message.Text(), "kms-9 abgelehnt");
  EXPECT_FALSE(Errors::As<Errors::AlreadyExists>(error));
  EXPECT_FALSE(Errors::As<Errors::NotFound>(nullptr));

  // Without a German text the default one shows, and so does the printed error.
  auto const inEnglish = Errors::As<Errors::NotFound>(world.providers.Get("kms-9").get().error());
  ASSERT_TRUE(inEnglish);
  EXPECT_EQ(inEnglish->messages.front()->Text(), "kms-9 refused");
  std::ostringstream printed;
  printed << *inEnglish << " / " << *inEnglish->messages.front();
  EXPECT_THAT(printed.str(), AllOf(HasSubstr("kms-9 refused"), HasSubstr("test.server.refused")));
}

// (Errors print readably: AnErrorIsAskedForByTypeAndReadAsItsNativeStructure.)
TEST(Calling, StructuresPrintReadablyWithSecretsMasked) {
  std::ostringstream out;
  out << Providers::CreateSpec{{}, "p1", Ptr(Providers::NativeProviderCreateSpec{
                                             {}, "k1", Tirn::SecretString("hunter2-secret")})};
  EXPECT_THAT(out.str(), AllOf(HasSubstr("p1"), HasSubstr("k1"), Not(HasSubstr("hunter2"))));

  // A structure that cannot be converted (a required member left empty) says so rather than
  // printing half of it.
  std::ostringstream broken;
  broken << KmsServices::CreateSpec();
  EXPECT_THAT(broken.str(), StartsWith("<unprintable: "));
}

// (The caller's identity reaches the implementation's copy of the activation:
// InProcessApiProvider.EveryCallGetsItsOwnActivation.)
TEST(Calling, InProcessTheImplementationSeesTheCallersCancelFlag) {
  World world;
  auto activation = CallerActivation();
  auto const cancelled = std::make_shared<std::atomic<bool>>(false);
  activation->cancel = [cancelled] { *cancelled = true; };
  activation->isCancelled = [cancelled] { return cancelled->load(); };

  world.providers.Update("kms-1", ProvidersUpdateSpec(), activation).get();
  Activation const seen = world.script->activation;
  ASSERT_TRUE(seen && seen->isCancelled);
  // The implementation's copy of the activation shares the caller's flag.
  EXPECT_FALSE(seen->isCancelled());
  activation->cancel();
  EXPECT_TRUE(seen->isCancelled());
}

}  // namespace
