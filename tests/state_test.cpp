// States through the console: a state taken mid-run and loaded runs on to the
// same frames on every mapper; a refused state leaves the machine as it was;
// the rewind ring keeps its bounds and gives back the states pushed.
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
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/console.h"
#include "core/rewind.h"
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

// The project's cartridges: mapper 0 (the pictures), 1 (the demo and the MMC1
// checks), 2, 3, 4 and each mapper family's checks, states taken in mid-check
// and in mid-scene; then the shared demos. Every frame after the load and every byte at the end
// match. {cartridge, frames before the state, frames after it}
const std::tuple<const char*, uint32_t, uint32_t> kRoundTrips[] = {
    {"pictures.nes", 100, 90},
    {"demo.nes", 150, 120},
    {"mmc1.nes", 1, 30},
    {"uxrom.nes", 1, 30},
    {"cnrom.nes", 1, 30},
    {"mmc3.nes", 1, 60},
    {"axrom.nes", 1, 30},
    {"color_dreams.nes", 1, 30},
    {"gxrom.nes", 1, 30},
    {"bnrom.nes", 1, 30},
    {"nina001.nes", 1, 30},
    {"camerica.nes", 1, 30},
    {"unrom512.nes", 1, 30},
    {"vrc4a.nes", 10, 30},
    {"vrc2a.nes", 1, 30},
    {"vrc4e.nes", 10, 30},
    {"vrc4b.nes", 10, 30},
    {"fme7.nes", 1, 30},
    {"namco108.nes", 1, 30},
    {"mmc2.nes", 1, 30},
    {"mmc4.nes", 1, 30},
    {"action53.nes", 1, 30},
    {"demos/smwstomp.nes", 200, 100},
    {"demos/scroll.nes", 200, 100},
    {"demos/spritecans.nes", 200, 100},
    {"demos/nes15-NTSC.nes", 200, 100},
};

TEST_F(Console, AStateRunsOnToTheSameFramesOnEveryMapper) {
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
        const uint32_t end_hash = state_hash();
        ASSERT_EQ(console_load_state(state.data(), state.size()), nullptr);
        run_frames(before + 1, after, &again);
        EXPECT_EQ(state_hash(), end_hash);
        EXPECT_TRUE(straight == again);
        EXPECT_TRUE(take_state() == end);  // every byte, not only what the hashes see
    }
}

// Where a named field (its first element) lies in a state, as the list lays
// it out.
size_t offset_of(const char* name) {
    size_t at = StateHeaderSize;
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        if (f.Check == StateCheck::LeftOut) continue;
        if (!std::strcmp(f.Name, name)) return at;
        at += size_t(f.Size) * f.Count;
    }
    ADD_FAILURE() << name;
    return 0;
}
const StateField& field(const char* name) {
    for (uint32_t i = 0; i < StateFieldCount; ++i)
        if (!std::strcmp(StateFields[i].Name, name)) return StateFields[i];
    ADD_FAILURE() << name;
    return StateFields[0];
}
void set_field(std::vector<uint8_t>& state, const StateField& f, int64_t v) {
    for (uint32_t k = 0; k < f.Size; ++k) state[offset_of(f.Name) + k] = uint8_t(v >> (8 * k));
}
void seal(std::vector<uint8_t>& state) {
    const uint32_t crc = crc32(state.data(), state.size() - 4);
    std::memcpy(&state[state.size() - 4], &crc, 4);
}

TEST_F(Console, RefusedStatesLeaveTheMachineAsItWas) {
    load(std::string(QEL_ROMS_DIR) + "/demo.nes");
    run_frames(1, 60, nullptr);
    const std::vector<uint8_t> good = take_state();
    const size_t size = good.size();
    const char* const cut = "the state is cut short or has bytes past its end";
    const size_t shift = offset_of("Machine.JoypadShift");
    // Each spoils a copy: {name, a byte at, flipped by, then the whole-state
    // checksum made right again, the length, the reason}.
    const std::tuple<const char*, size_t, uint8_t, bool, size_t, const char*> refusals[] = {
        {"empty", 0, 0, false, 0, "not a Qel state"},
        {"not a state", 0, 1, false, size, "not a Qel state"},
        {"header only", 0, 0, false, 12, "the state is cut short"},
        {"short", 0, 0, false, size / 2, cut},
        {"one byte too many", 0, 0, false, size + 1, cut},
        {"flipped byte", size / 2, 0x10, false, size,
         "the state is damaged: its checksum does not match"},
        {"other version", 8, 7, true, size, "the state has format version 4; this Qel reads 3"},
        {"other cartridge", 12, 1, true, size, "the state was made for another cartridge"},
        {"other layout", 16, 1, true, size, "the state was made by another build of Qel"},
        {"impossible joypad shift", shift, 0xC8, true, size,
         "the state holds a value this machine cannot have: Machine.JoypadShift = 200"},
    };
    // Somewhere else than the state, so that a half-done load would show.
    run_frames(61, 30, nullptr);
    const std::vector<uint8_t> before = take_state();
    const uint32_t hash = state_hash();
    for (auto [name, at, flip, seal, length, want] : refusals) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bad = good;
        bad[at] ^= flip;
        const uint32_t crc = crc32(bad.data(), bad.size() - 4);
        for (int i = 0; seal && i < 4; ++i) bad[bad.size() - 4 + i] = uint8_t(crc >> (8 * i));
        bad.resize(length);
        const char* why = console_load_state(bad.data(), bad.size());
        ASSERT_NE(why, nullptr);
        EXPECT_STREQ(why, want);
        EXPECT_TRUE(take_state() == before);
        EXPECT_EQ(state_hash(), hash);
        EXPECT_TRUE(console_running());
    }
    // And the good one still loads.
    EXPECT_EQ(console_load_state(good.data(), good.size()), nullptr);
    EXPECT_TRUE(take_state() == good);
}

// Every field of the table, just outside what the machine gives it, is refused
// by its name and leaves the machine as it was; at the ends of its range the
// machine loads it and runs on. Values that hang on others are refused too.
TEST_F(Console, EachFieldOutsideItsValuesIsRefusedByName) {
    load(std::string(QEL_ROMS_DIR) + "/demo.nes");
    run_frames(1, 60, nullptr);
    const std::vector<uint8_t> good = take_state();
    auto fits = [](const StateField& f, int64_t v) {
        const int bits = int(8 * f.Size);
        if (bits == 64) return true;
        return f.Signed ? v >= -(int64_t(1) << (bits - 1)) && v < (int64_t(1) << (bits - 1))
                        : v >= 0 && v < (int64_t(1) << bits);
    };
    int refused = 0;
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        if (f.Check != StateCheck::Range && f.Check != StateCheck::Bits) continue;
        SCOPED_TRACE(f.Name);
        const std::string name = f.Name + std::string(f.Count > 1 ? "[0]" : "");
        const int64_t lowest_foreign = f.Bits ? int64_t(~f.Bits & ((f.Bits + 1) | 1)) : 0;
        for (int64_t v : {f.Low - 1, f.High + 1, lowest_foreign}) {
            if (!fits(f, v) || v == f.Also || (f.Bits ? v == 0 : v >= f.Low && v <= f.High))
                continue;
            std::vector<uint8_t> bad = good;
            set_field(bad, f, v);
            seal(bad);
            const std::string want = "the state holds a value this machine cannot have: " + name +
                                     " = " + std::to_string(v);
            const char* why = console_load_state(bad.data(), bad.size());
            EXPECT_EQ(why ? std::string(why) : "loaded", want);
            ++refused;
        }
        for (int64_t v : {f.Low, f.High}) {
            std::vector<uint8_t> edge = good;
            set_field(edge, f, v);
            seal(edge);
            if (console_load_state(edge.data(), edge.size()) == nullptr) run_frames(61, 2, nullptr);
        }
        ASSERT_EQ(console_load_state(good.data(), good.size()), nullptr);
    }
    EXPECT_GT(refused, 150);

    const size_t palette = offset_of("PpuMemory") + 0x3F00;
    // {what is spoilt, the value named}
    const std::tuple<std::function<void(std::vector<uint8_t>&)>, const char*> spoilt[] = {
        {[](auto& s) {
             set_field(s, field("Dmc.BytesRemaining"), 5);
             set_field(s, field("Dmc.ReadOffset"), 0xFFFFFFFF);
         },
         "Dmc.ReadOffset = -1"},
        {[](auto& s) { set_field(s, field("Dmc.ReadOffset"), 0x8000); }, "Dmc.ReadOffset = 32768"},
        {[](auto& s) { set_field(s, field("Dmc.Rate"), 55); }, "Dmc.Rate = 55"},
        {[](auto& s) {
             set_field(s, field("Noise.PeriodIndex"), 3);
             set_field(s, field("Noise.Period"), 16);
         },
         "Noise.Period = 16"},
        {[palette](auto& s) { s[palette + 31] = 129; }, "the palette byte = 129"},
        {[](auto& s) {
             set_field(s, field("SoundClock.FiveStep"), 0);
             set_field(s, field("SoundClock.Step"), 4);
         },
         "SoundClock.Step = 4"},
    };
    for (auto& [spoil, want] : spoilt) {
        std::vector<uint8_t> bad = good;
        spoil(bad);
        seal(bad);
        const char* why = console_load_state(bad.data(), bad.size());
        EXPECT_EQ(why ? std::string(why) : "loaded",
                  std::string("the state holds a value this machine cannot have: ") + want);
    }
    // The last byte of the PRG window is a place to read a sample from.
    std::vector<uint8_t> last = good;
    set_field(last, field("Dmc.BytesRemaining"), 1);
    set_field(last, field("Dmc.ReadOffset"), 0x7FFF);
    seal(last);
    EXPECT_EQ(console_load_state(last.data(), last.size()), nullptr);
}

// Files are written whole through a temporary of their own: a reader of the
// old file keeps the old bytes, and no temporary is left. Only regular files
// are read (a FIFO would wait for ever). A halted machine has no state.
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

// The machine library's variables, each named once: the data symbols of
// every object (file statics and function statics too), demangled, without
// their namespace and argument list ("tick_of_cycle::scale").
std::set<std::string> machine_variables() {
    const std::string command = std::string(QEL_NM) + " -C --defined-only " + QEL_MACHINE_LIBRARY;
    FILE* nm = ::popen(command.c_str(), "r");
    EXPECT_NE(nm, nullptr);
    std::set<std::string> names;
    char line[1024];
    while (nm && std::fgets(line, sizeof line, nm)) {
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        // "ADDRESS TYPE NAME"; data is b/B (zeroed), d/D (set), u or V (one per program).
        if (l.size() < 20 || l[16] != ' ' || l[18] != ' ' || !std::strchr("bBdDuV", l[17]))
            continue;
        std::string name = l.substr(19);
        if (name.starts_with("guard variable") || name.starts_with("DW.ref")) continue;
        for (const std::string drop : {"(anonymous namespace)::", "()", "(unsigned int)",
                                       "(char const*)", "(unsigned char const*, unsigned long)"})
            for (size_t at; (at = name.find(drop)) != std::string::npos;)
                name.erase(at, drop.size());
        names.insert(name);
    }
    EXPECT_EQ(nm ? ::pclose(nm) : -1, 0);
    return names;
}

// Every variable of the machine is in the list, saved or left out with its
// reason, and the list names none that is gone. Each record with rows of
// its own is covered byte for byte: every byte but its padding lies in
// exactly one row.
TEST(StateList, NamesEveryVariableAndEveryByteOfItsRecords) {
    const std::set<std::string> variables = machine_variables();
    ASSERT_GT(variables.size(), 100u);
    std::set<std::string> listed;
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        listed.insert(f.Symbol);
        EXPECT_TRUE(f.Check != StateCheck::LeftOut || (f.LeftOut && *f.LeftOut)) << f.Name;
    }
    for (const std::string& v : variables)
        EXPECT_TRUE(listed.count(v)) << v << " is not in the list";
    for (const std::string& v : listed) EXPECT_TRUE(variables.count(v)) << v << " is no variable";

    reset_machine_globals();
    console_power_up();
    for (uint32_t r = 0; r < StateRecordCount; ++r) {
        const StateRecord& record = StateRecords[r];
        SCOPED_TRACE(record.Symbol);
        std::vector<uint8_t> padding(record.Size);
        if (!record.Padding(padding.data())) GTEST_SKIP() << "padding cannot be told";
        std::vector<int> rows(record.Size, 0);
        const uint8_t* base = record.Where();
        for (uint32_t i = 0; i < StateFieldCount; ++i) {
            const StateField& f = StateFields[i];
            if (std::strcmp(f.Symbol, record.Symbol) != 0) continue;
            ASSERT_TRUE(f.Where) << f.Name;
            const size_t at = size_t(f.Where() - base);
            const size_t size = f.PrgOffset ? sizeof(uint8_t*) : size_t(f.Size) * f.Count;
            ASSERT_LE(at + size, record.Size) << f.Name;
            for (size_t k = at; k < at + size; ++k) ++rows[k];
        }
        for (size_t k = 0; k < record.Size; ++k)
            EXPECT_EQ(rows[k], padding[k] ? 1 : 0) << "byte " << k;
    }
    console_shut_down();
}

// What lies at each place of a state, by name, and the hash of the whole list
// that the exactness check compares.
TEST_F(Console, NamesTheFieldAtEachPlaceOfAState) {
    load(std::string(QEL_ROMS_DIR) + "/demo.nes");
    run_frames(1, 3, nullptr);
    const std::vector<uint8_t> state = take_state();
    // {place, name}
    const std::tuple<size_t, const char*> places[] = {
        {0, "the header"},
        {StateHeaderSize, "CPU.A"},
        {offset_of("PpuRegisters.VramAddress") + 1, "PpuRegisters.VramAddress"},
        {offset_of("CpuRam") + 0x123, "CpuRam[0x0123]"},
        {offset_of("SoundClock.Length") + 2, "SoundClock.Length[2]"},
        {offset_of("MapperRegisters.Chr") + 5, "MapperRegisters.Chr[2]"},
        {state.size() - 4, "the checksum"},
        {state.size(), "past the end"},
    };
    for (auto [at, want] : places) {
        char name[64];
        state_field_name_at(at, name, sizeof name);
        EXPECT_STREQ(name, want);
    }
    const uint32_t hash = state_hash();
    EXPECT_EQ(hash, crc32(state.data() + StateHeaderSize, state.size() - StateHeaderSize - 4));
    run_frames(4, 1, nullptr);
    EXPECT_NE(state_hash(), hash);
}

// The ring holds at most its count of states and its bytes of differences
// (plus the newest state whole), dropping the oldest; stepping back gives
// each state as it was pushed.
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
