/* Test control of the virtual relay board: reset it, inject faults, and read
 * back what the program asked of it. Tests link to the board and call these;
 * the panel never does. Where the board poses as several, the questions are
 * about the one this process opened last (the first until it opens one).
 *
 * Tests that run programs control the board from outside them:
 *   VBOARD_FAIL_WRITE=N   the N-th FT_Write call of the process (N >= 1,
 *                         counted again from a reset) answers FT_IO_ERROR and
 *                         changes nothing; the writes around it work.
 *   VBOARD_LIST_HELD_WITHOUT_SERIAL=1   a board another process holds is
 *                         listed as the chip maker's library lists it: flags
 *                         FT_FLAGS_OPENED, type FT_DEVICE_UNKNOWN, ID 0, empty
 *                         serial number and description.
 *   VBOARD_FT232H=C3,D4   the boards of VBOARD_SERIALS with these serial
 *                         numbers are listed as FT232H chips (type
 *                         FT_DEVICE_232H, ID 0x04036014, description
 *                         "Virtual FT232H"), which carry no relay board;
 *                         opened, they work as the others do.
 *   VBOARD_ACTIVE_LOW=A1  the boards with these serial numbers are active-low:
 *                         a relay pulls in while its line is low. The line on
 *                         stderr and vboard_relays() tell the relays pulled in.
 *   VBOARD_WRITE_LOG=FILE every byte that reaches the relays, in any process,
 *                         is added to FILE as a line "SERIAL 0xNN": what the
 *                         wire carried, for tests of programs run apart.
 *   the file "unplugged" in the boards' folder (VBOARD_DIR): the boards whose
 *                         serial numbers it holds, one a line, are unplugged.
 *                         They are not listed nor counted by FT_Open's index,
 *                         FT_Open and FT_OpenEx answer FT_DEVICE_NOT_FOUND,
 *                         and a handle open on one is dead: every call on it,
 *                         FT_Close too, answers FT_IO_ERROR, and FT_Close lets
 *                         it go. The file is read at every call: taking a
 *                         serial number out plugs the board back in, with
 *                         the lines it had, to be opened afresh. */
#ifndef VIRTUAL_BOARD_CONTROL_H
#define VIRTUAL_BOARD_CONTROL_H

/* A C header as well as a C++ one, so the C names of the headers. */
#include <stddef.h> /* NOLINT(modernize-deprecated-headers) */
#include <stdint.h> /* NOLINT(modernize-deprecated-headers) */

#if defined(_WIN32)
#define VBOARD_API __declspec(dllexport)
#else
#define VBOARD_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Closes this process's devices and lets go of their holds, sets every
 * board's lines back to 0 (a board another process holds keeps them, with a
 * line on stderr) and forgets faults and records. The environment
 * (VBOARD_SERIALS, VBOARD_FT232H, VBOARD_ACTIVE_LOW, VBOARD_FAIL,
 * VBOARD_SHORT_WRITE, VBOARD_FAIL_WRITE) is read again. */
VBOARD_API void vboard_reset(void);

/* From now on the named driver function ("FT_Open", ..., "FT_OpenEx")
 * answers with this status; 0 takes the fault away. Returns 0, or -1 for an
 * unknown name. */
VBOARD_API int vboard_fail(const char* function, uint32_t status);

/* From now on FT_Write takes nothing and reports this many bytes fewer than
 * asked (at least one fewer); 0 takes the fault away. */
VBOARD_API void vboard_short_write(uint32_t missing);

/* Non-zero: writes no longer print their line on stderr, for tests that
 * write thousands of bytes; 0: they print again. A reset keeps this. */
VBOARD_API void vboard_quiet(int quiet);

/* The relays as the board holds them, in its file when this process does not
 * have it open: bit n-1 set when relay n is pulled in (its line high, or low
 * on an active-low board). */
VBOARD_API uint8_t vboard_relays(void);

/* Whether the device is open, and its baud rate, bit mask and bit mode. */
VBOARD_API int vboard_is_open(void);
VBOARD_API uint32_t vboard_baud_rate(void);
VBOARD_API uint8_t vboard_bit_mask(void);
VBOARD_API uint8_t vboard_bit_mode(void);

/* Every byte that reached the relays, oldest first. */
VBOARD_API size_t vboard_written_count(void);
VBOARD_API uint8_t vboard_written_byte(size_t index);

/* Every call of the driver functions, oldest first: its name and its status. */
VBOARD_API size_t vboard_call_count(void);
VBOARD_API const char* vboard_call_name(size_t index);
VBOARD_API uint32_t vboard_call_status(size_t index);

#ifdef __cplusplus
}
#endif

#endif
