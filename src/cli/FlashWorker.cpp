#include "cli/FlashWorker.h"

#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

#include "loader/MultiBoard.h"
#include "loader/Stm32UniqueId.h"
#include "serial/PortProblem.h"

namespace quennet::cli {

namespace {

void Emit(WorkerTag tag, const std::string& text) {
    const std::string line = WorkerLine(tag, text);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Cuts what is written into lines and sends each as a tagged line.
class TaggedLines : public std::streambuf {
public:
    explicit TaggedLines(WorkerTag tag) : tag_(tag) {}
    ~TaggedLines() override {
        if (!line_.empty()) Emit(tag_, line_);
    }

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        if (c == '\n') {
            Emit(tag_, line_);
            line_.clear();
        } else {
            line_ += static_cast<char>(c);
        }
        return c;
    }

private:
    WorkerTag tag_;
    std::string line_;
};

bool IsStm32(const LoaderTarget& t) {
    return t.program == &TargetSequences::programStm32 || t.program == &TargetSequences::programStm32Any;
}

}  // namespace

int RunFlashWorker(const FlashOptions& options, std::atomic<FlashCommand*>& current) {
    TaggedLines logLines(WorkerTag::Log), errorLines(WorkerTag::Error);
    std::ostream out(&logLines), err(&errorLines);
    int lastPercent = -1;
    FlashCommand command(FlashHost{DefaultSerialDeviceFactory(), SystemClock(), out, err, 0});
    FlashCommand* self = &command;
    command.SetProgressListener([&](const RunProgress& p) {
        if (!p.active || p.percent == lastPercent) return;
        if (lastPercent < 0) {
            // What the passes move in all, for the speed the view shows.
            const FirmwareImage& image = self->loader().Image();
            std::size_t data = 0;
            for (std::size_t a = 0; a < image.size(); ++a) data += image[a] != FirmwareImage::kBlank;
            Emit(WorkerTag::WorkBytes, std::to_string(options.verify ? 2 * data : data));
        }
        lastPercent = p.percent;
        Emit(WorkerTag::Progress,
             std::to_string(p.percent) + ' ' + (p.msLeft ? std::to_string(*p.msLeft) : std::string("-")));
    });
    current.store(&command);
    const int code = command.Run(options);
    current.store(nullptr);
    out.flush();
    err.flush();

    // The unique ID is asked for in a session of its own once the run is
    // good: the run's own sequence stays as it is. With --go the reset
    // line may not be wired, so the chip is left to the firmware.
    const LoaderTarget* target = FindLoaderTarget(options.targetIndex);
    if (code == kFlashOk && target && IsStm32(*target) && !options.go && !options.deviceInfo) {
        ComPort& port = command.port();
        if (port.ComOpen(options.port, target->baud, kFrameE81) == kComOk) {
            port.DtrInverted = options.invertDtr;
            const std::string id = ReadStm32UniqueId(port);
            port.ComClose();
            if (!id.empty()) Emit(WorkerTag::UniqueId, id);
        }
    }
    return code;
}

}  // namespace quennet::cli
