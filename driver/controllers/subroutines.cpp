#include "controllers/subroutines.h"

#include "platform/owned.h"

#include "platform/vosdbg.h"

namespace wexmoortools {

using nVOAPALS100::tStatus;

namespace {

template <typename T>
void copyInto(vohtl::Vector<T>& target, const T* source, uint64_t count, tStatus& status) {
    VOSDBG_ASSERT_MSG(source != nullptr, "ASSERT(pointer != nullptr) This pointer is NULL!");
    if (source == nullptr || status.isFatal()) {
        return;
    }
    if (count > vohtl::Vector<T>::kMaxSize || !target.resize(static_cast<size_t>(count), status)) {
        if (status.isNotFatal()) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        }
        target.clear();
        return;
    }
    if (count != 0) {
        __builtin_memcpy(target.data(), source, static_cast<size_t>(count) * sizeof(T));
    }
}

template <typename T>
void copyVector(vohtl::Vector<T>& target, const vohtl::Vector<T>& source, tStatus& status) {
    target.clear();
    if (source.size() != 0) {
        copyInto(target, source.data(), source.size(), status);
    }
}

} // namespace

SubroutinePackage::SubroutinePackage(const Command* commands, uint64_t commandCount, const SubroutineId* ids,
                                     const uint32_t* addresses, uint64_t subroutineCount, tStatus& status) {
    copyInto(commands_, commands, commandCount, status);
    copyInto(ids_, ids, subroutineCount, status);
    copyInto(addresses_, addresses, subroutineCount, status);
}

SubroutinePackageInterface* SubroutinePackageFactory::create(const Command* commands, uint64_t commandCount,
                                                             const SubroutineId* ids,
                                                             const uint32_t* addresses,
                                                             uint64_t subroutineCount, tStatus& status) {
    return kelvo_driver::nVOAPAL000::keepIfConstructed(
        new (status, false)
            SubroutinePackage(commands, commandCount, ids, addresses, subroutineCount, status),
        status);
}

SubroutineRegistrar::SubroutineRegistrar(const SubroutinePackageInterface& package, uint32_t errorCode,
                                         tStatus& status)
    : errorCode_(static_cast<int32_t>(errorCode)) {
    copyVector(ids_, package.getSubroutineIds(), status);
    copyVector(addresses_, package.getSubroutineAddresses(), status);
    VOSDBG_ASSERT_MSG(ids_.size() == addresses_.size() || status.isFatal(),
                      "ASSERT(subroutineIds.size() == subroutineAddresses.size()) Failed - number of "
                      "subroutine ids and addresses must match!");
}

SubroutineRegistrar* SubroutineRegistrarFactory::create(const SubroutinePackageInterface& package,
                                                        uint32_t errorCode, tStatus& status) {
    return kelvo_driver::nVOAPAL000::keepIfConstructed(
        new (status, false) SubroutineRegistrar(package, errorCode, status), status);
}

void SubroutineRegistrar::getSubroutines(vohtl::Vector<SubroutineId>& ids, vohtl::Vector<uint32_t>& addresses,
                                         tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    copyVector(ids, ids_, status);
    copyVector(addresses, addresses_, status);
}

uint32_t SubroutineRegistrar::getNumSubroutines(tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    if (ids_.size() > UINT32_MAX) {
        KELVO_SET_STATUS(status, tStatus::kUnsupportedValue);
        return 0;
    }
    return static_cast<uint32_t>(ids_.size());
}

uint32_t SubroutineRegistrar::getSubroutineAddress(SubroutineId id, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    const size_t count = ids_.size() < addresses_.size() ? ids_.size() : addresses_.size();
    for (size_t i = 0; i < count; ++i) {
        if (ids_[i] == id) {
            return addresses_[i];
        }
    }
    KELVO_SET_STATUS(status, kelvoDriverCode(static_cast<uint32_t>(errorCode_)));
    return 0;
}

SubroutineDownloader::SubroutineDownloader(CommandWriterInterface* writer, uint64_t baseAddress,
                                           uint64_t reservedSizeInCommands)
    : writer_(writer), baseAddress_(baseAddress),
      localRAMSubroutineReservedSizeInCommands_(reservedSizeInCommands) {
    VOSDBG_ASSERT_MSG(baseAddress <= 0xFFFF, "ASSERT(static_cast<T2>(castValue),==,x)");
}

void SubroutineDownloader::downloadSubroutineData(const SubroutinePackageInterface& package,
                                                  tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const vohtl::Vector<Command>& subroutineCommands = package.getCommands();
    VOSDBG_ASSERT_MSG(
        subroutineCommands.size() <= localRAMSubroutineReservedSizeInCommands_,
        "ASSERT(subroutineCommands.size() <= localRAMSubroutineReservedSizeInCommands) Too many "
        "subroutine commands given to downloadSubroutineData!");
    if (subroutineCommands.size() > localRAMSubroutineReservedSizeInCommands_ || baseAddress_ > 0xFFFF) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    writer_->write(subroutineCommands, static_cast<uint32_t>(baseAddress_), status);
}

} // namespace wexmoortools
