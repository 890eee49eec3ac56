// The console as a whole: the one header that drives the machine. The desktop
// app, qel-run, the benchmarks and the tests of whole frames use these free
// functions and nothing else of the machine; there is one machine per process.
//
// Functions that can fail return null on success, else why not in one short
// sentence (valid until the next call of the same kind).
//
// A session: console_power_up, console_load_cartridge, then per frame
// console_set_pad, console_run_frame, console_picture and console_samples;
// at the end console_shut_down.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- power, cartridge, reset ----

// Sets the picture surfaces up and powers the machine up without a cartridge:
// it comes up halted (frames do nothing, the sound is silence).
void console_power_up();
// Frees the memories and the cartridge; console_power_up may follow.
void console_shut_down();
// Between console_power_up and console_shut_down.
bool console_powered();

// Chooses the cartridge file for the next console_load_cartridge. A path too
// long to keep is refused (false) and the previous choice stays.
bool console_choose_cartridge(const char* path);
// The file chosen last; empty when none.
const char* console_cartridge_file();
// Loads the chosen file and starts it from its reset. The file is checked
// whole first: a refused one leaves the running cartridge running exactly as
// it was (and the chosen file its own again), or a halted machine halted. The
// machine's memories keep what the previous cartridge left.
// The file may be a .nes, or a .zip, .7z or .gz holding one .nes.
const char* console_load_cartridge();
// Loads an iNES image handed over in memory (a frontend that reads the file
// itself), with the same checks and reasons as a file.
const char* console_load_cartridge_image(const uint8_t* bytes, size_t size);
// The .nes file the cartridge loaded last came from: the chosen file, or the
// one inside the chosen archive (without its folders). Battery saves and
// states are named after it. Empty for an image handed over in memory.
const char* console_cartridge_name();
// What the player should know about the cartridge loaded last ("the
// cartridge was made for PAL consoles; it runs at NTSC timing"); empty when
// nothing.
const char* console_cartridge_news();
// Halts the machine (frames do nothing) until the next successful load.
void console_halt();
// Whether a cartridge runs (the machine is not halted).
bool console_running();
// The console's reset button: the CPU restarts at its reset vector, the sound
// channels are cleared; memories and picture registers stay.
void console_reset();
// Whether the cartridge's header has the battery flag (byte 6 bit 1): its save
// RAM is meant to be kept between runs.
bool console_has_battery();
// CRC-32 of the cartridge's PRG image followed by its CHR image.
uint32_t console_cartridge_checksum();

// ---- frames ----

// The pad's buttons, one bit each.
constexpr uint32_t ConsolePadA = 0x01;
constexpr uint32_t ConsolePadB = 0x02;
constexpr uint32_t ConsolePadSelect = 0x04;
constexpr uint32_t ConsolePadStart = 0x08;
constexpr uint32_t ConsolePadUp = 0x10;
constexpr uint32_t ConsolePadDown = 0x20;
constexpr uint32_t ConsolePadLeft = 0x40;
constexpr uint32_t ConsolePadRight = 0x80;
// The pad for the frames that follow: the ConsolePad bits of the buttons held.
void console_set_pad(uint32_t bits);
// The second pad ($4017), the same bits; the strobe of $4016 serves both.
void console_set_pad2(uint32_t bits);
// Runs one whole frame: the machine's frame, the sprites composited over the
// picture, and the frame's sound (silence while halted). Returns 0, or -1 when
// the CPU stopped at an opcode it cannot run (console_error_code tells it).
int32_t console_run_frame();
// The opcode the CPU stopped at.
uint8_t console_error_code();

// The turbo rule of every frontend, once a frame for each turbo button: held,
// it presses its button in the first frame of the hold and then every fourth
// frame. count is the button's own (0 at the start; the rule keeps it).
bool console_turbo(bool held, int32_t& count);

constexpr int32_t ConsolePictureWidth = 256;
constexpr int32_t ConsolePictureHeight = 240;
// The finished picture: 240 rows of 256 pixels in XRGB8888 (0xXXRRGGBB, as
// libretro takes it: bits 24-31 are no colour, the renderer keeps its marks
// there), rows console_picture_pitch() pixels apart. A frontend shows it as it
// is, without a copy; one whose format wants those bits (Qt's RGB32 wants
// 0xFF) sets them as it converts. It keeps the last frame's content while halted.
const uint32_t* console_picture();
int32_t console_picture_pitch();

constexpr uint32_t ConsoleSamplesPerFrame = 735;
// The last frame's 735 unsigned 8-bit samples at 44100 Hz; 0x80 is silence.
const uint8_t* console_samples();
// The same frame's sound as 735 signed 16-bit samples, rounded once from the
// mix (the 8-bit ones are these rounded again); 0 is silence.
const int16_t* console_samples16();

// FNV-1a hashes of the picture, of the memories (work RAM, save RAM, picture
// memory, sprite memory), and of the CPU and picture registers.
struct ConsoleHashes {
    uint64_t Picture, Memory, Registers;
};
ConsoleHashes console_hashes();

// ---- work RAM ($0000-$07FF), for cheats and achievements ----

constexpr size_t ConsoleSystemRamSize = 2048;
uint8_t* console_system_ram();

// ---- save RAM ($6000-$7FFF) ----

constexpr size_t ConsoleSaveRamSize = 8192;
// The save RAM in place (null before power-up).
uint8_t* console_save_ram();
// Reads a battery save: exactly ConsoleSaveRamSize bytes, or nothing changes.
const char* console_read_save_ram_file(const char* path);
// Writes the save RAM to path atomically (a temporary file renamed into place).
const char* console_write_save_ram_file(const char* path);
// Writes any bytes to path the same way: the file is the old one or the whole
// new one. Safe from a frontend's worker thread.
const char* console_write_file(const char* path, const uint8_t* bytes, size_t size);

// ---- states ----

// Bytes of one state.
size_t console_state_size();
// Writes the whole machine into buffer (console_state_size() bytes). Only a
// running machine has a state.
const char* console_save_state(uint8_t* buffer, size_t size);
// Loads a state made by console_save_state for the same cartridge. A state
// that is short, damaged, of another format version, for another cartridge or
// holding impossible values is refused and the machine stays exactly as it was.
const char* console_load_state(const uint8_t* buffer, size_t size);
// The same through a file; writing goes through a temporary file renamed into
// place, so a crash never leaves half a state.
const char* console_save_state_file(const char* path);
const char* console_load_state_file(const char* path);

// ---- shortcuts ----

// Whether budgets the CPU would spend in a wait loop or a steady main loop are
// charged without running every instruction, and bank copies of what a slot
// already holds are skipped (on at start). Nothing a frame shows, keeps or
// plays depends on it; off is slower. Between frames only.
void console_set_shortcuts(bool on);
// Whether tiles and sprite rows decode with byte shuffles (where the processor
// has them) and lines of one tile are refilled from the frame before (on at
// start). Nothing a frame shows depends on it. Between frames only.
void console_set_simd(bool on);
