// The recording file: an SQLite database (schema in standin/README.md).
// Shared by the recorder (record.cpp) and the replay (replay.cpp).
#ifndef VQSIM_RECORDING_H
#define VQSIM_RECORDING_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "passthrough.h"
#include "state.h"

namespace vqsim::rec {

using pass::Result;

// PRAGMA application_id ("vqsd") and PRAGMA user_version of the files this
// library writes; a larger user_version comes from a newer library.
constexpr int kApplicationId = 0x76717364;
constexpr int kFormat = 1;

// What stands in a recording for a token, password or key.
constexpr const char* kSecret = "<secret>";

// Bit k set: argument k of `fn` (as recorded) holds a secret.
unsigned secret_arguments(Fn fn);
// True when the text `fn` hands out is a secret itself.
bool secret_result(Fn fn);

// The SDK interface this library was built against: its functions and their
// C prototypes, as a short text.  A recording of another interface is refused.
const std::string& interface_text();

// Arguments as JSON: [["b","<hex>"], ["i",n], ["p",n], ["s"], ...]; the
// secret arguments in `secret_mask` as ["s"].  `comparable`: pointer values
// left out, as replay compares them.
std::string args_json(const std::vector<Arg>& args, unsigned secret_mask, bool comparable);
// Back from that JSON; false if it is not well formed.  Secrets come back as
// kSecret bytes with their bit set in `secret_mask`.
bool parse_args(const std::string& json, std::vector<Arg>& args, unsigned& secret_mask);

// Opens an existing recording and checks it can be replayed; on failure,
// NULL and what is wrong in `error`.
sqlite3* open_for_replay(const std::string& path, std::string& error);

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
// Flushes and closes the file (at exit).
void stop_recorder();

long long thread_id();

}  // namespace vqsim::rec

#endif  // VQSIM_RECORDING_H
