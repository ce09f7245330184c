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
using Tirn::Data::StructValue;
using test_convert::List;
using test_convert::Str;
using test_convert::Struct;

// ---- The fourteen operations --------------------------------------------------------------

struct ProvidersCalls {
  static Deliveries List(World& w, Activation const& a) {
    return Record(w.providersImpl->summaries,
                  [&](auto const& h) { w.providers.List(ProvidersFilter(), a, h); });
  }
  static Deliveries Create(World& w, Activation const& a) {
    return Record(Tirn::Void(),
                  [&](auto const& h) { w.providers.Create(ProvidersCreateSpec(), a, h); });
  }
  static Deliveries Update(World& w, Activation const& a) {
    return Record(Tirn::Void(),
                  [&](auto const& h) { w.providers.Update("kms-1", ProvidersUpdateSpec(), a, h); });
  }
  static Deliveries Delete(World& w, Activation const& a) {
    return Record(Tirn::Void(), [&](auto const& h) { w.providers.Delete("kms-1", a, h); });
  }
  static Deliveries Get(World& w, Activation const& a) {
    return Record(w.providersImpl->info, [&](auto const& h) { w.providers.Get("kms-1", a, h); });
  }
};

template <class Impl, class Stub, std::shared_ptr<Impl> World::*kImpl, Stub World::*kStub>
struct ServicesCalls {
  static Deliveries List(World& w, Activation const& a) {
    return Record((w.*kImpl)->summaries, [&](auto const& h) {
      (w.*kStub).List(ServicesFilter<typename Impl::FilterSpec>(), a, h);
    });
  }
  static Deliveries Get(World& w, Activation const& a) {
    return Record((w.*kImpl)->info, [&](auto const& h) { (w.*kStub).Get("svc-1", a, h); });
  }
  static Deliveries Create(World& w, Activation const& a) {
    return Record((w.*kImpl)->createdId, [&](auto const& h) {
      (w.*kStub).Create(ServicesCreateSpec<typename Impl::CreateSpec>(), a, h);
    });
  }
  static Deliveries Delete(World& w, Activation const& a) {
    return Record(Tirn::Void(), [&](auto const& h) { (w.*kStub).Delete("svc-1", a, h); });
  }
};
using Kms =
    ServicesCalls<KmsServicesImpl, KmsServices::AsyncServiceStub, &World::kmsImpl, &World::kms>;
using Att =
    ServicesCalls<AttServicesImpl, AttServices::AsyncServiceStub, &World::attImpl, &World::att>;
using Prov = ProvidersCalls;

Deliveries ReportsList(World& w, Activation const& a) {
  return Record(w.reportsImpl->summaries, [&](auto const& h) { w.reports.List(a, h); });
}

// An error kind: how an implementation raises it, and its name on the wire.
struct ErrorKind {
  Tirn::Data::NativeError (*raise)(std::list<Tirn::BaseMessage> const&);
  std::string const& (*name)();
};

template <class E>
ErrorKind Kind() {
  return {[](std::list<Tirn::BaseMessage> const& messages) {
            return Errors::MakeNativeError<E>(messages);
          },
          &Tirn::Data::TypeInfo<E>::name};
}

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
      {"kms.providers/list", &Prov::List, Kind<E::Unauthorized>(), Kind<E::NotFound>()},
      {"kms.providers/create", &Prov::Create, Kind<E::AlreadyExists>(), Kind<E::NotFound>()},
      {"kms.providers/update", &Prov::Update, Kind<E::Unsupported>(), Kind<E::AlreadyExists>()},
      {"kms.providers/delete", &Prov::Delete, Kind<E::NotFound>(), Kind<E::AlreadyExists>()},
      {"kms.providers/get", &Prov::Get, Kind<E::NotFound>(), Kind<E::Unsupported>()},
      {"kms.services/list", &Kms::List, Kind<E::Unauthenticated>(), Kind<E::Unauthorized>()},
      {"kms.services/get", &Kms::Get, Kind<E::NotFound>(), Kind<E::Unauthorized>()},
      {"kms.services/create", &Kms::Create, Kind<E::UnableToAllocateResource>(),
       Kind<E::NotFound>()},
      {"kms.services/delete", &Kms::Delete, Kind<E::NotFound>(), Kind<E::Unsupported>()},
      {"attestation.services/list", &Att::List, Kind<E::Error>(), Kind<E::NotFound>()},
      {"attestation.services/get", &Att::Get, Kind<E::Unauthenticated>(), Kind<E::Unsupported>()},
      {"attestation.services/create", &Att::Create, Kind<E::AlreadyExists>(),
       Kind<E::Unauthorized>()},
      {"attestation.services/delete", &Att::Delete, Kind<E::NotFound>(), Kind<E::AlreadyExists>()},
      {"attestation.reports/list", &ReportsList, Kind<E::NotAllowedInCurrentState>(),
       Kind<E::NotFound>()},
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
    std::vector<Tirn::Progress> const& expected = c.expected;
    auto const answer = c.answer;
    for (Operation const& operation : Operations()) {
      SCOPED_TRACE(operation.name + ", " + c.name);
      World world;
      world.script->answer = answer;
      Deliveries const deliveries = operation.call(world, CallerActivation());

      EXPECT_EQ(world.script->calls, 1);
      EXPECT_TRUE(world.script->inputArrived);
      // Sent as an operation input, empty only for the operation without parameters.
      auto const* input = dynamic_cast<StructValue const*>(world.provider->lastInput.get());
      ASSERT_TRUE(input);
      EXPECT_EQ(input->name(), kOperationInput);
      EXPECT_EQ(input->fields().empty(), operation.name == "attestation.reports/list");
      ASSERT_EQ(deliveries.size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(deliveries[i].progress, expected[i]);
        EXPECT_FALSE(deliveries[i].error);
        EXPECT_EQ(deliveries[i].hasValue, i + 1 == expected.size());
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
                Handle<std::shared_ptr<KmsServices::Info const>>(
                    Handle<std::shared_ptr<KmsServices::Info const>>::Plain(
                        [&](auto const&, ErrorValuePtr const& error, Tirn::Progress const&) {
                          ++calls;
                          received = error;
                          throw std::runtime_error("client callable fails");
                        })));
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
  struct Case {
    char const* name;
    bool boundWithCatalog;
    char const* callerLanguages;
    bool german;
    bool declared;
  };
  Case const cases[] = {
      {"German caller", true, "de-DE", true, true},
      {"French caller", true, "fr-FR", false, true},
      {"service bound without localizer", false, "de-DE", false, true},
      {"undeclared, German caller", true, "de-DE", true, false},
  };
  for (Case const& c : cases) {
    for (Operation const& operation : Operations()) {
      SCOPED_TRACE(std::string(c.name) + ", " + operation.name);
      World world(c.boundWithCatalog ? GermanCatalog() : nullptr);
      world.script->answer = Script::Answer::kError;
      ErrorKind const& kind = c.declared ? operation.declared : operation.undeclared;
      world.script->error =
          kind.raise({Tirn::MakeMessage("test.server.refused", "{1} refused", operation.method()),
                      Tirn::MakeMessage("test.server.detail", "see {1}", "log")});

      Deliveries const deliveries = operation.call(world, CallerActivation(c.callerLanguages));

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
  struct Case {
    char const* name;
    void (*spoil)(World&);
    Deliveries (*call)(World&, Activation const&);
    std::vector<std::string> messages;
  };
  Case const cases[] = {
      {"a summary without its required address does not convert",
       [](World& w) {
         w.kmsImpl->summaries = {Ptr(KmsServices::Summary{{}, "svc-1", nullptr, ""})};
       },
       &Kms::List,
       {}},
      {"a NATIVE provider without native_info is rejected by the definition",
       [](World& w) {
         w.providersImpl->info = Ptr(Providers::Info{{}, ProviderType::NATIVE, {}});
       },
       &Prov::Get,
       {Msg(Tirn::MessageIds::kValidationUnionCaseMissing, "native_info, type, NATIVE")}},
      {"a JWT report without its JWT is rejected by the definition",
       [](World& w) {
         w.reportsImpl->summaries.push_back(
             Ptr(Reports::Summary{{}, "r-3", Reports::ReportType::REPORTING_JWT, nullptr}));
       },
       &ReportsList,
       {Msg(Tirn::MessageIds::kValidationUnionCaseMissing,
            "[2].reporting_jwt, type, REPORTING_JWT")}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    c.spoil(world);
    Deliveries const deliveries = c.call(world, CallerActivation());
    EXPECT_EQ(world.script->calls, 1);
    ExpectOneFinalError(deliveries, kInternalServerError, c.messages);
  }
}

TEST(Calls, InputsTheServerCannotTakeNeverReachTheImplementation) {
  struct Case {
    char const* name;
    char const* service;
    char const* method;
    DataValuePtr input;
    std::vector<std::string> messages;
  };
  Case const cases[] = {
      {"a port the definition admits as text but the native integer does not", "kms.services",
       "create",
       Struct(
           kOperationInput,
           {{"spec",
             Struct(kPackage + "kms.services.create_spec",
                    {{"address", Struct(kPackage + "network_address",
                                        {{"hostname", Str("h")}, {"port", Str("x8")}})},
                     {"trusted_CA",
                      Struct(kPackage + "x509_cert_chain", {{"cert_chain", List({Str("root")})}})},
                     {"group", Str("blue")}})}}),
       {Msg(Tirn::MessageIds::kParseFailed, "x8, integer"),
        Msg(Tirn::MessageIds::kAtPath, "spec.address.port")}},
      {"a parameter the operation does not name", "kms.providers", "get",
       Struct(kOperationInput, {{"provider", Str("kms-1")}, {"zone", Str("eu")}}),
       {Msg(Tirn::MessageIds::kValidationUnexpectedField, "zone")}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    Deliveries deliveries;
    world.provider->inner.Invoke(
        std::make_shared<Tirn::Core::MethodIdentifier const>(
            std::make_shared<Tirn::Core::InterfaceIdentifier const>(kPackage + c.service),
            c.method),
        c.input, CallerActivation(),
        Tirn::Core::AsyncApiResultCb(
            [&](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                Tirn::Progress const& progress, Tirn::Core::AsyncApiResultCb::Continuation&&) {
              deliveries.push_back(
                  {result && result->output, false, result ? result->error : nullptr, progress});
            }));
    EXPECT_EQ(world.script->calls, 0);
    ExpectOneFinalError(deliveries, kInvalidArgument, c.messages);
  }
}

TEST(Calls, CallsTheClientCannotSendFailAtOnceWithoutReachingTheProvider) {
  struct Case {
    char const* name;
    bool withTemplate;
    Deliveries (*call)(World&);
    std::vector<std::string> messages;
  };
  std::string const at = Tirn::MessageIds::kAtPath;
  std::string const unset = Tirn::MessageIds::kUnsetNonOptionalField;
  Case const cases[] = {
      {"kms.providers/create without spec", true,
       [](World& w) {
         return Record(Tirn::Void(),
                       [&](auto const& h) { w.providers.Create(nullptr, CallerActivation(), h); });
       },
       {Msg(unset, kPackage + "kms.providers.create_spec"), Msg(at, "spec")}},
      {"attestation.services/create with a spec without address, without activation", true,
       [](World& w) {
         auto const spec = Ptr(AttServices::CreateSpec{{}, nullptr, CertChain(), "red"});
         return Record(std::string(), [&](auto const& h) { w.att.Create(spec, nullptr, h); });
       },
       {Msg(unset, kPackage + "network_address"), Msg(at, "spec.address")}},
      {"neither activation nor template", false, [](World& w) { return Kms::Get(w, nullptr); },
       {Msg(Tirn::MessageIds::kNoActivation, "")}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world(nullptr, c.withTemplate ? TemplateActivation() : nullptr);
    Deliveries const deliveries = c.call(world);
    EXPECT_EQ(world.provider->calls, 0);
    EXPECT_EQ(world.script->calls, 0);
    ExpectOneFinalError(deliveries, kInvalidArgument, c.messages);
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
    // The implementation runs with the template's execution context too.
    ASSERT_TRUE(world.script->activation && world.script->activation->executionContext);
    EXPECT_EQ(*world.script->activation->executionContext, *templateActivation->executionContext);
  }
  EXPECT_NE(sent[0], sent[1]);
  EXPECT_EQ(templateActivation->flags, 5);
  // The caller's own activation passes untouched, without even a context added.
  auto const own = std::make_shared<AsyncActivation>();
  Kms::Get(world, own);
  EXPECT_EQ(world.provider->lastActivation, own);
  EXPECT_FALSE(own->executionContext);
}

TEST(Calls, SignalsAreRegisteredInSlotOrder) {
  World world;
  struct Case {
    std::shared_ptr<Tirn::Provider::AsyncApiInterface> bound;
    char const* identifier;
    std::vector<std::string> methods;
  };
  Case const cases[] = {
      {Providers::AsyncServiceBinder::BindImplementation(world.providersImpl),
       "kms.providers",
       {"list", "create", "update", "delete", "get"}},
      {KmsServices::AsyncServiceBinder::BindImplementation(world.kmsImpl),
       "kms.services",
       {"list", "get", "create", "delete"}},
      {AttServices::AsyncServiceBinder::BindImplementation(world.attImpl, GermanCatalog()),
       "attestation.services",
       {"list", "get", "create", "delete"}},
      {Reports::AsyncServiceBinder::BindImplementation(world.reportsImpl),
       "attestation.reports",
       {"list"}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.identifier);
    ASSERT_TRUE(c.bound);
    EXPECT_EQ(c.bound->identifier()->name, kPackage + c.identifier);
    std::vector<std::string> methods;
    for (auto const& method : c.bound->methods()) methods.push_back(method->methodName());
    EXPECT_EQ(methods, c.methods);
  }
}

TEST(CallsDeathTest, OnlyAnInputFailureSpendsTheCallersOwnHandle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  World world;
  int deliveries = 0;
  Providers::CreateMethod::ResultCbType const handle{
      Providers::CreateMethod::ResultCbType::Plain([&](auto const&...) { ++deliveries; })};

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
