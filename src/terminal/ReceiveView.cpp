#include "terminal/ReceiveView.h"

#include <algorithm>
#include <cstdio>

#include "terminal/ReceivePump.h"

namespace quennet {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kMaxParam = 9999;
constexpr std::size_t kMaxParams = 32;

// Cells of an ASCII text, the first one beginning a group that a backspace
// takes whole.
void AppendGroup(CellString& out, std::string_view text, Cell look) {
    for (std::size_t i = 0; i < text.size(); ++i)
        out.push_back(static_cast<unsigned char>(text[i]) | look | (i > 0 ? cell::kJoined : 0));
}

void AppendAscii(CellString& out, std::string_view text) {
    for (char c : text) out.push_back(static_cast<unsigned char>(c));
}

}  // namespace

ReceiveView::ReceiveView(ViewOptions options, TimeOfDayFn clock) : options_(options), clock_(std::move(clock)) {}

void ReceiveView::SetOptions(const ViewOptions& options) {
    if (options == options_) return;
    options_ = options;
    out_.clear();
    look_ = 0;
    escape_ = Escape::None;
    utf8Have_ = utf8Need_ = 0;
    Restart();
}

void ReceiveView::Restart() {
    hidden_ = false;
    rowBytes_ = 0;
    rowShown_ = kNotShown;
    offset_ = 0;
}

bool ReceiveView::Seed() const {
    return !options_.controlMarks && !options_.ansi && !options_.timestamps &&
           options_.encoding == TextEncoding::Latin1;
}

const CellString& ReceiveView::Stamp() {
    if (!stampRead_) {
        stampRead_ = true;
        stamp_.clear();
        AppendGroup(stamp_, FormatTimeOfDay(clock_ ? clock_() : 0), cell::WithFg(cell::kDim));
    }
    return stamp_;
}

void ReceiveView::Show(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    if (bytes == nullptr || n == 0) return;
    stampRead_ = false;
    if (!options_.hex) {
        if (Seed())
            ReceivePump::ShowText(display, bytes, n);
        else
            ShowText(display, bytes, n);
    } else if (options_.hexStyle == HexStyle::Dump) {
        ShowDump(display, bytes, n);
    } else if (options_.timestamps) {
        ShowStampedPairs(display, bytes, n);
    } else {
        ReceivePump::ShowHex(display, bytes, n);
    }
}

// ---- text ----

void ReceiveView::ShowText(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    // As in the plain view, a NUL hides no further than its chunk.
    hidden_ = false;
    // Bytes that stand for a character of their own (printable ones, and
    // in Latin-1 the upper half) go to the segment a run at a time; the
    // others one by one.
    const std::uint8_t plainTop = options_.encoding == TextEncoding::Latin1 ? 0xFF : 0x7E;
    for (std::size_t i = 0; i < n;) {
        if (escape_ == Escape::None && utf8Need_ == 0 && !hidden_) {
            std::size_t j = i;
            while (j < n && bytes[j] >= 0x20 && bytes[j] <= plainTop && bytes[j] != 0x7F) ++j;
            if (j > i) {
                const std::size_t at = out_.size();
                out_.resize(at + (j - i));
                for (std::size_t k = i; k < j; ++k) out_[at + k - i] = bytes[k] | look_;
                i = j;
                continue;
            }
        }
        if (!options_.ansi || !TakeEscape(display, bytes[i])) TextByte(display, bytes[i]);
        ++i;
    }
    Flush(display);
}

// The escape sequences of the ANSI option: true when the byte belongs to one.
bool ReceiveView::TakeEscape(TerminalDisplay& display, std::uint8_t b) {
    switch (escape_) {
        case Escape::None:
            if (b != kEsc) return false;
            BreakUtf8();
            escape_ = Escape::Esc;
            sequenceLength_ = 1;
            return true;
        case Escape::Esc:
            if (b == '[') {
                escape_ = Escape::Csi;
                params_.clear();
                param_ = -1;
                sgrLike_ = true;
                ++sequenceLength_;
                return true;
            }
            // Not a control sequence: the ESC shows as any control byte
            // does, and this byte is taken afresh.
            escape_ = Escape::None;
            TextByte(display, kEsc);
            return TakeEscape(display, b);
        case Escape::Csi:
            break;
    }
    if (++sequenceLength_ > kMaxSequence) {
        // Garbage that never ends: drop what came and go on as text.
        escape_ = Escape::None;
        return false;
    }
    if (b >= '0' && b <= '9') {
        param_ = std::min(kMaxParam, std::max(param_, 0) * 10 + (b - '0'));
    } else if (b == ';' || b == ':') {
        if (params_.size() < kMaxParams) params_.push_back(std::max(param_, 0));
        param_ = -1;
    } else if (b >= 0x3C && b <= 0x3F) {
        sgrLike_ = false;  // a private marker
    } else if (b >= 0x20 && b <= 0x2F) {
        sgrLike_ = false;  // an intermediate byte
    } else if (b >= 0x40 && b <= 0x7E) {
        if (params_.size() < kMaxParams) params_.push_back(std::max(param_, 0));
        if (b == 'm' && sgrLike_) ApplySgr();
        escape_ = Escape::None;
    } else {
        // A control or 8-bit byte cannot be part of the sequence: it ends
        // it, and is shown.
        escape_ = Escape::None;
        return false;
    }
    return true;
}

void ReceiveView::ApplySgr() {
    for (std::size_t k = 0; k < params_.size(); ++k) {
        const int p = params_[k];
        if (p == 0) {
            look_ = 0;
        } else if (p == 1) {
            look_ |= cell::kBold;
        } else if (p == 22) {
            look_ &= ~cell::kBold;
        } else if ((p >= 30 && p <= 37) || p == 39 || (p >= 90 && p <= 97)) {
            const unsigned fg = p == 39 ? 0 : p < 90 ? static_cast<unsigned>(p - 30 + 1) : static_cast<unsigned>(p - 90 + 9);
            look_ = (look_ & ~cell::kFgMask) | cell::WithFg(fg);
        } else if ((p >= 40 && p <= 47) || p == 49) {
            const unsigned bg = p == 49 ? 0 : static_cast<unsigned>(p - 40 + 1);
            look_ = (look_ & ~cell::kBgMask) | cell::WithBg(bg);
        } else if ((p == 38 || p == 48) && k + 1 < params_.size()) {
            // 256-colour and RGB forms: their arguments are not codes.
            if (params_[k + 1] == 5) k += 2;
            else if (params_[k + 1] == 2) k += 4;
        }
    }
}

void ReceiveView::TextByte(TerminalDisplay& display, std::uint8_t b) {
    if (b == 0x0A || b == 0x0D || b == 0x08) {
        BreakUtf8();
        Flush(display);
        hidden_ = false;
        if (b == 0x0A) {
            // An empty line shows its time as well.
            if (options_.timestamps && display.LastLineLength() == 0) display.AppendCells(Stamp());
            display.AppendLineBreak();
        } else if (b == 0x08) {
            display.DeleteLastChar();
        }
        return;
    }
    if (hidden_) return;
    if (b == 0x00 && !options_.controlMarks) {
        BreakUtf8();
        hidden_ = true;
        return;
    }
    if (b < 0x20 || b == 0x7F) {
        BreakUtf8();
        Control(b);
    } else if (options_.encoding == TextEncoding::Utf8 && (b >= 0x80 || utf8Need_ > 0)) {
        Utf8Byte(b);
    } else {
        out_.push_back(b | look_);
    }
}

void ReceiveView::Control(std::uint8_t b) {
    if (!options_.controlMarks) {
        out_.push_back(b | look_);
        return;
    }
    const char mark[2] = {'^', static_cast<char>(b == 0x7F ? '?' : b + 0x40)};
    AppendGroup(out_, std::string_view(mark, 2), (look_ & cell::kBgMask) | cell::WithFg(cell::kDim));
}

void ReceiveView::Mark(std::uint8_t b) {
    const char mark[4] = {'<', kHexDigits[b >> 4], kHexDigits[b & 0x0F], '>'};
    AppendGroup(out_, std::string_view(mark, 4), (look_ & cell::kBgMask) | cell::WithFg(cell::kDim));
}

void ReceiveView::Utf8Byte(std::uint8_t b) {
    if (utf8Need_ > 0) {
        if ((b & 0xC0) == 0x80) {
            utf8_[utf8Have_++] = b;
            utf8Code_ = (utf8Code_ << 6) | (b & 0x3F);
            if (--utf8Need_ > 0) return;
            const char32_t c = utf8Code_;
            // Overlong forms, surrogates, code points past Unicode and the
            // C1 controls have no glyph: their bytes show as marks.
            if (c < utf8Min_ || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF || (c >= 0x80 && c < 0xA0)) {
                for (std::size_t i = 0; i < utf8Have_; ++i) Mark(utf8_[i]);
            } else {
                out_.push_back(c | look_);
            }
            utf8Have_ = 0;
            return;
        }
        BreakUtf8();
    }
    if (b < 0x80) {
        out_.push_back(b | look_);
        return;
    }
    if (b >= 0xC2 && b <= 0xDF) {
        utf8Need_ = 1, utf8Code_ = b & 0x1F, utf8Min_ = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        utf8Need_ = 2, utf8Code_ = b & 0x0F, utf8Min_ = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        utf8Need_ = 3, utf8Code_ = b & 0x07, utf8Min_ = 0x10000;
    } else {
        Mark(b);
        return;
    }
    utf8_[0] = b;
    utf8Have_ = 1;
}

// A character cut short: the bytes it had show as marks.
void ReceiveView::BreakUtf8() {
    for (std::size_t i = 0; i < utf8Have_; ++i) Mark(utf8_[i]);
    utf8Have_ = utf8Need_ = 0;
}

void ReceiveView::Flush(TerminalDisplay& display) {
    if (out_.empty()) return;
    // The time goes before the first character of a line.
    if (options_.timestamps && display.LastLineLength() == 0) out_.insert(0, Stamp());
    display.AppendCells(out_);
    out_.clear();
}

// ---- hex ----

// "XX " pairs, sixteen to a row, each row after its time stamp.
void ReceiveView::ShowStampedPairs(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    // Something else written on the row (an echo of sent hex) ends it.
    if (rowBytes_ > 0 && display.LastLineLength() != rowShown_) rowBytes_ = 0;
    CellString& cells = out_;
    cells.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (rowBytes_ == 0) {
            if (display.LastLineLength() != 0) display.AppendLineBreak();
            cells = Stamp();
        }
        const std::uint8_t b = bytes[i];
        cells.push_back(static_cast<unsigned char>(kHexDigits[b >> 4]));
        cells.push_back(static_cast<unsigned char>(kHexDigits[b & 0x0F]));
        cells.push_back(U' ');
        if (++rowBytes_ == kPairsRowBytes) {
            display.AppendCells(cells);
            cells.clear();
            display.AppendLineBreak();
            rowBytes_ = 0;
        }
    }
    display.AppendCells(cells);
    cells.clear();
    rowShown_ = display.LastLineLength();
}

namespace {

// Characters of a dump row of n bytes: offset, pairs (a gap after the
// first half of eight or more), the printable characters between bars.
std::size_t DumpRowLength(std::size_t n, bool timestamps) {
    return (timestamps ? kTimeStampLength : 0) + 10 + 3 * n + (n >= 8 ? 1 : 0) + 1 + n + 2;
}

}  // namespace

std::size_t ReceiveView::DumpRowBytes(std::size_t columns, bool timestamps) {
    if (columns == 0) return kDumpRowBytes;
    for (std::size_t n = kDumpRowBytes; n > kMinDumpRowBytes; n /= 2)
        if (DumpRowLength(n, timestamps) < columns) return n;
    return kMinDumpRowBytes;
}

void ReceiveView::ShowDump(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (rowBytes_ == 0) {
            rowStamp_ = options_.timestamps ? Stamp() : CellString();
            rowSize_ = DumpRowBytes(columns_, options_.timestamps);
        }
        row_[rowBytes_] = bytes[i];
        if (++rowBytes_ == rowSize_) {
            WriteDumpRow(display, true);
            offset_ += rowSize_;
            rowBytes_ = 0;
        }
    }
    if (rowBytes_ > 0) WriteDumpRow(display, false);
}

// "00000010  48 65 6C 6C 6F 0A 00 01  02 03 04 05 06 07 08 09  |Hello.........|":
// a row still being filled is written again as its bytes come.
void ReceiveView::WriteDumpRow(TerminalDisplay& display, bool complete) {
    if (rowShown_ != kNotShown && display.LastLineLength() == rowShown_)
        display.TruncateLastLine(0);
    else if (display.LastLineLength() != 0)
        display.AppendLineBreak();
    CellString& cells = out_;
    cells = rowStamp_;
    char offset[24];
    std::snprintf(offset, sizeof offset, "%08llX  ", static_cast<unsigned long long>(offset_));
    AppendAscii(cells, offset);
    for (std::size_t j = 0; j < rowSize_; ++j) {
        if (j < rowBytes_) {
            cells.push_back(static_cast<unsigned char>(kHexDigits[row_[j] >> 4]));
            cells.push_back(static_cast<unsigned char>(kHexDigits[row_[j] & 0x0F]));
            cells.push_back(U' ');
        } else {
            AppendAscii(cells, "   ");
        }
        if (rowSize_ >= 8 && j == rowSize_ / 2 - 1) cells.push_back(U' ');
    }
    AppendAscii(cells, " |");
    for (std::size_t j = 0; j < rowBytes_; ++j)
        cells.push_back(row_[j] >= 0x20 && row_[j] < 0x7F ? row_[j] : U'.');
    cells.push_back(U'|');
    display.AppendCells(cells);
    cells.clear();
    if (complete) {
        display.AppendLineBreak();
        rowShown_ = kNotShown;
    } else {
        rowShown_ = display.LastLineLength();
    }
}

}  // namespace quennet
