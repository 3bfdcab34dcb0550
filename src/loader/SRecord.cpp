#include "loader/SRecord.h"

#include <cstdio>
#include <memory>

namespace quennet {

namespace {

constexpr std::uint8_t kLf = '\n';
constexpr std::uint8_t kCr = '\r';

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Hands out a file line by line through a fixed buffer. The file is read in
// binary and CR LF is folded here, so both line ends behave alike on every
// system. A line is never read past its buffer: one longer than any record
// is reported as such instead of being split.
class LineReader {
public:
    enum class Result { Line, End, TooLong, ReadError };

    explicit LineReader(std::FILE* file) : file_(file) {}

    // Reads the first chunk. False when the file cannot be read at all (a
    // directory, for example), so the caller can fail before touching the image.
    bool Start() {
        Refill();
        return !error_;
    }

    // The next line without its line end in line[0 .. length).
    Result Next(std::uint8_t* line, std::size_t capacity, std::size_t& length) {
        length = 0;
        int c = Get();
        if (c == kEof) return error_ ? Result::ReadError : Result::End;
        while (c != kEof && c != kLf) {
            if (length == capacity) return Result::TooLong;
            line[length++] = static_cast<std::uint8_t>(c);
            c = Get();
        }
        if (error_) return Result::ReadError;
        if (length > 0 && line[length - 1] == kCr) --length;
        return Result::Line;
    }

private:
    static constexpr int kEof = -1;

    int Get() {
        if (pos_ == fill_) {
            if (error_ || std::feof(file_)) return kEof;
            Refill();
            if (fill_ == 0) return kEof;
        }
        return chunk_[pos_++];
    }

    void Refill() {
        pos_ = 0;
        fill_ = std::fread(chunk_, 1, sizeof chunk_, file_);
        if (std::ferror(file_)) error_ = true;
    }

    std::FILE* file_;
    std::uint8_t chunk_[4096];
    std::size_t pos_ = 0;
    std::size_t fill_ = 0;
    bool error_ = false;
};

// Stores the data bytes of a checked record from `first` to count - 1 at
// offset, offset + 1, ... Each byte is bound-tested before it is stored.
bool StoreData(FirmwareImage& image, const std::uint8_t* record, std::size_t first,
               std::uint32_t offset) {
    const std::size_t count = record[0];
    for (std::size_t i = first; i < count; ++i, ++offset) {
        if (offset >= FirmwareImage::kSize) return false;
        image[offset] = record[i];
    }
    return true;
}

}  // namespace

std::uint8_t HexDigitValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') return static_cast<std::uint8_t>(u - '0');
    return static_cast<std::uint8_t>(u - 0x41 + 10);
}

std::size_t DecodeHexPairs(std::uint8_t* line, std::size_t length) {
    std::size_t out = 0;
    for (std::size_t in = 2; in + 1 < length; in += 2) {
        const std::uint8_t hi = line[in];
        const std::uint8_t lo = line[in + 1];
        if (hi == kLf || hi == 0 || lo == kLf || lo == 0) break;
        line[out++] = static_cast<std::uint8_t>(
            HexDigitValue(static_cast<char>(hi)) * 16 + HexDigitValue(static_cast<char>(lo)));
    }
    return out;
}

int CheckRecordSum(const std::uint8_t* record, std::size_t decoded) {
    if (decoded == 0) return 1;
    const std::size_t count = record[0];
    if (count >= decoded) return 1;  // the checksum byte was never decoded
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + record[i]);
    return static_cast<std::uint8_t>(~sum) == record[count] ? 0 : 1;
}

int LoadSRecordFile(const std::string& path, FirmwareImage& image) {
    FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) return kSRecCannotOpen;
    LineReader reader(file.get());
    if (!reader.Start()) return kSRecCannotOpen;

    image.Erase();

    // One extra place for the CR of a longest record ending in CR LF.
    std::uint8_t line[kSRecMaxLineChars + 1];
    for (;;) {
        std::size_t length = 0;
        switch (reader.Next(line, sizeof line, length)) {
        case LineReader::Result::End: return kSRecOk;
        case LineReader::Result::ReadError: return kSRecCannotOpen;
        case LineReader::Result::TooLong: return kSRecNotARecord;
        case LineReader::Result::Line: break;
        }
        if (length > kSRecMaxLineChars) return kSRecNotARecord;
        if (length == 0 || line[0] != 'S') return kSRecNotARecord;
        const std::uint8_t type = length > 1 ? line[1] : 0;

        if (type == '0') {
            const std::size_t n = DecodeHexPairs(line, length);
            if (CheckRecordSum(line, n) != 0) return kSRecS0Checksum;
        } else if (type == '1') {
            const std::size_t n = DecodeHexPairs(line, length);
            if (CheckRecordSum(line, n) != 0) return kSRecS1Checksum;
            // A count below 3 leaves no room for data (nor a whole address).
            if (line[0] > 3) {
                const std::uint32_t address = (std::uint32_t{line[1]} << 8) | line[2];
                if (!StoreData(image, line, 3, address)) return kSRecOutsideImage;
            }
        } else if (type == '3') {
            const std::size_t n = DecodeHexPairs(line, length);
            if (CheckRecordSum(line, n) != 0) return kSRecS3Checksum;
            if (line[0] > 5) {
                const std::uint32_t address = (std::uint32_t{line[1]} << 24) |
                                              (std::uint32_t{line[2]} << 16) |
                                              (std::uint32_t{line[3]} << 8) | line[4];
                // Below flash start wraps to a huge offset and fails the bound test.
                if (!StoreData(image, line, 5, address - kStm32FlashBase)) return kSRecOutsideImage;
            }
        }
        // Any other type (S2, S5, S7, S8, S9, ...) is skipped unchecked; an
        // end record does not end the reading.
    }
}

}  // namespace quennet
