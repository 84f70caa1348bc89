// Replay of a recorded session ($VQSDK_REPLAY=FILE).
//
// Each SDK call is answered with the next recorded call of the same function
// (its status, response, text or time).  The recorded events are delivered
// in their recorded order: vqi_run and vqi_poll deliver every event recorded
// before their recorded return (to the end of the recording for a loop that
// never returned), any other call the events that arrived while it ran.
// Calls are compared with the recording in order; the first one that
// differs (another function, other arguments; pointers and secrets are not
// compared) is reported in full on stderr, and the replay goes on answering
// by function.  The two orders no longer line up after that, so each later
// call is compared with the recorded call that answers it (the next one of
// its function), and the differences are counted: the last line at exit
// gives how many, $VQSDK_REPLAY_REPORT=FILE lists each as a JSON line.
// VQSDK_REPLAY_STRICT=1 ends the process with status 3 at the first one,
// and refuses a recording that is not the whole session.
//
// The file is read as the session goes, so a long recording costs no memory.
// The lock is never held while the callback runs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "passthrough.h"
#include "recording.h"

namespace vqsim::pass {

namespace {

struct Replay {
  std::mutex mutex;
  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt* in_order = nullptr;  // every call, by sequence number
  sqlite3_stmt* by_seq = nullptr;    // one call
  std::vector<long long> seqs[kFunctionCount];  // each function's calls
  std::size_t next[kFunctionCount] = {};
  sqlite3_stmt* events = nullptr;    // every event, by sequence number
  bool strict = false;
  bool differed = false;
  bool closed = false;     // at exit
  long long compared = 0;  // calls compared so far
  long long differences = 0;
  long long first_difference = 0;  // its sequence number; 0: after the recording's last call
  std::FILE* report_file = nullptr;  // $VQSDK_REPLAY_REPORT
  std::vector<Arg> answered;         // the arguments of the call that answered the last one
  unsigned answered_secrets = 0;
  std::unique_ptr<Result> last[kFunctionCount];  // repeated once a function's calls run out
  std::shared_ptr<std::string> kept[kFunctionCount];
  bool have_event = false;
  bool events_done = false;
  long long event_seq = 0;
  Event event;
};

Replay& replay() {
  static Replay* instance = new Replay;  // never destroyed: calls may come during exit
  return *instance;
}

[[noreturn]] void give_up(const std::string& what) {
  std::fprintf(stderr, "vqsdk: cannot replay %s: %s\n", replay().path.c_str(), what.c_str());
  std::fflush(nullptr);
  std::_Exit(2);
}

// A read that fails halfway (the file changed or broke under the replay).
[[noreturn]] void read_failed(Replay& r) { give_up(std::string("reading failed: ") + sqlite3_errmsg(r.db)); }

std::string column_bytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  int size = sqlite3_column_bytes(stmt, column);
  return data && size > 0 ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                          : std::string();
}

std::string shown(const std::string& trace) {
  // "vqsdk: f(...)\n" without its prefix and newline.
  std::string text = trace.substr(std::strlen("vqsdk: "));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// One JSON line of $VQSDK_REPLAY_REPORT: recorded_fn NULL when nothing was
// recorded there.
void list_difference(Replay& r, long long seq, const Fn* recorded_fn, const std::vector<Arg>& recorded, Fn fn,
                     const std::vector<Arg>& args) {
  ++r.differences;
  if (r.differences == 1) r.first_difference = seq;
  if (!r.report_file) return;
  const bool secrets = secrets_shown();
  std::string line = "{\"seq\": " + (seq ? std::to_string(seq) : std::string("null")) + ", \"fn\": \"" +
                     kFunctions[fn].name + "\", \"recorded\": ";
  line += recorded_fn ? rec::args_json(recorded, rec::masks_of(*recorded_fn, secrets), false) : "null";
  if (recorded_fn && *recorded_fn != fn) line += std::string(", \"recorded_fn\": \"") + kFunctions[*recorded_fn].name + "\"";
  line += ", \"called\": " + rec::args_json(args, rec::masks_of(fn, secrets), false) + "}\n";
  std::fputs(line.c_str(), r.report_file);
  std::fflush(r.report_file);
}

void report(Replay& r, long long seq, const std::string& expected, Fn fn, const std::vector<Arg>& args) {
  r.differed = true;
  std::string text = "vqsdk: replay of " + r.path + " differs at call " + std::to_string(r.compared) +
                     (seq ? " (sequence number " + std::to_string(seq) + ")" : std::string(" (after its last call)")) +
                     ":\nvqsdk:   recorded: " + expected + "\nvqsdk:   called:   " + shown(trace_line(fn, args)) +
                     "\n";
  text += r.strict ? "vqsdk: VQSDK_REPLAY_STRICT is set: exit status 3\n"
                   : "vqsdk: the replay goes on, answering each function in recorded order\n";
  std::fputs(text.c_str(), stderr);
  if (r.strict) {
    std::fflush(nullptr);
    std::_Exit(3);
  }
}

// Pointers, secrets and the passwords in addresses are not compared.
bool same_arguments(Fn fn, unsigned secret_mask, const std::vector<Arg>& recorded, const std::vector<Arg>& args) {
  rec::Masks masks{secret_mask | secret_arguments(fn), address_arguments(fn)};
  return rec::args_json(recorded, masks, true) == rec::args_json(args, masks, true);
}

// Compares the call with the next recorded one, until the first difference.
void compare(Replay& r, Fn fn, const std::vector<Arg>& args) {
  int rc = sqlite3_step(r.in_order);
  if (rc == SQLITE_DONE) {
    list_difference(r, 0, nullptr, {}, fn, args);
    return report(r, 0, "nothing: the recording has no more calls", fn, args);
  }
  if (rc != SQLITE_ROW) read_failed(r);
  long long seq = sqlite3_column_int64(r.in_order, 0);
  const char* name = reinterpret_cast<const char*>(sqlite3_column_text(r.in_order, 1));
  std::string json = column_bytes(r.in_order, 2);
  std::vector<Arg> recorded;
  unsigned secret_mask = 0;
  int recorded_fn = find_function(name);
  if (recorded_fn < 0 || !rec::parse_args(json, recorded, secret_mask)) {
    give_up("call " + std::to_string(seq) + " has malformed arguments");
  }
  if (recorded_fn != fn || !same_arguments(fn, secret_mask, recorded, args)) {
    const Fn was = static_cast<Fn>(recorded_fn);
    list_difference(r, seq, &was, recorded, fn, args);
    report(r, seq, shown(trace_line(was, recorded)), fn, args);
  }
}

// The next recorded answer of `fn`; false when its calls have run out.
bool answer(Replay& r, Fn fn, Result& result, long long& seq, long long& end_seq) {
  if (r.next[fn] == r.seqs[fn].size()) return false;
  sqlite3_stmt* s = r.by_seq;
  sqlite3_reset(s);
  sqlite3_bind_int64(s, 1, r.seqs[fn][r.next[fn]++]);
  if (sqlite3_step(s) != SQLITE_ROW) read_failed(r);
  seq = sqlite3_column_int64(s, 0);
  // A loop call that never returned (the session ended inside it) runs to
  // the end of the recording.
  end_seq = sqlite3_column_type(s, 1) == SQLITE_NULL ? -1 : sqlite3_column_int64(s, 1);
  result.has_ret = sqlite3_column_type(s, 2) != SQLITE_NULL;
  result.ret = sqlite3_column_int64(s, 2);
  result.has_real = sqlite3_column_type(s, 3) != SQLITE_NULL;
  result.real = sqlite3_column_double(s, 3);
  result.has_response = sqlite3_column_type(s, 4) != SQLITE_NULL;
  result.response = column_bytes(s, 4);
  result.has_len = sqlite3_column_type(s, 5) != SQLITE_NULL;
  result.response_len = sqlite3_column_int64(s, 5);
  r.last[fn] = std::make_unique<Result>(result);
  if (r.differed) {
    // Compared with the call (the recording's arguments parsed once, at open).
    unsigned secret_mask = 0;
    if (!rec::parse_args(column_bytes(s, 6), r.answered, secret_mask)) {
      give_up("call " + std::to_string(seq) + " has malformed arguments");
    }
    r.answered_secrets = secret_mask;
  }
  return true;
}

// Takes the next recorded event if its sequence number is in (after, before);
// before < 0: no upper bound.
bool next_event(Replay& r, long long after, long long before, Event& out) {
  if (!r.have_event && !r.events_done) {
    int rc = sqlite3_step(r.events);
    if (rc == SQLITE_DONE) {
      r.events_done = true;
    } else if (rc == SQLITE_ROW) {
      r.have_event = true;
      r.event_seq = sqlite3_column_int64(r.events, 0);
      r.event = Event{};
      r.event.has_text = sqlite3_column_type(r.events, 1) != SQLITE_NULL;
      r.event.text = column_bytes(r.events, 1);
      r.event.has_data = sqlite3_column_type(r.events, 2) != SQLITE_NULL;
      r.event.data = column_bytes(r.events, 2);
      r.event.count = sqlite3_column_int(r.events, 3);
    } else {
      read_failed(r);
    }
  }
  if (!r.have_event || r.event_seq <= after || (before >= 0 && r.event_seq >= before)) return false;
  out = std::move(r.event);
  r.have_event = false;
  return true;
}

}  // namespace

void start_replay(const char* path) {
  Replay& r = replay();
  r.path = path;
  const char* strict = std::getenv("VQSDK_REPLAY_STRICT");
  r.strict = strict && strict[0] && std::strcmp(strict, "0") != 0;
  std::string error;
  rec::Opened opened;
  r.db = rec::open_recording(path, opened, error);
  if (!r.db) give_up(error);
  for (const std::string& problem : opened.problems) {
    if (r.strict) {
      std::fprintf(stderr, "vqsdk: cannot replay %s: it %s (VQSDK_REPLAY_STRICT is set: exit status 3)\n", path,
                   problem.c_str());
      std::fflush(nullptr);
      std::_Exit(3);
    }
    std::fprintf(stderr, "vqsdk: replay of %s: it %s\n", path, problem.c_str());
  }
  if (sqlite3_prepare_v2(r.db, "SELECT seq, fn, args FROM calls ORDER BY seq", -1, &r.in_order, nullptr) ||
      sqlite3_prepare_v2(r.db,
                         "SELECT seq, end_seq, ret, ret_real, response, response_len, args FROM calls WHERE seq = ?1",
                         -1, &r.by_seq, nullptr) ||
      sqlite3_prepare_v2(r.db, "SELECT seq, text, payload, count FROM events ORDER BY seq", -1, &r.events,
                         nullptr)) {
    give_up(std::string("cannot be read: ") + sqlite3_errmsg(r.db));
  }
  // Which function each call was, in order: calls are answered by function.
  sqlite3_stmt* index = nullptr;
  if (sqlite3_prepare_v2(r.db, "SELECT seq, fn FROM calls ORDER BY seq", -1, &index, nullptr)) {
    give_up(std::string("cannot be read: ") + sqlite3_errmsg(r.db));
  }
  int rc;
  while ((rc = sqlite3_step(index)) == SQLITE_ROW) {
    int fn = find_function(reinterpret_cast<const char*>(sqlite3_column_text(index, 1)));
    if (fn < 0) {
      const unsigned char* name = sqlite3_column_text(index, 1);
      give_up("call " + std::to_string(sqlite3_column_int64(index, 0)) + " is of " +
              (name ? reinterpret_cast<const char*>(name) : "NULL") + ", which this SDK does not have");
    }
    r.seqs[fn].push_back(sqlite3_column_int64(index, 0));
  }
  sqlite3_finalize(index);
  if (rc != SQLITE_DONE) read_failed(r);
  if (const char* report = std::getenv("VQSDK_REPLAY_REPORT"); report && report[0]) {
    r.report_file = std::fopen(report, "we");
    if (!r.report_file) {
      std::fprintf(stderr, "vqsdk: cannot write VQSDK_REPLAY_REPORT=%s: %s\n", report, std::strerror(errno));
      std::fflush(nullptr);
      std::_Exit(2);
    }
  }
  // Closed at exit, after the count of differences.  Calls after that get
  // their function's last answer, uncompared.
  std::atexit([] {
    Replay& closing = replay();
    std::lock_guard<std::mutex> lock(closing.mutex);
    if (closing.differences) {
      std::string first = closing.first_difference
                              ? "first at sequence " + std::to_string(closing.first_difference)
                              : std::string("first after the recording's last call");
      std::fprintf(stderr, "replay: %lld of %lld calls differed from the recording (%s)\n", closing.differences,
                   closing.compared, first.c_str());
    }
    if (closing.report_file) std::fclose(closing.report_file);
    closing.report_file = nullptr;
    for (sqlite3_stmt* stmt : {closing.in_order, closing.by_seq, closing.events}) sqlite3_finalize(stmt);
    closing.in_order = closing.by_seq = closing.events = nullptr;
    sqlite3_close_v2(closing.db);
    closing.db = nullptr;
    closing.closed = closing.differed = true;
    closing.events_done = true;
    closing.have_event = false;
    for (auto& calls : closing.seqs) calls.clear();
  });
  g_pass_mode = PassMode::kReplay;
}

Result replay_call(Fn fn, std::vector<Arg>&& args) {
  Replay& r = replay();
  Result result;
  long long seq = 0, end_seq = 0;
  bool found;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    const bool lined_up = !r.differed;
    if (!r.closed) ++r.compared;
    if (lined_up) compare(r, fn, args);
    found = answer(r, fn, result, seq, end_seq);
    if (!lined_up && !r.closed) {
      if (!found) {
        list_difference(r, 0, nullptr, {}, fn, args);
      } else if (!same_arguments(fn, r.answered_secrets, r.answered, args)) {
        list_difference(r, seq, &fn, r.answered, fn, args);
      }
    }
    if (!found) {
      // Out of recorded calls: the function's last answer again (a clock
      // stands still), or nothing at all.
      if (r.last[fn]) {
        result = *r.last[fn];
      } else {
        result.has_ret = true;
        result.has_response = true;
        result.has_len = true;
      }
    }
  }
  if (observing()) commit(fn, std::move(args));
  if (!found) return result;
  const bool loop = fn == FN_vqi_run || fn == FN_vqi_poll;
  if (!loop && end_seq < 0) end_seq = seq + 1;
  Event event;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      if (!next_event(r, loop ? 0 : seq, end_seq, event)) break;
    }
    deliver(event);
  }
  return result;
}

char* keep(Fn fn, const Result& result) {
  if (!result.has_response) return nullptr;
  auto copy = std::make_shared<std::string>(result.response);
  std::lock_guard<std::mutex> lock(replay().mutex);
  replay().kept[fn] = copy;
  return copy->data();
}

}  // namespace vqsim::pass
