#include "about_dlg.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_linkSupport(this) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QString::fromUtf8("Tamselのﾊﾞｰｼﾞｮﾝ情報"));
    // The nearest thing here to the 9-point proportional Japanese Gothic the box was laid out in.
    QFont dialogFont(QStringLiteral("IPAPGothic"));
    dialogFont.setStyleHint(QFont::SansSerif);
    dialogFont.setPixelSize(12);
    setFont(dialogFont);
    OnInitDialog();
}

CAboutDlg::~CAboutDlg() = default;

QRect CAboutDlg::DialogUnits(int x, int y, int cx, int cy) const {
    const QFontMetrics metrics(font());
    const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int baseX = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    const int baseY = metrics.height();
    // Rounded to the nearest pixel, halves away from zero, as the platform scales templates.
    auto scale = [](int units, int base, int divisor) {
        const int product = units * base;
        return (product >= 0 ? product + divisor / 2 : product - divisor / 2) / divisor;
    };
    return QRect(scale(x, baseX, 4), scale(y, baseY, 8), scale(cx, baseX, 4), scale(cy, baseY, 8));
}

bool CAboutDlg::OnInitDialog() {
    setFixedSize(DialogUnits(0, 0, 235, 135).size());

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/tamsel/icon_128.png")));
    // A static icon shows the icon at its own size from the given corner.
    icon->setGeometry(QRect(DialogUnits(11, 17, 20, 20).topLeft(), QSize(32, 32)));

    auto* title = new QLabel(this);
    title->setTextFormat(Qt::PlainText);
    title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    title->setText(QString::fromUtf8("Velora DV Color Bar Generator\n"
                                     "Tecnology with Microsoft DirectX Media 6.0\n"
                                     "\n"
                                     "Ver.0.1 (アルファ版) Build.12"));
    title->setGeometry(DialogUnits(35, 10, 150, 40));

    auto* caption = new QLabel(this);
    caption->setTextFormat(Qt::PlainText);
    caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    caption->setText(QString::fromUtf8("サポートページ"));
    caption->setGeometry(DialogUnits(30, 95, 50, 8));

    m_linkSupport.setTextFormat(Qt::PlainText);
    m_linkSupport.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_linkSupport.setText(QString::fromLatin1(kSupportAddress));
    m_linkSupport.setGeometry(DialogUnits(90, 95, 100, 8));
    m_linkSupport.installEventFilter(this);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(DialogUnits(180, 110, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // A fresh underlined copy of the dialog's font for the address, and blue text for it alone.
    m_fontLink = font();
    m_fontLink.setUnderline(true);
    m_linkSupport.setFont(m_fontLink);
    QPalette palette = m_linkSupport.palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    m_linkSupport.setPalette(palette);

    ok->setFocus();
    return true;
}

bool CAboutDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_linkSupport && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            m_linkSupport.rect().contains(mouse->position().toPoint())) {
            OnClickedSupport();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CAboutDlg::OnClickedSupport() {
    // Whether a browser could be started is not reported; the box stays open.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kSupportAddress)));
}
