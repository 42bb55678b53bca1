// Implementations of the front-end accessor beneath the kelvo register maps
// (mapped PCI memory, a per-channel forwarding accessor) and the two adapters
// that let a memory window reach an FPGA's register space.
//
// The isolated FPGA's windowed accessor is in regmaps/windowed_front_end_accessor.h.
#pragma once

#include <stdint.h>

#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "regs/front_end_accessor.h"
#include "windows/memory_accessor_interface.h"

namespace voquantasharedsource {

using tPCIMemorySpace = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

// 32-bit accesses to one mapped region of a PCI BAR. An access that does not
// lie wholly inside the region touches nothing and reports -52006 (read32
// then answers 0xFFFFFFFF); the maps are laid out so that none does.
class PCIMemorySpaceAccessorAdapter : public FrontEndAccessorInterface {
public:
    // The region is not owned and must outlive the adapter.
    explicit PCIMemorySpaceAccessorAdapter(tPCIMemorySpace* memorySpace) : memorySpace_(memorySpace) {}
    ~PCIMemorySpaceAccessorAdapter() override = default;

    void write32(uint32_t offset, uint32_t value, nVOAPALS100::tStatus& status) override;
    uint32_t read32(uint32_t offset, nVOAPALS100::tStatus& status) override;

    tPCIMemorySpace* memorySpace() const { return memorySpace_; }

private:
    tPCIMemorySpace* memorySpace_;
};

// What a channel-based accessor asks for its channel's base: slot 2 of this
// interface, called with the channel argument and the inner accessor.
class ChannelBaseProviderInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~ChannelBaseProviderInterface() = default;
    virtual uint32_t getChannelBase(uint32_t channel, FrontEndAccessorInterface* accessor) = 0;
};

// Forwards every access to an inner accessor with the channel's base ORed
// into the offset.
class ChannelBasedFrontEndAccessor : public FrontEndAccessorInterface {
public:
    // The inner accessor is not owned; the provider is asked once, here.
    ChannelBasedFrontEndAccessor(uint32_t channel, FrontEndAccessorInterface* accessor,
                                 ChannelBaseProviderInterface& provider)
        : channelBase_(provider.getChannelBase(channel, accessor)), accessor_(accessor) {}
    ~ChannelBasedFrontEndAccessor() override = default;

    void write32(uint32_t offset, uint32_t value, nVOAPALS100::tStatus& status) override;
    uint32_t read32(uint32_t offset, nVOAPALS100::tStatus& status) override;

    // The offset as the inner accessor sees it.
    uint32_t channelOffset(uint32_t offset) const { return offset | channelBase_; }
    uint32_t channelBase() const { return channelBase_; }

private:
    uint32_t channelBase_;
    FrontEndAccessorInterface* accessor_;
};

// What the two FPGA-window adapters share: no hooks around a run of
// accesses, and the fixed size the window shows.
class FpgaWindowAdapterBase : public devicewindow::MemoryAccessorInterface {
public:
    void beginRead(nVOAPALS100::tStatus&) override {}
    void beginWrite(nVOAPALS100::tStatus&) override {}
    void endRead(nVOAPALS100::tStatus&) override {}
    void endWrite(nVOAPALS100::tStatus&) override {}
    uint64_t getSizeInBytes() const override { return windowSize_; }

protected:
    explicit FpgaWindowAdapterBase(uint64_t windowSize) : windowSize_(windowSize) {}
    ~FpgaWindowAdapterBase() override = default;

    uint64_t windowSize_;
};

// "NisoFpgaWindow": the non-isolated FPGA's register space, mapped. Transfers
// whole 32-bit words: offset and size must be multiples of 4 (-52005
// otherwise), and the range must lie inside the space (-52005).
class MemorySpaceAccessorToMemoryWindowAdapter : public FpgaWindowAdapterBase {
public:
    // The region is not owned; memorySpaceSize is the size the window shows.
    MemorySpaceAccessorToMemoryWindowAdapter(tPCIMemorySpace* memorySpace, uint64_t memorySpaceSize)
        : FpgaWindowAdapterBase(memorySpaceSize), memorySpace_(memorySpace) {}
    ~MemorySpaceAccessorToMemoryWindowAdapter() override = default;

    void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
              nVOAPALS100::tStatus& status) override;
    void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
               nVOAPALS100::tStatus& status) override;

private:
    bool acceptable(uint64_t offsetInBytes, uint64_t sizeInBytes, nVOAPALS100::tStatus& status) const;

    tPCIMemorySpace* memorySpace_;
};

// "IsoFpgaWindow": any front-end accessor, one register per call. Only a
// 4-byte transfer at a 4-byte aligned offset inside the space is taken
// (-52005 otherwise).
class FrontEndAccessorToDeviceWindowAdapter : public FpgaWindowAdapterBase {
public:
    // The accessor is not owned; addressSpaceSize is the size the window shows.
    FrontEndAccessorToDeviceWindowAdapter(FrontEndAccessorInterface* accessor, uint64_t addressSpaceSize)
        : FpgaWindowAdapterBase(addressSpaceSize), accessor_(accessor) {}
    ~FrontEndAccessorToDeviceWindowAdapter() override = default;

    void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
              nVOAPALS100::tStatus& status) override;
    void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
               nVOAPALS100::tStatus& status) override;

private:
    bool acceptable(uint64_t offsetInBytes, uint64_t sizeInBytes, nVOAPALS100::tStatus& status) const;

    FrontEndAccessorInterface* accessor_;
};

} // namespace voquantasharedsource
