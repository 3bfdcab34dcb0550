#include "app/Memo2Log.h"

#include <QScrollBar>
#include <QTextCursor>

namespace quennet {

void Memo2Log::AppendRaw(const std::string& text) {
    text_ += text;
    QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QTextCursor cursor(memo_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    memo_->verticalScrollBar()->setValue(memo_->verticalScrollBar()->maximum());
}

void Memo2Log::Clear() {
    text_.clear();
    memo_->clear();
}

void Memo2Log::Refresh() { memo_->repaint(); }

}  // namespace quennet
