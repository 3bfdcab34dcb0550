#include "app/FormControls.h"

#include <QComboBox>
#include <QFontDatabase>

#include "terminal/Charset.h"

namespace quennet {

int EffectiveIndex(const QComboBox* combo) {
    // In an editable chooser the text is what counts: a typed text that is
    // none of the entries means no entry is chosen.
    const int index = combo->currentIndex();
    if (!combo->isEditable() || (index >= 0 && combo->itemText(index) == combo->currentText())) return index;
    return combo->findText(combo->currentText(), Qt::MatchExactly);
}

void SelectIndex(QComboBox* combo, long long index, int fallback) {
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? static_cast<int>(index) : fallback);
}

QFont FixedPitchFont() {
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const QString& family : {system.family(), QString("DejaVu Sans Mono"), QString("Liberation Mono"),
                                  QString("Noto Mono"), QString("Monospace"), QString("Courier New")}) {
        if (QFontDatabase::hasFamily(family) && QFontDatabase::isFixedPitch(family)) return QFont(family);
    }
    QFont font = system;
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

long ColorToSetting(const QColor& color) {
    return static_cast<long>(color.red()) | (static_cast<long>(color.green()) << 8) |
           (static_cast<long>(color.blue()) << 16);
}

QColor ColorFromSetting(long value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

std::string ToEightBit(const QString& text) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (char32_t ch : text.toUcs4()) {
        const int b = TypedCharToByte(ch);
        bytes.push_back(static_cast<char>(b >= 0 ? b : '?'));
    }
    return bytes;
}

QString FromEightBit(const std::string& bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char b : bytes) {
        // Control codes stay themselves in a text field.
        const char32_t ch = (b < 0x20 || b == 0x7F) ? char32_t(b) : ByteToDisplayChar(b);
        text.append(QChar(static_cast<char16_t>(ch)));
    }
    return text;
}

}  // namespace quennet
