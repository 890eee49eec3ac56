#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"

CartridgeImageRecord CartridgeImage;
const char* CartridgeLoadFailure = "";

namespace {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kTrainerSize = 512;
constexpr uint32_t kPrgBankSize = 16384;
constexpr uint32_t kChrBankSize = 8192;

char MapperFailure[64];

bool fail(const char* why) {
    CartridgeLoadFailure = why;
    return false;
}

// Where the image comes from: an open file, or bytes in memory.
struct Source {
    FILE* file;
    const uint8_t* bytes;
    size_t size, at;
    ~Source() {
        if (file) std::fclose(file);
    }
    bool read(void* to, size_t n) {
        if (file) return std::fread(to, 1, n, file) == n;
        if (n > size - at) return false;
        std::memcpy(to, bytes + at, n);
        at += n;
        return true;
    }
    bool skip(size_t n) {
        if (file) return std::fseek(file, long(n), SEEK_CUR) == 0;
        if (n > size - at) return false;
        at += n;
        return true;
    }
};

// Reads exactly size bytes into a new block (null for size 0).
bool read_block(Source& from, uint32_t size, uint8_t** out) {
    *out = nullptr;
    if (size == 0) return true;
    *out = static_cast<uint8_t*>(std::malloc(size));
    if (!*out) return false;
    if (from.read(*out, size)) return true;
    std::free(*out);
    *out = nullptr;
    return false;
}

void copy_prg_bank(uint32_t bank, uint32_t window_offset) { map_prg_bank(bank, window_offset); }

// Without CHR ROM the pattern area stays as it is: it serves as CHR RAM.
void copy_first_chr() { map_first_chr(); }

bool load_from(Source& from);

}  // namespace

bool load_cartridge() {
    CartridgeLoadFailure = "";
    const char* name = MachineState.CartridgeFileName;
    if (name[0] == '\0') return fail("no cartridge file was chosen");
    // A FIFO or a device could block for ever, a directory reads as nothing:
    // only regular files are opened.
    struct stat info;
    if (stat(name, &info) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    Source file{std::fopen(name, "rb"), nullptr, 0, 0};
    if (!file.file) return fail(std::strerror(errno));
    return load_from(file);
}

bool load_cartridge_image(const uint8_t* bytes, size_t size) {
    CartridgeLoadFailure = "";
    if (!bytes) size = 0;
    Source memory{nullptr, bytes, size, 0};
    return load_from(memory);
}

namespace {

bool load_from(Source& from) {
    uint8_t header[kHeaderSize];
    if (!from.read(header, kHeaderSize)) return fail("file is shorter than an iNES header");
    // Every iNES image starts with "NES" and $1A; anything else would be read
    // as garbage banks, so it is refused.
    if (std::memcmp(header, "NES\x1A", 4) != 0) return fail("file is not an iNES image");
    uint32_t prg_banks = header[4];
    uint32_t chr_banks = header[5];
    uint8_t flags = header[6];
    if (prg_banks == 0) return fail("cartridge has no PRG ROM");
    if ((flags & 0x04) && !from.skip(kTrainerSize))
        return fail("file is shorter than its header says");

    uint8_t* prg = nullptr;
    uint8_t* chr = nullptr;
    if (!read_block(from, prg_banks * kPrgBankSize, &prg) ||
        !read_block(from, chr_banks * kChrBankSize, &chr)) {
        std::free(prg);
        return fail("file is shorter than its header says");
    }

    // The whole image is in: from here on the new cartridge replaces the old.
    std::free(CartridgeImage.PrgImage);
    std::free(CartridgeImage.ChrImage);
    CartridgeImage.PrgImage = prg;
    CartridgeImage.ChrImage = chr;
    CartridgeImage.PrgBanks = prg_banks;
    CartridgeImage.ChrBanks = chr_banks;
    // The high nibble of the mapper number is in byte 7, unless bytes 12-15
    // show the junk that old images carry there.
    const bool junk = header[12] | header[13] | header[14] | header[15];
    CartridgeImage.MapperNumber = uint8_t((flags >> 4) | (junk ? 0 : header[7] & 0xF0));
    CartridgeImage.VerticalMirroring = flags & 1;
    CartridgeImage.Battery = (flags & 0x02) ? 1 : 0;
    MachineState.CyclesPerLine = 113;
    forget_mapped_banks();

    uint32_t last = prg_banks - 1;
    switch (CartridgeImage.MapperNumber) {
        case 0:
        case 3:
            copy_prg_bank(0, 0);
            copy_prg_bank(prg_banks == 1 ? 0 : 1, 0x4000);
            copy_first_chr();
            break;
        case 1:
            copy_prg_bank(0, 0);
            copy_prg_bank(last, 0x4000);
            copy_first_chr();
            Mmc1LargePrg = prg_banks == 32 ? 1 : 0;
            Mmc1Shift = 0;
            Mmc1Count = 0;
            MachineState.CyclesPerLine = 150;
            break;
        case 2:
            copy_prg_bank(0, 0);
            copy_prg_bank(last, 0x4000);
            break;
        case 4:
            copy_prg_bank(0, 0);
            copy_prg_bank(last, 0x4000);
            copy_first_chr();
            Mmc3FixedLayout = 1;
            MachineState.CyclesPerLine = 150;
            break;
        default:
            std::snprintf(MapperFailure, sizeof MapperFailure, "mapper %d is not supported",
                          CartridgeImage.MapperNumber);
            return fail(MapperFailure);
    }
    return true;
}

}  // namespace

void free_cartridge() {
    std::free(CartridgeImage.PrgImage);
    CartridgeImage.PrgImage = nullptr;
    std::free(CartridgeImage.ChrImage);
    CartridgeImage.ChrImage = nullptr;
}
