// The recording file and its writer.  Calls and events are queued by the
// threads that make or receive them and written by a thread of the
// recorder's own, in one transaction per batch, so a process that dies
// leaves every batch committed before it died.
#include "recording.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
  void truncate(std::size_t size) { size_ = size; }
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

// One JSON entry: `head`, the number, `tail`.
template <class T, std::size_t H, std::size_t N>
void append_entry(Bytes& out, const char (&head)[H], T value, const char (&tail)[N]) {
  out.append(head);
  append_number(out, value);
  out.append(tail);
}

ArgView view_of(const Arg& arg) {
  return {arg.kind, arg.i, arg.u, arg.f, arg.bytes.data(), arg.bytes.size()};
}

// Length of the valid UTF-8 sequence at p[0] (p < end), or 0.
std::size_t utf8_length(const unsigned char* p, const unsigned char* end) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  std::size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
  if (n == 0 || static_cast<std::size_t>(end - p) < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((p[k] & 0xc0) != 0x80) return 0;
  }
  // No overlong forms, no surrogates, nothing above U+10FFFF.
  if ((c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] > 0x9f) || (c == 0xf0 && p[1] < 0x90) ||
      (c == 0xf4 && p[1] > 0x8f))
    return 0;
  return n;
}

// True when none of the 8 bytes at p needs a look: all are ASCII, none is
// a control character, '"' or '\\'.
bool plain8(const unsigned char* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  auto has_zero = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  return ((v & kHigh) | ((v - 0x20 * kOnes) & ~v & kHigh) | has_zero(v ^ ('"' * kOnes)) |
          has_zero(v ^ ('\\' * kOnes))) == 0;
}

// `data` as the contents of a JSON string when it is valid UTF-8 text;
// false (with `out` as it was) when it is not.
bool append_json_text(Bytes& out, const char* data, std::size_t size) {
  const std::size_t start = out.size();
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + size;
  const auto* plain = p;  // p[plain, p) is copied at the next escape or at the end
  while (p < end) {
    if (end - p >= 8 && plain8(p)) {
      p += 8;
      continue;
    }
    unsigned char c = *p;
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++p;
      continue;
    }
    out.append(reinterpret_cast<const char*>(plain), static_cast<std::size_t>(p - plain));
    if (c >= 0x80) {
      std::size_t n = utf8_length(p, end);
      if (n == 0) {
        out.truncate(start);
        return false;
      }
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else if (c == '"') {
      out.append("\\\"");
      ++p;
    } else if (c == '\\') {
      out.append("\\\\");
      ++p;
    } else {
      char escape[6] = {'\\', 'u', '0', '0', kHex.pair[c][0], kHex.pair[c][1]};
      out.append(escape, sizeof escape);
      ++p;
    }
    plain = p;
  }
  out.append(reinterpret_cast<const char*>(plain), static_cast<std::size_t>(p - plain));
  return true;
}

void write_bytes(Bytes& out, const char* data, std::size_t size) {
  out.append("[\"u\",\"");
  if (append_json_text(out, data, size)) {
    out.append("\"]");
    return;
  }
  out.truncate(out.size() - 6);
  out.append("[\"b\",\"");
  char* p = out.extend(2 * size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  for (std::size_t j = 0; j < size; ++j, p += 2) std::memcpy(p, kHex.pair[bytes[j]], 2);
  out.append("\"]");
}

void write_args(Bytes& out, const ArgView* args, std::size_t n, const Masks& masks, bool comparable) {
  out.append("[");
  std::string masked;
  for (std::size_t k = 0; k < n; ++k) {
    const ArgView& arg = args[k];
    if (k) out.append(",");
    const unsigned bit = k < 32 ? 1u << k : 0;
    if (masks.secrets & bit) {
      out.append("[\"s\"]");
      continue;
    }
    switch (arg.kind) {
      case Arg::Kind::Null: out.append("[\"n\"]"); break;
      case Arg::Kind::Bytes:
        if ((masks.addresses & bit) && mask_addresses(arg.data, arg.size, masked)) {
          write_bytes(out, masked.data(), masked.size());
        } else {
          write_bytes(out, arg.data, arg.size);
        }
        break;
      case Arg::Kind::Int: append_entry(out, "[\"i\",", arg.i, "]"); break;
      case Arg::Kind::Addr:
        if (comparable) out.append("[\"p\"]");
        else append_entry(out, "[\"p\",", arg.u, "]");
        break;
      case Arg::Kind::Float: append_entry(out, "[\"f\",\"", arg.f, "\"]"); break;
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

Masks masks_of(Fn fn, bool secrets) {
  return secrets ? Masks{} : Masks{secret_arguments(fn), address_arguments(fn)};
}

std::string args_json(const std::vector<Arg>& args, const Masks& masks, bool comparable) {
  std::vector<ArgView> views;
  views.reserve(args.size());
  for (const Arg& arg : args) views.push_back(view_of(arg));
  Bytes out;
  write_args(out, views.data(), views.size(), masks, comparable);
  return std::string(out.data(), out.size());
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// A reader for what args_json writes; strings take every JSON escape, so a
// file edited with another JSON writer still reads.
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
  bool hex4(unsigned long& code) {
    if (s.size() - at < 4) return false;
    code = 0;
    for (int k = 0; k < 4; ++k) {
      int digit = hex_value(s[at++]);
      if (digit < 0) return false;
      code = code * 16 + static_cast<unsigned long>(digit);
    }
    return true;
  }
  bool string(std::string& out) {
    if (!eat('"')) return false;
    out.clear();
    while (at < s.size()) {
      char c = s[at++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at == s.size()) return false;
      char e = s[at++];
      const char* plain = std::strchr("\"\\/bfnrt", e);
      if (e && plain) {
        out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
        continue;
      }
      unsigned long code;
      if (e != 'u' || !hex4(code)) return false;
      if (code >= 0xd800 && code < 0xdc00) {  // a surrogate pair
        unsigned long low;
        if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xdc00 || low >= 0xe000) return false;
        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
      } else if (code >= 0xdc00 && code < 0xe000) {
        return false;
      }
      append_utf8(out, code);
    }
    return false;
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
    } else if (kind == "u") {
      arg.kind = Arg::Kind::Bytes;
      if (!r.eat(',') || !r.string(arg.bytes)) return false;
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

// Format 2, as stored in the file: every table and column says what it holds.
// (No commas in the comments: SQLite's DROP COLUMN looks back for the
// comma before the last column without skipping comments.)
const char* kSchema = R"(CREATE TABLE session (  -- one row: the recorded session
  library TEXT NOT NULL,          -- the forwarded SDK library's real path
  version TEXT,                   -- its vqi_get_c_version()
  interface TEXT NOT NULL,        -- "vqsdk.h 187 functions <hash of the C prototypes>"
  started TEXT NOT NULL,          -- when recording started: UTC in ISO 8601
  started_ns INTEGER NOT NULL,    -- the same in ns since the epoch
  pid INTEGER NOT NULL,           -- the recording process
  secrets INTEGER NOT NULL,       -- 1: tokens and passwords and keys as they were; 0: written as <secret>
  ended TEXT,                     -- how recording ended: "exit" or "SIGTERM" or "SIGHUP" or "failed: <reason>"; NULL: it never ended (killed or still recording)
  ended_ns INTEGER,               -- when it ended (ns since the epoch)
  end_seq INTEGER                 -- the next sequence number then; after a failure the first one not written
);
CREATE TABLE calls (  -- every SDK call when it returned (vqi_run and vqi_poll also when they started)
  seq INTEGER PRIMARY KEY,        -- taken when the call started; shared with events
  end_seq INTEGER,                -- the next sequence number when the call returned; NULL: it never returned
  time_ns INTEGER NOT NULL,       -- when it started (ns since the epoch)
  thread INTEGER NOT NULL,        -- Linux thread id of the caller
  fn TEXT NOT NULL,               -- the SDK function: "vqi_place_order_pb" for one
  args TEXT NOT NULL,             -- JSON array: one [kind and value] entry per C parameter (standin/README.md)
  ret INTEGER,                    -- int or long long return value
  ret_real REAL,                  -- double return value (vqi_now_plus)
  response BLOB,                  -- the response bytes or returned text or address; NULL: a NULL pointer
  response_len INTEGER            -- *res_len as returned
);
CREATE TABLE events (  -- every event the SDK delivered to the callback
  seq INTEGER PRIMARY KEY,        -- shared with calls
  time_ns INTEGER NOT NULL,       -- when it arrived (ns since the epoch)
  thread INTEGER NOT NULL,        -- Linux thread id it came on
  text TEXT,                      -- the event's text: "on_bar" for one (a BLOB when it is not UTF-8); NULL: a NULL pointer
  payload BLOB,                   -- the payload bytes; NULL: a NULL pointer
  count INTEGER NOT NULL          -- the length the SDK passed
);
)";

// First column of the first row of `sql`, as text (empty without a row);
// false with SQLite's message in `error` when it fails.
bool query_text(sqlite3* db, const std::string& sql, std::string& value, std::string& error, int* code = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
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

// The path as an SQLite URI, every byte outside the unreserved set escaped.
std::string uri_of(const std::string& path) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/._-~", c)) {
      uri += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  }
  return uri;
}

// True when the file's header says it is in WAL mode.
bool in_wal_mode(const std::string& path) {
  unsigned char header[20] = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool wal = read(fd, header, sizeof header) == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0 &&
             header[18] == 2;
  close(fd);
  return wal;
}

// The columns every reader needs, by table (format 1 has no end in its session row).
const char* const kColumns[][2] = {
    {"session", "library, version, interface, started, started_ns, pid, secrets"},
    {"calls", "seq, end_seq, time_ns, thread, fn, args, ret, ret_real, response, response_len"},
    {"events", "seq, time_ns, thread, text, payload, count"},
};

}  // namespace

sqlite3* open_recording(const std::string& path, Opened& opened, std::string& error) {
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
  // Read-only, so nothing is changed or made beside it: a file in WAL mode
  // without its -wal (a closed format 1 recording, or one copied without
  // it) is read as it is, since SQLite would make a -wal and -shm for it.
  struct stat wal_info;
  const bool wal_mode = in_wal_mode(path);
  const bool has_wal = stat((path + "-wal").c_str(), &wal_info) == 0;
  std::string uri = uri_of(path) + (wal_mode && !has_wal ? "?mode=ro&immutable=1" : "?mode=ro");
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  auto fail = [&](const std::string& what) -> sqlite3* {
    error = what;
    sqlite3_close(db);
    return nullptr;
  };
  if (rc != SQLITE_OK) return fail(std::string("cannot be opened: ") + sqlite3_errstr(rc));
  std::string value, message;
  int code = 0;
  if (!query_text(db, "PRAGMA application_id", value, message, &code)) {
    if (code == SQLITE_NOTADB) return fail("is not an SQLite database, not a recording");
    if (code == SQLITE_CORRUPT) return fail("is damaged (truncated or corrupt): " + message);
    if (code == SQLITE_CANTOPEN && has_wal) {
      return fail("cannot be read where it is: its -wal needs a -shm file beside it, which cannot be made there "
                  "(read-only media?); copy it with its -wal to a writable place");
    }
    return fail("cannot be read: " + message);
  }
  const bool ours = value == std::to_string(kApplicationId);
  if (!query_text(db, "PRAGMA quick_check(1)", value, message, &code) || value != "ok") {
    return fail("is damaged (truncated or corrupt): " + (value.empty() ? message : value));
  }
  if (!ours) return fail("is an SQLite database but not a vqsdk recording");
  if (!query_text(db, "PRAGMA user_version", value, message)) return fail("cannot be read: " + message);
  opened.format = std::atoi(value.c_str());
  const std::string reads = "this library reads formats 1 to " + std::to_string(kFormat);
  if (opened.format > kFormat) {
    return fail("was written by a newer version (recording format " + value + "; " + reads + ")");
  }
  if (opened.format < 1) return fail("has no recording format it knows (user_version " + value + "; " + reads + ")");
  for (const auto& table : kColumns) {
    if (!query_text(db, std::string("SELECT ") + table[1] + " FROM " + table[0] + " LIMIT 0", value, message)) {
      return fail("is not a complete vqsdk recording (" + message + ")");
    }
  }
  std::string recorded_interface, version, ended, end_seq;
  if (!query_text(db, "SELECT count(*) FROM session", value, message) || value != "1") {
    return fail("is not a complete vqsdk recording (its session table has " + value + " rows, not one)");
  }
  if (opened.format == 1) {
    // Format 1 also had the format in the session row.
    if (!query_text(db, "SELECT format FROM session", value, message) || value != "1") {
      return fail("is damaged: its session row says format " + (value.empty() ? message : value) +
                  ", its header format 1");
    }
  } else if (!query_text(db, "SELECT ended FROM session", ended, message) ||
             !query_text(db, "SELECT end_seq FROM session", end_seq, message)) {
    return fail("is not a complete vqsdk recording (" + message + ")");
  }
  if (!query_text(db, "SELECT interface FROM session", recorded_interface, message) ||
      !query_text(db, "SELECT version FROM session", version, message)) {
    return fail("cannot be read: " + message);
  }
  if (recorded_interface != interface_text()) {
    return fail("was recorded from another SDK library version (" + version + ", interface \"" +
                recorded_interface + "\"; this library: \"" + interface_text() + "\")");
  }
  // Whether it is the whole session.
  std::vector<std::string>& problems = opened.problems;
  if (opened.format > 1 && wal_mode && !has_wal && ended.empty()) {
    problems.push_back("was left by a session that did not end, and its -wal is missing beside it: "
                       "what was written after its last checkpoint is lost");
  }
  if (opened.format == 1 ? has_wal : ended.empty()) {
    problems.push_back("did not end cleanly: the recording process was killed, or is still recording");
  } else if (ended.compare(0, 7, "failed:") == 0) {
    problems.push_back("did not end cleanly: recording stopped at sequence " + end_seq + ", " + ended);
  }
  std::string gap;
  if (!query_text(db,
                  "SELECT (prev + 1) || ' to ' || (seq - 1) FROM (SELECT seq, lag(seq, 1, 0) OVER (ORDER BY seq) prev"
                  " FROM (SELECT seq FROM calls UNION ALL SELECT seq FROM events)) WHERE seq > prev + 1 LIMIT 1",
                  gap, message)) {
    return fail("cannot be read: " + message);
  }
  if (!gap.empty()) problems.push_back("has a gap: sequence numbers " + gap + " are missing");
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
constexpr auto kBatchInterval = std::chrono::milliseconds(10);  // from a batch's first record
// The commit interval: a record is in the file at most this long after it
// was queued, or callers wait until it is, so a process killed at any
// moment loses at most what was queued in the last 20 ms.
constexpr auto kMaxUncommitted = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

// The monotonic clock as of the kernel's last tick: a few ns to read (a
// caller reads it at every record), behind by less than its resolution.
Clock::time_point coarse_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return Clock::time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
}

// How old, on that clock, the oldest uncommitted record may be: the commit
// interval less the clock's resolution.
Clock::duration max_uncommitted() {
  static const Clock::duration limit = [] {
    timespec resolution{0, 0};
    clock_getres(CLOCK_MONOTONIC_COARSE, &resolution);
    auto coarse = std::chrono::seconds(resolution.tv_sec) + std::chrono::nanoseconds(resolution.tv_nsec);
    return std::max<Clock::duration>(kMaxUncommitted - coarse, kMaxUncommitted / 4);
  }();
  return limit;
}

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
  std::condition_variable progress;  // waiting callers: space, a commit, or the end
  Bytes queue;                       // the records queued, back to back
  std::size_t queued = 0;            // how many
  unsigned long long pushed = 0, written = 0, flush_target = 0;
  // When the oldest record not yet committed was queued (empty: none).
  Clock::time_point queue_oldest{}, batch_oldest{};
  bool stopping = false;
  bool stopped = false;
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
  std::string masked;

  void write(const Bytes& batch);
  sqlite3_stmt* bind_event(const Head& h, const char* text, const char* payload);
  sqlite3_stmt* bind_call(const Head& h, const char* response);
  bool note_end(const std::string& how, long long end_seq);
  void run();
  bool uncommitted_too_old(Clock::time_point now) const {
    Clock::time_point oldest = batch_oldest != Clock::time_point{} ? batch_oldest : queue_oldest;
    return oldest != Clock::time_point{} && now - oldest >= max_uncommitted();
  }
};

Recorder& recorder() {
  static Recorder* instance = new Recorder;  // never destroyed: calls may come during exit
  return *instance;
}

thread_local bool t_in_recorder = false;

// Marks the thread as inside the recorder while it may hold its lock.
struct Inside {
  bool was = t_in_recorder;
  Inside() { t_in_recorder = true; }
  ~Inside() { t_in_recorder = was; }
};

// Binds every column, NULL where `present` is false: nothing is cleared between rows.
void bind_blob(sqlite3_stmt* stmt, int column, bool present, const char* bytes, std::size_t size) {
  if (present) sqlite3_bind_blob64(stmt, column, size ? bytes : "", size, SQLITE_STATIC);
  else sqlite3_bind_null(stmt, column);
}

void bind_int(sqlite3_stmt* stmt, int column, bool present, long long value) {
  if (present) sqlite3_bind_int64(stmt, column, value);
  else sqlite3_bind_null(stmt, column);
}

// Text that is valid UTF-8 as TEXT, anything else as a BLOB.
void bind_text(sqlite3_stmt* stmt, int column, bool present, const char* bytes, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t k = 0;
  while (present && k < size) {
    std::size_t n = utf8_length(p + k, p + size);
    if (n == 0 || p[k] == 0) return bind_blob(stmt, column, present, bytes, size);
    k += n;
  }
  if (present) sqlite3_bind_text64(stmt, column, size ? bytes : "", size, SQLITE_STATIC, SQLITE_UTF8);
  else sqlite3_bind_null(stmt, column);
}

sqlite3_stmt* Recorder::bind_event(const Head& h, const char* text, const char* payload) {
  sqlite3_stmt* stmt = insert_event;
  sqlite3_reset(stmt);
  sqlite3_bind_int64(stmt, 1, h.seq);
  sqlite3_bind_int64(stmt, 2, h.time_ns);
  sqlite3_bind_int64(stmt, 3, h.thread);
  bind_text(stmt, 4, h.flags & kHasText, text, h.text_size);
  bind_blob(stmt, 5, h.flags & kHasResponse, payload, h.response_size);
  sqlite3_bind_int(stmt, 6, h.count);
  return stmt;
}

sqlite3_stmt* Recorder::bind_call(const Head& h, const char* response) {
  const Fn fn = static_cast<Fn>(h.fn);
  const bool finished = h.flags & kFinished;
  const bool has_response = h.flags & kHasResponse;
  sqlite3_stmt* stmt = finished && (fn == FN_vqi_run || fn == FN_vqi_poll) ? replace_call : insert_call;
  sqlite3_reset(stmt);
  json.clear();
  write_args(json, views.data(), views.size(), masks_of(fn, secrets), false);
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
  } else if (has_response && !secrets && address_result(fn) && mask_addresses(response, h.response_size, masked)) {
    sqlite3_bind_blob64(stmt, 9, masked.data(), masked.size(), SQLITE_STATIC);
  } else {
    bind_blob(stmt, 9, has_response, response, h.response_size);
  }
  bind_int(stmt, 10, h.flags & kHasLen, h.response_len);
  return stmt;
}

void Recorder::write(const Bytes& batch) {
  if (!failure.empty()) return;
  long long first_seq = 0;  // of the batch: where recording stops if it cannot be written
  int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (const char *p = batch.data(), *end = p + batch.size(); p < end;) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) break;
    Head h;
    std::memcpy(&h, p, sizeof h);
    const char* at = p + sizeof h;
    p += h.size;
    if (first_seq == 0 || h.seq < first_seq) first_seq = h.seq;
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
    rc = sqlite3_step(h.flags & kEvent ? bind_event(h, text, response) : bind_call(h, response));
  }
  if (rc == SQLITE_OK || rc == SQLITE_DONE) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    failure = sqlite3_errmsg(db);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    std::fprintf(stderr, "vqsdk: recording to %s failed at sequence %lld, nothing more is written: %s\n",
                 path.c_str(), first_seq, failure.c_str());
    // The failed batch's frames are free again, else folding the log into
    // the file may make room (on a disk that is still full, nothing does).
    if (!note_end("failed: " + failure, first_seq)) {
      sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
      note_end("failed: " + failure, first_seq);
    }
  }
}

bool Recorder::note_end(const std::string& how, long long end_seq) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "UPDATE session SET ended = ?1, ended_ns = ?2, end_seq = ?3", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, how.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, pass::now_ns());
    sqlite3_bind_int64(stmt, 3, end_seq);
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

void Recorder::run() {
  Bytes batch;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    auto asked = [this] { return stopping || flush_target > written; };
    wake.wait(lock, [&] { return asked() || queued > 0; });
    // A batch: what comes in kBatchInterval from its first record, or kWakeAt records.
    if (queued) wake.wait_until(lock, queue_oldest + kBatchInterval, [&] { return asked() || queued >= kWakeAt; });
    batch.swap(queue);
    std::size_t n = queued;
    queued = 0;
    batch_oldest = queue_oldest;
    queue_oldest = {};
    lock.unlock();
    progress.notify_all();
    if (n) write(batch);
    batch.clear();
    lock.lock();
    written += n;
    batch_oldest = {};
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
  // A reader that has it open makes the last checkpoint wait a little.
  sqlite3_busy_timeout(r.db, 2000);
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
  if (sqlite3_prepare_v2(r.db, "INSERT INTO session (library, version, interface, started, started_ns, pid, secrets)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)", -1, &stmt, nullptr) != SQLITE_OK)
    return fail_with(error, r.db, "cannot be written", path);
  std::string started_text = utc_text(started);
  sqlite3_bind_text(stmt, 1, library.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, version.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 3, interface_text().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 4, started_text.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(stmt, 5, started);
  sqlite3_bind_int64(stmt, 6, static_cast<long long>(getpid()));
  sqlite3_bind_int(stmt, 7, secrets ? 1 : 0);
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
  // The writer takes no signals: their handler waits for it.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  r.writer = std::thread([&r] { r.run(); });
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return true;
}

bool recorder_running() { return recorder().running; }

bool in_recorder() { return t_in_recorder; }

void push(Record&& record) {
  Recorder& r = recorder();
  std::size_t size = queued_size(record);
  Inside inside;
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.running || r.stopping) return;
  // Never lose a record: a caller waits while the buffer is full, or while
  // the oldest record not yet committed is as old as the commit interval.
  auto can_queue = [&r] {
    return !r.running || (r.queued < kMaxQueued && r.queue.size() < kMaxQueuedBytes &&
                          (!r.failure.empty() || !r.uncommitted_too_old(coarse_now())));
  };
  if (!can_queue()) {
    r.wake.notify_one();
    r.progress.wait(lock, can_queue);
    if (!r.running || r.stopping) return;
  }
  enqueue(record, size, r.queue.extend(size));
  ++r.pushed;
  if (r.queued++ == 0) {
    r.queue_oldest = coarse_now();
    r.wake.notify_one();
  } else if (r.queued == kWakeAt) {
    r.wake.notify_one();
  }
}

void flush() {
  Recorder& r = recorder();
  Inside inside;
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.running) return;
  r.flush_target = r.pushed;
  r.wake.notify_one();
  r.progress.wait(lock, [&r] { return r.written >= r.flush_target || !r.running; });
}

void stop_recorder(const char* how, long long next_seq) {
  Recorder& r = recorder();
  Inside inside;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    if (r.stopping || !r.running) {
      // Another thread is ending it: done once that one is.
      r.progress.wait(lock, [&r] { return r.stopped || !r.running; });
      return;
    }
    r.stopping = true;
  }
  r.wake.notify_one();
  r.writer.join();
  std::lock_guard<std::mutex> lock(r.mutex);
  sqlite3_finalize(r.insert_call);
  sqlite3_finalize(r.replace_call);
  sqlite3_finalize(r.insert_event);
  if (r.failure.empty()) r.note_end(how, next_seq);
  // One file again, readable from read-only media: the log folded back in
  // and the file out of WAL mode (SQLite then removes the -wal and -shm).
  sqlite3_exec(r.db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
  sqlite3_close(r.db);
  r.db = nullptr;
  r.running = false;
  r.stopped = true;
  r.progress.notify_all();
}

}  // namespace vqsim::rec
