// The queue of held events: copies of events that SDK threads delivered
// while they could not run Python code, filled by any thread, in arrival
// order, and emptied by the thread that delivers them (module/sdkcall.h).
// Nothing here touches the interpreter.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace csdk {

// One held event, its text and payload copied after it in the same block.
struct HeldEvent {
    HeldEvent* next;
    size_t bytes;   // what it counts against the limit
    int len;        // as the SDK gave it
    bool has_text;  // false: the SDK gave a NULL text
    bool has_data;  // false: a NULL payload
    char* text() { return reinterpret_cast<char*>(this + 1); }
    char* data() { return text() + std::strlen(text()) + 1; }
};

class HeldEvents {
public:
    enum Result { Held, Dropped, Lost, Closed };

    // What an event counts against the limit beyond its block: the allocator's own.
    static constexpr size_t block_overhead = 16;

    // Set while events (or losses) wait for the next take.
    std::atomic<bool> held{false};

    // 0: no limit.  Set before any event is held.
    void set_limit(size_t bytes) { limit_ = bytes; }
    size_t limit() const { return limit_; }
    size_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

    // Copies one event behind the others: Held; Dropped past the limit;
    // Lost without memory for the copy (both counted for the next take);
    // Closed once close() was called (not counted).
    Result push(const char* text, const char* data, int len) noexcept {
        if (closed_.load(std::memory_order_relaxed)) return Closed;
        size_t text_size = text ? std::strlen(text) : 0;
        size_t data_size = data && len > 0 ? static_cast<size_t>(len) : 0;
        size_t block = sizeof(HeldEvent) + text_size + 1 + data_size;
        size_t bytes = block + block_overhead;
        bool over = over_limit(bytes);
        auto* e = over ? nullptr : static_cast<HeldEvent*>(std::malloc(block));
        if (e) {
            e->next = nullptr;
            e->bytes = bytes;
            e->len = len;
            e->has_text = text != nullptr;
            e->has_data = data != nullptr;
            std::memcpy(e->text(), text ? text : "", text_size + 1);
            if (data_size) std::memcpy(e->data(), data, data_size);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // Checked under the lock that close() takes: an event is either held
        // before it, and in the take that follows, or refused.
        if (closed_.load(std::memory_order_relaxed)) {
            std::free(e);
            return Closed;
        }
        Result r = Held;
        if (e && over_limit(bytes)) {
            std::free(e);
            e = nullptr;
            over = true;
        }
        if (over) {
            ++dropped_;
            r = Dropped;
        } else if (!e) {
            ++lost_;
            r = Lost;
        } else {
            bytes_.fetch_add(bytes, std::memory_order_relaxed);
            if (tail_) tail_->next = e;
            else head_ = e;
            tail_ = e;
        }
        held.store(true, std::memory_order_seq_cst);
        return r;
    }

    struct Taken {
        HeldEvent* first;
        HeldEvent* last;
        unsigned long long lost, dropped;
    };
    // Everything held, oldest first, and what was lost since the last take.
    Taken take() {
        std::lock_guard<std::mutex> lock(mutex_);
        Taken t{head_, tail_, lost_, dropped_};
        head_ = tail_ = nullptr;
        lost_ = dropped_ = 0;
        held.store(false, std::memory_order_seq_cst);
        return t;
    }

    // After its delivery: frees `e`, which no longer counts.
    void release(HeldEvent* e) {
        bytes_.fetch_sub(e->bytes, std::memory_order_relaxed);
        std::free(e);
    }

    // Refuses every later event; the next take has all held before.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_.store(true, std::memory_order_seq_cst);
    }
    bool closed() const { return closed_.load(std::memory_order_seq_cst); }

    // Around fork(): the lock is held only for moments, so the forking
    // thread takes it first; the child starts empty (`taken`: events taken
    // before the fork and not delivered, which the child frees too).
    void before_fork() { mutex_.lock(); }
    void after_fork_parent() { mutex_.unlock(); }
    void after_fork_child(HeldEvent* taken) {
        free_list(head_);
        free_list(taken);
        head_ = tail_ = nullptr;
        lost_ = dropped_ = 0;
        bytes_.store(0, std::memory_order_relaxed);
        held.store(false, std::memory_order_seq_cst);
        mutex_.unlock();
    }

    static void free_list(HeldEvent* e) {
        while (e) {
            HeldEvent* next = e->next;
            std::free(e);
            e = next;
        }
    }

private:
    bool over_limit(size_t more) const {
        return limit_ && bytes_.load(std::memory_order_relaxed) + more > limit_;
    }

    std::mutex mutex_;
    HeldEvent* head_ = nullptr;  // guarded by mutex_
    HeldEvent* tail_ = nullptr;
    unsigned long long lost_ = 0;     // guarded by mutex_
    unsigned long long dropped_ = 0;  // guarded by mutex_
    std::atomic<bool> closed_{false};
    std::atomic<size_t> bytes_{0};    // taken by held events until each is released
    size_t limit_ = size_t(256) << 20;
};

// SDK threads may still call back while the process exits, after static
// objects with destructors are gone.
static_assert(std::is_trivially_destructible_v<HeldEvents>, "the held events must outlive exit");

}  // namespace csdk
