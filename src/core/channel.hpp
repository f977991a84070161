#pragma once
// A bounded single-producer, single-consumer channel with disconnection, for handing work to a thread and
// results back. Dropping the sending end makes the receiver's `recv` return nothing once the channel is
// empty; dropping the receiving end makes a blocked or later `send` fail at once.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace orvane::channel {

namespace detail {

template <class T>
struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<T> items;
    std::size_t capacity = 1;
    bool sender_alive = true;
    bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            disconnect();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() { disconnect(); }

    // Blocks while the channel is full. False (the item dropped) when the receiving end is gone.
    bool send(T item) {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->receiver_alive || state_->items.size() < state_->capacity; });
        if (!state_->receiver_alive) return false;
        state_->items.push_back(std::move(item));
        state_->changed.notify_all();
        return true;
    }

private:
    void disconnect() noexcept {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_alive = false;
        }
        state_->changed.notify_all();
        state_.reset();
    }

    std::shared_ptr<detail::State<T>> state_;
};

template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            disconnect();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { disconnect(); }

    // Blocks while the channel is empty and the sender lives. Nothing when the sending end is gone and no
    // item is left.
    std::optional<T> recv() {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->sender_alive || !state_->items.empty(); });
        if (state_->items.empty()) return std::nullopt;
        T item = std::move(state_->items.front());
        state_->items.pop_front();
        state_->changed.notify_all();
        return item;
    }

private:
    void disconnect() noexcept {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            state_->items.clear();
        }
        state_->changed.notify_all();
        state_.reset();
    }

    std::shared_ptr<detail::State<T>> state_;
};

// A channel holding at most `capacity` (at least 1) unreceived items.
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(std::size_t capacity) {
    auto state = std::make_shared<detail::State<T>>();
    state->capacity = capacity == 0 ? 1 : capacity;
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace orvane::channel
