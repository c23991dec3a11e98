// The whole module streaming four receivers from the free-running simulated board.
#pragma once

namespace perf {

// Registers module/<scene>/<rate index> when this build has the module and the simulator; each
// reports the processor time of the whole process and of the stream worker per second of signal.
void register_module_benchmarks();
bool module_benchmarks_built();

}  // namespace perf
