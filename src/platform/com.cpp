#include "platform/com.h"

namespace wuqu {
namespace {
thread_local int com_balance = 0;
}

void ComInitialize() { ++com_balance; }
void ComUninitialize() { --com_balance; }
int ComBalance() { return com_balance; }

}  // namespace wuqu
