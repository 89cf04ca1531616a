// The About box: caption, texts, the support link's look and click, and that opening it again and
// again leaves nothing behind.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/about_dlg.h"
#include "qt_test_support.h"
#include "url_recorder.h"

namespace {

int OpenDescriptors() { return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size()); }

QLabel* LabelWithText(CAboutDlg& dlg, const QString& text) {
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        if (label->text() == text) return label;
    }
    return nullptr;
}

class AboutTest : public testing::Test {
protected:
    void SetUp() override {
        apptest::App();
        QDesktopServices::setUrlHandler("https", &recorder, "Open");
        QDesktopServices::setUrlHandler("http", &recorder, "Open");
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
    }
    apptest::UrlRecorder recorder;
};

TEST_F(AboutTest, ShowsItsTextsAndABlueUnderlinedLink) {
    CAboutDlg dlg(nullptr);
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("Tamselのﾊﾞｰｼﾞｮﾝ情報"));
    EXPECT_NE(LabelWithText(dlg, QString::fromUtf8("Velora DV Color Bar Generator\n"
                                                   "Tecnology with Microsoft DirectX Media 6.0\n\n"
                                                   "Ver.0.1 (アルファ版) Build.12")),
              nullptr);
    EXPECT_NE(LabelWithText(dlg, QString::fromUtf8("サポートページ")), nullptr);

    QLabel* link = dlg.LinkLabel();
    EXPECT_EQ(link->text(), QString::fromLatin1(CAboutDlg::kSupportAddress));
    EXPECT_TRUE(link->font().underline());
    EXPECT_FALSE(dlg.font().underline());  // the dialog's own font is left as it was
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    // The whole address is visible.
    EXPECT_LE(link->sizeHint().width(), link->width());
    EXPECT_GE(link->geometry().left(), 0);
    EXPECT_LE(link->geometry().right(), dlg.width());

    // Only blue pixels for the address: the other texts keep the default colour.
    const QImage image = link->grab().toImage();
    int blue = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            if (qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60) ++blue;
        }
    }
    EXPECT_GT(blue, 20);
}

// The box is laid out in units of its font: a quarter of the average character width across,
// an eighth of the character height down. Each control sits where its template puts it, to
// within the pixel the units round to.
TEST_F(AboutTest, ControlsSitWhereTheTemplatePutsThem) {
    CAboutDlg dlg(nullptr);
    dlg.show();
    const double unitX = dlg.width() / 235.0;
    const double unitY = dlg.height() / 135.0;
    EXPECT_GT(unitX, 1.0);
    EXPECT_GT(unitY, 1.0);
    auto expectAt = [&](const char* what, const QRect& actual, int x, int y, int cx, int cy) {
        SCOPED_TRACE(what);
        EXPECT_NEAR(actual.left(), x * unitX, 1.0);
        EXPECT_NEAR(actual.top(), y * unitY, 1.0);
        EXPECT_NEAR(actual.width(), cx * unitX, 1.0);
        EXPECT_NEAR(actual.height(), cy * unitY, 1.0);
    };

    QLabel* title = LabelWithText(dlg, QString::fromUtf8("Velora DV Color Bar Generator\n"
                                                         "Tecnology with Microsoft DirectX Media 6.0\n\n"
                                                         "Ver.0.1 (アルファ版) Build.12"));
    QLabel* caption = LabelWithText(dlg, QString::fromUtf8("サポートページ"));
    ASSERT_NE(title, nullptr);
    ASSERT_NE(caption, nullptr);
    expectAt("title", title->geometry(), 35, 10, 150, 40);
    expectAt("caption", caption->geometry(), 30, 95, 50, 8);
    expectAt("address", dlg.LinkLabel()->geometry(), 90, 95, 100, 8);
    QPushButton* ok = nullptr;
    for (QPushButton* button : dlg.findChildren<QPushButton*>()) {
        if (button->text() == "OK") ok = button;
    }
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    expectAt("OK", ok->geometry(), 180, 110, 50, 14);

    // The icon shows at its own size from the template's corner.
    QLabel* icon = nullptr;
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        if (!label->pixmap().isNull()) icon = label;
    }
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
    EXPECT_NEAR(icon->x(), 11 * unitX, 1.0);
    EXPECT_NEAR(icon->y(), 17 * unitY, 1.0);

    // The version text's four lines fit their box.
    EXPECT_LE(title->sizeHint().height(), title->height());
}

TEST_F(AboutTest, ClickingTheAddressOpensItAndNothingElseDoes) {
    CAboutDlg dlg(nullptr);
    dlg.show();
    QTest::mouseClick(LabelWithText(dlg, QString::fromUtf8("サポートページ")), Qt::LeftButton);
    EXPECT_TRUE(recorder.urls.empty());

    QTest::mouseClick(dlg.LinkLabel(), Qt::LeftButton);
    ASSERT_EQ(recorder.urls.size(), 1u);
    EXPECT_EQ(recorder.urls[0], QUrl(QString::fromLatin1(CAboutDlg::kSupportAddress)));
    EXPECT_TRUE(dlg.isVisible());  // the box stays open
}

TEST_F(AboutTest, OpeningItAHundredTimesLeavesNothingBehind) {
    auto openOnce = [] {
        CAboutDlg dlg(nullptr);
        QTimer::singleShot(0, &dlg, &QDialog::accept);
        dlg.exec();
    };
    openOnce();  // first use loads fonts and plugins once for the process
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const int descriptors = OpenDescriptors();
    const qsizetype widgets = QApplication::allWidgets().size();

    for (int i = 0; i < 100; ++i) openOnce();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(QApplication::allWidgets().size(), widgets);
}

}  // namespace
