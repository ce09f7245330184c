// Tirn::Data::TypeInfo<T>: the per-type descriptor of every bound native type.
//
// Each bound structure, enumeration, operation input and service interface specialises it:
//   static std::string const& name();   // the canonical wire name
// and every structure also has
//   static std::shared_ptr<T> defaultInstance(std::shared_ptr<DataValue const> const&);
// which returns a new default-constructed object (the argument is ignored).
#ifndef TIRN_DATA_TYPE_INFO_H_
#define TIRN_DATA_TYPE_INFO_H_

namespace Tirn {
namespace Data {

template <class T>
struct TypeInfo;

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_TYPE_INFO_H_
