// The isolated register-map wrapper: the isolated-side twin of the
// non-isolated wrapper. It builds the generation's top map of the isolated
// FPGA over the windowed accessor that reaches it through the isolation link,
// registers it and every window in it by name, and hands typed sub-maps out.
//
// The channel map and the board map are the top map's own channel and board
// windows, never the sequencer's views. A DC-bus index out of range answers
// null, as does every getter of a wrapper whose top map could not be built;
// without a generation flag the getters take the Duskmere branch, whose
// top-map getter asserts.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/top_reg_map_wrapper.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessor.h"

namespace kelvo_driver {

class IsolatedRegMapsWrapper
    : public RegMapsWrapper<kelvo_regmaps::tSolstraIsoTopRegMap, kelvo_regmaps::tDuskmereIsoTopRegMap> {
public:
    // The window of the isolated FPGA that user mode sees, per generation.
    static constexpr uint64_t kSolstraWindowSize = 0x20000;
    static constexpr uint64_t kDuskmereWindowSize = 0x8000;
    static constexpr uint32_t kDcBusCount = 2;

    // As NonIsolatedRegMapsWrapper: only the subsystem ID of the capability
    // record is read; an unknown one is 0xBFFA4304 with no top map.
    IsolatedRegMapsWrapper(armki::ARMDispatcher& dispatcher,
                           voquantasharedsource::FrontEndAccessorInterface* accessor,
                           const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status);

    // The end of the generation's highest top-level window: 0x20000 on
    // Solstra, otherwise 0x8000.
    uint64_t getWindowSize() const { return isSolstra ? kSolstraWindowSize : kDuskmereWindowSize; }

    kelvo_regmaps::tKelvoFlexLoopRegMap* getFlexLoopRegMap() const;
    // Index below 2.
    kelvo_regmaps::tKelvoDcBusRegMap* getDcBusRegMap(uint32_t index) const;
    // Solstra: of the sequencer's channel view; Duskmere: of the channel's sequencer block.
    kelvo_regmaps::tKelvoSequencerChSeqRegMap* getSequencerChSeqRegMap() const;
    kelvo_regmaps::tKelvoSeqFlexLoopRegMap* getSeqFlexLoopRegMap() const;
    kelvo_regmaps::tKelvoNisoCommRegMap* getNisoCommRegMap() const;
    kelvo_regmaps::tKelvoAdf4002InterfaceRegMap* getAdf4002InterfaceRegMap() const;
    kelvo_regmaps::tKelvoModulatorTimebaseControlRegMap* getModulatorTimebaseControlRegMap() const;
};

} // namespace kelvo_driver
