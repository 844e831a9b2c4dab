#pragma once

namespace wuqu {

// What a thread does while one of its network requests waits on the peer.
// A request that finds a hook on its thread waits in slices of at most
// kWaitSliceMs and calls KeepWaiting between them; the GUI thread's hook lets
// the window paint there. Without a hook a request simply blocks.
class WaitHook {
 public:
  virtual ~WaitHook() = default;
  // A request starts or stops waiting. The pairs nest when a request is made
  // from inside KeepWaiting.
  virtual void WaitBegins() = 0;
  virtual void WaitEnds() = 0;
  // Between two slices. False gives the request up at once: it ends as a
  // failed one, with no response at all.
  virtual bool KeepWaiting() = 0;
};

inline constexpr int kWaitSliceMs = 16;

// The calling thread's hook; null when it has none.
WaitHook* CurrentWaitHook();

// Makes `hook` the calling thread's hook for its own lifetime, then puts the
// previous one back.
class ScopedWaitHook {
 public:
  explicit ScopedWaitHook(WaitHook& hook);
  ~ScopedWaitHook();
  ScopedWaitHook(const ScopedWaitHook&) = delete;
  ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

 private:
  WaitHook* previous_;
};

// Calls WaitBegins and, on every way out, WaitEnds on the calling thread's
// hook, if it has one.
class WaitScope {
 public:
  WaitScope() : hook_(CurrentWaitHook()) {
    if (hook_ != nullptr) hook_->WaitBegins();
  }
  ~WaitScope() {
    if (hook_ != nullptr) hook_->WaitEnds();
  }
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;
  WaitHook* hook() const { return hook_; }

 private:
  WaitHook* const hook_;
};

}  // namespace wuqu
