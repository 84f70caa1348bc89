// Native threads that call the event callback on their own, as an SDK with
// market-data and trading threads of its own does (vqsim_start_threads, and
// the simulated session's market data with threads=1).
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "state.h"
#include "vqsim.h"

namespace vqsim {

namespace {

struct Sender {
  std::thread thread;
  bool endless;
  long long sent = 0;  // written by the thread, read after joining it
};

// Made once and never destroyed: threads that never stop may still run
// while the process exits.
struct Senders {
  std::mutex mutex;  // guards the lists and the numbering
  std::vector<Sender*> running;
  int next_number = 0;
  std::atomic<bool> stop{false};
};

Senders& senders() {
  static Senders* instance = new Senders;
  return *instance;
}

// Released all at once, so that the threads of one call send together.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
};

void send(Sender* self, std::string text, int number, long long count, int interval_us,
          std::shared_ptr<Gate> gate) {
  {
    std::unique_lock<std::mutex> lock(gate->mutex);
    gate->opened.wait(lock, [&gate] { return gate->open; });
  }
  Senders& all = senders();
  for (long long seq = 0; count < 0 || seq < count; ++seq) {
    if (self->endless && all.stop.load()) break;
    vqi_event_callback_t callback = state().callback.load();
    if (callback) {
      long long sent_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch()).count();
      std::string payload = "thread=" + std::to_string(number) + ";seq=" + std::to_string(seq) +
                            ";ns=" + std::to_string(sent_ns);
      callback(text.c_str(), payload.data(), static_cast<int>(payload.size()));
      self->sent++;
    }
    if (interval_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(interval_us));
  }
}

// The market-data thread: one thread that runs what the run loop hands it,
// one call at a time, as a network SDK's receiving thread calls back.  Made
// once per process (a forked child makes its own) and never ended.
struct MarketData {
  std::mutex mutex;
  std::condition_variable changed;
  const std::function<void()>* call = nullptr;  // guarded by mutex
  pid_t pid = 0;                                // the process that made the thread
  std::thread::id server;                       // the thread; set before it serves
};

MarketData& market_data() {
  static MarketData* instance = new MarketData;
  return *instance;
}

// The thread lives until the process ends, so it keeps no thread_local
// (GCC 12's LeakSanitizer crashes at exit on a live thread's dynamic TLS).
void serve(MarketData* md) {
  std::unique_lock<std::mutex> lock(md->mutex);
  for (;;) {
    md->changed.wait(lock, [md] { return md->call != nullptr; });
    lock.unlock();
    (*md->call)();
    lock.lock();
    md->call = nullptr;
    md->changed.notify_all();
  }
}

}  // namespace

void on_market_data_thread(const std::function<void()>& call) {
  MarketData& md = market_data();
  std::unique_lock<std::mutex> lock(md.mutex);
  if (md.pid == getpid() && md.server == std::this_thread::get_id()) {
    lock.unlock();
    return call();  // a run loop called from the callable there
  }
  if (md.pid != getpid()) {
    md.pid = getpid();
    md.call = nullptr;
    std::thread server(serve, &md);
    md.server = server.get_id();
    server.detach();
  }
  // One call at a time, also when run loops of several threads hand them.
  md.changed.wait(lock, [&md] { return md.call == nullptr; });
  md.call = &call;
  md.changed.notify_all();
  md.changed.wait(lock, [&md, &call] { return md.call != &call; });
}

}  // namespace vqsim

using namespace vqsim;

extern "C" int vqsim_start_threads(const char* text, int threads, long long count, int interval_us) {
  if (!text || threads <= 0 || interval_us < 0) return VQSIM_INVALID_ARGUMENT;
  Senders& all = senders();
  auto gate = std::make_shared<Gate>();
  int first;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    first = all.next_number;
    all.next_number += threads;
    for (int k = 0; k < threads; ++k) {
      auto* s = new Sender;
      s->endless = count < 0;
      s->thread = std::thread(send, s, std::string(text), first + k, count, interval_us, gate);
      all.running.push_back(s);
    }
  }
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->open = true;
  }
  gate->opened.notify_all();
  return first;
}

extern "C" long long vqsim_join_threads(int stop) {
  Senders& all = senders();
  std::vector<Sender*> joining;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    std::vector<Sender*> kept;
    for (Sender* s : all.running) (stop || !s->endless ? joining : kept).push_back(s);
    all.running.swap(kept);
    if (stop) all.stop.store(true);
  }
  long long sent = 0;
  for (Sender* s : joining) {
    s->thread.join();
    sent += s->sent;
    delete s;
  }
  if (stop) all.stop.store(false);
  return sent;
}

extern "C" int vqsim_running_threads(void) {
  Senders& all = senders();
  std::lock_guard<std::mutex> lock(all.mutex);
  return static_cast<int>(all.running.size());
}
