// The simulated module's PCI function as the kernel layer sees it: boards,
// configuration space, BAR 0 blocks, the stand-in's bus, mappings and knobs.
#include <stdexcept>

#include "kelvo/product_ids.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "sim.h"
#include "test_support.h"

namespace {

class SimPci : public kelvo_test::LeakCheckedTest {
protected:
    sim::Bus bus;
};

uint16_t config16(const sim::Module& m, uint32_t offset) {
    uint16_t v = 0;
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m.pciHandle(), offset, &v), 0);
    return v;
}

// A 64-bit register block, standing for the later blocks that take one 64-bit store.
class Register64 : public sim::Block {
public:
    Register64() : Block("test-reg64", 8, sim::kWidth64 | sim::kWidth32) {}
    uint64_t value = 0;

protected:
    uint64_t onRead(uint64_t offset, uint32_t) override { return value >> (8 * offset); }
    void onWrite(uint64_t, uint32_t width, uint64_t v) override { value = width == 8 ? v : value; }
};

TEST_F(SimPci, BoardsCarryTheAcceptedIdentitiesAndForeignOnesCanBePlugged) {
    struct Case {
        const char* board;
        uint16_t subsystem;
    } cases[] = {{"solstra", KELVO_SUBSYSTEM_ID_Q101},
                 {"duskmere-a", KELVO_SUBSYSTEM_ID_Q104},
                 {"duskmere-b", KELVO_SUBSYSTEM_ID_Q105}};
    for (const Case& c : cases) {
        auto m = bus.plug(c.board);
        EXPECT_EQ(config16(*m, 0x00), KELVO_PCI_VENDOR_ID) << c.board;
        EXPECT_EQ(config16(*m, 0x02), KELVO_PCI_DEVICE_ID);
        EXPECT_EQ(config16(*m, 0x2C), KELVO_PCI_SUBSYSTEM_VENDOR_ID);
        EXPECT_EQ(config16(*m, 0x2E), c.subsystem);
        EXPECT_NE(config16(*m, 0x06) & 0x10, 0) << "capability list";
    }
    EXPECT_THROW(bus.plug("nonesuch"), std::invalid_argument);

    sim::Identity foreign{KELVO_PCI_VENDOR_ID, KELVO_PCI_DEVICE_ID, KELVO_PCI_SUBSYSTEM_VENDOR_ID,
                          KELVO_SUBSYSTEM_ID_Q106, 3};
    auto f = bus.plugForeign(foreign);
    EXPECT_EQ(config16(*f, 0x2E), KELVO_SUBSYSTEM_ID_Q106);
    EXPECT_EQ(f->board(), "");
}

TEST_F(SimPci, ConfigurationSpaceKeepsReadOnlyFieldsAndValidatesAccess) {
    auto m = bus.plug("solstra");
    // The fallback capability search writes 0x5A5A at offset 0: the identity stays.
    EXPECT_EQ(nVOKAL100_pciConfigWrite16(m->pciHandle(), 0, 0x5A5A), 0);
    EXPECT_EQ(config16(*m, 0), KELVO_PCI_VENDOR_ID);
    EXPECT_EQ(m->config().writtenValues(0), std::vector<uint64_t>{0x5A5A});
    // Command is writable.
    EXPECT_EQ(nVOKAL100_pciConfigWrite16(m->pciHandle(), 4, 0x0006), 0);
    EXPECT_EQ(config16(*m, 4), 0x0006);

    uint16_t v = 0;
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m->pciHandle(), 0x35, &v), NVOKAL_PCI_E_INVALID) << "misaligned";
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m->pciHandle(), 4096, &v), NVOKAL_PCI_E_INVALID);
    EXPECT_EQ(nVOKAL100_pciConfigRead16(nullptr, 0, &v), NVOKAL_PCI_E_INVALID);

    m->config().failReadsAt(0x72);
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m->pciHandle(), 0x72, &v), NVOKAL_PCI_E_FAILED);
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m->pciHandle(), 0x70, &v), 0);
    m->config().failAllReads(true);
    EXPECT_EQ(nVOKAL100_pciConfigRead16(m->pciHandle(), 0, &v), NVOKAL_PCI_E_FAILED);
    m->config().failWrites(true);
    EXPECT_EQ(nVOKAL100_pciConfigWrite16(m->pciHandle(), 4, 0), NVOKAL_PCI_E_FAILED);
    EXPECT_EQ(m->deviceErrorCount(), 0u);
}

TEST_F(SimPci, CapabilityChainKnobs) {
    auto m = bus.plug("duskmere-a");
    auto chain = [&] {
        std::vector<uint8_t> ids;
        uint8_t offset = static_cast<uint8_t>(config16(*m, 0x34));
        for (int i = 0; offset != 0 && i < 8; ++i) {
            const uint16_t h = config16(*m, offset);
            ids.push_back(static_cast<uint8_t>(h));
            offset = static_cast<uint8_t>(h >> 8);
        }
        return ids;
    };
    EXPECT_EQ(chain(), (std::vector<uint8_t>{0x01, 0x05, 0x10}));
    m->config().setLink({3, 8, 2, 4});
    EXPECT_EQ(config16(*m, 0x70 + 12) & 0x3FF, 3u | (8u << 4));
    EXPECT_EQ(config16(*m, 0x70 + 18) & 0x3FF, 2u | (4u << 4));
    m->config().removePcieCapability();
    EXPECT_EQ(chain(), (std::vector<uint8_t>{0x01, 0x05}));
    m->config().makeCapabilityListCircular();
    EXPECT_EQ(chain().size(), 8u) << "the chain no longer ends";
    m->config().setCapabilityListBit(false);
    EXPECT_EQ(config16(*m, 0x06) & 0x10, 0);
}

TEST_F(SimPci, RecordTopologyAndKernelKnobs) {
    auto a = bus.plug("solstra", {}, {});
    auto b = bus.plug("duskmere-b");
    // Each module sits behind its own root port.
    EXPECT_EQ(a->location(), (kal::pci::Location{0, 1, 0, 0}));
    EXPECT_EQ(b->location(), (kal::pci::Location{0, 2, 0, 0}));
    auto bridges = kal::pci::bridges();
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(bridges[0].deviceNumber, 1);
    EXPECT_EQ(bridges[0].secondaryBus, 1);
    EXPECT_EQ(bridges[1].deviceNumber, 2);
    EXPECT_EQ(bridges[1].secondaryBus, 2);

    nVOKAL_tPCIDevice record{};
    ASSERT_TRUE(kal::pci::describe(b->pciHandle(), record));
    EXPECT_EQ(record.busNumber, 2);
    EXPECT_EQ(record.subsystemID, KELVO_SUBSYSTEM_ID_DUSKMERE_B);
    EXPECT_EQ(record.resources[0].size, sim::Module::kBar0Size);
    EXPECT_EQ(record.resources[0].flags, NVOKAL_PCI_RESOURCE_MEMORY);
    EXPECT_EQ(record.resources[0].start, kal::pci::barAddress(b->pciHandle(), 0));
    EXPECT_EQ(record.resources[1].size, 0u);
    EXPECT_NE(record.lineInterrupt, 0u);

    // MSI: the vector lands in the record at +0x24; refusable.
    const uint32_t line = record.interruptNumber;
    kal::pci::Knobs knobs;
    knobs.refuseMSI = true;
    kal::pci::setKnobs(b->pciHandle(), knobs);
    EXPECT_EQ(nVOKAL230_pciRequestMSI(&record, 1), NVOKAL_PCI_E_REFUSED);
    EXPECT_EQ(record.interruptNumber, line);
    knobs.refuseMSI = false;
    kal::pci::setKnobs(b->pciHandle(), knobs);
    EXPECT_EQ(nVOKAL230_pciRequestMSI(&record, 1), 0);
    EXPECT_NE(record.interruptNumber, line);
    EXPECT_TRUE(kal::pci::msiGranted(b->pciHandle()));

    knobs.refuse64BitDMA = true;
    knobs.numaNode = 1;
    kal::pci::setKnobs(b->pciHandle(), knobs);
    EXPECT_EQ(nVOKAL220_pciSetDMAMask(b->pciHandle(), ~0ULL), NVOKAL_PCI_E_REFUSED);
    EXPECT_EQ(nVOKAL220_pciSetDMAMask(b->pciHandle(), 0xFFFFFFFF), 0);
    EXPECT_EQ(kal::pci::dmaMask(b->pciHandle()), 0xFFFFFFFFu);
    EXPECT_EQ(nVOKAL1_getDeviceNUMANode(b->pciHandle()), 1);

    bus.unplug(a);
    EXPECT_EQ(kal::pci::bridges().size(), 1u);
    EXPECT_EQ(a->pciHandle(), nullptr);
    auto c = bus.plug("solstra", {}, {0, false});
    EXPECT_EQ(c->location(), (kal::pci::Location{0, 0, 1, 0})) << "directly on bus 0, first free device";
}

TEST_F(SimPci, MappingsReachTheModuleByAddressAndMayOverlap) {
    auto m = bus.plug("solstra");
    const uint64_t bar = kal::pci::barAddress(m->pciHandle(), 0);
    const size_t live = kal::pci::liveMappings();
    void* one = nVOKAL230_mapPhysicalToKernel(bar, sim::Module::kBar0Size, 0);
    void* two = nVOKAL230_mapPhysicalToKernel(bar + 0xE0, 4, 0);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_NE(one, two);
    nVOKAL100_memoryWrite32(static_cast<char*>(one) + 0xE0, 0x30000);
    EXPECT_EQ(nVOKAL100_memoryRead32(two), 0x30000u) << "both mappings show the same register";
    EXPECT_EQ(m->bridge().pageRegister(), 0x30000u);
    EXPECT_EQ(nVOKAL230_mapPhysicalToKernel(bar + sim::Module::kBar0Size - 4, 8, 0), nullptr)
        << "past the BAR";

    // The 64-bit store of our own addition reaches a block like the other widths.
    auto& reg = m->bar0().add<Register64>(0x80000);
    nVOKAL100_memoryWrite64(static_cast<char*>(one) + 0x80000, 0x0123456789ABCDEFULL);
    EXPECT_EQ(reg.value, 0x0123456789ABCDEFULL);
    EXPECT_EQ(nVOKAL100_memoryRead64(static_cast<char*>(one) + 0x80000), 0x0123456789ABCDEFULL);
    EXPECT_EQ(reg.trace().front().width, 8u);

    // Unplugged: the old mapping reads all ones.
    bus.unplug(m);
    EXPECT_EQ(nVOKAL100_memoryRead32(two), 0xFFFFFFFFu);
    nVOKAL230_unmapPhysicalFromKernel(one, 0);
    nVOKAL230_unmapPhysicalFromKernel(two, 0);
    EXPECT_EQ(kal::pci::liveMappings(), live);
}

TEST_F(SimPci, AccessOfTheWrongWidthOrOutsideEveryBlockIsADeviceError) {
    auto m = bus.plug("solstra");
    void* bar =
        nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(m->pciHandle(), 0), sim::Module::kBar0Size, 0);
    auto* base = static_cast<char*>(bar);
    EXPECT_EQ(nVOKAL100_memoryRead16(base + 0xE0), 0xFFFF) << "the page register takes 32 bits only";
    EXPECT_EQ(nVOKAL100_memoryRead32(base + 0xF0000), 0xFFFFFFFFu) << "no block there";
    nVOKAL100_memoryWrite32(base + 0xE2, 1); // misaligned inside a block
    EXPECT_EQ(m->deviceErrorCount(), 3u);
    EXPECT_EQ(m->bridge().pageRegister(), 0u);
    EXPECT_TRUE(m->bar0().find("cpw-page")->trace().empty()) << "errors do not reach the block";
    EXPECT_THROW(m->bar0().add<Register64>(0xE0), std::logic_error) << "overlap";

    // A dead bridge reads all ones, and that is no device error.
    m->setDeadBridge(true);
    EXPECT_EQ(nVOKAL100_memoryRead32(base + 0xC0), 0xFFFFFFFFu);
    EXPECT_EQ(m->deviceErrorCount(), 3u);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
}

TEST_F(SimPci, TheConfigPortWindowShowsTheSelectedPageOnlyWhileEnabled) {
    auto m = bus.plug("solstra", {9, std::nullopt});
    void* bar =
        nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(m->pciHandle(), 0), sim::Module::kBar0Size, 0);
    auto* base = static_cast<char*>(bar);
    const uint32_t cpwbsr = nVOKAL100_memoryRead32(base + 0xC0);
    EXPECT_EQ(cpwbsr, 0x400Cu) << "window at 0x4000, 4 KiB, disabled";
    nVOKAL100_memoryWrite32(base + 0xC0, cpwbsr | 0x80);
    nVOKAL100_memoryWrite32(base + 0xE0, 0x10000);
    EXPECT_EQ(nVOKAL100_memoryRead32(base + 0x4000), 0x4D500042u) << "header of the first vendor capability";
    nVOKAL100_memoryWrite32(base + 0xE0, 0x20000);
    // The geographic register: slot 9 at bit 3 among filler bits.
    const uint32_t reg = nVOKAL100_memoryRead32(base + 0x4040);
    EXPECT_EQ((reg >> 3) & 0x1F, 9u);
    EXPECT_EQ(nVOKAL100_memoryRead8(base + 0x4040), static_cast<uint8_t>(reg));
    nVOKAL100_memoryWrite32(base + 0xC0, cpwbsr);
    EXPECT_EQ(m->deviceErrorCount(), 0u);
    nVOKAL100_memoryRead32(base + 0x4000);
    EXPECT_EQ(m->deviceErrorCount(), 1u) << "read of a disabled window";
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
}

TEST_F(SimPci, DeathOnAccessThroughAnAddressThatIsNotMapped) {
    auto m = bus.plug("solstra");
    void* bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(m->pciHandle(), 0), 0x100, 0);
    EXPECT_DEATH(nVOKAL100_memoryRead32(static_cast<char*>(bar) + 0x100), "not mapped");
    EXPECT_DEATH(nVOKAL100_memoryRead32(static_cast<char*>(bar) + 0xFE), "not mapped") << "straddles the end";
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    EXPECT_DEATH(nVOKAL230_unmapPhysicalFromKernel(bar, 0), "not a mapping");
}

} // namespace
