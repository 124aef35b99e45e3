// The size of a JPEG or PNG file, and whether its EXIF orientation turns it a
// quarter, read from the file's header alone, with no Python involved.
//
// The answer must be the one Pillow's Image.open and getexif() give, so the
// reader accepts only files it can decide exactly: every segment or chunk that
// Pillow's open reads is within the file and well formed, the EXIF block
// parses without a warning, nothing else may carry an orientation. Anything
// else (another format, an odd header, a truncated file, XMP that may name an
// orientation) is left undecided, for the caller to hand to Pillow. Reads are
// bounded by the file's size; the whole file is never read.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace image_header {

struct ShownSize {
    uint32_t width, height;  // as stored
    bool quarter_turned;     // shown with width and height exchanged
};

namespace detail {

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline bool starts_with(const std::vector<uint8_t>& s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// Exact reads at offsets of a regular file of known size.
class File {
public:
    explicit File(int fd) : fd_(fd) {
        struct stat status;
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) size_ = static_cast<uint64_t>(status.st_size);
    }
    uint64_t size() const { return size_; }
    bool read(uint64_t at, void* out, size_t n) const {
        if (at > size_ || n > size_ - at) return false;
        auto* dst = static_cast<uint8_t*>(out);
        while (n > 0) {
            const ssize_t got = pread(fd_, dst, n, static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            dst += got;
            at += static_cast<uint64_t>(got);
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    bool read(uint64_t at, std::vector<uint8_t>& out, size_t n) const {
        out.resize(n);
        return read(at, out.data(), n);
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

// ---- EXIF ---------------------------------------------------------------------------

enum class Exif { Broken, NoOrientation, Upright, QuarterTurned };

constexpr uint16_t kOrientation = 0x0112, kXResolution = 0x011A, kResolutionUnit = 0x0128;

// Bytes per value of a TIFF field type; 0 for a type this reader does not take.
inline uint64_t unit_size(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

// The first directory of a TIFF block as Pillow loads it: the first entry of
// each tag wins, empty values are skipped, and every value stored apart must
// lie within the block (else Pillow warns). The tags the open itself reads
// (resolution, unit) and the orientation must have their usual shape.
inline Exif read_tiff_orientation(const uint8_t* tiff, size_t size) {
    if (size < 8) return Exif::Broken;
    const bool little = std::memcmp(tiff, "II*\0", 4) == 0;
    if (!little && std::memcmp(tiff, "MM\0*", 4) != 0) return Exif::Broken;
    auto u16 = [&](size_t at) { return little ? static_cast<uint16_t>(tiff[at] | tiff[at + 1] << 8) : be16(tiff + at); };
    auto u32 = [&](size_t at) {
        return little ? static_cast<uint32_t>(u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16) : be32(tiff + at);
    };
    const uint64_t ifd = u32(4);
    if (ifd + 2 > size) return Exif::Broken;
    const uint64_t count = u16(ifd);
    if (ifd + 2 + 12 * count + 4 > size) return Exif::Broken;
    std::vector<uint16_t> seen;
    uint64_t apart = 0;
    Exif found = Exif::NoOrientation;
    for (uint64_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        const uint16_t tag = u16(entry), type = u16(entry + 2);
        const uint32_t values = u32(entry + 4);
        if (std::find(seen.begin(), seen.end(), tag) != seen.end()) continue;
        const uint64_t unit = unit_size(type);
        if (unit == 0) return Exif::Broken;
        const uint64_t bytes = unit * values;
        if (bytes > 4) {
            apart += bytes;
            if (apart > size || u32(entry + 8) + bytes > size) return Exif::Broken;
        }
        if (bytes == 0) continue;
        seen.push_back(tag);
        const bool single_short = type == 3 && values == 1;
        if (tag == kOrientation) {
            if (!single_short) return Exif::Broken;
            const uint16_t value = u16(entry + 8);
            found = value >= 5 && value <= 8 ? Exif::QuarterTurned : Exif::Upright;
        } else if ((tag == kResolutionUnit && !single_short) || (tag == kXResolution && !(type == 5 && values == 1))) {
            return Exif::Broken;
        }
    }
    return found;
}

// ---- JPEG ---------------------------------------------------------------------------

inline bool is_frame_marker(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// Quantization tables as Pillow's open checks them: each whole, of 8- or 16-bit values.
inline bool tables_whole(const std::vector<uint8_t>& s) {
    for (size_t at = 0; at < s.size();) {
        const size_t length = 1 + (s[at] >> 4 == 0 ? 64 : 128);
        if (s.size() - at < length) return false;
        at += length;
    }
    return true;
}

inline std::optional<ShownSize> read_jpeg(const File& file, bool want_orientation) {
    constexpr std::string_view kJfif = "JFIF", kExif{"Exif\0\0", 6}, kMpf{"MPF\0", 4},
                               kXmp{"http://ns.adobe.com/xap/1.0/\0", 29}, kIcc{"ICC_PROFILE\0", 12},
                               kPhotoshop{"Photoshop 3.0\0", 14}, kAdobe = "Adobe";
    std::optional<ShownSize> frame;
    Exif exif = Exif::NoOrientation;
    bool exif_seen = false, xmp_seen = false;
    std::vector<uint8_t> s;
    uint64_t at = 2;  // the 0xFF that starts the first marker after SOI
    for (;;) {
        uint8_t marker = 0xFF;
        if (!file.read(at, &marker, 1) || marker != 0xFF) return std::nullopt;
        while (marker == 0xFF) {  // fill bytes
            if (!file.read(++at, &marker, 1)) return std::nullopt;
        }
        uint8_t length_bytes[2];
        if (!file.read(at + 1, length_bytes, 2)) return std::nullopt;
        const uint64_t length = be16(length_bytes);
        const uint64_t start = at + 3;
        if (length < 2 || start + length - 2 > file.size()) return std::nullopt;
        const size_t n = length - 2;
        at = start + n;
        if (is_frame_marker(marker)) {
            if (frame || n < 6 || (n - 6) % 3 != 0 || !file.read(start, s, 6)) return std::nullopt;
            const uint8_t layers = s[5];
            const uint16_t height = be16(&s[1]), width = be16(&s[3]);
            if (s[0] != 8 || !(layers == 1 || layers == 3 || layers == 4) || width == 0 || height == 0)
                return std::nullopt;
            frame = ShownSize{width, height, false};
        } else if (marker == 0xDB) {
            if (!file.read(start, s, n) || !tables_whole(s)) return std::nullopt;
        } else if (marker >= 0xE0 && marker <= 0xEF) {
            if (!file.read(start, s, n < kXmp.size() ? n : kXmp.size())) return std::nullopt;
            if (marker == 0xE0 && starts_with(s, kJfif)) {
                if (n < 7) return std::nullopt;  // the version Pillow reads
            } else if (marker == 0xE1 && starts_with(s, kExif)) {
                if (exif_seen || n == kExif.size() || !file.read(start, s, n)) return std::nullopt;
                exif_seen = true;
                exif = read_tiff_orientation(s.data() + kExif.size(), n - kExif.size());
                if (exif == Exif::Broken) return std::nullopt;
            } else if (marker == 0xE1 && starts_with(s, kXmp)) {
                xmp_seen = true;
            } else if (marker == 0xE2 && (starts_with(s, kMpf) || (starts_with(s, kIcc) && n < 14))) {
                return std::nullopt;  // a multi-picture file, or a profile piece without its sequence bytes
            } else if (marker == 0xED && starts_with(s, kPhotoshop)) {
                return std::nullopt;
            } else if (marker == 0xEE && starts_with(s, kAdobe) && n < 7) {
                return std::nullopt;
            }
        } else if (marker == 0xDA) {  // start of scan: Pillow's open ends here
            if (!frame) return std::nullopt;
            if (exif == Exif::NoOrientation && want_orientation && xmp_seen) return std::nullopt;
            frame->quarter_turned = want_orientation && exif == Exif::QuarterTurned;
            return frame;
        } else if (!(marker == 0xC4 || marker == 0xCC || marker == 0xDD || marker == 0xFE)) {
            return std::nullopt;
        }
    }
}

// ---- PNG ----------------------------------------------------------------------------

inline uint32_t crc32(uint32_t crc, const uint8_t* data, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

inline bool is_kind(const uint8_t* kind, std::string_view name) { return std::memcmp(kind, name.data(), 4) == 0; }

// Chunks before the pixels that Pillow's open reads without a check of its
// own (their CRC aside), or whose check is the length below.
inline bool chunk_ok(const uint8_t* kind, size_t length, uint8_t depth, uint8_t colour) {
    for (std::string_view plain : {"PLTE", "bKGD", "tIME", "sBIT", "hIST", "sPLT", "cICP", "cLLI", "mDCV"})
        if (is_kind(kind, plain)) return true;
    if (is_kind(kind, "gAMA")) return length >= 4;
    if (is_kind(kind, "cHRM")) return length >= 32;
    if (is_kind(kind, "sRGB")) return length >= 1;
    if (is_kind(kind, "pHYs")) return length >= 9;
    if (is_kind(kind, "tRNS")) {
        if (colour == 3) return true;
        if (colour == 0) return length >= 2;
        if (colour == 2) return length >= 6;
        return true;  // with alpha: Pillow's open does not read it
    }
    return false;
}

inline bool valid_png_mode(uint8_t depth, uint8_t colour) {
    switch (colour) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2: case 4: case 6: return depth == 8 || depth == 16;
        default: return false;
    }
}

// Whether a chunk from `at` on may hold an orientation getexif() reads: an eXIf
// chunk, or a text chunk whose keyword (its first 80 bytes) names EXIF or XMP.
inline bool may_carry_orientation(const File& file, uint64_t at) {
    uint8_t head[8];
    while (file.read(at, head, 8)) {
        const uint64_t length = be32(head);
        const uint8_t* kind = head + 4;
        if (is_kind(kind, "eXIf")) return true;
        if (is_kind(kind, "tEXt") || is_kind(kind, "zTXt") || is_kind(kind, "iTXt")) {
            uint8_t keyword[80];
            size_t n = length < 80 ? length : 80;
            const uint64_t available = file.size() - (at + 8);
            if (n > available) n = available;
            if (!file.read(at + 8, keyword, n)) return true;
            for (size_t i = 0; i < n; ++i) keyword[i] = static_cast<uint8_t>(std::tolower(keyword[i]));
            const std::string_view text(reinterpret_cast<const char*>(keyword), n);
            if (text.find("exif") != text.npos || text.find("xmp") != text.npos) return true;
        }
        if (is_kind(kind, "IEND")) break;
        at += 8 + length + 4;
    }
    return false;
}

constexpr size_t kLargestHeadChunk = 1 << 16;  // more is not what the chunks above hold

inline std::optional<ShownSize> read_png(const File& file, bool want_orientation) {
    std::vector<uint8_t> data;
    uint8_t head[8];
    uint64_t at = 8;
    std::optional<ShownSize> size;
    uint8_t depth = 0, colour = 0;
    for (;;) {
        if (!file.read(at, head, 8)) return std::nullopt;
        const uint64_t length = be32(head);
        const uint8_t* kind = head + 4;
        if (is_kind(kind, "IDAT")) break;
        const bool header = is_kind(kind, "IHDR");
        if (header != !size || length > kLargestHeadChunk) return std::nullopt;
        if (!header && !chunk_ok(kind, length, depth, colour)) return std::nullopt;
        if (!file.read(at + 4, data, 4 + length + 4)) return std::nullopt;  // kind, data, CRC
        if (crc32(0, data.data(), 4 + length) != be32(data.data() + 4 + length)) return std::nullopt;
        if (header) {
            const uint8_t* s = data.data() + 4;
            if (length < 13 || s[11] != 0) return std::nullopt;
            const uint32_t width = be32(s), height = be32(s + 4);
            depth = s[8];
            colour = s[9];
            if (!valid_png_mode(depth, colour) || width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
                return std::nullopt;
            size = ShownSize{width, height, false};
        }
        at += 8 + length + 4;
    }
    if (!size || (want_orientation && may_carry_orientation(file, at))) return std::nullopt;
    return size;
}

}  // namespace detail

// The stored size of the JPEG or PNG file open as `fd`, and whether it is shown
// turned a quarter (want_orientation false: not asked, and not read); nothing
// when Pillow must decide.
inline std::optional<ShownSize> read_shown_size(int fd, bool want_orientation) {
    const detail::File file(fd);
    uint8_t magic[8];
    if (!file.read(0, magic, sizeof magic)) return std::nullopt;
    if (std::memcmp(magic, "\xFF\xD8\xFF", 3) == 0) return detail::read_jpeg(file, want_orientation);
    if (std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) return detail::read_png(file, want_orientation);
    return std::nullopt;
}

}  // namespace image_header
