// The iNES loader on good and bad files, and on archives.
#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <string>
#include <tuple>

#include "cart/archive.h"
#include "ppu/ppu.h"
#include "tests/machine_fixture.h"

namespace {

class Loader : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        // A good cartridge is in place before each bad one is tried.
        ASSERT_TRUE(load_image(make_ines(2, 1, 0x01), "good.nes"));
        prg_before = CartridgeImage.PrgImage;
        std::memcpy(window_before, PrgWindow, sizeof window_before);
    }
    // The good cartridge is still loaded, untouched.
    void expect_previous_cartridge() {
        const CartridgeImageRecord& c = CartridgeImage;
        EXPECT_EQ(
            std::tuple(c.PrgImage, c.PrgBanks, c.ChrBanks, c.MapperNumber, c.VerticalMirroring),
            std::tuple(prg_before, 2u, 1u, 0, 1u));
        EXPECT_EQ(std::memcmp(window_before, PrgWindow, sizeof window_before), 0);
    }
    uint8_t* prg_before = nullptr;
    uint8_t window_before[32768];
};

// Cut files, with any reason but one; then a missing file and an empty name.
TEST_F(Loader, BadFilesFailWithTheirReasonAndKeepThePreviousCartridge) {
    const std::vector<uint8_t> image = make_ines(2, 1, 0x00);
    std::vector<uint8_t> foreign = image;
    std::memcpy(foreign.data(), "NEZ\x1A", 4);
    std::vector<std::pair<std::vector<uint8_t>, const char*>> cases = {
        {make_ines(0, 1, 0x00), "cartridge has no PRG ROM"},
        {foreign, "file is not an iNES image"},
        {{image.begin(), image.end() - 1}, "file is shorter than its header says"}};
    for (long size : {0, 3, 15, 16, 16 + 16384})
        cases.push_back({{image.begin(), image.begin() + size}, ""});
    for (const auto& [bytes, why] : cases) {
        EXPECT_FALSE(load_image(bytes, "bad.nes")) << bytes.size();
        EXPECT_STREQ(CartridgeLoadFailure, *why ? why : CartridgeLoadFailure);
        EXPECT_STRNE(CartridgeLoadFailure, "");
        expect_previous_cartridge();
    }
    EXPECT_FALSE(load_file(::testing::TempDir() + "no-such-cartridge.nes"));
    expect_previous_cartridge();
    MachineState.CartridgeFileName[0] = '\0';
    EXPECT_FALSE(load_cartridge());
    expect_previous_cartridge();
}

TEST_F(Loader, PathsThatDoNotFitAreRefusedWhole) {
    std::string longest(CartridgeFileNameSize - 1, 'a');
    EXPECT_TRUE(set_cartridge_file_name(longest.c_str()));
    std::string too_long(CartridgeFileNameSize, 'a');
    EXPECT_FALSE(set_cartridge_file_name(too_long.c_str()));
    EXPECT_EQ(std::string(MachineState.CartridgeFileName), longest);
    EXPECT_FALSE(set_cartridge_file_name((too_long + "/x.nes").c_str()));
}

// An unsupported mapper fails after the header is taken. The mapper's high
// nibble comes from byte 7, unless the header ends in junk.
TEST_F(Loader, UnsupportedMapperFailsAfterTakingTheHeader) {
    EXPECT_FALSE(load_image(make_ines(1, 1, 0x51), "mmc5.nes"));
    EXPECT_STREQ(CartridgeLoadFailure, "mapper 5 is not supported");
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 1u);
    EXPECT_EQ(MachineState.CyclesPerLine, 113u);
    EXPECT_EQ(std::memcmp(window_before, PrgWindow, sizeof window_before), 0);
    std::vector<uint8_t> image = make_ines(1, 1, 0x20, 0x50);  // mapper 82
    EXPECT_FALSE(load_image(image, "byte7.nes"));
    EXPECT_STREQ(CartridgeLoadFailure, "mapper 82 is not supported");
    image[12] = 'D';  // an old image's junk in bytes 7-15: byte 7 counts as 0
    ASSERT_TRUE(load_image(image, "junk.nes"));
    EXPECT_EQ(CartridgeImage.MapperNumber, 2);
}

// NES 2.0 headers: mapper bits 8-11 and submapper (byte 8), ROM size high bits (9), RAM
// sizes (10), the console (12: PAL loads and says so); bytes 12-15 are no junk here.
TEST_F(Loader, Nes2HeadersGiveTheWholeMapperNumberSubmapperSizesAndConsole) {
    struct Case {
        uint8_t b6, b7, b8, b9, b10, b12;
        bool loads;
        int mapper, submapper;
        uint32_t prg_banks, prg_ram;
        const char* text;
    };
    const Case cases[] = {
        {0x20, 0x28, 0x20, 0, 0x07, 0, true, 34, 2, 1, 8192, ""},
        {0x20, 0x28, 0x01, 0, 0, 0, false, 0x122, 0, 1, 0, "mapper 290 is not supported"},
        {0x00, 0x08, 0, 0, 0, 1, true, 0, 0, 1, 0,
         "the cartridge was made for PAL consoles; it runs at NTSC timing"},
        {0x00, 0x08, 0, 0x01, 0, 2, false, 0, 0, 0, 0, "file is shorter than its header says"},
        {0x00, 0x08, 0, 0x0F, 0, 0, false, 0, 0, 0, 0,
         "cartridge gives its ROM size in the exponent form, which is not supported"},
        {0x00, 0x00, 0x01, 0, 0, 1, true, 0, 0, 1, 8192, ""},  // iNES: bytes 8-15 not read
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = make_ines(1, 1, c.b6, c.b7);
        image[8] = c.b8;
        image[9] = c.b9;
        image[10] = c.b10;
        image[12] = c.b12;
        SCOPED_TRACE(c.text);
        EXPECT_EQ(load_image(image, "nes2.nes"), c.loads);
        if (c.loads) {
            EXPECT_STREQ(CartridgeLoadNews, c.text);
            EXPECT_EQ(CartridgeImage.PrgRamSize, c.prg_ram);
        } else {
            EXPECT_STREQ(CartridgeLoadFailure, c.text);
        }
        if (c.prg_banks) {
            EXPECT_EQ(CartridgeImage.MapperNumber, c.mapper);
            EXPECT_EQ(CartridgeImage.Submapper, c.submapper);
            EXPECT_EQ(CartridgeImage.PrgBanks, c.prg_banks);
        }
    }
}

using ArchiveFiles = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// An archive made by libarchive: "zip", "7z", or "gz" (one file, no name).
std::vector<uint8_t> make_archive(const std::string& format, const ArchiveFiles& files) {
    archive* a = archive_write_new();
    if (format == "zip") archive_write_set_format_zip(a);
    if (format == "7z") archive_write_set_format_7zip(a);
    if (format == "gz") {
        archive_write_add_filter_gzip(a);
        archive_write_set_format_raw(a);
    }
    std::vector<uint8_t> out(4 << 20);
    size_t used = 0;
    archive_write_open_memory(a, out.data(), out.size(), &used);
    for (const auto& [name, bytes] : files) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, name.c_str());
        archive_entry_set_size(e, la_int64_t(bytes.size()));
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_write_header(a, e);
        archive_write_data(a, bytes.data(), bytes.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    out.resize(used);
    return out;
}

// An archive holding one .nes loads as that file; no .nes, several, or a damaged archive
// are refused with their reason.
TEST_F(Loader, ArchivesHoldingOneNesFileLoadAsThatFile) {
    const std::vector<uint8_t> game = make_ines(2, 1, 0x00);  // NROM: $8000 holds unit 0, ...
    std::vector<uint8_t> other = game;
    other[16] = 0x77;
    const std::vector<uint8_t> text = {'h', 'i', '\n'};
    const std::vector<uint8_t> zip = make_archive("zip", {{"Game (U).nes", other}});
    // {file name, archive, the .nes name inside or the reason for refusing it}
    const std::tuple<const char*, std::vector<uint8_t>, const char*> cases[] = {
        {"game.zip", zip, "Game (U).nes"},
        {"game.7z", make_archive("7z", {{"readme.txt", text}, {"roms/Deep.nes", other}}),
         "Deep.nes"},
        {"Tank.nes.gz", make_archive("gz", {{"data", other}}), "-Tank.nes"},  // (temporary's name)
        {"none.zip", make_archive("zip", {{"readme.txt", text}}), "the archive holds no .nes file"},
        {"two.zip", make_archive("zip", {{"a.nes", other}, {"b.NES", other}}),
         "the archive holds several .nes files; it must hold one"},
        {"cut.zip", {zip.begin(), zip.begin() + 40}, "the archive"},
    };
    for (const auto& [file, bytes, want] : cases) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(load_image(game, "plain.nes"));
        const bool good = std::strstr(want, ".nes") && !std::strstr(want, "archive");
        EXPECT_EQ(load_image(bytes, file), good);
        if (good) {
            EXPECT_TRUE(std::string(CartridgeInnerName).ends_with(want)) << CartridgeInnerName;
            EXPECT_EQ(PrgWindow[0], 0x77);
        } else {
            EXPECT_EQ(std::string(CartridgeLoadFailure).rfind(want, 0), 0u) << CartridgeLoadFailure;
            EXPECT_EQ(PrgWindow[0], 0x00);
        }
    }
    // In memory, as the libretro core is handed it; and the size limit.
    ASSERT_TRUE(load_cartridge_image(zip.data(), zip.size()));
    EXPECT_EQ(PrgWindow[0], 0x77);
    const std::vector<uint8_t> big =
        make_archive("zip", {{"big.nes", std::vector<uint8_t>(3 << 20)}});
    uint8_t* out = nullptr;
    size_t size = 0;
    char name[64];
    EXPECT_STREQ(read_archive_cartridge(nullptr, big.data(), big.size(), nullptr, 1 << 20, &out,
                                        &size, name, sizeof name),
                 "the .nes file in the archive is larger than 1 MB");
    EXPECT_EQ(out, nullptr);
}

TEST_F(Loader, TrainerIsSkippedAndBytesPastTheAnnouncedOnesIgnored) {
    std::vector<uint8_t> image = make_ines(1, 1, 0x04);
    image.insert(image.begin() + 16, 512, 0xAA);
    image.insert(image.end(), 100000, 0x33);
    ASSERT_TRUE(load_image(image, "trainer.nes"));
    EXPECT_EQ(PrgWindow[0], 0);
    EXPECT_EQ(PpuMemory[0], 0x80);
    EXPECT_EQ(CartridgeImage.PrgBanks, 1u);
}

TEST_F(Loader, WithoutChrRomThePatternAreaIsKept) {
    for (uint8_t flags : {0x00, 0x10, 0x30, 0x40}) {
        PpuMemory[0x123] = 0x5C;
        ASSERT_TRUE(load_image(make_ines(2, 0, flags), "chrram.nes")) << int(flags);
        EXPECT_EQ(PpuMemory[0x123], 0x5C) << int(flags);
    }
}

TEST_F(Loader, AnMmc1CartridgeStartsWithItsFirstPatternsAndKeepsTheMemories) {
    SaveRam[1] = 0x42;
    CpuRam[2] = 0x43;
    ASSERT_TRUE(load_image(make_ines(4, 2, 0x10), "mmc1.nes"));
    EXPECT_EQ(PpuMemory[0x0000], 0x80);  // CHR bytes are 1 KB unit number | $80
    EXPECT_EQ(PpuMemory[0x1FFF], 0x87);
    EXPECT_EQ(SaveRam[1], 0x42);
    EXPECT_EQ(CpuRam[2], 0x43);
    EXPECT_EQ(MachineState.CyclesPerLine, 150u);
}

}  // namespace
