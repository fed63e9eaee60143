// The default clock of SimBackend, kept apart so that users giving their own clock need
// not link the test seams.
#include "tools/sim/backend.h"

namespace vmod_sim {

SimBackend::SimBackend() : SimBackend([] { return vmod_testing::NowMs(); }) {}

} // namespace vmod_sim
