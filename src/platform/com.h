#pragma once

// The COM lifetime pair. On this platform there is no COM to set up: the pair
// only keeps a per-thread balance, so tests can check that every initialise
// is matched by an uninitialise on the same thread.
namespace wuqu {

void ComInitialize();
void ComUninitialize();

// Initialisations minus uninitialisations made on the calling thread so far.
int ComBalance();

}  // namespace wuqu
