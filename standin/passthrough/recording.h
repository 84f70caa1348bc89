// The recording file: an SQLite database (schema in standin/README.md).
// Shared by the recorder (record.cpp) and the replay (replay.cpp).
#ifndef VQSIM_RECORDING_H
#define VQSIM_RECORDING_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "passthrough.h"
#include "secrets.h"
#include "state.h"

namespace vqsim::rec {

using pass::Result;

// PRAGMA application_id ("vqsd") and PRAGMA user_version, the format, of
// the files this library writes; it reads formats 1 and 2, and a larger one
// comes from a newer library.
constexpr int kApplicationId = 0x76717364;
constexpr int kFormat = 2;

// The SDK interface this library was built against: its functions and their
// C prototypes, as a short text.  A recording of another interface is refused.
const std::string& interface_text();

// Which arguments are written without their secrets: bit k for argument k.
struct Masks {
  unsigned secrets = 0;    // as ["s"]
  unsigned addresses = 0;  // server addresses: their passwords as kSecret
};
// The masks of `fn`'s arguments; none when secrets are kept.
Masks masks_of(Fn fn, bool secrets);

// Arguments as JSON: [["u","text"], ["b","<hex>"], ["i",n], ["p",n], ["s"],
// ...], a string or request buffer as text when it is valid UTF-8, else as
// hex.  `comparable`: pointer values left out, as replay compares them.
std::string args_json(const std::vector<Arg>& args, const Masks& masks, bool comparable);
// Back from that JSON (format 1 or 2); false if it is not well formed.
// Secrets come back as kSecret bytes with their bit set in `secret_mask`.
bool parse_args(const std::string& json, std::vector<Arg>& args, unsigned& secret_mask);

// What opening a recording found besides its contents.
struct Opened {
  int format = 0;
  // What makes it less than the whole session, one line each: it did not
  // end cleanly, a gap in its sequence numbers, its -wal missing.
  std::vector<std::string> problems;
};

// Opens an existing recording read-only (it is never changed) and checks it
// can be replayed; on failure, NULL and what is wrong in `error`.
sqlite3* open_recording(const std::string& path, Opened& opened, std::string& error);

// ---- The recorder (record.cpp) ----

struct Record {
  bool event = false;
  bool finished = true;  // a call that has returned; false: a loop call just entered
  long long seq = 0;
  long long end_seq = 0;
  long long time_ns = 0;
  long long thread = 0;
  Fn fn = FN_vqi_run;
  std::vector<Arg> args;
  Result result;
  // An event: text (has_text) and payload (result.response, has_response),
  // with the count the SDK passed.
  bool has_text = false;
  std::string text;
  int count = 0;
};

// Creates `path` (which must not exist) and starts the writer thread; false
// with the reason in `error`.
bool start_recorder(const std::string& path, const std::string& library, const std::string& version,
                    bool secrets, std::string& error);
bool recorder_running();
// Queues a record; waits only while the buffer is full.
void push(Record&& record);
// Returns once everything queued so far is committed.
void flush();
// Writes everything queued, notes in the session row how recording ended
// (`how`: "exit", "SIGTERM", ...; `next_seq`: the next sequence number) and
// leaves the file whole in itself, out of WAL mode.  Returns once done, also
// when another thread is doing it.
void stop_recorder(const char* how, long long next_seq);
// True on a thread inside push, flush or stop_recorder.
bool in_recorder();

long long thread_id();

}  // namespace vqsim::rec

#endif  // VQSIM_RECORDING_H
