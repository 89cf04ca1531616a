// Qt helpers for the control program's tests: a headless application object and a way to answer
// the modal boxes the window opens while a test drives it.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QColor>
#include <QDialog>
#include <QImage>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>

namespace apptest {

// The test program's one application object, on the offscreen platform.
inline QApplication& App() {
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tamsel-app-test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// What a message box showed.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Watches for modal dialogs other than `ignore` while a test runs. Message boxes are recorded
// and answered with `answer`; other dialogs are handed to `onDialog` (default: closed). The
// nested event loop of the modal dialog runs the watcher's timer.
class ModalWatcher {
public:
    explicit ModalWatcher(QWidget* ignore) : m_ignore(ignore) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }

    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    std::function<void(QMessageBox*)> onBox;    // replaces the answer when set
    std::function<void(QDialog*)> onDialog;
    std::vector<SeenBox> boxes;
    int dialogs = 0;

private:
    void Poll() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget == m_ignore || !widget->isVisible()) continue;
            if (auto* box = qobject_cast<QMessageBox*>(widget)) {
                boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
                if (onBox) {
                    onBox(box);
                } else if (QAbstractButton* button = box->button(answer)) {
                    button->click();
                } else {
                    box->reject();
                }
                return;
            }
            if (auto* dialog = qobject_cast<QDialog*>(widget)) {
                ++dialogs;
                if (onDialog) {
                    onDialog(dialog);
                } else {
                    dialog->reject();
                }
                return;
            }
        }
    }

    QWidget* m_ignore;
    QTimer m_timer;
};

inline bool IsGreen(QRgb c) { return qGreen(c) > 200 && qRed(c) < 80 && qBlue(c) < 80; }

// Bounding box of the bright green pixels inside `area`.
inline QRect GreenBounds(const QImage& image, const QRect& area) {
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (IsGreen(image.pixel(x, y))) bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

}  // namespace apptest
