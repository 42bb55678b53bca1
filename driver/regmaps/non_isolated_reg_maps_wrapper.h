// The non-isolated register-map wrapper: picks the board generation from the
// PCI subsystem ID, builds that generation's top map of the non-isolated FPGA
// over the group's FPGA accessor, registers it and every window in it by
// name, and hands typed sub-maps to the driver's components.
//
// The sub-maps handed out live inside the top map: the pointers are
// non-owning and stay valid while the wrapper lives. The board map and the
// channel map are the top map's own board and channel windows, never the
// sequencer's views of them. A getter whose channel or index is out of range
// answers null, as does every getter of a wrapper whose top map could not be
// built. Without a generation flag the getters take the Duskmere branch,
// whose top-map getter asserts.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "regmaps/top_reg_map_wrapper.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessor.h"

namespace kelvo_driver {

class NonIsolatedRegMapsWrapper
    : public RegMapsWrapper<kelvo_regmaps::tSolstraNisoTopRegMap, kelvo_regmaps::tDuskmereNisoTopRegMap> {
public:
    // The window of the non-isolated FPGA that user mode sees, per generation.
    static constexpr uint64_t kSolstraWindowSize = 0x8000;
    static constexpr uint64_t kDuskmereWindowSize = 0xE000;
    // Channels and per-channel maps of each generation.
    static constexpr uint32_t kSolstraDcBusCount = 2;
    static constexpr uint32_t kDuskmereChannelCount = 1;
    static constexpr uint32_t kDuskmereDcBusCount = 3;
    static constexpr uint32_t kRegAccessCount = 3;

    // accessor: the group's non-isolated FPGA accessor (not owned). caps: the
    // pointer that holds the module's capability record; only its PCI
    // subsystem ID is read, and a null record counts as an unknown ID. An
    // unknown ID is 0xBFFA4304 with no top map; an error already in the
    // status stays and nothing is built.
    NonIsolatedRegMapsWrapper(armki::ARMDispatcher& dispatcher,
                              voquantasharedsource::FrontEndAccessorInterface* accessor,
                              const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status);

    // The end of the generation's highest top-level window: 0x8000 on
    // Solstra, otherwise 0xE000.
    uint64_t getWindowSize() const { return isSolstra ? kSolstraWindowSize : kDuskmereWindowSize; }

    // Solstra: the channel is ignored, index below 2. Duskmere: channel 0, index below 3.
    kelvo_regmaps::tKelvoDcBusRegMap* getDcBusRegMap(uint32_t channel, uint32_t index) const;
    kelvo_regmaps::tKelvoMeasureStreamStatusRegMap* getMeasureStreamStatusRegMap(uint32_t channel) const;
    kelvo_regmaps::tKelvoIsoCommRegMap* getIsoCommRegMap() const;
    kelvo_regmaps::tKelvoNisoBoardCommonRegMap* getNisoBoardCommonRegMap() const;
    kelvo_regmaps::tKelvoStreamControlRegMap* getStreamControlRegMap() const;
    kelvo_regmaps::tKelvoTransformerControlRegMap* getTransformerControlRegMap() const;
    // Solstra: the board's register-access maps (channel ignored); Duskmere:
    // those of the channel map. Index below 3.
    kelvo_regmaps::tKelvoRegAccessRegMap* getRegAccessRegMap(uint32_t channel, uint32_t index) const;

private:
    // Channel map of a Duskmere channel, or null.
    kelvo_regmaps::tDuskmereNisoChRegMap* duskmereChannel(uint32_t channel) const;
};

} // namespace kelvo_driver
