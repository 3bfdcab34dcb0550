#include "loader/Stm32UniqueId.h"

#include <cstdio>

#include "loader/Stm32Boot.h"

namespace quennet {

namespace {

struct UidPlace {
    std::uint16_t productId;
    std::uint32_t address;
};

constexpr UidPlace kUidPlaces[] = {
    // F0 and F3
    {0x440, 0x1FFFF7AC}, {0x442, 0x1FFFF7AC}, {0x444, 0x1FFFF7AC}, {0x445, 0x1FFFF7AC}, {0x448, 0x1FFFF7AC},
    {0x422, 0x1FFFF7AC}, {0x432, 0x1FFFF7AC}, {0x438, 0x1FFFF7AC}, {0x439, 0x1FFFF7AC}, {0x446, 0x1FFFF7AC},
    // F1
    {0x410, 0x1FFFF7E8}, {0x412, 0x1FFFF7E8}, {0x414, 0x1FFFF7E8}, {0x418, 0x1FFFF7E8}, {0x420, 0x1FFFF7E8},
    {0x428, 0x1FFFF7E8}, {0x430, 0x1FFFF7E8},
    // F2 and F4
    {0x411, 0x1FFF7A10}, {0x413, 0x1FFF7A10}, {0x419, 0x1FFF7A10}, {0x421, 0x1FFF7A10}, {0x423, 0x1FFF7A10},
    {0x431, 0x1FFF7A10}, {0x433, 0x1FFF7A10}, {0x434, 0x1FFF7A10}, {0x441, 0x1FFF7A10}, {0x458, 0x1FFF7A10},
    {0x463, 0x1FFF7A10},
    // F7
    {0x449, 0x1FF0F420}, {0x451, 0x1FF0F420}, {0x452, 0x1FF07A10},
    // G0, G4, L4, WB
    {0x460, 0x1FFF7590}, {0x466, 0x1FFF7590}, {0x467, 0x1FFF7590}, {0x468, 0x1FFF7590}, {0x469, 0x1FFF7590},
    {0x479, 0x1FFF7590}, {0x415, 0x1FFF7590}, {0x435, 0x1FFF7590}, {0x461, 0x1FFF7590}, {0x462, 0x1FFF7590},
    {0x464, 0x1FFF7590}, {0x470, 0x1FFF7590}, {0x471, 0x1FFF7590}, {0x495, 0x1FFF7590},
    // H7
    {0x450, 0x1FF1E800}, {0x480, 0x1FF1E800}, {0x483, 0x1FF1E800},
};

constexpr std::size_t kUidBytes = 12;

}  // namespace

std::optional<std::uint32_t> Stm32UniqueIdAddress(int productId) {
    for (const UidPlace& p : kUidPlaces)
        if (p.productId == productId) return p.address;
    return std::nullopt;
}

std::string ReadStm32UniqueId(ComPort& port) {
    Stm32Link link(port);
    if (link.Stm32Connect() != Stm32Link::kConnected) return {};
    std::string id;
    int hi = 0, lo = 0;
    const std::optional<std::uint32_t> address =
        link.Stm32GetId(hi, lo) == 0 ? Stm32UniqueIdAddress(hi << 8 | lo) : std::nullopt;
    if (address) {
        const std::uint8_t command[2] = {Stm32Link::kCmdReadMemory, Stm32Link::kCmdReadMemory ^ 0xFF};
        std::uint8_t group[5] = {static_cast<std::uint8_t>(*address >> 24), static_cast<std::uint8_t>(*address >> 16),
                                 static_cast<std::uint8_t>(*address >> 8), static_cast<std::uint8_t>(*address), 0};
        group[4] = group[0] ^ group[1] ^ group[2] ^ group[3];
        const std::uint8_t count[2] = {kUidBytes - 1, (kUidBytes - 1) ^ 0xFF};
        port.ComWrite(command, 2);
        bool ok = link.Stm32WaitAck() == 0;
        if (ok) port.ComWrite(group, 5);
        ok = ok && link.Stm32WaitAck() == 0;
        if (ok) port.ComWrite(count, 2);
        ok = ok && link.Stm32WaitAck() == 0;
        for (std::size_t i = 0; ok && i < kUidBytes; ++i) {
            const int b = port.ComWaitByte(Stm32Link::kReplyByteMs);
            if (b < 0) ok = false;
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(b & 0xFF));
            id += hex;
        }
        if (!ok) id.clear();
    }
    // Back into the firmware, as a good run ends.
    port.ComResetTarget();
    return id;
}

}  // namespace quennet
