#pragma once
#include <QPlainTextEdit>
#include <string>

#include "loader/StatusLog.h"

namespace quennet {

// Memo2 as the loader's status log. The widget shows the lines; the text
// with its CR LF breaks is mirrored here so the line rules can look at it
// without reading the widget back.
class Memo2Log : public StatusLogView {
public:
    explicit Memo2Log(QPlainTextEdit* memo) : memo_(memo) {}

    std::string Text() const override { return text_; }
    void AppendRaw(const std::string& text) override;
    void Clear() override;
    void Refresh() override;
    bool AtLineStart() const override { return text_.empty() || text_.back() == '\n'; }

private:
    QPlainTextEdit* memo_;
    std::string text_;
};

}  // namespace quennet
