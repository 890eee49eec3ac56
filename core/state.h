// The machine's whole state as bytes: one table of every part, a format with
// a checksum, and the atomic file write that states and battery saves share.
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
//   number of sections         u32
//   each section: tag (4 bytes), size (u32), the bytes
//   CRC-32 of all the above    u32
// Numbers are little-endian; the records inside sections are this build's own.
constexpr char StateMagic[8] = {'Q', 'E', 'L', 'S', 'T', 'A', 'T', 'E'};
constexpr uint32_t StateFormatVersion = 2;

// One part of the machine's state: its tag in the file, what it is, where it
// lies now (found when needed: the memory blocks move with each power-up) and
// its size in bytes.
struct StatePart {
    char Tag[4];
    const char* What;
    uint8_t* (*Where)();
    uint32_t Size;
};
extern const StatePart StateParts[];
extern const uint32_t StatePartCount;

// A field of a part's record and the values the machine can give it: Low to
// High, or (Bits nonzero) only those bits set; Also is one more value allowed
// (a marker). A state with any field outside is refused with the field's Name.
struct StateField {
    uint32_t Part;  // index into StateParts
    const char* Name;
    uint32_t Offset;  // within the part's bytes
    uint32_t Size;    // 1, 2 or 4 bytes, little-endian
    bool Signed;
    int64_t Low, High;
    uint32_t Bits;
    int64_t Also;
};
extern const StateField StateFields[];
extern const uint32_t StateFieldCount;

// Bytes of a whole state.
size_t state_size();
// CRC-32 of the running cartridge's PRG and CHR images.
uint32_t cartridge_checksum();

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
