// The archive reader: libarchive does the formats; here is which entry is
// the cartridge and the limits on what is read.
#include "cart/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Entries looked at before the archive is refused: a cartridge archive holds
// a few files, not thousands.
constexpr int kMaxEntries = 4096;

char Failure[160];

bool ends_with_nes(const char* name) {
    const size_t n = std::strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".nes") == 0;
}

const char* base_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void copy_name(char* to, size_t size, const char* from, size_t length) {
    if (size == 0) return;
    if (length >= size) length = size - 1;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

struct Reader {
    archive* a;
    ~Reader() {
        if (a) archive_read_free(a);
    }
};

// Reads the current entry's data, at most max_size bytes; false when it is
// larger or damaged (Failure says which).
bool read_entry(archive* a, size_t max_size, uint8_t** out, size_t* out_size) {
    size_t capacity = 65536, used = 0;
    uint8_t* block = static_cast<uint8_t*>(std::malloc(capacity));
    if (!block) {
        std::snprintf(Failure, sizeof Failure, "not enough memory to read the archive");
        return false;
    }
    for (;;) {
        if (used == capacity) {
            if (capacity > max_size) {
                std::free(block);
                std::snprintf(Failure, sizeof Failure,
                              "the .nes file in the archive is larger than %zu MB", max_size >> 20);
                return false;
            }
            uint8_t* grown = static_cast<uint8_t*>(std::realloc(block, capacity * 2));
            if (!grown) {
                std::free(block);
                std::snprintf(Failure, sizeof Failure, "not enough memory to read the archive");
                return false;
            }
            block = grown;
            capacity *= 2;
        }
        const la_ssize_t n = archive_read_data(a, block + used, capacity - used);
        if (n < 0) {
            std::free(block);
            std::snprintf(Failure, sizeof Failure, "the archive is damaged: %s",
                          archive_error_string(a) ? archive_error_string(a) : "read error");
            return false;
        }
        if (n == 0) break;
        used += size_t(n);
    }
    if (used > max_size) {
        std::free(block);
        std::snprintf(Failure, sizeof Failure, "the .nes file in the archive is larger than %zu MB",
                      max_size >> 20);
        return false;
    }
    *out = block;
    *out_size = used;
    return true;
}

}  // namespace

bool is_archive(const uint8_t* p, size_t size) {
    if (size >= 4 && p[0] == 'P' && p[1] == 'K' && p[2] == 3 && p[3] == 4) return true;
    if (size >= 4 && p[0] == 'P' && p[1] == 'K' && p[2] == 5 && p[3] == 6)
        return true;  // empty zip
    if (size >= 6 && std::memcmp(p, "7z\xBC\xAF\x27\x1C", 6) == 0) return true;
    return size >= 2 && p[0] == 0x1F && p[1] == 0x8B;
}

const char* read_archive_cartridge(const char* path, const uint8_t* bytes, size_t size,
                                   const char* display_name, size_t max_size, uint8_t** out,
                                   size_t* out_size, char* name, size_t name_size) {
    *out = nullptr;
    *out_size = 0;
    // A .gz is one compressed stream: the raw format shows it as one entry.
    uint8_t first[2] = {0, 0};
    if (path) {
        FILE* f = std::fopen(path, "rb");
        if (f) {
            if (std::fread(first, 1, 2, f) != 2) first[0] = 0;
            std::fclose(f);
        }
    } else if (size >= 2) {
        first[0] = bytes[0];
        first[1] = bytes[1];
    }
    const bool gzip = first[0] == 0x1F && first[1] == 0x8B;
    Reader r{archive_read_new()};
    if (!r.a) return "not enough memory to read the archive";
    if (gzip) {
        archive_read_support_filter_gzip(r.a);
        archive_read_support_format_raw(r.a);
    } else {
        archive_read_support_filter_all(r.a);
        archive_read_support_format_zip(r.a);
        archive_read_support_format_7zip(r.a);
    }
    const int opened = path ? archive_read_open_filename(r.a, path, 65536)
                            : archive_read_open_memory(r.a, bytes, size);
    if (opened != ARCHIVE_OK) {
        std::snprintf(Failure, sizeof Failure, "the archive cannot be read: %s",
                      archive_error_string(r.a) ? archive_error_string(r.a) : "unknown format");
        return Failure;
    }
    uint8_t* found = nullptr;
    size_t found_size = 0;
    int entries = 0;
    archive_entry* entry;
    for (;;) {
        const int got = archive_read_next_header(r.a, &entry);
        if (got == ARCHIVE_EOF) break;
        if (got != ARCHIVE_OK && got != ARCHIVE_WARN) {
            std::free(found);
            std::snprintf(Failure, sizeof Failure, "the archive is damaged: %s",
                          archive_error_string(r.a) ? archive_error_string(r.a) : "bad entry");
            return Failure;
        }
        if (++entries > kMaxEntries) {
            std::free(found);
            return "the archive holds too many files to look through";
        }
        const char* entry_name = archive_entry_pathname(entry);
        if (!gzip && (archive_entry_filetype(entry) != AE_IFREG || !entry_name ||
                      !ends_with_nes(entry_name)))
            continue;
        if (found) {
            std::free(found);
            return "the archive holds several .nes files; it must hold one";
        }
        if (archive_entry_size_is_set(entry) && size_t(archive_entry_size(entry)) > max_size) {
            std::snprintf(Failure, sizeof Failure,
                          "the .nes file in the archive is larger than %zu MB", max_size >> 20);
            return Failure;
        }
        if (!read_entry(r.a, max_size, &found, &found_size)) return Failure;
        if (gzip) {
            // The .nes is named after the archive: game.nes.gz holds game.nes.
            const char* outer = base_of(path           ? path
                                        : display_name ? display_name
                                                       : "cartridge.nes.gz");
            size_t n = std::strlen(outer);
            if (n > 3 && strcasecmp(outer + n - 3, ".gz") == 0) n -= 3;
            copy_name(name, name_size, outer, n);
            break;
        }
        const char* inner = base_of(entry_name);
        copy_name(name, name_size, inner, std::strlen(inner));
    }
    if (!found) return "the archive holds no .nes file";
    *out = found;
    *out_size = found_size;
    return nullptr;
}
