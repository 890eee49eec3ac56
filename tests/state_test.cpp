// States through the console, the state list against the machine's variables, the rewind ring.
#include "core/state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/console.h"
#include "core/rewind.h"
#include "cpu/n6502.h"
#include "tests/test_support.h"

namespace {

// A frame's hashes (picture, memory, registers), then its sound samples.
using FrameRecord = std::vector<uint64_t>;

// A pad that walks, jumps and pauses, by frame number.
uint32_t pad_at(uint32_t frame) {
    uint32_t bits = (frame / 40) % 2 ? 0x80 : 0x40;
    if (frame % 25 < 3) bits |= 0x01;
    if (frame % 97 == 0) bits |= 0x08;
    return bits;
}

void run_frames(uint32_t first, uint32_t count, std::vector<FrameRecord>* out) {
    for (uint32_t f = first; f < first + count; ++f) {
        console_set_pad(pad_at(f));
        ASSERT_EQ(console_run_frame(), 0);
        if (out) {
            const ConsoleHashes h = console_hashes();
            FrameRecord r = {h.Picture, h.Memory, h.Registers};
            r.insert(r.end(), console_samples(), console_samples() + ConsoleSamplesPerFrame);
            out->push_back(r);
        }
    }
}

std::vector<uint8_t> take_state() {
    std::vector<uint8_t> state(console_state_size());
    const char* why = console_save_state(state.data(), state.size());
    EXPECT_EQ(why, nullptr) << why;
    return state;
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        reset_machine_globals();
        console_power_up();
    }
    void TearDown() override { console_shut_down(); }
    static void load(const std::string& rom) {
        ASSERT_TRUE(console_choose_cartridge(rom.c_str()));
        const char* why = console_load_cartridge();
        ASSERT_EQ(why, nullptr) << rom << ": " << why;
    }
};

// A cartridge for each kind of mapper state (line, prescaler and cycle counters, latches,
// outer bank), then the shared demos: every frame after the load and every byte at the end
// match. {cartridge, frames before the state, frames after it}
const std::tuple<const char*, uint32_t, uint32_t> kRoundTrips[] = {
    {"pictures.nes", 100, 90},
    {"demo.nes", 150, 120},
    {"mmc3.nes", 1, 60},
    {"vrc4a.nes", 10, 30},
    {"fme7.nes", 1, 30},
    {"mmc2.nes", 1, 30},
    {"action53.nes", 1, 30},
    {"demos/smwstomp.nes", 200, 100},
    {"demos/scroll.nes", 200, 100},
    {"demos/spritecans.nes", 200, 100},
    {"demos/nes15-NTSC.nes", 200, 100},
};

TEST_F(Console, AStateRunsOnToTheSameFrames) {
    const std::string shared = test_roms_dir();
    for (auto [rom, before, after] : kRoundTrips) {
        SCOPED_TRACE(rom);
        const bool own = !std::strchr(rom, '/');
        if (!own && shared.empty()) continue;  // the shared cartridges are not here
        load((own ? std::string(QEL_ROMS_DIR) : shared) + "/" + rom);
        run_frames(1, before, nullptr);
        const std::vector<uint8_t> state = take_state();
        std::vector<FrameRecord> straight, again;
        run_frames(before + 1, after, &straight);
        const std::vector<uint8_t> end = take_state();
        ASSERT_EQ(console_load_state(state.data(), state.size()), nullptr);
        run_frames(before + 1, after, &again);
        EXPECT_TRUE(straight == again);
        EXPECT_TRUE(take_state() == end);  // every byte, not only what the hashes see
    }
}

// Where a named field lies in a state, and its row.
size_t offset_of(const char* name, const StateField** row = nullptr) {
    size_t at = StateHeaderSize;
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        if (f.Check == StateCheck::LeftOut) continue;
        if (row) *row = &f;
        if (!std::strcmp(f.Name, name)) return at;
        at += size_t(f.Size) * f.Count;
    }
    ADD_FAILURE() << name;
    return 0;
}
void set_field(std::vector<uint8_t>& state, const char* name, int64_t v) {
    const StateField* f;
    const size_t at = offset_of(name, &f);
    for (uint32_t k = 0; k < f->Size; ++k) state[at + k] = uint8_t(v >> (8 * k));
}
void seal(std::vector<uint8_t>& state) {
    const uint32_t crc = crc32(state.data(), state.size() - 4);
    std::memcpy(&state[state.size() - 4], &crc, 4);
}

// A state taken while the cartridge's interrupt stands brings it back standing.
TEST_F(Console, ALoadedStateRaisesTheCartridgesInterruptItHolds) {
    load(std::string(QEL_ROMS_DIR) + "/mmc3.nes");
    std::vector<uint8_t> raised = take_state();
    set_field(raised, "MapperRegisters.IrqLine", 1);
    seal(raised);
    ASSERT_EQ(console_load_state(raised.data(), raised.size()), nullptr);
    EXPECT_EQ(ncpu.irqline, 1u);
}

// A refused state (header, every field just outside its range, values that hang on
// others) names why and leaves the machine as it was.
TEST_F(Console, RefusedStatesNameWhyAndLeaveTheMachineAsItWas) {
    load(std::string(QEL_ROMS_DIR) + "/demo.nes");
    run_frames(1, 60, nullptr);
    const std::vector<uint8_t> good = take_state();
    const size_t size = good.size();
    const char* const cut = "the state is cut short or has bytes past its end";
    run_frames(61, 30, nullptr);
    const std::vector<uint8_t> before = take_state();
    const uint32_t hash = state_hash();
    auto refuse = [&](const std::vector<uint8_t>& bad, const std::string& want) {
        const char* why = console_load_state(bad.data(), bad.size());
        EXPECT_EQ(why ? std::string(why) : "loaded", want);
        ASSERT_EQ(state_hash(), hash);
    };
    // {byte at, flipped by, checksum made right again, length, reason}
    const std::tuple<size_t, uint8_t, bool, size_t, const char*> refusals[] = {
        {0, 0, false, 0, "not a Qel state"},
        {0, 1, false, size, "not a Qel state"},
        {0, 0, false, 12, "the state is cut short"},
        {0, 0, false, size / 2, cut},
        {0, 0, false, size + 1, cut},
        {size / 2, 0x10, false, size, "the state is damaged: its checksum does not match"},
        {8, 7, true, size, "the state has format version 4; this Qel reads 3"},
        {12, 1, true, size, "the state was made for another cartridge"},
        {16, 1, true, size, "the state was made by another build of Qel"},  // its layout
    };
    for (auto [at, flip, seal_it, length, want] : refusals) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= flip;
        if (seal_it) seal(bad);
        bad.resize(length);
        refuse(bad, want);
    }
    EXPECT_TRUE(take_state() == before);

    const std::string impossible = "the state holds a value this machine cannot have: ";
    auto fits = [](const StateField& f, int64_t v) {  // in the field's type
        const int unused = 64 - int(8 * f.Size);
        return f.Signed ? int64_t(uint64_t(v) << unused) >> unused == v
                        : v >= 0 && (unused == 0 || uint64_t(v) >> (64 - unused) == 0);
    };
    int refused = 0;
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        if (f.Check != StateCheck::Range && f.Check != StateCheck::Bits) continue;
        const std::string name = f.Name + std::string(f.Count > 1 ? "[0]" : "");
        const int64_t lowest_foreign = f.Bits ? int64_t(~f.Bits & ((f.Bits + 1) | 1)) : 0;
        for (int64_t v : {f.Low - 1, f.High + 1, lowest_foreign}) {
            if (!fits(f, v) || v == f.Also || (f.Bits ? v == 0 : v >= f.Low && v <= f.High))
                continue;
            std::vector<uint8_t> bad = good;
            set_field(bad, f.Name, v);
            seal(bad);
            refuse(bad, impossible + name + " = " + std::to_string(v));
            ++refused;
        }
    }
    EXPECT_GT(refused, 150);

    // Values that hang on others: {two fields set, the value named}.
    const std::tuple<const char*, int64_t, const char*, int64_t, const char*> spoilt[] = {
        {"Dmc.BytesRemaining", 5, "Dmc.ReadOffset", 0xFFFFFFFF, "Dmc.ReadOffset = -1"},
        {"Dmc.ReadOffset", 0x8000, nullptr, 0, "Dmc.ReadOffset = 32768"},
        {"Dmc.Rate", 55, nullptr, 0, "Dmc.Rate = 55"},
        {"Noise.PeriodIndex", 3, "Noise.Period", 16, "Noise.Period = 16"},
        {"SoundClock.FiveStep", 0, "SoundClock.Step", 4, "SoundClock.Step = 4"},
    };
    for (auto [one, v1, two, v2, want] : spoilt) {
        std::vector<uint8_t> bad = good;
        set_field(bad, one, v1);
        if (two) set_field(bad, two, v2);
        seal(bad);
        refuse(bad, impossible + want);
    }
    std::vector<uint8_t> bad = good;
    bad[offset_of("PpuMemory") + 0x3F1F] = 129;  // past the marked colours
    seal(bad);
    refuse(bad, impossible + "the palette byte = 129");
    // The PRG window's last byte is a place to read a sample from.
    std::vector<uint8_t> last = good;
    set_field(last, "Dmc.BytesRemaining", 1);
    set_field(last, "Dmc.ReadOffset", 0x7FFF);
    seal(last);
    EXPECT_EQ(console_load_state(last.data(), last.size()), nullptr);
    EXPECT_EQ(console_load_state(good.data(), good.size()), nullptr);
    EXPECT_TRUE(take_state() == good);

    const std::tuple<size_t, const char*> places[] = {
        {0, "the header"},
        {StateHeaderSize, "CPU.A"},
        {offset_of("PpuRegisters.VramAddress") + 1, "PpuRegisters.VramAddress"},
        {offset_of("CpuRam") + 0x123, "CpuRam[0x0123]"},
        {offset_of("MapperRegisters.Chr") + 5, "MapperRegisters.Chr[2]"},
        {size - 4, "the checksum"},
        {size, "past the end"},
    };
    for (auto [at, want] : places) {
        char name[64];
        state_field_name_at(at, name, sizeof name);
        EXPECT_STREQ(name, want);
    }
    EXPECT_EQ(state_hash(), crc32(good.data() + StateHeaderSize, size - StateHeaderSize - 4));
}

// Files are written whole through a temporary (a reader keeps the old bytes, none is left);
// only regular files are read; a halted machine has no state.
TEST_F(Console, StateFilesAreWrittenWholeAndReadBack) {
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
    load(std::string(QEL_ROMS_DIR) + "/mmc3.nes");
    run_frames(1, 5, nullptr);
    const auto folder =
        std::filesystem::path(::testing::TempDir()) / ("qel-states-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "state.qel").string();
    std::ofstream(path) << "old";
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(console_save_state_file(path.c_str()), nullptr);
    char old[4] = {};
    EXPECT_EQ(::pread(reader, old, 4, 0), 3);
    EXPECT_STREQ(old, "old");
    ::close(reader);
    std::vector<uint8_t> state = take_state();
    EXPECT_TRUE(read_file(path) == state);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    run_frames(6, 5, nullptr);
    ASSERT_EQ(console_load_state_file(path.c_str()), nullptr);
    EXPECT_TRUE(take_state() == state);
    EXPECT_EQ(std::string(console_load_state_file("/nonexistent/state.qel")),
              "cannot read /nonexistent/state.qel: No such file or directory");
    const std::string fifo = (folder / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(std::string(console_load_state_file(fifo.c_str())),
              "cannot read " + fifo + ": not a regular file");
    console_halt();
    EXPECT_STREQ(console_load_state(state.data(), state.size()), "no cartridge is running");
    EXPECT_STREQ(console_save_state(state.data(), state.size()), "no cartridge is running");
}

// The machine library's data symbols, demangled, without namespace and arguments.
std::set<std::string> machine_variables() {
    FILE* nm = ::popen((QEL_NM " -C --defined-only " QEL_MACHINE_LIBRARY), "r");
    std::set<std::string> names;
    char line[1024];
    while (nm && std::fgets(line, sizeof line, nm)) {
        std::string name(line);
        if (name.size() < 20 || name[16] != ' ' || !std::strchr("bBdDuV", name[17])) continue;
        name = name.substr(19, name.size() - 20);
        if (name.starts_with("guard variable") || name.starts_with("DW.ref") ||
            name.starts_with("__") || name.starts_with("std::"))
            continue;  // the compiler's and the sanitizers' own
        for (size_t at; (at = name.find("(anonymous namespace)::")) != std::string::npos;)
            name.erase(at, 23);
        for (size_t at; (at = name.find('(')) != std::string::npos;)
            name.erase(at, name.find(')', at) + 1 - at);
        names.insert(name);
    }
    EXPECT_EQ(nm ? ::pclose(nm) : -1, 0);
    return names;
}

// Every variable is in the list (saved, or left out with a reason) and no row names a gone
// one; every byte of a record but padding lies in one row, saved rows in order; the layout
// checksum tells each row's name, size, count and place; the tests' reset zeroes the list.
TEST(StateList, NamesEveryVariableAndEveryByteOfItsRecords) {
    const std::set<std::string> variables = machine_variables();
    ASSERT_GT(variables.size(), 100u);
    std::set<std::string> listed, records;
    for (uint32_t r = 0; r < StateRecordCount; ++r) records.insert(StateRecords[r].Symbol);
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        EXPECT_TRUE(!listed.insert(f.Symbol).second <= records.count(f.Symbol)) << f.Symbol;
        EXPECT_TRUE(f.Check != StateCheck::LeftOut || (f.LeftOut && *f.LeftOut)) << f.Name;
    }
    for (const std::string& v : variables)
        EXPECT_TRUE(listed.count(v)) << v << " is not in the list";
    for (uint32_t i = 0; i < StateFieldCount; ++i)  // file statics come and go with the build
        EXPECT_TRUE(!StateFields[i].Where || variables.count(StateFields[i].Symbol))
            << StateFields[i].Symbol << " is no variable";

    reset_machine_globals();
    console_power_up();
    for (uint32_t r = 0; r < StateRecordCount; ++r) {
        const StateRecord& record = StateRecords[r];
        SCOPED_TRACE(record.Symbol);
        std::vector<uint8_t> padding(record.Size);
        if (!record.Padding(padding.data())) continue;  // this compiler cannot tell padding
        std::vector<int> rows(record.Size, 0);
        const uint8_t* base = record.Where();
        size_t next = 0;
        for (uint32_t i = 0; i < StateFieldCount; ++i) {
            const StateField& f = StateFields[i];
            if (std::strcmp(f.Symbol, record.Symbol) != 0) continue;
            ASSERT_TRUE(f.Where) << f.Name;
            const size_t at = size_t(f.Where() - base);
            if (f.Check != StateCheck::LeftOut) {
                EXPECT_GE(at, next) << f.Name << " is out of its record's order";
                next = at + 1;
            }
            const size_t size = f.PrgOffset ? sizeof(uint8_t*) : size_t(f.Size) * f.Count;
            ASSERT_LE(at + size, record.Size) << f.Name;
            for (size_t k = at; k < at + size; ++k) ++rows[k];
        }
        for (size_t k = 0; k < record.Size; ++k)
            EXPECT_EQ(rows[k], padding[k] ? 1 : 0) << "byte " << k;
    }

    std::vector<StateField> list(StateFields, StateFields + StateFieldCount);
    const uint32_t layout = state_layout_checksum();
    EXPECT_EQ(state_layout_checksum(list.data(), StateFieldCount), layout);
    for (uint32_t i = 0; i + 1 < StateFieldCount; ++i) {
        if (list[i].Check == StateCheck::LeftOut) continue;
        SCOPED_TRACE(list[i].Name);
        auto changed = [&] {
            return state_layout_checksum(list.data(), StateFieldCount) != layout;
        };
        const StateField row = list[i];
        list[i].Name = "";
        EXPECT_TRUE(changed());
        list[i] = row, list[i].Size ^= 3;
        EXPECT_TRUE(changed());
        list[i] = row, list[i].Count += 1;
        EXPECT_TRUE(changed());
        list[i] = row, std::swap(list[i], list[i + 1]);
        EXPECT_TRUE(changed() || list[i].Check == StateCheck::LeftOut);
        std::swap(list[i], list[i + 1]);
    }

    console_shut_down();
    reset_machine_globals();
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        if (f.Check == StateCheck::LeftOut && !f.ZeroOnReset) continue;
        const uint8_t* at = f.Where ? f.Where() : nullptr;  // null: a block not allocated
        for (size_t k = 0; at && k < size_t(f.Size) * f.Count; ++k)
            ASSERT_EQ(at[k], 0) << f.Name << " is not reset";
    }
}

// The ring keeps within its count and bytes, dropping the oldest; stepping back gives each
// state as pushed.
TEST(Rewind, KeepsItsBoundsAndGivesBackTheStates) {
    const size_t kSize = 100000;
    // {most states, most bytes, bytes changed a push, states held after 600 pushes}
    const size_t cases[][4] = {
        {450, size_t(24) << 20, 50, 450},  // bound by the count
        {450, 200000, 3000, 0},            // bound by the bytes
    };
    for (auto [max_states, max_bytes, changes, want_kept] : cases) {
        RewindRing ring;
        ring.MaxStates = max_states;
        ring.MaxBytes = max_bytes;
        std::mt19937 rng(7);
        std::vector<std::vector<uint8_t>> pushed;
        std::vector<uint8_t> state(kSize, 0);
        for (int i = 0; i < 600; ++i) {
            for (size_t k = 0; k < changes; ++k) state[rng() % kSize] = uint8_t(rng());
            rewind_push(ring, state.data(), state.size());
            pushed.push_back(state);
            EXPECT_LE(rewind_states(ring), max_states);
            EXPECT_LE(rewind_bytes(ring), max_bytes + kSize);
        }
        const size_t kept = rewind_states(ring);
        EXPECT_TRUE(want_kept == 0 || kept == want_kept) << kept;
        EXPECT_GT(kept, 1u);
        EXPECT_TRUE(ring.Latest == pushed.back());
        for (size_t back = 1; back < kept; ++back) {
            ASSERT_TRUE(rewind_back(ring));
            ASSERT_TRUE(ring.Latest == pushed[pushed.size() - 1 - back]) << back;
        }
        EXPECT_FALSE(rewind_back(ring));
        EXPECT_EQ(rewind_states(ring), 1u);
    }
}

}  // namespace
