// Symbol visibility for the shared libraries.
//
// Everything is built with hidden visibility; a declaration marked with the macro of its
// library is exported. Every library exports the same way, whether it is being built or used,
// so one header serves them all.
#ifndef TIRN_MESSAGE_EXPORT_H_
#define TIRN_MESSAGE_EXPORT_H_

#define TIRN_VISIBLE __attribute__((visibility("default")))

#define TIRN_CORE_EXPORT TIRN_VISIBLE
#define TIRN_STD_EXPORT TIRN_VISIBLE
#define TIRN_BINDINGS_EXPORT TIRN_VISIBLE

#endif  // TIRN_MESSAGE_EXPORT_H_
