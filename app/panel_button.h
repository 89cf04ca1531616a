// The panel's two owner-drawn push buttons.
#pragma once

#include <QPushButton>

// A push button that paints itself as the panel's raised key. Its control identifier selects
// the face: 1002 is the power key (green lamp and power symbol), any other the information key.
// Only the pressed state changes the look; focus and disabled states do not, and no text is
// drawn.
//
// Threads: user-interface thread only, like every widget.
class CPanelButton : public QPushButton {
    Q_OBJECT
public:
    static constexpr int kPowerId = 1002;
    static constexpr int kAboutId = 1004;
    static constexpr int kWidth = 34;
    static constexpr int kHeight = 23;

    CPanelButton(int controlId, QWidget* parent);

    int ControlId() const { return m_controlId; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Paints the face for the given pressed state.
    void DrawItem(QPainter& painter, bool pressed);

    int m_controlId;  // 1002 or 1004, fixed at construction
};
