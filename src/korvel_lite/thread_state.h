#ifndef KORVEL_LITE_THREAD_STATE_H_
#define KORVEL_LITE_THREAD_STATE_H_

namespace korvel::lite {

// The calling thread's `T` for `Tag`, value-initialized on the thread's first
// call and destroyed when the thread ends. Null from then on: a caller that
// runs late in the thread's exit (from another thread-local's destructor)
// must do without it. `T` must be default-constructible.
template <typename T, typename Tag>
T* ThreadState() {
  // Trivially destructible, so they stay readable to the end of the exit.
  static thread_local T* state = nullptr;
  static thread_local bool destroyed = false;
  if (state != nullptr) return state;
  if (destroyed) return nullptr;
  struct Owner {
    ~Owner() {
      state = nullptr;
      destroyed = true;
    }
    T value{};
  };
  thread_local Owner owner;
  state = &owner.value;
  return state;
}

// The calling thread's `T` for `Tag`, or `*local` late in the thread's exit
// when the thread's own is gone.
template <typename T, typename Tag>
T& ThreadStateOr(T* local) {
  T* state = ThreadState<T, Tag>();
  return state != nullptr ? *state : *local;
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_THREAD_STATE_H_
