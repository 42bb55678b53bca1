#include "demo.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "codes.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"
#include "request.h"

namespace kelvo_tool {

namespace {

// The sequencer's command words the program uses: opcode in bits 63..58, G in
// 35..32 (call 2, return 5), a register write's byte address in 47..32, the
// data in 31..0.
constexpr std::uint64_t kCall = 0x1C00000200000000ull;
constexpr std::uint64_t kReturn = 0x1C00000500000000ull;
constexpr std::uint64_t kMarker = 0x2000000000000000ull;
constexpr std::uint64_t kRegisterWrite = 0x0400000000000000ull;
constexpr std::uint32_t kGeneralUse = 0x100; // general-use register 0 of the channel sequencer

constexpr std::uint32_t kProgramMarker = 0x4B454C56;
constexpr std::uint32_t kFirstWritten = 56; // the program writes general-use registers 56 to 63
constexpr std::uint32_t kWritten = 8;
// A measurement packet: marker, packet number, the 64 general-use registers.
constexpr std::size_t kPacketWords = 2 + 64;
constexpr std::uint32_t kWaitMilliseconds = 600000;

std::uint32_t written(std::uint32_t i) {
    return 0xC0DE0000u | i << 8 | (kFirstWritten + i);
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// FNV-1a over the bytes.
std::uint32_t checksum(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

class Demo {
public:
    explicit Demo(int handle) : handle_(handle) {}

    bool run() {
        std::cout << "data path demo:\n";
        if (!step("kdut_reserveResources", KELVO_IOCTL_kdut_reserveResources,
                  kelvo_kdut_reserveResources_in{1, 0, 0})) {
            return false;
        }
        std::uint32_t subroutine = 0;
        std::uint32_t address = 0;
        if (!pickSubroutine(subroutine, address)) {
            return false;
        }
        // Measurements before and after: the registers that changed are the program's work.
        if (!startReceiving(packets_) || !measure()) {
            return false;
        }
        program_ = makeProgram(address);
        if (!send(program_) || !runEngine(static_cast<std::uint32_t>(program_.size())) || !measure() ||
            !received(packets_)) {
            return false;
        }
        return compare(packets_, subroutine);
    }

private:
    // One request whose output is its status alone; prints it when it fails.
    template <class In> bool step(const char* name, std::uint32_t code, const In& in) {
        const auto answer = call<kelvo_status_record>(handle_, code, in);
        if (!answer.ok()) {
            std::cout << "  failed: " << channels(name, answer) << "\n";
        }
        return answer.ok();
    }

    // The subroutine with the longest body: the one whose call changes most.
    bool pickSubroutine(std::uint32_t& id, std::uint32_t& address) {
        const auto count = call<kelvo_wexmoor_getNumSubroutines_out>(
            handle_, KELVO_IOCTL_wexmoor_getNumSubroutines, kelvo_status_record{0});
        const std::uint32_t n = count.out.subroutineCount;
        if (!count.ok() || n == 0 || n > 4096) {
            std::cout << "  no subroutines: " << channels("wexmoor_getNumSubroutines", count) << "\n";
            return false;
        }
        std::vector<std::uint32_t> ids(n), addresses(n);
        if (!step("wexmoor_getSubroutines", KELVO_IOCTL_wexmoor_getSubroutines,
                  kelvo_wexmoor_getSubroutines_in{kelvo_tool::address(ids.data()),
                                                  kelvo_tool::address(addresses.data()), n, 0})) {
            return false;
        }
        std::vector<std::uint32_t> sorted = addresses;
        std::sort(sorted.begin(), sorted.end());
        std::uint32_t longest = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto next = std::upper_bound(sorted.begin(), sorted.end(), addresses[i]);
            const std::uint32_t length = next == sorted.end() ? 1 : *next - addresses[i];
            if (length > longest) {
                longest = length;
                id = ids[i];
                address = addresses[i];
            }
        }
        std::cout << "  subroutines in local RAM: " << n << "; the program calls " << hex(id) << " at word "
                  << address << " (" << longest << " words)\n";
        return true;
    }

    static std::vector<std::uint64_t> makeProgram(std::uint32_t subroutineAddress) {
        std::vector<std::uint64_t> program{kCall | subroutineAddress};
        for (std::uint32_t i = 0; i < kWritten; ++i) {
            const std::uint64_t registerAddress = kGeneralUse + 4 * (kFirstWritten + i);
            program.push_back(kRegisterWrite | registerAddress << 32 | written(i));
        }
        program.push_back(kMarker | kProgramMarker);
        program.push_back(kReturn);
        return program;
    }

    // Waits until channel has moved bytes since the stream started; prints the count.
    // The module's engine moves data at its own pace while the wait counts
    // kernel time, which may run faster: a wait that ends while the count
    // still grows is waited again, and only one with no progress fails.
    bool waitFor(std::uint32_t channel, std::uint32_t bytes) {
        std::uint32_t before = 0;
        while (true) {
            const auto wait = call<kelvo_brixelTools_waitUntilBytesTransferred_out>(
                handle_, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
                kelvo_brixelTools_waitUntilBytesTransferred_in{channel, 0, 0, bytes, kWaitMilliseconds, 0,
                                                               0});
            const auto count = call<kelvo_brixelTools_getTransferCount_out>(
                handle_, KELVO_IOCTL_brixelTools_getTransferCount,
                kelvo_brixelTools_getTransferCount_in{channel, 0});
            const bool progressed =
                count.ok() && count.out.transferCount > before && count.out.transferCount < bytes;
            if (wait.ok() && wait.out.timedOut != 0 && progressed) {
                before = count.out.transferCount;
                continue;
            }
            std::cout << count.out.transferCount << " of " << bytes << " bytes";
            if (!wait.ok() || wait.out.timedOut != 0 || !count.ok() || count.out.transferCount != bytes) {
                std::cout << (wait.out.timedOut != 0 ? " (timed out) " : " ")
                          << channels("brixelTools_waitUntilBytesTransferred", wait) << " "
                          << channels("brixelTools_getTransferCount", count) << "\n";
                return false;
            }
            return true;
        }
    }

    bool stopStream(std::uint32_t channel) {
        return step("brixelTools_stopDMA", KELVO_IOCTL_brixelTools_stopDMA,
                    kelvo_brixelTools_stopDMA_in{channel, 0}) &&
               step("brixelTools_clearTransfers", KELVO_IOCTL_brixelTools_clearTransfers,
                    kelvo_brixelTools_clearTransfers_in{channel, 0});
    }

    // The program goes to the sequencer's command FIFO over channel 1.
    bool send(const std::vector<std::uint64_t>& program) {
        const auto bytes = static_cast<std::uint32_t>(program.size() * sizeof(program[0]));
        const auto* data = reinterpret_cast<const std::uint8_t*>(program.data());
        std::cout << "  program: " << program.size() << " command words (" << bytes << " bytes, checksum "
                  << hex(checksum(data, bytes)) << ")\n";
        if (!step("brixelTools_addTransferToDevice", KELVO_IOCTL_brixelTools_addTransferToDevice,
                  kelvo_brixelTools_addTransferToDevice_in{1, 0, address(data), bytes, 1, 0}) ||
            !step("brixelTools_startDMA", KELVO_IOCTL_brixelTools_startDMA,
                  kelvo_brixelTools_startDMA_in{1, 0, {}, 0}) ||
            !step("brixelTools_writeStreamAdditiveTransferCount",
                  KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                  kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, bytes, 0})) {
            return false;
        }
        std::cout << "  to the device (DMA channel 1): ";
        if (!waitFor(1, bytes)) {
            return false;
        }
        std::cout << "\n";
        return stopStream(1);
    }

    bool runEngine(std::uint32_t words) {
        if (!step("wexmoor_startSequenceEngine", KELVO_IOCTL_wexmoor_startSequenceEngine,
                  kelvo_wexmoor_startSequenceEngine_in{1, words, 0})) {
            return false;
        }
        const auto running = call<kelvo_wexmoor_isSequenceEngineRunning_out>(
            handle_, KELVO_IOCTL_wexmoor_isSequenceEngineRunning,
            kelvo_wexmoor_isSequenceEngineRunning_in{1, 0, 0});
        if (!running.ok()) {
            std::cout << "  failed: " << channels("wexmoor_isSequenceEngineRunning", running) << "\n";
            return false;
        }
        if (!step("wexmoor_resetSequenceEngine", KELVO_IOCTL_wexmoor_resetSequenceEngine,
                  kelvo_wexmoor_resetSequenceEngine_in{1, 0, 0})) {
            return false;
        }
        std::cout << "  sequence engine: started on the " << words << " words, "
                  << (running.out.running != 0 ? "running" : "already done") << " when asked, reset\n";
        return true;
    }

    // Channel 0 receives two measurement packets into packets.
    bool startReceiving(std::vector<std::uint32_t>& packets) {
        return step("brixelTools_addTransferFromDevice", KELVO_IOCTL_brixelTools_addTransferFromDevice,
                    kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(packets.data()),
                                                               packets.size() * sizeof(packets[0]), 0, 0}) &&
               step("brixelTools_startDMA", KELVO_IOCTL_brixelTools_startDMA,
                    kelvo_brixelTools_startDMA_in{0, 0, {}, 0});
    }

    // One measurement: arming the measure unit sends one packet.
    bool measure() {
        return step("measureUnit_arm", KELVO_IOCTL_measureUnit_arm, kelvo_measureUnit_arm_in{0, 0}) &&
               step("measureUnit_reset", KELVO_IOCTL_measureUnit_reset, kelvo_measureUnit_reset_in{0, 0});
    }

    bool received(const std::vector<std::uint32_t>& packets) {
        const auto bytes = static_cast<std::uint32_t>(packets.size() * sizeof(packets[0]));
        std::cout << "  from the device (DMA channel 0): ";
        if (!waitFor(0, bytes)) {
            return false;
        }
        std::cout << ", checksum "
                  << hex(checksum(reinterpret_cast<const std::uint8_t*>(packets.data()), bytes)) << "\n";
        for (std::size_t p = 0; p < 2; ++p) {
            std::cout << "  packet " << packets[p * kPacketWords + 1] << " (" << (p == 0 ? "before" : "after")
                      << "): marker " << hex(packets[p * kPacketWords]) << ", general-use registers";
            for (std::size_t r = 0; r < 4; ++r) {
                std::cout << " " << hex(packets[p * kPacketWords + 2 + r]);
            }
            std::cout << " ...\n";
        }
        return stopStream(0);
    }

    static bool compare(const std::vector<std::uint32_t>& packets, std::uint32_t subroutine) {
        const std::uint32_t* before = packets.data() + 2;
        const std::uint32_t* after = packets.data() + kPacketWords + 2;
        std::uint32_t matching = 0;
        for (std::uint32_t i = 0; i < kWritten; ++i) {
            matching += after[kFirstWritten + i] == written(i) ? 1 : 0;
        }
        std::uint32_t changed = 0;
        for (std::uint32_t r = 0; r < kFirstWritten; ++r) {
            changed += after[r] != before[r] ? 1 : 0;
        }
        const std::uint32_t marker = packets[kPacketWords];
        const bool passed = marker == kProgramMarker && matching == kWritten && changed != 0 &&
                            packets[kPacketWords + 1] == packets[1] + 1;
        std::cout << "  compared: marker " << hex(marker)
                  << (marker == kProgramMarker ? " as sent" : " NOT as sent") << "; general-use registers "
                  << kFirstWritten << " to " << kFirstWritten + kWritten - 1 << ": " << matching << " of "
                  << kWritten << " as the program wrote them; " << changed << " of registers 0 to "
                  << kFirstWritten - 1 << " changed by subroutine " << hex(subroutine) << "\n";
        return passed;
    }

    int handle_;
    // The streams' buffers: they outlive every stream a failed step leaves
    // running until the session closes.
    std::vector<std::uint32_t> packets_ = std::vector<std::uint32_t>(2 * kPacketWords, 0);
    std::vector<std::uint64_t> program_;
};

} // namespace

bool runDemo(unsigned device) {
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        std::cout << "data path demo: no session: " << describeTransport(handle) << "\n";
        return false;
    }
    Demo demo(handle);
    const bool passed = demo.run();
    // Closing the session stops whatever stream is left, before the buffers go.
    kelvo_close(handle);
    std::cout << "data path demo: " << (passed ? "passed" : "FAILED") << "\n";
    return passed;
}

} // namespace kelvo_tool
