// Drive discovery at start-up and the user's change of drive, through the
// main window with the platform replaced by a recorder and an in-process
// ASPI manager.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QWheelEvent>
#include <QLabel>
#include <QToolButton>
#include <QCoreApplication>
#include <cstring>
#include <memory>

#include "app/Main.h"
#include "state/SharedState.h"
#include "app/Discovery.h"
#include "tests/support/FakeAspi.h"

namespace {

// 28 characters each: 24 of model, 4 of revision.
const std::string kFirst = "ALPHA   CD-R ONE        1.01";
const std::string kSecond = "BETA    DVD-RW TWO      2.02";
const std::string kThird = "GAMMA   COMBO THREE     3.03";

struct DiscoveryFixture : ::testing::Test {
    RecorderLayer layer;
    std::unique_ptr<FakeAspi> aspi = std::make_unique<FakeAspi>(layer);
    std::unique_ptr<TForm1> form;

    void Start() { form = std::make_unique<TForm1>(); }
    QComboBox *List() { return form->ComboBox1; }
    std::string Model() { return std::string(DriveModel); }
    std::string Version() { return std::string(DriveVersion); }
    // What the user does: a key press on the list moves to the next entry.
    void UserPicksNext() {
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QCoreApplication::sendEvent(List(), &down);
    }
    void UserPicks(int k) {
        List()->setCurrentIndex(k);
        emit List()->activated(k);
    }
};

TEST_F(DiscoveryFixture, SecondAdapterDriveIsListedAfterTheFirstAdapterAndSelectionStartsOnEntryZero) {
    aspi->SetAdapters(2);
    aspi->AddDevice(1, 0, 0x05, kSecond);
    aspi->AddDevice(0, 5, 0x05, kFirst);
    Start();

    ASSERT_EQ(List()->count(), 2);
    EXPECT_EQ(List()->itemText(0).toStdString(), kFirst);
    EXPECT_EQ(List()->itemText(1).toStdString(), kSecond);
    EXPECT_EQ(List()->currentIndex(), 0);
    EXPECT_EQ(DriveCount, 2);
    EXPECT_EQ(DriveTable[0][0], 5);  // target
    EXPECT_EQ(DriveTable[1][0], 0);  // adapter
    EXPECT_EQ(DriveTable[0][1], 0);
    EXPECT_EQ(DriveTable[1][1], 1);
    EXPECT_EQ(SelectedTarget, 5);
    EXPECT_EQ(SelectedAdapter, 0);
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(Model(), kFirst.substr(0, 24));
    EXPECT_EQ(Version(), "1.01");
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_TRUE(layer.QuitRequests().empty());

    const auto requests = aspi->Requests();
    ASSERT_EQ(requests.size(), 16u);
    for (size_t n = 0; n < requests.size(); ++n) {
        EXPECT_EQ(requests[n].srb.SRB_HaId, n / 8);
        EXPECT_EQ(requests[n].srb.SRB_Target, n % 8);
        EXPECT_EQ(requests[n].srb.SRB_BufPointer, TransferBuffer);
    }
}

TEST_F(DiscoveryFixture, OtherDevicesAreNotListedAndTwinDrivesAreToldApartByPosition) {
    aspi->SetAdapters(1);
    aspi->AddDevice(0, 0, 0x00, kThird);  // disk
    aspi->AddDevice(0, 1, 0x25, kThird);  // qualifier 1
    aspi->AddDevice(0, 2, 0x05, kFirst);
    aspi->AddDevice(0, 6, 0x05, kFirst);
    Start();
    ASSERT_EQ(List()->count(), 2);
    EXPECT_EQ(List()->itemText(0), List()->itemText(1));
    EXPECT_EQ(DriveTable[0][0], 2);
    EXPECT_EQ(DriveTable[0][1], 6);
}

TEST_F(DiscoveryFixture, ZeroAdaptersIsAspiNotFoundAndNothingIsProbed) {
    aspi->SetAdapters(0, SS_COMP);
    Start();
    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "ASPI Not Found!!");
    EXPECT_EQ(boxes[0].caption, "MESSAGE");
    EXPECT_EQ(boxes[0].style, 0x1010u);
    EXPECT_EQ(boxes[0].owner, form.get());
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
    EXPECT_EQ(aspi->RequestCount(), 0u);
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(DriveCount, 0);
    EXPECT_EQ(SelectedTarget, 0);
    EXPECT_EQ(SelectedAdapter, 0);
}

TEST_F(DiscoveryFixture, ManagerNotReadyIsAspiNotFound) {
    aspi->SetAdapters(2, SS_NO_ADAPTERS);
    aspi->AddDevice(0, 0, 0x05, kFirst);
    Start();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, "ASPI Not Found!!");
    EXPECT_EQ(aspi->RequestCount(), 0u);
    EXPECT_EQ(List()->count(), 0);
}

TEST_F(DiscoveryFixture, NoManagerLibraryIsAspiNotFound) {
    aspi.reset();  // the layer then has no manager at all
    Start();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, "ASPI Not Found!!");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
}

TEST_F(DiscoveryFixture, NoDriveIsDriveNotFoundAfterEveryPairWasAsked) {
    aspi->SetAdapters(2);
    aspi->AddDevice(0, 3, 0x00, kFirst);
    Start();
    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Drive Not Found!!");
    EXPECT_EQ(boxes[0].caption, "MESSAGE");
    EXPECT_EQ(boxes[0].style, 0x1010u);
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
    EXPECT_EQ(aspi->RequestCount(), 16u);
    EXPECT_EQ(DriveCount, 0);
    EXPECT_EQ(Model(), "");
    EXPECT_EQ(SelectedTarget, 0);
    EXPECT_EQ(SelectedAdapter, 0);
}

TEST_F(DiscoveryFixture, MoreThanEightDrivesListsTheFirstEightAndReadsTheLastOneWhole) {
    aspi->SetAdapters(2);
    for (int a = 0; a < 2; ++a)
        for (int t = 0; t < 8; ++t) {
            std::string id = kFirst;
            id[0] = static_cast<char>('A' + a * 8 + t);
            id[27] = static_cast<char>('0' + t);
            aspi->AddDevice(a, t, 0x05, id);
        }
    Start();
    ASSERT_EQ(List()->count(), 8);
    EXPECT_EQ(DriveCount, 8);
    EXPECT_EQ(aspi->RequestCount(), 16u);
    ReadDriveEntry(7);
    std::string expected = kFirst;
    expected[0] = 'H';
    EXPECT_EQ(Model(), expected.substr(0, 24));
    EXPECT_EQ(Version(), "1.07");
    EXPECT_EQ(DriveTable[0][7], 7);
    EXPECT_EQ(DriveTable[1][7], 0);
}

TEST_F(DiscoveryFixture, ShortIdentificationKeepsTheFollowingEntriesOnTheGrid) {
    aspi->SetAdapters(1);
    aspi->AddDevice(0, 0, 0x05, std::string("TINY\0", 5));
    aspi->AddDevice(0, 1, 0x05, kSecond);
    Start();
    ReadDriveEntry(1);
    EXPECT_EQ(Model(), kSecond.substr(0, 24));
    EXPECT_EQ(Version(), "2.02");
    ReadDriveEntry(0);
    EXPECT_EQ(Model(), "TINY" + std::string(20, ' '));
    EXPECT_EQ(Version(), "    ");
}

TEST_F(DiscoveryFixture, IdentificationBytesComeBackExactlyAsTheDriveSentThem) {
    // Bytes outside printable ASCII go through the list unchanged, so the
    // model compared with an image is the drive's own, byte for byte.
    std::string odd = "VEND\xC9" "R  PR\xD6" "DUCT\x7F\x01\x80\xFF     9\xB0" ".1";
    ASSERT_EQ(odd.size(), 28u);
    aspi->SetAdapters(1);
    aspi->AddDevice(0, 0, 0x05, odd);
    Start();
    EXPECT_EQ(std::string(DriveModel, 24), odd.substr(0, 24));
    EXPECT_EQ(std::string(DriveVersion, 4), odd.substr(24, 4));
}

struct DriveChangeFixture : DiscoveryFixture {
    void SetUp() override {
        aspi->SetAdapters(2);
        aspi->AddDevice(0, 2, 0x05, kFirst);
        aspi->AddDevice(0, 4, 0x05, kSecond);
        aspi->AddDevice(1, 6, 0x05, kThird);
        Start();
        form->StaticText1->setText("MODEL");
        form->StaticText2->setText("OLD");
        form->StaticText3->setText("NEW");
        form->StaticText4->setText("FILE.BIN");
        form->StaticText5->setText("READY");
        ImageSize = 262144;
        layer.Clear();
    }
};

TEST_F(DriveChangeFixture, PickingEntryTwoTakesItsCharactersAndShowsTheChangeBox) {
    uint8_t adapterDuringBox = 0xEE, targetDuringBox = 0xEE;
    layer.onBox = [&](const BoxRecord &) {
        adapterDuringBox = SelectedAdapter;
        targetDuringBox = SelectedTarget;
    };
    UserPicks(2);

    // Characters 60..83 and 84..87 of the joined text.
    const std::string joined = kFirst + "\r\n" + kSecond + "\r\n" + kThird + "\r\n";
    EXPECT_EQ(Model(), joined.substr(60, 24));
    EXPECT_EQ(Version(), joined.substr(84, 4));
    EXPECT_EQ(DriveModel[24], 0);
    EXPECT_EQ(DriveVersion[4], 0);

    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "GAMMA   COMBO THREE     ");
    EXPECT_EQ(boxes[0].caption, "CHANGE DRIVE");
    EXPECT_EQ(boxes[0].style, 0x1000u);
    EXPECT_EQ(boxes[0].owner, form.get());

    // The address changes only once the box has closed.
    EXPECT_EQ(adapterDuringBox, 0);
    EXPECT_EQ(targetDuringBox, 2);
    EXPECT_EQ(SelectedAdapter, 1);
    EXPECT_EQ(SelectedTarget, 6);
    EXPECT_EQ(SelectedIndex, 2);

    EXPECT_EQ(form->StaticText1->text(), "");
    EXPECT_EQ(form->StaticText2->text(), "");
    EXPECT_EQ(form->StaticText3->text(), "");
    EXPECT_EQ(form->StaticText4->text(), "NOT OPEN");
    EXPECT_EQ(form->StaticText5->text(), "");
    EXPECT_EQ(ImageSize, 0);
}

TEST_F(DriveChangeFixture, DownloadIsRefusedAfterAChangeOfDrive) {
    UserPicks(1);
    const size_t before = aspi->RequestCount();
    layer.Clear();
    form->ToolButton2->click();
    EXPECT_EQ(aspi->RequestCount(), before);  // nothing sent to any drive
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].style & MB_ICONERROR, MB_ICONERROR);
}

TEST_F(DriveChangeFixture, KeyboardPickOnTheListRunsTheChange) {
    UserPicksNext();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, kSecond.substr(0, 24));
    EXPECT_EQ(SelectedIndex, 1);
    EXPECT_EQ(SelectedTarget, 4);
    EXPECT_EQ(SelectedAdapter, 0);
}

TEST_F(DriveChangeFixture, TheWheelOverTheListWithoutFocusChangesNoDrive) {
    const QPointF at(10, 10);
    QWheelEvent wheel(at, form->ComboBox1->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    ASSERT_FALSE(form->ComboBox1->hasFocus());
    QCoreApplication::sendEvent(form->ComboBox1, &wheel);
    EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(ImageSize, 262144);
}

TEST_F(DriveChangeFixture, PickingTheSelectedEntryDoesNothing) {
    UserPicks(0);
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(form->StaticText1->text(), "MODEL");
    EXPECT_EQ(form->StaticText4->text(), "FILE.BIN");
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(SelectedTarget, 2);
}

TEST_F(DriveChangeFixture, ChangingBackToTheFirstDriveIsAnOrdinaryChange) {
    UserPicks(1);
    UserPicks(0);
    ASSERT_EQ(layer.Boxes().size(), 2u);
    EXPECT_EQ(layer.Boxes()[1].text, kFirst.substr(0, 24));
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(SelectedTarget, 2);
    EXPECT_EQ(Version(), "1.01");
}

TEST_F(DriveChangeFixture, ShowingAnEntryFromTheProgramRunsNoChangeHandling) {
    ShowDriveListEntry(2);
    EXPECT_EQ(List()->currentIndex(), 2);
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(SelectedTarget, 2);
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_EQ(ImageSize, 262144);
    ShowDriveListEntry(9);  // no such entry: the list stays as it is
    EXPECT_EQ(List()->currentIndex(), 2);
}

TEST_F(DriveChangeFixture, ReadDriveEntryOutsideTheTableChangesNothing) {
    ReadDriveEntry(8);
    ReadDriveEntry(-1);
    EXPECT_EQ(Model(), kFirst.substr(0, 24));
    EXPECT_EQ(Version(), "1.01");
}

}  // namespace
