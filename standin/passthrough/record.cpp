// The recording file and its writer.  Calls and events are queued by the
// threads that make or receive them and written by a thread of the
// recorder's own, in one transaction per batch, so a process that dies
// leaves every batch committed before it died.
#include "recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

namespace vqsim::rec {

// ---- Secrets ----

unsigned secret_arguments(Fn fn) {
  switch (fn) {
    case FN_vqi_set_token:
    case FN_vqi_set_apitoken: return 1u << 0;           // the token
    case FN_vqi_set_ctp_md_info:                       // front_addresses, user_name, password
    case FN_vqi_set_bus_info: return 1u << 2;           // server_addr, user_name, password
    case FN_vqi_set_bus_secure: return 1u << 3;         // in_mode, tlsca, tlscert, tlskey, skip_verify
    default: return 0;
  }
}

bool secret_result(Fn fn) { return fn == FN_vqi_get_encrypted_token; }

// ---- The interface ----

namespace {

template <class T>
char type_code() {
  if constexpr (std::is_same_v<T, void>) return 'v';
  else if constexpr (std::is_same_v<T, int>) return 'i';
  else if constexpr (std::is_same_v<T, long long>) return 'q';
  else if constexpr (std::is_same_v<T, double>) return 'd';
  else if constexpr (std::is_same_v<T, bool>) return 'b';
  else if constexpr (std::is_same_v<T, char*>) return 's';
  else if constexpr (std::is_same_v<T, const char*>) return 'c';
  else if constexpr (std::is_same_v<T, char**>) return 'o';
  else if constexpr (std::is_same_v<T, int*>) return 'n';
  else if constexpr (std::is_same_v<T, void*>) return 'p';
  else if constexpr (std::is_same_v<T, vqi_event_callback_t>) return 'f';
  else return '?';
}

template <class R, class... A>
std::string prototype(R (*)(A...)) {
  return std::string(1, type_code<R>()) + std::string{type_code<A>()...};
}

template <auto F>
std::string prototype_of() {
  return prototype(F);
}

struct Prototype {
  const char* name;
  std::string (*text)();
};

#define VQSIM_PROTOTYPE(name) {#name, &prototype_of<&::name>},
#define VQSIM_PROTOTYPE_OF_OTHER(name, features) VQSIM_PROTOTYPE(name)
const Prototype kPrototypes[] = {VQSIM_REQUEST_RESPONSE_FUNCTIONS(VQSIM_PROTOTYPE)
                                     VQSIM_REQUEST_STATUS_FUNCTIONS(VQSIM_PROTOTYPE)
                                         VQSIM_OTHER_FUNCTIONS(VQSIM_PROTOTYPE_OF_OTHER)};
#undef VQSIM_PROTOTYPE
#undef VQSIM_PROTOTYPE_OF_OTHER

}  // namespace

const std::string& interface_text() {
  static const std::string* text = [] {
    std::uint64_t hash = 1469598103934665603ull;
    for (const Prototype& p : kPrototypes) {
      for (unsigned char c : std::string(p.name) + ':' + p.text() + ';') hash = (hash ^ c) * 1099511628211ull;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "vqsdk.h %d functions %016llx", static_cast<int>(kFunctionCount),
                  static_cast<unsigned long long>(hash));
    return new std::string(buffer);
  }();
  return *text;
}

// ---- Arguments as JSON ----

namespace {

// A growable byte buffer that keeps its memory when cleared and never
// zero-fills what it hands out.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() { std::free(data_); }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }
  void swap(Bytes& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  // `n` more bytes at the end, uninitialised.
  char* extend(std::size_t n) {
    if (n > capacity_ - size_) {
      std::size_t capacity = std::max(std::max(capacity_ * 2, size_ + n), std::size_t(4096));
      char* grown = static_cast<char*>(std::realloc(data_, capacity));
      if (!grown) throw std::bad_alloc();
      data_ = grown;
      capacity_ = capacity;
    }
    char* at = data_ + size_;
    size_ += n;
    return at;
  }
  void append(const char* p, std::size_t n) {
    if (n) std::memcpy(extend(n), p, n);
  }
  template <std::size_t N>
  void append(const char (&text)[N]) {
    append(text, N - 1);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// An argument as the JSON writer reads it: an Arg, or one queued for the file.
struct ArgView {
  Arg::Kind kind;
  long long i;
  unsigned long long u;
  double f;
  const char* data;  // Bytes
  std::size_t size;
};

// Two hex digits for every byte value.
struct HexPairs {
  char pair[256][2];
  constexpr HexPairs() : pair{} {
    const char* digits = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      pair[b][0] = digits[b >> 4];
      pair[b][1] = digits[b & 15];
    }
  }
};
constexpr HexPairs kHex;

template <class T>
void append_number(Bytes& out, T value) {
  char text[64];
  out.append(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text));
}

ArgView view_of(const Arg& arg) {
  return {arg.kind, arg.i, arg.u, arg.f, arg.bytes.data(), arg.bytes.size()};
}

void write_args(Bytes& out, const ArgView* args, std::size_t n, unsigned secret_mask, bool comparable) {
  out.append("[");
  for (std::size_t k = 0; k < n; ++k) {
    const ArgView& arg = args[k];
    if (k) out.append(",");
    if (k < 32 && (secret_mask >> k) & 1u) {
      out.append("[\"s\"]");
      continue;
    }
    switch (arg.kind) {
      case Arg::Kind::Null: out.append("[\"n\"]"); break;
      case Arg::Kind::Bytes: {
        out.append("[\"b\",\"");
        char* p = out.extend(2 * arg.size);
        const auto* bytes = reinterpret_cast<const unsigned char*>(arg.data);
        for (std::size_t j = 0; j < arg.size; ++j, p += 2) std::memcpy(p, kHex.pair[bytes[j]], 2);
        out.append("\"]");
        break;
      }
      case Arg::Kind::Int:
        out.append("[\"i\",");
        append_number(out, arg.i);
        out.append("]");
        break;
      case Arg::Kind::Addr:
        if (comparable) {
          out.append("[\"p\"]");
        } else {
          out.append("[\"p\",");
          append_number(out, arg.u);
          out.append("]");
        }
        break;
      case Arg::Kind::Float:
        out.append("[\"f\",\"");
        append_number(out, arg.f);
        out.append("\"]");
        break;
      case Arg::Kind::Bool:
        if (arg.i) out.append("[\"t\",true]");
        else out.append("[\"t\",false]");
        break;
      case Arg::Kind::OutNull: out.append("[\"on\"]"); break;
      case Arg::Kind::OutSet: out.append("[\"os\"]"); break;
      case Arg::Kind::OutLen: out.append("[\"m\"]"); break;
    }
  }
  out.append("]");
}

}  // namespace

std::string args_json(const std::vector<Arg>& args, unsigned secret_mask, bool comparable) {
  std::vector<ArgView> views;
  views.reserve(args.size());
  for (const Arg& arg : args) views.push_back(view_of(arg));
  Bytes out;
  write_args(out, views.data(), views.size(), secret_mask, comparable);
  return std::string(out.data(), out.size());
}

namespace {

// A small reader for exactly what args_json writes.
struct Reader {
  const std::string& s;
  std::size_t at = 0;
  bool eat(char c) {
    if (at < s.size() && s[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool string(std::string& out) {
    if (!eat('"')) return false;
    std::size_t end = s.find('"', at);
    if (end == std::string::npos) return false;
    out.assign(s, at, end - at);
    at = end + 1;
    return true;
  }
  bool number(long long& value) {
    auto r = std::from_chars(s.data() + at, s.data() + s.size(), value);
    if (r.ec != std::errc()) return false;
    at = static_cast<std::size_t>(r.ptr - s.data());
    return true;
  }
  bool word(const char* w) {
    std::size_t n = std::strlen(w);
    if (s.compare(at, n, w) != 0) return false;
    at += n;
    return true;
  }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool parse_args(const std::string& json, std::vector<Arg>& args, unsigned& secret_mask) {
  Reader r{json};
  args.clear();
  secret_mask = 0;
  if (!r.eat('[')) return false;
  if (r.eat(']')) return r.at == json.size();
  do {
    std::string kind;
    if (!r.eat('[') || !r.string(kind)) return false;
    Arg arg;
    if (kind == "n") {
      arg.kind = Arg::Kind::Null;
    } else if (kind == "b") {
      std::string hex;
      if (!r.eat(',') || !r.string(hex) || hex.size() % 2) return false;
      arg.kind = Arg::Kind::Bytes;
      for (std::size_t k = 0; k < hex.size(); k += 2) {
        int hi = hex_value(hex[k]), lo = hex_value(hex[k + 1]);
        if (hi < 0 || lo < 0) return false;
        arg.bytes += static_cast<char>(hi * 16 + lo);
      }
    } else if (kind == "i" || kind == "p") {
      long long value = 0;
      if (kind == "i" ? !r.eat(',') || !r.number(value) : r.eat(',') && !r.number(value)) return false;
      arg.kind = kind == "i" ? Arg::Kind::Int : Arg::Kind::Addr;
      arg.i = value;
      arg.u = static_cast<unsigned long long>(value);
    } else if (kind == "f") {
      std::string text;
      if (!r.eat(',') || !r.string(text)) return false;
      arg.kind = Arg::Kind::Float;
      auto res = std::from_chars(text.data(), text.data() + text.size(), arg.f);
      if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return false;
    } else if (kind == "t") {
      arg.kind = Arg::Kind::Bool;
      if (!r.eat(',')) return false;
      if (r.word("true")) arg.i = 1;
      else if (!r.word("false")) return false;
    } else if (kind == "on" || kind == "os" || kind == "m") {
      arg.kind = kind == "on" ? Arg::Kind::OutNull : kind == "os" ? Arg::Kind::OutSet : Arg::Kind::OutLen;
    } else if (kind == "s") {
      arg.kind = Arg::Kind::Bytes;
      arg.bytes = kSecret;
      if (args.size() < 32) secret_mask |= 1u << args.size();
    } else {
      return false;
    }
    if (!r.eat(']')) return false;
    args.push_back(std::move(arg));
  } while (r.eat(','));
  return r.eat(']') && r.at == json.size();
}

// ---- Opening a recording ----

namespace {

const char* kSchema =
    "CREATE TABLE session ("
    " format INTEGER NOT NULL, library TEXT NOT NULL, version TEXT, interface TEXT NOT NULL,"
    " started TEXT NOT NULL, started_ns INTEGER NOT NULL, pid INTEGER NOT NULL, secrets INTEGER NOT NULL);"
    "CREATE TABLE calls ("
    " seq INTEGER PRIMARY KEY, end_seq INTEGER, time_ns INTEGER NOT NULL, thread INTEGER NOT NULL,"
    " fn TEXT NOT NULL, args TEXT NOT NULL, ret INTEGER, ret_real REAL, response BLOB, response_len INTEGER);"
    "CREATE TABLE events ("
    " seq INTEGER PRIMARY KEY, time_ns INTEGER NOT NULL, thread INTEGER NOT NULL, text BLOB, payload BLOB,"
    " count INTEGER NOT NULL);";

// First column of the first row of `sql`, as text; false with SQLite's
// message in `error` when it fails.
bool query_text(sqlite3* db, const char* sql, std::string& value, std::string& error, int* code = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      value = text ? reinterpret_cast<const char*>(text) : "";
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      value.clear();
      rc = SQLITE_OK;
    }
  }
  if (rc != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    if (code) *code = sqlite3_extended_errcode(db) & 0xff;
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_OK;
}

}  // namespace

sqlite3* open_for_replay(const std::string& path, std::string& error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    error = errno == ENOENT ? "no such file" : std::strerror(errno);
    return nullptr;
  }
  if (S_ISDIR(info.st_mode)) {
    error = "is a directory";
    return nullptr;
  }
  if (info.st_size == 0) {
    error = "is empty, not a recording";
    return nullptr;
  }
  sqlite3* db = nullptr;
  // Read-write without creating anything: a file left by a killed recorder
  // still has its write-ahead log beside it, which opening folds back in.
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_CANTOPEN || rc == SQLITE_READONLY) {
    sqlite3_close(db);
    db = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  auto fail = [&](const std::string& what) -> sqlite3* {
    error = what;
    sqlite3_close(db);
    return nullptr;
  };
  if (rc != SQLITE_OK) return fail(std::string("cannot be opened: ") + sqlite3_errstr(rc));
  std::string value, message;
  int code = 0;
  if (!query_text(db, "PRAGMA temp_store = MEMORY", value, message, &code) ||
      !query_text(db, "PRAGMA application_id", value, message, &code)) {
    if (code == SQLITE_NOTADB) return fail("is not an SQLite database, not a recording");
    if (code == SQLITE_CORRUPT) return fail("is damaged (truncated or corrupt): " + message);
    return fail("cannot be read: " + message);
  }
  const bool ours = value == std::to_string(kApplicationId);
  if (!query_text(db, "PRAGMA quick_check(1)", value, message, &code) || value != "ok") {
    return fail("is damaged (truncated or corrupt): " + (value.empty() ? message : value));
  }
  if (!ours) return fail("is an SQLite database but not a vqsdk recording");
  if (!query_text(db, "PRAGMA user_version", value, message)) return fail("cannot be read: " + message);
  if (std::atoi(value.c_str()) > kFormat) {
    return fail("was written by a newer version (recording format " + value + "; this library reads format " +
                std::to_string(kFormat) + ")");
  }
  std::string recorded_interface, version;
  if (!query_text(db, "SELECT interface FROM session", recorded_interface, message) ||
      !query_text(db, "SELECT version FROM session", version, message) ||
      !query_text(db, "SELECT count(*) FROM calls WHERE 0", value, message) ||
      !query_text(db, "SELECT count(*) FROM events WHERE 0", value, message)) {
    return fail("is not a complete vqsdk recording (" + message + ")");
  }
  if (recorded_interface != interface_text()) {
    return fail("was recorded from another SDK library version (" + version + ", interface \"" +
                recorded_interface + "\"; this library: \"" + interface_text() + "\")");
  }
  return db;
}

// ---- The recorder ----

long long thread_id() {
  thread_local long long id = static_cast<long long>(syscall(SYS_gettid));
  return id;
}

namespace {

constexpr std::size_t kMaxQueued = 1 << 13;             // records
constexpr std::size_t kMaxQueuedBytes = 16u << 20;      // of their payloads
constexpr std::size_t kWakeAt = 1024;                   // a full batch wakes the writer at once
constexpr auto kBatchInterval = std::chrono::milliseconds(20);

// A record as queued for the writer: a Head, then for each argument an
// ArgHead and its bytes, then the event's text, then the response, each
// part padded to 8 bytes.  The caller copies its record into the queue and
// allocates nothing there; the writer reads the records where they are.
enum : std::uint8_t {
  kEvent = 1, kFinished = 2, kHasText = 4, kHasResponse = 8, kHasRet = 16, kHasReal = 32, kHasLen = 64
};

struct Head {
  std::uint64_t size;  // of the whole record
  std::uint64_t text_size;
  std::uint64_t response_size;
  std::uint32_t nargs;
  std::uint16_t fn;
  std::uint8_t flags;
  std::int32_t count;
  long long seq, end_seq, time_ns, thread, ret, response_len;
  double real;
};

struct ArgHead {
  std::uint64_t size;
  Arg::Kind kind;
  long long i;
  unsigned long long u;
  double f;
};

constexpr std::size_t padded(std::size_t n) { return (n + 7) & ~std::size_t(7); }

std::size_t queued_size(const Record& r) {
  std::size_t n = sizeof(Head) + padded(r.text.size()) + padded(r.result.response.size());
  for (const Arg& arg : r.args) n += sizeof(ArgHead) + padded(arg.bytes.size());
  return n;
}

char* put_bytes(char* at, const std::string& bytes) {
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  return at + padded(bytes.size());
}

void enqueue(const Record& r, std::size_t size, char* at) {
  const Result& res = r.result;
  Head head{};
  head.size = size;
  head.text_size = r.text.size();
  head.response_size = res.response.size();
  head.nargs = static_cast<std::uint32_t>(r.args.size());
  head.fn = static_cast<std::uint16_t>(r.fn);
  head.flags = static_cast<std::uint8_t>((r.event ? kEvent : 0) | (r.finished ? kFinished : 0) |
                                         (r.has_text ? kHasText : 0) | (res.has_response ? kHasResponse : 0) |
                                         (res.has_ret ? kHasRet : 0) | (res.has_real ? kHasReal : 0) |
                                         (res.has_len ? kHasLen : 0));
  head.count = r.count;
  head.seq = r.seq;
  head.end_seq = r.end_seq;
  head.time_ns = r.time_ns;
  head.thread = r.thread;
  head.ret = res.ret;
  head.response_len = res.response_len;
  head.real = res.real;
  std::memcpy(at, &head, sizeof head);
  at += sizeof head;
  for (const Arg& arg : r.args) {
    ArgHead a{arg.bytes.size(), arg.kind, arg.i, arg.u, arg.f};
    std::memcpy(at, &a, sizeof a);
    at = put_bytes(at + sizeof a, arg.bytes);
  }
  put_bytes(put_bytes(at, r.text), res.response);
}

struct Recorder {
  std::mutex mutex;
  std::condition_variable wake;      // the writer: work or a flush
  std::condition_variable progress;  // waiting callers: space, or a flush done
  Bytes queue;                       // the records queued, back to back
  std::size_t queued = 0;            // how many
  unsigned long long pushed = 0, written = 0, flush_target = 0;
  bool stopping = false;
  bool running = false;
  bool secrets = false;
  std::string path;
  std::string failure;  // the first write error, reported once
  sqlite3* db = nullptr;
  sqlite3_stmt* insert_call = nullptr;
  sqlite3_stmt* replace_call = nullptr;  // a loop call, written again once it returns
  sqlite3_stmt* insert_event = nullptr;
  std::thread writer;
  // The writer's own.
  Bytes json;
  std::vector<ArgView> views;

  void write(const Bytes& batch);
  void run();
};

Recorder& recorder() {
  static Recorder* instance = new Recorder;  // never destroyed: calls may come during exit
  return *instance;
}

// Binds every column, NULL where `present` is false: nothing is cleared between rows.
void bind_blob(sqlite3_stmt* stmt, int column, bool present, const char* bytes, std::size_t size) {
  if (present) sqlite3_bind_blob64(stmt, column, size ? bytes : "", size, SQLITE_STATIC);
  else sqlite3_bind_null(stmt, column);
}

void bind_int(sqlite3_stmt* stmt, int column, bool present, long long value) {
  if (present) sqlite3_bind_int64(stmt, column, value);
  else sqlite3_bind_null(stmt, column);
}

void Recorder::write(const Bytes& batch) {
  if (!failure.empty()) return;

  int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (const char *p = batch.data(), *end = p + batch.size(); p < end;) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) break;
    Head h;
    std::memcpy(&h, p, sizeof h);
    const char* at = p + sizeof h;
    p += h.size;
    views.clear();
    for (std::uint32_t k = 0; k < h.nargs; ++k) {
      ArgHead a;
      std::memcpy(&a, at, sizeof a);
      at += sizeof a;
      views.push_back({a.kind, a.i, a.u, a.f, at, a.size});
      at += padded(a.size);
    }
    const char* text = at;
    const char* response = text + padded(h.text_size);
    const bool has_response = h.flags & kHasResponse;
    if (h.flags & kEvent) {
      sqlite3_stmt* stmt = insert_event;
      sqlite3_reset(stmt);
      sqlite3_bind_int64(stmt, 1, h.seq);
      sqlite3_bind_int64(stmt, 2, h.time_ns);
      sqlite3_bind_int64(stmt, 3, h.thread);
      bind_blob(stmt, 4, h.flags & kHasText, text, h.text_size);
      bind_blob(stmt, 5, has_response, response, h.response_size);
      sqlite3_bind_int(stmt, 6, h.count);
      rc = sqlite3_step(stmt);
      continue;
    }
    const Fn fn = static_cast<Fn>(h.fn);
    const bool finished = h.flags & kFinished;
    sqlite3_stmt* stmt = finished && (fn == FN_vqi_run || fn == FN_vqi_poll) ? replace_call : insert_call;
    sqlite3_reset(stmt);
    json.clear();
    write_args(json, views.data(), views.size(), secrets ? 0 : secret_arguments(fn), false);
    sqlite3_bind_int64(stmt, 1, h.seq);
    bind_int(stmt, 2, finished, h.end_seq);
    sqlite3_bind_int64(stmt, 3, h.time_ns);
    sqlite3_bind_int64(stmt, 4, h.thread);
    sqlite3_bind_text(stmt, 5, kFunctions[fn].name, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 6, json.data(), static_cast<int>(json.size()), SQLITE_STATIC);
    bind_int(stmt, 7, h.flags & kHasRet, h.ret);
    if (h.flags & kHasReal) sqlite3_bind_double(stmt, 8, h.real);
    else sqlite3_bind_null(stmt, 8);
    if (has_response && !secrets && secret_result(fn)) {
      sqlite3_bind_text(stmt, 9, kSecret, -1, SQLITE_STATIC);
    } else {
      bind_blob(stmt, 9, has_response, response, h.response_size);
    }
    bind_int(stmt, 10, h.flags & kHasLen, h.response_len);
    rc = sqlite3_step(stmt);
  }
  if (rc == SQLITE_OK || rc == SQLITE_DONE) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    failure = sqlite3_errmsg(db);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    std::fprintf(stderr, "vqsdk: recording to %s failed, nothing more is written: %s\n", path.c_str(),
                 failure.c_str());
  }
}

void Recorder::run() {
  Bytes batch;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait_for(lock, kBatchInterval,
                  [this] { return stopping || flush_target > written || queued >= kWakeAt; });
    batch.swap(queue);
    std::size_t n = queued;
    queued = 0;
    lock.unlock();
    progress.notify_all();
    if (n) write(batch);
    batch.clear();
    lock.lock();
    written += n;
    progress.notify_all();
    if (stopping && !queued) break;
  }
}

// The file was created here: it goes again, with SQLite's files beside it.
bool fail_with(std::string& error, sqlite3*& db, const char* what, const std::string& path) {
  error = std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_close_v2(db);
  db = nullptr;
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
  return false;
}

std::string utc_text(long long ns) {
  std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
  std::tm tm;
  gmtime_r(&seconds, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  char full[64];
  std::snprintf(full, sizeof full, "%s.%06lldZ", text, (ns % 1000000000) / 1000);
  return full;
}

}  // namespace

bool start_recorder(const std::string& path, const std::string& library, const std::string& version,
                    bool secrets, std::string& error) {
  // Created here, readable by its owner only: a recording holds account data.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errno == EEXIST ? "already exists (a recording is never overwritten)" : std::strerror(errno);
    return false;
  }
  close(fd);
  Recorder& r = recorder();
  r.path = path;
  r.secrets = secrets;
  if (sqlite3_open_v2(path.c_str(), &r.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be opened", path);
  std::string setup = "PRAGMA temp_store = MEMORY; PRAGMA page_size = 16384; PRAGMA journal_mode = WAL;"
                      "PRAGMA synchronous = NORMAL;"
                      "PRAGMA application_id = " + std::to_string(kApplicationId) + ";"
                      "PRAGMA user_version = " + std::to_string(kFormat) + ";"
                      // Fewer, larger checkpoints (32 MB): each one waits for the disk.
                      "PRAGMA wal_autocheckpoint = 2048; BEGIN;" + kSchema;
  if (sqlite3_exec(r.db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be written", path);
  sqlite3_stmt* stmt = nullptr;
  long long started = pass::now_ns();
  if (sqlite3_prepare_v2(r.db, "INSERT INTO session VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)", -1, &stmt,
                         nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be written", path);
  std::string started_text = utc_text(started);
  sqlite3_bind_int(stmt, 1, kFormat);
  sqlite3_bind_text(stmt, 2, library.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 3, version.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 4, interface_text().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 5, started_text.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(stmt, 6, started);
  sqlite3_bind_int64(stmt, 7, static_cast<long long>(getpid()));
  sqlite3_bind_int(stmt, 8, secrets ? 1 : 0);
  int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE || sqlite3_exec(r.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be written", path);
  // A loop call is written when it starts and again, complete, when it returns.
  if (sqlite3_prepare_v2(r.db, "INSERT INTO calls VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)", -1,
                         &r.insert_call, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(r.db, "INSERT OR REPLACE INTO calls VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                         -1, &r.replace_call, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(r.db, "INSERT INTO events VALUES (?1, ?2, ?3, ?4, ?5, ?6)", -1, &r.insert_event,
                         nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be written", path);
  r.running = true;
  r.writer = std::thread([&r] { r.run(); });
  return true;
}

bool recorder_running() { return recorder().running; }

void push(Record&& record) {
  Recorder& r = recorder();
  std::size_t size = queued_size(record);
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.running || r.stopping) return;
  // Never lose a record: a caller waits while the buffer is full.
  r.progress.wait(lock, [&r] { return r.queued < kMaxQueued && r.queue.size() < kMaxQueuedBytes; });
  enqueue(record, size, r.queue.extend(size));
  ++r.queued;
  ++r.pushed;
  if (r.queued == kWakeAt) r.wake.notify_one();
}

void flush() {
  Recorder& r = recorder();
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.running) return;
  r.flush_target = r.pushed;
  r.wake.notify_one();
  r.progress.wait(lock, [&r] { return r.written >= r.flush_target || !r.running; });
}

void stop_recorder() {
  Recorder& r = recorder();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.running || r.stopping) return;
    r.stopping = true;
  }
  r.wake.notify_one();
  r.writer.join();
  std::lock_guard<std::mutex> lock(r.mutex);
  sqlite3_finalize(r.insert_call);
  sqlite3_finalize(r.replace_call);
  sqlite3_finalize(r.insert_event);
  sqlite3_close(r.db);  // the last connection folds the write-ahead log back in
  r.db = nullptr;
  r.running = false;
  r.progress.notify_all();
}

}  // namespace vqsim::rec
