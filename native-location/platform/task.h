// Task: a move-only "run once" callable for the main queue.
//
// std::function needs copyable targets, but the tasks we post carry owned
// resources (a JNI global reference, a strong reference to a request) that
// must have exactly one owner. C++20 has no move-only function wrapper yet,
// so this is the few lines we need of one.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace tavirel::location {

class Task {
 public:
  Task() = default;

  template <typename F>
    requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
  Task(F&& body)  // NOLINT(google-explicit-constructor): lambdas convert implicitly, like std::function
      : impl_(std::make_unique<Holder<std::decay_t<F>>>(std::forward<F>(body))) {}

  Task(Task&&) noexcept = default;
  Task& operator=(Task&&) noexcept = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  explicit operator bool() const { return impl_ != nullptr; }

  // Precondition: holds a callable.
  void operator()() { impl_->run(); }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void run() = 0;
  };
  template <typename F>
  struct Holder final : Base {
    template <typename G>
    explicit Holder(G&& g) : body(std::forward<G>(g)) {}
    void run() override { body(); }
    F body;
  };

  std::unique_ptr<Base> impl_;
};

}  // namespace tavirel::location
