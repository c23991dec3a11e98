// One gibibyte through the default receive ring (32 x 64 KiB) from the free-running simulated
// board, with control requests from another thread on the same handle all along.
#include "fusb_sim.h"

#include <fusb_win32.h>

#include <memory>

using namespace fusb_test;

TEST_F(SimBoard, OneGibibyteArrivesCompleteAndInOrder) {
    fusb_devhandle_win32 dev(handle);
    run_integrity(dev, handle, board, 1ull << 30);
}
