#include "platform/wait_hook.h"

namespace wuqu {
namespace {

thread_local WaitHook* current_hook = nullptr;

}  // namespace

WaitHook* CurrentWaitHook() {
  return current_hook;
}

ScopedWaitHook::ScopedWaitHook(WaitHook& hook) : previous_(current_hook) {
  current_hook = &hook;
}

ScopedWaitHook::~ScopedWaitHook() {
  current_hook = previous_;
}

}  // namespace wuqu
