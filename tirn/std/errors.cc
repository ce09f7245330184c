#include "tirn/std/errors.h"

#include <ostream>

#include "tirn/data/print_native.h"

namespace Com {
namespace Ostrel {
namespace Tirn {
namespace Std {
namespace Errors {

std::list<::Tirn::BaseMessage> StandardError::GetMessages() const {
  std::list<::Tirn::BaseMessage> result;
  for (auto const& message : messages) {
    if (message) result.push_back(message->ToBaseMessage());
  }
  return result;
}

#define TIRN_STD_ERROR_PRINT(Name)                                 \
  std::ostream& operator<<(std::ostream& out, Name const& error) { \
    return ::Tirn::Data::PrintNative(out, error);                  \
  }
TIRN_STD_ERROR_PRINT(AlreadyExists)
TIRN_STD_ERROR_PRINT(Error)
TIRN_STD_ERROR_PRINT(InvalidArgument)
TIRN_STD_ERROR_PRINT(NotAllowedInCurrentState)
TIRN_STD_ERROR_PRINT(NotFound)
TIRN_STD_ERROR_PRINT(UnableToAllocateResource)
TIRN_STD_ERROR_PRINT(Unauthenticated)
TIRN_STD_ERROR_PRINT(Unauthorized)
TIRN_STD_ERROR_PRINT(Unsupported)
TIRN_STD_ERROR_PRINT(InternalServerError)
TIRN_STD_ERROR_PRINT(OperationNotFound)
TIRN_STD_ERROR_PRINT(ServiceUnavailable)
TIRN_STD_ERROR_PRINT(TimedOut)
#undef TIRN_STD_ERROR_PRINT

}  // namespace Errors
}  // namespace Std
}  // namespace Tirn
}  // namespace Ostrel
}  // namespace Com

namespace Tirn {
namespace Data {

#define TIRN_STD_ERROR_DEFINITIONS(Name, WireName)                                        \
  std::string const& TypeInfo<Com::Ostrel::Tirn::Std::Errors::Name>::name() {             \
    static std::string const kName = Wire::WireName;                                      \
    return kName;                                                                         \
  }                                                                                       \
  std::shared_ptr<Com::Ostrel::Tirn::Std::Errors::Name>                                   \
  TypeInfo<Com::Ostrel::Tirn::Std::Errors::Name>::defaultInstance(DataValuePtr const&) {  \
    return std::make_shared<Com::Ostrel::Tirn::Std::Errors::Name>();                      \
  }
TIRN_STD_ERROR_DEFINITIONS(AlreadyExists, kAlreadyExistsError)
TIRN_STD_ERROR_DEFINITIONS(Error, kGenericError)
TIRN_STD_ERROR_DEFINITIONS(InvalidArgument, kInvalidArgumentError)
TIRN_STD_ERROR_DEFINITIONS(NotAllowedInCurrentState, kNotAllowedInCurrentStateError)
TIRN_STD_ERROR_DEFINITIONS(NotFound, kNotFoundError)
TIRN_STD_ERROR_DEFINITIONS(UnableToAllocateResource, kUnableToAllocateResourceError)
TIRN_STD_ERROR_DEFINITIONS(Unauthenticated, kUnauthenticatedError)
TIRN_STD_ERROR_DEFINITIONS(Unauthorized, kUnauthorizedError)
TIRN_STD_ERROR_DEFINITIONS(Unsupported, kUnsupportedError)
TIRN_STD_ERROR_DEFINITIONS(InternalServerError, kInternalServerError)
TIRN_STD_ERROR_DEFINITIONS(OperationNotFound, kOperationNotFoundError)
TIRN_STD_ERROR_DEFINITIONS(ServiceUnavailable, kServiceUnavailableError)
TIRN_STD_ERROR_DEFINITIONS(TimedOut, kTimedOutError)
#undef TIRN_STD_ERROR_DEFINITIONS

}  // namespace Data
}  // namespace Tirn

TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::AlreadyExists)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Error)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::InvalidArgument)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::NotAllowedInCurrentState)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::NotFound)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::UnableToAllocateResource)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unauthenticated)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unauthorized)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unsupported)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::InternalServerError)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::OperationNotFound)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::ServiceUnavailable)
TIRN_DEFINE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::TimedOut)
