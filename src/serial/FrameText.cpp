#include "serial/FrameText.h"

#include <cctype>

namespace quennet {

namespace {

constexpr struct {
    char letter;
    Parity parity;
} kParityLetters[] = {{'N', Parity::None}, {'E', Parity::Even}, {'O', Parity::Odd},
                      {'M', Parity::Mark}, {'S', Parity::Space}};

constexpr struct {
    FlowControl flow;
    const char* name;
} kFlowNames[] = {{FlowControl::None, "None"},
                  {FlowControl::RtsCts, "RTS/CTS"},
                  {FlowControl::XonXoff, "XON/XOFF"}};

std::optional<Parity> ParityOf(char c) {
    const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& p : kParityLetters)
        if (p.letter == up) return p.parity;
    return std::nullopt;
}

}  // namespace

std::optional<Frame> ParseFrameText(std::string_view text) {
    std::string parts;
    for (char c : text)
        if (c != '-') parts += c;
    if (parts.size() != 3) return std::nullopt;
    // Bits first ("8N1") or parity first ("N81", from "N-8-1").
    const bool parityFirst = !std::isdigit(static_cast<unsigned char>(parts[0]));
    const char bits = parityFirst ? parts[1] : parts[0];
    const char letter = parityFirst ? parts[0] : parts[1];
    const char stop = parts[2];
    const std::optional<Parity> parity = ParityOf(letter);
    if (!parity || bits < '5' || bits > '8' || (stop != '1' && stop != '2')) return std::nullopt;
    Frame f;
    f.dataBits = bits - '0';
    f.parity = *parity;
    f.stopBits = stop - '0';
    return f;
}

std::string FrameText(const Frame& frame) {
    char letter = '?';
    for (const auto& p : kParityLetters)
        if (p.parity == frame.parity) letter = p.letter;
    return std::string{static_cast<char>('0' + frame.dataBits), letter,
                       static_cast<char>('0' + frame.stopBits)};
}

const char* FlowControlName(FlowControl flow) {
    for (const auto& f : kFlowNames)
        if (f.flow == flow) return f.name;
    return "None";
}

std::optional<FlowControl> ParseFlowControl(std::string_view name) {
    for (const auto& f : kFlowNames)
        if (name == f.name) return f.flow;
    return std::nullopt;
}

}  // namespace quennet
