#include "panel_button.h"

#include <QPainter>
#include <QPixmap>

#include "panel_painter.h"

CPanelButton::CPanelButton(int controlId, QWidget* parent)
    : QPushButton(parent), m_controlId(controlId) {
    // Enter never presses a panel key: the window ignores it.
    setAutoDefault(false);
    setDefault(false);
    setFixedSize(kWidth, kHeight);
}

void CPanelButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    DrawItem(painter, isDown());
}

void CPanelButton::DrawItem(QPainter& painter, bool pressed) {
    const int w = width();
    const int h = height();
    const int shift = pressed ? 1 : 0;

    painter.fillRect(3, 3, w - 4, h - 4, panel::FaceColour());
    panel::DrawBevel(painter, 0, 0, w, h, panel::White(), panel::Black(), 1);
    if (pressed) {
        panel::DrawBevel(painter, 1, 1, w - 2, h - 2, panel::Black(), panel::Black(), 0);
    } else {
        panel::DrawBevel(painter, 1, 1, w - 2, h - 2, panel::White(), panel::Black(), 0);
    }

    if (m_controlId == kPowerId) {
        const QPixmap power(QStringLiteral(":/tamsel/icon_129.png"));  // cached by Qt
        panel::DrawBevel(painter, 3 + shift, 3 + shift, 7, 6, panel::White(), panel::Black(), 1);
        painter.fillRect(4 + shift, 4 + shift, 5, 4, panel::Green());
        panel::DrawIcon(painter, 13 + shift, 3 + shift, power);
    } else {
        const QPixmap info(QStringLiteral(":/tamsel/icon_130.png"));
        panel::DrawIcon(painter, 9 + shift, 3 + shift, info);
    }
}
