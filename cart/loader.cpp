#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cart/archive.h"
#include "cart/cartridge.h"
#include "cart/mapper_table.h"
#include "core/machine.h"
#include "core/state.h"

CartridgeImageRecord CartridgeImage;
const char* CartridgeLoadFailure = "";
const char* CartridgeLoadNews = "";
char CartridgeInnerName[4096];

namespace {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kTrainerSize = 512;
constexpr uint32_t kPrgBankSize = 16384;
constexpr uint32_t kChrBankSize = 8192;
constexpr uint32_t kMaxImageBytes = 64u << 20;
// The largest .nes file read out of an archive: the largest image, its
// header and trainer, and some bytes past its end.
constexpr size_t kMaxFileBytes = size_t(kMaxImageBytes) + (1u << 20);

char MapperFailure[64];
char SizeFailure[96];

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

bool load_from(Source& from);

// The .nes file inside an archive (at path, or in memory), loaded as that file.
bool load_archive(const char* path, const uint8_t* bytes, size_t size) {
    uint8_t* image = nullptr;
    size_t image_size = 0;
    if (const char* why =
            read_archive_cartridge(path, bytes, size, nullptr, kMaxFileBytes, &image, &image_size,
                                   CartridgeInnerName, sizeof CartridgeInnerName))
        return fail(why);
    Source memory{nullptr, image, image_size, 0};
    const bool loaded = load_from(memory);
    std::free(image);
    return loaded;
}

void set_inner_name(const char* name) {
    const size_t n = std::strlen(name);
    if (n < sizeof CartridgeInnerName) std::memcpy(CartridgeInnerName, name, n + 1);
}

}  // namespace

bool load_cartridge() {
    CartridgeLoadFailure = "";
    CartridgeLoadNews = "";
    const char* name = MachineState.CartridgeFileName;
    if (name[0] == '\0') return fail("no cartridge file was chosen");
    // A FIFO or a device could block for ever, a directory reads as nothing:
    // only regular files are opened.
    struct stat info;
    if (stat(name, &info) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    Source file{std::fopen(name, "rb"), nullptr, 0, 0};
    if (!file.file) return fail(std::strerror(errno));
    uint8_t first[6] = {};
    const size_t got = std::fread(first, 1, sizeof first, file.file);
    if (is_archive(first, got)) return load_archive(name, nullptr, 0);
    std::rewind(file.file);
    set_inner_name(name);
    return load_from(file);
}

bool load_cartridge_image(const uint8_t* bytes, size_t size) {
    CartridgeLoadFailure = "";
    CartridgeLoadNews = "";
    if (!bytes) size = 0;
    CartridgeInnerName[0] = '\0';
    if (is_archive(bytes, size)) return load_archive(nullptr, bytes, size);
    Source memory{nullptr, bytes, size, 0};
    return load_from(memory);
}

namespace {

// 64 << n bytes, or none for n = 0 (NES 2.0 RAM sizes).
uint32_t ram_size(uint32_t n) { return n ? 64u << n : 0; }

bool load_from(Source& from) {
    uint8_t header[kHeaderSize];
    if (!from.read(header, kHeaderSize)) return fail("file is shorter than an iNES header");
    // Every iNES image starts with "NES" and $1A; anything else would be read
    // as garbage banks, so it is refused.
    if (std::memcmp(header, "NES\x1A", 4) != 0) return fail("file is not an iNES image");
    uint32_t prg_banks = header[4];
    uint32_t chr_banks = header[5];
    uint8_t flags = header[6];
    // NES 2.0 (byte 7 bits 2-3 = 2): byte 8 holds the mapper's bits 8-11 and
    // the submapper, byte 9 the high bits of the ROM sizes, bytes 10-11 the
    // RAM sizes and byte 12 the console the cartridge was made for.
    const bool nes2 = (header[7] & 0x0C) == 0x08;
    uint16_t mapper = 0;
    uint8_t submapper = 0;
    uint32_t prg_ram = 8192, chr_ram = chr_banks ? 0 : 8192;
    const char* news = "";
    if (nes2) {
        if ((header[9] & 0x0F) == 0x0F || (header[9] & 0xF0) == 0xF0)
            return fail(
                "cartridge gives its ROM size in the exponent form, which is not supported");
        prg_banks |= uint32_t(header[9] & 0x0F) << 8;
        chr_banks |= uint32_t(header[9] & 0xF0) << 4;
        mapper = uint16_t((flags >> 4) | (header[7] & 0xF0) | ((header[8] & 0x0F) << 8));
        submapper = header[8] >> 4;
        prg_ram = ram_size(header[10] & 0x0F) + ram_size(header[10] >> 4);
        chr_ram = ram_size(header[11] & 0x0F) + ram_size(header[11] >> 4);
        if ((header[12] & 3) == 1 || (header[12] & 3) == 3)
            news = "the cartridge was made for PAL consoles; it runs at NTSC timing";
    } else {
        // The high nibble of the mapper number is in byte 7, unless bytes
        // 12-15 show the junk that old images carry there.
        const bool junk = header[12] | header[13] | header[14] | header[15];
        mapper = uint16_t((flags >> 4) | (junk ? 0 : header[7] & 0xF0));
    }
    if (prg_banks == 0) return fail("cartridge has no PRG ROM");
    // A file is at most as long as its header can say: 4095 banks of PRG and
    // CHR are about 96 MB; no cartridge comes near it.
    if (uint64_t(prg_banks) * kPrgBankSize + uint64_t(chr_banks) * kChrBankSize > kMaxImageBytes) {
        std::snprintf(SizeFailure, sizeof SizeFailure,
                      "cartridge says it holds more than %u MB of ROM", kMaxImageBytes >> 20);
        return fail(SizeFailure);
    }
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
    CartridgeImage.MapperNumber = mapper;
    CartridgeImage.Submapper = submapper;
    CartridgeImage.PrgRamSize = prg_ram;
    CartridgeImage.ChrRamSize = chr_ram;
    CartridgeImage.VerticalMirroring = flags & 1;
    CartridgeImage.Battery = (flags & 0x02) ? 1 : 0;
    MachineState.CyclesPerLine = 113;
    forget_mapped_banks();
    forget_cartridge_checksum();  // the new images may lie where the old ones did

    const MapperEntry* entry = find_mapper(mapper);
    if (!entry) {
        std::snprintf(MapperFailure, sizeof MapperFailure, "mapper %d is not supported", mapper);
        return fail(MapperFailure);
    }
    // UNROM 512 with byte 6 bits 0 and 3 = 0 and 1: one page, chosen by the mapper.
    if (mapper == 30 && (flags & 0x09) == 0x08) CartridgeImage.VerticalMirroring = MirrorSingleLow;
    // A new cartridge holds no interrupt and starts from its mapper's first layout.
    MapperRegisters = MapperRegisterRecord{};
    set_irq_line(false);
    Mmc3Reload = 0;
    ActiveMapper = entry;
    MapperSeesLowWrites = entry->LowWrites;
    MapperWatchesTiles = entry->Tiles;
    MachineState.CyclesPerLine = entry->CyclesPerLine;
    entry->Start();
    CartridgeLoadNews = news;
    return true;
}

}  // namespace

void free_cartridge() {
    std::free(CartridgeImage.PrgImage);
    CartridgeImage.PrgImage = nullptr;
    std::free(CartridgeImage.ChrImage);
    CartridgeImage.ChrImage = nullptr;
}
