// The board signature verifier of either FPGA: a hardware-state checker over
// the signature register of the board map's standard registers, built
// through the register-map wrapper of that side, which checks the hardware
// once when it is made (so a wrong or absent FPGA fails the setup level at
// once) and again on every hardware-state check.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker.h"
#include "framework/simple_register_verifier.h"
#include "kelvo/product_ids.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"
#include "regmaps/duskmere_standard_regs.h"
#include "regmaps/solstra_standard_regs.h"
#include "regmaps/top_reg_map_wrapper.h"

namespace kelvo_driver {

// The signature verifiers of the two generations, with their failure code.
template <int32_t kCode>
using SolstraSignatureVerifier =
    kdut::SimpleSignatureVerifierTemplate<kelvo_regmaps::tSolstraStandardRegs::tSolstraSignatureReg,
                                          KELVO_SOLSTRA_BOARD_SIGNATURE, kCode>;
template <int32_t kCode>
using DuskmereSignatureVerifier =
    kdut::SimpleSignatureVerifierTemplate<kelvo_regmaps::tDuskmereStandardRegs::tDuskmereSignatureReg,
                                          KELVO_DUSKMERE_BOARD_SIGNATURE, kCode>;

// Makes the verifier of the generation the flags name, from the wrapper's
// top map of that generation, and checks the hardware once (a register out
// of its window is -52006; a wrong signature kCode). Neither flag:
// 0xBFFA4304 and an empty pointer. Allocation failures -52000 and an empty
// pointer. The verifier is returned also when its first check failed.
template <int32_t kCode, typename Wrapper>
vohtl::SharedPtr<kdut::HardwareStateCheckerInterface>
makeBoardSignatureVerifier(const Wrapper& wrapper, bool isSolstra, bool isDuskmere,
                           nVOAPALS100::tStatus& status) {
    vohtl::SharedPtr<kdut::HardwareStateCheckerInterface> pointer;
    if (status.isFatal()) {
        return pointer;
    }
    kdut::HardwareStateCheckerInterface* verifier = nullptr;
    if (isSolstra) {
        auto* top = wrapper.getSolstraRegMap();
        if (top != nullptr) {
            verifier =
                new (status, false) SolstraSignatureVerifier<kCode>(top->Board.StandardRegs.SolstraSignature);
        }
    } else if (isDuskmere) {
        auto* top = wrapper.getDuskmereRegMap();
        if (top != nullptr) {
            verifier = new (status, false)
                DuskmereSignatureVerifier<kCode>(top->Board.StandardRegs.DuskmereSignature);
        }
    } else {
        KELVO_SET_STATUS(status, kUnknownBoardGeneration);
        return pointer;
    }
    if (verifier == nullptr) {
        if (status.isNotFatal()) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible); // no top map to read
        }
        return pointer;
    }
    verifier->checkHardwareState(status);
    nVOAPALS100::tStatus sharing;
    pointer = vohtl::SharedPtr<kdut::HardwareStateCheckerInterface>(verifier, sharing);
    status.merge(sharing);
    return pointer;
}

} // namespace kelvo_driver
