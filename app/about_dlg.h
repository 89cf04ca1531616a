// The About box: program name, version and the support-page link.
#pragma once

#include <QDialog>
#include <QFont>
#include <QLabel>

// Modal box opened from the main window's information key or its context menu. The address
// label opens the support page in the desktop's browser when clicked; it is blue and underlined
// and has no cursor or hover handling of its own.
//
// Threads: user-interface thread only. Each instance creates its own underlined font and drops it
// when destroyed, so opening the box again and again accumulates nothing.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kSupportAddress = "https://velora.example/tamsel";

    explicit CAboutDlg(QWidget* parent);
    ~CAboutDlg() override;

    QLabel* LinkLabel() { return &m_linkSupport; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Places the controls and gives the address label its underlined font and blue colour.
    bool OnInitDialog();
    // Turns a position or size in dialog units into pixels of the dialog's font.
    QRect DialogUnits(int x, int y, int cx, int cy) const;
    void OnClickedSupport();

    QLabel m_linkSupport;  // control 1004: the support address
    QFont m_fontLink;      // underlined copy of the dialog's font, made at initialisation
};
