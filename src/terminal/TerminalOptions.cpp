#include "terminal/TerminalOptions.h"

#include <algorithm>

#include "core/IniFile.h"
#include "serial/FrameText.h"

namespace quennet {

namespace {

constexpr const char* kSection = "TerminalOptions";

// A stored choice among count; anything out of range is the first.
int StoredChoice(const IniFile& ini, const char* key, int count) {
    const long long index = ini.ReadInteger(kSection, key, 0);
    return index >= 0 && index < count ? static_cast<int>(index) : 0;
}

}  // namespace

int ScrollbackIndex(long long chars) {
    int index = 0;
    for (std::size_t i = 0; i < kScrollbackCount; ++i)
        if (kScrollbackChars[i] <= chars) index = static_cast<int>(i);
    return index;
}

TerminalOptions ReadTerminalOptions(const IniFile& ini) {
    TerminalOptions o;
    o.lineEnd = static_cast<LineEnd>(StoredChoice(ini, "LineEnd", 3));
    o.scrollback = kScrollbackChars[ScrollbackIndex(ini.ReadInteger(kSection, "Scrollback", kScrollbackChars[0]))];
    o.encoding = StoredChoice(ini, "Encoding", 2) == 1 ? TextEncoding::Utf8 : TextEncoding::Latin1;
    o.hexView = StoredChoice(ini, "HexView", 2) == 1 ? HexStyle::Dump : HexStyle::Pairs;
    o.inputLine = ini.ReadBool(kSection, "InputLine", false);
    o.timestamps = ini.ReadBool(kSection, "Timestamps", false);
    o.wrap = ini.ReadBool(kSection, "Wrap", false);
    o.controlMarks = ini.ReadBool(kSection, "ControlMarks", false);
    o.ansi = ini.ReadBool(kSection, "Ansi", false);
    o.counters = ini.ReadBool(kSection, "Counters", false);
    o.logTimestamps = ini.ReadBool(kSection, "LogTimestamps", false);
    o.localEcho = ini.ReadBool(kSection, "LocalEcho", false);
    o.breakMs = static_cast<int>(
        std::clamp<long long>(ini.ReadInteger(kSection, "BreakMs", kDefaultBreakMs), kMinBreakMs, kMaxBreakMs));
    o.flow = ParseFlowControl(ini.ReadString(kSection, "Flow", FlowControlName(FlowControl::None)))
                 .value_or(FlowControl::None);
    o.customFrame = ParseFrameText(ini.ReadString(kSection, "CustomFrame", "8N1")).value_or(Frame{});
    o.customFrame.flow = FlowControl::None;
    o.fkeys = ini.ReadBool(kSection, "FKeys", false);
    o.restoreButtons = ini.ReadBool(kSection, "RestoreButtons", false);
    return o;
}

void WriteTerminalOptions(IniFile& ini, const TerminalOptions& o) {
    ini.WriteInteger(kSection, "LineEnd", static_cast<int>(o.lineEnd));
    ini.WriteInteger(kSection, "Scrollback", o.scrollback);
    ini.WriteInteger(kSection, "Encoding", o.encoding == TextEncoding::Utf8 ? 1 : 0);
    ini.WriteInteger(kSection, "HexView", o.hexView == HexStyle::Dump ? 1 : 0);
    ini.WriteBool(kSection, "InputLine", o.inputLine);
    ini.WriteBool(kSection, "Timestamps", o.timestamps);
    ini.WriteBool(kSection, "Wrap", o.wrap);
    ini.WriteBool(kSection, "ControlMarks", o.controlMarks);
    ini.WriteBool(kSection, "Ansi", o.ansi);
    ini.WriteBool(kSection, "Counters", o.counters);
    ini.WriteBool(kSection, "LogTimestamps", o.logTimestamps);
    ini.WriteBool(kSection, "LocalEcho", o.localEcho);
    ini.WriteInteger(kSection, "BreakMs", o.breakMs);
    ini.WriteString(kSection, "Flow", FlowControlName(o.flow));
    ini.WriteString(kSection, "CustomFrame", FrameText(o.customFrame));
    ini.WriteBool(kSection, "FKeys", o.fkeys);
    ini.WriteBool(kSection, "RestoreButtons", o.restoreButtons);
}

}  // namespace quennet
