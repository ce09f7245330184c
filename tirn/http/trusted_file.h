// Tirn::Http::ReadTrustedFile: reads a file that decides who may call a server or what it
// serves (its certificates and keys, its tokens, its policy, its configuration), refusing any
// file that cannot be trusted to say so.
//
// The file is opened once, without blocking (a FIFO nobody writes is refused, not waited on),
// and every check is made on the opened descriptor, so that nothing can swap the file between
// the check and the read:
//   - it is a regular file (not a directory, a device, a FIFO or a socket);
//   - it belongs to the user the process runs as, or to root;
//   - others may not write it, nor, for a secret, its group; a secret may not be read by
//     its group or by others either;
//   - it holds at most `maxSize` bytes, and is read to its end without error (a read error is
//     never taken as its end).
//
//   std::string text;
//   std::string error;
//   if (!Tirn::Http::ReadTrustedFile(path, Tirn::Http::TrustedFile{"the policy file"}, text,
//                                    error)) {
//     Fail(error);  // one line, naming the file and what is wrong with it
//   }
//
// Thread-safety: safe to call from any thread.
#ifndef TIRN_HTTP_TRUSTED_FILE_H_
#define TIRN_HTTP_TRUSTED_FILE_H_

#include <cstddef>
#include <string>

#include "tirn/http/protocol.h"

namespace Tirn {
namespace Http {

// What a file is and how it must be kept.
struct TrustedFile {
  // How messages name it: "the token file".
  char const* what = "the file";
  // The largest size accepted, in bytes. Default 1 MiB.
  std::size_t maxSize = std::size_t(1) << 20;
  // It holds a secret (a sealing key): neither its group nor others may read or write it.
  bool secret = false;
  // The memory it was read into is wiped on every path, failures included (always so for a
  // secret); the caller wipes `text` when done with it.
  bool wiped = false;
  // Its contents are worth keeping private (tokens): when its group or others may read it,
  // the reader is warned (see `warning` below), but the file is read.
  bool warnIfReadable = false;
};

// Reads the whole file at `path` into `text` (replacing what it held). False, with one line
// naming the file and what is wrong in `error`, when it cannot be opened or read, is not a
// regular file, belongs to another user, may be written (or, for a secret, read) by users it
// should not be, or is larger than `rule.maxSize`; `text` is then empty. With
// `rule.warnIfReadable`, `*warning` (when given) receives what to tell the user about a file
// its group or others may read, naming the fix, and is emptied otherwise.
TIRN_HTTP_EXPORT bool ReadTrustedFile(std::string const& path, TrustedFile const& rule,
                                      std::string& text, std::string& error,
                                      std::string* warning = nullptr);

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_TRUSTED_FILE_H_
