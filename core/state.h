// The machine's whole state as bytes: one list of every variable of the
// machine (saved, or left out and why) that drives saving, loading, the
// state's hash and the tests' reset; the format with its checksums; and the
// atomic file write that states and battery saves share.
#pragma once
#include <cstddef>
#include <cstdint>

// CRC-32 (the zlib polynomial, reflected, 0xEDB88320). Pass the previous
// result as crc to continue over more bytes; start with 0.
uint32_t crc32(const uint8_t* bytes, size_t size, uint32_t crc = 0);

// The layout of a state:
//   "QELSTATE"                 8 bytes
//   format version             u32, StateFormatVersion
//   cartridge checksum         u32, CRC-32 of the PRG image then the CHR image
//   layout checksum            u32, state_layout_checksum()
//   every saved field of StateFields in its order, each element by its own
//     size, little-endian
//   CRC-32 of all the above    u32
// A state whose layout checksum is not this build's is refused: any change to
// the list (a field added, dropped, moved or resized) refuses older states.
constexpr char StateMagic[8] = {'Q', 'E', 'L', 'S', 'T', 'A', 'T', 'E'};
constexpr uint32_t StateFormatVersion = 3;
constexpr size_t StateHeaderSize = 8 + 4 + 4 + 4;

// What a state does with a field: saves it as any value of its type, saves it
// within Low to High (Also: one more value, a marker), saves only the bits of
// Bits, or leaves it out (LeftOut says why).
enum class StateCheck : uint8_t { Any, Range, Bits, LeftOut };

// One row of the list: a field of a machine variable (or a whole variable, or
// a memory block), Count elements of Size bytes each.
struct StateField {
    const char* Name;    // as refusals name it: "PpuRegisters.VramAddress", "CpuRam"
    const char* Symbol;  // the machine library's variable it lies in
    // Its first element now (memory blocks move with each power-up); null for
    // a left-out variable out of this file's reach.
    uint8_t* (*Where)();
    uint32_t Size;   // bytes of one element in the state: 1, 2, 4 or 8
    uint32_t Count;  // elements
    bool Signed;
    StateCheck Check;
    int64_t Low, High, Also;
    uint32_t Bits;
    // A pointer into PrgWindow, saved as its offset (Also: null).
    bool PrgOffset;
    const char* LeftOut;  // why it is not saved
    // Left out: zeroed by the tests' reset (else the record's own value at
    // program start is the one its module keeps).
    bool ZeroOnReset;
    void (*Forget)();  // left out: what the tests' reset calls, if anything
};
extern const StateField StateFields[];
extern const uint32_t StateFieldCount;

// A machine record whose fields have rows of their own: the rows and the
// record's padding must cover it byte for byte.
struct StateRecord {
    const char* Symbol;
    uint8_t* (*Where)();
    uint32_t Size;
    // Fills mask (Size bytes) with 0xFF but 0 at each padding byte; false
    // where the compiler cannot tell padding.
    bool (*Padding)(uint8_t* mask);
};
extern const StateRecord StateRecords[];
extern const uint32_t StateRecordCount;

// Bytes of a whole state.
size_t state_size();
// CRC-32 of a list's layout: each saved row's name, size and count, in order
// (of StateFields when fields is null).
uint32_t state_layout_checksum(const StateField* fields = nullptr, uint32_t count = 0);
// CRC-32 of the running cartridge's PRG and CHR images.
uint32_t cartridge_checksum();
// Drops the cached cartridge checksum (it is found again when next asked).
void forget_cartridge_checksum();

// CRC-32 of every saved field as a state holds it: two machines with the same
// hash run on alike.
uint32_t state_hash();
// The name of what lies at byte offset of a state: "PpuRegisters.VramAddress",
// "CpuRam[0x0123]", "SoundClock.Length[2]", "the header", "the checksum" or
// "past the end".
void state_field_name_at(size_t offset, char* name, size_t size);

// Writes the running machine's state into buffer (state_size() bytes). Returns
// null, or why not (no cartridge runs).
const char* save_state(uint8_t* buffer, size_t size);
// Checks a whole state against the running cartridge and this build, then
// loads it. Returns null, or why it was refused; a refused state changes
// nothing at all.
const char* load_state(const uint8_t* buffer, size_t size);

// Writes the bytes to path through a temporary file beside it, renamed into
// place: the file is either the old one or the whole new one. Returns null,
// or why not ("cannot write PATH: WHY").
const char* write_file_atomically(const char* path, const uint8_t* bytes, size_t size);
// Reads a file of at most max_size bytes into buffer; *size gets its length.
// Returns null, or why not ("cannot read PATH: WHY", or too large).
const char* read_small_file(const char* path, uint8_t* buffer, size_t max_size, size_t* size);
