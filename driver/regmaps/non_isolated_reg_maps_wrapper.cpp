#include "regmaps/non_isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

NonIsolatedRegMapsWrapper::NonIsolatedRegMapsWrapper(
    armki::ARMDispatcher& dispatcher, voquantasharedsource::FrontEndAccessorInterface* accessor,
    const corran_caps::ProductCaps* const& caps, tStatus& status)
    : RegMapsWrapper(dispatcher, accessor, caps, status, "NonIsolatedRegMapsWrapper") {}

kelvo_regmaps::tDuskmereNisoChRegMap* NonIsolatedRegMapsWrapper::duskmereChannel(uint32_t channel) const {
    tDuskmereTop* top = duskmere();
    return top != nullptr && channel < kDuskmereChannelCount ? top->Channels[channel] : nullptr;
}

kelvo_regmaps::tKelvoDcBusRegMap* NonIsolatedRegMapsWrapper::getDcBusRegMap(uint32_t channel,
                                                                            uint32_t index) const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr && index < kSolstraDcBusCount ? top->Channel.DcBus[index] : nullptr;
    }
    kelvo_regmaps::tDuskmereNisoChRegMap* map = duskmereChannel(channel);
    return map != nullptr && index < kDuskmereDcBusCount ? map->KelvoDcBusRegMaps[index] : nullptr;
}

kelvo_regmaps::tKelvoMeasureStreamStatusRegMap*
NonIsolatedRegMapsWrapper::getMeasureStreamStatusRegMap(uint32_t channel) const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Channel.MeasureStreamStatus : nullptr;
    }
    kelvo_regmaps::tDuskmereNisoChRegMap* map = duskmereChannel(channel);
    return map != nullptr ? &map->KelvoMeasureStreamStatus : nullptr;
}

kelvo_regmaps::tKelvoIsoCommRegMap* NonIsolatedRegMapsWrapper::getIsoCommRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.IsoComm : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.KelvoIsoComm : nullptr;
}

kelvo_regmaps::tKelvoNisoBoardCommonRegMap* NonIsolatedRegMapsWrapper::getNisoBoardCommonRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.NisoBoardCommon : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.KelvoNisoBoardCommon : nullptr;
}

kelvo_regmaps::tKelvoStreamControlRegMap* NonIsolatedRegMapsWrapper::getStreamControlRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.StreamControl : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.StreamControl : nullptr;
}

kelvo_regmaps::tKelvoTransformerControlRegMap*
NonIsolatedRegMapsWrapper::getTransformerControlRegMap() const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr ? &top->Board.XfmrCtrlRegs : nullptr;
    }
    tDuskmereTop* top = duskmere();
    return top != nullptr ? &top->Board.XfmrCtrlRegs : nullptr;
}

kelvo_regmaps::tKelvoRegAccessRegMap* NonIsolatedRegMapsWrapper::getRegAccessRegMap(uint32_t channel,
                                                                                    uint32_t index) const {
    if (isSolstra) {
        tSolstraTop* top = solstra();
        return top != nullptr && index < kRegAccessCount ? top->Board.IsoRegAccess[index] : nullptr;
    }
    kelvo_regmaps::tDuskmereNisoChRegMap* map = duskmereChannel(channel);
    return map != nullptr && index < kRegAccessCount ? map->IsoRegAccess[index] : nullptr;
}

} // namespace kelvo_driver
