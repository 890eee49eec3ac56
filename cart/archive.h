// Cartridges kept in archives: a .zip, .7z or .gz holding one .nes file.
#pragma once
#include <cstddef>
#include <cstdint>

// Whether the first bytes are those of a .zip, .7z or .gz file.
bool is_archive(const uint8_t* first, size_t size);

// Reads the one .nes file of the archive at path (or in memory: bytes, size;
// path then null) into a new heap block (*out, *out_size; free with
// std::free), and its name without folders into name. For a .gz the name is
// the archive's own without ".gz" (display_name gives it for an archive in
// memory; may be null). Returns null on success, else why not in one short
// sentence: no .nes, several, one over max_size bytes, a damaged archive.
const char* read_archive_cartridge(const char* path, const uint8_t* bytes, size_t size,
                                   const char* display_name, size_t max_size, uint8_t** out,
                                   size_t* out_size, char* name, size_t name_size);
