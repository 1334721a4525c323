// The Open command through the main window, with the platform replaced by a
// recorder (dialog and box answers) and drives from an in-process ASPI manager.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QToolButton>
#include <cstring>
#include <memory>
#include <set>

#include "app/Main.h"
#include "state/SharedState.h"
#include "app/OpenCommand.h"
#include "tests/image/ImageFiles.h"
#include "tests/support/FakeAspi.h"

namespace {
const std::string kModel = "ALPHA   CD-R ONE        ";  // the drive's 24
const std::string kDriveVersion = "1.01";

struct OpenFixture : ::testing::Test {
    TempDir dir{true};  // working directory: no AUTORUN.BIN here
    RecorderLayer layer;
    std::unique_ptr<FakeAspi> aspi = std::make_unique<FakeAspi>(layer);
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        aspi->SetAdapters(1);
        aspi->AddDevice(0, 3, 0x05, kModel + kDriveVersion);
        form = std::make_unique<TForm1>();
        ASSERT_EQ(std::string(DriveModel), kModel);
        ASSERT_TRUE(layer.Boxes().empty());
    }
    // Chooses `path` in the dialog (nullopt: cancel) and runs Open.
    void Open(std::optional<std::string> path) {
        layer.Clear();
        layer.dialogAnswers.push_back(std::move(path));
        form->ToolButton1Click(form->ToolButton1);
    }
    std::vector<std::string> Fields() {
        return {form->StaticText1->text().toStdString(), form->StaticText2->text().toStdString(),
                form->StaticText3->text().toStdString(), form->StaticText4->text().toStdString(),
                form->StaticText5->text().toStdString()};
    }
    void ExpectOneBox(const std::string &text, UINT style) {
        const auto boxes = layer.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, "MESSAGE");
        EXPECT_EQ(boxes[0].style, style);
        EXPECT_EQ(boxes[0].owner, form.get());
    }
    void OpenGood() {
        WriteImage(dir / "good.bin", kModel, "2.00", 32, 5, 262144);
        Open(dir / "good.bin");
        ASSERT_EQ(ImageSize, 262144);
    }
};

const std::vector<std::string> kNoImage = {"", "", "", "NOT OPEN", ""};
}  // namespace

TEST_F(OpenFixture, MatchingImageIsReportedThenShownAfterTheBoxCloses) {
    const std::string path = dir / "fw_v2.bin";
    WriteImage(path, kModel, "2.00", 32, 5, 262144);
    std::vector<std::string> fieldsWhileBoxOpen;
    layer.onBox = [&](const BoxRecord &) { fieldsWhileBoxOpen = Fields(); };
    Open(path);

    ExpectOneBox("File Open OK !!\n32768b 128Kb 5Cmd", MB_SYSTEMMODAL);
    EXPECT_EQ(fieldsWhileBoxOpen, kNoImage);
    EXPECT_EQ(Fields(), (std::vector<std::string>{kModel, kDriveVersion, "2.00", "FW_V2.BIN", "READY"}));
    EXPECT_EQ(std::string(ImagePath), path);
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(BlockSizeKb, 32);
    EXPECT_EQ(BlockCount, 5);
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(PromptShown, 0);
    EXPECT_EQ(layer.Events().front(), "OpenDialog");
}

TEST_F(OpenFixture, WrappedLastBlockShowsZeroAndOpenHasNoSizeTest) {
    WriteImage(dir / "wrap.bin", kModel, "2.01", 32, 9, 524288);
    Open(dir / "wrap.bin");
    ExpectOneBox("File Open OK !!\n32768b 0Kb 9Cmd", MB_SYSTEMMODAL);
    EXPECT_EQ(ImageSize, 524288);

    // A size that fits no block plan still opens: only autorun tests the size.
    WriteImage(dir / "odd.bin", kModel, "2.02", 200, 3, 1000);
    Open(dir / "odd.bin");
    ExpectOneBox("File Open OK !!\n204800b 112Kb 3Cmd", MB_SYSTEMMODAL);  // 0 - 400 -> 112
    EXPECT_EQ(ImageSize, 1000);
}

TEST_F(OpenFixture, CancelChangesNothing) {
    OpenGood();
    const auto fields = Fields();
    const std::string path = ImagePath;
    Open(std::nullopt);
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(Fields(), fields);
    EXPECT_EQ(std::string(ImagePath), path);
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(BlockSizeKb, 32);
    EXPECT_EQ(BlockCount, 5);
    EXPECT_EQ(std::string(ImageVersion), "2.00");
}

TEST_F(OpenFixture, ModelCheckIsExactOverTwentyFourBytes) {
    OpenGood();
    const auto fields = Fields();
    std::string lower = kModel;
    lower[1] = 'l';
    std::string shorter = "ALPHA   CD-R ONE";  // NUL-padded, not blank-padded
    shorter.resize(24, '\0');
    std::string trailing = kModel;
    trailing[23] = '_';
    for (const std::string &model : {lower, shorter, trailing}) {
        WriteImage(dir / "other.bin", model, "9.99", 16, 3, 131072);
        Open(dir / "other.bin");
        ExpectOneBox("Different Model !!", MB_ICONERROR);  // application-modal, unlike every other error
        EXPECT_EQ(ImageSize, 0);
        EXPECT_EQ(std::string(ImagePath), dir / "other.bin");
        EXPECT_EQ(BlockSizeKb, 32);  // unchanged: set only after the check
        EXPECT_EQ(BlockCount, 5);
        EXPECT_EQ(Fields(), fields);
    }
}

TEST_F(OpenFixture, FailedOpenAfterAGoodOneKeepsTheFieldsAndEmptiesImageSize) {
    OpenGood();
    const auto fields = Fields();
    Open(dir / "gone.bin");
    ExpectOneBox("File Not Opened!!", MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(std::string(ImagePath), dir / "gone.bin");
    EXPECT_EQ(Fields(), fields);  // earlier image and "READY" stay on show
}

TEST_F(OpenFixture, BadFilesAreNotOpened) {
    OpenGood();
    WriteFile(dir / "short.bin", std::vector<uint8_t>(47, 0x41));
    auto noFar = ImageBytes(60000, {}, 0);
    noFar[60000 - 48] = 0xFF;
    WriteFile(dir / "nofar.bin", noFar);
    std::filesystem::create_directory(dir.path / "folder.bin");
    for (const char *name : {"short.bin", "nofar.bin", "folder.bin"}) {
        Open(dir / name);
        ExpectOneBox("File Not Opened!!", MB_SYSTEMMODAL | MB_ICONERROR);
        EXPECT_EQ(ImageSize, 0) << name;
        EXPECT_EQ(std::string(ImagePath), dir / name);
    }
}

TEST_F(OpenFixture, TwoGiBFileIsRefusedWithItsOwnMessage) {
    OpenGood();
    const std::string big = dir / "big.bin";
    WriteImage(big, kModel, "2.GB", 64, 3, 131072);
    ASSERT_EQ(::truncate(big.c_str(), off_t{1} << 31), 0);
    Open(big);
    ExpectOneBox(kTextFileTooLarge, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(ImageSize, 0);
}

TEST_F(OpenFixture, WindowsAndLinuxPathsShowTheNameUpperCasedAndKeepThePath) {
    // Backslash and colon are ordinary characters in a name here.
    const std::string windowsLike = "c:\\fw\\image1.bin";
    WriteImage(windowsLike, kModel, "2.00", 32, 5, 262144);
    Open(windowsLike);
    EXPECT_EQ(Fields()[3], "IMAGE1.BIN");
    EXPECT_EQ(std::string(ImagePath), windowsLike);

    std::filesystem::create_directories(dir.path / "home/u/fw");
    const std::string linuxLike = dir / "home/u/fw/image1.bin";
    WriteImage(linuxLike, kModel, "2.00", 32, 5, 262144);
    Open(linuxLike);
    EXPECT_EQ(Fields()[3], "IMAGE1.BIN");
    EXPECT_EQ(std::string(ImagePath), linuxLike);
}

TEST_F(OpenFixture, PathOfOneHundredThirtyOneCharactersFitsAndALongerOneIsRefusedWhole) {
    OpenGood();
    const std::string base = dir.path.string() + "/";
    // Directory names long enough that base + dirs + file is exactly 131.
    std::string rel(131 - base.size() - 6, 'd');
    for (size_t at = 40; at < rel.size(); at += 41) rel[at] = '/';
    std::filesystem::create_directories(base + rel);
    const std::string fits = base + rel + "/x.bin";
    ASSERT_EQ(fits.size(), 131u);
    WriteImage(fits, kModel, "1.31", 32, 5, 262144);
    Open(fits);
    EXPECT_EQ(std::string(ImagePath), fits);
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(Fields()[3], "X.BIN");

    const std::string tooLong = base + rel + "/xy.bin";  // 132: would need 133 bytes
    WriteImage(tooLong, kModel, "1.32", 32, 5, 262144);
    const auto fields = Fields();
    Open(tooLong);
    ExpectOneBox(kTextPathTooLong, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(std::string(ImagePath), "");  // never a cut, other name
    EXPECT_EQ(Fields(), fields);

    Open(std::string(5000, 'p'));
    ExpectOneBox(kTextPathTooLong, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(std::strlen(ImagePath), 0u);
}

TEST_F(OpenFixture, ToolbarButtonAndMenuItemBothRunOpen) {
    WriteImage(dir / "a.bin", kModel, "2.00", 32, 5, 262144);
    layer.dialogAnswers.push_back(dir / "a.bin");
    form->ToolButton1->click();
    EXPECT_EQ(ImageSize, 262144);
    layer.dialogAnswers.push_back(std::nullopt);
    form->Open1->trigger();
    EXPECT_EQ(layer.Events().back(), "OpenDialog");
}

// The first Open builds the file dialog with its name filter, case-blind and
// Qt's own; every later Open uses that same dialog.
TEST_F(OpenFixture, FirstOpenBuildsTheDialogLaterOnesReuseIt) {
    EXPECT_EQ(form->OpenDialog1, nullptr);
    layer.dialogAnswers.push_back(std::nullopt);
    form->ToolButton1->click();
    QFileDialog *dialog = form->OpenDialog1;
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->objectName(), "OpenDialog1");
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("DOWNLOAD FILE(*.BIN)")});
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_FALSE(dialog->filter() & QDir::CaseSensitive);
    layer.dialogAnswers.push_back(std::nullopt);
    form->Open1->trigger();
    EXPECT_EQ(form->OpenDialog1, dialog);
    EXPECT_EQ(form->findChildren<QFileDialog *>().size(), 1);
}

TEST_F(OpenFixture, DialogOffersBinFilesInAnyLetterCase) {
    for (const char *name : {"a.bin", "B.BIN", "c.Bin", "d.txt", "e.bin.txt"}) WriteFile(dir / name, {1});
    QFileDialog *dialog = form->OpenDialog();
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("DOWNLOAD FILE(*.BIN)")});
    dialog->setDirectory(QString::fromStdString(dir.path.string()));
    dialog->show();
    auto *view = dialog->findChild<QListView *>(QStringLiteral("listView"));
    ASSERT_NE(view, nullptr);
    std::set<std::string> shown;
    // The dialog lists the directory on a thread of its own; wait for it.
    for (int i = 0; i < 1000 && shown.size() < 3; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        shown.clear();
        const QModelIndex root = view->rootIndex();
        for (int r = 0; r < view->model()->rowCount(root); ++r)
            shown.insert(view->model()->index(r, 0, root).data().toString().toStdString());
    }
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    dialog->hide();
    EXPECT_EQ(shown, (std::set<std::string>{"a.bin", "B.BIN", "c.Bin"}));
}
