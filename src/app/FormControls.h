#pragma once
#include <QColor>
#include <QFont>
#include <QString>
#include <string>

class QComboBox;

namespace quennet {

// Small helpers that every part of the window shares for its controls.

// The entry an editable chooser stands at: -1 when its text was typed over
// with something that is none of its entries.
int EffectiveIndex(const QComboBox* combo);

// Sets a chooser's selection from a stored index; out of range selects
// the fallback (-1: nothing).
void SelectIndex(QComboBox* combo, long long index, int fallback = -1);

// The first installed fixed-pitch family among the usual ones.
QFont FixedPitchFont();

// Colours in the settings file are 0x00BBGGRR.
long ColorToSetting(const QColor& color);
QColor ColorFromSetting(long value);

// Button values and button-set files are 8-bit text: Latin-1, with the
// Windows-1252 characters in 0x80-0x9F. A character with no 8-bit code
// becomes "?".
std::string ToEightBit(const QString& text);
QString FromEightBit(const std::string& bytes);

}  // namespace quennet
