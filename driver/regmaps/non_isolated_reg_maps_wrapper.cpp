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
    return fromTop([](tSolstraTop& top) { return &top.Board.IsoComm; },
                   [](tDuskmereTop& top) { return &top.Board.KelvoIsoComm; });
}

kelvo_regmaps::tKelvoNisoBoardCommonRegMap* NonIsolatedRegMapsWrapper::getNisoBoardCommonRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.NisoBoardCommon; },
                   [](tDuskmereTop& top) { return &top.Board.KelvoNisoBoardCommon; });
}

kelvo_regmaps::tKelvoStreamControlRegMap* NonIsolatedRegMapsWrapper::getStreamControlRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.StreamControl; },
                   [](tDuskmereTop& top) { return &top.Board.StreamControl; });
}

kelvo_regmaps::tKelvoTransformerControlRegMap*
NonIsolatedRegMapsWrapper::getTransformerControlRegMap() const {
    return fromTop([](tSolstraTop& top) { return &top.Board.XfmrCtrlRegs; },
                   [](tDuskmereTop& top) { return &top.Board.XfmrCtrlRegs; });
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
