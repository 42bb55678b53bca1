// A short demonstration of the data path through the C API alone: a
// sequencer program goes to the module over DMA channel 1, the sequence
// engine runs it (it calls a subroutine of the package in local RAM), and
// the measure unit's packets come back over DMA channel 0 with what the
// program left in the sequencer.
#pragma once

namespace kelvo_tool {

// Runs the demonstration on a session of its own of "smu_kelvo" on device;
// prints what moved and false when a step failed or what came back differs
// from what was sent.
bool runDemo(unsigned device);

} // namespace kelvo_tool
