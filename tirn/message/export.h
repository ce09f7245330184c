// Symbol visibility for the three shared libraries.
//
// Everything is built with hidden visibility; a declaration marked with the macro of its
// library is exported. Each library defines TIRN_<LIB>_BUILDING while it is compiled, so the
// same header serves the library itself and its users.
#ifndef TIRN_MESSAGE_EXPORT_H_
#define TIRN_MESSAGE_EXPORT_H_

#define TIRN_VISIBLE __attribute__((visibility("default")))

#define TIRN_CORE_EXPORT TIRN_VISIBLE
#define TIRN_STD_EXPORT TIRN_VISIBLE
#define TIRN_BINDINGS_EXPORT TIRN_VISIBLE

#endif  // TIRN_MESSAGE_EXPORT_H_
