// Level 19 end to end through the host's C API, on each board: the module
// comes up complete; every code of both interfaces answers a valid request as
// a user expects and refuses a bad one with a clear code, changing nothing, and
// so are bad names and addresses; a window's soft-copy requests keep the
// device and the soft copy apart;
// a reset to each level 0 to 19 admits exactly the codes at or below it; the
// connected-accessory word survives resets.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

constexpr int32_t kNotImplemented = KELVO_STATUS_NOT_IMPLEMENTED;
constexpr int32_t kInvalidParameter = KELVO_STATUS_INVALID_PARAMETER;
constexpr int32_t kBadAddress = KELVO_STATUS_NOT_ACCESSIBLE; // a user address the kernel layer's copy refuses
constexpr int32_t kLevelReached = KELVO_STATUS_SETUP_TARGET_REACHED;
constexpr int32_t kBufferTooSmall = KELVO_STATUS_BUFFER_TOO_SMALL;
constexpr int32_t kNameNotFound = KELVO_STATUS_NAME_NOT_FOUND;
constexpr int32_t kWrongElementSize = KELVO_STATUS_WRONG_ELEMENT_SIZE;
constexpr int32_t kNotOffered = KELVO_STATUS_NOT_OFFERED;
constexpr int32_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
constexpr int32_t kInvalidSensor = KELVO_STATUS_VALUE_OUT_OF_RANGE;
constexpr int32_t kNullSubroutineBuffer = KELVO_STATUS_NULL_SUBROUTINE_BUFFER;
constexpr int kTransportBadSize = -51009; // -52005 at the kernel layer's boundary
constexpr int32_t kWrongSize = 1;         // a row's bad input is a record one byte too long

// Places a row's fields name instead of numbers.
enum Place : uint64_t {
    kMap = 1ull << 62, // a register map (name address and length)
    kWindow,           // "NisoFpgaWindow"
    kStorage,          // "Manufacturing"
    kUnknown,          // a name nobody registered
    kOut,              // a writable buffer
    kData,             // bytes the driver reads (and some requests fill)
    kDma,              // a whole page for the transfer from the device
    kDmaOut,           // another one for the transfer to the device
    kSeeds,            // one route seed from terminal 3
    kDestination,      // terminal 2
    kPossibilities,    // room for four route possibilities
    kRoute,            // the route ID the valid route calculation found
    kReadOnly,         // a read-only page
    kNull,
    kSubroutines, // the number of registered subroutines
};

struct Put {
    uint16_t at;
    uint8_t width; // 16: a name's address and length
    uint64_t value;
};
// A field of the row's input record In.
#define F(field, value) (Put{offsetof(In, field), sizeof(In::field), value})
#define NAME(place) (Put{offsetof(In, nameAddress), 16, place})

struct Row {
    const char* name;
    uint32_t code;
    uint32_t inSize, outSize, statusAt;
    std::vector<Put> valid;
    int32_t answer;       // to the valid request
    std::vector<Put> bad; // over the valid fields; empty: the record one byte too long
    int32_t refusal;
    uint32_t refusedResult = 0; // the first result word of the refused request
    int64_t result = -1;        // that of the valid one, when it is known
};
#define ROW(op, ...)                                                                                         \
    [&] {                                                                                                    \
        using In = kelvo_##op##_in;                                                                          \
        using Out = kelvo_##op##_out;                                                                        \
        return Row{#op, KELVO_IOCTL_##op, sizeof(In), sizeof(Out), offsetof(Out, status), __VA_ARGS__};      \
    }()

constexpr uint32_t kScratchField = 0x0033B4C6; // the required block's scratch register
// A scratch word of the non-isolated FPGA's window on the board.
uint64_t nisoScratch(const std::string& board) {
    return board == "solstra" ? 0x18 : 0x8018;
}
constexpr uint32_t kSerialField = 12; // Manufacturing's serial number, one u32

// In order: what a request needs comes before it (reservation, arm, route).
std::vector<Row> rows(const std::string& board) {
    const uint64_t scratch = nisoScratch(board);
    return {
        ROW(kdut_checkHardwareState, {}, 0, {}, kWrongSize),
        ROW(kdut_checkChannelHardwareState, {}, kNotImplemented, {}, kWrongSize),
        ROW(kelvo_getSetupLevel, {}, 0, {}, kWrongSize, 0, 19),
        ROW(kdut_reserveResources, {F(resourceMask, 1)}, 0, {F(resourceMask, 2)}, kInvalidChannel),
        ROW(voquantaPXICooling_getCoolingMode, {}, 0, {}, kWrongSize),
        ROW(voquantaPXICooling_overrideCoolingMode, {F(coolingMode, 16)}, 0, {}, kWrongSize),
        ROW(pxiCooling_setCoolingMode, {F(coolingMode, 16)}, 0, {}, kWrongSize),
        ROW(pxiCooling_getRequestedCoolingMode, {}, 0, {}, kWrongSize),
        ROW(hwCondition_clearChannelBasedHardwareErrors, {F(channelMask, 1)}, 0, {F(channelMask, 2)},
            kInvalidChannel),
        ROW(hwCondition_checkBoardAndChannelBasedHardwareErrors, {F(channelMask, 1)}, 0, {F(channelMask, 2)},
            kInvalidChannel),
        ROW(hwCondition_checkMeasureFIFOOverflowStatus, {}, 0, {}, kWrongSize),
        ROW(measureUnit_arm, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(triggersAndEvents_overrideTrigger, {F(trigger, 0x40C)}, 0, {}, kWrongSize),
        ROW(triggersAndEvents_checkEventLatch, {F(channelMask, 1), F(event, 0x135)}, 0, {F(channelMask, 2)},
            kInvalidChannel),
        ROW(triggersAndEvents_clearEventLatch, {F(channelMask, 1), F(event, 0x135)}, 0, {F(channelMask, 0)},
            kInvalidChannel),
        ROW(triggersAndEvents_clearAllEventLatches, {}, kNotImplemented, {}, kWrongSize),
        ROW(measureUnit_reset, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(wexmoor_getNumSubroutines, {}, 0, {}, kWrongSize),
        ROW(wexmoor_getSubroutines,
            {F(idBuffer, kOut), F(addressBuffer, kData), F(subroutineCount, kSubroutines)}, 0,
            {F(idBuffer, kNull)}, kNullSubroutineBuffer),
        ROW(wexmoor_downloadSubroutines, {}, kNotImplemented, {}, kWrongSize),
        ROW(wexmoor_executeSubroutine, {}, kNotImplemented, {}, kWrongSize),
        ROW(wexmoor_startSequenceEngine, {F(channelMask, 1)}, 0, {F(channelMask, 3)}, kInvalidChannel),
        ROW(wexmoor_isSequenceEngineRunning, {F(channelMask, 1)}, 0, {F(channelMask, 2)}, kInvalidChannel),
        ROW(wexmoor_resetSequenceEngine, {F(channelMask, 1)}, 0, {F(channelMask, 0)}, kInvalidChannel),
        ROW(corran_getHardwareErrors, {}, 0, {}, kWrongSize),
        // Solstra's reference temperature; Duskmere has no sensor to read.
        ROW(corran_readTemperatureSensor, {}, 0, {F(sensor, 1)}, kInvalidSensor, 0,
            board == "solstra" ? 0x0B2C : 0),
        ROW(corran_queryInCompliance, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_areStorageMapChecksumsValid, {}, 0, {}, kWrongSize, 0, 1),
        ROW(corran_areStorageMapVersionsValid, {}, 0, {}, kWrongSize, 0, 1),
        ROW(corran_getAlarmRaised, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_clearAlarm, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_maskAlarm, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_unmaskAlarm, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_calculateChargeBalanceOffset, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_configureChargeBalanceOffset, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, {F(channelMask, 1)}, 0,
            {F(channelMask, 2)}, kInvalidChannel),
        ROW(corran_configureMeasureUnit, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_getMeasurement, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_stagePowerAllocation, {F(powerMicrowatts, 1000)}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_commitPowerAllocation, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_getActualPowerAllocation, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_discardPowerAllocation, {}, 0, {F(channel, 1)}, kInvalidChannel),
        ROW(corran_readDAC, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_writeCmccDigipot, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_fetchChargeBalanceOffsetRawData, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_getConnectedAccessory, {}, 0, {}, kWrongSize),
        ROW(corran_setConnectedAccessory, {}, 0, {}, kWrongSize),
        ROW(routing_queryVersion, {}, 0, {}, kWrongSize, 0, 1),
        ROW(routing_calculateRoute,
            {F(seedBuffer, kSeeds), F(seedCount, 1), F(destinationBuffer, kDestination),
             F(destinationCount, 1), F(possibilitiesBuffer, kPossibilities), F(possibilitiesCapacity, 4)},
            0, {F(possibilitiesCapacity, 0)}, kBufferTooSmall),
        ROW(routing_getRouteTerminalPath, {F(routeID, kRoute), F(pathBuffer, kOut), F(pathCapacity, 4)}, 0,
            {F(routeID, 0xDEAD)}, kInvalidParameter, 4),
        ROW(routing_reserveRoute, {F(routeID, kRoute), F(conflictsBuffer, kOut), F(conflictsCapacity, 4)}, 0,
            {F(routeID, 0xDEAD)}, kInvalidParameter, 4),
        ROW(routing_programRoute, {F(routeID, kRoute)}, 0, {F(routeID, 0xDEAD)}, kInvalidParameter),
        ROW(routing_unprogramRoute, {F(routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_unreserveRoute, {F(routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_destroyRoute, {F(routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_getTopographyName, {F(nameBuffer, kOut), F(bufferSize, 64)}, 0, {F(bufferSize, 0)},
            kBufferTooSmall),
        ROW(routing_resetTerminal, {F(terminalID, 2)}, 0, {}, kWrongSize),
        ROW(routing_calculateResetTerminal, {F(terminalID, 2)}, 0, {}, kWrongSize),
        ROW(arm_getNumberOfRegistrations, {}, 0, {}, kWrongSize),
        ROW(arm_getRegistrationNames, {F(buffer, kOut)}, 0, {F(buffer, kReadOnly)}, kBadAddress),
        ROW(arm_getSizeOfRegistrationList, {}, 0, {}, kWrongSize),
        ROW(arm_getRegistrationList, {F(buffer, kOut)}, 0, {F(buffer, kReadOnly)}, kBadAddress),
        ROW(arm_set, {NAME(kMap), F(fieldId, kScratchField), F(value, 0x5A)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(arm_get, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound, 0, 0x5A),
        ROW(arm_flushRegister, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(arm_write, {NAME(kMap), F(fieldId, kScratchField), F(value, 0x600D), F(force, 1)}, 0,
            {NAME(kUnknown)}, kNameNotFound),
        ROW(arm_read, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound, 0, 0x600D),
        ROW(arm_refreshRegister, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(arm_flushRegMap, {NAME(kMap)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(arm_setEx, {NAME(kMap), F(fieldId, kScratchField), F(value, 7)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(arm_getEx, {NAME(kMap), F(fieldId, kScratchField)}, 0, {F(index, 0x1000000)}, kNotImplemented, 0,
            7),
        ROW(arm_writeEx, {NAME(kMap), F(fieldId, kScratchField), F(value, 9)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(arm_readEx, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound, 0, 9),
        ROW(arm_flushRegisterEx, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(arm_refreshRegisterEx, {NAME(kMap), F(fieldId, kScratchField)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(arm_getRegisterFormat,
            {NAME(kMap), F(registerId, kScratchField), F(capacity, 64), F(fieldTypeBuffer, kOut),
             F(maskBuffer, kData)},
            0, {NAME(kUnknown)}, kNameNotFound, 0, 1),
        ROW(deviceWindow_getNumberOfRegistrations, {}, 0, {}, kWrongSize, 0, 3),
        ROW(deviceWindow_getRegistrationNames, {F(buffer, kOut)}, 0, {F(buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_getSizeInBytes, {NAME(kWindow)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(deviceWindow_set, {NAME(kWindow), F(buffer, kData), F(offset, scratch), F(size, 4)}, 0,
            {NAME(kUnknown)}, kNameNotFound),
        ROW(deviceWindow_get, {NAME(kWindow), F(buffer, kData), F(offset, scratch), F(size, 4)}, 0,
            {F(buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_flush, {NAME(kWindow), F(offset, scratch), F(size, 4)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(deviceWindow_write, {NAME(kWindow), F(buffer, kData), F(offset, scratch), F(size, 4)}, 0,
            {NAME(kUnknown)}, kNameNotFound),
        ROW(deviceWindow_read, {NAME(kWindow), F(buffer, kData), F(offset, scratch), F(size, 4)}, 0,
            {F(buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_refresh, {NAME(kWindow), F(offset, scratch), F(size, 4)}, 0, {NAME(kUnknown)},
            kNameNotFound),
        ROW(storageMap_getNumberOfRegistrations, {}, 0, {}, kWrongSize, 0, 7),
        ROW(storageMap_getRegistrationNames, {F(buffer, kOut)}, 0, {F(buffer, kReadOnly)}, kBadAddress),
        ROW(storageMap_getElementCount, {NAME(kStorage), F(fieldId, kSerialField)}, 0, {NAME(kUnknown)},
            kNameNotFound, 0xFFFFFFFF, 1),
        ROW(storageMap_getElementSize, {NAME(kStorage), F(fieldId, kSerialField)}, 0, {NAME(kUnknown)},
            kNameNotFound, 0xFFFFFFFF, 4),
        ROW(storageMap_getRaw,
            {NAME(kStorage), F(fieldId, kSerialField), F(elementCount, 1), F(buffer, kData),
             F(elementSize, 4)},
            0, {F(buffer, kReadOnly)}, kBadAddress),
        ROW(storageMap_setRaw,
            {NAME(kStorage), F(fieldId, kSerialField), F(elementCount, 1), F(buffer, kData),
             F(elementSize, 4)},
            0, {F(elementSize, 2)}, kWrongElementSize),
        ROW(storageMap_isChecksumValid, {NAME(kStorage)}, 0, {NAME(kUnknown)}, kNameNotFound, 0, 1),
        ROW(storageMap_flush, {NAME(kStorage)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(storageMap_refresh, {NAME(kStorage)}, 0, {NAME(kUnknown)}, kNameNotFound),
        ROW(brixelTools_addTransferFromDevice, {F(bufferAddress, kDma), F(bufferSize, 4096)}, 0,
            {F(transferKind, 2)}, kInvalidParameter),
        ROW(brixelTools_startDMA, {}, 0, {F(channel, 2)}, kInvalidParameter),
        ROW(brixelTools_getTransferCount, {}, 0, {F(channel, 2)}, kInvalidParameter),
        ROW(brixelTools_waitUntilBytesTransferred, {}, 0, {F(channel, 2)}, kInvalidChannel),
        ROW(brixelTools_cancelWaitUntilBytesTransferred, {}, 0, {F(channel, 2)}, kInvalidChannel),
        ROW(brixelTools_stopDMA, {}, 0, {F(channel, 2)}, kInvalidParameter),
        ROW(brixelTools_clearTransfers, {}, 0, {F(channel, 2)}, kInvalidParameter),
        ROW(brixelTools_clearApplicationFIFO, {}, 0, {F(channel, 2)}, kInvalidParameter),
        ROW(brixelTools_addTransferToDevice,
            {F(channel, 1), F(bufferAddress, kDmaOut), F(bufferSize, 4096), F(transferWord, 1)}, 0,
            {F(bufferSize, 0)}, kBufferTooSmall),
        ROW(brixelTools_writeStreamAdditiveTransferCount, {F(channel, 1)}, 0, {F(channel, 2)},
            kInvalidParameter),
        ROW(kdut_cleanup, {}, 0, {}, kWrongSize),
        ROW(kdut_reset, {F(setupLevel, 19)}, 0, {F(setupLevel, 20)}, kInvalidParameter),
    };
}

using kelvo_test::address;
using kelvo_test::statusOf;

template <class T> std::vector<uint8_t> bytesOf(const T& in) {
    const auto* first = reinterpret_cast<const uint8_t*>(&in);
    return std::vector<uint8_t>(first, first + sizeof(in));
}

// Writes that reached an FPGA's register space so far.
size_t writesTo(const sim::FpgaSpace& space) {
    const std::vector<sim::Access> trace = space.trace();
    return std::count_if(trace.begin(), trace.end(), [](const sim::Access& access) { return access.write; });
}

class E2ELevel19 : public kelvo_test::HostedTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        board_ = GetParam();
        index_ = add(board_);
        module_ = kelvo_host::module(static_cast<unsigned>(index_));
        reopen();
        readOnly_ = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(readOnly_, MAP_FAILED);
        const std::string family = board_ == "solstra" ? "Solstra" : "Duskmere";
        names_[0] = family + "NisoTopRegMap_BoardWin_" + family + "NisoBoardRegMap_StandardRegsWin_" +
                    family + "StandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
    }
    void TearDown() override {
        munmap(readOnly_, 4096);
        std::free(dma_);
        module_.reset();
        for (int handle : handles_) {
            EXPECT_EQ(kelvo_close(handle), 0);
        }
        remove(index_);
        HostedTest::TearDown();
    }
    // New handles on both interfaces (a reset invalidates the old ones).
    void reopen() {
        for (int handle : handles_) {
            EXPECT_EQ(kelvo_close(handle), 0);
        }
        handles_ = {kelvo_open("smu_kelvo", static_cast<unsigned>(index_)),
                    kelvo_open("nPXICOOLING_17_2_pxiCooling", static_cast<unsigned>(index_))};
        ASSERT_GE(handles_[0], 0);
        ASSERT_GE(handles_[1], 0);
    }

    struct Answer {
        int transport;
        uint32_t written;
        std::vector<uint8_t> out;
        int32_t word(uint32_t at) const {
            int32_t value;
            std::memcpy(&value, out.data() + at, 4);
            return value;
        }
        uint32_t result() const { return static_cast<uint32_t>(word(0)); }
    };
    Answer send(int handle, uint32_t code, const std::vector<uint8_t>& in, size_t outSize) {
        Answer answer{0, 0, std::vector<uint8_t>(outSize, 0)};
        kelvo_ioctl_header header{address(in.data()),
                                  address(answer.out.data()),
                                  static_cast<uint32_t>(in.size()),
                                  static_cast<uint32_t>(outSize),
                                  0,
                                  0};
        answer.transport = kelvo_ioctl(handle, code, &header);
        answer.written = header.result;
        return answer;
    }
    template <class Out, class In> Out request(uint32_t code, const In& in) {
        return kelvo_test::answer<Out>(handles_[0], code, in);
    }
    int32_t reset(uint32_t level) {
        const auto out =
            request<kelvo_status_record>(KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{level, 0, 0, 0, 0});
        reopen();
        return out.status;
    }
    kelvo_corran_getConnectedAccessory_out accessory() {
        return request<kelvo_corran_getConnectedAccessory_out>(KELVO_IOCTL_corran_getConnectedAccessory,
                                                               kelvo_status_record{0});
    }

    uint64_t resolve(uint64_t value) {
        if (value == kRoute) {
            return possibilities_[0].routeID;
        }
        if (value == kSubroutines) {
            return request<kelvo_wexmoor_getNumSubroutines_out>(KELVO_IOCTL_wexmoor_getNumSubroutines,
                                                                kelvo_status_record{0})
                .subroutineCount;
        }
        const uint64_t places[] = {address(names_[0].data()),
                                   address(names_[1].data()),
                                   address(names_[2].data()),
                                   address(names_[3].data()),
                                   address(out_.data()),
                                   address(data_.data()),
                                   address(dma_),
                                   address(dma_ + 4096),
                                   address(&seed_),
                                   address(&destination_),
                                   address(possibilities_),
                                   0,
                                   address(readOnly_),
                                   0};
        return value < kMap ? value : places[value - kMap];
    }
    // A record of size bytes with the fields put in order (a later one wins).
    std::vector<uint8_t> record(const std::vector<Put>& puts, size_t size) {
        std::vector<uint8_t> bytes(size, 0);
        for (const Put& put : puts) {
            const uint64_t value = resolve(put.value);
            std::memcpy(bytes.data() + put.at, &value, put.width == 16 ? 8 : put.width);
            if (put.width == 16) {
                const uint64_t length = names_[put.value - kMap].size();
                std::memcpy(bytes.data() + put.at + 8, &length, 8);
            }
        }
        return bytes;
    }

    // What a refused request must leave as it was: the FPGAs and the flash
    // unwritten, the client's buffers, the level, the accessory and cooling mode.
    struct Observed {
        size_t writes;
        std::vector<uint8_t> out, data;
        uint32_t level, accessory, cooling;
        bool operator==(const Observed&) const = default;
    };
    Observed observe() {
        return {
            module_->flash().trace().size() + writesTo(module_->nisoFpga()) + writesTo(module_->isoFpga()),
            out_,
            data_,
            request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0})
                .setupLevel,
            accessory().accessory,
            request<kelvo_voquantaPXICooling_getCoolingMode_out>(
                KELVO_IOCTL_voquantaPXICooling_getCoolingMode, kelvo_status_record{0})
                .coolingMode};
    }
    void clearTraces() {
        module_->nisoFpga().clearTrace();
        module_->isoFpga().clearTrace();
        module_->flash().clearTrace();
    }

    std::string board_;
    int index_ = -1;
    std::shared_ptr<sim::Module> module_;
    std::vector<int> handles_;
    void* readOnly_ = nullptr;
    // The names of kMap, kWindow, kStorage and kUnknown.
    std::string names_[4] = {"", "NisoFpgaWindow", "Manufacturing_Ver1.0.0d1", "NoSuchRegistration"};
    std::vector<uint8_t> out_ = std::vector<uint8_t>(1 << 16, 0), data_ = std::vector<uint8_t>(1024, 0);
    // Two whole pages of the client's memory for DMA.
    uint8_t* dma_ = static_cast<uint8_t*>(std::aligned_alloc(4096, 2 * 4096));
    kelvo_route_seed seed_{3, 0, 0, {}};
    uint32_t destination_ = 2;
    kelvo_route_possibility possibilities_[4] = {};
};

// Each code once with a bad input, refused with its code and nothing changed,
// then once with a valid one, answered as its operation promises. The module
// was added at level 19: the first rows check the hardware state and the level.
TEST_P(E2ELevel19, EveryCodeAnswersValidInputAndRefusesBadInput) {
    const std::vector<Row> table = rows(GetParam());
    EXPECT_EQ(table.size(), KELVO_IOCTL_CODE_COUNT);
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        // The cooling codes (direction bits set) on both interfaces.
        for (int handle : row.code > 0xFFFFFF ? handles_ : std::vector<int>{handles_[0]}) {
            Observed before = observe();
            before.writes = 0;
            clearTraces();
            std::vector<Put> bad = row.valid;
            bad.insert(bad.end(), row.bad.begin(), row.bad.end());
            const bool wrongSize = row.bad.empty();
            const Answer refused =
                send(handle, row.code, record(bad, row.inSize + (wrongSize ? 1 : 0)), row.outSize);
            if (wrongSize) {
                EXPECT_EQ(refused.transport, kTransportBadSize);
                EXPECT_EQ(refused.written, 0u);
                EXPECT_EQ(refused.out, std::vector<uint8_t>(row.outSize, 0));
            } else {
                EXPECT_EQ(refused.transport, 0);
                EXPECT_EQ(refused.word(row.statusAt), row.refusal);
                EXPECT_EQ(row.statusAt == 0 ? row.refusedResult : refused.result(), row.refusedResult);
            }
            EXPECT_EQ(observe(), before);

            const Answer answered = send(handle, row.code, record(row.valid, row.inSize), row.outSize);
            EXPECT_EQ(answered.transport, 0);
            EXPECT_EQ(answered.written, row.outSize);
            EXPECT_EQ(answered.word(row.statusAt), row.answer);
            if (row.result >= 0) {
                EXPECT_EQ(answered.result(), row.result);
            }
            if (row.code == KELVO_IOCTL_kdut_reset) {
                reopen();
            }
        }
    }
    EXPECT_EQ(module_->deviceErrorCount(), 0u);
}

// After a reset to each level, the level is answered, a code of a higher
// level answers the tracker's status and one at or below it is admitted;
// then a reset to 19 completes the module again.
TEST_P(E2ELevel19, EveryResetLevelAdmitsTheCodesAtOrBelowIt) {
    // Codes of levels 0, 1, 11, 14 and 19, with their valid inputs.
    const std::pair<std::string, uint32_t> probes[] = {{"kdut_cleanup", 0},
                                                       {"arm_getNumberOfRegistrations", 1},
                                                       {"corran_getHardwareErrors", 11},
                                                       {"brixelTools_getTransferCount", 14},
                                                       {"kdut_checkHardwareState", 19}};
    const std::vector<Row> table = rows(GetParam());
    for (uint32_t level = 0; level <= 19; ++level) {
        SCOPED_TRACE(level);
        EXPECT_EQ(reset(level), level == 19 ? 0 : kLevelReached);
        const auto reached =
            request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0});
        EXPECT_EQ(reached.setupLevel, level);
        EXPECT_EQ(reached.status, 0);
        for (const auto& probe : probes) {
            SCOPED_TRACE(probe.first);
            const Row& row = *std::find_if(table.begin(), table.end(),
                                           [&](const Row& r) { return r.name == probe.first; });
            const Answer answer = send(handles_[0], row.code, record(row.valid, row.inSize), row.outSize);
            EXPECT_EQ(answer.transport, 0);
            EXPECT_EQ(answer.word(row.statusAt), probe.second > level ? kLevelReached : 0);
        }
    }
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ(levelOf(index_), 19u);
}

// The accessory word: set, read back, kept across resets; below level 19 the
// get answers 1 with the gate's code and the set changes nothing.
TEST_P(E2ELevel19, TheConnectedAccessorySurvivesResets) {
    const auto set = [&](uint32_t value) {
        return request<kelvo_status_record>(KELVO_IOCTL_corran_setConnectedAccessory,
                                            kelvo_corran_setConnectedAccessory_in{value, 0})
            .status;
    };
    EXPECT_EQ(accessory().accessory, 0u);
    EXPECT_EQ(set(7), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    EXPECT_EQ(accessory().status, 0);
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    EXPECT_EQ(reset(18), kLevelReached);
    EXPECT_EQ(accessory().accessory, 1u);
    EXPECT_EQ(accessory().status, kLevelReached);
    EXPECT_EQ(set(9), kLevelReached);
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    // A caller's error word comes back and leaves the word as it was.
    EXPECT_EQ(request<kelvo_status_record>(KELVO_IOCTL_corran_setConnectedAccessory,
                                           kelvo_corran_setConnectedAccessory_in{3, -1})
                  .status,
              -1);
    EXPECT_EQ(accessory().accessory, 7u);
}

// The soft-copy requests of a window in turn: read and refresh take the
// device's value, set and get stay in the soft copy, flush and write send
// only what changed unless forced.
TEST_P(E2ELevel19, WindowSoftCopyRequestsAndTheForceFlag) {
    sim::FpgaSpace& fpga = module_->nisoFpga();
    const int handle = handles_[0];
    const uint64_t at = address(names_[1].data());
    const uint64_t length = names_[1].size();
    const uint64_t scratch = nisoScratch(GetParam());
    enum Op { kRead, kSet, kFlush, kWrite, kDevice, kRefresh };
    const struct {
        Op op;
        uint32_t value; // kSet, kWrite, kDevice
        bool force;     // kFlush, kWrite
        bool written;   // the device saw a write
        uint32_t device;
        uint32_t softCopy;
    } steps[] = {
        {kDevice, 0x0F0F0F0F, false, false, 0x0F0F0F0F, 0},
        {kRead, 0, false, false, 0x0F0F0F0F, 0x0F0F0F0F},
        {kSet, 0x11111111, false, false, 0x0F0F0F0F, 0x11111111},
        {kFlush, 0, false, true, 0x11111111, 0x11111111},
        {kFlush, 0, false, false, 0x11111111, 0x11111111}, // nothing changed since
        {kFlush, 0, true, true, 0x11111111, 0x11111111},
        {kWrite, 0x11111111, false, false, 0x11111111, 0x11111111},
        {kWrite, 0x11111111, true, true, 0x11111111, 0x11111111},
        {kWrite, 0x22222222, false, true, 0x22222222, 0x22222222},
        {kDevice, 0x33333333, false, false, 0x33333333, 0x22222222},
        {kRefresh, 0, false, false, 0x33333333, 0x33333333},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        SCOPED_TRACE(i);
        const size_t writes = writesTo(fpga);
        uint32_t word = step.value;
        int32_t result = 0;
        switch (step.op) {
        case kRead:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_read,
                              kelvo_deviceWindow_read_in{at, length, scratch, 4, address(&word), 0, 0});
            EXPECT_EQ(word, step.device);
            break;
        case kSet:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_set,
                              kelvo_deviceWindow_set_in{at, length, address(&word), scratch, 4, 0, 0});
            break;
        case kFlush:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_flush,
                              kelvo_deviceWindow_flush_in{at, length, scratch, 4, step.force, {}, 0});
            break;
        case kWrite:
            result = statusOf(
                handle, KELVO_IOCTL_deviceWindow_write,
                kelvo_deviceWindow_write_in{at, length, address(&word), scratch, 4, step.force, {}, 0});
            break;
        case kDevice:
            fpga.poke(scratch, step.value);
            continue;
        case kRefresh:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_refresh,
                              kelvo_deviceWindow_refresh_in{at, length, scratch, 4, 0, 0});
            break;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(writesTo(fpga) > writes, step.written);
        EXPECT_EQ(fpga.peek(scratch), step.device);
        uint32_t soft = 0;
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_deviceWindow_get,
                           kelvo_deviceWindow_get_in{at, length, scratch, 4, address(&soft), 0, 0}),
                  0);
        EXPECT_EQ(soft, step.softCopy);
    }
}

// Names longer than 4096 (4096 itself is looked up), a length past the
// address space, names and window data at addresses the client does not own:
// refused with the operation's code, nothing reaching either FPGA, the handle
// still served.
TEST_P(E2ELevel19, BadNamesAndAddressesAreRefusedAndChangeNothing) {
    const uint64_t scratch = nisoScratch(GetParam());
    module_->nisoFpga().poke(scratch, 0x11111111);
    const size_t writes = writesTo(module_->nisoFpga()) + writesTo(module_->isoFpga());
    const uint32_t value = 7;
    const auto map = [&](const std::string& name, uint64_t at, uint64_t length) {
        return bytesOf(kelvo_arm_write_in{at != 0 ? at : address(name.data()),
                                          length != 0 ? length : name.size(),
                                          kScratchField,
                                          1,
                                          1,
                                          {},
                                          0});
    };
    const auto window = [&](const std::string& name, uint64_t at, uint64_t buffer) {
        return bytesOf(kelvo_deviceWindow_write_in{
            at != 0 ? at : address(name.data()), name.size(), buffer, scratch, 4, 1, {}, 0});
    };
    const std::string longest(4096, 'x'), tooLong(4097, 'x');
    const struct {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> in;
        int32_t status;
    } cases[] = {
        {"a map name of 4097", KELVO_IOCTL_arm_write, map(tooLong, 0, 0), kInvalidParameter},
        {"a map name of 4096", KELVO_IOCTL_arm_write, map(longest, 0, 0), kNameNotFound},
        {"a window name of 4097", KELVO_IOCTL_deviceWindow_write, window(tooLong, 0, address(&value)),
         kInvalidParameter},
        {"a name length past the address space", KELVO_IOCTL_arm_write, map(names_[0], 0, UINT64_MAX),
         kInvalidParameter},
        {"a map name at a foreign address", KELVO_IOCTL_arm_write, map(names_[0], 0x10, 0), kBadAddress},
        {"a window name at a foreign address", KELVO_IOCTL_deviceWindow_write,
         window(names_[1], 0x10, address(&value)), kBadAddress},
        {"window data at a foreign address", KELVO_IOCTL_deviceWindow_write, window(names_[1], 0, 0x10),
         kBadAddress},
        {"window data at the top of the address space", KELVO_IOCTL_deviceWindow_write,
         window(names_[1], 0, UINT64_MAX - 2), kBadAddress},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer refused = send(handles_[0], c.code, c.in, sizeof(kelvo_status_record));
        EXPECT_EQ(refused.transport, 0);
        EXPECT_EQ(refused.word(0), c.status);
    }
    EXPECT_EQ(writesTo(module_->nisoFpga()) + writesTo(module_->isoFpga()), writes);
    EXPECT_EQ(module_->nisoFpga().peek(scratch), 0x11111111u);
    const auto fine = request<kelvo_arm_read_out>(
        KELVO_IOCTL_arm_read,
        kelvo_arm_read_in{address(names_[0].data()), names_[0].size(), kScratchField, 0});
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.value, 0x11111111u);
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, E2ELevel19, ::testing::ValuesIn(kelvo_test::boards()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
