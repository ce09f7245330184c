// Calls of every operation of the package, in one process: client stub, in-process provider,
// provider method signal, method filter, test implementation, and back.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/world.h"
#include "tirn/message/message_ids.h"

namespace {

using namespace ::test_world;
using test_convert::List;
using test_convert::Str;
using test_convert::Struct;

// ---- The fourteen operations --------------------------------------------------------------

// The operations the key providers share with key servers and attestation services, and the
// call each makes: List sends the filter, Get and Delete name the entry, Create sends the spec.
template <class Impl, class Stub, std::shared_ptr<Impl> World::*kImpl, Stub World::*kStub>
struct Calls {
  static Deliveries List(World& w, Activation const& a) {
    return Record((w.*kImpl)->summaries,
                  [&](auto const& h) { (w.*kStub).List(Impl::Filter(), a, h); });
  }
  static Deliveries Get(World& w, Activation const& a) {
    return Record((w.*kImpl)->info, [&](auto const& h) { (w.*kStub).Get(Impl::kId, a, h); });
  }
  static Deliveries Create(World& w, Activation const& a) {
    return Record((w.*kImpl)->created,
                  [&](auto const& h) { (w.*kStub).Create(Impl::Spec(), a, h); });
  }
  static Deliveries Delete(World& w, Activation const& a) {
    return Record(Tirn::Void(), [&](auto const& h) { (w.*kStub).Delete(Impl::kId, a, h); });
  }
};
using Prov = Calls<ProvidersImpl, Providers::AsyncServiceStub, &World::providersImpl,
                   &World::providers>;
using Kms = Calls<KmsServicesImpl, KmsServices::AsyncServiceStub, &World::kmsImpl, &World::kms>;
using Att = Calls<AttServicesImpl, AttServices::AsyncServiceStub, &World::attImpl, &World::att>;

// The key providers' fifth.
Deliveries ProvUpdate(World& w, Activation const& a) {
  return Record(Tirn::Void(),
                [&](auto const& h) { w.providers.Update("kms-1", ProvidersUpdateSpec(), a, h); });
}

Deliveries ReportsList(World& w, Activation const& a) {
  return Record(w.reportsImpl->summaries, [&](auto const& h) { w.reports.List(a, h); });
}

// An error kind: how an implementation raises it, and its name on the wire.
struct ErrorKind {
  Tirn::Data::NativeError (*raise)(std::list<Tirn::BaseMessage> const&);
  std::string const& (*name)();
};

template <class E>
constexpr ErrorKind Kind = {&Errors::MakeNativeError<E>, &Tirn::Data::TypeInfo<E>::name};

struct Operation {
  std::string name;  // "service/method"
  Deliveries (*call)(World&, Activation const&);
  ErrorKind declared;    // one error the operation declares
  ErrorKind undeclared;  // and one it does not

  std::string method() const { return name.substr(name.find('/') + 1); }
};

std::vector<Operation> const& Operations() {
  namespace E = Errors;
  static std::vector<Operation> const operations = {
      {"kms.providers/list", &Prov::List, Kind<E::Unauthorized>, Kind<E::NotFound>},
      {"kms.providers/create", &Prov::Create, Kind<E::AlreadyExists>, Kind<E::NotFound>},
      {"kms.providers/update", &ProvUpdate, Kind<E::Unsupported>, Kind<E::AlreadyExists>},
      {"kms.providers/delete", &Prov::Delete, Kind<E::NotFound>, Kind<E::AlreadyExists>},
      {"kms.providers/get", &Prov::Get, Kind<E::NotFound>, Kind<E::Unsupported>},
      {"kms.services/list", &Kms::List, Kind<E::Unauthenticated>, Kind<E::Unauthorized>},
      {"kms.services/get", &Kms::Get, Kind<E::NotFound>, Kind<E::Unauthorized>},
      {"kms.services/create", &Kms::Create, Kind<E::UnableToAllocateResource>, Kind<E::NotFound>},
      {"kms.services/delete", &Kms::Delete, Kind<E::NotFound>, Kind<E::Unsupported>},
      {"attestation.services/list", &Att::List, Kind<E::Error>, Kind<E::NotFound>},
      {"attestation.services/get", &Att::Get, Kind<E::Unauthenticated>, Kind<E::Unsupported>},
      {"attestation.services/create", &Att::Create, Kind<E::AlreadyExists>, Kind<E::Unauthorized>},
      {"attestation.services/delete", &Att::Delete, Kind<E::NotFound>, Kind<E::AlreadyExists>},
      {"attestation.reports/list", &ReportsList, Kind<E::NotAllowedInCurrentState>,
       Kind<E::NotFound>},
  };
  return operations;
}

// ---- Tests --------------------------------------------------------------------------------

TEST(Calls, EveryOperationDeliversProgressInOrderThenTheAnswerConvertedOnce) {
  ASSERT_EQ(Operations().size(), 14u);
  struct Case {
    Script::Answer answer;
    char const* name;
    std::vector<Tirn::Progress> expected;
  } const cases[] = {
      {Script::Answer::kValue, "value", {{0, 1, 1}}},
      {Script::Answer::kProgressThenValue, "progress, value", {{0, 3, 1}, {0, 3, 2}, {0, 1, 1}}},
      {Script::Answer::kFinalProgressThenValue, "final-looking progress, value",
       {{0, 3, 1}, {0, 1, 1}}},
  };
  for (Case const& c : cases) {
    for (Operation const& operation : Operations()) {
      SCOPED_TRACE(operation.name + ", " + c.name);
      World world;
      world.script->answer = c.answer;
      Deliveries const deliveries = operation.call(world, CallerActivation());

      EXPECT_EQ(world.script->calls, 1);
      // The implementation received the input sent. (The input's wire name, the operation
      // input's: package_tables_test.cc.)
      EXPECT_TRUE(world.script->inputArrived);
      ASSERT_EQ(deliveries.size(), c.expected.size());
      for (std::size_t i = 0; i < c.expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(deliveries[i].progress, c.expected[i]);
        EXPECT_FALSE(deliveries[i].error);
        EXPECT_EQ(deliveries[i].hasValue, i + 1 == c.expected.size());
      }
      EXPECT_TRUE(deliveries.back().valueAsAnswered);
    }
  }
}

TEST(Calls, ACallWhoseHandleIsReleasedUnansweredEndsAsAbandoned) {
  std::string const abandoned = Msg(Tirn::MessageIds::kCallAbandoned, "");
  for (Operation const& operation : Operations()) {
    SCOPED_TRACE(operation.name);
    World world;
    world.script->answer = Script::Answer::kNothing;
    ExpectOneFinalError(operation.call(world, CallerActivation()), kInternalServerError,
                        {abandoned});

    world.script->answer = Script::Answer::kProgressThenNothing;
    Deliveries const deliveries = operation.call(world, CallerActivation());
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].progress, Tirn::Progress(0, 3, 1));
    EXPECT_FALSE(deliveries[0].error);
    ExpectOneFinalError({deliveries[1]}, kInternalServerError, {abandoned});
  }

  // A handle kept by the implementation keeps the call open until its last copy goes; the
  // client's callable may throw there, and the exception goes no further.
  World world;
  world.script->answer = Script::Answer::kKeepHandle;
  int calls = 0;
  ErrorValuePtr received;
  world.kms.Get("svc-1", CallerActivation(),
                [&](boost::optional<std::shared_ptr<KmsServices::Info const>> const&,
                    ErrorValuePtr const& error, Tirn::Progress const&) {
                  ++calls;
                  received = error;
                  throw std::runtime_error("client callable fails");
                });
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(world.script->kept);
  EXPECT_NO_THROW(world.script->kept.reset());
  EXPECT_EQ(calls, 1);
  ExpectOneFinalError({{false, false, received, Tirn::Progress(0, 1, 1)}}, kInternalServerError,
                      {abandoned});
}

// A declared error arrives as its error value, in the caller's language; one the operation does
// not declare arrives as internal_server_error naming it.
TEST(Calls, ErrorsArriveAsDeclaredInTheCallersLanguageOrAsInternalServerError) {
  // The caller asks for German; the service is bound with the German catalog or with none.
  struct Case {
    char const* name;
    bool german;
    bool declared;
  } const cases[] = {
      {"German caller", true, true},
      {"service bound without localizer", false, true},
      {"undeclared, German caller", true, false},
  };
  for (Case const& c : cases) {
    for (Operation const& operation : Operations()) {
      SCOPED_TRACE(std::string(c.name) + ", " + operation.name);
      World world(c.german ? GermanCatalog() : nullptr);
      world.script->answer = Script::Answer::kError;
      ErrorKind const& kind = c.declared ? operation.declared : operation.undeclared;
      world.script->error =
          kind.raise({Tirn::MakeMessage("test.server.refused", "{1} refused", operation.method()),
                      Tirn::MakeMessage("test.server.detail", "see {1}", "log")});

      Deliveries const deliveries = operation.call(world, CallerActivation("de-DE"));

      std::string refused = "test.server.refused(" + operation.method() + ")";
      if (c.german) refused += " = " + operation.method() + " abgelehnt";
      if (c.declared) {
        ExpectOneFinalError(deliveries, kind.name(), {refused, "test.server.detail(log)"});
      } else {
        ExpectOneFinalError(deliveries, kInternalServerError,
                            {Msg(Tirn::MessageIds::kErrorNotDeclared,
                                 kind.name() + ", " + operation.method())});
      }
    }
  }
}

TEST(Calls, InvalidOutputsArriveAsInternalServerError) {
  World world;
  // A summary without its required address does not convert.
  world.kmsImpl->summaries = {Ptr(KmsServices::Summary{{}, "svc-1", nullptr, ""})};
  ExpectOneFinalError(Kms::List(world, CallerActivation()), kInternalServerError, {});
  // A JWT report without its JWT is rejected by the definition.
  world.reportsImpl->summaries.push_back(
      Ptr(Reports::Summary{{}, "r-3", ReportType::REPORTING_JWT, nullptr}));
  ExpectOneFinalError(ReportsList(world, CallerActivation()), kInternalServerError,
                      {Msg(Tirn::MessageIds::kValidationUnionCaseMissing,
                           "[2].reporting_jwt, type, REPORTING_JWT")});
  EXPECT_EQ(world.script->calls, 2);  // both reached their implementation
}

// A port the definition admits as text but the native integer does not. (Fields the operation
// does not name: AsyncApiMethodSignal's test.)
TEST(Calls, InputsTheServerCannotTakeNeverReachTheImplementation) {
  auto const address =
      Struct(kPackage + "network_address", {{"hostname", Str("h")}, {"port", Str("x8")}});
  auto const chain = Struct(kPackage + "x509_cert_chain", {{"cert_chain", List({Str("root")})}});
  auto const spec = Struct(kPackage + "kms.services.create_spec",
                           {{"address", address}, {"trusted_CA", chain}, {"group", Str("blue")}});
  World world;
  Deliveries deliveries;
  world.provider->inner.Invoke(
      std::make_shared<Tirn::Core::MethodIdentifier const>(
          std::make_shared<Tirn::Core::InterfaceIdentifier const>(kPackage + "kms.services"),
          "create"),
      Struct(kOperationInput, {{"spec", spec}}), CallerActivation(),
      Tirn::Core::AsyncApiResultCb(
          [&](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
              Tirn::Progress const& progress, Tirn::Core::AsyncApiResultCb::Continuation&&) {
            deliveries.push_back(
                {result && result->output, false, result ? result->error : nullptr, progress});
          }));
  EXPECT_EQ(world.script->calls, 0);
  ExpectOneFinalError(deliveries, kInvalidArgument,
                      {Msg(Tirn::MessageIds::kParseFailed, "x8, integer"),
                       Msg(Tirn::MessageIds::kAtPath, "spec.address.port")});
}

TEST(Calls, CallsTheClientCannotSendFailAtOnceWithoutReachingTheProvider) {
  // A spec without its required address, sent without activation: the template serves.
  World world;
  auto const spec = Ptr(AttServices::CreateSpec{{}, nullptr, CertChain(), "red"});
  ExpectOneFinalError(
      Record(std::string(), [&](auto const& h) { world.att.Create(spec, nullptr, h); }),
      kInvalidArgument,
      {Msg(Tirn::MessageIds::kUnsetNonOptionalField, kPackage + "network_address"),
       Msg(Tirn::MessageIds::kAtPath, "spec.address")});
  // Neither activation nor template.
  World bare(nullptr, nullptr);
  ExpectOneFinalError(Kms::Get(bare, nullptr), kInvalidArgument,
                      {Msg(Tirn::MessageIds::kNoActivation, "")});
  for (World const* w : {&world, &bare}) {
    EXPECT_EQ(w->provider->calls, 0);
    EXPECT_EQ(w->script->calls, 0);
  }
}

TEST(Calls, CallWithoutActivationRunsOnAFreshCopyOfTheTemplate) {
  World world;
  auto const templateActivation = world.apiStub->templateActivation();
  std::vector<Activation> sent;
  for (int i = 0; i < 2; ++i) {
    Kms::Get(world, nullptr);
    sent.push_back(world.provider->lastActivation);
    // What the copy holds: InProcessApiProvider.EveryCallGetsItsOwnActivation.
    ASSERT_TRUE(sent.back() && sent.back()->executionContext);
    EXPECT_NE(sent.back(), templateActivation);
    EXPECT_EQ(*sent.back()->executionContext, *templateActivation->executionContext);
  }
  EXPECT_NE(sent[0], sent[1]);
  EXPECT_EQ(templateActivation->flags, 5);
  // The caller's own activation passes untouched, without even a context added.
  auto const own = std::make_shared<AsyncActivation>();
  Kms::Get(world, own);
  EXPECT_EQ(world.provider->lastActivation, own);
  EXPECT_FALSE(own->executionContext);
}

TEST(CallsDeathTest, OnlyAnInputFailureSpendsTheCallersOwnHandle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  World world;
  int deliveries = 0;
  Handle<Tirn::Void> const handle{Handle<Tirn::Void>::Plain([&](auto const&...) { ++deliveries; })};

  // A sent call spends only the engine's copy: the caller's handle serves the next call too.
  world.providers.Create(ProvidersCreateSpec(), nullptr, handle);
  world.providers.Create(ProvidersCreateSpec(), nullptr, handle);
  EXPECT_EQ(deliveries, 2);

  // An input failure is delivered through the caller's handle itself, which is then spent.
  world.providers.Create(nullptr, nullptr, handle);
  EXPECT_EQ(deliveries, 3);
  EXPECT_DEATH(world.providers.Create(nullptr, nullptr, handle), "");
}

}  // namespace
