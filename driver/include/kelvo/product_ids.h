/* PCI identities of the product family: the one place that defines them, for
 * the driver, the simulated module and the tests. Plain C. */
#ifndef KELVO_PRODUCT_IDS_H
#define KELVO_PRODUCT_IDS_H

#define KELVO_PCI_VENDOR_ID 0xC5E1u
#define KELVO_PCI_DEVICE_ID 0x7A31u
#define KELVO_PCI_SUBSYSTEM_VENDOR_ID KELVO_PCI_VENDOR_ID

/* Subsystem IDs, one per model of the family, in the order of the product
 * capabilities table. */
#define KELVO_SUBSYSTEM_ID_Q101 0x7B01u
#define KELVO_SUBSYSTEM_ID_Q102 0x7B02u
#define KELVO_SUBSYSTEM_ID_Q103 0x7B03u
#define KELVO_SUBSYSTEM_ID_Q104 0x7B04u
#define KELVO_SUBSYSTEM_ID_Q105 0x7B05u
#define KELVO_SUBSYSTEM_ID_Q106 0x7B06u
#define KELVO_SUBSYSTEM_ID_Q106_10PA 0x7B07u
#define KELVO_SUBSYSTEM_ID_Q107 0x7B08u
#define KELVO_SUBSYSTEM_ID_Q107_10PA 0x7B09u
#define KELVO_SUBSYSTEM_ID_Q108 0x7B0Au
#define KELVO_SUBSYSTEM_ID_Q108_500KHZ 0x7B0Bu
#define KELVO_SUBSYSTEM_ID_COUNT 11

/* The three accepted products: the Solstra generation (Q101) and the two of
 * the Duskmere generation (Q104, Q105). */
#define KELVO_SUBSYSTEM_ID_SOLSTRA KELVO_SUBSYSTEM_ID_Q101
#define KELVO_SUBSYSTEM_ID_DUSKMERE_A KELVO_SUBSYSTEM_ID_Q104
#define KELVO_SUBSYSTEM_ID_DUSKMERE_B KELVO_SUBSYSTEM_ID_Q105

/* What the bridge core's signature register (BAR 0 offset 0) reads. */
#define KELVO_BRIDGE_SIGNATURE 0xB71C0A51u

/* The board signature of the Solstra generation: the reset value of the
 * signature register of every Solstra board map's standard registers (the
 * description solstra_standard_regs.toml carries the same value). */
#define KELVO_SOLSTRA_BOARD_SIGNATURE 0x50157A01u

/* The board signature of the Duskmere generation, likewise (duskmere_standard_regs.toml). */
#define KELVO_DUSKMERE_BOARD_SIGNATURE 0x44534B4Du

/* The identity word: vendor, device, subsystem vendor and subsystem ID as four
 * consecutive 16-bit fields read as one 64-bit word (vendor in the low bits). */
#define KELVO_PCI_IDENTITY(vendor, device, subsystemVendor, subsystem)                                       \
    ((unsigned long long)(vendor) | ((unsigned long long)(device) << 16) |                                   \
     ((unsigned long long)(subsystemVendor) << 32) | ((unsigned long long)(subsystem) << 48))

#define KELVO_PCI_IDENTITY_OF(subsystem)                                                                     \
    KELVO_PCI_IDENTITY(KELVO_PCI_VENDOR_ID, KELVO_PCI_DEVICE_ID, KELVO_PCI_SUBSYSTEM_VENDOR_ID, (subsystem))

#endif
