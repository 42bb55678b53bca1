// The owner of one side's top register map: it builds the board generation's
// top map over an accessor, keeps it in a shared pointer, registers the map
// and every window in it by name, and removes the names again when it is
// destroyed. At most one of the two top maps exists.
#pragma once

#include <stdint.h>

#include "core/product_caps.h"
#include "framework/arm_dispatcher.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vosdbg.h"
#include "regs/front_end_accessor.h"

namespace kelvo_driver {

// The PCI subsystem ID is not one of a board generation this driver serves.
constexpr int64_t kUnknownBoardGeneration = kelvoDriverCode(0xBFFA4304);

// The PCI subsystem ID of the module's capability record; a missing record
// counts as an unknown product.
inline uint32_t subsystemIDOf(const corran_caps::ProductCaps* caps) {
    return caps != nullptr ? caps->subsystemID : 0u;
}

// SolstraTop and DuskmereTop: the two generations' top map classes, each
// constructed over (accessor, status) and registered with
// addToDispatcher / removeFromDispatcher under its default name.
template <typename SolstraTop, typename DuskmereTop> class TopRegMapWrapper : public nVOAPAL000::tObject {
public:
    TopRegMapWrapper(armki::ARMDispatcher& dispatcher, bool solstra, bool duskmere)
        : dispatcher_(dispatcher), isSolstra(solstra), isDuskmere(duskmere) {}

    // Removes every name of the existing top map (errors are dropped), then
    // releases the Duskmere and the Solstra pointer; the last reference
    // deletes the top map with all its sub-maps.
    virtual ~TopRegMapWrapper() {
        nVOAPALS100::tStatus dropped;
        if (solstraTop_) {
            nVOAPALS100::tStatus local;
            solstraTop_->removeFromDispatcher(dispatcher_, local, nullptr, false);
            dropped.merge(local);
        }
        if (duskmereTop_) {
            nVOAPALS100::tStatus local;
            duskmereTop_->removeFromDispatcher(dispatcher_, local, nullptr, false);
            dropped.merge(local);
        }
        duskmereTop_.reset();
        solstraTop_.reset();
    }
    TopRegMapWrapper(const TopRegMapWrapper&) = delete;
    TopRegMapWrapper& operator=(const TopRegMapWrapper&) = delete;

    virtual SolstraTop* getSolstraRegMap() const {
        VOSDBG_ASSERT(isSolstra);
        return solstraTop_.get();
    }
    virtual DuskmereTop* getDuskmereRegMap() const {
        VOSDBG_ASSERT(isDuskmere);
        return duskmereTop_.get();
    }

    // Builds the generation's top map over the accessor and registers it
    // under its default name with every window below it. Nothing when the
    // status holds an error or neither flag is set. A top map whose
    // construction reported an error is destroyed; so is one whose shared
    // pointer cannot be had (-52000). Names added before a registration
    // failure stay until the destructor removes them.
    void build(voquantasharedsource::FrontEndAccessorInterface* accessor, nVOAPALS100::tStatus& status) {
        if (isSolstra) {
            make(solstraTop_, accessor, status);
        } else if (isDuskmere) {
            make(duskmereTop_, accessor, status);
        }
    }

private:
    template <typename Top>
    void make(vohtl::SharedPtr<Top>& holder, voquantasharedsource::FrontEndAccessorInterface* accessor,
              nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        Top* top = new (status, false) Top(accessor, status);
        if (top == nullptr) {
            return;
        }
        if (status.isFatal()) {
            delete top;
            return;
        }
        holder = vohtl::SharedPtr<Top>(top, status);
        if (holder && status.isNotFatal()) {
            holder->addToDispatcher(dispatcher_, status, nullptr, false);
        }
    }

    armki::ARMDispatcher& dispatcher_;
    vohtl::SharedPtr<SolstraTop> solstraTop_;
    vohtl::SharedPtr<DuskmereTop> duskmereTop_;

public:
    const bool isSolstra;
    const bool isDuskmere;
};

} // namespace kelvo_driver
