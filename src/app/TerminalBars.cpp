#include "app/TerminalBars.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace quennet {

void InputLine::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) && onHistory) {
        onHistory(event->key() == Qt::Key_Up);
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

FindBar::FindBar(QWidget* parent) : QWidget(parent) {
    setObjectName("FindBar1");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(3);
    row->addWidget(new QLabel("Find:"));
    EditFind = new QLineEdit;
    EditFind->setObjectName("EditFind");
    row->addWidget(EditFind, 1);
    ButtonFindNext = new QPushButton("Next");
    ButtonFindNext->setObjectName("ButtonFindNext");
    ButtonFindPrev = new QPushButton("Previous");
    ButtonFindPrev->setObjectName("ButtonFindPrev");
    CheckBoxFindCase = new QCheckBox("Match case");
    CheckBoxFindCase->setObjectName("CheckBoxFindCase");
    LabelFind = new QLabel;
    LabelFind->setObjectName("LabelFind");
    ButtonFindClose = new QPushButton("Close");
    ButtonFindClose->setObjectName("ButtonFindClose");
    for (QWidget* w : {static_cast<QWidget*>(ButtonFindNext), static_cast<QWidget*>(ButtonFindPrev),
                       static_cast<QWidget*>(CheckBoxFindCase), static_cast<QWidget*>(LabelFind),
                       static_cast<QWidget*>(ButtonFindClose)})
        row->addWidget(w);
    connect(ButtonFindNext, &QPushButton::clicked, this, [this] { if (onSearch) onSearch(true); });
    connect(ButtonFindPrev, &QPushButton::clicked, this, [this] { if (onSearch) onSearch(false); });
    connect(ButtonFindClose, &QPushButton::clicked, this, [this] { if (onClose) onClose(); });
    connect(EditFind, &QLineEdit::returnPressed, this, [this] {
        if (onSearch) onSearch(!(QGuiApplication::keyboardModifiers() & Qt::ShiftModifier));
    });
    connect(EditFind, &QLineEdit::textChanged, this, [this] { if (onChanged) onChanged(); });
    connect(CheckBoxFindCase, &QCheckBox::toggled, this, [this] { if (onChanged) onChanged(); });
}

void FindBar::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && onClose) {
        onClose();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace quennet
