#include "regmaps/isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

IsolatedRegMapsWrapper::IsolatedRegMapsWrapper(armki::ARMDispatcher& dispatcher,
                                               voquantasharedsource::FrontEndAccessorInterface* accessor,
                                               const corran_caps::ProductCaps* const& caps, tStatus& status)
    : RegMapsWrapper(dispatcher, accessor, caps, status, "IsolatedRegMapsWrapper") {}

kelvo_regmaps::tKelvoFlexLoopRegMap* IsolatedRegMapsWrapper::getFlexLoopRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Channel.FlexLoop : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Channel.KelvoFlexLoop : nullptr;
}

kelvo_regmaps::tKelvoDcBusRegMap* IsolatedRegMapsWrapper::getDcBusRegMap(uint32_t index) const {
    if (index >= kDcBusCount) {
        return nullptr;
    }
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? top->Channel.DcBus[index] : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? top->Channel.KelvoDcBusRegMaps[index] : nullptr;
}

kelvo_regmaps::tKelvoSequencerChSeqRegMap* IsolatedRegMapsWrapper::getSequencerChSeqRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->SeqTop.Channel.SeqChannel.SequencerChSeq : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->IsoChDebugSeq.KelvoSequencerSeq : nullptr;
}

kelvo_regmaps::tKelvoSeqFlexLoopRegMap* IsolatedRegMapsWrapper::getSeqFlexLoopRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->SeqTop.Channel.SeqChannel.SeqFlexLoop : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->IsoChDebugSeq.KelvoSeqFlexLoop : nullptr;
}

kelvo_regmaps::tKelvoNisoCommRegMap* IsolatedRegMapsWrapper::getNisoCommRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.NisoComm : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.KelvoNisoComm : nullptr;
}

kelvo_regmaps::tKelvoAdf4002InterfaceRegMap* IsolatedRegMapsWrapper::getAdf4002InterfaceRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.Adf4002Interface : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.Adf4002Interface : nullptr;
}

kelvo_regmaps::tKelvoModulatorTimebaseControlRegMap*
IsolatedRegMapsWrapper::getModulatorTimebaseControlRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.ModulatorTimebaseControl : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.ModulatorTimebaseControl : nullptr;
}

} // namespace kelvo_driver
