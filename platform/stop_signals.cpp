// What both systems' stop signals share: the first request is kept with the
// time it came; every request calls the owner back.
#include "platform/stop_signals.h"

#include "platform/sync.h"

void StopSignals::Take(int request) {
  if (received_.load() == 0) {
    receivedTick_.store(GetTickCountMs());
    received_.store(request);
  }
  onStop_();
}
