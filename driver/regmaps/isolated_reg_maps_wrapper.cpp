#include "regmaps/isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

IsolatedRegMapsWrapper::IsolatedRegMapsWrapper(armki::ARMDispatcher& dispatcher,
                                               voquantasharedsource::FrontEndAccessorInterface* accessor,
                                               const corran_caps::ProductCaps* const& caps, tStatus& status)
    : RegMapsWrapper(dispatcher, accessor, caps, status, "IsolatedRegMapsWrapper") {}

kelvo_regmaps::tKelvoFlexLoopRegMap* IsolatedRegMapsWrapper::getFlexLoopRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Channel.FlexLoop; },
                   [](tDuskmereTop& top) { return &top.Channel.KelvoFlexLoop; });
}

kelvo_regmaps::tKelvoDcBusRegMap* IsolatedRegMapsWrapper::getDcBusRegMap(uint32_t index) const {
    if (index >= kDcBusCount) {
        return nullptr;
    }
    return fromTop([index](tSolstraTop& top) { return top.Channel.DcBus[index]; },
                   [index](tDuskmereTop& top) { return top.Channel.KelvoDcBusRegMaps[index]; });
}

kelvo_regmaps::tKelvoSequencerChSeqRegMap* IsolatedRegMapsWrapper::getSequencerChSeqRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.SeqTop.Channel.SeqChannel.SequencerChSeq; },
                   [](tDuskmereTop& top) { return &top.IsoChDebugSeq.KelvoSequencerSeq; });
}

kelvo_regmaps::tKelvoSeqFlexLoopRegMap* IsolatedRegMapsWrapper::getSeqFlexLoopRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.SeqTop.Channel.SeqChannel.SeqFlexLoop; },
                   [](tDuskmereTop& top) { return &top.IsoChDebugSeq.KelvoSeqFlexLoop; });
}

kelvo_regmaps::tKelvoNisoCommRegMap* IsolatedRegMapsWrapper::getNisoCommRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.NisoComm; },
                   [](tDuskmereTop& top) { return &top.Board.KelvoNisoComm; });
}

kelvo_regmaps::tKelvoAdf4002InterfaceRegMap* IsolatedRegMapsWrapper::getAdf4002InterfaceRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.Adf4002Interface; },
                   [](tDuskmereTop& top) { return &top.Board.Adf4002Interface; });
}

kelvo_regmaps::tKelvoModulatorTimebaseControlRegMap*
IsolatedRegMapsWrapper::getModulatorTimebaseControlRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.ModulatorTimebaseControl; },
                   [](tDuskmereTop& top) { return &top.Board.ModulatorTimebaseControl; });
}

} // namespace kelvo_driver
