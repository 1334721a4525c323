// The Qt layer on the user-interface thread: version query, quit requests,
// mouse capture, the screen cursor and the file-open dialog.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cstring>
#include <set>
#include <string>

#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "tests/platform/BoxWatch.h"

// ---------------------------------------------------------------------------
// Version query

TEST(VersionQuery, FailsAndLeavesTheRecordAsPrepared) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    OSVERSIONINFOA before = info;
    EXPECT_EQ(GetVersionExA(&info), FALSE);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
    EXPECT_EQ(info.dwPlatformId, 0u);
}

// ---------------------------------------------------------------------------
// Quit requests. A guard ends a loop that the request failed to end, with a
// code no test expects.

namespace {
constexpr int kNotEnded = 99;
void Guard() {
    QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(kNotEnded); });
}
}  // namespace

TEST(QuitRequest, PostedBeforeTheLoopEndsItWithZero) {
    PostQuitMessage(0);
    Guard();
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST(QuitRequest, PostedBeforeTheLoopCarriesItsCode) {
    PostQuitMessage(7);
    Guard();
    EXPECT_EQ(QApplication::exec(), 7);
}

TEST(QuitRequest, PostedWhileTheLoopRuns) {
    QTimer::singleShot(0, qApp, [] { PostQuitMessage(3); });
    Guard();
    EXPECT_EQ(QApplication::exec(), 3);
}

TEST(QuitRequest, BoxShownAfterTheRequestStaysUpAndTheLoopStillEnds) {
    // As at start-up: a refusal posts the request, a later step shows another
    // box before the message loop runs.
    PostQuitMessage(0);
    bool seen = false;
    WhenBoxShown([&seen](QMessageBox *box) {
        // Give the pending request every chance to end the box's loop.
        QTest::qWait(50);
        seen = box->isVisible();
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(MessageBoxA(nullptr, "File Not Opened!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR), IDOK);
    EXPECT_TRUE(seen);
    Guard();
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST(QuitRequest, EventsProcessedBeforeTheLoopDoNotLoseIt) {
    PostQuitMessage(5);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    Guard();
    EXPECT_EQ(QApplication::exec(), 5);
}

// ---------------------------------------------------------------------------
// Mouse capture

namespace {

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        auto *layout = new QVBoxLayout(&window);
        bar = new QMenuBar(&window);
        layout->setMenuBar(bar);
        menu = bar->addMenu(QStringLiteral("&Flash"));
        download = menu->addAction(QStringLiteral("&Download"));
        button = new QPushButton(QStringLiteral("Down"), &window);
        layout->addWidget(button);
        window.resize(300, 120);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
        QObject::connect(download, &QAction::triggered, [this] { ++triggered; });
    }
    void TearDown() override { ReleaseCapture(); }

    void ClickMenuTitle() {
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
    }

    QWidget window;
    QMenuBar *bar = nullptr;
    QMenu *menu = nullptr;
    QAction *download = nullptr;
    QPushButton *button = nullptr;
    int clicks = 0;
    int triggered = 0;
};

}  // namespace

TEST_F(Capture, SwallowsClicksOnTheWindowAndItsControls) {
    EXPECT_EQ(SetCapture(&window), nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseDClick(button, Qt::LeftButton);
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(button->isDown());
    ClickMenuTitle();
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(Capture, WheelCannotTurnTheDriveList) {
    auto *list = new QComboBox(&window);
    list->addItems({QStringLiteral("drive 0"), QStringLiteral("drive 1")});
    window.layout()->addWidget(list);
    list->show();
    SetCapture(&window);
    const QPointF at(list->width() / 2.0, list->height() / 2.0);
    QWheelEvent wheel(at, list->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(list, &wheel);
    EXPECT_EQ(list->currentIndex(), 0);
    ReleaseCapture();
    QWheelEvent again(at, list->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(list, &again);
    EXPECT_EQ(list->currentIndex(), 1);
}

TEST_F(Capture, LeavesTheKeyboardAlone) {
    SetCapture(&window);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(clicks, 1);
}

TEST_F(Capture, CoversPopupsOpenedFromTheWindow) {
    SetCapture(&window);
    menu->popup(window.mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(download).center());
    EXPECT_EQ(triggered, 0);
    menu->hide();
}

TEST_F(Capture, OtherWindowsAndOwnedDialogsStillTakeClicks) {
    SetCapture(&window);
    QWidget other;
    auto *otherButton = new QPushButton(QStringLiteral("Other"), &other);
    other.show();
    int otherClicks = 0;
    QObject::connect(otherButton, &QPushButton::clicked, [&] { ++otherClicks; });
    QTest::mouseClick(otherButton, Qt::LeftButton);
    EXPECT_EQ(otherClicks, 1);

    // A box or dialog the captured window owns must stay answerable.
    QDialog dialog(&window);
    auto *dialogButton = new QPushButton(QStringLiteral("OK"), &dialog);
    dialog.show();
    int dialogClicks = 0;
    QObject::connect(dialogButton, &QPushButton::clicked, [&] { ++dialogClicks; });
    QTest::mouseClick(dialogButton, Qt::LeftButton);
    EXPECT_EQ(dialogClicks, 1);
}

TEST_F(Capture, ReleaseGivesTheMouseBack) {
    SetCapture(&window);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(ReleaseCapture(), TRUE);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    ClickMenuTitle();
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
}

TEST_F(Capture, SetAgainReturnsThePreviousWindowAndMovesTheCapture) {
    QWidget other;
    auto *otherButton = new QPushButton(QStringLiteral("Other"), &other);
    other.show();
    int otherClicks = 0;
    QObject::connect(otherButton, &QPushButton::clicked, [&] { ++otherClicks; });

    EXPECT_EQ(SetCapture(&window), nullptr);
    EXPECT_EQ(SetCapture(&other), &window);
    QTest::mouseClick(otherButton, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(otherClicks, 0);
    EXPECT_EQ(clicks, 1);
}

TEST(CaptureLifetime, WindowDestroyedWhileCapturedIsNoHazard) {
    auto *window = new QWidget;
    window->show();
    SetCapture(window);
    delete window;
    QWidget other;
    auto *otherButton = new QPushButton(QStringLiteral("Other"), &other);
    other.show();
    int clicks = 0;
    QObject::connect(otherButton, &QPushButton::clicked, [&] { ++clicks; });
    QTest::mouseClick(otherButton, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(ReleaseCapture(), TRUE);
}

// ---------------------------------------------------------------------------
// Screen cursor

TEST(ScreenCursorCall, HourglassDoesNotStack) {
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(ScreenCursor(), crDefault);
    SetScreenCursor(crHourGlass);
    SetScreenCursor(crHourGlass);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    EXPECT_EQ(ScreenCursor(), crHourGlass);
    // One crDefault ends it, however often the hourglass was set.
    SetScreenCursor(crDefault);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(ScreenCursor(), crDefault);
}

TEST(ScreenCursorCall, DefaultNeverTakesAwayAnotherOverride) {
    QApplication::setOverrideCursor(QCursor(Qt::CrossCursor));
    SetScreenCursor(crDefault);
    SetScreenCursor(crDefault);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::CrossCursor);
    SetScreenCursor(crHourGlass);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    SetScreenCursor(crDefault);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::CrossCursor);
    QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------
// File-open dialog

namespace {

class OpenDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        for (const char *name : {"a.bin", "B.BIN", "c.Bin", "d.txt", "e.binx", "F.BIN.old"}) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("x");
        }
        dialog = new QFileDialog(nullptr, QString(), dir.path());
        dialog->setNameFilter(QStringLiteral("DOWNLOAD FILE(*.BIN)"));
    }
    void TearDown() override { delete dialog; }

    // The names the dialog's file list offers once it has read the directory
    // (or what it offers after a long wait, when it never gets to three).
    static std::set<std::string> Offered(QFileDialog *dialog) {
        std::set<std::string> names;
        auto *view = dialog->findChild<QListView *>(QStringLiteral("listView"));
        if (view == nullptr || view->model() == nullptr) return names;
        QAbstractItemModel *model = view->model();
        const QModelIndex root = view->rootIndex();
        for (int row = 0; row < model->rowCount(root); ++row) {
            const QModelIndex index = model->index(row, 0, root);
            if (model->flags(index) & Qt::ItemIsEnabled) names.insert(index.data().toString().toStdString());
        }
        return names;
    }

    // Waits from a timer until the list shows what it will show, then calls
    // `finish` with the dialog still open.
    void WhenListed(std::function<void()> finish) {
        auto *timer = new QTimer(dialog);
        auto polls = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, dialog, [this, timer, polls, finish] {
            if (!dialog->isVisible()) return;
            offered = Offered(dialog);
            if (offered.size() < 3 && ++*polls < 2000) return;
            timer->stop();
            QTest::qWait(100);  // anything still arriving would show now
            offered = Offered(dialog);
            finish();
        });
        timer->start(10);
    }

    QTemporaryDir dir;
    QFileDialog *dialog = nullptr;
    std::set<std::string> offered;
};

}  // namespace

TEST_F(OpenDialog, PatternMatchesAnyCaseAndTheFilterTextIsKept) {
    // Even a dialog set up to compare case gets its list matched ignoring it.
    dialog->setFilter(dialog->filter() | QDir::CaseSensitive);
    WhenListed([this] {
        // As the user types the name into the dialog's name field.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) {
            ADD_FAILURE() << "no name field";
            dialog->reject();
            return;
        }
        name->setText(QStringLiteral("c.Bin"));
        static_cast<QDialog *>(dialog)->accept();
    });
    std::string path = "unchanged";
    EXPECT_TRUE(CurrentWin32Layer().ExecuteOpenDialog(dialog, &path));
    EXPECT_EQ(offered, (std::set<std::string>{"a.bin", "B.BIN", "c.Bin"}));
    EXPECT_EQ(path, dir.filePath(QStringLiteral("c.Bin")).toStdString());
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("DOWNLOAD FILE(*.BIN)")});
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
}

TEST_F(OpenDialog, CancelGivesNoPath) {
    WhenListed([this] { dialog->reject(); });
    std::string path = "unchanged";
    EXPECT_FALSE(CurrentWin32Layer().ExecuteOpenDialog(dialog, &path));
    EXPECT_EQ(path, "unchanged");
}
