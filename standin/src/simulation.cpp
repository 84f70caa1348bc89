// The simulated session: market, account, orders, timers and bus loop-back.
// The wire format of requests, responses and event payloads is described in
// vqsim.h ("Simulation"); in short, key=value fields separated by ';',
// records separated by '\n', with '%', ';', '=', CR and LF percent-escaped.
#include "simulation.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "vqsim.h"

namespace vqsim::sim {

namespace {

constexpr long long kSecond = 1000;
constexpr long long kDay = 86400 * kSecond;

enum OrderStatus { kNew = 1, kFilled = 3, kCancelled = 5, kRejected = 8 };
enum Side { kBuy = 1, kSell = 2 };
enum OrderType { kLimit = 1, kMarket = 2 };

// ---- Wire format ----

using Fields = std::vector<std::pair<std::string, std::string>>;

void escape_into(std::string& out, const std::string& value) {
  static const char digits[] = "0123456789ABCDEF";
  for (unsigned char c : value) {
    if (c == '%' || c == ';' || c == '=' || c == '\n' || c == '\r') {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    int hi, lo;
    if (text[k] == '%' && k + 2 < text.size() && (hi = hex_digit(text[k + 1])) >= 0 &&
        (lo = hex_digit(text[k + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      k += 2;
    } else {
      out += text[k];
    }
  }
  return out;
}

std::string number(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  if (result.ec != std::errc()) result = std::to_chars(text, text + sizeof text, value);
  std::string out(text, result.ptr);
  // Doubles always show a point, so readers can tell them from integers.
  if (out.find_first_of(".en") == std::string::npos) out += ".0";
  return out;
}

// One encoded record.
class Record {
 public:
  Record& add(const char* key, const std::string& value) {
    if (!text_.empty()) text_ += ';';
    text_ += key;
    text_ += '=';
    escape_into(text_, value);
    return *this;
  }
  Record& add(const char* key, const char* value) { return add(key, std::string(value)); }
  Record& add(const char* key, double value) { return add(key, number(value)); }
  Record& add(const char* key, long long value) { return add(key, std::to_string(value)); }
  Record& add(const char* key, int value) { return add(key, std::to_string(value)); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

std::string join(const std::vector<Record>& records) {
  std::string out;
  for (const Record& record : records) {
    if (!out.empty()) out += '\n';
    out += record.text();
  }
  return out;
}

// Splits `text` at `sep`.
std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = text.find(sep, begin);
    parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return parts;
}

std::string trim(const std::string& text) {
  std::size_t b = text.find_first_not_of(" \t\r"), e = text.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

// Decodes records; false for a field without '='.  Empty lines are skipped.
bool decode(const std::string& text, std::vector<Fields>& records) {
  for (const std::string& line : split(text, '\n')) {
    if (trim(line).empty()) continue;
    Fields fields;
    for (const std::string& field : split(line, ';')) {
      if (trim(field).empty()) continue;
      std::size_t eq = field.find('=');
      if (eq == std::string::npos) return false;
      fields.emplace_back(trim(unescape(field.substr(0, eq))), unescape(field.substr(eq + 1)));
    }
    records.push_back(std::move(fields));
  }
  return true;
}

const std::string* find(const Fields& fields, const char* key) {
  for (const auto& field : fields) {
    if (field.first == key) return &field.second;
  }
  return nullptr;
}

bool parse_int(const std::string& text, long long& value) {
  std::string t = trim(text);
  auto result = std::from_chars(t.data(), t.data() + t.size(), value);
  return !t.empty() && result.ec == std::errc() && result.ptr == t.data() + t.size();
}

bool parse_double(const std::string& text, double& value) {
  std::string t = trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  value = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && std::isfinite(value);
}

// ---- Time: milliseconds since 1970-01-01 00:00:00 of a zone-less clock ----

long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DDTHH:MM:SS".
bool parse_time(const char* text, long long& ms) {
  if (!text) return false;
  std::string t = trim(text);
  std::replace(t.begin(), t.end(), 'T', ' ');
  int y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char extra = 0;
  int n = std::sscanf(t.c_str(), "%4d-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &extra);
  if (n != 3 && n != 6) return false;
  if (n == 3 && t.size() != 10) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  ms = days_from_civil(y, mo, d) * kDay + ((h * 60LL + mi) * 60 + s) * kSecond;
  return true;
}

std::string format_time(long long ms) {
  long long days = ms >= 0 ? ms / kDay : -((-ms + kDay - 1) / kDay);
  long long rest = ms - days * kDay;
  long long y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  char text[48];
  long long secs = rest / kSecond;
  int written = std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", y, m, d, secs / 3600,
                              secs / 60 % 60, secs % 60);
  if (rest % kSecond) std::snprintf(text + written, sizeof text - written, ".%03lld", rest % kSecond);
  return text;
}

// "tick" (0), or a count with unit s, m, h or d.
bool parse_frequency(const std::string& text, long long& period) {
  if (text == "tick") {
    period = 0;
    return true;
  }
  if (text.size() < 2) return false;
  long long count;
  if (!parse_int(text.substr(0, text.size() - 1), count) || count <= 0) return false;
  switch (text.back()) {
    case 's': period = count * kSecond; return true;
    case 'm': period = count * 60 * kSecond; return true;
    case 'h': period = count * 3600 * kSecond; return true;
    case 'd': period = count * kDay; return true;
    default: return false;
  }
}

double cents(double value) { return std::round(value * 100.0) / 100.0; }

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// ---- The session ----

struct Params {
  std::uint64_t seed = 1;
  long long steps = 240;
  long long step = 60 * kSecond;
  long long start = 0;  // set from kDefaultStart
  long long end = -1;   // -1: start + steps * step
  double cash = 1000000.0;
  double commission = 0.0;
  double slippage = 0.0;
  double volatility = 0.002;
  bool threads = false;  // market data from the SDK's own thread
};

const char kDefaultStart[] = "2024-01-02 09:30:00";

struct Instrument {
  std::mt19937_64 rng;
  double price = 0;  // last trade price
  double previous = 0;  // price before the last step
  double open = 0, high = 0, low = 0;
  long long cum_volume = 0;
  double cum_amount = 0;
  long long last_volume = 0;
  double last_amount = 0;
  long long bid_v = 0, ask_v = 0;

  double normal() {
    // Box-Muller on the standard engine: the same numbers with every library.
    double u1 = ((rng() >> 11) + 1.0) * 0x1.0p-53;
    double u2 = (rng() >> 11) * 0x1.0p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
};

struct Subscription {
  std::string symbol;
  std::string frequency;
  long long period = 0;  // 0: ticks
  bool open_bar = false;
  double open = 0, high = 0, low = 0, amount = 0, pre_close = -1;
  long long volume = 0;
};

struct Order {
  long long id = 0;
  std::string symbol, account, tag, reason;
  int side = kBuy, type = kMarket, status = kNew;
  long long volume = 0, filled_volume = 0;
  double price = 0, filled_vwap = 0, filled_amount = 0, commission = 0, frozen = 0;
  long long created = 0, updated = 0;
};

struct Execution {
  long long id = 0, order_id = 0, volume = 0, time = 0;
  std::string symbol;
  int side = kBuy;
  double price = 0, amount = 0, commission = 0;
};

struct Position {
  long long volume = 0, frozen = 0;
  double cost = 0;
};

struct Timer {
  int id = 0;  // 0: the SDK timer of vqi_set_timer
  long long period = 0, next = 0, fired = 0;
};

struct Session {
  Params p;
  bool started = false, finished = false;
  long long now = 0, step_index = 0;
  std::map<std::string, Instrument> instruments;
  std::vector<Subscription> subscriptions;
  std::vector<Order> orders;
  std::vector<Execution> executions;
  std::map<std::string, Position> positions;
  double cash = 0, frozen = 0, fees = 0;
  std::vector<Timer> timers;
  int next_timer = 1;
  std::set<std::string> topics;
  std::map<std::string, long long> delivered;
};

struct BacktestConfig {
  bool set = false;
  std::string start, end;
  double cash = 0, commission = 0, slippage = 0;
};

// All guarded by state().mutex.
Session* g_session = nullptr;
bool g_env_checked = false;
// Whether a session may be on, readable without the lock: false once the
// environment was checked and no session exists, so the default behaviour
// costs the SDK functions no lock.
std::atomic<bool> g_maybe_on{true};
BacktestConfig g_backtest;
std::string g_account = "sim-account";

void apply_backtest(Params& p) {
  if (!g_backtest.set) return;
  long long ms;
  if (parse_time(g_backtest.start.c_str(), ms)) p.start = ms;
  if (parse_time(g_backtest.end.c_str(), ms)) p.end = ms;
  if (g_backtest.cash > 0) p.cash = g_backtest.cash;
  if (g_backtest.commission >= 0) p.commission = g_backtest.commission;
  if (g_backtest.slippage >= 0) p.slippage = g_backtest.slippage;
}

void begin(Session& s) {
  s.now = s.p.start;
  s.cash = cents(s.p.cash);
}

long long end_of(const Session& s) {
  long long by_steps = s.p.start + s.p.steps * s.p.step;
  return s.p.end >= 0 && s.p.end < by_steps ? s.p.end : by_steps;
}

bool configure(Params& p, const char* config) {
  std::vector<Fields> records;
  if (!decode(config, records) || records.size() > 1) return false;
  if (records.empty()) return true;
  for (const auto& [key, value] : records[0]) {
    long long i;
    double f;
    if (key == "seed" && parse_int(value, i)) {
      p.seed = static_cast<std::uint64_t>(i);
    } else if (key == "steps" && parse_int(value, i) && i > 0) {
      p.steps = i;
    } else if (key == "step" && parse_int(value, i) && i > 0 && i <= 86400) {
      p.step = i * kSecond;
    } else if (key == "start" && parse_time(value.c_str(), i)) {
      p.start = i;
    } else if (key == "end" && parse_time(value.c_str(), i)) {
      p.end = i;
    } else if (key == "cash" && parse_double(value, f) && f >= 0) {
      p.cash = f;
    } else if (key == "commission" && parse_double(value, f) && f >= 0) {
      p.commission = f;
    } else if (key == "slippage" && parse_double(value, f) && f >= 0) {
      p.slippage = f;
    } else if (key == "volatility" && parse_double(value, f) && f >= 0) {
      p.volatility = f;
    } else if (key == "threads" && parse_int(value, i) && (i == 0 || i == 1)) {
      p.threads = i == 1;
    } else {
      return false;
    }
  }
  return true;
}

Session* make_session(const char* config) {
  Params p;
  parse_time(kDefaultStart, p.start);
  apply_backtest(p);
  if (!configure(p, config)) return nullptr;
  Session* s = new Session;
  s->p = p;
  begin(*s);
  return s;
}

// The session, if any; applies $VQSDK_SIMULATE on first use.
Session* current() {
  if (!g_env_checked) {
    g_env_checked = true;
    const char* env = std::getenv("VQSDK_SIMULATE");
    if (env && env[0] && std::strcmp(env, "0") != 0) {
      g_session = make_session(std::strchr(env, '=') ? env : "");
      if (!g_session) std::fprintf(stderr, "vqsdk: ignoring invalid VQSDK_SIMULATE=%s\n", env);
    }
    g_maybe_on.store(g_session != nullptr);
  }
  return g_session;
}

Instrument& instrument(Session& s, const std::string& symbol) {
  auto it = s.instruments.find(symbol);
  if (it != s.instruments.end()) return it->second;
  Instrument& in = s.instruments[symbol];
  in.rng.seed(s.p.seed ^ fnv1a(symbol));
  in.price = in.previous = in.open = in.high = in.low = 5.0 + static_cast<double>(in.rng() % 4501) / 100.0;
  in.bid_v = in.ask_v = 100 * static_cast<long long>(1 + in.rng() % 50);
  return in;
}

// `market_data`: an event that a network SDK delivers from a thread of its
// own, as a session with threads=1 does.
void queue(const char* text, const std::string& payload, bool market_data = false) {
  Event event;
  event.on_market_data_thread = market_data;
  event.has_text = true;
  event.text = text;
  event.has_data = true;
  event.data = payload;
  event.count = static_cast<int>(payload.size());
  state().events.push_back(std::move(event));
}

Record order_record(const Order& o) {
  Record r;
  r.add("order_id", o.id).add("account_id", o.account).add("symbol", o.symbol).add("side", o.side);
  r.add("order_type", o.type).add("volume", o.volume).add("price", o.price).add("status", o.status);
  r.add("filled_volume", o.filled_volume).add("filled_vwap", o.filled_vwap);
  r.add("filled_amount", o.filled_amount).add("filled_commission", o.commission);
  r.add("created_at", format_time(o.created)).add("updated_at", format_time(o.updated));
  if (!o.tag.empty()) r.add("tag", o.tag);
  if (!o.reason.empty()) r.add("ord_rej_reason", o.reason);
  return r;
}

Record execution_record(const Execution& e) {
  Record r;
  r.add("exec_id", e.id).add("order_id", e.order_id).add("account_id", g_account).add("symbol", e.symbol);
  r.add("side", e.side).add("volume", e.volume).add("price", e.price).add("amount", e.amount);
  r.add("commission", e.commission).add("created_at", format_time(e.time));
  return r;
}

double market_value(Session& s) {
  double value = 0;
  for (const auto& [symbol, pos] : s.positions) value += pos.volume * instrument(s, symbol).price;
  return cents(value);
}

Record cash_record(Session& s) {
  double mv = market_value(s);
  double nav = cents(s.cash + s.frozen + mv);
  Record r;
  r.add("account_id", g_account).add("nav", nav).add("available", s.cash).add("order_frozen", s.frozen);
  r.add("market_value", mv).add("fee", s.fees).add("pnl", cents(nav - s.p.cash)).add("initial_cash", s.p.cash);
  r.add("updated_at", format_time(s.now));
  return r;
}

std::vector<Record> position_records(Session& s, const std::string* symbol) {
  std::vector<Record> records;
  for (const auto& [sym, pos] : s.positions) {
    if (pos.volume <= 0 || (symbol && *symbol != sym)) continue;
    double price = instrument(s, sym).price;
    double mv = cents(pos.volume * price);
    Record r;
    r.add("account_id", g_account).add("symbol", sym).add("side", static_cast<int>(kBuy)).add("volume", pos.volume);
    r.add("available", pos.volume - pos.frozen).add("vwap", pos.cost / pos.volume).add("price", price);
    r.add("market_value", mv).add("fpnl", cents(mv - pos.cost));
    records.push_back(r);
  }
  return records;
}

void release(Session& s, Order& o) {
  if (o.side == kBuy) {
    s.cash = cents(s.cash + o.frozen);
    s.frozen = cents(s.frozen - o.frozen);
    o.frozen = 0;
  } else {
    s.positions[o.symbol].frozen -= o.volume;
  }
}

void fill(Session& s, Order& o, double price) {
  double amount = cents(price * o.volume);
  double commission = cents(amount * s.p.commission);
  release(s, o);
  Position& pos = s.positions[o.symbol];
  if (o.side == kBuy) {
    s.cash = cents(s.cash - amount - commission);
    pos.volume += o.volume;
    pos.cost += amount;
  } else {
    s.cash = cents(s.cash + amount - commission);
    pos.cost = pos.volume == o.volume ? 0 : pos.cost * static_cast<double>(pos.volume - o.volume) / pos.volume;
    pos.volume -= o.volume;
  }
  s.fees = cents(s.fees + commission);
  o.status = kFilled;
  o.filled_volume = o.volume;
  o.filled_vwap = price;
  o.filled_amount = amount;
  o.commission = commission;
  o.updated = s.now;
  Execution e;
  e.id = static_cast<long long>(s.executions.size()) + 1;
  e.order_id = o.id;
  e.symbol = o.symbol;
  e.side = o.side;
  e.volume = o.volume;
  e.price = price;
  e.amount = amount;
  e.commission = commission;
  e.time = s.now;
  s.executions.push_back(e);
  queue("on_execution_report", execution_record(e).text());
  queue("on_order_status", order_record(o).text());
}

// Validates one order request into `o`; false when malformed.
bool parse_order(const Fields& f, Order& o) {
  const std::string* symbol = find(f, "symbol");
  const std::string* volume = find(f, "volume");
  const std::string* side = find(f, "side");
  const std::string* type = find(f, "order_type");
  const std::string* price = find(f, "price");
  long long i;
  if (!symbol || trim(*symbol).empty()) return false;
  o.symbol = trim(*symbol);
  if (!volume || !parse_int(*volume, o.volume) || o.volume <= 0) return false;
  if (!side || !parse_int(*side, i) || (i != kBuy && i != kSell)) return false;
  o.side = static_cast<int>(i);
  if (type) {
    if (!parse_int(*type, i) || (i != kLimit && i != kMarket)) return false;
    o.type = static_cast<int>(i);
  } else {
    o.type = price ? kLimit : kMarket;
  }
  if (o.type == kLimit && (!price || !parse_double(*price, o.price) || o.price <= 0)) return false;
  if (o.type == kMarket) o.price = 0;
  o.price = cents(o.price);
  if (const std::string* tag = find(f, "tag")) o.tag = *tag;
  const std::string* account = find(f, "account_id");
  o.account = account && !account->empty() ? *account : g_account;
  return true;
}

void place(Session& s, Order& o) {
  Instrument& in = instrument(s, o.symbol);
  o.id = static_cast<long long>(s.orders.size()) + 1;
  o.created = o.updated = s.now;
  if (o.side == kBuy) {
    // Market buys reserve 5% above the last price on top of the slippage.
    double estimate = o.type == kLimit ? o.price : in.price * (1 + s.p.slippage) * 1.05;
    double frozen = cents(estimate * o.volume * (1 + s.p.commission));
    if (frozen > s.cash) {
      o.status = kRejected;
      o.reason = "insufficient cash";
    } else {
      o.frozen = frozen;
      s.cash = cents(s.cash - frozen);
      s.frozen = cents(s.frozen + frozen);
    }
  } else {
    Position& pos = s.positions[o.symbol];
    if (pos.volume - pos.frozen < o.volume) {
      o.status = kRejected;
      o.reason = "insufficient position";
    } else {
      pos.frozen += o.volume;
    }
  }
  s.orders.push_back(o);
  queue("on_order_status", order_record(o).text());
}

void cancel_order(Session& s, Order& o) {
  release(s, o);
  o.status = kCancelled;
  o.updated = s.now;
  queue("on_order_status", order_record(o).text());
}

// Cancels the open orders named by the records' order_id fields; a status.
int cancel(Session& s, const std::vector<Fields>& records) {
  std::vector<long long> ids;
  for (const Fields& f : records) {
    const std::string* id_text = find(f, "order_id");
    long long id;
    if (!id_text || !parse_int(*id_text, id)) return VQSIM_SIM_INVALID_REQUEST;
    ids.push_back(id);
  }
  int status = 0;
  for (long long id : ids) {
    if (id < 1 || id > static_cast<long long>(s.orders.size()) || s.orders[id - 1].status != kNew) {
      status = VQSIM_SIM_UNKNOWN_ORDER;
    } else {
      cancel_order(s, s.orders[id - 1]);
    }
  }
  return status;
}

void market_step(Session& s) {
  for (auto& [symbol, in] : s.instruments) {
    double z = in.normal();
    in.previous = in.price;
    in.price = std::max(0.01, cents(in.price * std::exp(s.p.volatility * z)));
    in.last_volume = 100 * static_cast<long long>(10 + in.rng() % 491);
    in.last_amount = cents(in.price * in.last_volume);
    in.bid_v = 100 * static_cast<long long>(1 + in.rng() % 50);
    in.ask_v = 100 * static_cast<long long>(1 + in.rng() % 50);
    in.high = std::max(in.high, in.price);
    in.low = std::min(in.low, in.price);
    in.cum_volume += in.last_volume;
    in.cum_amount = cents(in.cum_amount + in.last_amount);
  }
  // Each subscription's symbol already has an instrument (subscribe makes it).
  for (Subscription& sub : s.subscriptions) {
    Instrument& in = instrument(s, sub.symbol);
    if (sub.period == 0) {
      Record r;
      r.add("symbol", sub.symbol).add("created_at", format_time(s.now)).add("price", in.price);
      r.add("open", in.open).add("high", in.high).add("low", in.low).add("cum_volume", in.cum_volume);
      r.add("cum_amount", in.cum_amount).add("cum_position", 0).add("last_volume", in.last_volume);
      r.add("last_amount", in.last_amount).add("trade_type", 0).add("bid_p", cents(in.price - 0.01));
      r.add("bid_v", in.bid_v).add("ask_p", cents(in.price + 0.01)).add("ask_v", in.ask_v);
      queue("on_tick", r.text(), s.p.threads);
      continue;
    }
    if (!sub.open_bar) {
      sub.open_bar = true;
      sub.open = sub.high = sub.low = sub.pre_close < 0 ? in.previous : sub.pre_close;
      sub.volume = 0;
      sub.amount = 0;
    }
    sub.high = std::max(sub.high, in.price);
    sub.low = std::min(sub.low, in.price);
    sub.volume += in.last_volume;
    sub.amount = cents(sub.amount + in.last_amount);
    if ((s.now - s.p.start) % sub.period != 0) continue;
    Record r;
    r.add("symbol", sub.symbol).add("frequency", sub.frequency).add("bob", format_time(s.now - sub.period));
    r.add("eob", format_time(s.now)).add("open", sub.open).add("high", sub.high).add("low", sub.low);
    r.add("close", in.price).add("volume", sub.volume).add("amount", sub.amount);
    r.add("pre_close", sub.pre_close < 0 ? sub.open : sub.pre_close).add("position", 0);
    queue("on_bar", r.text(), s.p.threads);
    sub.pre_close = in.price;
    sub.open_bar = false;
  }
  for (Order& o : s.orders) {
    if (o.status != kNew) continue;
    double price = instrument(s, o.symbol).price;
    if (o.type == kMarket) {
      fill(s, o, cents(o.side == kBuy ? price * (1 + s.p.slippage) : price * (1 - s.p.slippage)));
    } else if (o.side == kBuy ? price <= o.price : price >= o.price) {
      fill(s, o, price);  // the market price, at least as good as the limit
    }
  }
}

bool scripted(Fn fn) {
  const Slot& slot = state().slots[fn];
  return slot.has_status || slot.response || slot.text || slot.break_mode != VQSIM_BREAK_NONE;
}

// The session, when it answers `fn`.
Session* answering(Fn fn) {
  Session* s = current();
  return s && !scripted(fn) ? s : nullptr;
}

const char* const kErrorTexts[] = {
    "invalid request",                      // VQSIM_SIM_INVALID_REQUEST
    "unknown order, or order not open",     // VQSIM_SIM_UNKNOWN_ORDER
    "unsupported frequency",                // VQSIM_SIM_UNSUPPORTED_FREQUENCY
};

int serve(Fn fn, const std::string& text, int status, char** res, int* res_len) {
  Slot& slot = state().slots[fn];
  slot.served = std::make_shared<std::string>(text);
  if (res) *res = slot.served->data();
  if (res_len) *res_len = static_cast<int>(slot.served->size());
  return status;
}

std::string request_text(Buffer req) {
  return req.data && req.len > 0 ? std::string(req.data, static_cast<std::size_t>(req.len)) : std::string();
}

}  // namespace

// ---- Entry points ----

int simulate(const char* config) {
  std::lock_guard<std::mutex> lock(state().mutex);
  current();
  if (!config) {
    delete g_session;
    g_session = nullptr;
    g_maybe_on.store(false);
    return VQSIM_OK;
  }
  Session* fresh = make_session(config);
  if (!fresh) return VQSIM_INVALID_ARGUMENT;
  delete g_session;
  g_session = fresh;
  g_maybe_on.store(true);
  return VQSIM_OK;
}

bool active() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return current() != nullptr;
}

void reset() {
  std::lock_guard<std::mutex> lock(state().mutex);
  delete g_session;
  g_session = nullptr;
  g_env_checked = false;
  g_maybe_on.store(true);  // until the environment is checked again
  g_backtest = BacktestConfig();
  g_account = "sim-account";
}

std::string report_json() {
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = current();
  if (!s) return "null";
  long long counts[kRejected + 1] = {0};
  for (const Order& o : s->orders) counts[o.status]++;
  double mv = market_value(*s);
  std::string out = "{\"started\":" + std::string(s->started ? "true" : "false");
  out += ",\"finished\":" + std::string(s->finished ? "true" : "false");
  out += ",\"time\":" + json_string(format_time(s->now));
  out += ",\"steps\":" + std::to_string(s->step_index);
  out += ",\"account_id\":" + json_string(g_account);
  out += ",\"events\":{";
  bool first = true;
  for (const auto& [text, n] : s->delivered) {
    out += (first ? "" : ",") + json_string(text) + ":" + std::to_string(n);
    first = false;
  }
  out += "},\"orders\":{\"placed\":" + std::to_string(s->orders.size());
  out += ",\"open\":" + std::to_string(counts[kNew]) + ",\"filled\":" + std::to_string(counts[kFilled]);
  out += ",\"cancelled\":" + std::to_string(counts[kCancelled]);
  out += ",\"rejected\":" + std::to_string(counts[kRejected]) + "}";
  out += ",\"executions\":" + std::to_string(s->executions.size());
  out += ",\"cash\":{\"available\":" + number(s->cash) + ",\"order_frozen\":" + number(s->frozen);
  out += ",\"market_value\":" + number(mv) + ",\"nav\":" + number(cents(s->cash + s->frozen + mv));
  out += ",\"fee\":" + number(s->fees) + "},\"positions\":{";
  first = true;
  for (const auto& [symbol, pos] : s->positions) {
    if (pos.volume <= 0) continue;
    out += (first ? "" : ",") + json_string(symbol) + ":" + std::to_string(pos.volume);
    first = false;
  }
  return out + "}}";
}

bool respond(Fn fn, Buffer req, char** res, int* res_len, int& status) {
  switch (fn) {
    case FN_vqi_place_order_pb:
    case FN_vqi_get_orders_pb:
    case FN_vqi_get_unfinished_orders_pb:
    case FN_vqi_get_execution_reports_pb:
    case FN_vqi_get_cash_pb:
    case FN_vqi_get_positions_pb:
    case FN_vqi_current_price_pb: break;
    default: return false;
  }
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* sp = answering(fn);
  if (!sp) return false;
  Session& s = *sp;
  auto invalid = [&](const std::string& why) {
    status = serve(fn, Record().add("error", why).text(), VQSIM_SIM_INVALID_REQUEST, res, res_len);
    return true;
  };
  std::vector<Fields> records;
  if (!decode(request_text(req), records)) return invalid("request is not key=value text");
  const Fields none;
  const Fields& first = records.empty() ? none : records[0];
  std::vector<Record> out;
  switch (fn) {
    case FN_vqi_place_order_pb: {
      if (records.empty()) return invalid("no order");
      std::vector<Order> parsed(records.size());
      for (std::size_t k = 0; k < records.size(); ++k) {
        if (!parse_order(records[k], parsed[k])) {
          return invalid("order " + std::to_string(k + 1) +
                         " needs symbol, volume > 0, side 1 or 2, and a price for a limit order");
        }
      }
      for (Order& o : parsed) {
        place(s, o);
        out.push_back(order_record(s.orders.back()));
      }
      break;
    }
    case FN_vqi_get_orders_pb:
    case FN_vqi_get_unfinished_orders_pb:
      for (const Order& o : s.orders) {
        if (fn == FN_vqi_get_orders_pb || o.status == kNew) out.push_back(order_record(o));
      }
      break;
    case FN_vqi_get_execution_reports_pb:
      for (const Execution& e : s.executions) out.push_back(execution_record(e));
      break;
    case FN_vqi_get_cash_pb:
      out.push_back(cash_record(s));
      break;
    case FN_vqi_get_positions_pb:
      out = position_records(s, find(first, "symbol"));
      break;
    default: {  // vqi_current_price_pb
      const std::string* symbols = find(first, "symbols");
      if (!symbols) return invalid("symbols missing");
      for (const std::string& part : split(*symbols, ',')) {
        std::string symbol = trim(part);
        if (symbol.empty()) continue;
        Record r;
        r.add("symbol", symbol).add("price", instrument(s, symbol).price).add("created_at", format_time(s.now));
        out.push_back(r);
      }
      break;
    }
  }
  status = serve(fn, join(out), 0, res, res_len);
  return true;
}

bool request_status(Fn fn, Buffer req, int& status) {
  if (fn != FN_vqi_cancel_orders_pb && fn != FN_vqi_cancel_all_orders_pb) return false;
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = answering(fn);
  if (!s) return false;
  std::vector<Fields> records;
  if (fn == FN_vqi_cancel_all_orders_pb) {
    for (Order& o : s->orders) {
      if (o.status == kNew) cancel_order(*s, o);
    }
    status = 0;
  } else if (!decode(request_text(req), records) || records.empty()) {
    status = VQSIM_SIM_INVALID_REQUEST;
  } else {
    status = cancel(*s, records);
  }
  return true;
}

bool subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous, int& status) {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = answering(FN_vqi_subscribe);
  if (!s) return false;
  long long period;
  std::string freq = trim(frequency ? frequency : "");
  if (!parse_frequency(freq, period) || period % s->p.step != 0) {
    status = VQSIM_SIM_UNSUPPORTED_FREQUENCY;
    return true;
  }
  if (unsubscribe_previous) s->subscriptions.clear();
  for (const std::string& part : split(symbols ? symbols : "", ',')) {
    std::string symbol = trim(part);
    if (symbol.empty()) continue;
    bool known = std::any_of(s->subscriptions.begin(), s->subscriptions.end(),
                             [&](const Subscription& sub) { return sub.symbol == symbol && sub.frequency == freq; });
    if (known) continue;
    instrument(*s, symbol);
    Subscription sub;
    sub.symbol = symbol;
    sub.frequency = freq;
    sub.period = period;
    s->subscriptions.push_back(sub);
  }
  status = 0;
  return true;
}

bool unsubscribe(const char* symbols, const char* frequency, int& status) {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = answering(FN_vqi_unsubscribe);
  if (!s) return false;
  std::string freq = trim(frequency ? frequency : "");
  std::set<std::string> names;
  for (const std::string& part : split(symbols ? symbols : "", ',')) names.insert(trim(part));
  auto gone = [&](const Subscription& sub) {
    return (names.count(sub.symbol) || names.count("*")) && (freq.empty() || sub.frequency == freq);
  };
  s->subscriptions.erase(std::remove_if(s->subscriptions.begin(), s->subscriptions.end(), gone),
                         s->subscriptions.end());
  status = 0;
  return true;
}

void set_timer(int interval) {
  if (!g_maybe_on.load()) return;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = current();
  if (!s) return;
  s->timers.erase(std::remove_if(s->timers.begin(), s->timers.end(), [](const Timer& t) { return t.id == 0; }),
                  s->timers.end());
  if (interval <= 0) return;
  Timer t;
  t.period = interval;
  t.next = s->now + interval;
  s->timers.insert(s->timers.begin(), t);
}

bool user_timer(int period, int start_delay, int& status) {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = answering(FN_vqi_user_timer);
  if (!s) return false;
  if (period <= 0) {
    status = -VQSIM_SIM_INVALID_REQUEST;
    return true;
  }
  Timer t;
  t.id = s->next_timer++;
  t.period = period;
  t.next = s->now + (start_delay > 0 ? start_delay : period);
  s->timers.push_back(t);
  status = t.id;
  return true;
}

void user_timer_stop(int timer_id) {
  if (!g_maybe_on.load()) return;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = current();
  if (!s || timer_id <= 0) return;  // the SDK timer stops through vqi_set_timer(0)
  s->timers.erase(
      std::remove_if(s->timers.begin(), s->timers.end(), [&](const Timer& t) { return t.id == timer_id; }),
      s->timers.end());
}

void add_bus_topic(const char* topic) {
  if (!g_maybe_on.load()) return;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = current();
  if (s && topic) s->topics.insert(topic);
}

bool send_msg_to_bus(const char* topic, const char* msg, int& status) {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = answering(FN_vqi_send_msg_to_bus);
  if (!s) return false;
  if (!topic || !*topic || !msg) {
    status = VQSIM_SIM_INVALID_REQUEST;
    return true;
  }
  if (s->topics.count(topic)) {
    queue("on_bus_message", Record().add("topic", topic).add("msg", msg).add("time", format_time(s->now)).text());
  }
  status = 0;
  return true;
}

bool error_text(int status, std::string& text) {
  if (status < VQSIM_SIM_INVALID_REQUEST || status > VQSIM_SIM_UNSUPPORTED_FREQUENCY) return false;
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  if (!answering(FN_vqi_strerror)) return false;
  text = kErrorTexts[status - VQSIM_SIM_INVALID_REQUEST];
  return true;
}

bool clock_ms(long long& now) {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* s = current();
  if (!s) return false;
  now = s->now;
  return true;
}

void remember_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                              double commission_ratio, double slippage_ratio) {
  std::lock_guard<std::mutex> lock(state().mutex);
  g_backtest.set = true;
  g_backtest.start = start_time ? start_time : "";
  g_backtest.end = end_time ? end_time : "";
  g_backtest.cash = initial_cash;
  g_backtest.commission = commission_ratio;
  g_backtest.slippage = slippage_ratio;
  Session* s = current();
  if (s && !s->started && s->orders.empty()) {
    apply_backtest(s->p);
    begin(*s);
  }
}

void remember_account(const char* account_ids) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::string first = trim(split(account_ids ? account_ids : "", ',')[0]);
  g_account = first.empty() ? "sim-account" : first;
}

bool advance() {
  if (!g_maybe_on.load()) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  Session* sp = current();
  if (!sp || sp->finished) return false;
  Session& s = *sp;
  s.started = true;
  long long end = end_of(s);
  long long next_step = s.p.start + (s.step_index + 1) * s.p.step;
  long long t = next_step <= end ? next_step : -1;
  for (const Timer& timer : s.timers) {
    if (timer.next <= end && (t < 0 || timer.next < t)) t = timer.next;
  }
  if (t < 0) {
    s.finished = true;
    s.now = std::max(s.now, end);
    Record r = cash_record(s);
    r.add("orders", static_cast<long long>(s.orders.size()));
    r.add("executions", static_cast<long long>(s.executions.size()));
    queue("on_backtest_finished", r.text());
    return true;
  }
  s.now = t;
  if (t == next_step) {
    s.step_index++;
    market_step(s);
  }
  for (Timer& timer : s.timers) {
    if (timer.next != t) continue;
    timer.fired++;
    timer.next += timer.period;
    Record r;
    r.add("timer_id", timer.id).add("time", format_time(t)).add("fired", timer.fired);
    queue("on_timer", r.text());
  }
  return true;
}

void delivered(const char* text) {
  if (!g_maybe_on.load()) return;
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Session* s = current()) s->delivered[text ? text : ""]++;
}

}  // namespace vqsim::sim
