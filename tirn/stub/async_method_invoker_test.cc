#include "tirn/stub/async_method_invoker.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace StubTest {

// Stands for a service's AsyncServiceInterface: only its TypeInfo is used.
class AddressService {};

struct GetAddressMethod {
  using Input = Shapes::Input;
  using ResultCbType =
      Tirn::AsyncResult<std::shared_ptr<Shapes::Address const>, Tirn::AsyncResultTerminateCbPolicy>;
  using Interface = AddressService;
  static std::string methodName() { return "get_address"; }
};

}  // namespace StubTest

namespace Tirn {
namespace Data {
template <>
struct TypeInfo<StubTest::AddressService> {
  static std::string const& name() {
    static std::string const kName = "test.stub.address_service";
    return kName;
  }
};
}  // namespace Data

namespace Stub {
namespace {

using StubTest::GetAddressMethod;
using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Handle = GetAddressMethod::ResultCbType;

// Each delivery as text: the value's host, or the error's name with each message's id and
// arguments, after the progress.
Handle Recording(std::vector<std::string>& deliveries) {
  return Handle(Handle::Plain([&deliveries](boost::optional<AddressPtr> const& value,
                                            Data::ErrorValuePtr const& error, Progress const& p) {
    std::string text = std::to_string(p.maximum) + "/" + std::to_string(p.current);
    if (value) text += " " + (*value ? (*value)->host : "null");
    if (error) text += " " + error->name() + ":";
    if (error) text += test_convert::Said(error->GetMessages());
    deliveries.push_back(text);
  }));
}

class ThrowingProvider : public Core::AsyncApiProvider {
 public:
  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const&, Data::DataValuePtr const&,
              std::shared_ptr<Core::AsyncActivation> const&,
              Core::AsyncApiResultCb const&) override {
    throw std::runtime_error("provider down");
  }
};

TEST(AsyncMethodInvoker, AProviderThatThrowsPassesTheExceptionOnAndTheCallEndsAsAbandoned) {
  std::vector<std::string> deliveries;
  Shapes::Input input;
  input.spec = Shapes::MakeAddress("h");
  EXPECT_THROW(AsyncMethodInvoker::Invoke<GetAddressMethod>(
                   input, std::make_shared<Core::AsyncActivation>(), Recording(deliveries),
                   std::make_shared<AsyncApiStub>(std::make_shared<ThrowingProvider>())),
               std::runtime_error);
  EXPECT_EQ(deliveries, std::vector<std::string>{std::string("1/1 ") +
                                                 Data::Wire::kInternalServerError + ": " +
                                                 MessageIds::kCallAbandoned});
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
