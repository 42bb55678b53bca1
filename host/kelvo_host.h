/* The host's C API: what a client program calls to drive the driver like a
 * kernel and its user processes would.
 *
 * The host plays the kernel (it loads the driver through its entry, adds and
 * removes devices through the driver's callbacks) and user mode (open, I/O
 * control and close on a device interface, shaped like the POSIX calls a
 * user-mode driver library makes).
 *
 * Results are the kernel layer's 32-bit codes: 0 (or a non-negative value
 * where noted) for success, a negative code otherwise. Refusals and failures
 * of the host itself use these:
 *   KELVO_E_INVALID    an unknown handle, device, interface or property, or a bad argument;
 *   KELVO_E_STATE      the host is not started (or already is), or the handle's device was removed;
 *   KELVO_E_FULL       every slot of the simulated chassis holds a module (31 of them);
 *   KELVO_E_NO_MEMORY  the host could not allocate what it needed for the call;
 *   KELVO_E_FAILURE    anything else that went wrong inside the host itself.
 * No call lets an exception out: a failure inside the host itself answers
 * KELVO_E_NO_MEMORY or KELVO_E_FAILURE.
 *
 * Every function may be called from any thread, at the same time as any
 * other: a handle stays valid until its kelvo_close returns, whatever
 * requests, removals or a stop run meanwhile. */
#ifndef KELVO_HOST_H
#define KELVO_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KELVO_HOST_NOEXCEPT noexcept
extern "C" {
#else
#define KELVO_HOST_NOEXCEPT
#endif

#define KELVO_E_FAILURE (-51000)
#define KELVO_E_INVALID (-51009)
#define KELVO_E_FULL (-51106)
#define KELVO_E_STATE (-51300)
#define KELVO_E_NO_MEMORY (-51352)

/* The two platform I/O-control codes. */
#define KELVO_IOCTL_CREATE_NOTIFIER 0x4010FF00u /* argument: address of a struct kelvo_notifier_payload */
#define KELVO_IOCTL_DESTROY_NOTIFIER 0xFF01u    /* argument: the notifier kind itself (low 32 bits) */

/* The request header of every other I/O-control code (32 bytes). The buffers
 * are the caller's memory; result receives the request's non-zero result word. */
struct kelvo_ioctl_header {
    uint64_t inputAddress;
    uint64_t outputAddress;
    uint32_t inputSize;
    uint32_t outputSize;
    uint32_t result;
    uint32_t reserved;
};

/* The payload of KELVO_IOCTL_CREATE_NOTIFIER (16 bytes). */
struct kelvo_notifier_payload {
    uint64_t cookie;
    uint32_t destination; /* where the messages go: see kelvo_destination */
    uint32_t kind;        /* the notifier kind */
};

/* One notifier message as delivered to a destination. */
#define KELVO_MESSAGE_NOTIFY 1u
#define KELVO_MESSAGE_CLOSE 2u
struct kelvo_message {
    uint32_t type;   /* KELVO_MESSAGE_NOTIFY or KELVO_MESSAGE_CLOSE */
    uint32_t size;   /* payload bytes that carry data (0 in a closing message) */
    uint64_t cookie; /* the cookie given when the notifier was opened */
    uint8_t payload[36];
};

/* ---- the host ---------------------------------------------------------- */

/* Starts the kernel-layer stand-in and loads the driver (its entry registers
 * it). 0, the driver entry's negative code, or KELVO_E_STATE when started. */
int kelvo_host_start(void) KELVO_HOST_NOEXCEPT;
/* Closes every open handle (as a device's removal does: later calls on them
 * answer KELVO_E_STATE, and a kelvo_close made while the stop runs releases
 * the handle once its session is closed), removes every device, unloads the
 * driver and stops the stand-in. Nothing when not started. */
void kelvo_host_stop(void) KELVO_HOST_NOEXCEPT;

/* The factor by which the stand-in's clock (every sleep, timed wait and
 * poll deadline of the driver and every latency of the simulated modules)
 * runs faster than real time; 1 is real time. 0, or KELVO_E_INVALID for a
 * factor that is not a finite number above 0. */
int kelvo_host_set_clock_scale(double factor) KELVO_HOST_NOEXCEPT;

/* Adds a device of the host's test device class: the device index (>= 0) or
 * the add-device callback's negative code. */
int kelvo_host_add_test_device(void) KELVO_HOST_NOEXCEPT;
/* Plugs a simulated module of the named board ("solstra", "duskmere-a",
 * "duskmere-b") into the bus and adds it through the driver's add-device
 * callback: the device index (>= 0), the callback's negative code (the module
 * is unplugged again), KELVO_E_INVALID for an unknown board, or KELVO_E_FULL
 * when the chassis has no free slot (a removed module's slot is free again). */
int kelvo_host_add_module(const char* board) KELVO_HOST_NOEXCEPT;
/* As kelvo_host_add_module, with the module's serial flash loaded from a file
 * of exactly 1 MiB (as kelvo_host_save_flash writes it): KELVO_E_INVALID for an
 * unknown board or a file that cannot be read or has another size. */
int kelvo_host_add_module_with_flash(const char* board, const char* flashPath) KELVO_HOST_NOEXCEPT;
/* Writes the serial flash of a module added by kelvo_host_add_module to a
 * file (1 MiB): 0, KELVO_E_INVALID for an unknown device or a failed write,
 * or KELVO_E_STATE when the host is not started. */
int kelvo_host_save_flash(unsigned deviceIndex, const char* flashPath) KELVO_HOST_NOEXCEPT;
/* Removes a device added by kelvo_host_add_module (as kelvo_host_remove_device
 * does) and unplugs its module: 0, KELVO_E_INVALID (also while the device is
 * being removed), or KELVO_E_STATE when the host is not started. */
int kelvo_host_remove_module(unsigned deviceIndex) KELVO_HOST_NOEXCEPT;
/* Removes a device: the driver's remove callback runs, the device's open
 * handles are closed (later calls on them answer KELVO_E_STATE; kelvo_close
 * releases them), then the device is destroyed. Returns once all of that is
 * done: 0, KELVO_E_INVALID, or KELVO_E_STATE when the host is not started. */
int kelvo_host_remove_device(unsigned deviceIndex) KELVO_HOST_NOEXCEPT;

/* ---- user mode --------------------------------------------------------- */

/* Opens the interface interfaceName of device deviceIndex: a handle (>= 0), or
 * the negative kernel-layer code of the open callback. */
int kelvo_open(const char* interfaceName, unsigned deviceIndex) KELVO_HOST_NOEXCEPT;
/* The kernel-layer code of the I/O-control callback. For ordinary codes
 * argument points at a struct kelvo_ioctl_header; for
 * KELVO_IOCTL_CREATE_NOTIFIER at a struct kelvo_notifier_payload; for
 * KELVO_IOCTL_DESTROY_NOTIFIER its low 32 bits are the notifier kind. The
 * driver reaches the caller's memory as a kernel reaches a process's: the
 * header, the records and the buffers they point at are ordinary memory of
 * the caller. A range that is not there, wraps, lies in a page without the
 * access the copy needs (read-only for what the driver writes) or in the
 * kernel layer's memory is refused by the driver's copies with the kernel
 * layer's bad-address code, never touched; a bad header returns that code. */
int kelvo_ioctl(int handle, unsigned int code, void* argument) KELVO_HOST_NOEXCEPT;
/* Closes a handle after the calls in progress on it have returned; a handle
 * whose device was removed (or that a stop is closing) is released once the
 * removal has closed its session. 0, KELVO_E_INVALID for an unknown handle or
 * one already closed (or being closed), KELVO_E_STATE when the host is not
 * started (a stop released every handle). */
int kelvo_close(int handle) KELVO_HOST_NOEXCEPT;

/* A message destination reserved for a handle, to be put into the notifier
 * payload (another number works as well: messages go where the payload says). */
unsigned kelvo_destination(int handle) KELVO_HOST_NOEXCEPT;
/* Takes the oldest message delivered to destination: 1 when one was taken, 0 when none waits. */
int kelvo_read_message(unsigned destination, struct kelvo_message* message) KELVO_HOST_NOEXCEPT;

/* ---- listing ----------------------------------------------------------- */

/* Writes up to capacity device indexes in the order the devices were added;
 * returns how many devices there are. */
int kelvo_list_devices(unsigned* indexes, unsigned capacity) KELVO_HOST_NOEXCEPT;
/* The name of the interface at position (0, 1, ...) of a device, copied
 * NUL-terminated (truncated to size - 1): the name's length, or KELVO_E_INVALID
 * past the last. */
int kelvo_interface_name(unsigned deviceIndex, unsigned position, char* name,
                         size_t size) KELVO_HOST_NOEXCEPT;

/* Property kinds. */
#define KELVO_PROPERTY_DEVICE 0u
#define KELVO_PROPERTY_BUS 1u
#define KELVO_PROPERTY_INTERFACE 2u

/* The name (and kind, when kind is not null) of the property at position of a
 * device (interfaceName null: its own and its bus properties) or of one of its
 * interfaces: the name's length, or KELVO_E_INVALID past the last. */
int kelvo_property_name(unsigned deviceIndex, const char* interfaceName, unsigned position, char* name,
                        size_t size, unsigned* kind) KELVO_HOST_NOEXCEPT;
/* Copies up to size bytes of a property's value (strings with their NUL):
 * the value's full length, or KELVO_E_INVALID when there is no such property. */
int kelvo_property_read(unsigned deviceIndex, const char* interfaceName, const char* propertyName,
                        void* value, size_t size) KELVO_HOST_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
