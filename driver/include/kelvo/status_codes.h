/* The catalogue of the driver's status codes: every code the driver answers
 * in a status word, with its name and what it means. Plain C (C99 or later,
 * or C++), constants only. The driver, the user-mode header (kelvo/ioctl.h
 * includes this file), the command-line tool and the tests all take their
 * names from here; no other file spells a code's value
 * (tests/status/check_status_codes.py, test status_codes, holds every source
 * folder to that).
 *
 * A status word is 0 for success, positive for a warning and negative for an
 * error. Three families travel in it:
 *   - platform codes, -52000 to -52031;
 *   - registration codes (named registrations, storage maps, device windows,
 *     the flash), +240000 and -240000 to -240046;
 *   - the driver's own codes, 0xBFFAxxxx: negative 32-bit values, written
 *     here as (int32_t)0xBFFAxxxxu; as a 64-bit code they are sign-extended.
 *
 * KELVO_STATUS_TABLE(X) calls X(NAME, value, "meaning") once per code, each
 * value once. enum kelvo_status_code names every row KELVO_STATUS_<NAME>.
 */
#ifndef KELVO_STATUS_CODES_H
#define KELVO_STATUS_CODES_H

#include <stdint.h>

/* clang-format off */
#define KELVO_STATUS_TABLE(X) \
    X(SUCCESS, 0, "success") \
    /* ---- Platform codes ---- */ \
    X(OUT_OF_MEMORY, -52000, "memory or a kernel object (lock, event, DPC, buffer) could not be allocated") \
    X(PAGE_LOCK_FAILED, -52001, "the pages of a user buffer could not be locked") \
    X(NOT_IMPLEMENTED, -52002, "the operation is not offered by this device or component") \
    X(UNSUPPORTED_VALUE, -52003, \
      "a value does not fit, or a device not of this product; a DMA wait ended by its controller's end") \
    X(INVALID_PARAMETER, -52005, "an argument is out of range or names nothing known") \
    X(NOT_ACCESSIBLE, -52006, "the register, field, window, resource or user address is not accessible") \
    X(TIMED_OUT, -52007, "a wait, semaphore or poll did not complete within its time-out") \
    X(UNEXPECTED_KERNEL_RESULT, -52008, "the kernel layer failed where no specific code applies") \
    X(SESSION_CLOSING, -52009, "asynchronous I/O started on a session that is being closed") \
    X(SETUP_TARGET_REACHED, -52010, "the request needs a setup level above the device's setup target") \
    X(KERNEL_FAILURE, -52013, "the kernel layer reported an unspecified failure") \
    X(NO_DMA_CONFIGURATION, -52017, \
      "a scatter-gather link was added to a chain that has no DMA configuration") \
    X(UNSUPPORTED_FORMAT, -52018, \
      "a firmware capability entry uses an address mode the accessor does not support") \
    X(BUFFER_TOO_SMALL, -52019, "an output buffer or a transfer size is too small for the result") \
    X(INVALID_STATE, -52020, "the object is not in a state that allows the operation") \
    X(IO_GATE_CLOSED, -52022, "the device's I/O gate is closed: the request was not admitted") \
    X(CANCELLED, -52023, "the kernel layer cancelled the request") \
    X(ABORTED, -52024, "the kernel layer aborted the request") \
    X(WAIT_INTERRUPTED, -52025, "an interruptible wait was interrupted") \
    X(BUSY, -52031, "the kernel-layer resource is in use") \
    /* ---- Registration codes ---- */ \
    X(CLIENT_VERSION_NEWER, 240000, "warning: the client's version is newer than the registration's") \
    X(CLIENT_VERSION_TOO_OLD, -240000, "the client's version is older than the oldest compatible one") \
    X(BAD_VERSION_TEXT, -240008, "a version text or phase letter is not understood") \
    X(UNKNOWN_STORAGE_OPERATION, -240009, "a flash operation other than get, set, flush or refresh") \
    X(INDEX_OUT_OF_RANGE, -240015, \
      "an index, count, offset or element size outside the field or the window") \
    X(UNVERSIONED_WITH_VERSION, -240022, "the client names a version of a registration that has none") \
    X(VERSION_REQUIRED, -240023, "the registration is versioned and the client named no version (_Ver)") \
    X(NAME_NOT_FOUND, -240024, "no registration of that name") \
    X(WRONG_ELEMENT_SIZE, -240025, "a raw access with an element size other than the field's") \
    X(VERSION_OUT_OF_RANGE, -240026, \
      "a version field above its range (major 255, minor and update 15, phase 3)") \
    X(FLASH_OUT_OF_RANGE, -240029, \
      "a flash address or range beyond the flash, or not the start of a sector") \
    X(FLASH_SIZE_NOT_SECTOR_MULTIPLE, -240030, "the flash size is not a multiple of its sector size") \
    X(NULL_POINTER, -240031, \
      "a null name, buffer or values pointer (a names buffer with nothing registered)") \
    X(FLASH_SIZE_NOT_POWER_OF_TWO, -240032, "the flash size is not a non-zero power of two") \
    X(FLASH_SECTOR_SIZE_NOT_POWER_OF_TWO, -240033, "the flash sector size is not a non-zero power of two") \
    X(UNKNOWN_FIELD, -240035, "the storage map has no field of that id") \
    X(WRONG_FIELD_TYPE, -240039, "a typed or string access to a field of another type") \
    X(NO_CHECKSUM, -240044, "the storage map has no checksum") \
    X(CHECKSUM_FIELD_WRITE, -240045, "the checksum field is written by flush only") \
    X(VERSION_DOES_NOT_FIT, -240046, "the version's build does not fit the packed 32-bit form") \
    /* ---- The driver's codes ---- */ \
    X(FIRMWARE_INCOMPATIBLE, (int32_t)0xBFFA4000u, "the FPGA image is not marked compatible with the board") \
    X(TRIGGER_NOT_ARMED, (int32_t)0xBFFA4019u, \
      "the trigger cannot be overridden: the measure unit is not armed") \
    X(FLASH_BUSY_TIMEOUT, (int32_t)0xBFFA4081u, "the serial flash did not become ready in time") \
    X(STORAGE_MAP_VERSION, (int32_t)0xBFFA4082u, \
      "a storage map's versions do not overlap the supported ones") \
    X(FLASH_WINDOW_SIZE, (int32_t)0xBFFA4086u, "the bridge's SPI window is not 4 KiB") \
    X(FLASH_WRITE_VERIFY, (int32_t)0xBFFA4087u, "a flash sector read back differs from what was written") \
    X(STORAGE_MAP_CHECKSUM, (int32_t)0xBFFA4088u, "a storage map's stored checksum is wrong") \
    X(POWER_BUDGET_EXCEEDED, (int32_t)0xBFFA40A9u, \
      "a staged power increase larger than the remaining budget") \
    X(WAIT_CANCELLED, (int32_t)0xBFFA40E4u, "the wait for transferred bytes was cancelled") \
    X(VALUE_OUT_OF_RANGE, (int32_t)0xBFFA4300u, \
      "a sensor other than 0, or a stored calibration offset that does not fit 16 bits") \
    X(FIRMWARE_BAD_TARGET, (int32_t)0xBFFA4302u, "a firmware download target other than 0 and 1") \
    X(INVALID_CHANNEL, (int32_t)0xBFFA4303u, \
      "a channel or resource mask this module does not have (or an empty one)") \
    X(UNSUPPORTED_PRODUCT, (int32_t)0xBFFA4304u, "the PCI subsystem ID is of no known board generation") \
    X(IO_IDLE_TIMEOUT, (int32_t)0xBFFA4305u, "the device's requests did not finish in time") \
    X(NOT_OFFERED, (int32_t)0xBFFA4308u, "the operation is not offered by this product") \
    X(UNKNOWN_SUBROUTINE, (int32_t)0xBFFA4309u, "the subroutine id is not registered") \
    X(NULL_SUBROUTINE_BUFFER, (int32_t)0xBFFA4311u, "a subroutine buffer address is 0") \
    X(SUBROUTINE_COUNT_MISMATCH, (int32_t)0xBFFA4312u, \
      "the count is not the number of registered subroutines") \
    X(SEQUENCE_ENGINE_RUNNING, (int32_t)0xBFFA4315u, "the sequence engine is already running") \
    X(SEQUENCE_ENGINE_TIMED_OUT, (int32_t)0xBFFA4317u, "the sequence engine did not stop in time") \
    X(RESERVED_BY_OTHER, (int32_t)0xBFFA4319u, "the channel is reserved by another session") \
    X(CHANNEL_NOT_RESERVED, (int32_t)0xBFFA431Au, "the channel is not reserved by this session") \
    X(TOO_MANY_COMMANDS, (int32_t)0xBFFA4326u, "more commands than the command FIFO holds (1024)") \
    X(TEMPERATURE_READING_INVALID, (int32_t)0xBFFA4329u, \
      "the temperature reading was still out of bounds at the deadline") \
    X(INVALID_SUBROUTINE_PACKAGE, (int32_t)0xBFFA432Au, \
      "the subroutine package given at setup is incomplete or too large") \
    X(ISOLATION_LINK_TIMEOUT, (int32_t)0xBFFA4678u, "the isolation link did not reach its state within 1 s") \
    X(EXTERNAL_PLL_NOT_LOCKED, (int32_t)0xBFFA467Au, "the external PLL is not locked") \
    X(NON_ISOLATED_SIGNATURE, (int32_t)0xBFFA467Cu, "the non-isolated FPGA's board signature is wrong") \
    X(ISOLATED_SIGNATURE, (int32_t)0xBFFA467Du, "the isolated FPGA's board signature is wrong") \
    X(ISOLATION_LINK_NOT_READY, (int32_t)0xBFFA4680u, \
      "the isolation link was not ready for a new access in time") \
    X(ISOLATION_LINK_NO_RESPONSE, (int32_t)0xBFFA4681u, \
      "no read response arrived over the isolation link in time") \
    X(MEASURE_UNIT_TIMED_OUT, (int32_t)0xBFFA4682u, \
      "the measure unit did not reach the awaited state in time") \
    X(DC_BUS_STARTUP_TIMEOUT, (int32_t)0xBFFA4683u, \
      "the isolated DC bus did not report its start-up within 1 s") \
    X(REGISTER_ACCESS_FAILED, (int32_t)0xBFFA468Bu, \
      "the isolation link's register-access status reports an error") \
    X(STARTUP_TIMED_OUT, (int32_t)0xBFFA4690u, "the board start-up sequence still ran 5 s after its start") \
    X(CHARGE_BALANCE_TIMED_OUT, (int32_t)0xBFFA4694u, \
      "the charge-balance calculation did not finish in time") \
    X(CHARGE_BALANCE_FAILED, (int32_t)0xBFFA4695u, "the charge-balance calculation reported failure") \
    X(FIRMWARE_WRONG_TARGET, (int32_t)0xBFFA806Au, \
      "the FPGA image is for another target than the downloader's") \
    X(FIRMWARE_WRONG_SIZE, (int32_t)0xBFFA806Bu, "the FPGA image's size is not the board's FPGA image size") \
    X(REPEAT_COUNT_ZERO, (int32_t)0xBFFA806Cu, "a DMA transfer added with a repeat count of 0") \
    X(STREAM_CIRCUIT_STARTED, (int32_t)0xBFFA806Du, "the stream circuit is already started") \
    X(STREAM_RUNNING, (int32_t)0xBFFA806Eu, "the DMA stream is running") \
    X(UNSUPPORTED_OPERATION, (int32_t)0xBFFA806Fu, \
      "a transfer direction that does not fit the channel, or a timing-chip port operation it lacks") \
    X(BRIDGE_SIGNATURE, (int32_t)0xBFFA8078u, "the bridge's signature register is wrong") \
    X(CHANNEL_START_TIMED_OUT, (int32_t)0xBFFA8079u, "the DMA channel did not report its start in time") \
    X(IO_PORT_NOT_READY, (int32_t)0xBFFA807Au, \
      "the bridge's IO port did not reach the awaited state in time") \
    X(STREAM_STOP_TIMED_OUT, (int32_t)0xBFFA807Cu, "the DMA channel or stream circuit did not stop in time") \
    X(PORT_COMPLETION_TIMEOUT, (int32_t)0xBFFA807Du, \
      "a timing-chip port transaction did not complete in time") \
    X(FPGA_LOAD_TIMEOUT, (int32_t)0xBFFA807Fu, "the bridge's FPGA-loading status bit was not seen in time") \
    X(BOARD_REVISION_TOO_OLD, (int32_t)0xBFFA902Cu, "the board revision is 0") \
    X(BOARD_REVISION_TOO_NEW, (int32_t)0xBFFA902Du, "the board revision is above its generation's maximum") \
    X(SESSION_INVALIDATED, (int32_t)0xBFFA9179u, \
      "the session was invalidated by a reset: close it and open a new one")
/* clang-format on */

#define KELVO_STATUS_ENUM_ROW_(name, value, meaning) KELVO_STATUS_##name = (value),
enum kelvo_status_code { KELVO_STATUS_TABLE(KELVO_STATUS_ENUM_ROW_) };
#undef KELVO_STATUS_ENUM_ROW_

/* The name this code had before the catalogue, kept for clients. */
#define KELVO_STATUS_NO_REGISTRATIONS KELVO_STATUS_NULL_POINTER

/* Whether a status word is one of the driver's own codes (0xBFFAxxxx). */
#define KELVO_STATUS_IS_DRIVER_CODE(word) ((0xFFFF0000u & (uint32_t)(word)) == 0xBFFA0000u)

#endif
