// Received bytes through the terminal's pump and view, with the display
// options the input picks (time stamps, hex with text, control marks,
// colours, UTF-8, wrapping), into the display's text model; the same chunks
// through a second view into a plain reference display held as a list of
// lines. Both must hold the same cells, lengths and rows after every tick.
#include <algorithm>

#include "FuzzCheck.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "terminal/ReceivePump.h"
#include "terminal/TerminalText.h"

namespace {

using namespace quennet;

// The display's operations done the plain way on a list of lines.
class ReferenceDisplay : public TerminalDisplay {
public:
    std::vector<CellString> lines{CellString()};
    std::size_t rowWidth = 0;

    void AppendText(std::string_view bytes) override {
        for (char c : bytes) lines.back().push_back(static_cast<unsigned char>(c));
    }
    void AppendCells(CellView cells) override { lines.back().append(cells); }
    void AppendLineBreak() override { lines.emplace_back(); }
    void AppendEmptyLine() override { lines.emplace_back(); }
    void DeleteLastChar() override {
        CellString& last = lines.back();
        if (last.empty()) {
            if (lines.size() > 1) lines.pop_back();
            return;
        }
        while (!last.empty()) {
            const bool joined = (last.back() & cell::kJoined) != 0;
            last.pop_back();
            if (!joined) break;
        }
    }
    std::size_t TextLength() const override {
        std::size_t n = 2 * (lines.size() - 1);
        for (const CellString& l : lines) n += l.size();
        return n;
    }
    std::size_t LastLineLength() const override { return lines.back().size(); }
    void TruncateLastLine(std::size_t n) override {
        if (n < lines.back().size()) lines.back().resize(n);
    }
    void RemoveFirstLine() override {
        CellString& first = lines.front();
        if (rowWidth > 0 && first.size() > rowWidth) {
            first.erase(0, FirstRow(first));
        } else if (lines.size() > 1) {
            lines.erase(lines.begin());
        } else {
            first.clear();
        }
    }
    void BeginUpdate() override {}
    void EndUpdate() override {}

    // The length of a line's first row: as many cells as fit, given back to
    // just after the last blank among them when the line goes on.
    std::size_t FirstRow(CellView line) const {
        if (rowWidth == 0 || line.size() <= rowWidth) return line.size();
        for (std::size_t i = rowWidth; i > 0; --i)
            if (cell::Code(line[i - 1]) == U' ') return i;
        return rowWidth;
    }
};

// A line for a message: the low byte of each cell.
std::string Narrow(CellView cells) {
    std::string out;
    for (Cell c : cells) out.push_back(static_cast<char>(cell::Code(c) & 0xFF));
    return out;
}

// A time of day that moves on at every reading, one per view.
TimeOfDayFn Ticking() {
    return [ms = std::uint32_t{0}]() mutable { return ms += 1237; };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const std::uint8_t pick = fuzz::Take<std::uint8_t>(input);
    ViewOptions options;
    options.hex = pick & 1;
    options.hexStyle = (pick & 2) ? HexStyle::Dump : HexStyle::Pairs;
    options.encoding = (pick & 4) ? TextEncoding::Utf8 : TextEncoding::Latin1;
    options.controlMarks = pick & 8;
    options.ansi = pick & 16;
    options.timestamps = pick & 32;
    const std::size_t rowWidth = (pick & 64) ? 1 + fuzz::Take<std::uint8_t>(input) % 100 : 0;
    const std::size_t limit = 1 + fuzz::Take<std::uint16_t>(input) % 2000;
    const std::size_t readLimit = 1 + fuzz::Take<std::uint8_t>(input) % 250;

    VirtualClock clock;
    SimLine line(clock);
    line.readChunkLimit = readLimit;
    ComPort port(SimDeviceFactory(line), clock);
    FUZZ_CHECK(port.ComOpen("ttyQ0", 115200, kFrameN81) == kComOk, "the port does not open");

    TerminalText model;
    model.SetRowWidth(rowWidth);
    ReferenceDisplay reference;
    reference.rowWidth = rowWidth;
    ReceiveView modelView(options, Ticking()), referenceView(options, Ticking());

    // Bursts separated by 0xFE 0xFE arrive in separate ticks.
    while (!input.empty()) {
        std::size_t n = 0;
        while (n < input.size() && !(input[n] == 0xFE && n + 1 < input.size() && input[n + 1] == 0xFE)) ++n;
        line.SendToPort(input.data(), n);
        input = input.subspan(std::min(input.size(), n + 2));
        clock.Advance(line.WireTimeUs(n) + 1000);

        std::vector<std::vector<std::uint8_t>> chunks;
        ReceivePump::Tick(port, model, modelView, limit,
                          [&](const std::uint8_t* bytes, std::size_t k) { chunks.emplace_back(bytes, bytes + k); });
        for (const auto& chunk : chunks) {
            while (reference.TextLength() > limit) {
                const std::size_t before = reference.TextLength();
                reference.RemoveFirstLine();
                if (reference.TextLength() >= before) break;
            }
            referenceView.Show(reference, chunk.data(), chunk.size());
        }

        FUZZ_CHECK(model.LineCount() == reference.lines.size(), "%zu lines, the reference %zu", model.LineCount(),
                   reference.lines.size());
        for (std::size_t i = 0; i < model.LineCount(); ++i)
            FUZZ_CHECK(model.Line(i) == reference.lines[i], "line %zu differs: \"%s\", the reference \"%s\"", i,
                       Narrow(model.Line(i)).c_str(), Narrow(reference.lines[i]).c_str());
        FUZZ_CHECK(model.TextLength() == reference.TextLength(), "length %zu, the reference %zu", model.TextLength(),
                   reference.TextLength());
        FUZZ_CHECK(model.LastLineLength() == reference.LastLineLength(), "last line %zu, the reference %zu",
                   model.LastLineLength(), reference.LastLineLength());
        // The rows, each the first row of what is left of its line.
        std::size_t r = 0;
        for (std::size_t i = 0; i < reference.lines.size(); ++i) {
            CellView rest = reference.lines[i];
            std::size_t start = 0;
            do {
                const std::size_t length = reference.FirstRow(rest);
                const TextRow row = model.Row(r++);
                FUZZ_CHECK(row.line == i && row.start == start && row.length == length,
                           "row %zu is %zu+%zu of line %zu, the reference %zu+%zu of line %zu", r - 1, row.start,
                           row.length, row.line, start, length, i);
                rest.remove_prefix(length);
                start += length;
            } while (!rest.empty());
        }
        FUZZ_CHECK(model.RowCount() == r, "%zu rows, the reference %zu", model.RowCount(), r);
    }
    line.SetPeer(nullptr);
    return 0;
}
