// Native threads that call the event callback on their own, as an SDK with
// market-data and trading threads of its own does (vqsim_start_threads).
#include <chrono>
#include <condition_variable>
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
      std::string payload = "thread=" + std::to_string(number) + ";seq=" + std::to_string(seq);
      callback(text.c_str(), payload.data(), static_cast<int>(payload.size()));
      self->sent++;
    }
    if (interval_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(interval_us));
  }
}

}  // namespace

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
