// Tirn::Data::BasicAdaptEntry: one unit of pending work of a conversion engine.
//
// Each engine keeps a last-in-first-out stack of these instead of recursing: the source to
// convert, the routine that converts it and the destination that receives the result.
#ifndef TIRN_DATA_ADAPT_ENTRY_H_
#define TIRN_DATA_ADAPT_ENTRY_H_

namespace Tirn {
namespace Data {

template <class Src, class Dst, class Messages, class Stack>
struct BasicAdaptEntry {
  using Method = void (*)(Src const& source, Dst const& destination, Stack& stack,
                          Messages& messages);

  Src source;
  Method method;
  Dst destination;
};

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_ADAPT_ENTRY_H_
