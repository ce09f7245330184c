// Many client threads call one bound service through shared stubs, in process and across
// HTTP, while the implementation answers from threads of its own; value and definition trees
// with shared subtrees are read and released from several threads at once. Built and run
// under ThreadSanitizer as well.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/raw_http.h"
#include "tests/world.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/validation.h"

namespace {

using namespace ::test_world;

constexpr int kClientThreads = 4;
constexpr int kCallsPerThread = 10000;
constexpr int kRemoteCallsPerThread = 150;
constexpr int kWorkerThreads = 2;

// Answers every call later, from the pool, with results derived from the call's input: Get
// and List name the requested service, Create the requested group; Delete refuses the
// service. List reports progress first.
class PooledServices : public KmsServices::AsyncServiceInterface {
 public:
  explicit PooledServices(boost::asio::thread_pool& pool) : pool_(pool) {}

  void List(Tirn::OptionalPtr<KmsServices::FilterSpec const> const& filter, Activation const&,
            Cb<KmsServices::ListMethod> result) override {
    std::string service = filter && filter->services ? *filter->services->begin() : "";
    boost::asio::post(pool_, [result, service = std::move(service)] {
      result.progress(Tirn::Progress(0, 2, 1));
      result.value({Ptr(KmsServices::Summary{{}, service, Address(service, 5696LL), {}})});
    });
  }
  void Get(std::string const& service, Activation const& activation,
           Cb<KmsServices::GetMethod> result) override {
    // Written to the call's own execution context, never to the template's it was copied from.
    activation->executionContext->applicationData["service"] = {service, boost::none};
    boost::asio::post(pool_, [result, service] {
      result.value(Ptr(KmsServices::Info{{}, Address(service, 5696LL), Chain({}), service}));
    });
  }
  void Create(std::shared_ptr<KmsServices::CreateSpec const> const& spec, Activation const&,
              Cb<KmsServices::CreateMethod> result) override {
    boost::asio::post(pool_, [result, group = spec->group] { result.value("created-" + group); });
  }
  void Delete(std::string const& service, Activation const&,
              Cb<KmsServices::DeleteMethod> result) override {
    boost::asio::post(pool_, [result, service] { result.error(Refusal(service)); });
  }

 private:
  boost::asio::thread_pool& pool_;
};

constexpr char kNotFound[] = "com.ostrel.tirn.std.errors.not_found";
using Info = std::shared_ptr<KmsServices::Info const>;
using Summaries = std::list<std::shared_ptr<KmsServices::Summary const>>;

// What one call received. Written only by the thread delivering that call's results.
struct Slot {
  int progressReports = 0;
  int finalDeliveries = 0;
  bool right = false;
};

// Counts calls that have not had their final delivery yet.
struct Countdown {
  explicit Countdown(int count) : left(count) {}
  void Done() {
    if (--left == 0) zero.set_value();
  }
  // Whether every call was answered within `limit`.
  bool Wait(std::chrono::seconds limit) {
    return reached.wait_for(limit) == std::future_status::ready;
  }

  std::atomic<int> left;
  std::promise<void> zero;
  std::future<void> reached = zero.get_future();
};

// A handle recording into `slot`. Its final delivery is right when it is `expected` or, with
// nothing expected, the not_found error whose one message is `refusal`.
template <class T>
Handle<T> Track(Slot& slot, Countdown& countdown, boost::optional<T> expected,
                std::string refusal = "") {
  return Handle<T>(typename Handle<T>::Plain(
      [&slot, &countdown, expected, refusal](boost::optional<T> const& value,
                                             ErrorValuePtr const& error,
                                             Tirn::Progress const& progress) {
        if (!progress.IsFinal()) {
          ++slot.progressReports;
          return;
        }
        ++slot.finalDeliveries;
        slot.right = expected ? value && !error && NativeEqual(*value, *expected)
                              : !value && error && error->name() == kNotFound &&
                                    MessagesOf(error) == std::vector<std::string>{refusal};
        countdown.Done();
      }));
}

// kClientThreads threads make `callsPerThread` calls each through one shared stub; every call
// must get exactly one final delivery, the right one. The service answers on `pool`, which the
// caller makes before whatever `reach` starts, so that it outlives it: a server still running
// after the calls are answered may yet be handed a call sent again, and that call reaches the
// pool.
// `reach` gives the provider the clients call: the one the service is registered with, or one
// that carries calls to it.
template <class Reach>
void ExpectEveryCallAnsweredOnce(boost::asio::thread_pool& pool, Reach const& reach,
                                 int callsPerThread) {
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(KmsServices::AsyncServiceBinder::BindImplementation(
      std::make_shared<PooledServices>(pool), GermanCatalog()));

  auto const templateActivation = TemplateActivation();
  KmsServices::AsyncServiceStub stub(
      std::make_shared<Tirn::Stub::AsyncApiStub>(reach(provider), templateActivation));

  int const kCalls = kClientThreads * callsPerThread;
  std::vector<Slot> slots(kCalls);
  Countdown countdown(kCalls);

  // Call k goes to operation k % 4; odd calls bring their own German activation, even ones
  // use a copy of the template.
  auto const call = [&](int k) {
    std::string const service = "svc-" + std::to_string(k);
    bool const german = k % 2 == 1;
    Activation const activation = german ? CallerActivation("de-DE") : nullptr;
    auto const address = Address(service, 5696LL);
    // Delete's refusal of `service`, in German exactly when asked.
    std::string refusal = Msg("test.server.refused", service);
    if (german) refusal += " = " + service + " abgelehnt";
    Slot& slot = slots[static_cast<std::size_t>(k)];
    switch (k % 4) {
      case 0:
        return stub.Get(
            service, activation,
            Track<Info>(slot, countdown, Ptr(KmsServices::Info{{}, address, Chain({}), service})));
      case 1:
        return stub.Create(Ptr(KmsServices::CreateSpec{{}, address, Chain({}), service}),
                           activation, Track<std::string>(slot, countdown, "created-" + service));
      case 2:
        return stub.List(
            Ptr(KmsServices::FilterSpec{{}, std::set<std::string>{service}, {}, {}}), activation,
            Track<Summaries>(slot, countdown,
                             Summaries{Ptr(KmsServices::Summary{{}, service, address, {}})}));
      default:
        return stub.Delete(service, activation,
                           Track<Tirn::Void>(slot, countdown, boost::none, refusal));
    }
  };

  std::vector<std::thread> clients;
  for (int t = 0; t < kClientThreads; ++t) {
    clients.emplace_back([&call, t, callsPerThread] {
      for (int i = 0; i < callsPerThread; ++i) call(t * callsPerThread + i);
    });
  }
  for (auto& client : clients) client.join();
  ASSERT_TRUE(countdown.Wait(std::chrono::seconds(120)));
  // Whatever is still queued (there is nothing when every call was answered once) runs now.
  pool.join();

  std::vector<int> wrongCalls;  // only List reports progress
  for (int k = 0; k < kCalls; ++k) {
    Slot const& slot = slots[static_cast<std::size_t>(k)];
    if (slot.finalDeliveries != 1 || !slot.right || slot.progressReports != (k % 4 == 2)) {
      wrongCalls.push_back(k);
    }
  }
  EXPECT_THAT(wrongCalls, testing::IsEmpty());
  EXPECT_EQ(templateActivation->executionContext->applicationData.size(), 1u);
}

TEST(Concurrency, EveryCallThroughSharedStubsGetsExactlyOneFinalDelivery) {
  boost::asio::thread_pool pool(kWorkerThreads);
  ExpectEveryCallAnsweredOnce(pool, [](auto const& provider) { return provider; },
                              kCallsPerThread);
}

// Every call through one client provider to a server that runs the operations on the I/O
// threads or, given `callThreads`, on threads of their own. With `pastADeadServer` the client
// has a server before that one that refuses every connection: the calls that start there go
// on to the next, while the client comes to prefer it.
void ExpectEveryRemoteCallAnsweredOnce(bool callThreads, bool pastADeadServer) {
  boost::asio::thread_pool pool(kWorkerThreads);
  Tirn::Http::IoThreads serverThreads(2);
  Tirn::Http::IoThreads clientThreads(2);
  Tirn::Http::WorkThreads operationThreads(2);
  std::unique_ptr<Tirn::Http::Server> server;
  ExpectEveryCallAnsweredOnce(
      pool,
      [&](std::shared_ptr<Tirn::Core::InProcessApiProvider> const& provider) {
        // Every call may be in flight at once, each on a connection of its own: the server
        // must take them all (its default limit would close the excess at once).
        Tirn::Http::ServerOptions serverOptions;
        serverOptions.maxConnections = kClientThreads * kRemoteCallsPerThread;
        serverOptions.maxConnectionsPerAddress = 0;
        if (callThreads) serverOptions.callContext = &operationThreads.context();
        server = std::make_unique<Tirn::Http::Server>(
            serverThreads.contexts(), provider, TI::Operations(), serverOptions);
        std::string error;
        EXPECT_TRUE(server->Start(&error)) << error;
        Tirn::Http::ClientOptions options;
        options.poolSize = kClientThreads;
        std::vector<std::string> urls = {"http://127.0.0.1:" + std::to_string(server->port())};
        sockaddr_in dead{};
        if (pastADeadServer) {
          ::close(raw_http::Bind(dead));  // bound, then closed: refused
          urls.insert(urls.begin(), "http://127.0.0.1:" + std::to_string(ntohs(dead.sin_port)));
        }
        return std::make_shared<Tirn::Http::ClientProvider>(clientThreads.contexts(), urls,
                                                            TI::Operations(), options);
      },
      kRemoteCallsPerThread);
}

// With and without the server's call threads, and past a server that is down or not.
class EveryCallThroughOneClientProvider : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(EveryCallThroughOneClientProvider, GetsExactlyOneFinalDelivery) {
  ExpectEveryRemoteCallAnsweredOnce(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Concurrency, EveryCallThroughOneClientProvider,
                         testing::Combine(testing::Bool(), testing::Bool()));

// ---- Answers that arrive after the server is gone ---------------------------------------------

// Keeps every call it is handed, unanswered, for the test to answer (or drop) when it likes.
class HoldingProvider : public Tirn::Core::AsyncApiProvider {
 public:
  struct HeldCall {
    Activation activation;
    Tirn::Core::AsyncApiResultCb result;

    // Ends the call with `output`, or with `error`.
    void Answer(DataValuePtr output, ErrorValuePtr error = nullptr) const {
      result(std::make_shared<Tirn::Core::MethodResult>(
                 Tirn::Core::MethodResult{std::move(output), std::move(error), true}),
             Tirn::Progress(0, 1, 1), nullptr);
    }
  };

  void Invoke(std::shared_ptr<Tirn::Core::MethodIdentifier const> const&, DataValuePtr const&,
              Activation const& activation, Tirn::Core::AsyncApiResultCb const& result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back({activation, result});
    arrived_.notify_all();
  }

  // The first call handed over, once it has been (within 10 s).
  std::optional<HeldCall> Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return !held_.empty(); })) {
      return std::nullopt;
    }
    HeldCall call = std::move(held_.front());
    held_.pop_front();
    return call;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<HeldCall> held_;
};

enum class Gone { kStopped, kServerDestroyed, kContextDestroyed };
enum class Late { kAnswer, kProgressThenAnswer, kError, kDrop, kCancel };

// A call held by its provider outlives its connection, the server, or the server and its
// io_context; then the provider answers it, reports progress, fails it, drops its callback or
// cancels it from a thread of its own. Each must be a harmless no-op: nothing freed is touched
// (AddressSanitizer and ThreadSanitizer watch), nothing is left running, the process goes on.
TEST(Concurrency, AnswersAfterTheServerIsGoneTouchNothingFreed) {
  for (Gone const gone : {Gone::kStopped, Gone::kServerDestroyed, Gone::kContextDestroyed}) {
    for (Late const late :
         {Late::kAnswer, Late::kProgressThenAnswer, Late::kError, Late::kDrop, Late::kCancel}) {
      SCOPED_TRACE(testing::Message() << "gone " << static_cast<int>(gone) << ", late "
                                      << static_cast<int>(late));
      auto provider = std::make_shared<HoldingProvider>();
      auto threads = std::make_unique<Tirn::Http::IoThreads>(2);
      auto server = std::make_unique<Tirn::Http::Server>(
          threads->contexts(), provider, TI::Operations(), Tirn::Http::ServerOptions{});
      std::string error;
      ASSERT_TRUE(server->Start(&error)) << error;
      int const fd = raw_http::Connect(server->port());
      ASSERT_GE(fd, 0);
      std::string const request = raw_http::Post(
          "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list", "{}", "application/json",
          late == Late::kProgressThenAnswer ? "Accept: application/x-ndjson\r\n" : "");
      ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(request.size()));
      std::optional<HoldingProvider::HeldCall> held = provider->Take();
      ASSERT_TRUE(held.has_value());

      std::promise<void> stopped;
      server->Stop(std::chrono::milliseconds(0), [&] { stopped.set_value(); });
      ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
      // The connection was closed under the call, which is cancelled but still held.
      EXPECT_TRUE(held->activation->isCancelled());
      EXPECT_EQ(raw_http::ReadAll(fd), "");
      ::close(fd);
      if (gone != Gone::kStopped) server.reset();
      if (gone == Gone::kContextDestroyed) threads.reset();

      std::thread answerer([&held, late] {
        switch (late) {
          case Late::kProgressThenAnswer:
            held->result(nullptr, Tirn::Progress(0, 2, 1), nullptr);
            [[fallthrough]];
          case Late::kAnswer:
            held->Answer(Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::LIST));
            break;
          case Late::kError:
            held->Answer(nullptr, Tirn::Data::ErrorValue::Create(
                                      Tirn::Data::Wire::kInternalServerError, {}));
            break;
          case Late::kDrop:
            break;  // the last copy of the callback goes below, answering as abandoned
          case Late::kCancel:
            held->activation->cancel();
            EXPECT_TRUE(held->activation->isCancelled());
            break;
        }
        held.reset();
      });
      answerer.join();
      EXPECT_FALSE(held.has_value());
    }
  }
}

// A client on two contexts with one connection: the first call takes it (on the first
// context), the second waits for it on the second context, then runs on it once the first is
// answered. The second call, held by the server, is left in flight while the client and then
// its threads are destroyed. It is owned both by its read on the first context and by its wait
// on the second: a handler left unrun on one context owns an I/O object of the other, and
// nothing freed may be touched when the contexts go (AddressSanitizer watches).
TEST(Concurrency, ACallLeftInFlightAcrossTwoContextsTouchesNothingFreedWhenTheyGo) {
  auto provider = std::make_shared<HoldingProvider>();
  Tirn::Http::IoThreads serverThreads(1);
  Tirn::Http::Server server(serverThreads.contexts(), provider, TI::Operations(),
                            Tirn::Http::ServerOptions{});
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;

  auto clientThreads = std::make_unique<Tirn::Http::IoThreads>(2);
  Tirn::Http::ClientOptions options;
  options.maxConnections = 1;
  auto client = std::make_shared<Tirn::Http::ClientProvider>(
      clientThreads->contexts(), "http://127.0.0.1:" + std::to_string(server.port()),
      TI::Operations(), options);
  auto stub = std::make_unique<KmsServices::AsyncServiceStub>(
      std::make_shared<Tirn::Stub::AsyncApiStub>(std::move(client), TemplateActivation()));
  Slot first;
  Slot second;
  Countdown firstAnswered(1);
  Countdown secondAnswered(1);
  stub->List(nullptr, nullptr, Track<Summaries>(first, firstAnswered, Summaries()));
  std::optional<HoldingProvider::HeldCall> held = provider->Take();
  ASSERT_TRUE(held.has_value());
  stub->List(nullptr, nullptr, Track<Summaries>(second, secondAnswered, Summaries()));

  held->Answer(Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::LIST));
  ASSERT_TRUE(firstAnswered.Wait(std::chrono::seconds(10)));
  // The second call now runs on the first one's connection, and the server holds it.
  held = provider->Take();
  ASSERT_TRUE(held.has_value());

  stub.reset();
  clientThreads.reset();
  EXPECT_EQ(first.finalDeliveries, 1);
  // Answered once, as abandoned, when the client's last hold on it went.
  EXPECT_EQ(second.finalDeliveries, 1);
}

// ---- Trees shared between threads ------------------------------------------------------------

constexpr int kReleaseRounds = 300;

// Runs `first` and `second` on two threads that start together.
template <class First, class Second>
void RunTogether(First first, Second second) {
  std::atomic<int> ready{0};
  auto const start = [&ready](auto const& run) {
    return std::thread([&ready, &run] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      run();
    });
  };
  std::thread one = start(first);
  std::thread two = start(second);
  one.join();
  two.join();
}

// A subtree of every compound kind, `depth` levels deep.
DataValuePtr SharedSubtree(int depth) {
  using namespace Tirn::Data;
  DataValuePtr tree = IntegerValue::GetInstance(7);
  for (int level = 0; level < depth; ++level) {
    auto list = ListValue::GetInstance(ListValue::LIST);
    list->Append(tree);
    list->Append(StringValue::GetInstance("s"));
    auto optional = OptionalValue::GetInstance();
    optional->value(list);
    auto structure = StructValue::GetInstance("com.example.level");
    structure->SetField("next", optional);
    structure->SetField("leaf", IntegerValue::GetInstance(level));
    tree = structure;
  }
  return tree;
}

// One thread reads a subtree and drops its own reference to it while another drops the
// parents that hold the same subtree; whichever is last takes the subtree apart. The reader
// holds the subtree itself or one of its parents; the other thread lets go at once or only
// after a pause (a pause orders nothing between the threads, it only makes the reader likely
// to let go first), so both orders happen. Each reader must see the whole subtree.
TEST(Concurrency, SharedValueSubtreesAreReleasedFromTwoThreadsInEitherOrder) {
  std::string const expected = Tirn::Data::ToDebugString(SharedSubtree(40));
  for (int round = 0; round < kReleaseRounds; ++round) {
    DataValuePtr subtree = SharedSubtree(40);
    auto parent = Tirn::Data::StructValue::GetInstance("com.example.parent");
    parent->SetField("shared", subtree);
    auto list = Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::SET);
    list->Append(subtree);
    DataValuePtr parents[2] = {std::move(parent), std::move(list)};
    DataValuePtr readerHolds = round % 2 == 0 ? subtree : parents[1];
    if (round % 2 == 1) parents[1].reset();
    subtree.reset();
    bool const pause = round % 4 >= 2;
    bool same = false;
    RunTogether(
        [&] {
          same = Tirn::Data::ToDebugString(readerHolds).find(expected) != std::string::npos;
          readerHolds.reset();
        },
        [&] {
          if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          for (DataValuePtr& held : parents) held.reset();
        });
    EXPECT_TRUE(same) << "round " << round;
  }
}

// A recursive definition: "node" holds a list of references to itself. A thread that keeps
// only the inner list validates through the reference (reaching "node" through its weak
// target) while another thread drops the definition that holds "node", at once or after a
// pause. The validation sees either the whole definition or an unbound reference.
TEST(Concurrency, RecursiveDefinitionsAreReleasedWhileReachedThroughAReference) {
  using namespace Tirn::Data;
  DataValuePtr value;
  for (int level = 0; level < 30; ++level) {
    auto node = StructValue::GetInstance("com.example.node");
    auto children = ListValue::GetInstance(ListValue::LIST);
    if (value) children->Append(value);
    node->SetField("children", children);
    node->SetField("name", StringValue::GetInstance("n"));
    value = node;
  }
  auto wrapped = ListValue::GetInstance(ListValue::LIST);
  wrapped->Append(value);
  DataValuePtr const input = wrapped;

  for (int round = 0; round < kReleaseRounds; ++round) {
    auto reference = StructRefDefinition::GetInstance("com.example.node");
    DataDefinitionPtr children = ListDefinition::GetInstance(reference);
    auto node = StructDefinition::GetInstance(
        "com.example.node",
        {{"children", children}, {"name", DataDefinition::Create<std::string>()}});
    reference->SetTarget(node);
    DataDefinitionPtr root = StructDefinition::GetInstance("com.example.root", {{"node", node}});
    node.reset();
    bool const pause = round % 2 == 1;
    std::list<Tirn::BaseMessage> messages;
    RunTogether(
        [&] {
          (void)Validate(children, input, messages);
          children.reset();
        },
        [&] {
          if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          root.reset();
        });
    ASSERT_TRUE(messages.empty() ||
                messages.front().id() == Tirn::MessageIds::kValidationUnresolvedReference)
        << "round " << round << ": " << messages.front().defaultMessage();
  }
}

}  // namespace
