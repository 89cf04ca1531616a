// The main window over stand-in platform objects: its pixels, its start-up sequence, keys,
// buttons, dragging, the context menu and the ending signal.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QTest>

#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include <QTranslator>

#include "app/about_dlg.h"
#include "fake_platform.h"
#include "app/generator_app.h"
#include "app/generator_dlg.h"
#include "app/panel_painter.h"
#include "qt_test_support.h"
#include "test_graph.h"

namespace {

using apptest::g_messages;
using apptest::RecordMessage;

// One pixel a picture must have.
struct Pixel {
    int x;
    int y;
    QRgb colour;
};

void ExpectPixels(const QImage& image, std::initializer_list<Pixel> pixels) {
    for (const Pixel& p : pixels) {
        EXPECT_EQ(image.pixel(p.x, p.y), p.colour) << p.x << "," << p.y;
    }
}

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        apptest::App();
        g_messages.clear();
        fake::InstallGoodWorld();
    }
    // A window that has been shown and, when `started`, has run its start-up timer.
    std::unique_ptr<CGeneratorDlg> Open(bool started) { return Open(started, graph); }
    std::unique_ptr<CGeneratorDlg> Open(bool started, COutputGraph& holder) {
        auto dlg = std::make_unique<CGeneratorDlg>(holder);
        dlg->show();
        if (started) dlg->OnTimer();
        return dlg;
    }
    QImage Grab(QWidget& widget) { return widget.grab().toImage(); }
    // The window ended as the power key ends it: closed, accepted.
    void ExpectEndedAccepted(const CGeneratorDlg& dlg) {
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
    }
    // In a fresh world whose graph hands out `events` and posts `eventsAtStop` when stopped, a
    // started window that shows failures in the program's own box gets the ending signal: it
    // ends rejected without the box waiting for someone to press OK, the graph stopped once.
    void EndWithTheProgramsOwnBox(std::deque<fake::Event> events,
                                  std::deque<fake::Event> eventsAtStop) {
        fake::InstallGoodWorld();
        apptest::TestGraph holder(&CGeneratorApp::ShowMessage);
        auto dlg = Open(true, holder);
        apptest::ModalWatcher watcher(dlg.get());
        int looks = 0;
        // A box that waits for OK is let go only after many looks, and the test then fails.
        watcher.onBox = [&](QMessageBox* box) {
            if (++looks == 200) box->reject();
        };
        world.events = std::move(events);
        world.eventsAtStop = std::move(eventsAtStop);
        dlg->OnEndSignal();
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_LT(looks, 200) << "the failure's box waited for someone to press OK";
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_EQ(world.stops, 1);  // before the holder lets go of the graph
    }

    apptest::TestGraph graph{&RecordMessage};
    fake::FakeWorld& world = fake::World();
};

TEST_F(WindowTest, PanelIsPaintedPixelForPixel) {
    auto dlg = Open(false);
    const QImage image = Grab(*dlg);
    ASSERT_EQ(image.size(), QSize(265, 67));
    EXPECT_EQ(dlg->size(), QSize(265, 67));
    EXPECT_TRUE(dlg->windowFlags() & Qt::FramelessWindowHint);

    const QRgb face = panel::FaceColour().rgb();
    const QRgb shadow = panel::ShadowColour().rgb();
    const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0), blue = qRgb(0, 0, 255);
    ASSERT_NE(face, shadow);

    // One-pixel black frame round the whole window.
    ExpectPixels(image, {{0, 0, black}, {264, 0, black}, {0, 66, black}, {264, 66, black},
                         {130, 0, black}, {130, 66, black}, {0, 30, black}, {264, 30, black}});
    // Hollow blue badge with its shadow one pixel to the lower right.
    ExpectPixels(image, {{4, 4, blue}, {12, 4, blue}, {4, 12, blue}, {12, 12, blue}, {8, 4, blue},
                         {13, 13, shadow}, {13, 8, shadow}, {8, 13, shadow}, {5, 5, shadow},
                         {8, 8, face}});

    // Raised grip strip and panel; the last point of each polyline is left out.
    ExpectPixels(image, {{1, 30, white}, {8, 1, white}, {16, 30, shadow}, {8, 65, shadow},
                         {16, 1, face}, {1, 65, face}});
    ExpectPixels(image, {{17, 30, white}, {150, 1, white}, {263, 30, shadow}, {150, 65, shadow},
                         {263, 1, face}, {17, 65, face}});

    // Grip bumps: three on even rows, two on odd rows, each a 3 x 3 raised edge.
    for (int r = 0; r <= 10; ++r) {
        const int y = 18 + 4 * r;
        const std::vector<int> xs = r % 2 == 0 ? std::vector<int>{3, 7, 11} : std::vector<int>{5, 9};
        for (int x : xs) {
            SCOPED_TRACE(testing::Message() << "bump " << x << "," << y);
            ExpectPixels(image, {{x, y, white}, {x, y + 1, white}, {x + 2, y + 2, shadow},
                                 {x + 2, y + 1, shadow}, {x + 1, y + 1, face}, {x + 2, y, face}});
        }
        if (r % 2 == 1) {
            ExpectPixels(image, {{3, y, face}});
        }
    }
    ExpectPixels(image, {{8, 63, face}});  // nothing below the last row

    // Sunken display frame round a black display.
    ExpectPixels(image, {{40, 20, shadow}, {100, 3, shadow}, {100, 38, white}, {259, 20, white},
                         {259, 3, face}, {41, 4, black}, {258, 4, black}, {41, 37, black},
                         {258, 37, black}});
    // The label icon's "S" starts one pixel into the icon drawn at (19, 10); the rest is clear.
    ExpectPixels(image, {{20, 11, black}, {19, 10, face}, {38, 30, face}});
}

TEST_F(WindowTest, KeysArePaintedUnpressedAndPressed) {
    auto dlg = Open(true);
    CPanelButton* power = dlg->PowerButton();
    CPanelButton* about = dlg->AboutButton();
    EXPECT_EQ(power->geometry(), QRect(40, 41, 34, 23));
    EXPECT_EQ(about->geometry(), QRect(226, 41, 34, 23));

    const QRgb face = panel::FaceColour().rgb();
    const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0), green = qRgb(0, 255, 0),
               blue = qRgb(0, 0, 255);

    for (bool pressed : {false, true}) {
        SCOPED_TRACE(pressed ? "pressed" : "not pressed");
        power->setDown(pressed);
        about->setDown(pressed);
        const QImage p = Grab(*power);
        const QImage a = Grab(*about);
        const int s = pressed ? 1 : 0;
        ASSERT_EQ(p.size(), QSize(34, 23));
        // Sunken outer edge in both states.
        ExpectPixels(p, {{0, 10, black}, {10, 0, black}, {33, 10, white}, {10, 22, white}});
        // Inner edge: raised white/black, or a black frame when pressed.
        const QRgb inner = pressed ? black : white;
        ExpectPixels(p, {{1, 10, inner}, {10, 1, inner}, {32, 10, black}, {10, 21, black},
                         {30, 19, face}});
        // The lamp is lit in both states and moves with the symbol; the socket below it and the
        // left of the power circle stay black.
        ExpectPixels(p, {{4 + s, 4 + s, green}, {8 + s, 7 + s, green}, {3 + s, 5 + s, black},
                         {4, 4, pressed ? black : green}, {13 + s, 9 + s, black}});
        // Information key: the letter i moves one pixel right and down.
        EXPECT_EQ(a.pixel(16 + s, 4 + s), blue);
        EXPECT_EQ(a.pixel(1, 10), pressed ? black : white);
        EXPECT_NE(a.pixel(16, 4) == blue, pressed);
    }
}

TEST_F(WindowTest, SplashThenInitializingThenStatusLines) {
    auto dlg = Open(false);
    EXPECT_EQ(dlg->IsReady(), 0);
    EXPECT_FALSE(dlg->isEnabled());
    EXPECT_EQ(dlg->cursor().shape(), Qt::WaitCursor);
    EXPECT_TRUE(dlg->StartupTimer()->isActive());
    EXPECT_TRUE(dlg->StartupTimer()->isSingleShot());
    EXPECT_EQ(dlg->StartupTimer()->interval(), 2000);
    EXPECT_EQ(dlg->windowTitle(), "Velora DV Color Bar Generator");

    // Splash: two lines, each centred in the display (40..260), starting near the top.
    const QRect display(41, 4, 218, 34);
    const QRect splash = apptest::GreenBounds(Grab(*dlg), display);
    ASSERT_FALSE(splash.isEmpty());
    EXPECT_LE(std::abs((splash.left() - 40) - (259 - splash.right())), 3);
    EXPECT_LE(splash.top(), 10);
    EXPECT_GT(splash.height(), 18);  // two lines

    // While the graph is being built the display says "Initializing..." and input is off.
    QRect building;
    bool sawDisabled = false;
    world.onBuildStarted = [&] {
        EXPECT_EQ(dlg->StatusText(), "Initializing...");
        building = apptest::GreenBounds(Grab(*dlg), display);
        sawDisabled = !dlg->isEnabled();
    };
    dlg->OnTimer();
    EXPECT_TRUE(sawDisabled);
    ASSERT_FALSE(building.isEmpty());
    EXPECT_LE(building.left(), 44);  // left-aligned from 42
    EXPECT_LT(building.height(), 14);  // one line
    EXPECT_FALSE(dlg->StartupTimer()->isActive());

    // Started: graph run then paused, input on, two status lines from the left.
    EXPECT_EQ(world.calls, (std::vector<std::string>{"Run", "Pause"}));
    EXPECT_TRUE(dlg->isEnabled());
    EXPECT_NE(dlg->cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(dlg->StatusText(), "NORMAL (SMPTE LIKE)\nMicrosoft Digital Camera and VCR");
    const QRect status = apptest::GreenBounds(Grab(*dlg), display);
    EXPECT_LE(status.left(), 44);
    EXPECT_GE(status.top(), 7);
    EXPECT_GT(status.height(), 18);
    EXPECT_LT(status.right(), 240);  // the device line fits its rectangle
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(WindowTest, FailedBuildClosesWithoutStopping) {
    world.devices.clear();
    auto dlg = Open(false);
    dlg->OnTimer();
    EXPECT_EQ(g_messages, std::vector<std::string>{"DV機器が見つかりませんでした。"});
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(world.stops, 0);

    fake::InstallGoodWorld();
    world.graphCreatable = false;  // -1: closes with nothing shown
    g_messages.clear();
    apptest::TestGraph other(&RecordMessage);
    auto second = Open(false, other);
    second->OnTimer();
    EXPECT_TRUE(g_messages.empty());
    EXPECT_FALSE(second->isVisible());
    EXPECT_EQ(second->result(), QDialog::Rejected);
}

TEST_F(WindowTest, EnterIsIgnoredAndEscapeAsksBeforeQuitting) {
    auto dlg = Open(true);
    apptest::ModalWatcher watcher(dlg.get());

    QTest::keyClick(dlg.get(), Qt::Key_Return);
    QTest::keyClick(dlg.get(), Qt::Key_Enter);
    // Not even with a key focused: Enter never presses it.
    QTest::keyClick(dlg->PowerButton(), Qt::Key_Return);
    QTest::keyClick(dlg->AboutButton(), Qt::Key_Return);
    EXPECT_EQ(watcher.dialogs, 0);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(watcher.boxes.empty());
    EXPECT_EQ(world.stops, 0);

    watcher.answer = QMessageBox::No;
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, "Velora DV Color Bar Generator");
    EXPECT_EQ(watcher.boxes[0].text, QString::fromUtf8("終了しますか？"));
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Question);
    EXPECT_EQ(watcher.boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(world.stops, 0);

    // Yes is the question's default button: Enter in the box answers it.
    watcher.onBox = [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); };
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_EQ(watcher.boxes.size(), 2u);
    ExpectEndedAccepted(*dlg);
    EXPECT_EQ(world.calls.back(), "Stop");
    EXPECT_EQ(world.stops, 1);
}

TEST_F(WindowTest, PowerKeyStopsAndClosesWithoutAsking) {
    auto dlg = Open(false);
    apptest::ModalWatcher watcher(dlg.get());
    // Disabled until the graph has started.
    QTest::mouseClick(dlg->PowerButton(), Qt::LeftButton);
    EXPECT_TRUE(dlg->isVisible());

    dlg->OnTimer();
    QTest::mouseClick(dlg->PowerButton(), Qt::LeftButton);
    EXPECT_TRUE(watcher.boxes.empty());
    ExpectEndedAccepted(*dlg);
    EXPECT_EQ(world.calls, (std::vector<std::string>{"Run", "Pause", "Stop"}));
}

TEST_F(WindowTest, GripStripDragsTheWindowAndNothingElseDoes) {
    auto dlg = Open(true);
    dlg->move(100, 100);
    const QPoint start = dlg->pos();

    QTest::mousePress(dlg.get(), Qt::LeftButton, {}, QPoint(120, 30));
    QTest::mouseMove(dlg.get(), QPoint(150, 50));
    QTest::mouseRelease(dlg.get(), Qt::LeftButton, {}, QPoint(150, 50));
    EXPECT_EQ(dlg->pos(), start);

    QTest::mousePress(dlg.get(), Qt::LeftButton, {}, QPoint(8, 30));
    QTest::mouseMove(dlg.get(), QPoint(28, 45));
    QTest::mouseRelease(dlg.get(), Qt::LeftButton, {}, QPoint(28, 45));
    EXPECT_EQ(dlg->pos(), start + QPoint(20, 15));

    // The drag area is exactly the 16 pixels from the frame to the strip's inner edge; the
    // strip's shadow line at x = 16 is outside it.
    struct Case {
        int x;
        bool drags;
    };
    for (const Case c : {Case{0, true}, Case{15, true}, Case{16, false}, Case{17, false}}) {
        SCOPED_TRACE(testing::Message() << "x = " << c.x);
        const QPoint before = dlg->pos();
        QTest::mousePress(dlg.get(), Qt::LeftButton, {}, QPoint(c.x, 60));
        QTest::mouseMove(dlg.get(), QPoint(c.x + 5, 62));
        QTest::mouseRelease(dlg.get(), Qt::LeftButton, {}, QPoint(c.x + 5, 62));
        EXPECT_EQ(dlg->pos(), c.drags ? before + QPoint(5, 2) : before);
    }
}

TEST_F(WindowTest, AboutBoxFromTheKeyAndTheContextMenu) {
    auto dlg = Open(true);
    apptest::ModalWatcher watcher(dlg.get());
    QString title;
    watcher.onDialog = [&](QDialog* about) {
        EXPECT_NE(qobject_cast<CAboutDlg*>(about), nullptr);
        title = about->windowTitle();
        about->accept();
    };
    QTest::mouseClick(dlg->AboutButton(), Qt::LeftButton);
    EXPECT_EQ(watcher.dialogs, 1);
    EXPECT_EQ(title, QString::fromUtf8("Tamselのﾊﾞｰｼﾞｮﾝ情報"));

    QAction* entry = nullptr;
    for (QAction* action : dlg->SystemMenu()->actions()) {
        if (!action->isSeparator()) entry = action;
    }
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->text(), QString::fromUtf8("Tamsel のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
    EXPECT_TRUE(dlg->SystemMenu()->actions().front()->isSeparator());
    entry->trigger();
    EXPECT_EQ(watcher.dialogs, 2);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(world.stops, 0);
}

TEST_F(WindowTest, EndingSignalActsAsThePowerKey) {
    {
        SCOPED_TRACE("started");
        auto dlg = Open(true);
        dlg->OnEndSignal();
        ExpectEndedAccepted(*dlg);
        EXPECT_EQ(world.stops, 1);
    }
    {
        SCOPED_TRACE("while the quit question is open");
        fake::InstallGoodWorld();
        apptest::TestGraph other(&RecordMessage);
        auto dlg = Open(true, other);
        apptest::ModalWatcher watcher(dlg.get());
        watcher.onBox = [&](QMessageBox*) { dlg->OnEndSignal(); };
        QTest::keyClick(dlg.get(), Qt::Key_Escape);
        EXPECT_EQ(watcher.boxes.size(), 1u);
        ExpectEndedAccepted(*dlg);
        EXPECT_EQ(world.stops, 1);
    }
    {
        SCOPED_TRACE("before the start-up timer");
        fake::InstallGoodWorld();
        apptest::TestGraph unbuilt(&RecordMessage);
        CGeneratorDlg dlg(unbuilt);
        dlg.show();
        dlg.OnEndSignal();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_FALSE(dlg.StartupTimer()->isActive());
        EXPECT_TRUE(world.calls.empty());
    }
}

// The graph cannot start (the deck is busy with another sender, or pausing fails for want of
// memory): the user is told, the graph stopped and the window ends as after a failed build.
TEST_F(WindowTest, GraphThatCannotStartIsToldStoppedAndEndsTheWindow) {
    struct Case {
        HRESULT run;
        HRESULT pause;
        std::vector<std::string> calls;
        std::string text;
    };
    const Case cases[] = {
        {HRESULT_FROM_WIN32(ERROR_BUSY), S_OK, {"Run", "Stop"},
         "DV出力を開始できませんでした。\nDV機器は他のアプリケーションが使用中です。"},
        {S_OK, E_OUTOFMEMORY, {"Run", "Pause", "Stop"},
         "DV出力を開始できませんでした。\nメモリまたはシステム資源が不足しています。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        fake::InstallGoodWorld();
        g_messages.clear();
        world.runResult = c.run;
        world.pauseResult = c.pause;
        apptest::TestGraph holder(&RecordMessage);
        auto dlg = Open(true, holder);
        EXPECT_EQ(g_messages, std::vector<std::string>{c.text});
        EXPECT_EQ(world.calls, c.calls);
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_FALSE(dlg->EventTimer()->isActive());
    }
}

// While the bars stream the window watches the graph's events on its own timer; a failure event
// stops the graph, is told, and ends the window with the failure.
TEST_F(WindowTest, FailureWhileStreamingIsToldStoppedAndEndsTheWindow) {
    auto dlg = Open(true);
    ASSERT_TRUE(dlg->EventTimer()->isActive());
    EXPECT_EQ(dlg->EventTimer()->interval(), CGeneratorDlg::kEventPollMs);

    // Harmless events are taken by the timer and streaming goes on.
    world.events = {{EC_PAUSED, S_OK, 0}};
    ASSERT_TRUE(QTest::qWaitFor([&] { return world.events.empty(); }));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(g_messages.empty());

    world.events = {{EC_ERRORABORT, HRESULT_FROM_WIN32(1167), 0}};
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->isVisible(); }));
    EXPECT_EQ(g_messages, std::vector<std::string>{
                              "DV出力が中断されました。\nDV機器が取り外されたか、接続が切れました。"});
    EXPECT_EQ(world.calls, (std::vector<std::string>{"Run", "Pause", "Stop"}));
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_FALSE(dlg->EventTimer()->isActive());
}

// A failure that comes while the quit question is open waits for it; answered No, the failure
// is then told and ends the window.
TEST_F(WindowTest, FailureWaitsForTheOpenQuitQuestion) {
    auto dlg = Open(true);
    apptest::ModalWatcher watcher(dlg.get());
    bool reportedWhileAsking = false;
    watcher.onBox = [&](QMessageBox* box) {
        world.events = {{EC_ERRORABORT, HRESULT_FROM_WIN32(112), 0}};
        // Several polls of the event timer go by while the question is open.
        QTest::qWait(3 * CGeneratorDlg::kEventPollMs);
        reportedWhileAsking = !g_messages.empty() || world.stops != 0;
        box->button(QMessageBox::No)->click();
    };
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(reportedWhileAsking);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->isVisible(); }));
    EXPECT_EQ(g_messages, std::vector<std::string>{
                              "DV出力が中断されました。\nテープまたはディスクの空きがありません。"});
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(world.stops, 1);
}

// The program's own message function: a plain box with OK only and no icon, captioned with the
// application's name. An ending signal while it is open dismisses it, and the window still ends
// with the failure, not as a switch-off.
TEST_F(WindowTest, FailureBoxIsPlainAndASignalEndsItAsAFailure) {
    apptest::TestGraph holder(&CGeneratorApp::ShowMessage);
    auto dlg = Open(true, holder);
    apptest::ModalWatcher watcher(dlg.get());
    watcher.onBox = [&](QMessageBox*) { dlg->OnEndSignal(); };
    world.events = {{EC_DEVICE_LOST, 0, 0}};
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->isVisible(); }));
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(watcher.boxes[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(watcher.boxes[0].title, QApplication::applicationName());
    EXPECT_EQ(watcher.boxes[0].text,
              QString::fromUtf8("DV出力が中断されました。\nDV機器が取り外されたか、接続が切れました。"));
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(world.stops, 1);
}

// A failure the event timer has not picked up yet when the ending signal comes is still how the
// run ended: it is told, its box goes by itself (nobody is left to press OK), and the window ends
// with the failure rather than as a switch-off. Without a failure the signal is the power key.
TEST_F(WindowTest, EndingSignalAfterAnUnpolledFailureEndsAsThatFailure) {
    {
        SCOPED_TRACE("told");
        auto dlg = Open(true);
        world.events = {{EC_ERRORABORT, HRESULT_FROM_WIN32(112), 0}};
        dlg->OnEndSignal();  // before the event timer's next look
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(g_messages, std::vector<std::string>{
                                  "DV出力が中断されました。\nテープまたはディスクの空きがありません。"});
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_EQ(world.stops, 1);
    }
    {
        SCOPED_TRACE("the program's own box does not wait for OK");
        EndWithTheProgramsOwnBox({{EC_DEVICE_LOST, 0, 0}}, {});
    }
    {
        SCOPED_TRACE("no failure: the power key");
        fake::InstallGoodWorld();
        apptest::TestGraph clean(&RecordMessage);
        g_messages.clear();
        auto dlg = Open(true, clean);
        world.events = {{EC_PAUSED, S_OK, 0}};
        dlg->OnEndSignal();
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_TRUE(g_messages.empty());
        EXPECT_EQ(dlg->result(), QDialog::Accepted);
        EXPECT_EQ(world.stops, 1);
    }
}

// A device that stopped taking frames just before the stop says so only when it is stopped: the
// power key, Escape's Yes and the ending signal then end the window with that failure, told once
// (after the signal its box goes by itself). A clean stop stays a switch-off.
TEST_F(WindowTest, FailureThatComesWithTheStopEndsTheWindowWithIt) {
    const std::string stalled = "DV出力が中断されました。\nDV機器が応答しません。";
    {
        SCOPED_TRACE("power key");
        auto dlg = Open(true);
        world.eventsAtStop = {{EC_ERRORABORT, HRESULT_FROM_WIN32(ERROR_TIMEOUT), 0}};
        QTest::mouseClick(dlg->PowerButton(), Qt::LeftButton);
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(g_messages, std::vector<std::string>{stalled});
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_EQ(world.stops, 1);
    }
    {
        SCOPED_TRACE("Escape, answered Yes");
        fake::InstallGoodWorld();
        g_messages.clear();
        apptest::TestGraph holder(&RecordMessage);
        auto dlg = Open(true, holder);
        apptest::ModalWatcher watcher(dlg.get());
        watcher.onBox = [&](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); };
        world.eventsAtStop = {{EC_ERRORABORT, HRESULT_FROM_WIN32(112), 0}};
        QTest::keyClick(dlg.get(), Qt::Key_Escape);
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(g_messages, std::vector<std::string>{
                                  "DV出力が中断されました。\nテープまたはディスクの空きがありません。"});
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
    }
    {
        SCOPED_TRACE("ending signal, the program's own box");
        EndWithTheProgramsOwnBox({}, {{EC_ERRORABORT, HRESULT_FROM_WIN32(ERROR_TIMEOUT), 0}});
    }
}

// With the toolkit's Japanese texts loaded, the quit question's standard buttons read in
// Japanese like the rest of the interface.
TEST_F(WindowTest, StandardButtonsReadInJapanese) {
    QTranslator translator;
    ASSERT_TRUE(CGeneratorApp::InstallJapaneseTranslations(translator));
    auto dlg = Open(true);
    apptest::ModalWatcher watcher(dlg.get());
    QString yes, no;
    watcher.onBox = [&](QMessageBox* box) {
        yes = box->button(QMessageBox::Yes)->text();
        no = box->button(QMessageBox::No)->text();
        box->button(QMessageBox::No)->click();
    };
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QCoreApplication::removeTranslator(&translator);
    EXPECT_TRUE(yes.contains(QString::fromUtf8("はい"))) << yes.toStdString();
    EXPECT_TRUE(no.contains(QString::fromUtf8("いいえ"))) << no.toStdString();
    EXPECT_TRUE(dlg->isVisible());
}

}  // namespace
