// Subroutine packages: a block of command words with a table naming each
// subroutine by a 32-bit identifier and giving its start address in local
// RAM; the registrar that answers where each subroutine starts; and the
// downloader that writes a package's commands into local RAM.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "controllers/local_ram_controller.h"
#include "controllers/sequencer_commands.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/vector.h"

namespace wexmoortools {

class SubroutinePackageInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~SubroutinePackageInterface() = default;
    virtual const vohtl::Vector<Command>& getCommands() const = 0;
    virtual const vohtl::Vector<SubroutineId>& getSubroutineIds() const = 0;
    virtual const vohtl::Vector<uint32_t>& getSubroutineAddresses() const = 0;
};

// Owns copies of the three arrays; ids and addresses share one length.
class SubroutinePackage : public SubroutinePackageInterface {
public:
    // A null source breaks the contract and leaves its vector empty; a failed
    // allocation sets -52000 and leaves that vector empty.
    SubroutinePackage(const Command* commands, uint64_t commandCount, const SubroutineId* ids,
                      const uint32_t* addresses, uint64_t subroutineCount, nVOAPALS100::tStatus& status);
    ~SubroutinePackage() override = default;

    const vohtl::Vector<Command>& getCommands() const override { return commands_; }
    const vohtl::Vector<SubroutineId>& getSubroutineIds() const override { return ids_; }
    const vohtl::Vector<uint32_t>& getSubroutineAddresses() const override { return addresses_; }

private:
    vohtl::Vector<Command> commands_;
    vohtl::Vector<SubroutineId> ids_;
    vohtl::Vector<uint32_t> addresses_;
};

class SubroutinePackageFactory : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~SubroutinePackageFactory() = default;
    // A new package the caller owns; null when the status is fatal or the
    // allocation fails (-52000).
    virtual SubroutinePackageInterface* create(const Command* commands, uint64_t commandCount,
                                               const SubroutineId* ids, const uint32_t* addresses,
                                               uint64_t subroutineCount, nVOAPALS100::tStatus& status);
};

// Copies of the package's tables; keeps no reference to the package.
class SubroutineRegistrar : public SubroutineRegistrarInterface {
public:
    SubroutineRegistrar(const SubroutinePackageInterface& package, uint32_t errorCode,
                        nVOAPALS100::tStatus& status);
    ~SubroutineRegistrar() override = default;

    void getSubroutines(vohtl::Vector<SubroutineId>& ids, vohtl::Vector<uint32_t>& addresses,
                        nVOAPALS100::tStatus& status) override;
    uint32_t getNumSubroutines(nVOAPALS100::tStatus& status) override;
    uint32_t getSubroutineAddress(SubroutineId id, nVOAPALS100::tStatus& status) override;

private:
    int32_t errorCode_;
    vohtl::Vector<SubroutineId> ids_;
    vohtl::Vector<uint32_t> addresses_;
};

class SubroutineRegistrarFactory : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~SubroutineRegistrarFactory() = default;
    SubroutineRegistrar* create(const SubroutinePackageInterface& package, uint32_t errorCode,
                                nVOAPALS100::tStatus& status);
};

// Writes a package's commands into local RAM from its base address.
class SubroutineDownloader {
public:
    // baseAddress must fit in 16 bits.
    SubroutineDownloader(CommandWriterInterface* writer, uint64_t baseAddress,
                         uint64_t reservedSizeInCommands);

    // At most the reserved size of commands (a contract); nothing on a fatal status.
    void downloadSubroutineData(const SubroutinePackageInterface& package, nVOAPALS100::tStatus& status);

private:
    CommandWriterInterface* writer_;
    uint64_t baseAddress_;
    uint64_t localRAMSubroutineReservedSizeInCommands_;
};

} // namespace wexmoortools
