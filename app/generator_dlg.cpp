#include "generator_dlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWindow>

#include "about_dlg.h"
#include "panel_painter.h"

namespace {
const char kWindowText[] = "Velora DV Color Bar Generator";
const char kSplashText[] = "Velora DV Color Bar Generator\nVer.0.1(alpha)";
const char kInitialStatus[] = "Initializing...";
const char kRunningStatus[] = "NORMAL (SMPTE LIKE)\nMicrosoft Digital Camera and VCR";
const char kAboutEntry[] = "Tamsel のﾊﾞｰｼﾞｮﾝ情報(&A)...";
const char kQuitQuestion[] = "終了しますか？";
}  // namespace

CGeneratorDlg::CGeneratorDlg(COutputGraph& graph, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      m_strStatus(QString::fromLatin1(kInitialStatus)),
      m_btnAbout(CPanelButton::kAboutId, this),
      m_btnPower(CPanelButton::kPowerId, this),
      m_graph(graph) {
    m_hIcon.addFile(QStringLiteral(":/tamsel/icon_128.png"), QSize(32, 32));
    m_hIcon.addFile(QStringLiteral(":/tamsel/icon_128_16.png"), QSize(16, 16));
    connect(&m_btnPower, &QPushButton::clicked, this, &CGeneratorDlg::OnPowerButton);
    connect(&m_btnAbout, &QPushButton::clicked, this, &CGeneratorDlg::OnAboutButton);
    connect(&m_timer, &QTimer::timeout, this, &CGeneratorDlg::OnTimer);
    connect(&m_eventTimer, &QTimer::timeout, this, &CGeneratorDlg::OnGraphEvents);
    OnInitDialog();
}

CGeneratorDlg::~CGeneratorDlg() = default;

bool CGeneratorDlg::OnInitDialog() {
    // There is no system menu on a frameless window here; its About entry lives in the window's
    // context menu.
    m_sysMenu.addSeparator();
    QAction* about = m_sysMenu.addAction(QString::fromUtf8(kAboutEntry));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(kAboutCommand); });

    setWindowIcon(m_hIcon);
    setWindowTitle(QString::fromLatin1(kWindowText));
    setFixedSize(kWidth, kHeight);
    m_btnPower.setGeometry(40, 41, CPanelButton::kWidth, CPanelButton::kHeight);
    m_btnAbout.setGeometry(226, 41, CPanelButton::kWidth, CPanelButton::kHeight);

    m_fontDisplay = QFont(QStringLiteral("Sans Serif"));
    m_fontDisplay.setStyleHint(QFont::SansSerif);
    m_fontDisplay.setPixelSize(12);
    m_fontDisplay.setWeight(QFont::Bold);
    // Narrowed so the device line fits the display, as it did in the small bitmap face the panel
    // was designed with.
    m_fontDisplay.setStretch(80);

    setCursor(Qt::WaitCursor);
    setEnabled(false);
    m_timer.setSingleShot(true);
    m_timer.start(kStartupDelayMs);
    return true;
}

void CGeneratorDlg::OnTimer() {
    m_timer.stop();
    m_bReady = 1;
    repaint();  // show "Initializing..." before the thread blocks in Build

    m_bBuilding = true;
    const int built = m_graph.Build();
    m_bBuilding = false;
    if (built != 1) {
        done(QDialog::Rejected);
        return;
    }

    // A graph that cannot start (the device busy with another sender, gone, out of resources)
    // is a failure like a failed build: told, stopped, and the program ends with it.
    m_bFailing = true;
    int started = m_graph.Run();
    if (started == 1 && m_graph.m_pControl != nullptr) {
        // Left paused after having run: the device keeps sending while paused.
        const HRESULT hr = m_graph.m_pControl->Pause();
        if (FAILED(hr)) {
            m_graph.StreamFailed(CStreamFailure::kStarting, 0, hr);
            started = 0;
        }
    }
    m_bFailing = false;
    if (started != 1) {
        done(QDialog::Rejected);
        return;
    }

    unsetCursor();
    setEnabled(true);
    m_strStatus = QString::fromLatin1(kRunningStatus);
    update();

    if (m_bEndRequested) {
        OnPowerButton();
        return;
    }
    m_eventTimer.start(kEventPollMs);
}

void CGeneratorDlg::OnGraphEvents() {
    // Another box (the quit question, the About box) is the user's first; the failure is still
    // waiting in the graph when it has closed.
    QWidget* modal = QApplication::activeModalWidget();
    if (m_bFailing || (modal != nullptr && modal != this)) return;
    m_bFailing = true;
    const int streaming = m_graph.CheckEvents();
    m_bFailing = false;
    if (streaming == 1) return;
    m_eventTimer.stop();
    done(QDialog::Rejected);
}

void CGeneratorDlg::OnPowerButton() {
    m_timer.stop();
    StopAndClose();
}

void CGeneratorDlg::StopAndClose() {
    m_eventTimer.stop();
    // The device may find at the stop that the last frames did not reach it: that run ended in a
    // failure, told like one while streaming. After an ending signal nobody is left to press OK.
    m_bFailing = true;
    if (m_bEndRequested) {
        QTimer::singleShot(0, this, [this] {
            if (m_bFailing) DismissBoxes();
        });
    }
    const int clean = m_graph.Stop();
    m_bFailing = false;
    done(clean == 1 ? QDialog::Accepted : QDialog::Rejected);
}

void CGeneratorDlg::OnAboutButton() {
    CAboutDlg about(nullptr);
    about.exec();
}

void CGeneratorDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == kAboutCommand) OnAboutButton();
}

void CGeneratorDlg::DismissBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget == this || !widget->isVisible()) continue;
        if (auto* dialog = qobject_cast<QDialog*>(widget)) {
            dialog->reject();
        } else if (auto* menu = qobject_cast<QMenu*>(widget)) {
            menu->close();
        }
    }
}

void CGeneratorDlg::OnEndSignal() {
    // Boxes and menus waiting for the user go away first: a failure message lets Build return
    // (and the window then closes on its own), a quit question, the About box or the menu simply
    // end.
    DismissBoxes();
    if (m_bBuilding || m_bFailing) {
        // The build or the failure report ends the window itself once its box has gone.
        m_bEndRequested = true;
        return;
    }
    if (m_eventTimer.isActive()) {
        // The device may have failed since the last poll: ending now must not report that run
        // as a clean switch-off. Nobody is left to press OK, so the failure's box is dismissed as
        // soon as it is up.
        m_bEndRequested = true;
        m_bFailing = true;
        QTimer::singleShot(0, this, [this] {
            if (m_bFailing) DismissBoxes();
        });
        const int streaming = m_graph.CheckEvents();
        m_bFailing = false;
        if (streaming != 1) {
            m_eventTimer.stop();
            done(QDialog::Rejected);
            return;
        }
    }
    OnPowerButton();
}

void CGeneratorDlg::reject() {
    if (AskQuit()) StopAndClose();
}

bool CGeneratorDlg::AskQuit() {
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kWindowText),
                    QString::fromUtf8(kQuitQuestion), QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CGeneratorDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();  // Enter does nothing here
        return;
    case Qt::Key_Escape:
        event->accept();
        reject();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool CGeneratorDlg::InDragArea(const QPoint& client) {
    return QRect(0, 0, 16, 200).contains(client);
}

void CGeneratorDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && InDragArea(event->position().toPoint())) {
        // Let the window system move the window; where it cannot, follow the mouse by hand.
        QWindow* window = windowHandle();
        if (window == nullptr || !window->startSystemMove()) {
            m_bDragging = true;
            m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        }
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void CGeneratorDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_bDragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CGeneratorDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (m_bDragging && event->button() == Qt::LeftButton) {
        m_bDragging = false;
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

void CGeneratorDlg::contextMenuEvent(QContextMenuEvent* event) {
    m_sysMenu.exec(event->globalPos());
}

void CGeneratorDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintBackground(painter);
    PaintForeground(painter);
}

void CGeneratorDlg::PaintBackground(QPainter& painter) {
    using namespace panel;
    const int w = width();
    const int h = height();
    const QColor shadow = ShadowColour();

    painter.fillRect(0, 0, w, h, FaceColour());
    RectangleOutline(painter, Black(), 0, 0, w, h);

    // The badge: a hollow blue square with its shadow one pixel to the lower right.
    RectangleOutline(painter, shadow, 5, 5, 14, 14);
    RectangleOutline(painter, Blue(), 4, 4, 13, 13);

    DrawEdge3D(painter, 1, 1, 16, h - 2, White(), shadow);   // grip strip
    DrawEdge3D(painter, 17, 1, w - 18, h - 2, White(), shadow);  // panel

    for (int r = 0; r <= 10; ++r) {
        const int y = 18 + 4 * r;
        if (r % 2 == 0) {
            for (int x : {3, 7, 11}) DrawEdge3D(painter, x, y, 3, 3, White(), shadow);
        } else {
            for (int x : {5, 9}) DrawEdge3D(painter, x, y, 3, 3, White(), shadow);
        }
    }

    DrawBevel(painter, 40, 3, 220, 36, White(), shadow, 1);  // display frame
    painter.fillRect(41, 4, 218, 34, Black());                // display
    DrawIcon(painter, 19, 10, QPixmap(QStringLiteral(":/tamsel/icon_131.png")));

    if (m_bReady == 1) {
        const QRect rect(QPoint(42, 7), QPoint(240 - 1, 40 - 1));
        painter.save();
        painter.setFont(m_fontDisplay);
        painter.setPen(Green());
        painter.setClipRect(rect);
        painter.drawText(rect, Qt::AlignLeft | Qt::AlignTop, m_strStatus);
        painter.restore();
    }
}

void CGeneratorDlg::PaintForeground(QPainter& painter) {
    if (m_bReady != 0) return;
    // Each line centred; with two lines the text starts at the top of the rectangle.
    const QRect rect(QPoint(40, 5), QPoint(260 - 1, 40 - 1));
    painter.save();
    painter.setFont(m_fontDisplay);
    painter.setPen(panel::Green());
    painter.setClipRect(rect);
    painter.drawText(rect, Qt::AlignHCenter | Qt::AlignTop, QString::fromLatin1(kSplashText));
    painter.restore();
}
