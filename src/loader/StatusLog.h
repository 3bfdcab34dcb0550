#pragma once
#include <string>

namespace quennet {

// The loader's status log (Memo2) as the core sees it: one plain text with
// CR LF line breaks. The rules of AddStatusLine and AppendStatusText are
// built on these primitives in the core, so every log behaves alike.
class StatusLogView {
public:
    virtual ~StatusLogView() = default;
    virtual std::string Text() const = 0;
    virtual void AppendRaw(const std::string& text) = 0;  // at the very end
    virtual void Clear() = 0;
    virtual void Refresh() = 0;  // repaint now
};

}  // namespace quennet
