// The main window: a borderless 265 x 67 panel with a grip strip, a black display with green
// text, a power key and an information key.
#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QPoint>
#include <QString>
#include <QTimer>

#include "output_graph.h"
#include "panel_button.h"

class QPainter;

// Shows the splash text, builds and starts the graph 2000 ms after it opens, shows the pattern
// and the device, and stops the graph when switched off (power key, Escape confirmed with Yes,
// or an ending signal passed in by the application through OnEndSignal). While the graph streams
// the window looks at its events every kEventPollMs; a failure (the device gone, busy or full)
// stops the graph, is shown in a message and closes the window as a failed build does.
//
// Threads: user-interface thread only. The graph build runs inside the start-up timer's handler
// and blocks the thread; the window is disabled meanwhile. The graph's events are posted by
// platform threads and read here by polling, never waiting.
class CGeneratorDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 265;
    static constexpr int kHeight = 67;
    static constexpr int kStartupDelayMs = 2000;
    static constexpr int kAboutCommand = 16;
    static constexpr int kEventPollMs = 100;

    // The graph is the program's one static holder (tests pass their own).
    explicit CGeneratorDlg(COutputGraph& graph, QWidget* parent = nullptr);
    ~CGeneratorDlg() override;

    // The start-up timer's handler: builds, runs and pauses the graph.
    void OnTimer();
    // The event timer's handler: ends the window with a failure when the graph reports one.
    void OnGraphEvents();
    // Power key: stop the graph and close, without asking. A failure the stop brings up (the
    // device lost the last frames) is told and the window ends with it.
    void OnPowerButton();
    // Information key and the context-menu entry: the About box, modal.
    void OnAboutButton();
    // Context-menu commands; 16 opens the About box.
    void OnSysCommand(int command);
    // SIGINT/SIGTERM arrived: dismiss any box this window is waiting on, then act as the power
    // key (at once, or as soon as a running build returns). A failure the event timer has not
    // picked up yet is still how the run ended: it is told (its box goes at once) and the window
    // ends with it.
    void OnEndSignal();

    // Escape and closing the window land here: ask, and on Yes stop the graph and close.
    void reject() override;

    // For tests and the context menu.
    QTimer* StartupTimer() { return &m_timer; }
    QTimer* EventTimer() { return &m_eventTimer; }
    QMenu* SystemMenu() { return &m_sysMenu; }
    CPanelButton* PowerButton() { return &m_btnPower; }
    CPanelButton* AboutButton() { return &m_btnAbout; }
    const QString& StatusText() const { return m_strStatus; }
    int IsReady() const { return m_bReady; }

protected:
    // Rejects the boxes and closes the menus open over this window.
    void DismissBoxes();

    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

    // "終了しますか？" with Yes and No; true for Yes.
    virtual bool AskQuit();

private:
    bool OnInitDialog();
    // The panel: frame, badge, grip strip, display and, once ready, the status text.
    void PaintBackground(QPainter& painter);
    // The splash text over the display until the start-up timer has fired.
    void PaintForeground(QPainter& painter);
    // True inside the grip strip, the part of the window that drags it.
    static bool InDragArea(const QPoint& client);
    // Stops the graph and closes: Accepted after a clean stop, Rejected when the stop brought up
    // a failure (told; its box goes at once after an ending signal).
    void StopAndClose();

    int m_bReady = 0;           // 0 until the start-up timer fires: splash (0) or status (1)
    QFont m_fontDisplay;        // bold display font, made at initialisation
    QString m_strStatus;        // text of the display once ready
    CPanelButton m_btnAbout;    // control 1004
    CPanelButton m_btnPower;    // control 1002
    QIcon m_hIcon;              // application icon (icon 128)

    COutputGraph& m_graph;      // not owned; outlives the window
    QTimer m_timer;             // the one-shot start-up timer
    QMenu m_sysMenu;            // stands in for the system menu: the About entry
    bool m_bBuilding = false;   // inside Build (a signal then waits for it to return)
    bool m_bFailing = false;    // telling the user why streaming failed (a box is open)
    bool m_bEndRequested = false;  // an ending signal arrived during the build or a failure box
    QTimer m_eventTimer;        // polls the graph's events while it streams
    bool m_bDragging = false;   // moving the window by hand (no system move available)
    QPoint m_dragOffset;        // cursor position relative to the window's corner while dragging
};
