// The owner of one side's top register map: it builds the board generation's
// top map over an accessor, keeps it in a shared pointer, installs the tree's
// lock (arm::tRegMapTreeLock, owned here) on it and every sub-map, registers
// the map and every window in it by name, and removes the names again when it
// is destroyed. At most one of the two top maps exists.
#pragma once

#include <stdint.h>

#include <utility>

#include "framework/product_caps.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vosdbg.h"
#include "regmaps/required_regs.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessor.h"

namespace kelvo_driver {

// The PCI subsystem ID is not one of a board generation this driver serves.
constexpr int64_t kUnknownBoardGeneration = KELVO_STATUS_UNSUPPORTED_PRODUCT;

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
        if (solstraTop_) {
            solstraTop_->installTreeLock(nullptr);
        }
        if (duskmereTop_) {
            duskmereTop_->installTreeLock(nullptr);
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
    // The lock of the top map's tree (unusable when no top map was built).
    arm::tRegMapTreeLock& treeLock() { return treeLock_; }

    // Builds the generation's top map over the accessor, installs the tree's
    // lock on it and every window below it (-52000 when the lock's mutex
    // cannot be had: no top map) and registers it under its default name
    // with every window below it. Nothing when the status holds an error or
    // neither flag is set. A top map whose
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
        if (!treeLock_.usable()) {
            treeLock_.initialize(status);
            if (status.isFatal()) {
                return;
            }
        }
        Top* top = new (status, false) Top(accessor, status);
        if (top == nullptr) {
            return;
        }
        if (status.isFatal()) {
            delete top;
            return;
        }
        top->installTreeLock(&treeLock_);
        holder = vohtl::SharedPtr<Top>(top, status);
        if (holder && status.isNotFatal()) {
            holder->addToDispatcher(dispatcher_, status, nullptr, false);
        }
    }

    armki::ARMDispatcher& dispatcher_;
    arm::tRegMapTreeLock treeLock_; // outlives the top maps
    vohtl::SharedPtr<SolstraTop> solstraTop_;
    vohtl::SharedPtr<DuskmereTop> duskmereTop_;

public:
    const bool isSolstra;
    const bool isDuskmere;
};

// What the isolated and the non-isolated wrapper share: the board generation
// picked from the capability record's PCI subsystem ID, the top map built
// over the accessor, and the typed getters common to both sides. An unknown
// ID is 0xBFFA4304 (component name: the wrapper's) with no top map; an error
// already in the status stays and nothing is built. Without a generation
// flag the getters take the Duskmere branch, whose top-map getter asserts.
template <typename SolstraTop, typename DuskmereTop> class RegMapsWrapper : public nVOAPAL000::tObject {
public:
    using tSolstraTop = SolstraTop;
    using tDuskmereTop = DuskmereTop;

    RegMapsWrapper(armki::ARMDispatcher& dispatcher,
                   voquantasharedsource::FrontEndAccessorInterface* accessor,
                   const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status,
                   const char* name)
        : isSolstra(corran_caps::isSolstraProduct(subsystemIDOf(caps))),
          isDuskmere(corran_caps::isDuskmereProduct(subsystemIDOf(caps))),
          topRegMapWrapper(dispatcher, isSolstra, isDuskmere) {
        if (status.isNotFatal()) {
            topRegMapWrapper.build(accessor, status);
        }
        if (!isSolstra && !isDuskmere) {
            nVOAPAL200_setStatus(&status, kUnknownBoardGeneration, KELVO_COMPONENT, name, 29);
        }
    }
    // Removes the top map's names (errors dropped) and destroys it.
    virtual ~RegMapsWrapper() = default;
    RegMapsWrapper(const RegMapsWrapper&) = delete;
    RegMapsWrapper& operator=(const RegMapsWrapper&) = delete;

    // The top maps; each asserts its generation.
    virtual SolstraTop* getSolstraRegMap() const { return topRegMapWrapper.getSolstraRegMap(); }
    virtual DuskmereTop* getDuskmereRegMap() const { return topRegMapWrapper.getDuskmereRegMap(); }

    kelvo_regmaps::tRequiredRegs* getRequiredRegs() const {
        return fromTop([](SolstraTop& top) { return &top.Board.StandardRegs.RequiredRegs; },
                       [](DuskmereTop& top) { return &top.Board.StandardRegs.RequiredRegs; });
    }

    const bool isSolstra;
    const bool isDuskmere;
    TopRegMapWrapper<SolstraTop, DuskmereTop> topRegMapWrapper;

protected:
    SolstraTop* solstra() const { return isSolstra ? getSolstraRegMap() : nullptr; }
    DuskmereTop* duskmere() const { return isSolstra ? nullptr : getDuskmereRegMap(); }

    // What fromSolstra or fromDuskmere picks from the generation's top map;
    // null without a top map.
    template <typename FromSolstra, typename FromDuskmere>
    auto fromTop(FromSolstra fromSolstra, FromDuskmere fromDuskmere) const
        -> decltype(fromSolstra(std::declval<SolstraTop&>())) {
        if (isSolstra) {
            SolstraTop* top = solstra();
            return top != nullptr ? fromSolstra(*top) : nullptr;
        }
        DuskmereTop* top = duskmere();
        return top != nullptr ? fromDuskmere(*top) : nullptr;
    }
};

} // namespace kelvo_driver
